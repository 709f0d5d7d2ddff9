/*
** threadfork.cpp - a fork in the middle of other threads' records.
*/
#include "threadfork.h"

#include "platform.h"
#include "vezlog.h"

#if VEZ_OS_POSIX

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

int threadfork__child_logs_once(const char *description) {
  /* let the other threads get going, so that one of them likely holds the lock */
  usleep(20000);
  pid_t pid = fork();
  if (pid == 0) {
    log__log_error(1, "threadlog", 1, description, nullptr, 0);
    _exit(0);
  }
  if (pid < 0) return 1;
  for (int i = 0; i < 1000; i++) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? 0 : 1;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return 1;
}

#else

int threadfork__child_logs_once(const char *) { return 0; }

#endif
