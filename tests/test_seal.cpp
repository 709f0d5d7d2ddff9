/*
** test_seal.cpp - sealed logs: keys made once and kept off the host, every
** record sealed across rotation and intervals, every interval closed,
** every kind of tampering failed (with the key and without it, with only
** today's sealing state), crashes named as damage and never as tampering,
** and seals written by one build proved by the other's vezcat.
*/
#include "logread.h"
#include "testenv.h"

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "log_seal.h"
#include "platform.h"

using testenv::PRODUCT_KEY;
using testenv::run_result;

namespace {

std::string last_line(const std::string &out) {
  std::string s = out;
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
    s.pop_back();
  size_t nl = s.rfind('\n');
  return nl == std::string::npos ? s : s.substr(nl + 1);
}

/* a sidecar's entries, and the sidecar again with others */
std::vector<log_seal_entry> entries_of(const std::string &sidecar) {
  std::vector<log_seal_entry> out;
  for (size_t at = 64; at + sizeof(log_seal_entry) <= sidecar.size();
       at += sizeof(log_seal_entry)) {
    log_seal_entry e;
    memcpy(&e, sidecar.data() + at, sizeof e);
    if (e.type != 0) out.push_back(e);
  }
  return out;
}
std::string with_entries(const std::string &sidecar, const std::vector<log_seal_entry> &es) {
  std::string out = sidecar.substr(0, 64);
  for (const log_seal_entry &e : es)
    out.append((const char *)&e, sizeof e);
  return out;
}

} // namespace

class Seal : public testenv::Test {
protected:
  std::string key;
  void SetUp() override {
    Test::SetUp();
    ASSERT_TRUE(testenv::log_into(dir));
    ASSERT_EQ(vezcat({"--version"}).status, 0);
  }
  run_result vezcat(std::vector<std::string> args) {
    args.insert(args.begin(), testenv::program("vezcat"));
    return testenv::run(args);
  }
  run_result logmsg(std::vector<std::string> args) {
    args.insert(args.begin(), testenv::program("logmsg"));
    return testenv::run(args);
  }
  void setup_keys(const char *interval = "1s") {
    run_result r = vezcat({"--setup-keys", std::string("--interval=") + interval});
    ASSERT_EQ(r.status, 0) << r.err;
    key = last_line(r.out);
  }
  run_result verify(const std::string &k, const std::string &as_of = "") {
    std::vector<std::string> args = {"--verify"};
    if (!k.empty()) args.push_back("--verify-key=" + k);
    if (!as_of.empty()) args.push_back("--as-of=" + as_of);
    args.push_back(path("error"));
    return vezcat(args);
  }
  /* the files of a sealed log, as they are now; and put back so */
  std::map<std::string, std::string> files() {
    std::map<std::string, std::string> f;
    for (const char *n :
         {"error", "error.seal", "error.old", "error.old.seal", "error.lok", LOG_SEAL_CLOSES_NAME})
      if (testenv::file_exists(path(n))) f[n] = testenv::read_file(path(n));
    return f;
  }
  void put(const std::map<std::string, std::string> &f) {
    for (const char *n : {"error", "error.seal", "error.old", "error.old.seal", "error.lok",
                          LOG_SEAL_CLOSES_NAME}) {
      auto at = f.find(n);
      if (at == f.end())
        testenv::remove_file(path(n));
      else
        testenv::write_file(path(n), at->second);
    }
  }
};

