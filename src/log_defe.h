/*
** log_defe.h - the built-in default error settings.
*/
#ifndef VEZ_LOG_DEFE_H
#define VEZ_LOG_DEFE_H

#include "vezlog.h"

void log_defe__set_default_err_info(ErrorInfo *info);

#endif /* VEZ_LOG_DEFE_H */
