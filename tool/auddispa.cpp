/*
** auddispa.cpp - prints the audit settings block of one process index.
*/
#include "auddispa.h"

#include <stdio.h>

void auddispa__display_audit_info(int index, const AuditInfo *info) {
  printf("\nAudit Logging Settings for index %d\n", index);
  printf("    Hex Dumps         = %d\n", (int)info->hex_dumps);
  printf("    Level             = %d\n", (int)info->level);
  printf("    Maximum File Size = %d\n", (int)info->max_file_size);
}
