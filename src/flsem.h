/*
** flsem.h - the file lock between writers of one log file: its ".lok"
** file held open exclusively for the length of one record.
*/
#ifndef VEZ_FLSEM_H
#define VEZ_FLSEM_H

constexpr int FLSEM_HELD_ELSEWHERE = -2;
constexpr int FLSEM_ALREADY_HELD = -4;
constexpr int FLSEM_NOT_HELD = -5;
constexpr int FLSEM_CLOSE_FAILED = -6;

int flsem__wait_file_lock_sem(const char *lock_name);
int flsem__signal_file_lock_sem(void);

#endif /* VEZ_FLSEM_H */
