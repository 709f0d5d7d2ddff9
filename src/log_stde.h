/*
** log_stde.h - where a message raised while another is being written goes.
*/
#ifndef VEZ_LOG_STDE_H
#define VEZ_LOG_STDE_H

#include "vezlog.h"

void log_stde__log_to_stderr(int kind, int message_level, const void *settings, int error_code,
                             const char *process, const char *source, int line,
                             const char *description, const void *data, int length);

#endif /* VEZ_LOG_STDE_H */
