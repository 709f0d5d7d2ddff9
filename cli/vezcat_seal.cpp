/*
** vezcat_seal.cpp - vezcat's sealed logs: --setup-keys makes the sealing
** state beside the data file and prints the verification key once;
** --verify proves each log and its old copy against their seals.
**
** What --verify proves of a log: every record from its first sealed one to
** its last is covered by a seal, in order, its bytes and place as they were
** written, its seal made with the key of the epoch its own time falls in
** (never a later one: a key an intruder read today cannot seal the past).
** What it cannot: records written before keys were set up, and after the
** last seal (an intruder can cut the newest records off: the proved range
** then ends early). What a crash leaves (a record whose writer died before
** sealing it, sealed by the next writer as such; a torn record mended; two
** writers that sealed at once because a lock file was removed) is named as
** damage where it lies, and the rest is proved on.
*/
#include "vezcat.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

#include "cli_report.h"
#include "log_format.h"
#include "log_seal.h"
#include "platform.h"
#include "shm.h"

namespace {

/* ---- files ---- */

/* a file read whole into memory; false (and why) where it cannot be */
bool read_whole(const std::string &path, std::string *out, DWORD *error) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                         FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  out->clear();
  char buf[1 << 16];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0) && got > 0)
    out->append(buf, got);
  if (!ok) *error = GetLastError();
  CloseHandle(h);
  return ok;
}

std::string reason(DWORD code) {
  char text[256];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text, nullptr) == 0)
    snprintf(text, sizeof text, "error %lu", (unsigned long)code);
  return text;
}

