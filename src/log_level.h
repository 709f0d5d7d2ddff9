/*
** log_level.h - the levels in force, read through the library's exported
** pointers the one way every module reads them: the pointer and the level
** each loaded whole, without the write lock (initialisation and shutting
** down point them elsewhere while other threads test levels).
*/
#ifndef VEZ_LOG_LEVEL_H
#define VEZ_LOG_LEVEL_H

#include <stdint.h>

#include "vezlog.h"

inline int32_t log_level__error(void) {
  return __atomic_load_n(__atomic_load_n(&log__error_level, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
}

inline int32_t log_level__audit(void) {
  return __atomic_load_n(__atomic_load_n(&log__audit_level, __ATOMIC_ACQUIRE), __ATOMIC_RELAXED);
}

#endif /* VEZ_LOG_LEVEL_H */
