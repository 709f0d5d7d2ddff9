/*
** flsem.h - the file lock between writers of one log file: its ".lok"
** file held open exclusively for the length of one record.
*/
#ifndef VEZ_FLSEM_H
#define VEZ_FLSEM_H

constexpr int FLSEM_HELD_ELSEWHERE = -2;
constexpr int FLSEM_OPEN_FAILED = -3;
constexpr int FLSEM_ALREADY_HELD = -4;
constexpr int FLSEM_NOT_HELD = -5;
constexpr int FLSEM_CLOSE_FAILED = -6;

/*
** Takes the lock: opens lock_name (created when missing) without sharing.
** Tried once, or retried for the "LOGLOCKWAIT" milliseconds while another
** process holds it. 0; FLSEM_HELD_ELSEWHERE when another open has it;
** FLSEM_OPEN_FAILED when the lock file cannot be opened or created at all;
** FLSEM_ALREADY_HELD (reported) when this process holds a lock already.
*/
int flsem__wait_file_lock_sem(const char *lock_name);

/*
** Whether the lock this process holds is still on the file at lock_name:
** a lock file removed or replaced while it is held (by a cleaner, an
** operator) no longer keeps other writers out.
*/
bool flsem__lock_is_current(const char *lock_name);

/*
** Releases the lock this process holds, and audits that at level 15. 0;
** FLSEM_NOT_HELD or FLSEM_CLOSE_FAILED, each reported.
*/
int flsem__signal_file_lock_sem(void);

#endif /* VEZ_FLSEM_H */
