/*
** log_tag.h - the seals of the record in hand, where records are sealed:
** an entry for each of its headers (a loss record and the record after
** it), its tag made over the record's bytes as they go out, and stored in
** the log's sidecar once the record is whole, the chain going on from the
** entry stored last. A record its writer left without its entry (it died
** between the two, or could not store it) is named in the sidecar by the
** next writer: sealed by it, as a record left by a writer that died, never
** as its own.
*/
#ifndef VEZ_LOG_TAG_H
#define VEZ_LOG_TAG_H

#include "log_rec.h"

/* a new lock file keeps no chain: the record in hand goes on from the sidecar's last entry
   (or its old copy's), found before its entry is begun */
void log_tag__find_chain(log_record *r);

/* before the record's first byte goes out: its first entry begun (the stamp says it has no
   entry yet, so that the next writer names it if this one dies first) */
void log_tag__begin(log_record *r);
/* the bytes [at, at + n) of the record go into its tags */
void log_tag__bytes(log_record *r, const char *bytes, size_t n, unsigned long long at);
/*
** Once its first bytes went out: where they went. Under its lock, where the
** log ended; but a writer still holding a lock file that was removed may
** have appended in between: the entries name the place the bytes are at
** (a tag already ended is made again), and so does the stamp.
*/
void log_tag__find_place(log_record *r);

/* the record just written sealed and its entries stored; a failure leaves it for the next
   writer to name */
void log_tag__seal(log_record *r);

/* the record the last writer left unsealed (the log of length size holds it whole), named
   and sealed by this one */
void log_tag__seal_orphan(log_record *r, long long size);

/*
** A new lock file keeps no word of a record left unsealed (the one before
** it was removed with it): where the log of length size holds whole records
** of ours past the end of what its sidecar seals, they are taken for such a
** record, to be sealed by log_tag__seal_orphan as one.
*/
void log_tag__adopt_unsealed(log_record *r, long long size);

#endif /* VEZ_LOG_TAG_H */
