/*
** vezcat_seal.cpp - vezcat's sealed logs: --setup-keys makes the sealing
** state beside the data file and prints the verification key once; --seal
** closes the intervals that ended (a timer runs it); --verify proves each
** log and its old copy against their seals and the closes.
**
** What --verify proves with the key: every record sealed is as it was
** written, in its place, sealed with the key of its own interval; every
** interval from the key's start to the last close was closed in time, one
** after another, and each close finds every log's chain where it says: no
** record of an interval closed can be changed, removed, inserted or cut by
** anyone who came after its close. What it cannot: the records sealed after
** the last close (the newest can be cut with their seals: the proof says up
** to when it holds), and records written before keys were set up.
*/
#include "vezcat.h"
#include "vezcat_seal.h"

#include <stdio.h>
#include <string.h>

#include <set>

#include "cli_report.h"
#include "log.h"
#include "log_close.h"
#include "shm.h"

namespace {

/* the data file's directory, where the sealing state and its closes lie */
std::string beside_data_file(const char *name) {
  char data[SHM_PATH_SIZE], path[SHM_PATH_SIZE + 32];
  shm__data_file_path(data);
  if (!log_seal__beside(data, name, path, sizeof path)) return name;
  return path;
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

/* the state beside the data file, read (nothing secret is used of it here); *damaged when it
   could be read and is no sealing state (not when it is missing or this user may not read it) */
bool read_state(log_seal_state *st, bool *damaged) {
  std::string raw;
  DWORD error = 0;
  *damaged = false;
  if (!vezcat_seal__read_whole(beside_data_file(LOG_SEAL_STATE_NAME), &raw, &error)) return false;
  bool ok = raw.size() == sizeof *st;
  if (ok) memcpy(st, raw.data(), sizeof *st);
  log_seal__wipe(&raw[0], raw.size());
  ok = ok && memcmp(st->magic, LOG_SEAL_STATE_MAGIC, sizeof st->magic) == 0 && st->interval > 0;
  log_seal__wipe(st->key, sizeof st->key);
  *damaged = !ok;
  return ok;
}

} // namespace

/* a close's name of a log against a log's path: the same, or the same file name */
bool vezcat_seal__names_log(const std::string &name, const std::string &path) {
  if (name == path) return true;
  size_t a = name.find_last_of("\\/"), b = path.find_last_of("\\/");
  return name.substr(a == std::string::npos ? 0 : a + 1) ==
         path.substr(b == std::string::npos ? 0 : b + 1);
}

bool vezcat_seal__read_whole(const std::string &path, std::string *out, DWORD *error,
                             VEZ_FILE_FACTS *facts) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return false;
  }
  if (facts != nullptr && !VezFileFactsAtName(path.c_str(), facts)) *facts = {};
  out->clear();
  DWORD high = 0, low = GetFileSize(h, &high);
  if (low != INVALID_FILE_SIZE && high == 0) out->reserve(low);
  char buf[1 << 16];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(h, buf, sizeof buf, &got, nullptr) != 0) && got > 0)
    out->append(buf, got);
  if (!ok) *error = GetLastError();
  CloseHandle(h);
  return ok;
}

std::string vezcat_seal__reason(DWORD code) {
  char text[256];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text, nullptr) == 0)
    snprintf(text, sizeof text, "error %lu", (unsigned long)code);
  return text;
}

