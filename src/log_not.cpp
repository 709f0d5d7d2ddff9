/*
** log_not.cpp - announces an error on the notification device: the device
** is opened (never created), written once at its end and closed for every
** notice. A device that cannot be opened only suppresses the notice.
*/
#include "log_not.h"

#include <stdio.h>

#include "platform.h"
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
  /* a device that is a file gets the notice at its end: nothing in it is overwritten (on a
     console or a pipe the move fails and changes nothing) */
  SetFilePointer(h, 0, nullptr, FILE_END);
  char when[TIMELIB_FORMATTED_SIZE + 2];
  timelib__get_formatted_time(when);
  char notice[NOTICE_SIZE];
  int n = snprintf(notice, sizeof notice, "*** NOTICE IN: %s  AT: %s ***\n", log_file, when);
  if (n > (int)sizeof notice - 1) n = (int)sizeof notice - 1;
  DWORD written;
  if (n > 0) WriteFile(h, notice, (DWORD)n, &written, nullptr);
  CloseHandle(h);
}
