/*
** log_seal.h - sealed logs: the files of sealing and the primitives over
** them, for the writer and for every verifier.
**
** Sealing keys evolve: the key of interval e+1 is HMAC-SHA-256 of the key
** of interval e, so that whoever reads the state at a time can derive the
** keys of that interval and later ones, never an earlier one. The
** verification key, a random seed kept off the host, derives the key of
** every interval. The log files' bytes are not changed by any of this.
**
** - Each log's sidecar ("LOG.seal", rotated with the log to
**   "LOG.old.seal") holds one entry per record: the SHA-256 digest of its
**   bytes (anyone can check it) and a tag, HMAC-SHA-256 with its interval's
**   key over the entry's fields and the digest (only the key's holder can
**   make or check it). Entries chain: each names the tag before it, across
**   rotations. A sidecar begins with an entry of its own (ROTATION): where
**   sealing begins in its log, the digest of what comes before, and the
**   generation. Bytes between records that no record owns (a torn record's
**   tail ended, a line someone else wrote) are named by the next writer
**   (MEND), and so is a whole record whose writer died before its entry
**   (ORPHAN).
** - At the end of each interval a close, made with that interval's key,
**   says where every sealed log's chain then ended ("sealing.closes"
**   beside the state, and a record of the error log): an intruder who comes
**   later can cut nothing of it.
**
** Files are little-endian and the same for every build.
*/
#ifndef VEZ_LOG_SEAL_H
#define VEZ_LOG_SEAL_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

constexpr int LOG_SEAL_KEY = 32; /* a key, a seed, a tag and a digest */
constexpr int LOG_SEAL_ID = 16;  /* which verification key a chain belongs to */
constexpr char LOG_SEAL_STATE_NAME[] = "sealing.dat";     /* beside the data file */
constexpr char LOG_SEAL_CLOSES_NAME[] = "sealing.closes"; /* beside it */
constexpr char LOG_SEAL_SUFFIX[] = ".seal";               /* a log's sidecar */
constexpr char LOG_SEAL_OLD_SUFFIX[] = ".old.seal";       /* its old copy's */
constexpr char LOG_SEAL_MOVING_SUFFIX[] = ".seal.moving"; /* on its way to ".old.seal" */