std::string local_text(time_t t) {
  struct tm tm;
  char text[32] = "?";
  if (localtime_s(&tm, &t) == 0) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

/* the directory of the data file, where the sealing state lies */
std::string state_path() {
  char data[SHM_PATH_SIZE];
  shm__data_file_path(data);
  std::string d = data;
  size_t sep = d.rfind(VEZ_DIRSEP_CHAR);
  return (sep == std::string::npos ? std::string() : d.substr(0, sep + 1)) + LOG_SEAL_STATE_NAME;
}

/* ---- keys ---- */

struct key {
  uint8_t seed[LOG_SEAL_KEY];
  uint8_t id[LOG_SEAL_ID];
  int64_t start;
  uint64_t interval;
  /* the key of the last epoch met (derived on from it for a later one), and a hash object
     made with it */
  uint64_t epoch = 0;
  bool derived = false;
  uint8_t current[LOG_SEAL_KEY];
  BCRYPT_HASH_HANDLE tagger = nullptr;
  bool reusable = false;
};

/* key's hash object for epoch e */
bool tagger_for(key &k, uint64_t e) {
  if (k.tagger != nullptr && k.derived && k.epoch == e) return true;
  if (!k.derived || e < k.epoch) {
    if (!log_seal__first_key(k.seed, k.current)) return false;
    k.epoch = 0;
    k.derived = true;
  }
  for (; k.epoch < e; k.epoch++)
    if (!log_seal__evolve(k.current)) return false;
  static BCRYPT_ALG_HANDLE alg = nullptr;
  if (alg == nullptr && !BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(
                            &alg, BCRYPT_SHA256_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    return false;
  if (k.tagger != nullptr) BCryptDestroyHash(k.tagger);
  k.tagger = nullptr;
  k.reusable = BCRYPT_SUCCESS(BCryptCreateHash(alg, &k.tagger, nullptr, 0, k.current,
                                               LOG_SEAL_KEY, BCRYPT_HASH_REUSABLE_FLAG));
  return k.reusable ||
         BCRYPT_SUCCESS(BCryptCreateHash(alg, &k.tagger, nullptr, 0, k.current, LOG_SEAL_KEY, 0));
}

/* the tag of an entry over its record's bytes, with its epoch's key */
bool tag_of(key &k, const log_seal_entry &e, const char *bytes, uint8_t tag[LOG_SEAL_KEY]) {
  if (!tagger_for(k, e.epoch)) return false;
  uint8_t fields[LOG_SEAL_FIELDS];
  log_seal__entry_fields(&e, fields);
  bool ok = true;
  for (uint64_t done = 0; ok && done < e.length;) {
    ULONG n = e.length - done > 0x40000000u ? 0x40000000u : (ULONG)(e.length - done);
    ok = BCRYPT_SUCCESS(BCryptHashData(k.tagger, (PUCHAR)bytes + done, n, 0));
    done += n;
  }
  ok = ok && BCRYPT_SUCCESS(BCryptHashData(k.tagger, fields, sizeof fields, 0)) &&
       BCRYPT_SUCCESS(BCryptFinishHash(k.tagger, tag, LOG_SEAL_KEY, 0));
  if (!k.reusable) {
    BCryptDestroyHash(k.tagger);
    k.tagger = nullptr;
  }
  return ok;
}

/* ---- one log and its old copy ---- */

struct generation {
  std::string log, sidecar;
  std::string bytes; /* the log's */
  std::vector<log_seal_entry> entries;
  bool has_sidecar = false;
};

struct finding {
  std::string file;
  uint64_t offset;
  time_t when;
  std::string what;
};

/* the time a record's header shows, at its start, "MM/DD hh:mm:ss"; empty when none */
std::string header_time(const char *p, size_t n) {
  const size_t mark = LOG_FORMAT_MARK_LEN, stamp = 14;
  if (n < mark + stamp || memcmp(p, LOG_FORMAT_MARK, mark) != 0) return "";
  return std::string(p + mark, stamp);
}

/* what a sealed time shows in its writer's zone, as a header writes it */
std::string shown_time(int64_t t, int32_t offset) {
  time_t local = (time_t)(t + offset);
  struct tm tm;
  char text[32];
  if (gmtime_s(&tm, &local) != 0) return "";
  snprintf(text, sizeof text, "%02d/%02d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
           tm.tm_min, tm.tm_sec);
  return text;
}

/* the records' starts in a log: the lines its record mark begins */
std::vector<uint64_t> record_starts(const std::string &b) {
  std::vector<uint64_t> starts;
  for (size_t at = 0; at < b.size();) {
    if (b.compare(at, LOG_FORMAT_MARK_LEN, LOG_FORMAT_MARK) == 0) starts.push_back(at);
    size_t lf = b.find('\n', at);
    if (lf == std::string::npos) break;
    at = lf + 1;
  }
  return starts;
}

/* how many record starts lie in [from, to) */
size_t records_in(const std::vector<uint64_t> &starts, uint64_t from, uint64_t to) {
  return (size_t)(std::lower_bound(starts.begin(), starts.end(), to) -
                  std::lower_bound(starts.begin(), starts.end(), from));
}

struct verdict {
  bool failed = false;
  finding failure;
  std::vector<std::string> notes; /* not sealed, damage, losses told */
  size_t proved = 0;
  time_t first = 0, last = 0;
  bool authenticated = false;
};

void fail(verdict &v, const generation &g, uint64_t offset, time_t when, const std::string &what) {
  if (v.failed) return;
  v.failed = true;
  v.failure = {g.log, offset, when, what};
}

/*
** Reads a generation's sidecar; false (a message said, the status set)
** where a sidecar is there and is none.
*/
bool read_sidecar(generation &g) {
  std::string raw;
  DWORD error = 0;
  if (!read_whole(g.sidecar, &raw, &error)) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    vezcat__unreadable(g.sidecar, reason(error).c_str());
    return false;
  }
  log_seal_header h;
  if (raw.size() < sizeof h || (memcpy(&h, raw.data(), sizeof h),
                                memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) != 0) ||
      h.version != 1 || h.entry_size != sizeof(log_seal_entry)) {
    cli_report__fail(CLI_FAILED, "%s: not a seal file of vezlog", g.sidecar.c_str());
    vezcat__status = CLI_FAILED;
    return false;
  }
  g.has_sidecar = true;
  /* entries up to the first that is none (the rest of the file is room made ahead) */
  for (size_t at = sizeof h; at + sizeof(log_seal_entry) <= raw.size();
       at += sizeof(log_seal_entry)) {
    log_seal_entry e;
    memcpy(&e, raw.data() + at, sizeof e);
    if (e.type == 0) break;
    g.entries.push_back(e);
  }
  return true;
}

/* proves one log (its old copy first) with the keys; prints its verdict; false: FAIL */
bool verify_log(const std::string &path, std::vector<key> &keys) {
  std::vector<generation> gens;
  for (const char *suffix : {".old", ""}) {
    generation g;
    g.log = path + suffix;
    g.sidecar = g.log + LOG_SEAL_SUFFIX;
    DWORD error = 0;
    if (!read_whole(g.log, &g.bytes, &error)) {
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
      vezcat__unreadable(g.log, reason(error).c_str());
      return false;
    }
    if (!read_sidecar(g)) return false;
    gens.push_back(std::move(g));
  }
  verdict v;
  v.authenticated = !keys.empty();
  /* the chain across the generations, in the order its entries were written */
  bool chained = false, known_key_met = false;
  uint64_t last_seq = 0;
  std::map<uint64_t, std::set<std::string>> tags_of_seq; /* forks are named, not failed */
  bool any_entry = false;
  for (generation &g : gens) {
    std::vector<uint64_t> starts = record_starts(g.bytes);
    std::vector<const log_seal_entry *> by_offset;
    for (const log_seal_entry &e : g.entries) {
      time_t when = (time_t)e.time;
      const char *bytes = g.bytes.data() + (e.offset <= g.bytes.size() ? e.offset : 0);
      bool inside = e.offset <= g.bytes.size() && e.length <= g.bytes.size() - e.offset;
      std::string tag((const char *)e.tag, LOG_SEAL_KEY), prev((const char *)e.prev, LOG_SEAL_KEY);
      /* the chain */
      if (chained) {
        bool follows = e.seq == last_seq + 1 && tags_of_seq[last_seq].count(prev) > 0;
        bool forks = !follows && e.seq >= 1 && tags_of_seq.count(e.seq - 1) > 0 &&
                     tags_of_seq[e.seq - 1].count(prev) > 0;
        if (forks) {
          v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(e.offset) + ", " +
                            local_text(when) +
                            ": sealed beside another writer's record (two writers at once: a "
                            "lock file was removed)");
        } else if (!follows) {
          fail(v, g, e.offset, when,
               e.seq > last_seq + 1 ? "removed (a record or its seal before it is missing)"
               : e.seq <= last_seq  ? "reordered (sealed out of its place in the chain)"
                                    : "changed (its seal does not follow the one before)");
          break;
        }
      }
      chained = true;
      any_entry = true;
      last_seq = std::max(last_seq, e.seq);
      tags_of_seq[e.seq].insert(tag);
      if (!inside) {
        fail(v, g, e.offset, when, "removed (its bytes are no longer in the log)");
        break;
      }
      /* its key and its time */
      key *k = nullptr;
      for (key &candidate : keys)
        if (memcmp(candidate.id, e.id, LOG_SEAL_ID) == 0) k = &candidate;
      if (!keys.empty() && k == nullptr) {
        if (known_key_met) {
          fail(v, g, e.offset, when, "sealed with no valid key");
          break;
        }
        v.notes.push_back("not checked: " + g.log + ", offset " + std::to_string(e.offset) +
                          ": sealed with another key than the ones given");
        continue;
      }
      if (k != nullptr) {
        known_key_met = true;
        uint8_t want[LOG_SEAL_KEY];
        if (!tag_of(*k, e, bytes, want) || memcmp(want, e.tag, LOG_SEAL_KEY) != 0) {
          fail(v, g, e.offset, when, "changed (its bytes or its seal are not as sealed)");
          break;
        }
        long long own = log_seal__epoch_of(when, k->start, k->interval);
        if (e.type == LOG_SEAL_RECORD && (long long)e.epoch > own) {
          fail(v, g, e.offset, when, "sealed with a later epoch's key than its time allows");
          break;
        }
        if (e.type == LOG_SEAL_RECORD && (long long)e.epoch < own) {
          fail(v, g, e.offset, when, "sealed with an earlier epoch's key than its time");
          break;
        }
      }
      if (e.type == LOG_SEAL_RECORD &&
          header_time(bytes, (size_t)e.length) != shown_time(e.time, e.utc_offset)) {
        fail(v, g, e.offset, when, "changed (its time is not the one sealed)");
        break;
      }
      if (e.type == LOG_SEAL_ORPHAN)
        v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(e.offset) +
                          ": a record whose writer died before sealing it, sealed by the next "
                          "writer as such");
      if (e.type == LOG_SEAL_RECORD) {
        if (v.proved == 0) v.first = when;
        v.last = when;
        v.proved++;
        /* losses a writer told: the reason for a gap a reader sees */
        std::string rec(bytes, (size_t)e.length);
        size_t d = rec.find("\r\nDesc:Records lost since ");
        if (d != std::string::npos && d < 400)
          v.notes.push_back("loss told: " + g.log + ", offset " + std::to_string(e.offset) + ": " +
                            rec.substr(d + 7, rec.find("\r\n", d + 2) - d - 7));
      }
      by_offset.push_back(&e);
    }
    if (v.failed) break;
    /* every byte between sealed records covered, in order */
    std::sort(by_offset.begin(), by_offset.end(),
              [](const log_seal_entry *a, const log_seal_entry *b) { return a->offset < b->offset; });
    uint64_t covered = 0;
    bool started = false;
    for (const log_seal_entry *e : by_offset) {
      if (!started) {
        uint64_t before = records_in(starts, 0, e->offset);
        if (before > 0 && &g == &gens.front())
          v.notes.push_back("not sealed: " + std::to_string(before) + " records of " + g.log +
                            " before its first seal (written before keys were set up)");
        else if (e->offset > 0) {
          fail(v, g, 0, 0, "inserted (not covered by a seal between sealed records)");
          break;
        }
        started = true;
      } else if (e->offset != covered) {
        fail(v, g, covered, 0,
             e->offset > covered ? "inserted (not covered by a seal between sealed records)"
                                 : "changed (two seals claim the same bytes)");
        break;
      }
      covered = e->offset + e->length;
    }
    if (v.failed) break;
    uint64_t after = started ? records_in(starts, covered, g.bytes.size()) : 0;
    bool later_sealed = false;
    for (const generation *h = &g + 1; h <= &gens.back(); h++)
      later_sealed = later_sealed || !h->entries.empty();
    if (!started && !starts.empty() && any_entry) {
      /* a generation without seals after sealed ones: written after the last seal */
      if (later_sealed) {
        fail(v, g, 0, 0, "inserted (not covered by a seal between sealed records)");
        break;
      }
      v.notes.push_back("not sealed: " + std::to_string(starts.size()) + " records of " + g.log +
                        " after the last seal");
    } else if (!started && !starts.empty()) {
      v.notes.push_back("not sealed: " + std::to_string(starts.size()) + " records of " + g.log +
                        (g.has_sidecar ? "" : " (no seals beside it)"));
    } else if (after > 0) {
      if (later_sealed) {
        fail(v, g, covered, 0, "inserted (not covered by a seal between sealed records)");
        break;
      }
      v.notes.push_back("not sealed: " + std::to_string(after) + " records of " + g.log +
                        " after the last seal");
    }
  }
  if (v.failed) {
    printf("FAIL: %s\n", path.c_str());
    printf("  first record that does not hold: %s, offset %llu%s: %s\n", v.failure.file.c_str(),
           (unsigned long long)v.failure.offset,
           v.failure.when != 0 ? (", " + local_text(v.failure.when)).c_str() : "",
           v.failure.what.c_str());
  } else {
    printf("PASS: %s\n", path.c_str());
    if (v.proved > 0)
      printf("  proved: %zu records, %s to %s\n", v.proved, local_text(v.first).c_str(),
             local_text(v.last).c_str());
    else
      printf("  proved: no sealed records\n");
  }
  for (const std::string &n : v.notes)
    printf("  %s\n", n.c_str());
  if (!v.authenticated && any_entry)
    printf("  authenticity not checked (no --verify-key given): the chain of seals only\n");
  return !v.failed;
}

