/*
** auddispe.h - the error settings block of the settings report.
*/
#ifndef VEZ_AUDDISPE_H
#define VEZ_AUDDISPE_H

#include "vezlog.h"

void auddispe__display_error_info(const ErrorInfo *info);

#endif /* VEZ_AUDDISPE_H */
