/*
** threadfork.h - fork while other threads log (POSIX): the child writes one
** record and exits. Returns 0 when the child did so within 10 s, 1 when it
** hung (it is killed), 0 at once where there is no fork (Windows).
*/
#ifndef VEZ_THREADFORK_H
#define VEZ_THREADFORK_H

int threadfork__child_logs_once(const char *description);

#endif /* VEZ_THREADFORK_H */
