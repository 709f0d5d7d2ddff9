/*
** log_side.h - where a log's seals are stored: its sidecar, a header and
** then one entry a record, written through a mapping (no system call a
** record), and the chain of seals the lock file's stamp keeps for the log.
**
** The mapping is grown ahead (to twice the file's size, from 256 entries,
** by 65536 entries at most); the part of the file past the last entry is
** zeros. A slot is taken by swapping its type from none to
** LOG_SEAL_CLAIMED, and its type is stored last: two writers at once (one
** still holding a lock file that was removed) never store into one slot,
** and a slot whose writer died in the middle of storing is passed over.
*/
#ifndef VEZ_LOG_SIDE_H
#define VEZ_LOG_SIDE_H

#include <stdint.h>

#include "flsem.h"
#include "log_rec.h"
#include "log_seal.h"

/* the sidecar mapped over at least need bytes (the file grown to whole chunks) */
bool log_side__map(log_sidecar *s, uint64_t need);
/* the entry slot index of a mapped sidecar */
log_seal_entry *log_side__entry_at(const log_sidecar *s, uint64_t index);
/* the bytes up to and with slot index */
uint64_t log_side__bytes_to(uint64_t index);

/*
** The sidecar of the record's log open and mapped in r->seals.sidecar
** (taken from its kept files where it is kept); false where none is to be
** had or the file at its name is none (said once, in r->said). One of
** another log (left beside this one by a writer that died between moving a
** log and its sidecar, or by a release that keeps none) is moved on to the
** ".old" name first. Where the stamp keeps no chain (a new lock file), the
** chain goes on from the last entry.
*/
bool log_side__open(log_record *r, flsem_stamp *st);
/* whether the sidecar at the log's name is an earlier release's (version 1): the log is
   to be moved aside with it, so that its new generation's seals are of this release */
bool log_side__earlier_release(const char *path);
/* the record's sidecar let go: given back to its kept files, or closed */
void log_side__end(log_record *r);
/* the record's sidecar and its kept one closed (their log moves aside) */
void log_side__drop(log_record *r);

/* the last entry beside the old copy of the log at path: where a new log's chain goes on */
bool log_side__old_chain_end(const char *path, log_seal_entry *out);
/* the entry stored last before slot at; a slot taken and not filled for long (its writer
   died) is passed over */
bool log_side__stored_before(const log_sidecar *s, uint64_t at, log_seal_entry *out);
/* the first free slot from at on, taken (mapped as it goes); null where the sidecar cannot
   grow. *at is its index */
log_seal_entry *log_side__claim(log_sidecar *s, uint64_t *at);
/* a slot taken filled with e, its type last */
void log_side__fill(log_seal_entry *slot, const log_seal_entry &e);

/* the stamp's chain goes on from an entry */
void log_side__chain_from(flsem_stamp *st, const log_seal_entry *e);
/* whether the stamp keeps a chain (a new lock file's does not) */
bool log_side__chain_kept(const flsem_stamp *st);

#endif /* VEZ_LOG_SIDE_H */
