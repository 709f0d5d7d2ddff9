/*
** log_seal.cpp - sealed logs: keys, their evolution, tags, and the sealing
** state as a writer keeps it. Every primitive is the system's, through the
** CNG calls (on POSIX, over libcrypto).
**
** A writer keeps the key of the epoch it seals in, in a hash object made
** with it, and nothing older: at a new epoch it derives the next key, wipes
** the one before and writes the state file's key over (the first writer
** that finds the epoch changed does, under the state file's own lock).
*/
#include "log_seal.h"

#include <stdio.h>
#include <string.h>

#include "platform.h"

namespace {

/* the work of deriving keys is bounded: a clock gone years ahead of 1-second epochs is not
   followed key by key */
constexpr uint64_t EVOLVE_MAX = 100000000;
/* a writer waits this long at most for the state file's lock */
constexpr DWORD STATE_LOCK_WAIT = 1000;

const char ID_LABEL[] = "vezlog key id";
const char FIRST_LABEL[] = "vezlog sealing key 0";
const char NEXT_LABEL[] = "vezlog sealing key next";

BCRYPT_ALG_HANDLE hmac_provider() {
  static BCRYPT_ALG_HANDLE alg = nullptr;
  if (alg == nullptr && !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(
                            &alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    alg = nullptr;
  return alg;
}

/* HMAC-SHA-256 of the pieces, with key */
bool hmac(const uint8_t *key, size_t key_length, const void *a, size_t na, const void *b, size_t nb,
          uint8_t out[LOG_SEAL_KEY]) {
  BCRYPT_ALG_HANDLE alg = hmac_provider();
  BCRYPT_HASH_HANDLE h = nullptr;
  if (alg == nullptr || !BCRYPT_SUCCESS(BCryptCreateHash(
                            alg, &h, nullptr, 0, const_cast<uint8_t *>(key), (ULONG)key_length, 0)))
    return false;
  bool ok = BCRYPT_SUCCESS(BCryptHashData(h, (PUCHAR) const_cast<void *>(a), (ULONG)na, 0)) &&
            BCRYPT_SUCCESS(BCryptHashData(h, (PUCHAR) const_cast<void *>(b), (ULONG)nb, 0)) &&
            BCRYPT_SUCCESS(BCryptFinishHash(h, out, LOG_SEAL_KEY, 0));
  BCryptDestroyHash(h);
  return ok;
}

void put64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++)
    p[i] = (uint8_t)(v >> (8 * i));
}

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++)
    p[i] = (uint8_t)(v >> (8 * i));
}

/* the fields a tag binds after the record's bytes, little-endian whatever the machine */
constexpr size_t FIELDS_SIZE = LOG_SEAL_FIELDS;
void fields_of(const log_seal_entry *e, uint8_t out[FIELDS_SIZE]) {
  put32(out, e->type);
  put32(out + 4, (uint32_t)e->utc_offset);
  put64(out + 8, e->seq);
  put64(out + 16, e->offset);
  put64(out + 24, e->length);
  put64(out + 32, e->epoch);
  put64(out + 40, (uint64_t)e->time);
  memcpy(out + 48, e->prev, LOG_SEAL_KEY);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* a hex number of at most 16 digits at *p, up to a character not a digit */
bool parse_hex(const char **p, uint64_t *v) {
  int digits = 0;
  *v = 0;
  while (hex_value(**p) >= 0 && digits < 17) {
    *v = *v << 4 | (uint64_t)hex_value(**p);
    (*p)++;
    digits++;
  }
  return digits > 0 && digits <= 16;
}

} // namespace

void log_seal__entry_fields(const log_seal_entry *entry, uint8_t out[LOG_SEAL_FIELDS]) {
  fields_of(entry, out);
}

void log_seal__wipe(void *bytes, size_t n) {
  volatile uint8_t *p = static_cast<volatile uint8_t *>(bytes);
  while (n-- > 0)
    *p++ = 0;
}

bool log_seal__key_id(const uint8_t seed[LOG_SEAL_KEY], uint8_t id[LOG_SEAL_ID]) {
  uint8_t full[LOG_SEAL_KEY];
  if (!hmac(seed, LOG_SEAL_KEY, ID_LABEL, sizeof ID_LABEL - 1, "", 0, full)) return false;
  memcpy(id, full, LOG_SEAL_ID);
  return true;
}