TEST_F(Seal, KeysAreMadeOnceAndPrintedOnce) {
  setup_keys("15min");
  uint8_t seed[LOG_SEAL_KEY];
  int64_t start = 0;
  uint64_t interval = 0;
  EXPECT_TRUE(log_seal__parse_key(key.c_str(), seed, &start, &interval)) << key;
  EXPECT_EQ(interval, 900u);
  EXPECT_EQ(testenv::file_size(path(LOG_SEAL_STATE_NAME)), 128);
  if (VEZ_OS_POSIX) {
    EXPECT_EQ(testenv::shell("test \"$(stat -c %a " + path(LOG_SEAL_STATE_NAME) + ")\" = 600"), 0)
        << "no more readable than the logs' writers";
  }
  run_result again = vezcat({"--setup-keys"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
  run_result forced = vezcat({"--setup-keys", "--force"});
  EXPECT_EQ(forced.status, 0);
  EXPECT_NE(last_line(forced.out), key) << "a new key";
  for (const char *bad : {"--interval=0s", "--interval=soon", "--interval=5x"})
    EXPECT_EQ(vezcat({"--setup-keys", bad}).status, 1) << bad;
  EXPECT_EQ(vezcat({"--verify", "--verify-key=not-a-key"}).status, 1);
  EXPECT_EQ(vezcat({"--verify", "--as-of=soon"}).status, 1);
}

TEST_F(Seal, SealedRecordsPassAcrossRotationAndIntervalsAllClosed) {
  ASSERT_EQ(logmsg({"error", "before keys"}).status, 0);
  setup_keys();
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "4"}).status, 0);
  for (int batch = 0; batch < 3; batch++) {
    ASSERT_EQ(logmsg({"-r", "6", "-x", "00112233", "error", "batch", std::to_string(batch)}).status,
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); /* the next interval's key */
  }
  ASSERT_EQ(vezcat({"--seal"}).status, 0);
  ASSERT_TRUE(testenv::file_exists(path("error.old.seal"))) << "rotated with its log";
  run_result r = verify(key);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("PASS: ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("proved: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("proved until "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the timer last sealed at "), std::string::npos) << r.out;
  std::vector<std::string> d = testenv::descs(
      testenv::records(testenv::read_file(path("error")) + testenv::read_file(path("error.old"))));
  EXPECT_GT(std::count_if(d.begin(), d.end(),
                          [](const std::string &s) { return s.rfind("Seals closed: ", 0) == 0; }),
            0)
      << "closes are told in the error log";
  r = verify("");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("authenticity not checked"), std::string::npos) << r.out;
}

TEST_F(Seal, IntervalsNotClosedInTimeFailEvenOnAQuietHost) {
  setup_keys("1s");
  ASSERT_EQ(logmsg({"error", "one record, then quiet"}).status, 0);
  /* the timer's runs, one an interval: every interval closed in time */
  for (int i = 0; i < 4; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ASSERT_EQ(vezcat({"--seal"}).status, 0);
  }
  EXPECT_EQ(verify(key).status, 0) << verify(key).out;
  /* the timer stops: the intervals since are not closed; once it runs again, late */
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  run_result r = verify(key);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("not closed since"), std::string::npos) << r.out;
  ASSERT_EQ(vezcat({"--seal"}).status, 0);
  r = verify(key);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("closed late"), std::string::npos) << r.out;
}