std::string vezcat_seal__local_text(time_t t) {
  struct tm tm;
  char text[32] = "?";
  if (localtime_s(&tm, &t) == 0) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

bool vezcat_seal__key_at(vezcat_key &k, uint64_t e, uint8_t out[LOG_SEAL_KEY]) {
  if (!k.derived || e < k.epoch) {
    if (!log_seal__first_key(k.seed, k.current)) return false;
    k.epoch = 0;
    k.derived = true;
  }
  if (e - k.epoch > 100000000ull) return false;
  for (; k.epoch < e; k.epoch++)
    if (!log_seal__evolve(k.current)) return false;
  memcpy(out, k.current, LOG_SEAL_KEY);
  return true;
}

vezcat_closes vezcat_seal__read_closes(const std::string &path, std::vector<vezcat_key> &keys,
                                       time_t now, const log_seal_state *state) {
  vezcat_closes c;
  if (!keys.empty()) {
    c.have_start = true;
    c.start = keys.front().start;
    c.interval = keys.front().interval;
    memcpy(c.id, keys.front().id, LOG_SEAL_ID);
  } else if (state != nullptr) {
    c.have_start = true;
    c.start = state->start;
    c.interval = state->interval;
    memcpy(c.id, state->id, LOG_SEAL_ID);
  }
  auto fault = [&](uint64_t epoch, const std::string &what) {
    if (!c.fault.empty()) return;
    c.fault = what;
    c.fault_epoch = epoch;
  };
  std::string raw;
  DWORD error = 0;
  c.present = vezcat_seal__read_whole(path, &raw, &error);
  std::map<std::string, size_t> last_of; /* each key's last close, in c.list */
  for (size_t at = 0; c.present && at < raw.size();) {
    vezcat_close one;
    if (raw.size() - at < sizeof one.head) {
      bool begun = memcmp(raw.data() + at, LOG_SEAL_CLOSE_MAGIC,
                          std::min(raw.size() - at, sizeof one.head.magic)) == 0;
      fault(0, path + (begun ? " is cut inside a close (byte " : " is damaged at byte ") +
                   std::to_string(at) + (begun ? ")" : " (no close begins there)"));
      break;
    }
    memcpy(&one.head, raw.data() + at, sizeof one.head);
    const log_seal_close &h = one.head;
    if (memcmp(h.magic, LOG_SEAL_CLOSE_MAGIC, sizeof h.magic) != 0 || h.length < sizeof h ||
        h.length > raw.size() - at) {
      fault(0, path + " is damaged at byte " + std::to_string(at) + " (no close begins there)");
      break;
    }
    size_t p = at + sizeof h;
    for (uint32_t i = 0; i < h.logs; i++) {
      log_seal_close_log l;
      if (p + sizeof l > at + h.length) break;
      memcpy(&l, raw.data() + p, sizeof l);
      p += sizeof l;
      if (l.name_length > LOG_SEAL_CLOSE_NAME_MAX || p + l.name_length > at + h.length) break;
      vezcat_close_log cl;
      cl.name.assign(raw.data() + p, l.name_length);
      cl.generation = l.generation;
      cl.seq = l.seq;
      cl.held = (l.flags & LOG_SEAL_CLOSE_HELD) != 0;
      memcpy(cl.tag, l.tag, LOG_SEAL_KEY);
      one.logs.push_back(cl);
      p += (l.name_length + 7) / 8 * 8;
    }
    std::string id((const char *)h.id, LOG_SEAL_ID);
    vezcat_key *k = nullptr;
    for (vezcat_key &candidate : keys)
      if (memcmp(candidate.id, h.id, LOG_SEAL_ID) == 0) k = &candidate;
    at += h.length;
    if (!keys.empty() && k == nullptr) continue; /* another key's: proves nothing here */
    if (one.logs.size() != h.logs) {
      fault(h.epoch, path + ": the close of interval " + std::to_string(h.epoch) + " is damaged");
      continue;
    }
    std::string when = "the close of interval " + std::to_string(h.epoch);
    auto before = last_of.find(id);
    const log_seal_close *was = before == last_of.end() ? nullptr : &c.list[before->second].head;
    static const uint8_t zeros[LOG_SEAL_KEY] = {};
    if (was != nullptr && h.epoch != was->epoch + 1)
      fault(was->epoch + 1, "not closed: interval " + std::to_string(was->epoch + 1) +
                                " has no close (" + when + " follows the close of interval " +
                                std::to_string(was->epoch) + ")");
    else if (memcmp(h.prev, was != nullptr ? was->tag : zeros, LOG_SEAL_KEY) != 0)
      fault(h.epoch, was != nullptr ? when + " does not follow the close before it"
                                    : "removed: the closes before " + when + " are missing");
    one.proved = true;
    if (k != nullptr) {
      uint8_t key[LOG_SEAL_KEY], tag[LOG_SEAL_KEY];
      one.proved = vezcat_seal__key_at(*k, h.epoch, key) &&
                   log_seal__close_tag(key, raw.data() + at - h.length, h.length, tag) &&
                   memcmp(tag, h.tag, LOG_SEAL_KEY) == 0;
      log_seal__wipe(key, sizeof key);
      if (!one.proved) fault(h.epoch, when + " is not as its key made it (changed, or forged)");
    }
    /* when its intervals end: from its key, or from the state of that key */
    bool timed = k != nullptr || c.times(h.id);
    int64_t start = k != nullptr ? k->start : c.start;
    uint64_t interval = k != nullptr ? k->interval : h.interval;
    if (timed && interval > 0 &&
        h.made > start + (int64_t)((h.epoch + 2) * interval) + log_seal__close_slack(interval)) {
      one.in_time = false;
      fault(h.epoch, "closed late: interval " + std::to_string(h.epoch) + " was closed at " +
                         vezcat_seal__local_text((time_t)h.made) +
                         " (the timer did not run): its key was on the host that long");
    }
    c.list.push_back(std::move(one));
    last_of[id] = c.list.size() - 1;
  }
  /* every interval of the key in use closed up to now */
  if (c.have_start && c.interval > 0) {
    long long due = log_seal__epoch_of(now - (time_t)c.interval - log_seal__close_slack(c.interval),
                                       c.start, c.interval);
    const vezcat_close *last = nullptr;
    for (const vezcat_close &one : c.list)
      if (c.times(one.head.id)) last = &one;
    if (last != nullptr) c.last_made = (time_t)last->head.made;
    long long closed = last == nullptr ? -1 : (long long)last->head.epoch;
    if (due - 1 > closed)
      fault((uint64_t)(closed + 1),
            std::string("not closed since ") +
                (last == nullptr ? "sealing began" : vezcat_seal__local_text(c.last_made)) +
                ": intervals " + std::to_string(closed + 1) + " to " + std::to_string(due - 1) +
                " have no close (the timer is not running, or closes were removed)");
  }
  return c;
}

int vezcat_seal__setup(const char *interval_text, bool force) {
  uint64_t interval = 15 * 60;
  if (interval_text != nullptr && !duration(interval_text, &interval))
    return cli_report__usage(CLI_USAGE_READER,
                             "usage: %s --setup-keys [--interval=DURATION] [--force]\n",
                             "bad --interval '%s': expected a duration of 1s or more, such as "
                             "15min, 1h or 30s",
                             interval_text);
  std::string path = beside_data_file(LOG_SEAL_STATE_NAME);
  DWORD attrs = GetFileAttributesA(path.c_str());
  if (attrs != INVALID_FILE_ATTRIBUTES && !force)
    return cli_report__fail(CLI_FAILED,
                            "sealing state %s exists already: --force replaces it (the records "
                            "sealed so far verify with the key printed then)",
                            path.c_str());
  /* the intervals of the key replaced that ended are closed with it first */
  if (attrs != INVALID_FILE_ATTRIBUTES) log__seal_intervals(nullptr, 0, 1000, nullptr);
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
    return cli_report__fail(CLI_FAILED, "cannot write %s: %s", path.c_str(),
                            vezcat_seal__reason(error).c_str());
  }
  /* the closes, kept across keys: made empty where there are none yet */
  std::string closes = beside_data_file(LOG_SEAL_CLOSES_NAME);
  HANDLE c = CreateFileA(closes.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (c != INVALID_HANDLE_VALUE) CloseHandle(c);
  char text[160];
  log_seal__key_text(seed, st.start, st.interval, text, sizeof text);
  log_seal__wipe(seed, sizeof seed);
  printf("The sealing state is %s; its key changes every %llu s.\n", path.c_str(),
         (unsigned long long)interval);
  printf("Run \"vezcat --seal\" every %llu s (the package's vezlog-seal.timer does) to close\n"
         "each interval in time, on a quiet host too.\n",
         (unsigned long long)interval);
  printf("The verification key follows. Keep it off this machine (write it down, keep it\n"
         "where an intruder here cannot read it): with it, vezcat --verify proves that no\n"
         "record was changed, removed, inserted or reordered. It is printed once only.\n");
  printf("%s\n", text);
  return cli_report__printed();
}

int vezcat_seal__close(const std::vector<vezcat__log> &logs) {
  std::vector<const char *> names;
  for (const vezcat__log &l : logs)
    names.push_back(l.path.c_str());
  static log_close_result result;
  int rc = log__seal_intervals(names.data(), (int)names.size(), 1000, &result);
  switch (rc) {
  case LOG_CLOSE_DONE:
    printf("closed: intervals %llu to %llu, %d logs%s\n", (unsigned long long)result.first,
           (unsigned long long)result.last, result.logs,
           result.held > 0 ? " (some held by another the whole time: not covered)" : "");
    break;
  case LOG_CLOSE_NOTHING: break;
  case LOG_CLOSE_BUSY: break; /* another closes them now */
  case LOG_CLOSE_NO_STATE:
    if (GetFileAttributesA(beside_data_file(LOG_SEAL_STATE_NAME).c_str()) !=
        INVALID_FILE_ATTRIBUTES)
      return cli_report__fail(CLI_FAILED,
                              "the sealing state %s cannot be read (damaged, cut or not a "
                              "sealing state): no interval closed",
                              beside_data_file(LOG_SEAL_STATE_NAME).c_str());
    return cli_report__fail(CLI_FAILED, "no sealing state to close intervals of: %s",
                            beside_data_file(LOG_SEAL_STATE_NAME).c_str());
  default:
    return cli_report__fail(CLI_FAILED, "cannot write the closes %s or the state beside it",
                            beside_data_file(LOG_SEAL_CLOSES_NAME).c_str());
  }
  return cli_report__printed();
}

int vezcat_seal__verify(const std::vector<vezcat__log> &logs,
                        const std::vector<std::string> &key_texts, bool whole_configuration,
                        time_t now, const std::string &against) {
  std::vector<vezcat_key> keys;
  for (const std::string &t : key_texts) {
    vezcat_key k;
    if (!log_seal__parse_key(t.c_str(), k.seed, &k.start, &k.interval) ||
        !log_seal__key_id(k.seed, k.id))
      return cli_report__usage(CLI_USAGE_READER,
                               "usage: %s --verify [--verify-key=KEY] [FILE]...\n",
                               "bad --verify-key '%s': expected the key --setup-keys printed "
                               "(64 hex digits in groups, /, start and interval in hex)",
                               t.c_str());
    keys.push_back(k);
  }
  log_seal_state st = {};
  bool state_damaged = false;
  bool state = read_state(&st, &state_damaged);
  /* the closes of the key in use first: a key given, else the state's */
  if (state && !keys.empty())
    std::stable_partition(keys.begin(), keys.end(), [&](const vezcat_key &k) {
      return memcmp(k.id, st.id, LOG_SEAL_ID) == 0;
    });
  vezcat_closes closes = vezcat_seal__read_closes(beside_data_file(LOG_SEAL_CLOSES_NAME), keys, now,
                                                  state ? &st : nullptr);
  if ((state || !keys.empty()) && !closes.present && !closes.fault.empty())
    closes.fault = "no closes: " + beside_data_file(LOG_SEAL_CLOSES_NAME) + " is missing (" +
                   closes.fault + ")";
  /* writers seal nothing past a damaged state, and it would hide when the intervals end */
  if (state_damaged && closes.fault.empty()) {
    closes.fault_file = beside_data_file(LOG_SEAL_STATE_NAME);
    closes.fault = "the sealing state " + beside_data_file(LOG_SEAL_STATE_NAME) +
                   " is damaged (cut, or not a sealing state): records are not sealed since";
  }
  std::set<std::string> done;
  bool all = true;
  for (const vezcat__log &l : logs) {
    std::string p = l.path;
    /* a log and its old copy are proved together, under the log's name */
    if (p.size() > 4 && p.compare(p.size() - 4, 4, ".old") == 0) p.resize(p.size() - 4);
    if (!done.insert(p).second) continue;
    vezcat_verdict v = vezcat_seal__prove(p, keys, closes, now);
    if (!v.failed && !closes.fault.empty() && v.any_seal) {
      v.failed = true;
      v.file = beside_data_file(LOG_SEAL_CLOSES_NAME);
      v.what = closes.fault;
      if (!closes.fault_file.empty()) v.file = closes.fault_file;
    }
    if (!against.empty() && done.size() == 1) {
      vezcat_verdict a = vezcat_seal__against(p, against, closes, now);
      if (a.failed && !v.failed) {
        v.failed = true;
        v.file = a.file;
        v.offset = a.offset;
        v.when = a.when;
        v.what = a.what;
      }
      if (!a.failed)
        v.notes.push_back("against " + against + ": " + std::to_string(a.proved) +
                          " records collected, every one still here");
      for (const std::string &n : a.notes)
        v.notes.push_back(n);
    }
    if (v.failed) {
      all = false;
      printf("FAIL: %s\n", p.c_str());
      printf("  first record that does not hold: %s, offset %llu%s: %s\n", v.file.c_str(),
             (unsigned long long)v.offset,
             v.when != 0 ? (", " + vezcat_seal__local_text(v.when)).c_str() : "", v.what.c_str());
    } else {
      printf("PASS: %s\n", p.c_str());
      if (v.proved > 0)
        printf("  proved: %zu record%s, %s to %s\n", v.proved, v.proved == 1 ? "" : "s",
               vezcat_seal__local_text(v.first).c_str(), vezcat_seal__local_text(v.last).c_str());
      else
        printf("  proved: no sealed records\n");
    }
    for (const std::string &n : v.notes)
      printf("  %s\n", n.c_str());
    if (keys.empty() && v.any_seal)
      printf("  authenticity not checked (no --verify-key given): the digests and the chain "
             "only; anyone can make a digest\n");
  }
  /* a log the last close names that is there no more */
  if (whole_configuration && !closes.list.empty()) {
    for (const vezcat_close_log &cl : closes.list.back().logs) {
      bool seen = false;
      for (const std::string &p : done)
        seen = seen || vezcat_seal__names_log(cl.name, p);
      if (seen || cl.held) continue;
      DWORD attrs = GetFileAttributesA(cl.name.c_str()),
            old = GetFileAttributesA((cl.name + ".old").c_str());
      if (attrs != INVALID_FILE_ATTRIBUTES || old != INVALID_FILE_ATTRIBUTES) {
        vezcat_verdict v = vezcat_seal__prove(cl.name, keys, closes, now);
        if (v.failed) all = false;
        printf("%s: %s\n", v.failed ? "FAIL" : "PASS", cl.name.c_str());
        if (v.failed)
          printf("  first record that does not hold: %s, offset %llu: %s\n", v.file.c_str(),
                 (unsigned long long)v.offset, v.what.c_str());
        continue;
      }
      all = false;
      printf("FAIL: %s\n", cl.name.c_str());
      printf("  first record that does not hold: %s, offset 0, %s: removed (the log and its "
             "old copy are gone, with their seals: the close of interval %llu names them)\n",
             cl.name.c_str(), vezcat_seal__local_text((time_t)closes.list.back().head.made).c_str(),
             (unsigned long long)closes.list.back().head.epoch);
    }
  }
  const vezcat_close *timed = nullptr;
  for (const vezcat_close &one : closes.list)
    if (closes.times(one.head.id)) timed = &one;
  if (timed != nullptr) {
    time_t until = (time_t)(closes.start + (int64_t)((timed->head.epoch + 1) * closes.interval));
    printf("proved until %s; the timer last sealed at %s\n", vezcat_seal__local_text(until).c_str(),
           vezcat_seal__local_text((time_t)timed->head.made).c_str());
  } else if (!closes.list.empty()) {
    const vezcat_close &last = closes.list.back();
    if (closes.have_start) {
      printf("proved until: no interval of the key in use closed yet; the timer last sealed at "
             "%s with another key\n",
             vezcat_seal__local_text((time_t)last.head.made).c_str());
    } else {
      printf("the timer last sealed at %s; when the intervals ended is not known (no key given, "
             "and the sealing state %s cannot be read): whether each was closed in time is not "
             "checked\n",
             vezcat_seal__local_text((time_t)last.head.made).c_str(),
             beside_data_file(LOG_SEAL_STATE_NAME).c_str());
    }
  } else if (closes.have_start) {
    printf("proved until: no interval closed yet\n");
  }
  if (!closes.fault.empty()) all = false;
  for (vezcat_key &k : keys) {
    log_seal__wipe(k.seed, sizeof k.seed);
    log_seal__wipe(k.current, sizeof k.current);
  }
  if (cli_report__printed() != CLI_OK) return CLI_FAILED;
  return all && vezcat__status == CLI_OK ? CLI_OK : CLI_FAILED;
}
