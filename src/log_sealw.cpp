/*
** log_sealw.cpp - the sealing state as a writer keeps it.
**
** A writer keeps the key of the interval it seals in, in a hash object made
** with it, and nothing older: at a new interval it derives the next key
** and wipes the one before. The state file is not written here: its key is
** evolved by whoever closes the interval it holds (log_close), with that
** interval's key, before it is forgotten.
*/
#include "log_sealw.h"

#include <string.h>

#include "platform.h"

namespace {

/* the work of deriving keys is bounded: a clock gone years ahead of 1-second intervals is
   not followed key by key */
constexpr uint64_t EVOLVE_MAX = 100000000;

/*
** The sealing state as this process keeps it, the write path's, under its
** lock. The key is the current interval's only.
*/
struct sealing {
  bool looked;   /* the state file was looked for */
  bool loaded;   /* and read: records are sealed */
  bool said;     /* a state that could not be read was said */
  uint32_t seen; /* the watches' count when it was last looked for */
  time_t looked_at;
  char path[MAX_PATH];
  VEZ_FILE_FACTS id_of_file;
  long long file_epoch;      /* the state file's interval when it was last read or closed */
  log_seal_state state;      /* its key the current interval's */
  BCRYPT_HASH_HANDLE tagger; /* an HMAC object with that key, started again at each tag */
  BCRYPT_HASH_HANDLE hasher; /* a SHA-256 object for the digests */
  bool reusable;             /* they start again by themselves after each use */
  bool digest_open;          /* a digest begun and not ended */
  /* the key before the last evolution, kept until the record in hand is stored: its first
     entry may be of the interval before its last one */
  bool kept;
  uint64_t kept_epoch;
  uint8_t kept_key[LOG_SEAL_KEY];
};
sealing s = {false, false,   false,   0,     0,     {},    {}, -1,
             {},    nullptr, nullptr, false, false, false, 0,  {}};

BCRYPT_ALG_HANDLE provider(bool hmac) {
  static BCRYPT_ALG_HANDLE algs[2] = {nullptr, nullptr};
  BCRYPT_ALG_HANDLE &alg = algs[hmac ? 1 : 0];
  if (alg == nullptr &&
      !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                  hmac ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0)))
    alg = nullptr;
  return alg;
}

void forget_key() {
  if (s.tagger != nullptr) BCryptDestroyHash(s.tagger);
  s.tagger = nullptr;
  log_seal__wipe(&s.state, sizeof s.state);
  log_seal__wipe(s.kept_key, sizeof s.kept_key);
  s.kept = false;
  s.loaded = false;
}

bool valid(const log_seal_state &st) {
  return memcmp(st.magic, LOG_SEAL_STATE_MAGIC, sizeof st.magic) == 0 && st.version == 1 &&
         st.interval > 0;
}

/* a hash object of the provider (keyed, or none), reusable where the system has them (else
   made again after each use) */
BCRYPT_HASH_HANDLE make(bool hmac) {
  BCRYPT_ALG_HANDLE alg = provider(hmac);
  BCRYPT_HASH_HANDLE h = nullptr;
  if (alg == nullptr) return nullptr;
  s.reusable = BCRYPT_SUCCESS(BCryptCreateHash(alg, &h, nullptr, 0, hmac ? s.state.key : nullptr,
                                               hmac ? LOG_SEAL_KEY : 0, BCRYPT_HASH_REUSABLE_FLAG));
  if (!s.reusable &&
      !BCRYPT_SUCCESS(BCryptCreateHash(alg, &h, nullptr, 0, hmac ? s.state.key : nullptr,
                                       hmac ? LOG_SEAL_KEY : 0, 0)))
    return nullptr;
  return h;
}

/* the tags' hash object with the current key, and the digests' */
bool make_hashers() {
  if (s.tagger != nullptr) BCryptDestroyHash(s.tagger);
  if (s.hasher != nullptr) BCryptDestroyHash(s.hasher);
  s.digest_open = false;
  s.hasher = make(false);
  s.tagger = make(true);
  return s.hasher != nullptr && s.tagger != nullptr;
}

/* after a use: a hash object that does not start again by itself is made again */
bool again(BCRYPT_HASH_HANDLE *h, bool hmac) {
  if (s.reusable) return true;
  BCryptDestroyHash(*h);
  *h = make(hmac);
  return *h != nullptr;
}

/* the state read, or false (said once where it is there and cannot be read) */
bool load(bool *report) {
  HANDLE h = CreateFileA(s.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    bool missing = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    if (!missing && !s.said) *report = s.said = true;
    return false;
  }
  log_seal_state st;
  DWORD got = 0;
  bool ok = ReadFile(h, &st, sizeof st, &got, nullptr) && got == sizeof st && valid(st);
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
  /* a key in hand already ahead of the file's (derived forward here) is kept */
  bool same_key = s.loaded && memcmp(st.id, s.state.id, LOG_SEAL_ID) == 0;
  s.file_epoch = (long long)st.epoch;
  if (same_key && st.epoch <= s.state.epoch) {
    log_seal__wipe(&st, sizeof st);
    return true;
  }
  forget_key();
  s.state = st;
  log_seal__wipe(&st, sizeof st);
  s.id_of_file = facts;
  s.loaded = make_hashers();
  if (!s.loaded) forget_key();
  return s.loaded;
}