bool log_seal__first_key(const uint8_t seed[LOG_SEAL_KEY], uint8_t key[LOG_SEAL_KEY]) {
  return hmac(seed, LOG_SEAL_KEY, FIRST_LABEL, sizeof FIRST_LABEL - 1, "", 0, key);
}

bool log_seal__evolve(uint8_t key[LOG_SEAL_KEY]) {
  uint8_t next[LOG_SEAL_KEY];
  bool ok = hmac(key, LOG_SEAL_KEY, NEXT_LABEL, sizeof NEXT_LABEL - 1, "", 0, next);
  if (ok) memcpy(key, next, LOG_SEAL_KEY);
  log_seal__wipe(next, sizeof next);
  return ok;
}

long long log_seal__epoch_of(time_t t, int64_t start, uint64_t interval) {
  if (interval == 0 || (int64_t)t < start) return -1;
  return (long long)(((uint64_t)((int64_t)t - start)) / interval);
}

bool log_seal__tag(const uint8_t key[LOG_SEAL_KEY], const void *record, size_t length,
                   const log_seal_entry *entry, uint8_t tag[LOG_SEAL_KEY]) {
  uint8_t fields[FIELDS_SIZE];
  fields_of(entry, fields);
  return hmac(key, LOG_SEAL_KEY, record, length, fields, sizeof fields, tag);
}

void log_seal__key_text(const uint8_t seed[LOG_SEAL_KEY], int64_t start, uint64_t interval,
                        char *text, size_t room) {
  char hex[2 * LOG_SEAL_KEY + LOG_SEAL_KEY / 4 + 1];
  size_t n = 0;
  for (int i = 0; i < LOG_SEAL_KEY; i++) {
    if (i > 0 && i % 4 == 0) hex[n++] = '-';
    n += (size_t)snprintf(hex + n, sizeof hex - n, "%02x", seed[i]);
  }
  snprintf(text, room, "%s/%llx-%llx", hex, (unsigned long long)start,
           (unsigned long long)interval);
}

bool log_seal__parse_key(const char *text, uint8_t seed[LOG_SEAL_KEY], int64_t *start,
                         uint64_t *interval) {
  const char *p = text;
  int nibbles = 0;
  uint8_t bytes[LOG_SEAL_KEY] = {};
  for (; *p != '\0' && *p != '/'; p++) {
    if (*p == '-') continue;
    int v = hex_value(*p);
    if (v < 0 || nibbles == 2 * LOG_SEAL_KEY) return false;
    bytes[nibbles / 2] = (uint8_t)(bytes[nibbles / 2] << 4 | v);
    nibbles++;
  }
  uint64_t s = 0, i = 0;
  if (nibbles != 2 * LOG_SEAL_KEY || *p++ != '/' || !parse_hex(&p, &s) || *p++ != '-' ||
      !parse_hex(&p, &i) || *p != '\0' || i == 0)
    return false;
  memcpy(seed, bytes, LOG_SEAL_KEY);
  log_seal__wipe(bytes, sizeof bytes);
  *start = (int64_t)s;
  *interval = i;
  return true;
}

int32_t log_seal__utc_offset(time_t t) {
  /* the zone's offset changes at most at an hour's change: the last second's is kept */
  static thread_local time_t last_t = -1;
  static thread_local int32_t last_offset = 0;
  if (t == last_t) return last_offset;
  struct tm local, utc;
  if (localtime_s(&local, &t) != 0 || gmtime_s(&utc, &t) != 0) return 0;
  /* the two calendars differ by less than a day: their day of the year tells which way */
  int days = local.tm_yday - utc.tm_yday;
  if (days > 1) days = -1; /* the new year in one only */
  if (days < -1) days = 1;
  last_t = t;
  last_offset = (int32_t)(days * 86400 + (local.tm_hour - utc.tm_hour) * 3600 +
                          (local.tm_min - utc.tm_min) * 60 + (local.tm_sec - utc.tm_sec));
  return last_offset;
}

/* ---- the writer's side ---- */

