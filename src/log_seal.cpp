/*
** log_seal.cpp - sealed logs' primitives: keys, their evolution, digests,
** tags and the key's text. Every primitive is the system's, through the
** CNG calls (on POSIX, over libcrypto).
*/
#include "log_seal.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "platform.h"

namespace {

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

} // namespace

bool log_seal__hmac(const uint8_t *key, size_t key_length, const void *a, size_t na, const void *b,
                    size_t nb, uint8_t out[LOG_SEAL_KEY]) {
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

namespace {

void put64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++)
    p[i] = (uint8_t)(v >> (8 * i));
}

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++)
    p[i] = (uint8_t)(v >> (8 * i));
}

/* an entry's fields as its tag binds them, little-endian whatever the machine */
void fields_of(const log_seal_entry *e, uint8_t out[LOG_SEAL_FIELDS]) {
  out[0] = (uint8_t)e->type;
  put32(out + 1, (uint32_t)e->utc_offset);
  put64(out + 5, e->seq);
  put64(out + 13, e->offset);
  put64(out + 21, e->length);
  put64(out + 29, (uint64_t)e->time);
  put64(out + 37, e->generation);
  put64(out + 45, (uint64_t)e->named_at);
  memcpy(out + 53, e->prev, LOG_SEAL_KEY);
  memcpy(out + 85, e->digest, LOG_SEAL_KEY);
}

/* an earlier release's entry's fields, after its record's bytes */
void fields_v1(const log_seal_entry_v1 *e, uint8_t out[LOG_SEAL_FIELDS_V1]) {
  put32(out, e->type);
  put32(out + 4, (uint32_t)e->utc_offset);
  put64(out + 8, e->seq);
  put64(out + 16, e->offset);
  put64(out + 24, e->length);
  put64(out + 32, e->epoch);
  put64(out + 40, (uint64_t)e->time);
  memcpy(out + 48, e->prev, LOG_SEAL_KEY);
}

BCRYPT_ALG_HANDLE sha_provider() {
  static BCRYPT_ALG_HANDLE alg = nullptr;
  if (alg == nullptr &&
      !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    alg = nullptr;
  return alg;
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

bool log_seal__beside(const char *data_file, const char *name, char *path, size_t room) {
  const char *sep = strrchr(data_file, VEZ_DIRSEP_CHAR);
  size_t dir = sep != nullptr ? (size_t)(sep - data_file) + 1 : 0;
  size_t n = strlen(name);
  if (dir + n + 1 > room) return false;
  memcpy(path, data_file, dir);
  memcpy(path + dir, name, n + 1);
  return true;
}

void log_seal__wipe(void *bytes, size_t n) {
  volatile uint8_t *p = static_cast<volatile uint8_t *>(bytes);
  while (n-- > 0)
    *p++ = 0;
}

bool log_seal__key_id(const uint8_t seed[LOG_SEAL_KEY], uint8_t id[LOG_SEAL_ID]) {
  uint8_t full[LOG_SEAL_KEY];
  if (!log_seal__hmac(seed, LOG_SEAL_KEY, ID_LABEL, sizeof ID_LABEL - 1, "", 0, full)) return false;
  memcpy(id, full, LOG_SEAL_ID);
  return true;
}

bool log_seal__first_key(const uint8_t seed[LOG_SEAL_KEY], uint8_t key[LOG_SEAL_KEY]) {
  return log_seal__hmac(seed, LOG_SEAL_KEY, FIRST_LABEL, sizeof FIRST_LABEL - 1, "", 0, key);
}

bool log_seal__evolve(uint8_t key[LOG_SEAL_KEY]) {
  uint8_t next[LOG_SEAL_KEY];
  bool ok = log_seal__hmac(key, LOG_SEAL_KEY, NEXT_LABEL, sizeof NEXT_LABEL - 1, "", 0, next);
  if (ok) memcpy(key, next, LOG_SEAL_KEY);
  log_seal__wipe(next, sizeof next);
  return ok;
}

long long log_seal__epoch_of(time_t t, int64_t start, uint64_t interval) {
  if (interval == 0 || (int64_t)t < start) return -1;
  return (long long)(((uint64_t)((int64_t)t - start)) / interval);
}

bool log_seal__digest(const void *bytes, size_t n, uint8_t digest[LOG_SEAL_KEY]) {
  BCRYPT_ALG_HANDLE alg = sha_provider();
  BCRYPT_HASH_HANDLE h = nullptr;
  if (alg == nullptr || !BCRYPT_SUCCESS(BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0)))
    return false;
  bool ok = true;
  const uint8_t *p = static_cast<const uint8_t *>(bytes);
  while (ok && n > 0) {
    ULONG chunk = n > 0x40000000u ? 0x40000000u : (ULONG)n;
    ok = BCRYPT_SUCCESS(BCryptHashData(h, const_cast<uint8_t *>(p), chunk, 0));
    p += chunk;
    n -= chunk;
  }
  ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(h, digest, LOG_SEAL_KEY, 0));
  BCryptDestroyHash(h);
  return ok;
}

bool log_seal__tag(const uint8_t key[LOG_SEAL_KEY], const log_seal_entry *entry,
                   uint8_t tag[LOG_SEAL_KEY]) {
  uint8_t fields[LOG_SEAL_FIELDS];
  fields_of(entry, fields);
  return log_seal__hmac(key, LOG_SEAL_KEY, fields, sizeof fields, "", 0, tag);
}

bool log_seal__tag_v1(const uint8_t key[LOG_SEAL_KEY], const void *record, size_t length,
                      const log_seal_entry_v1 *entry, uint8_t tag[LOG_SEAL_KEY]) {
  uint8_t fields[LOG_SEAL_FIELDS_V1];
  fields_v1(entry, fields);
  return log_seal__hmac(key, LOG_SEAL_KEY, record, length, fields, sizeof fields, tag);
}

bool log_seal__close_tag(const uint8_t key[LOG_SEAL_KEY], const void *close, size_t length,
                         uint8_t tag[LOG_SEAL_KEY]) {
  const size_t at = offsetof(log_seal_close, tag);
  if (length < sizeof(log_seal_close)) return false;
  static const uint8_t zeros[LOG_SEAL_KEY] = {};
  const uint8_t *bytes = static_cast<const uint8_t *>(close);
  BCRYPT_ALG_HANDLE alg = hmac_provider();
  BCRYPT_HASH_HANDLE h = nullptr;
  bool ok = alg != nullptr &&
            BCRYPT_SUCCESS(
                BCryptCreateHash(alg, &h, nullptr, 0, const_cast<uint8_t *>(key), LOG_SEAL_KEY, 0));
  ok = ok && BCRYPT_SUCCESS(BCryptHashData(h, const_cast<uint8_t *>(bytes), (ULONG)at, 0)) &&
       BCRYPT_SUCCESS(BCryptHashData(h, const_cast<uint8_t *>(zeros), LOG_SEAL_KEY, 0)) &&
       BCRYPT_SUCCESS(BCryptHashData(h, const_cast<uint8_t *>(bytes + at + LOG_SEAL_KEY),
                                     (ULONG)(length - at - LOG_SEAL_KEY), 0)) &&
       BCRYPT_SUCCESS(BCryptFinishHash(h, tag, LOG_SEAL_KEY, 0));
  if (h != nullptr) BCryptDestroyHash(h);
  return ok;
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
