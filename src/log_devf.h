/*
** log_devf.h - the device-message log's path, worked out once per process.
*/
#ifndef VEZ_LOG_DEVF_H
#define VEZ_LOG_DEVF_H

#include "log_errf.h"

void log_devf__get_devmsg_file_name(char dest[LOG_PATH_SIZE]);

#endif /* VEZ_LOG_DEVF_H */