/* "15min", "1h", "30s", "2d", a bare number of seconds */
bool duration(const char *text, uint64_t *seconds) {
  char *end = nullptr;
  unsigned long long n = strtoull(text, &end, 10);
  if (end == text) return false;
  static const struct {
    const char *unit;
    uint64_t seconds;
  } units[] = {{"", 1},       {"s", 1},       {"sec", 1},  {"second", 1}, {"seconds", 1},
               {"m", 60},     {"min", 60},    {"minute", 60}, {"minutes", 60}, {"h", 3600},
               {"hour", 3600}, {"hours", 3600}, {"d", 86400}, {"day", 86400}, {"days", 86400}};
  for (const auto &u : units)
    if (strcmp(end, u.unit) == 0) {
      *seconds = n * u.seconds;
      return n > 0 && n < (1ull << 40);
    }
  return false;
}

} // namespace

int vezcat_seal__setup(const char *interval_text, bool force) {
  uint64_t interval = 15 * 60;
  if (interval_text != nullptr && !duration(interval_text, &interval))
    return cli_report__usage(CLI_USAGE, "usage: %s --setup-keys [--interval=DURATION] [--force]\n",
                             "bad --interval '%s': expected a duration of 1s or more, such as "
                             "15min, 1h or 30s",
                             interval_text);
  std::string path = state_path();
  DWORD attrs = GetFileAttributesA(path.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && !force)
    return cli_report__fail(CLI_FAILED,
                            "sealing state %s exists already: --force replaces it (the records "
                            "sealed so far verify with the key printed then)",
                            path.c_str());
  log_seal_state st = {};
  uint8_t seed[LOG_SEAL_KEY];
  memcpy(st.magic, LOG_SEAL_STATE_MAGIC, sizeof st.magic);
  st.version = 1;
  st.interval = interval;
  st.start = (int64_t)time(nullptr);
  st.epoch = 0;
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, seed, sizeof seed, BCRYPT_USE_SYSTEM_PREFERRED_RNG)) ||
      !log_seal__key_id(seed, st.id) || !log_seal__first_key(seed, st.key))
    return cli_report__fail(CLI_FAILED, "cannot make keys: the system's cryptography failed");
  /* written beside it, then moved onto its name: a writer reads the old state or the new,
     never half of one, and notices the new one by its name */
  std::string temp = path + ".new";
  _unlink(temp.c_str());
  HANDLE h = CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, &st, sizeof st, &written, nullptr) &&
            written == sizeof st;
  DWORD error = GetLastError();
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  log_seal__wipe(&st.key, sizeof st.key);
  if (!ok || !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    if (ok) error = GetLastError();
    _unlink(temp.c_str());
    log_seal__wipe(seed, sizeof seed);
    return cli_report__fail(CLI_FAILED, "cannot write %s: %s", path.c_str(),
                            reason(error).c_str());
  }
  char text[160];
  log_seal__key_text(seed, st.start, st.interval, text, sizeof text);
  log_seal__wipe(seed, sizeof seed);
  printf("The sealing state is %s; its key changes every %llu s.\n", path.c_str(),
         (unsigned long long)interval);
  printf("The verification key follows. Keep it off this machine (write it down, keep it\n"
         "where an intruder here cannot read it): with it, vezcat --verify proves that no\n"
         "record was changed, removed, inserted or reordered. It is printed once only.\n");
  printf("%s\n", text);
  return fflush(stdout) == 0 && !ferror(stdout) ? CLI_OK : CLI_FAILED;
}

