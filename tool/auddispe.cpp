/*
** auddispe.cpp - prints the error settings block of the settings report.
*/
#include "auddispe.h"

#include <stdio.h>

void auddispe__display_error_info(const ErrorInfo *info) {
  printf("\nError Logging Settings\n");
  printf("    Hex Dumps           = %d\n", (int)info->hex_dumps);
  printf("    Level               = %d\n", (int)info->level);
  printf("    Maximum File Size   = %d\n", (int)info->max_file_size);
  printf("    Error Notification  = %d\n", (int)info->error_notification);
  /* never beyond the field, whatever another writer left in it */
  printf("    Notification Device = %.*s\n", (int)sizeof info->notification_device,
         info->notification_device);
}
