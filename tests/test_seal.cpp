/*
** test_seal.cpp - sealed logs: keys made once and kept off the host, every
** record sealed across rotation and epochs, every kind of tampering found,
** crashes named as damage and never as tampering, and seals written by one
** build proved by the other's vezcat.
*/
#include "logread.h"
#include "testenv.h"

#include <chrono>
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
  run_result verify(const std::string &k) {
    std::vector<std::string> args = {"--verify"};
    if (!k.empty()) args.push_back("--verify-key=" + k);
    args.push_back(path("error"));
    return vezcat(args);
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
    EXPECT_EQ(vezcat({"--setup-keys", bad}).status, 2) << bad;
  EXPECT_EQ(vezcat({"--verify", "--verify-key=not-a-key"}).status, 2);
}

TEST_F(Seal, SealedRecordsPassAcrossRotationAndEpochs) {
  ASSERT_EQ(logmsg({"error", "before keys"}).status, 0);
  setup_keys();
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "2"}).status, 0);
  for (int batch = 0; batch < 3; batch++) {
    ASSERT_EQ(logmsg({"-r", "6", "-x", "00112233", "error", "batch", std::to_string(batch)}).status,
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); /* the next epoch's key */
  }
  ASSERT_TRUE(testenv::file_exists(path("error.old.seal"))) << "rotated with its log";
  run_result r = verify(key);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out.rfind("PASS: ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("proved: "), std::string::npos) << r.out;
  r = verify("");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("authenticity not checked"), std::string::npos) << r.out;
}

TEST_F(Seal, EveryKindOfTamperingIsFound) {
  setup_keys("2s");
  ASSERT_EQ(testenv::run({testenv::program("logmsg"), "-"},
                         "error one\nerror two\nerror three\nerror four\nerror five\n")
                .status,
            0);
  const std::string log = testenv::read_file(path("error")),
                    seals = testenv::read_file(path("error.seal"));
  std::vector<testenv::record> rs = testenv::records(log);
  ASSERT_EQ(rs.size(), 5u);
  /* a record's place: its header line */
  auto at = [&](int n) {
    size_t p = 0;
    for (int i = 0; i <= n; i++)
      p = log.find("------", i == 0 ? 0 : p + 1);
    return p;
  };
  struct tamper {
    const char *what;
    std::string log;
    const char *why;
  };
  std::string changed = log;
  changed[at(2) + 40] ^= 1;
  std::string removed = log.substr(0, at(1)) + log.substr(at(2));
  std::string swapped = log.substr(0, at(1)) + log.substr(at(2), at(3) - at(2)) +
                        log.substr(at(1), at(2) - at(1)) + log.substr(at(3));
  std::string inserted = log.substr(0, at(3)) + log.substr(at(0), at(1)) + log.substr(at(3));
  const tamper cases[] = {{"a byte changed", changed, ": changed"},
                          {"a record removed", removed, ": removed"},
                          {"two records swapped", swapped, ": reordered"},
                          {"a record inserted", inserted, ": inserted"}};
  for (const tamper &t : cases) {
    testenv::write_file(path("error"), t.log);
    run_result r = verify(key);
    EXPECT_EQ(r.status, 1) << t.what << ": " << r.out;
    EXPECT_EQ(r.out.rfind("FAIL: ", 0), 0u) << t.what << ": " << r.out;
    EXPECT_NE(r.out.find(t.why), std::string::npos) << t.what << ": " << r.out;
  }
  testenv::write_file(path("error"), log);
  EXPECT_EQ(verify(key).status, 0) << "the untouched log passes again";
  /* a sealed record's seal removed: the record it sealed is no longer covered */
  testenv::write_file(path("error.seal"), seals.substr(0, 64 + 128) + seals.substr(64 + 256));
  run_result unsealed = verify(key);
  EXPECT_EQ(unsealed.status, 1) << unsealed.out;
  EXPECT_NE(unsealed.out.find("offset " + std::to_string(at(1))), std::string::npos)
      << unsealed.out;
  testenv::write_file(path("error.seal"), seals);
  /* another key, a key of no seal, a seal file that is none */
  run_result other = vezcat({"--setup-keys", "--force"});
  ASSERT_EQ(other.status, 0);
  run_result r = verify(last_line(other.out));
  EXPECT_EQ(r.status, 0) << "records sealed with a key not given are not checked: " << r.out;
  EXPECT_NE(r.out.find("another key"), std::string::npos) << r.out;
  testenv::write_file(path("error.seal"), "not a seal file at all");
  r = verify(key);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("error.seal: not a seal file"), std::string::npos) << r.err;
  EXPECT_EQ(testenv::read_file(path("error")), log) << "nothing in the logs changed";
}

