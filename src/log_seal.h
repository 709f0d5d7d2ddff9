/*
** log_seal.h - sealed logs: the sealing state, the seals beside each log,
** and the keys, for the writer and for every verifier.
**
** Sealing keys evolve: the key of epoch e+1 is HMAC-SHA-256 of the key of
** epoch e, so that whoever reads the state at a time can derive the keys of
** that epoch and later ones, never an earlier one. The verification key, a
** random seed kept off the host, derives the key of every epoch. Each
** record written while sealing is on gets an entry in its log's sidecar
** ("LOG.seal", rotated with the log to "LOG.old.seal"): a tag, HMAC-SHA-256
** with its epoch's key over the record's bytes and the entry's fields (its
** place in the log, the tag before it, a sequence number, its time and its
** epoch). The log files' bytes are not changed by any of this.
**
** Files are little-endian and the same for every build.
*/
#ifndef VEZ_LOG_SEAL_H
#define VEZ_LOG_SEAL_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

constexpr int LOG_SEAL_KEY = 32; /* a key, a seed and a tag */
constexpr int LOG_SEAL_ID = 16;  /* which verification key a chain belongs to */
constexpr char LOG_SEAL_STATE_NAME[] = "sealing.dat";     /* beside the data file */
constexpr char LOG_SEAL_SUFFIX[] = ".seal";               /* a log's sidecar */
constexpr char LOG_SEAL_MOVING_SUFFIX[] = ".seal.moving"; /* on its way to ".old.seal" */

/* the sealing state: the key of one epoch, and how to tell epochs */
struct log_seal_state {
  char magic[8]; /* LOG_SEAL_STATE_MAGIC */
  uint32_t version;
  uint32_t zero;
  uint64_t interval; /* seconds an epoch lasts */
  int64_t start;     /* when epoch 0 began */
  uint64_t epoch;    /* the epoch of key */
  uint8_t id[LOG_SEAL_ID];
  uint8_t key[LOG_SEAL_KEY];
  uint8_t reserved[40];
};
static_assert(sizeof(log_seal_state) == 128, "the state is 128 bytes");
constexpr char LOG_SEAL_STATE_MAGIC[8] = {'V', 'Z', 'S', 'E', 'A', 'L', 'K', '1'};

/* a sidecar: a header, then entries */
struct log_seal_header {
  char magic[8]; /* LOG_SEAL_SIDECAR_MAGIC */
  uint32_t version;
  uint32_t entry_size;
  uint64_t log_volume; /* the log file it seals (a sidecar left beside another, after a */
  uint64_t log_index;  /* writer died between moving a log and its sidecar, is moved on) */
  uint8_t reserved[32];
};
static_assert(sizeof(log_seal_header) == 64, "the sidecar's header is 64 bytes");
constexpr char LOG_SEAL_SIDECAR_MAGIC[8] = {'V', 'Z', 'S', 'E', 'A', 'L', 'S', '1'};

constexpr uint32_t LOG_SEAL_RECORD = 1; /* the entry seals the record at its place */
constexpr uint32_t LOG_SEAL_ORPHAN = 2; /* a record its writer left unsealed (it died first):
                                           sealed by the next writer, named as such */
constexpr uint32_t LOG_SEAL_CLAIMED = 0xFFFFFFFFu; /* a slot its writer took and never filled
                                                     (it died first): no entry */
struct log_seal_entry {
  uint32_t type;
  int32_t utc_offset; /* the writer's zone at time: its header shows time + utc_offset */
  uint64_t seq;
  uint64_t offset; /* the record's place in its log */
  uint64_t length;
  uint64_t epoch;
  int64_t time; /* the time its header shows */
  uint8_t id[LOG_SEAL_ID];
  uint8_t prev[LOG_SEAL_KEY]; /* the tag before it: the chain runs across rotation */
  uint8_t tag[LOG_SEAL_KEY];
};
static_assert(sizeof(log_seal_entry) == 128, "an entry is 128 bytes");

/* a seed's keys: the id of its chains, and the key of epoch 0 */
bool log_seal__key_id(const uint8_t seed[LOG_SEAL_KEY], uint8_t id[LOG_SEAL_ID]);
bool log_seal__first_key(const uint8_t seed[LOG_SEAL_KEY], uint8_t key[LOG_SEAL_KEY]);
/* the key of the next epoch, in place (the older one is overwritten) */
bool log_seal__evolve(uint8_t key[LOG_SEAL_KEY]);
/* the epoch of time t (epochs before start are none: -1) */
long long log_seal__epoch_of(time_t t, int64_t start, uint64_t interval);
/* an entry's tag: over the record's bytes, then the entry's fields but the tag */
bool log_seal__tag(const uint8_t key[LOG_SEAL_KEY], const void *record, size_t length,
                   const log_seal_entry *entry, uint8_t tag[LOG_SEAL_KEY]);
/* the fields a tag binds after the record's bytes, as they are hashed: all but the key's id
   (the key itself says that) and the tag */
constexpr size_t LOG_SEAL_FIELDS = 80;
void log_seal__entry_fields(const log_seal_entry *entry, uint8_t out[LOG_SEAL_FIELDS]);
/* key material wiped where a compiler cannot leave it */
void log_seal__wipe(void *bytes, size_t n);

/*
** The verification key's text: the seed in hex, in groups of 8 digits,
** then "/", the start and the interval in hex ("/67890abc-384"). False
** for a text that is not one.
*/
void log_seal__key_text(const uint8_t seed[LOG_SEAL_KEY], int64_t start, uint64_t interval,
                        char *text, size_t room);
bool log_seal__parse_key(const char *text, uint8_t seed[LOG_SEAL_KEY], int64_t *start,
                         uint64_t *interval);

/* ---- the writer's side (under the write lock) ---- */

/*
** Whether records are sealed now: the state beside the data file is read
** at the first record, and looked at again where the watches say that its
** directory changed (changes: VezWatchChanges's count; where nothing is
** watched, at most once a second). No state: no sealing, and no cost. A
** state that cannot be read leaves records unsealed, and is said once
** (*report set the first time).
*/
bool log_seal__active(const char *data_file, uint32_t changes, bool watched, bool *report);

/*
** The key to seal a record of time t with, evolved to t's epoch where the
** state is behind it (the state file's key overwritten, under a lock of
** its own); a clock set back below the state's epoch keeps the state's
** epoch (a verifier finds such a record sealed later than its time allows).
** *epoch, *id set. False: sealing failed for this record.
*/
bool log_seal__key_for(time_t t, uint64_t *epoch, uint8_t id[LOG_SEAL_ID]);

/* an entry's tag with the key log_seal__key_for gave, the record in pieces */
bool log_seal__begin_tag(void);
bool log_seal__tag_data(const void *bytes, size_t n);
bool log_seal__end_tag(const log_seal_entry *entry, uint8_t tag[LOG_SEAL_KEY]);

/* an ended tag made again in one piece, with the key log_seal__key_for gave (an entry whose
   record went elsewhere in its log than meant) */
bool log_seal__tag_again(const void *record, size_t length, const log_seal_entry *entry,
                         uint8_t tag[LOG_SEAL_KEY]);

/* the UTC offset, in seconds east, of the local time at t */
int32_t log_seal__utc_offset(time_t t);

#endif /* VEZ_LOG_SEAL_H */
