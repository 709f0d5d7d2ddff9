/*
** log_cfg.h - configuration lookup: a named registry value taken from the
** program key, else the version key, else the product key.
*/
#ifndef VEZ_LOG_CFG_H
#define VEZ_LOG_CFG_H

/* room for a registry key path, and for a path read from configuration */
constexpr int LOG_CFG_KEY_SIZE = 260;

/* The product's own key; the version key and program key lie below it. */
constexpr char LOG_CFG_PRODUCT_KEY[] = "Software\\Quendrix\\VEZ";

/* The process-index table: one integer value per process name. */
constexpr char LOG_CFG_INDEX_KEY[] = "SOFTWARE\\Quendrix\\VEZ\\audit";

/*
** Copies the raw data of the first key's value that fits capacity bytes into
** dest and returns true; false when no key holds a value that fits (dest is
** then unchanged and the caller applies its default).
*/
bool log_cfg__read_value(const char *name, void *dest, int capacity);

/*
** As log_cfg__read_value for a text value: dest always ends up terminated
** within capacity. A value stored without its terminator that leaves no room
** for one counts as too long at that key.
*/
bool log_cfg__read_text(const char *name, char *dest, int capacity);

/* The running executable's file name without directory and extension. */
void log_cfg__program_name(char name[LOG_CFG_KEY_SIZE]);

#endif /* VEZ_LOG_CFG_H */
