/*
** create.h - what the files of the emulation share: opening a file it may
** create, and the thread's last-error code, set as Windows sets it. Used
** by the other files of this directory only.
*/
#ifndef VEZ_POSIX_CREATE_H
#define VEZ_POSIX_CREATE_H

struct stat;

/*
** open(2) with flags, O_CREAT among them or not. A file this call creates
** gets its mode from its directory, never from the umask: group read and
** write in a directory its group may write and others may not (one
** product's processes running as users of one group share such a
** directory), owner read and write elsewhere; without write_allowed, read
** only. In a directory someone other than the user (and root) may write, no
** symlink is followed, on the way or at the end (ELOOP), and a file opened
** for writing that is no regular file (unless device_allowed), has more
** than one link, or belongs to neither the user, the directory's owner nor
** (in a directory its group may write) that group, is refused (EACCES).
** O_TRUNC cuts a file only once it passed. *created tells whether the file
** was made by this call. Returns the descriptor, or -1 with errno set.
*/
int posix_open_file(const char *path, int flags, bool write_allowed, bool device_allowed,
                    bool *created);

/* stat(2) of what path names now, by the same walk: in a shared directory the final
   link is not followed. 0, or -1 with errno set */
int posix_stat_at_name(const char *path, struct stat *st);

/* counts a descriptor kept open that was found closed or taken by the host */
void posix_descriptor_lost(void);

/* the thread's last-error code, as GetLastError gives it */
extern thread_local unsigned long posix_last_error;

/* the Win32 code for an errno value; path (when given) tells a missing file
   (ERROR_FILE_NOT_FOUND) from a missing directory on its way (ERROR_PATH_NOT_FOUND).
   The errno value is kept for the thread, so that FormatMessageA can give the
   system's own words for the failure */
unsigned long posix_win32_error(int e, const char *path);
/* the errno value that last gave this Win32 code in this thread (0: none) */
int posix_errno_of(unsigned long code);
/* records that errno value e gave code */
void posix_remember_errno(unsigned long code, int e);

#endif /* VEZ_POSIX_CREATE_H */