/* the key brought forward to epoch, in memory, the one it leaves kept */
bool evolve_to(uint64_t epoch) {
  if (epoch - s.state.epoch > EVOLVE_MAX) return false;
  memcpy(s.kept_key, s.state.key, LOG_SEAL_KEY);
  s.kept_epoch = s.state.epoch;
  s.kept = true;
  while (s.state.epoch < epoch) {
    if (!log_seal__evolve(s.state.key)) return false;
    s.state.epoch++;
  }
  return make_hashers();
}

} // namespace

bool log_sealw__active(const char *data_file, uint32_t changes, bool watched, bool *report) {
  *report = false;
  if (!s.looked) {
    s.looked = true;
    if (!log_seal__beside(data_file, LOG_SEAL_STATE_NAME, s.path, sizeof s.path)) return false;
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

bool log_sealw__key_for(time_t t, uint64_t *epoch, uint8_t id[LOG_SEAL_ID]) {
  if (!s.loaded) return false;
  /* most entries fall in the interval of the one before */
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

bool log_sealw__begin_digest(void) {
  if (s.hasher == nullptr) return false;
  /* a digest left unended (its record was not written) is ended and thrown away */
  if (s.digest_open) {
    uint8_t scratch[LOG_SEAL_KEY];
    BCryptFinishHash(s.hasher, scratch, LOG_SEAL_KEY, 0);
    if (!again(&s.hasher, false)) return false;
  }
  s.digest_open = true;
  return true;
}

bool log_sealw__digest_data(const void *bytes, size_t n) {
  const uint8_t *p = static_cast<const uint8_t *>(bytes);
  while (n > 0) {
    ULONG chunk = n > 0x40000000u ? 0x40000000u : (ULONG)n;
    if (!BCRYPT_SUCCESS(BCryptHashData(s.hasher, const_cast<uint8_t *>(p), chunk, 0))) return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}

bool log_sealw__end_digest(uint8_t digest[LOG_SEAL_KEY]) {
  s.digest_open = false;
  bool ok = BCRYPT_SUCCESS(BCryptFinishHash(s.hasher, digest, LOG_SEAL_KEY, 0));
  return again(&s.hasher, false) && ok;
}

bool log_sealw__tag(const log_seal_entry *entry, uint8_t tag[LOG_SEAL_KEY]) {
  if (s.loaded && s.kept && entry->epoch == s.kept_epoch)
    return log_seal__tag(s.kept_key, entry, tag);
  if (!s.loaded || s.tagger == nullptr || entry->epoch != s.state.epoch) return false;
  uint8_t fields[LOG_SEAL_FIELDS];
  log_seal__entry_fields(entry, fields);
  bool ok = BCRYPT_SUCCESS(BCryptHashData(s.tagger, fields, sizeof fields, 0)) &&
            BCRYPT_SUCCESS(BCryptFinishHash(s.tagger, tag, LOG_SEAL_KEY, 0));
  return again(&s.tagger, true) && ok;
}

void log_sealw__record_done(void) {
  if (s.kept) log_seal__wipe(s.kept_key, sizeof s.kept_key);
  s.kept = false;
}

long long log_sealw__epoch_now(time_t t) {
  return s.loaded ? log_seal__epoch_of(t, s.state.start, s.state.interval) : -1;
}

long long log_sealw__file_epoch(void) { return s.loaded ? s.file_epoch : -1; }

void log_sealw__file_evolved(uint64_t epoch) {
  if ((long long)epoch > s.file_epoch) s.file_epoch = (long long)epoch;
}

bool log_sealw__closed(uint64_t epoch) {
  if (!s.loaded) return false;
  /* no closer closes an interval before it ends: only a record that outlived its interval
     needs the file looked at */
  if (log_sealw__epoch_now(time(nullptr)) <= (long long)epoch) return false;
  if (s.file_epoch > (long long)epoch) return true;
  HANDLE h = CreateFileA(s.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  log_seal_state st;
  DWORD got = 0;
  bool ok = ReadFile(h, &st, sizeof st, &got, nullptr) && got == sizeof st && valid(st) &&
            memcmp(st.id, s.state.id, LOG_SEAL_ID) == 0;
  CloseHandle(h);
  if (ok && (long long)st.epoch > s.file_epoch) s.file_epoch = (long long)st.epoch;
  log_seal__wipe(&st, sizeof st);
  return s.file_epoch > (long long)epoch;
}
