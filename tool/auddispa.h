/*
** auddispa.h - the audit settings block of the settings report.
*/
#ifndef VEZ_AUDDISPA_H
#define VEZ_AUDDISPA_H

#include "vezlog.h"

void auddispa__display_audit_info(int index, const AuditInfo *info);

#endif /* VEZ_AUDDISPA_H */
