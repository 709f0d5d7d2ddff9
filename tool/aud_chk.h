/*
** aud_chk.h - the settings tool's checks of its option arguments.
*/
#ifndef VEZ_AUD_CHK_H
#define VEZ_AUD_CHK_H

#include <stdint.h>

/* "on"/"ON" store 1, "off"/"OFF" store 0 and give 0; anything else gives -1 */
int aud_chk__check_bool(const char *text, int32_t *value);

/* atoi's reading of text, with values beyond the 32-bit range held at its ends */
int32_t aud_chk__to_int(const char *text);

#endif /* VEZ_AUD_CHK_H */