TEST_F(Seal, EveryTamperingFailsWithTheKeyAndWithoutIt) {
  setup_keys("1s");
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "8"}).status, 0); /* 4 KiB */
  std::string filler(150, 'f');
  for (int batch = 0; batch < 5; batch++) {
    std::string input;
    for (int i = 0; i < 6; i++)
      input += "error r" + std::to_string(batch) + std::to_string(i) + " " + filler + "\n";
    ASSERT_EQ(testenv::run({testenv::program("logmsg"), "-"}, input).status, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  }
  ASSERT_EQ(vezcat({"--seal"}).status, 0);
  const std::string as_of = std::to_string(time(nullptr));
  const std::map<std::string, std::string> pristine = files();
  ASSERT_TRUE(pristine.count("error.old.seal") > 0) << "rotated once at least";
  run_result clean = verify(key, "@" + as_of);
  ASSERT_EQ(clean.status, 0) << clean.out;
  const std::string log = pristine.at("error"), seals = pristine.at("error.seal");
  std::vector<log_seal_entry> es = entries_of(seals), records;
  for (const log_seal_entry &e : es)
    if (e.type == LOG_SEAL_RECORD) records.push_back(e);
  ASSERT_GE(records.size(), 5u);
  auto bytes_of = [&](int i) { return log.substr(records[i].offset, records[i].length); };
  auto at = [&](int i) { return (size_t)records[i].offset; };
  auto slot_of = [&](int i) {
    for (size_t k = 0; k < es.size(); k++)
      if (es[k].seq == records[i].seq) return k;
    return (size_t)0;
  };
  /* the keys of every interval, for an intruder who read today's state and one who forces */
  uint8_t seed[LOG_SEAL_KEY];
  int64_t start = 0;
  uint64_t interval = 0;
  ASSERT_TRUE(log_seal__parse_key(key.c_str(), seed, &start, &interval));
  auto key_of = [&](uint64_t e, uint8_t out[LOG_SEAL_KEY]) {
    ASSERT_TRUE(log_seal__first_key(seed, out));
    for (uint64_t i = 0; i < e; i++)
      ASSERT_TRUE(log_seal__evolve(out));
  };
  /* two records of one length, side by side */
  int pair = -1;
  for (size_t i = 1; i + 1 < records.size() && pair < 0; i++)
    if (records[i].length == records[i + 1].length) pair = (int)i;
  ASSERT_GE(pair, 1);
  struct tamper {
    const char *what;
    std::function<void(std::map<std::string, std::string> &)> apply;
    const char *why;  /* in the FAIL's reason */
    long long offset; /* where it is named (-1: anywhere) */
  };
  std::vector<tamper> cases = {
      {"a byte changed", [&](auto &f) { f["error"][at(2) + 40] ^= 1; }, ": changed",
       (long long)at(2)},
      {"a record removed", [&](auto &f) { f["error"] = log.substr(0, at(2)) + log.substr(at(3)); },
       ": removed", (long long)at(2)},
      {"two records swapped",
       [&](auto &f) {
         f["error"] = log.substr(0, at(2)) + bytes_of(3) + bytes_of(2) +
                      log.substr(at(3) + records[3].length);
       },
       ": reordered", (long long)at(2)},
      {"a record inserted",
       [&](auto &f) { f["error"] = log.substr(0, at(3)) + bytes_of(1) + log.substr(at(3)); },
       ": inserted", (long long)at(3)},
      {"a record removed with its seal",
       [&](auto &f) {
         f["error"] = log.substr(0, at(2)) + log.substr(at(3));
         std::vector<log_seal_entry> less = es;
         less.erase(less.begin() + (long)slot_of(2));
         f["error.seal"] = with_entries(seals, less);
       },
       ": removed", (long long)at(2)},
      {"two records of one length swapped with their seals' places",
       [&](auto &f) {
         f["error"] = log.substr(0, at(pair)) + bytes_of(pair + 1) + bytes_of(pair) +
                      log.substr(at(pair + 1) + records[pair + 1].length);
         std::vector<log_seal_entry> moved = es;
         std::swap(moved[slot_of(pair)].offset, moved[slot_of(pair + 1)].offset);
         f["error.seal"] = with_entries(seals, moved);
       },
       ": reordered", (long long)at(pair)},
      {"every seal file deleted",
       [&](auto &f) {
         f.erase("error.seal");
         f.erase("error.old.seal");
       },
       ": not sealed", -1},
      {"the first entries of a sidecar removed",
       [&](auto &f) {
         f["error.seal"] =
             with_entries(seals, std::vector<log_seal_entry>(es.begin() + 3, es.end()));
       },
       ": removed", -1},
      {"an entry's type set to none in the middle",
       [&](auto &f) { f["error.seal"][64 + sizeof(log_seal_entry) * slot_of(2)] = 0; },
       "empty between entries", -1},
      {"an entry's type set to an unfilled slot in the middle",
       [&](auto &f) {
         memset(&f["error.seal"][64 + sizeof(log_seal_entry) * slot_of(2)], 0xff, 4);
       },
       ": removed", -1},
      {"the seals replaced by the old copy's",
       [&](auto &f) { f["error.seal"] = f["error.old.seal"]; }, "", -1},
      {"the old copy removed with its seals",
       [&](auto &f) {
         f.erase("error.old");
         f.erase("error.old.seal");
       },
       ": removed", -1},
      {"the log removed with its seals",
       [&](auto &f) {
         f.erase("error");
         f.erase("error.seal");
       },
       ": removed", -1},
      {"the newest records cut with their seals",
       [&](auto &f) {
         size_t n = records.size();
         f["error"] = log.substr(0, at((int)n - 2));
         std::vector<log_seal_entry> less(es.begin(), es.begin() + (long)slot_of((int)n - 2));
         f["error.seal"] = with_entries(seals, less);
         f.erase("error.lok"); /* its stamp would say so too */
       },
       ": removed", -1},
      {"the closes deleted", [&](auto &f) { f.erase(LOG_SEAL_CLOSES_NAME); }, "no closes", -1},
      {"a close removed from the middle",
       [&](auto &f) {
         std::string &c = f[LOG_SEAL_CLOSES_NAME];
         log_seal_close first;
         memcpy(&first, c.data(), sizeof first);
         log_seal_close second;
         memcpy(&second, c.data() + first.length, sizeof second);
         c.erase(first.length, second.length);
       },
       "not closed", -1},
      {"the newest closes removed",
       [&](auto &f) {
         std::string &c = f[LOG_SEAL_CLOSES_NAME];
         size_t keep = 0;
         for (int n = 0; n < 2; n++) {
           log_seal_close h;
           memcpy(&h, c.data() + keep, sizeof h);
           keep += h.length;
         }
         c.resize(keep);
       },
       "not closed since", -1},
      {"a record of an earlier interval edited and named as a dead writer's with today's key",
       [&](auto &f) {
         std::string changed = log;
         changed[at(1) + 45] ^= 1;
         f["error"] = changed;
         time_t now = time(nullptr);
         uint64_t today = (uint64_t)log_seal__epoch_of(now, start, interval);
         uint8_t k[LOG_SEAL_KEY];
         key_of(today, k);
         std::vector<log_seal_entry> forged = es;
         for (size_t s = slot_of(1); s < forged.size(); s++) {
           log_seal_entry &e = forged[s];
           if (e.type == LOG_SEAL_RECORD) e.type = LOG_SEAL_ORPHAN;
           e.epoch = today;
           e.named_at = (int64_t)now;
           log_seal__digest(changed.data() + e.offset, (size_t)e.length, e.digest);
           if (s > 0) memcpy(e.prev, forged[s - 1].tag, LOG_SEAL_KEY);
           log_seal__tag(k, &e, e.tag);
         }
         f["error.seal"] = with_entries(seals, forged);
       },
       ": changed", (long long)at(1)},
      {"every seal made again with a key forced in its place",
       [&](auto &f) {
         run_result forced = vezcat({"--setup-keys", "--force"});
         uint8_t other[LOG_SEAL_KEY], id[LOG_SEAL_ID], k[LOG_SEAL_KEY];
         int64_t s2 = 0;
         uint64_t i2 = 0;
         ASSERT_TRUE(log_seal__parse_key(last_line(forced.out).c_str(), other, &s2, &i2));
         log_seal__key_id(other, id);
         log_seal__first_key(other, k);
         std::vector<log_seal_entry> forged = es;
         for (size_t s = 0; s < forged.size(); s++) {
           log_seal_entry &e = forged[s];
           e.epoch = 0;
           memcpy(e.id, id, LOG_SEAL_ID);
           if (s > 0) memcpy(e.prev, forged[s - 1].tag, LOG_SEAL_KEY);
           log_seal__tag(k, &e, e.tag);
         }
         f["error.seal"] = with_entries(seals, forged);
       },
       "", -1},
  };
  for (const tamper &t : cases) {
    std::map<std::string, std::string> f = pristine;
    t.apply(f);
    for (bool with_key : {true, false}) {
      put(f);
      run_result r = verify(with_key ? key : "", "@" + as_of);
      std::string which = std::string(t.what) + (with_key ? " (with the key)" : " (without)");
      EXPECT_EQ(r.status, 1) << which << ": " << r.out;
      EXPECT_EQ(r.out.rfind("FAIL: ", 0), 0u) << which << ": " << r.out;
      EXPECT_NE(r.out.find(t.why), std::string::npos) << which << ": " << r.out;
      if (t.offset >= 0) {
        EXPECT_NE(r.out.find("offset " + std::to_string(t.offset) + ","), std::string::npos)
            << which << ": " << r.out;
      }
    }
  }
  put(pristine);
  EXPECT_EQ(verify(key, "@" + as_of).status, 0) << "the untouched logs pass again";
  /* files that are not what their names say, each named */
  const struct {
    const char *file, *why;
  } foreign[] = {
      {"error.seal", "not a seal file"},
      {LOG_SEAL_CLOSES_NAME, "is damaged at byte 0 (no close begins there)"},
      {LOG_SEAL_STATE_NAME, "is damaged (cut, or not a sealing state)"},
  };
  for (const auto &c : foreign) {
    put(pristine);
    std::string kept = testenv::read_file(path(c.file));
    testenv::write_file(path(c.file), "not a file of sealing at all");
    run_result r = verify("", "@" + as_of);
    EXPECT_EQ(r.status, 1) << c.file << ": " << r.out;
    EXPECT_NE(r.out.find(path(c.file)), std::string::npos) << c.file << ": " << r.out;
    EXPECT_NE(r.out.find(c.why), std::string::npos) << c.file << ": " << r.out;
    testenv::write_file(path(c.file), kept);
  }
  EXPECT_EQ(testenv::read_file(path("error")), log) << "nothing in the logs changed";
  /* a key of another host's */
  put(pristine);
  std::string other = key;
  other[0] = other[0] == '0' ? '1' : '0';
  run_result r = verify(other, "@" + as_of);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("sealed with a key not given"), std::string::npos) << r.out;
}

