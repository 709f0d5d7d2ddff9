/*
** log_chk.h - the size limit of a log file and its rotation to one ".old" copy.
*/
#ifndef VEZ_LOG_CHK_H
#define VEZ_LOG_CHK_H

/* room for a log path (at most 255 characters) with a four-character suffix */
constexpr int LOG_CHK_NAME_SIZE = 260;

constexpr int LOG_CHK_WITHIN_LIMIT = 0;
constexpr int LOG_CHK_ROTATED = 1;
constexpr int LOG_CHK_RENAME_FAILED = 2;  /* the first failure since a rotation worked */
constexpr int LOG_CHK_RENAME_FAILING = 3; /* failed again: reported already */

/*
** Called with the log open, and its length size (-1: unknown). Within
** max_size units of 512 bytes: leaves fd open and returns
** LOG_CHK_WITHIN_LIMIT. Otherwise closes fd and moves the log onto its
** ".old" copy in one replacing move: LOG_CHK_ROTATED, for the caller to
** create the log anew; or, when it could not be moved, the log and its old
** copy being left whole, LOG_CHK_RENAME_FAILED (reported after the record
** in hand) the first time and LOG_CHK_RENAME_FAILING after that, until a
** rotation works again.
*/
int log_chk__check_log_file_size(const char *path, int fd, int max_size, long size);

/* path followed by suffix, zero-filled; false when it does not fit */
bool log_chk__derived_name(char name[LOG_CHK_NAME_SIZE], const char *path, const char *suffix);

#endif /* VEZ_LOG_CHK_H */