/* the sealing state: the key of one interval, how to tell intervals, the last close */
struct log_seal_state {
  char magic[8]; /* LOG_SEAL_STATE_MAGIC */
  uint32_t version;
  uint32_t zero;
  uint64_t interval; /* seconds an interval lasts */
  int64_t start;     /* when interval 0 began */
  uint64_t epoch;    /* the interval of key (every one before it is closed) */
  uint8_t id[LOG_SEAL_ID];
  uint8_t key[LOG_SEAL_KEY];
  uint8_t close_tag[LOG_SEAL_KEY]; /* the last close's tag (zeros: none yet) */
  uint64_t close_at;               /* and where it begins in the closes file */
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
constexpr uint32_t LOG_SEAL_SIDECAR_VERSION = 2; /* 1: an earlier release's, read only */

constexpr uint32_t LOG_SEAL_RECORD = 1;   /* the record at its place */
constexpr uint32_t LOG_SEAL_ORPHAN = 2;   /* a record its writer left unsealed (it died first):
                                             sealed by the next writer, named as such */
constexpr uint32_t LOG_SEAL_ROTATION = 3; /* a sidecar's first: sealing begins at offset */
constexpr uint32_t LOG_SEAL_MEND = 4;     /* bytes between records that no record owns */
constexpr uint32_t LOG_SEAL_CLAIMED = 0xFFFFFFFFu; /* a slot its writer took and never filled
                                                     (it died first): no entry */
struct log_seal_entry {
  uint32_t type;
  int32_t utc_offset; /* the writer's zone at time: its header shows time + utc_offset */
  uint64_t seq;
  uint64_t offset; /* the record's place in its log */
  uint64_t length;
  uint64_t epoch;
  int64_t time; /* the time its header shows (a rotation's or mend's: when it was made) */
  uint8_t id[LOG_SEAL_ID];
  uint8_t prev[LOG_SEAL_KEY];   /* the tag before it: the chain runs across rotation */
  uint8_t digest[LOG_SEAL_KEY]; /* SHA-256 of its bytes (a rotation's: of those before offset) */
  uint64_t generation;          /* the log's rotations when it was made */
  int64_t named_at;             /* an orphan's: when it was named */
  uint8_t reserved[16];
  uint8_t tag[LOG_SEAL_KEY];
};
static_assert(sizeof(log_seal_entry) == 192, "an entry is 192 bytes");

/* an earlier release's entry (sidecar version 1): its tag over the record's bytes */
struct log_seal_entry_v1 {
  uint32_t type;
  int32_t utc_offset;
  uint64_t seq;
  uint64_t offset;
  uint64_t length;
  uint64_t epoch;
  int64_t time;
  uint8_t id[LOG_SEAL_ID];
  uint8_t prev[LOG_SEAL_KEY];
  uint8_t tag[LOG_SEAL_KEY];
};
static_assert(sizeof(log_seal_entry_v1) == 128, "an earlier entry is 128 bytes");

/*
** A close: the interval it closes, when it was made, the close before it,
** and for each sealed log where its chain ended then. Its tag is
** HMAC-SHA-256 with the interval's key over all of its bytes but the tag.
*/
struct log_seal_close {
  char magic[8]; /* LOG_SEAL_CLOSE_MAGIC */
  uint32_t version;
  uint32_t logs;  /* log_seal_close_log records that follow */
  uint64_t epoch; /* the interval closed */
  int64_t made;   /* when */
  uint8_t id[LOG_SEAL_ID];
  uint8_t prev[LOG_SEAL_KEY]; /* the close before it (zeros: the key's first) */
  uint32_t length;            /* all of its bytes */
  uint32_t zero;
  uint64_t interval; /* seconds an interval lasts, as the state says */
  uint8_t tag[LOG_SEAL_KEY];
};
static_assert(sizeof(log_seal_close) == 128, "a close's head is 128 bytes");
constexpr char LOG_SEAL_CLOSE_MAGIC[8] = {'V', 'Z', 'C', 'L', 'O', 'S', 'E', '1'};
/* a log in a close, then its name (name_length bytes, zeros up to a multiple of 8) */
struct log_seal_close_log {
  uint64_t generation;       /* its rotations */
  uint64_t seq;              /* its chain's last entry: its sequence number */
  uint64_t reserved;         /* zero */
  uint8_t tag[LOG_SEAL_KEY]; /* and tag (zeros: nothing sealed yet) */
  uint32_t name_length;
  uint32_t flags; /* LOG_SEAL_CLOSE_HELD */
};
static_assert(sizeof(log_seal_close_log) == 64, "a close's log is 64 bytes");
/* its lock was held by another the whole time the close waited: where its chain ended is
   not known, and the close does not cover it */
constexpr uint32_t LOG_SEAL_CLOSE_HELD = 1;
constexpr uint32_t LOG_SEAL_CLOSE_NAME_MAX = 1024;

/* a seed's keys: the id of its chains, and the key of interval 0 */
bool log_seal__key_id(const uint8_t seed[LOG_SEAL_KEY], uint8_t id[LOG_SEAL_ID]);
bool log_seal__first_key(const uint8_t seed[LOG_SEAL_KEY], uint8_t key[LOG_SEAL_KEY]);
/* the key of the next interval, in place (the older one is overwritten) */
bool log_seal__evolve(uint8_t key[LOG_SEAL_KEY]);
/* the interval of time t (before start: none, -1) */
long long log_seal__epoch_of(time_t t, int64_t start, uint64_t interval);
/* how late a close may be made past the end of the interval after the one it closes (a
   timer's run takes time, its start is not exact): a minute, or an interval where they are
   shorter. A close made later is late: its key was on the host that long */
inline int64_t log_seal__close_slack(uint64_t interval) {
  return interval < 60 ? (int64_t)interval : 60;
}

/* SHA-256 of bytes */
bool log_seal__digest(const void *bytes, size_t n, uint8_t digest[LOG_SEAL_KEY]);
/* the fields an entry's tag is made over, as they are hashed: all but the key's id and its
   interval (the key itself says them) and the tag, the digest among them; few enough to be
   two blocks of the hash */
constexpr size_t LOG_SEAL_FIELDS = 117;
void log_seal__entry_fields(const log_seal_entry *entry, uint8_t out[LOG_SEAL_FIELDS]);
/* an entry's tag, with the key of its interval */
bool log_seal__tag(const uint8_t key[LOG_SEAL_KEY], const log_seal_entry *entry,
                   uint8_t tag[LOG_SEAL_KEY]);
/* an earlier release's tag: over the record's bytes, then its fields but the tag */
constexpr size_t LOG_SEAL_FIELDS_V1 = 80;
bool log_seal__tag_v1(const uint8_t key[LOG_SEAL_KEY], const void *record, size_t length,
                      const log_seal_entry_v1 *entry, uint8_t tag[LOG_SEAL_KEY]);
/* a close's tag, over its length bytes with the tag's place read as zeros */
bool log_seal__close_tag(const uint8_t key[LOG_SEAL_KEY], const void *close, size_t length,
                         uint8_t tag[LOG_SEAL_KEY]);

/* HMAC-SHA-256 of the pieces, with key */
bool log_seal__hmac(const uint8_t *key, size_t key_length, const void *a, size_t na, const void *b,
                    size_t nb, uint8_t out[LOG_SEAL_KEY]);
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

/* the UTC offset, in seconds east, of the local time at t */
int32_t log_seal__utc_offset(time_t t);

/* the path of a file beside the data file (the state, the closes) */
bool log_seal__beside(const char *data_file, const char *name, char *path, size_t room);

#endif /* VEZ_LOG_SEAL_H */
