/*
** log_devf.cpp - the device-message log's path; its file name is fixed.
*/
#include "log_devf.h"

void log_devf__get_devmsg_file_name(char dest[LOG_PATH_SIZE]) {
  static char static_filepath[LOG_PATH_SIZE];
  log_errf__cached_path(static_filepath, dest, nullptr, "kp_dvmsgs");
}