TEST_F(Seal, ACollectedCopyFindsTheNewestRecordsCutOnTheHost) {
  setup_keys("1s");
  ASSERT_EQ(logmsg({"-r", "4", "error", "shipped"}).status, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  /* the newest record after the last close: written early in an interval, so that no close
     comes after it (tried again where the machine was too slow for that) */
  const std::string newest_text = "the newest, after the last close";
  for (int attempt = 0;; attempt++) {
    ASSERT_LT(attempt, 5) << "no record could be written with no close after it";
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto into = std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 1000;
    std::this_thread::sleep_for(std::chrono::milliseconds(1050 - into));
    ASSERT_EQ(vezcat({"--seal"}).status, 0);
    ASSERT_EQ(logmsg({"error", newest_text}).status, 0);
    std::vector<log_seal_entry> last = entries_of(testenv::read_file(path("error.seal")));
    std::string text = testenv::read_file(path("error"));
    if (!last.empty() && last.back().offset < text.size() &&
        text.find(newest_text, (size_t)last.back().offset) != std::string::npos)
      break;
  }
  /* what the collector has: a plain copy of the log, and the journal's export of it */
  testenv::write_file(path("copy"), testenv::read_file(path("error")));
  run_result exported = vezcat({"-o", "export", path("error")});
  ASSERT_EQ(exported.status, 0);
  testenv::write_file(path("copy.export"), exported.out);
  const std::string as_of = "@" + std::to_string(time(nullptr));
  /* the intruder cuts the newest record, its seal and the stamp's word of it: the seals
     alone cannot tell (it came after the last close) */
  std::string log = testenv::read_file(path("error")),
              seals = testenv::read_file(path("error.seal"));
  std::vector<log_seal_entry> es = entries_of(seals);
  log_seal_entry newest = es.back();
  ASSERT_EQ(newest.type, (uint32_t)LOG_SEAL_RECORD);
  testenv::write_file(path("error"), log.substr(0, newest.offset));
  es.pop_back();
  testenv::write_file(path("error.seal"), with_entries(seals, es));
  testenv::remove_file(path("error.lok"));
  run_result r = verify(key, as_of);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("not proved against a cut"), std::string::npos) << r.out;
  for (const char *copy : {"copy", "copy.export"}) {
    r = vezcat({"--verify", "--verify-key=" + key, "--as-of=" + as_of, "--against=" + path(copy),
                path("error")});
    EXPECT_EQ(r.status, 1) << copy << ": " << r.out;
    EXPECT_NE(r.out.find("removed (collected, but no longer in"), std::string::npos)
        << copy << ": " << r.out;
    EXPECT_NE(r.out.find("the newest, after the last close"), std::string::npos) << r.out;
  }
  /* the whole log, and a copy of another host's */
  testenv::write_file(path("error"), log);
  testenv::write_file(path("error.seal"), seals);
  r = vezcat({"--verify", "--verify-key=" + key, "--as-of=" + as_of, "--against=" + path("copy"),
              path("error")});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("every one still here"), std::string::npos) << r.out;
  std::string other = testenv::read_file(path("copy"));
  other[other.find("shipped")] = 'S';
  testenv::write_file(path("other"), other);
  r = vezcat({"--verify", "--verify-key=" + key, "--as-of=" + as_of, "--against=" + path("other"),
              path("error")});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("no longer in"), std::string::npos) << r.out;
}

