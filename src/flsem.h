/*
** flsem.h - the file lock between writers of one log file, its ".lok"
** file, and the stamp that file holds: what the last writer of the log did.
**
** The lock is held for the length of one record. Where files may stay open
** (POSIX), the lock file is opened once and locked for each record; on
** Windows it is opened without sharing for each record, which keeps out
** every other process of the product, older releases included.
**
** The stamp, the lock file's first FLSEM_STAMP_SIZE bytes, is read and
** written only by the lock's holder. It names the log it describes and the
** last record written there: where it began, how long it was meant to be,
** and whether its write was still under way. So the next writer knows a
** torn record at any byte, and whether anyone who does not keep the stamp
** (an older release, an operator) wrote the log since. A lock file made by
** an older release is empty: its stamp reads as none.
*/
#ifndef VEZ_FLSEM_H
#define VEZ_FLSEM_H

#include <stddef.h>
#include <stdint.h>

#include "log_held.h"

constexpr int FLSEM_HELD_ELSEWHERE = -2;
constexpr int FLSEM_OPEN_FAILED = -3;
constexpr int FLSEM_ALREADY_HELD = -4;
constexpr int FLSEM_NOT_HELD = -5;
constexpr int FLSEM_CLOSE_FAILED = -6;

/* this module's reports of FLSEM_ALREADY_HELD, FLSEM_NOT_HELD and FLSEM_CLOSE_FAILED, made
   by its caller once the record in hand is done (each names a fixed line that operators and
   tools match on) */
constexpr char FLSEM_SOURCE[] = "..\\..\\src\\flsem";
constexpr int FLSEM_MULTIPLE_LINE = 195;
constexpr char FLSEM_MULTIPLE_MESSAGE[] = "Cannot open multiple semaphore files";
constexpr int FLSEM_UNALLOCATED_LINE = 282;
constexpr char FLSEM_UNALLOCATED_MESSAGE[] = "Trying to release unallocated semaphore";
constexpr int FLSEM_UNLOCK_LINE = 250;
constexpr char FLSEM_UNLOCK_MESSAGE[] = "Semaphore unlock failed";

/* the stamp's layout, the same for 32- and 64-bit processes of one system */
struct flsem_stamp {
  uint32_t magic; /* FLSEM_STAMP_MAGIC once a writer of this release kept it */
  uint32_t version;
  uint64_t log_volume; /* the log the rest describes */
  uint64_t log_index;
  uint64_t start;        /* where the last record written (or being written) began */
  uint64_t length;       /* how long it was meant to be; FLSEM_LENGTH_UNKNOWN */
  uint64_t second;       /* where in it a second header begins (after a loss record), or 0 */
  uint32_t in_flight;    /* 1 from just before its write until it was found whole or cut */
  uint32_t untold_mends; /* torn records mended in this log and not yet told in it */
  int64_t first_mend;    /* when the first of those was mended */
  /* the seals' chain of the log's name (across rotations), where records are sealed */
  uint8_t seal_id[16];    /* the verification key it belongs to; zero: none kept here */
  uint64_t seal_seq;      /* the last entry's sequence number */
  uint8_t seal_prev[32];  /* and its tag */
  uint32_t seal_unsealed; /* 1: the last record written has no entry yet */
  uint32_t zero;
  uint64_t seal_count;   /* entries in the log's sidecar */
  uint64_t rotations;    /* how often the log was moved aside (a reader counts the
                            generations it could not read by it) */
  uint32_t seal_version; /* the sidecar's version as checked (0: not checked, an earlier
                            release's lock file) */
  uint32_t zero2;
  /* the records whose headers went out whole at the log's name (across rotations), and of
     them those before the generation at its name now: a reader tells by them how many
     records went with the generations it could not read */
  uint64_t records;
  uint64_t records_before;
  uint32_t counted; /* 1 once a writer of this release keeps the two counts */
  uint32_t zero3;
  uint8_t reserved[80]; /* zero: room for what later releases keep */
};
constexpr size_t FLSEM_STAMP_SIZE = 256;
static_assert(sizeof(flsem_stamp) == FLSEM_STAMP_SIZE, "the stamp is 256 bytes");
static_assert(offsetof(flsem_stamp, first_mend) == 56, "no padding in the stamp");
static_assert(offsetof(flsem_stamp, records) == 152, "the counts after the chain's fields");
constexpr uint32_t FLSEM_STAMP_MAGIC = 0x6b6c7a76; /* "vzlk" */
constexpr uint32_t FLSEM_STAMP_VERSION = 1;
/* a record written in pieces, its length not known before its first byte went out */
constexpr uint64_t FLSEM_LENGTH_UNKNOWN = UINT64_MAX;

/* the wait that is "LOGLOCKWAIT" read where it is needed (only when the lock is held) */
constexpr uint32_t FLSEM_WAIT_CONFIGURED = UINT32_MAX;

/*
** Takes the lock: the lock file (created when missing) locked against
** every other writer. Tried once, or retried for the "LOGLOCKWAIT"
** milliseconds while another process holds it. 0; FLSEM_HELD_ELSEWHERE
** when another has it; FLSEM_OPEN_FAILED when the lock file cannot be
** opened or created at all; FLSEM_ALREADY_HELD when this process holds a
** lock already. A lock file kept open is not looked at here (see
** flsem__lock_is_current and flsem__descriptors_taken).
*/
int flsem__wait_file_lock_sem(const char *lock_name);
/* the same, retried for wait milliseconds at most (FLSEM_WAIT_CONFIGURED: "LOGLOCKWAIT") */
int flsem__take_file_lock(const char *lock_name, uint32_t wait);
/* the configured "LOGLOCKWAIT", read now: how long any lock of a writer may be waited for */
uint32_t flsem__lock_wait(void);
/* the value it had when last read (0 before), read without the write path's lock */
uint32_t flsem__last_lock_wait(void);

/*
** Whether the lock this process holds is still on the file at lock_name:
** a lock file removed or replaced while it is held (by a cleaner, an
** operator) no longer keeps other writers out.
*/
bool flsem__lock_is_current(const char *lock_name);

/* the lock held turned out to be on a lock file no longer at its name: it is released and
   that file let go, so that the next lock opens the name again */
void flsem__release_stale(void);

/* the held lock's stamp, or null (no lock, or its file could not be mapped) */
flsem_stamp *flsem__stamp(void);

/* the files kept for the held lock's log (where files stay open), or null */
log_held *flsem__held(void);

/*
** The writer found a descriptor it kept closed or taken by the host while
** it held the lock: the lock is given up and every file kept is let go,
** none closed (their numbers may be the host's files now).
*/
void flsem__descriptors_taken(void);

/* Releases the lock this process holds: 0; FLSEM_NOT_HELD; FLSEM_CLOSE_FAILED (the lock is
   not held after it either). */
int flsem__signal_file_lock_sem(void);

#endif /* VEZ_FLSEM_H */
