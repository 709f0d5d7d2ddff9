/*
** log_sealw.h - the sealing state as a writer keeps it (under the write
** lock): whether records are sealed now, the key of the interval it seals
** in (derived forward in memory; the state file's key is evolved only by a
** close, log_close), and the digests and tags of the entries it makes.
*/
#ifndef VEZ_LOG_SEALW_H
#define VEZ_LOG_SEALW_H

#include <stdint.h>
#include <time.h>

#include "log_seal.h"

/*
** Whether records are sealed now: the state beside the data file is read
** at the first record, and looked at again where the watches say that its
** directory changed (changes: VezWatchChanges's count; where nothing is
** watched, at most once a second). No state: no sealing, and no cost. A
** state that cannot be read leaves records unsealed, and is said once
** (*report set the first time).
*/
bool log_sealw__active(const char *data_file, uint32_t changes, bool watched, bool *report);

/*
** The key to seal an entry of time t with: the interval of t, derived
** forward where the key in hand is behind it (the older key wiped). A clock
** set back below the key's interval keeps it (a verifier finds such a
** record sealed later than its time allows). *epoch, *id set. False:
** sealing failed.
*/
bool log_sealw__key_for(time_t t, uint64_t *epoch, uint8_t id[LOG_SEAL_ID]);

/* the digest of an entry's bytes, given in pieces (one digest at a time) */
bool log_sealw__begin_digest(void);
bool log_sealw__digest_data(const void *bytes, size_t n);
bool log_sealw__end_digest(uint8_t digest[LOG_SEAL_KEY]);

/* an entry's tag, made over its fields (its digest filled) with the key log_sealw__key_for
   gave (or the one it evolved from while the record in hand is not stored yet); false where
   the entry's interval is neither */
bool log_sealw__tag(const log_seal_entry *entry, uint8_t tag[LOG_SEAL_KEY]);
/* the record in hand is stored: no key before the current one is kept any longer */
void log_sealw__record_done(void);

/* the interval of time t by the state in hand (none: -1) */
long long log_sealw__epoch_now(time_t t);
/* the state file's interval as this process last saw it (none: -1) */
long long log_sealw__file_epoch(void);
/* a close changed the state file to interval epoch: seen */
void log_sealw__file_evolved(uint64_t epoch);
/* whether interval epoch was closed already (by any closer: the state file is read where
   the interval has ended and this process has not seen it closed) */
bool log_sealw__closed(uint64_t epoch);

#endif /* VEZ_LOG_SEALW_H */