TEST_F(Seal, CrashesAreNotTamperingAndABackDatedRecordIs) {
#ifndef VEZ_CUTWRITE
  GTEST_SKIP() << "a clock set back and a writer killed are made by a preloaded library: POSIX";
#else
  setup_keys("2s");
  ASSERT_EQ(logmsg({"error", "first"}).status, 0);
  auto preloaded = [&](const char *var, const char *value, const std::string &desc) {
    testenv::set_env("LD_PRELOAD", VEZ_CUTWRITE);
    testenv::set_env("ASAN_OPTIONS", "verify_asan_link_order=0");
    testenv::set_env(var, value);
    run_result r = logmsg({"error", desc});
    testenv::set_env(var, nullptr);
    testenv::set_env("LD_PRELOAD", nullptr);
    return r;
  };
  /* a writer killed between its record and its seal, and one killed inside its write */
  EXPECT_EQ(preloaded("VEZ_TEST_KILL_AFTER_WRITE", "10", "unsealed").status, 128 + 9);
  run_result r = verify(key);
  EXPECT_EQ(r.status, 0) << "a torn or unsealed record at the end is damage: " << r.out;
  EXPECT_NE(r.out.find("damage: "), std::string::npos) << r.out;
  EXPECT_EQ(preloaded("VEZ_TEST_CUT_WRITE", "30", "torn").status, 128 + 9);
  r = verify(key);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("a torn record at the log's end"), std::string::npos) << r.out;
  ASSERT_EQ(logmsg({"error", "after the crashes"}).status, 0);
  ASSERT_EQ(vezcat({"--seal"}).status, 0);
  r = verify(key);
  EXPECT_EQ(r.status, 0) << "crashes are no tampering: " << r.out;
  EXPECT_NE(r.out.find("a record whose writer died before sealing it"), std::string::npos) << r.out;
  /* a record written with the clock set back two intervals: sealed later than its time allows */
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  ASSERT_EQ(logmsg({"error", "now"}).status, 0);
  preloaded("VEZ_TEST_CLOCK_BACK", "4", "back-dated");
  r = verify(key);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("sealed with a later interval's key than its time allows"),
            std::string::npos)
      << r.out;
