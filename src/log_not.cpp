/*
** log_not.cpp - announces an error on the notification device: the device
** is opened (never created), written once at its end and closed for every
** notice. A device that cannot be opened only suppresses the notice. A
** notice never waits: a pipe or device without room for it at once (a
** FIFO nobody reads, a terminal held) loses it. Every notice lost is
** counted, whatever kept it from its device: one that cannot be opened (a
** FIFO without a reader, no console, no such device) as well. Losses on a
** device that is there are told in the log; a device that is not there
** for the process only counts. A device that could not be opened is tried
** again once a second at most: the notices meanwhile are lost as the last
** one was, counted the same, and cost no look (an error record then costs
** no more than one to a device that is there).
*/
#include "log_not.h"

#include <stdio.h>

#include "log_msg.h"
#include "platform.h"
#include "shm.h"
#include "timelib.h"
#include "vez_defaults.h"

namespace {

constexpr int NOTICE_SIZE = 340;
constexpr DWORD RETRY_AFTER = 1000; /* milliseconds */

/* the write path's, used under its lock: the device last found unopenable, and how */
struct unopened {
  bool known;
  bool absent; /* not there for this process (else there, refusing) */
  DWORD at;
  char name[VEZ_DEVICE_FIELD_SIZE];
};
unopened last_failure = {};

void lost_as(bool absent) {
  if (absent)
    log_msg__notice_absent();
  else
    log_msg__lost(&log_msg__drops.notices_lost);
}

/* the console, by its name in any case (device names are) */
bool is_console(const char *name) {
  for (size_t i = 0;; i++) {
    char a = name[i], b = VEZ_CONSOLE_DEVICE[i];
    if ((a >= 'a' && a <= 'z' ? a - 32 : a) != b) return false;
    if (b == '\0') return true;
  }
}

} // namespace

void log_not__error_notification(const char *device, const char *log_file) {
  /* the name comes from the shared segment: terminate it within its field */
  char name[VEZ_DEVICE_FIELD_SIZE];
  strncpy(name, device, VEZ_DEVICE_FIELD_SIZE - 1);
  name[VEZ_DEVICE_FIELD_SIZE - 1] = '\0';
  if (last_failure.known && GetTickCount() - last_failure.at < RETRY_AFTER &&
      strcmp(last_failure.name, name) == 0) {
    lost_as(last_failure.absent);
    return;
  }
  HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    /* a device that is not there for this process (no console, no such file) is counted
       but not told in the log: a process without a console is no fault of its own */
    last_failure.known = true;
    last_failure.absent = is_console(name) || GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES;
    last_failure.at = GetTickCount();
    memcpy(last_failure.name, name, sizeof name);
    lost_as(last_failure.absent);
    return;
  }
  last_failure.known = false;
  /* the device is a setting: a file is written only where whoever may write the settings
     could write it anyway, else the notice is dropped and counted */
  if (!VezNoticeTargetAllowed(h, name, shm__data_file[0] != '\0' ? shm__data_file : nullptr)) {
    CloseHandle(h);
    log_msg__lost(&log_msg__drops.notices_lost);
    return;
  }
  /* a device that is a file gets the notice at its end: nothing in it is overwritten (on a
     console or a pipe the move fails and changes nothing) */
  SetFilePointer(h, 0, nullptr, FILE_END);
  /* a pipe or device writes what fits now or nothing (a file or console refuses the mode:
     their writes do not wait for a reader) */
  DWORD no_wait = PIPE_NOWAIT;
  SetNamedPipeHandleState(h, &no_wait, nullptr, nullptr);
  char when[TIMELIB_FORMATTED_SIZE + 2];
  timelib__get_formatted_time(when);
  char notice[NOTICE_SIZE];
  int n = snprintf(notice, sizeof notice, "*** NOTICE IN: %s  AT: %s ***\n", log_file, when);
  if (n > (int)sizeof notice - 1) n = (int)sizeof notice - 1;
  DWORD written = 0;
  if (n > 0 && (!WriteFile(h, notice, (DWORD)n, &written, nullptr) || written != (DWORD)n))
    log_msg__lost(&log_msg__drops.notices_lost);
  else
    log_msg__notice_delivered();
  CloseHandle(h);
}
