/*
** log_not.h - error notification: one notice line on a device.
*/
#ifndef VEZ_LOG_NOT_H
#define VEZ_LOG_NOT_H

void log_not__error_notification(const char *device, const char *log_file);

#endif /* VEZ_LOG_NOT_H */