TEST_F(Seal, TodaysKeyCannotPassAnEditedRecordAsADeadWritersOne) {
  /* an intruder with the key of now takes a record's seal out, edits the record and names it
     as left unsealed by a writer that died: in the seal's place, or at the chain's end */
  setup_keys("15min");
  ASSERT_EQ(
      testenv::run({testenv::program("logmsg"), "-"}, "error one\nerror two\nerror three\n").status,
      0);
  std::string log = testenv::read_file(path("error")),
              seals = testenv::read_file(path("error.seal"));
  size_t second = log.find("------", 1), third = log.find("------", second + 1);
  ASSERT_NE(third, std::string::npos);
  log[log.find("two", second)] = 'T';
  uint8_t seed[LOG_SEAL_KEY], now_key[LOG_SEAL_KEY];
  int64_t start = 0;
  uint64_t interval = 0;
  ASSERT_TRUE(log_seal__parse_key(key.c_str(), seed, &start, &interval));
  ASSERT_TRUE(log_seal__first_key(seed, now_key));
  time_t now = time(nullptr);
  for (long long e = 0; e < log_seal__epoch_of(now, start, interval); e++)
    ASSERT_TRUE(log_seal__evolve(now_key));
  auto entry = [&](int i) {
    log_seal_entry e;
    memcpy(&e, seals.data() + 64 + 128 * i, sizeof e);
    return e;
  };
  for (bool in_place : {true, false}) {
    log_seal_entry o = in_place ? entry(1) : entry(2);
    o.type = LOG_SEAL_ORPHAN;
    o.time = (int64_t)now;
    o.epoch = (uint64_t)log_seal__epoch_of(now, start, interval);
    if (!in_place) {
      o.seq++;
      memcpy(o.prev, o.tag, LOG_SEAL_KEY);
    }
    o.offset = second;
    o.length = third - second;
    ASSERT_TRUE(log_seal__tag(now_key, log.data() + second, o.length, &o, o.tag));
    std::string forged = seals.substr(0, 64) + seals.substr(64, 128) +
                         (in_place ? std::string((const char *)&o, 128) : std::string()) +
                         seals.substr(64 + 256, 128) +
                         (in_place ? std::string() : std::string((const char *)&o, 128));
    testenv::write_file(path("error"), log);
    testenv::write_file(path("error.seal"), forged);
    run_result r = verify(key);
    EXPECT_EQ(r.status, 1) << (in_place ? "in place: " : "at the end: ") << r.out;
    EXPECT_NE(r.out.find("named as left by a writer that died"), std::string::npos) << r.out;
  }
}

TEST_F(Seal, BackDatedRecordAndCrashesAreToldApart) {
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
  EXPECT_EQ(preloaded("VEZ_TEST_CUT_WRITE", "30", "torn").status, 128 + 9);
  ASSERT_EQ(logmsg({"error", "after the crashes"}).status, 0);
  run_result r = verify(key);
  EXPECT_EQ(r.status, 0) << "crashes are no tampering: " << r.out;
  EXPECT_NE(r.out.find("a record whose writer died before sealing it"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("mended 1"), std::string::npos)
      << "the torn record's mend is told: " << r.out;
  /* a record written with the clock set back two epochs: sealed later than its time allows */
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  ASSERT_EQ(logmsg({"error", "now"}).status, 0);
  preloaded("VEZ_TEST_CLOCK_BACK", "4", "back-dated");
  r = verify(key);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("sealed with a later epoch's key than its time allows"), std::string::npos)
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
    if (d.size() != 3) continue; /* the logger was slower than a hold: again */
    EXPECT_EQ(d[1], "written");
    EXPECT_EQ(d[2].substr(0, 19), "Records lost since ");
    run_result r = verify(key);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("proved: 3 records"), std::string::npos) << r.out;
    told = true;
  }
  EXPECT_TRUE(told);
}

TEST_F(Seal, SealsOfEitherBuildVerifyWithTheOther) {
  /* a log and its seals made by the Linux build and by the Windows build (under Wine) */
  for (const char *made_by : {"linux", "windows"}) {
    std::string fixture = testenv::join(testenv::join(VEZ_FIXTURE_DIR, "seals"), made_by);
    std::string key_text = testenv::read_file(testenv::join(fixture, "key.txt"));
    while (!key_text.empty() && (key_text.back() == '\n' || key_text.back() == '\r'))
      key_text.pop_back();
    for (const char *name : {"error", "error.seal"})
      testenv::write_file(path(name), testenv::read_file(testenv::join(fixture, name)));
    size_t n = testenv::records(testenv::read_file(path("error"))).size();
    run_result r = verify(key_text);
    EXPECT_EQ(r.status, 0) << made_by << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("proved: " + std::to_string(n) + " records"), std::string::npos)
        << made_by << ": " << r.out;
  }
}
