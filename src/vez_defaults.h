/*
** vez_defaults.h - the sizes of the fixed buffers and the built-in defaults
** that the library and the settings tool share: one definition of each.
*/
#ifndef VEZ_DEFAULTS_H
#define VEZ_DEFAULTS_H

#include <stdint.h>

#include "vezlog.h"

/* a path or a registry key: 259 characters and a terminator */
constexpr int VEZ_PATH_SIZE = 260;
/* the notification device field of ErrorInfo, and what a writer may copy
   into it (254 characters and a terminator, so its byte 254 is always 0) */
constexpr int VEZ_DEVICE_FIELD_SIZE = (int)sizeof(((ErrorInfo *)nullptr)->notification_device);
constexpr int VEZ_DEVICE_SIZE = VEZ_DEVICE_FIELD_SIZE - 1;

/* a log's maximum size, in units of 512 bytes, where nothing else is set */
constexpr int32_t VEZ_DEFAULT_FILE_SIZE = 1024;
/* the largest maximum size a configuration may set: 2 GiB */
constexpr int32_t VEZ_MAX_FILE_SIZE = 4194304;
/* the console's device name, and the notification device where nothing else is set */
constexpr char VEZ_CONSOLE_DEVICE[] = "CONOUT$";
constexpr const char *VEZ_DEFAULT_DEVICE = VEZ_CONSOLE_DEVICE;

#endif /* VEZ_DEFAULTS_H */
