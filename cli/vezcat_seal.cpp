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
bool read_whole(const std::string &path, std::string *out, DWORD *error,
                VEZ_FILE_FACTS *facts = nullptr) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  if (facts != nullptr && !VezFileFactsAtName(path.c_str(), facts)) *facts = {};
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
  k.reusable = BCRYPT_SUCCESS(BCryptCreateHash(alg, &k.tagger, nullptr, 0, k.current, LOG_SEAL_KEY,
                                               BCRYPT_HASH_REUSABLE_FLAG));
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
  std::string log;
  std::string bytes; /* the log's */
  std::vector<log_seal_entry> entries;
  bool has_sidecar = false;
  VEZ_FILE_FACTS facts = {}; /* the log's identity */
};

/* a sidecar as read: the log it names, its entries */
struct sidecar {
  bool present = false; /* with a header (none, or one begun: no seals) */
  uint64_t volume = 0, index = 0;
  std::vector<log_seal_entry> entries;
  bool used = false;
  bool names(const VEZ_FILE_FACTS &f) const {
    return present && f.index != 0 && volume == f.volume && index == f.index;
  }
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
** Reads a sidecar; false (a message said, the status set) where one is
** there and is none.
*/
bool read_sidecar(const std::string &name, sidecar &g) {
  std::string raw;
  DWORD error = 0;
  if (!read_whole(name, &raw, &error)) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    vezcat__unreadable(name, reason(error).c_str());
    return false;
  }
  /* one a writer died in the middle of making (nothing, or zeros, where its header goes)
     holds no seals, as the next writer takes it */
  bool begun = true;
  for (size_t i = 0; i < raw.size() && i < sizeof(log_seal_header); i++)
    begun = begun && raw[i] == 0;
  if (begun) return true;
  log_seal_header h;
  if (raw.size() < sizeof h ||
      (memcpy(&h, raw.data(), sizeof h),
       memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) != 0) ||
      h.version != 1 || h.entry_size != sizeof(log_seal_entry)) {
    cli_report__fail(CLI_FAILED, "%s: not a seal file of vezlog", name.c_str());
    vezcat__status = CLI_FAILED;
    return false;
  }
  g.present = true;
  g.volume = h.log_volume;
  g.index = h.log_index;
  /* entries up to the first that is none (the rest of the file is room made ahead); a slot
     taken by a writer that died before filling it is none */
  for (size_t at = sizeof h; at + sizeof(log_seal_entry) <= raw.size();
       at += sizeof(log_seal_entry)) {
    log_seal_entry e;
    memcpy(&e, raw.data() + at, sizeof e);
    if (e.type == 0) break;
    if (e.type != LOG_SEAL_CLAIMED) g.entries.push_back(e);
  }
  return true;
}

/* whether the bytes at offset are the record entry e sealed (its fields as they are) */
bool seals(key &k, const generation &g, const log_seal_entry &e, uint64_t offset) {
  if (offset > g.bytes.size() || e.length > g.bytes.size() - offset) return false;
  uint8_t want[LOG_SEAL_KEY];
  return tag_of(k, e, g.bytes.data() + offset, want) && memcmp(want, e.tag, LOG_SEAL_KEY) == 0;
}

/*
** Why a record does not hold its seal: its sealed bytes found elsewhere in
** the log (moved: reordered, or pushed on by an inserted record), the
** place taken by the record a later seal names (the one sealed here
** removed), or by none (changed).
*/
std::string diagnose(key &k, const generation &g, const std::vector<uint64_t> &starts,
                     const log_seal_entry &e) {
  long long found = -1;
  for (uint64_t s : starts)
    if (s != e.offset && seals(k, g, e, s)) {
      found = (long long)s;
      break;
    }
  bool later_here = false;
  for (const log_seal_entry &other : g.entries)
    if (other.seq > e.seq && other.offset != e.offset && seals(k, g, other, e.offset))
      later_here = true;
  if (found >= 0 && (uint64_t)found > e.offset)
    return later_here ? "reordered (a later record stands in its place; it follows)"
                      : "inserted (a record not sealed here stands before it)";
  if (found >= 0) return "reordered (it stands before records sealed ahead of it)";
  if (later_here) return "removed (the record sealed here is gone; the next one stands here)";
  return "changed (its bytes or its seal are not as sealed)";
}

/* whether the record entry e seals is a loss record that tells of a mend */
bool tells_mend(const generation &g, const log_seal_entry &e) {
  if (e.type != LOG_SEAL_RECORD || e.offset >= g.bytes.size()) return false;
  std::string rec = g.bytes.substr((size_t)e.offset, (size_t)std::min<uint64_t>(e.length, 400));
  size_t d = rec.find("\r\nDesc:Records lost since ");
  return d != std::string::npos && rec.find(" mended ", d) < rec.find("\r\n", d + 2);
}

