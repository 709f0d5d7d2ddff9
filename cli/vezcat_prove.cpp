/*
** vezcat_prove.cpp - the proof of one log and its old copy against their
** seals and the closes, failing closed: a log passes only when every byte
** of it written after sealing began is proved by its entry (its digest, and
** with the key its tag, made with the key of the record's own interval), or
** is damage a crash explains, its explanation sealed in time; and when
** every close that names the log finds its chain where it says. Anything
** else fails, at the first place that does not hold, with why.
**
** Without a key the digests and the chain are checked: a changed byte, a
** removed, inserted or reordered record, a sidecar cut or emptied are
** found, but anyone can make a digest: authenticity is not checked.
*/
#include "vezcat_seal.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "flsem.h"
#include "log_format.h"

namespace {

/* an entry as read, of either sidecar version */
struct entry {
  log_seal_entry e;     /* an earlier release's converted (no digest) */
  log_seal_entry_v1 e1; /* and as it was */
  bool v1 = false;
  size_t slot = 0;
};

struct generation {
  std::string log;
  std::string bytes;
  VEZ_FILE_FACTS facts = {};
  bool has_sidecar = false;
  std::string sidecar;
  std::vector<entry> entries; /* in slot order */
  std::vector<uint64_t> starts;
};

/* a sidecar as read: the log it names, its entries; what is wrong with its shape */
struct sidecar {
  bool present = false;
  std::string name;
  uint64_t volume = 0, index = 0;
  int version = 0;
  std::vector<entry> entries;
  std::string fault;
  bool used = false;
  bool names(const VEZ_FILE_FACTS &f) const {
    return present && f.index != 0 && volume == f.volume && index == f.index;
  }
};

const uint8_t zeros[LOG_SEAL_KEY] = {};

std::vector<uint64_t> record_starts(const std::string &b) {
  std::vector<uint64_t> starts;
  const char *p = b.data(), *end = p + b.size();
  for (const char *at = p; at < end;) {
    if ((size_t)(end - at) >= (size_t)LOG_FORMAT_MARK_LEN &&
        memcmp(at, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN) == 0)
      starts.push_back((uint64_t)(at - p));
    const char *lf = static_cast<const char *>(memchr(at, '\n', (size_t)(end - at)));
    if (lf == nullptr) break;
    at = lf + 1;
  }
  return starts;
}

size_t records_in(const std::vector<uint64_t> &starts, uint64_t from, uint64_t to) {
  return (size_t)(std::lower_bound(starts.begin(), starts.end(), to) -
                  std::lower_bound(starts.begin(), starts.end(), from));
}

/* a sidecar read; its shape checked: an empty slot between entries is entries taken out */
bool read_sidecar(const std::string &name, sidecar &s, std::string *unreadable) {
  std::string raw;
  DWORD error = 0;
  s.name = name;
  if (!vezcat_seal__read_whole(name, &raw, &error)) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
    *unreadable = vezcat_seal__reason(error);
    return false;
  }
  /* one a writer died in the middle of making (nothing, or zeros, where its header goes)
     holds no seals, as the next writer takes it */
  bool begun = true;
  for (size_t i = 0; i < raw.size() && i < sizeof(log_seal_header); i++)
    begun = begun && raw[i] == 0;
  if (begun) return true;
  log_seal_header h;
  s.present = true;
  if (raw.size() < sizeof h) {
    s.fault = "not a seal file (cut inside its header)";
    return true;
  }
  memcpy(&h, raw.data(), sizeof h);
  bool v2 = h.version == LOG_SEAL_SIDECAR_VERSION && h.entry_size == sizeof(log_seal_entry);
  bool v1 = h.version == 1 && h.entry_size == sizeof(log_seal_entry_v1);
  if (memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) != 0 || (!v1 && !v2)) {
    s.fault = "not a seal file of vezlog";
    return true;
  }
  s.version = v2 ? 2 : 1;
  s.volume = h.log_volume;
  s.index = h.log_index;
  size_t each = h.entry_size, slots = (raw.size() - sizeof h) / each;
  /* the last slot filled: the rest is room made ahead, all zeros */
  size_t used = slots;
  while (used > 0) {
    uint32_t type;
    memcpy(&type, raw.data() + sizeof h + (used - 1) * each, sizeof type);
    if (type != 0) break;
    used--;
  }
  for (size_t i = 0; i < used; i++) {
    const char *at = raw.data() + sizeof h + i * each;
    entry x;
    x.slot = i;
    if (v2) {
      memcpy(&x.e, at, sizeof x.e);
    } else {
      x.v1 = true;
      memcpy(&x.e1, at, sizeof x.e1);
      memset(&x.e, 0, sizeof x.e);
      x.e.type = x.e1.type;
      x.e.utc_offset = x.e1.utc_offset;
      x.e.seq = x.e1.seq;
      x.e.offset = x.e1.offset;
      x.e.length = x.e1.length;
      x.e.epoch = x.e1.epoch;
      x.e.time = x.e1.time;
      memcpy(x.e.id, x.e1.id, LOG_SEAL_ID);
      memcpy(x.e.prev, x.e1.prev, LOG_SEAL_KEY);
      memcpy(x.e.tag, x.e1.tag, LOG_SEAL_KEY);
    }
    if (x.e.type == LOG_SEAL_CLAIMED) continue; /* a writer died before filling it */
    bool known = x.e.type == LOG_SEAL_RECORD || x.e.type == LOG_SEAL_ORPHAN ||
                 (v2 && x.e.type == LOG_SEAL_ROTATION);
    if (!known && s.fault.empty())
      s.fault = "entry " + std::to_string(i + 1) +
                (x.e.type == 0 ? " is empty between entries (entries taken out)"
                               : " is of no kind an entry has");
    if (known) s.entries.push_back(x);
  }
  return true;
}

