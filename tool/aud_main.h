/*
** aud_main.h - the settings tool's command line and main flow.
*/
#ifndef VEZ_AUD_MAIN_H
#define VEZ_AUD_MAIN_H

#include <stdint.h>

/* exit statuses */
constexpr int AUD_OK = 0;
constexpr int AUD_BAD_OPTION = 1;
constexpr int AUD_BAD_TARGET = 2;
constexpr int AUD_CANNOT_READ_ERROR = 3;
constexpr int AUD_CANNOT_READ_AUDIT = 4;
constexpr int AUD_CANNOT_WRITE = 5;
constexpr int AUD_CANNOT_ATTACH = 6;

/* the whole run of the tool: parse, choose the mode, attach, read or write, detach */
int aud_main__run(int argc, char **argv);

void aud_main__usage(const char *program);
/* the process index registered for name, or -1 */
int32_t aud_main__getindex(const char *name);

#endif /* VEZ_AUD_MAIN_H */