/* whether a sealed record after offset of generation g, or in a later one, tells a mend */
bool mend_told(const std::vector<generation> &gens, const generation &g, uint64_t offset) {
  for (const generation *h = &g; h <= &gens.back(); h++)
    for (const log_seal_entry &e : h->entries)
      if ((h != &g || e.offset >= offset) && tells_mend(*h, e)) return true;
  return false;
}

/* where the last sealed record of a generation begins */
uint64_t highest_offset(const generation &g) {
  uint64_t most = 0;
  for (const log_seal_entry &e : g.entries)
    most = std::max(most, e.offset);
  return most;
}

/* "1 record", "2 records" */
std::string records_text(size_t n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

/* proves one log (its old copy first) with the keys; prints its verdict; false: FAIL */
bool verify_log(const std::string &path, std::vector<key> &keys) {
  std::vector<generation> gens;
  for (const char *suffix : {".old", ""}) {
    generation g;
    g.log = path + suffix;
    DWORD error = 0;
    if (!read_whole(g.log, &g.bytes, &error, &g.facts)) {
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
      vezcat__unreadable(g.log, reason(error).c_str());
      return false;
    }
    gens.push_back(std::move(g));
  }
  /*
  ** Which seals are whose. A sidecar moves one way only, from the log's
  ** sidecar name by way of ".seal.moving" to the old copy's, a step behind
  ** its log: a writer that died between the moves leaves the old copy's
  ** seals at one of the first two names (the next writer moves them on).
  ** Each sidecar names the log it seals; where none names a log (copied
  ** files), its own name decides.
  */
  sidecar at_old, at_log, moving;
  if (!read_sidecar(path + ".old" + LOG_SEAL_SUFFIX, at_old) ||
      !read_sidecar(path + LOG_SEAL_SUFFIX, at_log) ||
      !read_sidecar(path + LOG_SEAL_MOVING_SUFFIX, moving))
    return false;
  for (generation &g : gens) {
    bool old = &g == &gens.front() && gens.size() == 2;
    if (gens.size() == 1 && g.log != path) old = true; /* an old copy alone */
    std::vector<sidecar *> ways = old ? std::vector<sidecar *>{&at_old, &at_log, &moving}
                                      : std::vector<sidecar *>{&at_log, &moving};
    sidecar *chosen = nullptr;
    for (sidecar *c : ways)
      if (chosen == nullptr && !c->used && c->names(g.facts)) chosen = c;
    bool names_a_log = false;
    for (const generation &h : gens)
      names_a_log = names_a_log || ways.front()->names(h.facts);
    if (chosen == nullptr && !ways.front()->used && ways.front()->present && !names_a_log)
      chosen = ways.front();
    if (chosen == nullptr) continue;
    chosen->used = true;
    g.has_sidecar = true;
    g.entries = std::move(chosen->entries);
  }
  /* the earliest time of the entries that follow each tag, and the last generation sealed */
  std::map<std::string, int64_t> successor_time;
  const generation *last_sealed = nullptr;
  for (const generation &g : gens) {
    if (!g.entries.empty()) last_sealed = &g;
    for (const log_seal_entry &e : g.entries) {
      std::string prev((const char *)e.prev, LOG_SEAL_KEY);
      auto at = successor_time.find(prev);
      if (at == successor_time.end() || e.time < at->second) successor_time[prev] = e.time;
    }
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
    bool first_here = true;
    for (const log_seal_entry &e : g.entries) {
      time_t when = (time_t)e.time;
      const char *bytes = g.bytes.data() + (e.offset <= g.bytes.size() ? e.offset : 0);
      bool inside = e.offset <= g.bytes.size() && e.length <= g.bytes.size() - e.offset;
      std::string tag((const char *)e.tag, LOG_SEAL_KEY), prev((const char *)e.prev, LOG_SEAL_KEY);
      /* the chain */
      if (chained) {
        bool follows = e.seq == last_seq + 1 && tags_of_seq[last_seq].count(prev) > 0;
        /* Two writers at once (one still holding a lock file that was removed) make two
           chains from one place. Inside a log whose bytes every seal covers in place, a
           chain that does not follow hides nothing (a record taken out moves every record
           after it off its seal): it is named as such. Across a rotation it must follow,
           or fork from a seal that is here: else the old copy's last records are gone. */
        bool forks = !follows && e.seq >= 1 && tags_of_seq.count(e.seq - 1) > 0 &&
                     tags_of_seq[e.seq - 1].count(prev) > 0;
        if (forks || (!follows && !first_here)) {
          v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(e.offset) + ", " +
                            local_text(when) +
                            ": sealed beside another writer's record (two writers at once: a "
                            "lock file was removed)");
        } else if (!follows) {
          fail(v, g, e.offset, when,
               "removed (the last records of " + gens.front().log +
                   " or their seals are missing: the chain of seals breaks here)");
          break;
        }
      }
      first_here = false;
      if (!chained && &g != &gens.front() && gens.front().entries.empty() &&
          !record_starts(gens.front().bytes).empty() && prev != std::string(LOG_SEAL_KEY, '\0')) {
        /* the chain began before: the old copy's records were sealed, and their seals are
           gone */
        fail(v, gens.front(), 0, 0,
             "removed (its seals are missing: the chain of seals began before it)");
        break;
      }
      if (!chained && e.seq >= 1) tags_of_seq[e.seq - 1].insert(prev); /* where it starts */
      chained = true;
      any_entry = true;
      last_seq = std::max(last_seq, e.seq);
      tags_of_seq[e.seq].insert(tag);
      if (!inside) {
        fail(v, g, e.offset, when, "removed (its bytes are no longer in the log)");
        break;
      }
      if (!std::binary_search(starts.begin(), starts.end(), e.offset) && keys.empty()) {
        fail(v, g, e.offset, when, "changed (no record begins where its seal says)");
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
          fail(v, g, e.offset, when, diagnose(*k, g, starts, e));
          break;
        }
        long long own = log_seal__epoch_of(when, k->start, k->interval);
        if ((long long)e.epoch > own) {
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
      if (e.type == LOG_SEAL_ORPHAN) {
        /* Named by the writer after: the entry that follows it in the chain (that writer's
           own record) is no older, or it is the last of all. One made later with a later
           key, to cover a record whose seal was taken out, is neither. */
        auto next = successor_time.find(tag);
        bool last =
            next == successor_time.end() && &g == last_sealed && e.offset >= highest_offset(g);
        if (next != successor_time.end() ? next->second < e.time : !last) {
          fail(v, g, e.offset, when,
               "changed (named as left by a writer that died, after records sealed later)");
          break;
        }
        v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(e.offset) +
                          ": a record whose writer died before sealing it, sealed by the next "
                          "writer as such");
      }
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
    std::sort(
        by_offset.begin(), by_offset.end(),
        [](const log_seal_entry *a, const log_seal_entry *b) { return a->offset < b->offset; });
    uint64_t covered = 0;
    bool started = false;
    for (const log_seal_entry *e : by_offset) {
      if (!started) {
        uint64_t before = records_in(starts, 0, e->offset);
        if (before > 0 && &g == &gens.front())
          v.notes.push_back("not sealed: " + records_text(before) + " of " + g.log +
                            " before its first seal (written before keys were set up)");
        else if (e->offset > 0) {
          fail(v, g, 0, 0, "inserted (not covered by a seal between sealed records)");
          break;
        }
        started = true;
      } else if (e->offset > covered && records_in(starts, covered, e->offset) == 0 &&
                 mend_told(gens, g, covered)) {
        /* the tail of a torn record its writer's successor could not cut (not proved to be
           the last writer's own) ended with a line end, and the mend told: damage, its bytes
           not proved (no record begins in them) */
        v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(covered) + ", " +
                          std::to_string(e->offset - covered) +
                          " bytes: the end of a torn record, ended by a later writer, which "
                          "told the mend (not proved)");
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
      v.notes.push_back("not sealed: " + records_text(starts.size()) + " of " + g.log +
                        " after the last seal");
    } else if (!started && !starts.empty()) {
      v.notes.push_back("not sealed: " + records_text(starts.size()) + " of " + g.log +
                        (g.has_sidecar ? "" : " (no seals beside it)"));
    } else if (after > 0) {
      if (later_sealed) {
        fail(v, g, covered, 0, "inserted (not covered by a seal between sealed records)");
        break;
      }
      v.notes.push_back("not sealed: " + records_text(after) + " of " + g.log +
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
      printf("  proved: %s, %s to %s\n", records_text(v.proved).c_str(),
             local_text(v.first).c_str(), local_text(v.last).c_str());
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
  } units[] = {{"", 1},        {"s", 1},        {"sec", 1},     {"second", 1},   {"seconds", 1},
               {"m", 60},      {"min", 60},     {"minute", 60}, {"minutes", 60}, {"h", 3600},
               {"hour", 3600}, {"hours", 3600}, {"d", 86400},   {"day", 86400},  {"days", 86400}};
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
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, seed, sizeof seed, BCRYPT_USE_SYSTEM_PREFERRED_RNG)) ||
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
    return cli_report__fail(CLI_FAILED, "cannot write %s: %s", path.c_str(), reason(error).c_str());
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
  return cli_report__printed();
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
    if (k.tagger != nullptr) BCryptDestroyHash(k.tagger);
    log_seal__wipe(k.seed, sizeof k.seed);
    log_seal__wipe(k.current, sizeof k.current);
  }
  if (cli_report__printed() != CLI_OK) return CLI_FAILED;
  return all && vezcat__status == CLI_OK ? CLI_OK : CLI_FAILED;
}
