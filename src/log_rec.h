/*
** log_rec.h - the record in hand: one plain record that the write path's
** modules pass each other from the lock taken to the lock released (the
** log it goes to, its bytes, its seals, and what it met on the way), and
** its buffer.
**
** A record's lines are formatted, CR LF and all, into the buffer and handed
** to the log in one write, opened for appending: a record is stored as it
** was formatted, at the end of the log, whatever another writer does. The
** buffer is a fixed one for records of up to 4 KiB of text; a larger record
** takes a heap buffer of its size for that write, up to LOG_REC_HEAP_MAX;
** past that (or without the memory) it goes out in pieces, still under the
** lock and at the log's end.
**
** Before the first byte goes out, the lock file's stamp says where the
** record begins and how long it is meant to be, and that its write is
** under way; where records are sealed, its entries are begun then too.
*/
#ifndef VEZ_LOG_REC_H
#define VEZ_LOG_REC_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "log_chk.h"
#include "log_held.h"
#include "log_seal.h"
#include "platform.h"

/* 4 KiB of record text, each line end stored as CR LF: a header, a description of a few
   lines and a full dump of some 600 bytes fit without any allocation */
constexpr size_t LOG_REC_FIXED = 8192;
constexpr size_t LOG_REC_HEAP_MAX = (size_t)64 << 20;

/*
** What a record met that is reported after it, each as an error record of
** its own (log_said__report gives its words): the bits of log_record's
** said, in the order they are reported.
*/
constexpr uint32_t LOG_REC_SAID_MULTIPLE_LOCKS = 1u << 0;   /* a lock held already */
constexpr uint32_t LOG_REC_SAID_STATE_UNREADABLE = 1u << 1; /* the sealing state */
constexpr uint32_t LOG_REC_SAID_NO_SEAL_FILE = 1u << 2;     /* at the log's sidecar name */
constexpr uint32_t LOG_REC_SAID_NO_OLD_SEAL_FILE = 1u << 3; /* at its old copy's */
constexpr uint32_t LOG_REC_SAID_RENAME_FAILED = 1u << 4;    /* the move onto the old copy */
constexpr uint32_t LOG_REC_SAID_WRITING_ON = 1u << 5;       /* and the log written on */
constexpr uint32_t LOG_REC_SAID_UNALLOCATED = 1u << 6;      /* a release without a lock */
constexpr uint32_t LOG_REC_SAID_UNLOCK_FAILED = 1u << 7;
constexpr uint32_t LOG_REC_SAID_MOVE_LOCKED = 1u << 8; /* a full log another program locks */
constexpr uint32_t LOG_REC_SAID_NOT_A_LOG = 1u << 9;   /* a link or no file of ours there */
constexpr int LOG_REC_SAID_KINDS = 10;

/* the seals of the record in hand: its one or two headers' entries */
struct log_rec_seals {
  bool on;     /* records are sealed now */
  bool broken; /* this record's tags could not be made */
  int entries; /* entries begun */
  log_seal_entry entry[2];
  uint64_t generation; /* the log's rotations, as the stamp counts them */
  log_sidecar sidecar; /* the log's sidecar, while the record is in hand */
};

struct log_record {
  /* the log */
  const char *path;
  char lock_name[LOG_CHK_NAME_SIZE];
  int fd;             /* open at its end */
  bool existing_only; /* a log that is not there is not made (a close's look) */
  log_held *held;     /* its kept files; null where they are opened for this record only */
  VEZ_FILE_FACTS id;  /* which file it is, and its length when the lock was taken */
  DWORD changes;      /* the watches' count at this record */
  long long start;    /* the log's length before this record */
  /* its bytes */
  char *buf;
  size_t cap, used;           /* the buffer's room, and what it holds not yet written */
  unsigned long long written; /* what went out */
  uint64_t second;            /* where a second header begins (after a loss record), or 0 */
  bool failed;                /* a piece could not be written */
  bool started;               /* its first bytes went out */
  bool in_buffer;             /* all of them at once: they are still in the buffer */
  bool telling_mends;         /* it tells the mends not yet told */
  int headers;                /* headers written, and the times they show */
  time_t header_times[2];
  log_rec_seals seals;
  /* what it met, for its caller: counted (as log__drop_counts counts) and reported after it
     (LOG_REC_SAID_ bits) */
  uint32_t mended, rotation_failed, nested;
  uint32_t said;
  char fixed[LOG_REC_FIXED];
};

/* a record for the log at path, nothing in it yet */
void log_rec__begin(log_record *r, const char *path);

/* where a line of len bytes is formatted in place, with room for its line end after it */
char *log_rec__line_room(log_record *r, size_t len);
/* the line formatted there joins the record, with its stored line end */
void log_rec__end_line(log_record *r, size_t len);
/* a line joins the record with its stored line end */
void log_rec__line(log_record *r, const char *line, size_t len);

/* the buffered bytes handed to the log (last: they are all of the record's); a failed
   write leaves r->failed set */
void log_rec__flush(log_record *r, bool last);
/* the heap buffer, where one was taken, given back */
void log_rec__release(log_record *r);

#endif /* VEZ_LOG_REC_H */
