/*
** threadlog.cpp - a multi-threaded process for the thread tests: THREADS
** threads each write RECORDS error records at once ("t<process>.<thread>
** s<n>", data as test_stress's payload), then it prints its drop counts as
** logmsg -c does. With "fork", one more thread forks while the others log:
** the child writes one record and exits, and the parent says whether the
** child finished in time. With "cut DATAFILE", the records carry no data,
** and once a hundred are written the data file is cut to 4 bytes under the
** threads' feet (threads that reach two hundred wait for the cut, so that
** records are written after it however the threads are scheduled).
**   threadlog PROCESS THREADS RECORDS [fork | cut DATAFILE]
*/
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
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
  const char *cut = argc > 5 && strcmp(argv[4], "cut") == 0 ? argv[5] : nullptr;
  std::atomic<int> written{0};
  std::atomic<bool> cut_done{cut == nullptr};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; t++)
    pool.emplace_back([=, &written, &cut_done] {
      int w = process * 100 + t;
      for (int s = 0; s < records; s++) {
        std::string data = cut != nullptr ? "" : payload(w, s);
        std::string desc = "w" + std::to_string(w) + " s" + std::to_string(s);
        log__log_error(1, "threadlog", 0, desc.c_str(), data.empty() ? nullptr : data.data(),
                       (int)data.size());
        if (++written >= 200)
          while (!cut_done)
            std::this_thread::yield();
      }
    });
  int fork_status = 0;
  if (with_fork) fork_status = threadfork__child_logs_once("forked child");
  if (cut != nullptr) {
    while (written < 100 && written < threads * records)
      std::this_thread::yield();
    int fd = _open(cut, _O_RDWR | _O_BINARY);
    if (fd < 0 || _chsize_s(fd, 4) != 0) fork_status = 3;
    if (fd >= 0) _close(fd);
    cut_done = true;
  }
  for (std::thread &t : pool)
    t.join();
  cli_report__drop_counts();
  return fork_status;
}
