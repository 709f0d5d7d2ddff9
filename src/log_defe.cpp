/*
** log_defe.cpp - fills an ErrorInfo with the built-in defaults: full dumps,
** logging on, 512 KiB, notices on the console.
*/
#include "log_defe.h"

#include "log_defl.h"
#include "shm.h"

void log_defe__set_default_err_info(ErrorInfo *info) {
  log_defl__set_default_log_info(info, 1, 1);
  info->error_notification = 1;
  shm__set_notification_device(info, VEZ_DEFAULT_DEVICE);
}