int vezcat_seal__verify(const std::vector<vezcat__log> &logs,
                        const std::vector<std::string> &key_texts) {
  std::vector<key> keys;
  for (const std::string &t : key_texts) {
    key k;
    if (!log_seal__parse_key(t.c_str(), k.seed, &k.start, &k.interval) ||
        !log_seal__key_id(k.seed, k.id))
      return cli_report__usage(CLI_USAGE, "usage: %s --verify [--verify-key=KEY] [FILE]...\n",
                               "bad --verify-key '%s': expected the key --setup-keys printed "
                               "(64 hex digits in groups, /, start and interval in hex)",
                               t.c_str());
    keys.push_back(k);
  }
  std::set<std::string> done;
  bool all = true;
  for (const vezcat__log &l : logs) {
    std::string p = l.path;
    /* a log and its old copy are proved together, under the log's name */
    if (p.size() > 4 && p.compare(p.size() - 4, 4, ".old") == 0) p.resize(p.size() - 4);
    if (!done.insert(p).second) continue;
    if (!verify_log(p, keys)) all = false;
  }
  for (key &k : keys) {
    log_seal__wipe(k.seed, sizeof k.seed);
    log_seal__wipe(k.current, sizeof k.current);
  }
  if (fflush(stdout) != 0 || ferror(stdout)) return CLI_FAILED;
  return all && vezcat__status == CLI_OK ? CLI_OK : CLI_FAILED;
}