namespace {

/*
** The sealing state as this process keeps it, the write path's, under its
** lock. The key is the current epoch's only.
*/
struct sealing {
  bool looked;   /* the state file was looked for */
  bool loaded;   /* and read: records are sealed */
  bool said;     /* a state that could not be read was said */
  uint32_t seen; /* the watches' count when it was last looked for */
  time_t looked_at;
  char path[MAX_PATH];
  VEZ_FILE_FACTS id_of_file;
  log_seal_state state;      /* its key the current epoch's */
  BCRYPT_HASH_HANDLE tagger; /* a hash object with that key */
  bool reusable;             /* it starts again by itself after each tag */
  bool tag_open;             /* a tag begun and not ended */
};
sealing s = {};

void forget_key() {
  if (s.tagger != nullptr) BCryptDestroyHash(s.tagger);
  s.tagger = nullptr;
  log_seal__wipe(&s.state, sizeof s.state);
  s.loaded = false;
}

bool valid(const log_seal_state &st) {
  return memcmp(st.magic, LOG_SEAL_STATE_MAGIC, sizeof st.magic) == 0 && st.version == 1 &&
         st.interval > 0;
}

/* the state file opened, to read and to write; INVALID_HANDLE_VALUE when it cannot be */
HANDLE open_state() {
  return CreateFileA(s.path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool read_state(HANDLE h, log_seal_state *st) {
  DWORD got = 0;
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
  return ReadFile(h, st, sizeof *st, &got, nullptr) && got == sizeof *st && valid(*st);
}

/* a hash object with the current key: a reusable one where the system has them */
bool make_tagger() {
  if (s.tagger != nullptr) BCryptDestroyHash(s.tagger);
  s.tagger = nullptr;
  s.tag_open = false;
  BCRYPT_ALG_HANDLE alg = hmac_provider();
  if (alg == nullptr) return false;
  s.reusable = BCRYPT_SUCCESS(BCryptCreateHash(alg, &s.tagger, nullptr, 0, s.state.key,
                                               LOG_SEAL_KEY, BCRYPT_HASH_REUSABLE_FLAG));
  return s.reusable ||
         BCRYPT_SUCCESS(BCryptCreateHash(alg, &s.tagger, nullptr, 0, s.state.key, LOG_SEAL_KEY, 0));
}

/* the state read, or false (said once where it is there and cannot be read) */
bool load(bool *report) {
  HANDLE h = open_state();
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    if (!missing && !s.said) *report = s.said = true;
    return false;
  }
  log_seal_state st;
  bool ok = read_state(h, &st);
  VEZ_FILE_FACTS facts = {};
  BY_HANDLE_FILE_INFORMATION info;
  if (ok && GetFileInformationByHandle(h, &info)) {
    facts.volume = info.dwVolumeSerialNumber;
    facts.index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
  }
  CloseHandle(h);
  if (!ok) {
    log_seal__wipe(&st, sizeof st);
    if (!s.said) *report = s.said = true;
    return false;
  }
  forget_key();
  s.state = st;
  log_seal__wipe(&st, sizeof st);
  s.id_of_file = facts;
  s.loaded = make_tagger();
  if (!s.loaded) forget_key();
  return s.loaded;
}

/* the key brought forward to epoch, in memory and (where it is behind) in the state file */
bool evolve_to(uint64_t epoch) {
  if (epoch - s.state.epoch > EVOLVE_MAX) return false;
  while (s.state.epoch < epoch) {
    if (!log_seal__evolve(s.state.key)) return false;
    s.state.epoch++;
  }
  if (!make_tagger()) return false;
  /* the state file's key written over, the first writer of the epoch's doing */
  HANDLE h = open_state();
  if (h == INVALID_HANDLE_VALUE) return true;
  OVERLAPPED whole = {};
  DWORD waited = GetTickCount();
  while (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                     &whole)) {
    if (GetTickCount() - waited >= STATE_LOCK_WAIT) {
      CloseHandle(h);
      return true; /* another writes it; this process seals with the key all the same */
    }
    Sleep(1);
  }
  log_seal_state file;
  if (read_state(h, &file) && memcmp(file.id, s.state.id, LOG_SEAL_ID) == 0 &&
      file.epoch < s.state.epoch) {
    DWORD written = 0;
    if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER)
      WriteFile(h, &s.state, sizeof s.state, &written, nullptr);
  }
  log_seal__wipe(&file, sizeof file);
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(h);
  return true;
}

} // namespace

