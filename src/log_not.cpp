/*
** log_not.cpp - announces an error on the notification device: the device
** is opened (never created), written once at its end and closed for every
** notice. A device that cannot be opened only suppresses the notice. A
** notice never waits: a pipe or device without room for it at once (a
** FIFO nobody reads, a terminal held) loses it, and the loss is counted.
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

} // namespace

void log_not__error_notification(const char *device, const char *log_file) {
  /* the name comes from the shared segment: terminate it within its field */
  char name[VEZ_DEVICE_FIELD_SIZE];
  strncpy(name, device, VEZ_DEVICE_FIELD_SIZE - 1);
  name[VEZ_DEVICE_FIELD_SIZE - 1] = '\0';
  HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
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
  CloseHandle(h);
}