/* the time a record's header shows, "MM/DD hh:mm:ss" at its start; "" when none */
std::string header_time(const char *p, size_t n) {
  const size_t mark = LOG_FORMAT_MARK_LEN, stamp = 14;
  if (n < mark + stamp || memcmp(p, LOG_FORMAT_MARK, mark) != 0) return "";
  return std::string(p + mark, stamp);
}

/* what a time shows in a writer's zone, as a header writes it */
std::string shown_time(int64_t t, int32_t offset) {
  time_t local = (time_t)(t + offset);
  struct tm tm;
  char text[32];
  if (gmtime_s(&tm, &local) != 0) return "";
  snprintf(text, sizeof text, "%02d/%02d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
           tm.tm_min, tm.tm_sec);
  return text;
}

/* the time a header shows, read in a writer's zone: a header has no year, so the year that
   puts it within a day of around, ahead of it (after) or behind it; 0 when it shows none */
time_t time_of_header(const std::string &text, int32_t utc_offset, time_t around, bool after) {
  int mo, d, h, mi, s;
  if (text.size() != 14 || sscanf(text.c_str(), "%2d/%2d %2d:%2d:%2d", &mo, &d, &h, &mi, &s) != 5)
    return 0;
  time_t base = around + utc_offset;
  struct tm tm;
  if (gmtime_s(&tm, &base) != 0) return 0;
  auto in = [&](int year) {
    struct tm t = {};
    t.tm_year = year;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return _mkgmtime(&t) - utc_offset;
  };
  time_t v = in(tm.tm_year);
  if (after && v < around - 86400) v = in(tm.tm_year + 1);
  if (!after && v > around + 86400) v = in(tm.tm_year - 1);
  return v;
}

bool digest_is(const std::string &b, uint64_t at, uint64_t n, const uint8_t want[LOG_SEAL_KEY]) {
  if (at > b.size() || n > b.size() - at) return false;
  uint8_t d[LOG_SEAL_KEY];
  return log_seal__digest(b.data() + at, (size_t)n, d) && memcmp(d, want, LOG_SEAL_KEY) == 0;
}

/* whether a sidecar's first sealed record is in a generation's bytes, as sealed (an
   earlier release's seals hold no digest: taken as fitting) */
bool fits(const sidecar &c, const generation &g) {
  if (!c.present) return false;
  for (const entry &x : c.entries) {
    if (x.v1) return true;
    if (x.e.type != LOG_SEAL_RECORD && x.e.type != LOG_SEAL_ORPHAN) continue;
    return digest_is(g.bytes, x.e.offset, x.e.length, x.e.digest);
  }
  return false;
}