bool log_seal__active(const char *data_file, uint32_t changes, bool watched, bool *report) {
  *report = false;
  if (!s.looked) {
    s.looked = true;
    /* beside the data file */
    const char *sep = strrchr(data_file, VEZ_DIRSEP_CHAR);
    size_t dir = sep != nullptr ? (size_t)(sep - data_file) + 1 : 0;
    if (dir + sizeof LOG_SEAL_STATE_NAME > sizeof s.path) return false;
    memcpy(s.path, data_file, dir);
    memcpy(s.path + dir, LOG_SEAL_STATE_NAME, sizeof LOG_SEAL_STATE_NAME);
    VezWatchPath(s.path);
    s.seen = changes;
    s.looked_at = time(nullptr);
    return load(report);
  }
  if (changes == s.seen || s.path[0] == '\0') return s.loaded;
  /* looked for again where its directory changed (a state made, replaced or removed); where
     nothing is watched, the count changes at every call: at most once a second then */
  time_t now = time(nullptr);
  if (changes != s.seen && (watched || now != s.looked_at)) {
    s.seen = changes;
    s.looked_at = now;
    VEZ_FILE_FACTS facts;
    bool there = VezFileFactsAtName(s.path, &facts) != 0;
    if (!there) {
      forget_key();
    } else if (!s.loaded || facts.volume != s.id_of_file.volume ||
               facts.index != s.id_of_file.index) {
      load(report);
    }
  }
  return s.loaded;
}

bool log_seal__key_for(time_t t, uint64_t *epoch, uint8_t id[LOG_SEAL_ID]) {
  if (!s.loaded) return false;
  /* most records fall in the epoch of the one before */
  int64_t epoch_end = s.state.start + (int64_t)((s.state.epoch + 1) * s.state.interval);
  long long e = (int64_t)t < epoch_end ? (long long)s.state.epoch
                                       : log_seal__epoch_of(t, s.state.start, s.state.interval);
  if (e > (long long)s.state.epoch && !evolve_to((uint64_t)e)) {
    forget_key();
    return false;
  }
  *epoch = s.state.epoch;
  memcpy(id, s.state.id, LOG_SEAL_ID);
  return true;
}

bool log_seal__begin_tag(void) {
  if (s.tagger == nullptr) return false;
  /* a tag left unended (its record was not written) is ended and thrown away */
  if (s.tag_open) {
    uint8_t scratch[LOG_SEAL_KEY];
    BCryptFinishHash(s.tagger, scratch, LOG_SEAL_KEY, 0);
    if (!s.reusable && !make_tagger()) return false;
  }
  s.tag_open = true;
  return true;
}

bool log_seal__tag_data(const void *bytes, size_t n) {
  const uint8_t *p = static_cast<const uint8_t *>(bytes);
  while (n > 0) {
    ULONG chunk = n > 0x40000000u ? 0x40000000u : (ULONG)n;
    if (!BCRYPT_SUCCESS(BCryptHashData(s.tagger, const_cast<uint8_t *>(p), chunk, 0))) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

bool log_seal__tag_again(const void *record, size_t length, const log_seal_entry *entry,
                         uint8_t tag[LOG_SEAL_KEY]) {
  if (!s.loaded || entry->epoch != s.state.epoch) return false;
  return log_seal__tag(s.state.key, record, length, entry, tag);
}

bool log_seal__end_tag(const log_seal_entry *entry, uint8_t tag[LOG_SEAL_KEY]) {
  uint8_t fields[FIELDS_SIZE];
  fields_of(entry, fields);
  bool ok = BCRYPT_SUCCESS(BCryptHashData(s.tagger, fields, sizeof fields, 0)) &&
            BCRYPT_SUCCESS(BCryptFinishHash(s.tagger, tag, LOG_SEAL_KEY, 0));
  s.tag_open = false;
  if (!s.reusable && !make_tagger()) forget_key();
  return ok;
}
