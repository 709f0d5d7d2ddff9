/*
** log_cfg.h - configuration lookup: a named registry value taken from the
** program key, else the version key, else the product key.
*/
#ifndef VEZ_LOG_CFG_H
#define VEZ_LOG_CFG_H

#include <stdint.h>

#include "vez_defaults.h"

/* room for a registry key path, and for a path read from configuration */
constexpr int LOG_CFG_KEY_SIZE = VEZ_PATH_SIZE;

/* The product's own key; the version key and program key lie below it. */
constexpr char LOG_CFG_PRODUCT_KEY[] = "Software\\Quendrix\\VEZ";

/* The process-index table: one integer value per process name. */
constexpr char LOG_CFG_INDEX_KEY[] = "SOFTWARE\\Quendrix\\VEZ\\audit";

/*
** Copies the raw data of the first key's value that fits capacity bytes into
** dest, zero-padded to capacity, and returns true; false when no key holds a
** value that fits (dest is then unchanged and the caller applies its
** default).
*/
bool log_cfg__read_value(const char *name, void *dest, int capacity);

/*
** As log_cfg__read_value for a text value: dest always ends up terminated
** within capacity. A value stored without its terminator that leaves no room
** for one counts as too long at that key.
*/
bool log_cfg__read_text(const char *name, char *dest, int capacity);

/* As log_cfg__read_text, as the program named program (not this one) finds it. */
bool log_cfg__read_text_for(const char *program, const char *name, char *dest, int capacity);

/*
** Appends piece to the text in buf only if the whole of it and the
** terminator still fit capacity bytes: a piece is left out whole, never cut.
*/
void log_cfg__append_piece(char *buf, int capacity, const char *piece);

/*
** Reads name's process index from the process-index table into a 4-byte
** integer (value type not examined). 0: found; -1: the table cannot be
** opened; -2: no value of that name fits 4 bytes (index is then unchanged).
*/
int log_cfg__process_index(const char *name, int32_t *index);

/*
** The system's error code from the last lookup that found the registry
** itself unreadable (a registry file without permission, a directory, too
** large), as opposed to a key or value that is not there; 0 when none did.
** Lookups go on to their defaults either way: this is for telling the
** operator.
*/
uint32_t log_cfg__registry_error(void);

/* The running executable's file name without directory and extension. */
void log_cfg__program_name(char name[LOG_CFG_KEY_SIZE]);

#endif /* VEZ_LOG_CFG_H */