#endif
}

TEST_F(Seal, StateThatCannotBeReadLeavesRecordsUnsealedAndIsSaidOnce) {
  testenv::write_file(path(LOG_SEAL_STATE_NAME), std::string(128, 'x'));
  ASSERT_EQ(logmsg({"-r", "3", "error", "unsealed"}).status, 0);
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  EXPECT_EQ(std::count(d.begin(), d.end(), "Sealing state cannot be read, records not sealed"), 1);
  EXPECT_EQ(std::count(d.begin(), d.end(), "unsealed"), 3);
  EXPECT_FALSE(testenv::file_exists(path("error.seal")));
}

TEST_F(Seal, LossesToldAsAProcessEndsAreSealedToo) {
  /* a process that lost a record, sealed one, and lost another tells the last loss as it
     ends: sealed too, though the cryptography was set up after the process's first loss (its
     own exit handlers would run first), and its key evolved as it ends */
  setup_keys("1s");
  bool told = false;
  for (int attempt = 0; attempt < 3 && !told; attempt++) {
    testenv::remove_file(path("error"));
    testenv::remove_file(path("error.seal"));
    testenv::child *logger = testenv::start({testenv::program("logmsg"), "-"});
    for (const char *line : {"error dropped\n", "error written\n", "error dropped\n"}) {
      bool dropped = strcmp(line, "error written\n") != 0;
      testenv::child *holder = dropped ? testenv::hold_lock(path("error.lok")) : nullptr;
      testenv::send(logger, line);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (holder != nullptr) testenv::finish(holder);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    run_result ended = testenv::finish(logger);
    EXPECT_EQ(ended.status, 0) << ended.err;
    std::vector<std::string> d =
        testenv::descs(testenv::records(testenv::read_file(path("error"))));
    d.erase(std::remove_if(d.begin(), d.end(),
                           [](const std::string &s) { return s.rfind("Seals closed", 0) == 0; }),
            d.end());
    if (d.size() != 3) continue; /* the logger was slower than a hold: again */
    EXPECT_EQ(d[1], "written");
    EXPECT_EQ(d[2].substr(0, 19), "Records lost since ");
    ASSERT_EQ(vezcat({"--seal"}).status, 0);
    run_result r = verify(key);
    EXPECT_EQ(r.status, 0) << r.out;
    told = true;
  }
  EXPECT_TRUE(told);
}

TEST_F(Seal, SealsOfEitherBuildVerifyWithTheOther) {
  /* a log, its seals and its closes made by the Linux build and by the Windows build (under
     Wine), proved as of when they were made */
  for (const char *made_by : {"linux", "windows"}) {
    std::string fixture = testenv::join(testenv::join(VEZ_FIXTURE_DIR, "seals"), made_by);
    auto text = [&](const char *name) {
      std::string t = testenv::read_file(testenv::join(fixture, name));
      while (!t.empty() && (t.back() == '\n' || t.back() == '\r'))
        t.pop_back();
      return t;
    };
    for (const char *name : {"error", "error.seal", LOG_SEAL_CLOSES_NAME})
      testenv::write_file(path(name), testenv::read_file(testenv::join(fixture, name)));
    run_result r = verify(text("key.txt"), "@" + text("made.txt"));
    EXPECT_EQ(r.status, 0) << made_by << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("proved until "), std::string::npos) << made_by << ": " << r.out;
  }
}

