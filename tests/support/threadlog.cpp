/*
** threadlog.cpp - a multi-threaded process for the thread tests: THREADS
** threads each write RECORDS error records at once ("t<process>.<thread>
** s<n>", data as test_stress's payload), then it prints its drop counts as
** logmsg -c does. With "fork", one more thread forks while the others log:
** the child writes one record and exits, and the parent says whether the
** child finished in time.
**   threadlog PROCESS THREADS RECORDS [fork]
*/
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "cli_report.h"
#include "payload.h"
#include "platform.h"
#include "threadfork.h"
#include "vezlog.h"

using testenv::payload;

int main(int argc, char **argv) {
  if (argc < 4) return 2;
  int process = atoi(argv[1]), threads = atoi(argv[2]), records = atoi(argv[3]);
  bool with_fork = argc > 4 && strcmp(argv[4], "fork") == 0;
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; t++)
    pool.emplace_back([=] {
      int w = process * 100 + t;
      for (int s = 0; s < records; s++) {
        std::string data = payload(w, s);
        std::string desc = "w" + std::to_string(w) + " s" + std::to_string(s);
        log__log_error(1, "threadlog", 0, desc.c_str(), data.empty() ? nullptr : data.data(),
                       (int)data.size());
      }
    });
  int fork_status = 0;
  if (with_fork) fork_status = threadfork__child_logs_once("forked child");
  for (std::thread &t : pool)
    t.join();
  cli_report__drop_counts();
  return fork_status;
}