std::string records_text(size_t n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

/* the proof in progress */
struct prover {
  std::vector<vezcat_key> &keys;
  const vezcat_closes &closes;
  time_t now;
  vezcat_verdict v;
  std::vector<generation> gens;
  bool mismatched = false; /* its sidecars matched no way its logs hold */

  prover(std::vector<vezcat_key> &k, const vezcat_closes &c, time_t t)
      : keys(k), closes(c), now(t) {}

  void fail(const generation &g, uint64_t offset, time_t when, const std::string &what) {
    if (v.failed) return;
    v.failed = true;
    v.file = g.log;
    v.offset = offset;
    v.when = when;
    v.what = what;
  }

  vezcat_key *key_of(const log_seal_entry &e) {
    for (vezcat_key &k : keys)
      if (memcmp(k.id, e.id, LOG_SEAL_ID) == 0) return &k;
    return nullptr;
  }

  /* when sealing began and how long its intervals are, for an entry's key */
  bool timing(const log_seal_entry &e, int64_t *start, uint64_t *interval) {
    vezcat_key *k = key_of(e);
    if (k != nullptr) {
      *start = k->start;
      *interval = k->interval;
      return true;
    }
    *start = closes.start;
    *interval = closes.interval;
    return closes.times(e.id);
  }

  long long epoch_of(const log_seal_entry &e, int64_t t) {
    int64_t start = 0;
    uint64_t interval = 0;
    return timing(e, &start, &interval) ? log_seal__epoch_of((time_t)t, start, interval) : -1;
  }

  /* why an entry does not hold its bytes: they stand elsewhere, or another's stand here */
  std::string diagnose(const generation &g, const entry &x) {
    const entry *here = nullptr;
    for (const generation &h : gens)
      for (const entry &y : h.entries)
        if (&y != &x && !y.v1 && y.e.type != LOG_SEAL_ROTATION && here == nullptr &&
            digest_is(g.bytes, x.e.offset, y.e.length, y.e.digest))
          here = &y;
    long long moved = -1;
    for (uint64_t s : g.starts)
      if (moved < 0 && s != x.e.offset && !x.v1 && digest_is(g.bytes, s, x.e.length, x.e.digest))
        moved = (long long)s;
    /* the record sealed as another stands here, and still stands at its own place: a copy */
    if (here != nullptr && digest_is(g.bytes, here->e.offset, here->e.length, here->e.digest) &&
        here->e.offset != x.e.offset)
      return "inserted (a copy of the record sealed as number " + std::to_string(here->e.seq) +
             " stands here)";
    if (here != nullptr && moved >= 0)
      return "reordered (the record sealed as number " + std::to_string(here->e.seq) +
             " stands here, where number " + std::to_string(x.e.seq) + " was sealed)";
    if (here != nullptr && here->e.seq > x.e.seq)
      return "removed (the record sealed here as number " + std::to_string(x.e.seq) +
             " is gone: number " + std::to_string(here->e.seq) + " stands in its place)";
    if (here != nullptr)
      return "inserted (a copy of the record sealed as number " + std::to_string(here->e.seq) +
             " stands here)";
    if (moved >= 0)
      return (uint64_t)moved > x.e.offset
                 ? "inserted (a record no seal covers stands before it)"
                 : "reordered (it stands before records sealed ahead of it)";
    return "changed (its bytes are not as sealed)";
  }

  /* an entry whose tag does not hold though its bytes do: sealed for another place? */
  std::string diagnose_tag(const generation &g, const entry &x, const uint8_t key[LOG_SEAL_KEY]) {
    for (uint64_t s : g.starts) {
      if (s == x.e.offset) continue;
      log_seal_entry moved = x.e;
      moved.offset = s;
      uint8_t want[LOG_SEAL_KEY];
      if (log_seal__tag(key, &moved, want) && memcmp(want, x.e.tag, LOG_SEAL_KEY) == 0)
        return "reordered (the record sealed at offset " + std::to_string(s) + " stands here)";
    }
    return "changed (its seal is not as it was made: its place, number or time)";
  }

  /* one entry against its bytes, its key and its time; false once it fails */
  bool check(generation &g, entry &x) {
    const log_seal_entry &e = x.e;
    time_t when = (time_t)e.time;
    bool rotation = e.type == LOG_SEAL_ROTATION;
    uint64_t from = rotation ? 0 : e.offset, length = rotation ? e.offset : e.length;
    if (from > g.bytes.size() || length > g.bytes.size() - from) {
      fail(g, e.offset, when, "removed (its bytes are no longer in the log)");
      return false;
    }
    const char *bytes = g.bytes.data() + from;
    if (!rotation && !std::binary_search(g.starts.begin(), g.starts.end(), e.offset)) {
      fail(g, e.offset, when, "changed (no record begins where its seal says)");
      return false;
    }
    if (!x.v1 && !digest_is(g.bytes, from, length, e.digest)) {
      fail(g, e.offset, when,
           rotation ? "changed (what lay before sealing began is not as it was)" : diagnose(g, x));
      return false;
    }
    vezcat_key *k = key_of(e);
    if (!keys.empty()) {
      if (k == nullptr) {
        fail(g, e.offset, when, "sealed with a key not given (another key, or none of this host)");
        return false;
      }
      uint8_t key[LOG_SEAL_KEY], want[LOG_SEAL_KEY];
      bool made = vezcat_seal__key_at(*k, e.epoch, key) &&
                  (x.v1 ? log_seal__tag_v1(key, bytes, (size_t)length, &x.e1, want)
                        : log_seal__tag(key, &e, want));
      if (!made || memcmp(want, e.tag, LOG_SEAL_KEY) != 0) {
        fail(g, e.offset, when, x.v1 || !made ? diagnose(g, x) : diagnose_tag(g, x, key));
        log_seal__wipe(key, sizeof key);
        return false;
      }
      log_seal__wipe(key, sizeof key);
    }
    long long own = epoch_of(e, e.time);
    if (own >= 0) {
      bool orphan = e.type == LOG_SEAL_ORPHAN;
      if ((long long)e.epoch > own + (orphan || rotation ? 1 : 0)) {
        fail(g, e.offset, when,
             orphan
                 ? "changed (named as left by a writer that died, with the key of a later "
                   "interval than the next one)"
                 : "sealed with a later interval's key than its time allows (a clock set back?)");
        return false;
      }
      if ((long long)e.epoch < own - (rotation ? 1 : 0)) {
        fail(g, e.offset, when,
             "sealed with an earlier interval's key than its time (a clock set forward?)");
        return false;
      }
    }
    if (!rotation && header_time(bytes, (size_t)length) != shown_time(e.time, e.utc_offset)) {
      fail(g, e.offset, when, "changed (its time is not the one sealed)");
      return false;
    }
    return true;
  }

  /* bytes no entry covers at the end of a generation: a crash's, or not proved */
  void tail(generation &g, uint64_t from, const entry *last) {
    if (from >= g.bytes.size()) return;
    size_t n = records_in(g.starts, from, g.bytes.size());
    if (n == 0 || !std::binary_search(g.starts.begin(), g.starts.end(), from)) {
      fail(g, from, 0, "inserted (bytes after the last seal that no record owns)");
      return;
    }
    bool torn = g.bytes.back() != '\n';
    time_t t = 0;
    if (last != nullptr) {
      std::string h = header_time(g.bytes.data() + from, g.bytes.size() - from);
      t = time_of_header(h, last->e.utc_offset, (time_t)last->e.time, true);
      long long e = epoch_of(last->e, t);
      /* a record of an interval that was closed would have been sealed by the close */
      uint64_t closed_until = 0;
      bool any = false;
      for (const vezcat_close &c : closes.list)
        if (memcmp(c.head.id, last->e.id, LOG_SEAL_ID) == 0) {
          closed_until = c.head.epoch;
          any = true;
        }
      if (any && e >= 0 && (uint64_t)e <= closed_until) {
        fail(g, from, t,
             "not sealed (a record of an interval closed since: its seal was taken out)");
        return;
      }
    }
    v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(from) + ": " +
                      (torn ? "a torn record at the log's end (its writer died inside its write)"
                            : records_text(n) + " after the last seal, not sealed yet (a writer "
                                                "that died before sealing, or the newest)"));
  }

  /* a generation's entries against its bytes, in the order of their places */
  void cover(generation &g) {
    std::vector<entry *> placed;
    for (entry &x : g.entries)
      if (x.e.type != LOG_SEAL_ROTATION) placed.push_back(&x);
    std::stable_sort(placed.begin(), placed.end(),
                     [](const entry *a, const entry *b) { return a->e.offset < b->e.offset; });
    const entry &first = g.entries.front();
    uint64_t covered = first.e.type == LOG_SEAL_ROTATION ? first.e.offset : 0;
    if (first.e.type == LOG_SEAL_ROTATION) {
      if (!check(g, g.entries.front())) return;
      size_t before = records_in(g.starts, 0, covered);
      if (before > 0)
        v.notes.push_back("sealed as found: " + records_text(before) + " of " + g.log +
                          " before sealing began in it (offset " + std::to_string(covered) + ")");
    } else if (first.v1) {
      size_t before = records_in(g.starts, 0, first.e.offset);
      if (before > 0)
        v.notes.push_back("not sealed: " + records_text(before) + " of " + g.log +
                          " before its first seal (an earlier release's: before keys were set up)");
      covered = first.e.offset;
    }
    const entry *last = &first;
    for (entry *x : placed) {
      if (x->e.offset > covered) {
        fail(g, covered, 0,
             records_in(g.starts, covered, x->e.offset) > 0
                 ? "inserted (a record no seal covers)"
                 : "changed (bytes between records that no seal covers)");
        return;
      }
      if (x->e.offset < covered && first.e.type == LOG_SEAL_ROTATION && !keys.empty() &&
          x->e.seq > first.e.seq && x->e.offset + x->e.length <= first.e.offset) {
        /* before where sealing began, and sealed after it began: two writers at once (one
           still holding a lock file that was removed), the first to write the last to seal;
           its bytes are proved twice, by its own seal and by the digest of what lay before */
        if (!check(g, *x)) return;
        v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(x->e.offset) +
                          ": sealed after sealing began behind it (two writers at once: a lock "
                          "file was removed)");
        continue;
      }
      if (x->e.offset < covered && !keys.empty() && last != &first &&
          x->e.offset == last->e.offset && x->e.length == last->e.length &&
          memcmp(x->e.digest, last->e.digest, LOG_SEAL_KEY) == 0 &&
          (x->e.type == LOG_SEAL_ORPHAN || last->e.type == LOG_SEAL_ORPHAN)) {
        /* one record sealed twice: by its writer, and by one that took it for a dead
           writer's (two writers at once: a lock file was removed) */
        if (!check(g, *x)) return;
        continue;
      }
      if (x->e.offset < covered) {
        fail(g, x->e.offset, (time_t)x->e.time, "changed (two seals claim the same bytes)");
        return;
      }
      if (!check(g, *x)) return;
      if (x->e.type == LOG_SEAL_ORPHAN)
        v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(x->e.offset) +
                          ": a record whose writer died before sealing it, sealed by the next "
                          "writer as such");
      if (x->e.type == LOG_SEAL_RECORD) {
        if (v.proved == 0) v.first = (time_t)x->e.time;
        v.last = (time_t)x->e.time;
        v.proved++;
        std::string rec =
            g.bytes.substr((size_t)x->e.offset, (size_t)std::min<uint64_t>(x->e.length, 400));
        size_t d = rec.find("\r\nDesc:Records lost since ");
        if (d != std::string::npos)
          v.notes.push_back("loss told: " + g.log + ", offset " + std::to_string(x->e.offset) +
                            ": " + rec.substr(d + 7, rec.find("\r\n", d + 2) - d - 7));
      }
      covered = x->e.offset + x->e.length;
      if (last != &first && x->e.seq < last->e.seq) {
        /* sealed in another order than they stand: two writers at once (one still holding a
           lock file that was removed), each seal holding for its place; or a reorder, which
           only the key can tell */
        if (keys.empty()) {
          fail(g, last->e.offset, (time_t)last->e.time,
               "reordered (sealed as number " + std::to_string(last->e.seq) +
                   ", it stands before number " + std::to_string(x->e.seq) + ")");
          return;
        }
        v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(last->e.offset) +
                          ": sealed after the record behind it (two writers at once: a lock "
                          "file was removed)");
      }
      last = x;
    }
    tail(g, covered, last);
  }

  /* the chain across the generations: each entry names the one stored before it */
  void chain() {
    const entry *prev = nullptr;
    const generation *prev_gen = nullptr;
    std::map<uint64_t, std::vector<const entry *>> by_seq;
    for (generation &g : gens) {
      for (const entry &x : g.entries) {
        if (v.failed) return;
        if (prev == nullptr) {
          if (memcmp(x.e.prev, zeros, LOG_SEAL_KEY) != 0 && x.e.type == LOG_SEAL_ROTATION)
            v.notes.push_back("moved away by rotation: the records sealed up to number " +
                              std::to_string(x.e.seq - 1) + " (before " + g.log + ")");
        } else {
          bool follows =
              x.e.seq == prev->e.seq + 1 && memcmp(x.e.prev, prev->e.tag, LOG_SEAL_KEY) == 0;
          /* two writers at once (one still holding a lock file that was removed) stored beside
             each other, in one generation or across a rotation: it follows another entry of
             the number before, and its seal holds */
          bool beside = false;
          if (!follows && !keys.empty() && by_seq.count(x.e.seq - 1) > 0)
            for (const entry *y : by_seq[x.e.seq - 1])
              beside = beside || memcmp(x.e.prev, y->e.tag, LOG_SEAL_KEY) == 0;
          if (beside) {
            v.notes.push_back("damage: " + g.log + ", offset " + std::to_string(x.e.offset) +
                              ": sealed beside another writer's record (two writers at once: a "
                              "lock file was removed)");
          } else if (!follows) {
            bool across = prev_gen != &g;
            /* a record removed with its seal: named where it was, after the one before */
            uint64_t where = across ? 0
                             : x.e.seq > prev->e.seq + 1 && prev->e.type != LOG_SEAL_ROTATION
                                 ? prev->e.offset + prev->e.length
                                 : x.e.offset;
            fail(g, where, (time_t)x.e.time,
                 across ? "removed (the last records of " + prev_gen->log +
                              " or their seals are missing: the chain of seals breaks here)"
                 : x.e.seq > prev->e.seq + 1
                     ? "removed (" + std::to_string(x.e.seq - prev->e.seq - 1) +
                           " seals before it are gone, and their records with them or "
                           "unsealed)"
                     : "changed (its seal does not follow the one before)");
            return;
          }
        }
        by_seq[x.e.seq].push_back(&x);
        prev = &x;
        prev_gen = &g;
      }
    }
  }

  /* every close naming this log finds its chain where it says, and nothing sealed after */
  void against_closes(const std::string &path) {
    if (closes.list.empty()) return;
    std::map<uint64_t, const entry *> by_seq;
    const generation *where = nullptr;
    uint64_t oldest = UINT64_MAX, newest = 0;
    for (const generation &g : gens)
      for (const entry &x : g.entries) {
        by_seq[x.e.seq] = &x;
        oldest = std::min(oldest, x.e.seq);
        newest = std::max(newest, x.e.seq);
        where = &g;
      }
    if (by_seq.empty()) {
      /* no seals at all: a close that names some says they were taken out */
      for (const vezcat_close &c : closes.list)
        for (const vezcat_close_log &l : c.logs)
          if (vezcat_seal__names_log(l.name, path) && memcmp(l.tag, zeros, LOG_SEAL_KEY) != 0 &&
              !gens.empty()) {
            fail(gens.front(), 0, (time_t)c.head.made,
                 "removed (its seals are gone: the close of interval " +
                     std::to_string(c.head.epoch) + " names " + std::to_string(l.seq) + ")");
            return;
          }
      return;
    }
    const entry *first_entry = by_seq.begin()->second;
    bool dropped_said = false;
    const uint64_t *last_seq = nullptr;
    for (const vezcat_close &c : closes.list) {
      if (memcmp(c.head.id, first_entry->e.id, LOG_SEAL_ID) != 0) continue;
      const vezcat_close_log *mine = nullptr;
      for (const vezcat_close_log &l : c.logs)
        if (l.name == path) mine = &l;
      for (const vezcat_close_log &l : c.logs)
        if (mine == nullptr && vezcat_seal__names_log(l.name, path)) mine = &l;
      time_t made = (time_t)c.head.made;
      std::string which = "the close of interval " + std::to_string(c.head.epoch) + " (made " +
                          vezcat_seal__local_text(made) + ")";
      if (mine == nullptr) {
        /* sealed in that interval, or before it and still there: it had to be covered */
        for (const auto &p : by_seq)
          if (p.second->e.epoch <= c.head.epoch && p.second->e.type != LOG_SEAL_ORPHAN) {
            fail(*where, 0, made, "not closed (" + which + " does not cover this log)");
            return;
          }
        continue;
      }
      last_seq = &mine->seq;
      if (mine->held) {
        fail(*where, 0, made, "not closed (" + which + " found its lock held the whole time)");
        return;
      }
      if (memcmp(mine->tag, zeros, LOG_SEAL_KEY) != 0) {
        auto at = by_seq.find(mine->seq);
        if (at == by_seq.end()) {
          if (mine->seq < oldest) {
            if (!dropped_said)
              v.notes.push_back("moved away by rotation since " + which +
                                ": the records it "
                                "named up to number " +
                                std::to_string(mine->seq));
            dropped_said = true;
          } else if (mine->seq > newest) {
            fail(gens.back(), gens.back().bytes.size(), made,
                 "removed (" + which + " names " + std::to_string(mine->seq - newest) +
                     " more seals than the log holds: its newest records were cut)");
            return;
          } else {
            fail(*where, 0, made, "removed (the record " + which + " names is gone)");
            return;
          }
        } else if (memcmp(at->second->e.tag, mine->tag, LOG_SEAL_KEY) != 0) {
          /* the chain the close named was made again: where it was made again shows in the
             first seal it names that is dated after the close (no seal of a later interval
             can be named by it); where none is, at the seal it names */
          const entry *changed = at->second;
          for (const auto &p : by_seq)
            if (p.first <= mine->seq && p.second->e.epoch > c.head.epoch &&
                p.second->e.type != LOG_SEAL_ROTATION) {
              changed = p.second;
              break;
            }
          for (const generation &g : gens)
            for (const entry &x : g.entries)
              if (&x == changed) {
                fail(g, x.e.offset, (time_t)x.e.time,
                     "changed (not the record " + which + " names)");
                return;
              }
        }
      }
      for (const generation &g : gens)
        for (const entry &x : g.entries)
          if (x.e.seq > mine->seq && x.e.epoch <= c.head.epoch && x.e.type != LOG_SEAL_ROTATION) {
            fail(g, x.e.offset, (time_t)x.e.time,
                 "inserted (sealed with the key of an interval closed before it: after " + which +
                     ")");
            return;
          }
    }
    if (last_seq != nullptr) {
      size_t after = 0;
      for (const generation &g : gens)
        for (const entry &x : g.entries)
          if (x.e.type == LOG_SEAL_RECORD && x.e.seq > *last_seq) after++;
      if (after > 0)
        v.notes.push_back("not proved against a cut: " + records_text(after) +
                          " sealed after the last close");
    }
  }

  /* the lock file's stamp (where it is there) says where the chain ends now */
  void stamp(const std::string &path) {
    std::string lok;
    DWORD error = 0;
    if (gens.empty() || !vezcat_seal__read_whole(path + ".lok", &lok, &error)) return;
    flsem_stamp st;
    if (lok.size() < sizeof st) return;
    memcpy(&st, lok.data(), sizeof st);
    if (st.magic != FLSEM_STAMP_MAGIC || memcmp(st.seal_id, zeros, LOG_SEAL_ID) == 0) return;
    const uint8_t *id = st.seal_id;
    uint64_t seq = st.seal_seq;
    uint64_t newest = 0;
    const entry *any = nullptr;
    for (const generation &g : gens)
      for (const entry &x : g.entries) {
        newest = std::max(newest, x.e.seq);
        any = &x;
      }
    if (any != nullptr && memcmp(any->e.id, id, LOG_SEAL_ID) == 0 && seq > newest)
      fail(gens.back(), gens.back().bytes.size(), 0,
           "removed (the lock file's stamp says its chain of seals goes on to number " +
               std::to_string(seq) + ": the newest records or their seals were cut)");
  }

  /* the files of the log and its sidecars, read once for every way of matching them */
  bool load(const std::string &path, sidecar sides[3]) {
    for (const char *suffix : {".old", ""}) {
      generation g;
      g.log = path + suffix;
      DWORD error = 0;
      if (!vezcat_seal__read_whole(g.log, &g.bytes, &error, &g.facts)) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) continue;
        v.failed = true;
        v.file = g.log;
        v.what = "cannot be read: " + vezcat_seal__reason(error);
        return false;
      }
      g.starts = record_starts(g.bytes);
      gens.push_back(std::move(g));
    }
    std::string why;
    const char *suffixes[3] = {LOG_SEAL_OLD_SUFFIX, LOG_SEAL_SUFFIX, LOG_SEAL_MOVING_SUFFIX};
    for (int i = 0; i < 3; i++)
      if (!read_sidecar(path + suffixes[i], sides[i], &why)) {
        v.failed = true;
        v.file = path + suffixes[i];
        v.what = "cannot be read: " + why;
        return false;
      }
    return true;
  }

  /*
  ** Which seals are whose. A sidecar moves one way only, from the log's
  ** sidecar name by way of ".seal.moving" to the old copy's, a step behind
  ** its log. Each names the log it seals (by_identity); where none names a
  ** log (copied files), or where its identity misleads (a file's number
  ** given again to another after it was removed), its own name decides.
  */
  void run(const std::string &path, sidecar sides[3], bool by_identity) {
    sidecar &at_old = sides[0], &at_log = sides[1], &moving = sides[2];
    /* the old copy's seals never name the log at the log's name (they move one way): where
       they do, files were made again and their numbers given out anew; and where the log's
       seals name the old copy (a mover that died between the log and its seals) while the
       bytes there are those the old copy's seals sealed, the numbers mislead too */
    if (by_identity && gens.size() == 2 && at_old.present && at_old.names(gens.back().facts))
      by_identity = false;
    if (by_identity && gens.size() == 2 && at_log.names(gens.front().facts) &&
        fits(at_old, gens.front()) && !fits(at_log, gens.front()))
      by_identity = false;
    for (generation &g : gens) {
      bool old = &g == &gens.front() && gens.size() == 2;
      if (gens.size() == 1 && g.log != path) old = true;
      std::vector<sidecar *> ways = old ? std::vector<sidecar *>{&at_old, &at_log, &moving}
                                        : std::vector<sidecar *>{&at_log, &moving};
      sidecar *chosen = nullptr;
      for (sidecar *c : ways)
        if (by_identity && chosen == nullptr && !c->used && c->names(g.facts)) chosen = c;
      bool names_a_log = false;
      for (const generation &h : gens)
        names_a_log = names_a_log || (by_identity && ways.front()->names(h.facts));
      if (chosen == nullptr && !ways.front()->used && ways.front()->present && !names_a_log)
        chosen = ways.front();
      if (chosen == nullptr) continue;
      chosen->used = true;
      g.has_sidecar = true;
      g.sidecar = chosen->name;
      if (!chosen->fault.empty()) {
        fail(g, 0, 0, chosen->name + ": " + chosen->fault);
        return;
      }
      g.entries = chosen->entries;
    }
    const entry *oldest = nullptr; /* the first entry of the generations there */
    for (const generation &g : gens)
      if (oldest == nullptr && !g.entries.empty()) oldest = &g.entries.front();
    for (sidecar *c : {&at_old, &at_log, &moving})
      if (c->present && !c->used && !c->entries.empty() && !gens.empty()) {
        /* the seals of the generation before the oldest one there, left by a writer that
           died between moving a log onto the old copy and moving its sidecar after it: its
           log was replaced as a rotation replaces it */
        const entry &end = c->entries.back();
        if (oldest != nullptr && oldest->e.seq == end.e.seq + 1 &&
            memcmp(oldest->e.prev, end.e.tag, LOG_SEAL_KEY) == 0) {
          v.notes.push_back("damage: " + c->name +
                            ": the seals of a generation replaced by "
                            "rotation, left behind (its mover died)");
          continue;
        }
        mismatched = true;
        fail(gens.back(), 0, 0,
             c->name + ": seals of another log than " + path + " (its log is gone, or replaced)");
        return;
      }
    for (generation &g : gens) {
      v.any_seal = v.any_seal || !g.entries.empty();
      if (g.entries.empty()) {
        if (g.starts.empty()) continue;
        /* records without seals: before sealing began, or their seals are gone; or the one
           write of a new generation (a record, after its loss record) whose writer died
           before its first seal (the next writer seals it), damage as at any log's end */
        const generation *before =
            &g == &gens.back() && gens.size() > 1 ? &gens[gens.size() - 2] : nullptr;
        if (before != nullptr && g.starts.size() <= 2 && g.starts[0] == 0 &&
            !before->entries.empty()) {
          tail(g, 0, &before->entries.back());
          if (v.failed) return;
          continue;
        }
        if (closes.have_start) {
          for (uint64_t s : g.starts) {
            time_t t = time_of_header(header_time(g.bytes.data() + s, g.bytes.size() - s),
                                      log_seal__utc_offset(now), now, false);
            if (t >= closes.start) {
              fail(g, s, t,
                   std::string("not sealed (") +
                       (g.has_sidecar ? "its seals are missing" : "no seals beside it") +
                       ", though sealing began at " + vezcat_seal__local_text(closes.start) + ")");
              return;
            }
          }
        }
        v.notes.push_back("not sealed: " + records_text(g.starts.size()) + " of " + g.log +
                          " (written before keys were set up)");
        continue;
      }
      const entry &first = g.entries.front();
      if (!first.v1 && first.e.type != LOG_SEAL_ROTATION) {
        fail(g, first.e.offset, (time_t)first.e.time,
             "removed (the first seals of " + g.sidecar +
                 " are missing: its chain begins inside the log)");
        return;
      }
    }
    /* the generation before the current one is at the old copy's name: its seals name it */
    if (gens.size() == 1 && gens[0].log == path && !gens[0].entries.empty()) {
      const entry &first = gens[0].entries.front();
      if (first.e.type == LOG_SEAL_ROTATION && memcmp(first.e.prev, zeros, LOG_SEAL_KEY) != 0 &&
          first.e.generation > 0) {
        fail(gens[0], 0, (time_t)first.e.time,
             "removed (" + path + ".old, the generation before it, is gone with its seals)");
        return;
      }
    }
    chain();
    for (generation &g : gens)
      if (!v.failed && !g.entries.empty()) cover(g);
    if (!v.failed) stamp(path);
    if (!v.failed) against_closes(path);
  }
};

} // namespace

vezcat_verdict vezcat_seal__prove(const std::string &path, std::vector<vezcat_key> &keys,
                                  const vezcat_closes &closes, time_t now) {
  prover p(keys, closes, now);
  sidecar sides[3];
  if (!p.load(path, sides)) return p.v;
  prover by_name = p;
  p.run(path, sides, true);
  if (!p.v.failed) return p.v;
  /* the seals matched by their names alone: where that holds, it is the truth (a file's
     number can be another's once that one was removed); a wrong match proves nothing */
  for (sidecar &side : sides)
    side.used = false;
  by_name.run(path, sides, false);
  return by_name.v.failed && !p.mismatched ? p.v : by_name.v;
}