/* not a test: writes the fixtures above with the build it runs in, into $VEZ_SEAL_FIXTURE_OUT
   (tests/fixtures/seals/README says how) */
TEST_F(Seal, DISABLED_MakeTheFixtureOfThisBuild) {
  const char *out = getenv("VEZ_SEAL_FIXTURE_OUT");
  ASSERT_NE(out, nullptr);
  setup_keys("2s");
  for (int batch = 0; batch < 3; batch++) {
    ASSERT_EQ(logmsg({"-r", "3", "-x", "00112233", "error", "made by",
                      VEZ_OS_WIN ? "windows" : "linux", std::to_string(batch)})
                  .status,
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  }
  ASSERT_EQ(vezcat({"--seal"}).status, 0);
  for (const char *name : {"error", LOG_SEAL_CLOSES_NAME})
    testenv::write_file(testenv::join(out, name), testenv::read_file(path(name)));
  /* the sidecar without the room made ahead */
  std::string seals = testenv::read_file(path("error.seal"));
  testenv::write_file(testenv::join(out, "error.seal"), with_entries(seals, entries_of(seals)));
  testenv::write_file(testenv::join(out, "key.txt"), key + "\n");
  testenv::write_file(testenv::join(out, "made.txt"), std::to_string(time(nullptr)) + "\n");
}
