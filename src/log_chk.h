/*
** log_chk.h - the size limit of a log file and its rotation to one ".old" copy.
*/
#ifndef VEZ_LOG_CHK_H
#define VEZ_LOG_CHK_H

#include <stdint.h>

/* room for a log path (at most 255 characters) with a four-character suffix */
constexpr int LOG_CHK_NAME_SIZE = 260;

constexpr int LOG_CHK_WITHIN_LIMIT = 0;
constexpr int LOG_CHK_ROTATED = 1;
constexpr int LOG_CHK_RENAME_FAILED = 2;  /* the first failure since a rotation worked: the
                                             caller reports LOG_CHK_RENAME_MESSAGE */
constexpr int LOG_CHK_RENAME_FAILING = 3; /* failed again: reported already */
constexpr int LOG_CHK_BUSY = 4;           /* the log's own lock was not had in time (the
                                             caller reports LOG_CHK_HELD_MESSAGE) */
constexpr int LOG_CHK_MOVED_ALREADY = 5;  /* another writer had moved this log aside */
constexpr int LOG_CHK_BUSY_AGAIN = 6;     /* not had again, without a wait: reported already */

/*
** Called with the log open as fd, and its length size (-1: unknown);
** sealed where its records are sealed (its old copy is then never missing,
** even for a moment: a verifier would find a generation gone).
** Within max_size units of 512 bytes: leaves fd open and returns
** LOG_CHK_WITHIN_LIMIT. Otherwise moves the log onto its ".old" copy in
** one replacing move and closes fd: LOG_CHK_ROTATED, for the caller to
** open the log anew (LOG_CHK_MOVED_ALREADY when another writer had moved
** this log aside already: nothing is moved then); or, when it could not be moved,
** the log and its old copy being left whole, LOG_CHK_RENAME_FAILED
** (reported after the record in hand) the first time and
** LOG_CHK_RENAME_FAILING after that, until a rotation works again.
** Writers that both believe they hold the log's lock (its lock file was
** removed under one) move it one at a time, each only the log it
** measured: the log itself is locked for the move, for at most
** "LOGLOCKWAIT" milliseconds; LOG_CHK_BUSY, fd left open, when that lock
** was not had (another program holds a lock on the log). Failures come in
** streaks, ended by a rotation that works: only the first of a streak
** waits for the log's lock and is to be reported (LOG_CHK_RENAME_FAILED,
** LOG_CHK_BUSY), the later ones try once and are not (LOG_CHK_RENAME_FAILING,
** LOG_CHK_BUSY_AGAIN).
*/
int log_chk__check_log_file_size(const char *path, int fd, int max_size, long long size,
                                 bool sealed = false);

/* why the last move failed: the system's code */
uint32_t log_chk__failure_code(void);

/* this module's report of a failed move, as its caller makes it: the old copy's name, zero
   filled, as its data */
constexpr char LOG_CHK_SOURCE[] = "..\\..\\src\\log_chk";
constexpr int LOG_CHK_RENAME_LINE = 144;
constexpr char LOG_CHK_RENAME_MESSAGE[] = "rename failed on file";
constexpr int LOG_CHK_HELD_LINE = 150;
constexpr char LOG_CHK_HELD_MESSAGE[] = "Log file reach max, locked by another program, writing on";
constexpr int LOG_CHK_REPORTED_NAME_BYTES = 256;

/* path followed by suffix, zero-filled; false when it does not fit */
bool log_chk__derived_name(char name[LOG_CHK_NAME_SIZE], const char *path, const char *suffix);

#endif /* VEZ_LOG_CHK_H */
