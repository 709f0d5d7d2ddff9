/*
** test_stress.cpp - many writer processes on one log: every record found is
** whole and found once, every record is either found or counted as dropped,
** a bounded lock wait loses nothing, and a killed lock holder frees the lock.
*/
#include "logread.h"
#include "payload.h"
#include "testenv.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "flsem.h"
#include "log_file.h"
#include "platform.h"

using testenv::PRODUCT_KEY;
using testenv::record;
using testenv::run_result;
using testenv::Test;

namespace {

using testenv::payload;

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string h;
  for (unsigned char c : bytes) {
    h += digits[c >> 4];
    h += digits[c & 15];
  }
  return h;
}

struct tally {
  unsigned long lock_held = 0, open_failed = 0, nested = 0, write_failed = 0, rotation_failed = 0,
                mended = 0;
  unsigned long dropped() const { return lock_held + open_failed + nested + write_failed; }
};

void add_drops(const std::string &err, tally *t) {
  static const std::regex line(R"(dropped: lock_held (\d+) open_failed (\d+) nested (\d+))"
                               R"( write_failed (\d+) rotation_failed (\d+) mended (\d+))");
  std::smatch m;
  if (std::regex_search(err, m, line)) {
    t->lock_held += std::stoul(m[1]);
    t->open_failed += std::stoul(m[2]);
    t->nested += std::stoul(m[3]);
    t->write_failed += std::stoul(m[4]);
    t->rotation_failed += std::stoul(m[5]);
    t->mended += std::stoul(m[6]);
  }
}

} // namespace

class Stress : public Test {
protected:
  void SetUp() override {
    Test::SetUp();
    ASSERT_TRUE(testenv::log_into(dir));
    ASSERT_EQ(testenv::run({testenv::program("aud"), "-n", "off"}).status, 0);
  }

  /* writers processes, records each, all at once; their drop counts summed */
  tally write_all(int writers, int records_each) {
    std::vector<testenv::child *> children;
    for (int w = 0; w < writers; w++)
      children.push_back(testenv::start({testenv::program("logmsg"), "-c", "-"}));
    for (int w = 0; w < writers; w++) {
      std::string input;
      for (int s = 0; s < records_each; s++) {
        std::string data = payload(w, s);
        input += (data.empty() ? "" : "-x " + hex(data) + " ") + "error w" + std::to_string(w) +
                 " s" + std::to_string(s) + "\n";
      }
      testenv::send(children[(size_t)w], input);
    }
    tally t;
    for (testenv::child *c : children) {
      run_result r = testenv::finish(c);
      EXPECT_EQ(r.status, 0) << r.err;
      add_drops(r.err, &t);
    }
    return t;
  }

  /* checks every record of the logs; returns how many writer records were found (each
     record's data is its payload, followed by tail) */
  size_t check_logs(const std::vector<std::string> &files, const std::string &tail = "") {
    static const std::regex desc(R"(w(\d+) s(\d+))");
    std::set<std::pair<int, int>> seen;
    for (const std::string &f : files) {
      for (const record &r : testenv::records(testenv::read_file(f))) {
        EXPECT_TRUE(r.whole) << "a line outside any record in " << f;
        std::smatch m;
        if (!std::regex_match(r.desc, m, desc)) {
          EXPECT_NE(r.origin.find("src\\"), std::string::npos) << "unknown record " << r.desc;
          continue;
        }
        int w = std::stoi(m[1]), s = std::stoi(m[2]);
        EXPECT_TRUE(seen.insert({w, s}).second) << "record found twice: " << r.desc;
        std::string bytes;
        EXPECT_TRUE(testenv::decode_full_dump(r.dump, &bytes)) << r.desc;
        EXPECT_EQ(bytes, payload(w, s) + tail) << r.desc;
        EXPECT_EQ(r.origin, "logmsg(logmsg:0)");
      }
    }
    return seen.size();
  }
};

TEST_F(Stress, RotatingLogHoldsOnlyWholeRecords) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "8"}).status, 0);
  const int writers = 8, each = VEZ_OS_WIN ? 400 : 2000;
  write_all(writers, each);
  size_t found = check_logs({path("error"), path("error.old")});
  EXPECT_GT(found, 0u);
  EXPECT_LT(testenv::file_size(path("error")), 8 * 512 + 16 * 80 * 34) << "limit plus one record";
}

TEST_F(Stress, EveryRecordIsFoundOrCountedAsDropped) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  const int writers = 4, each = VEZ_OS_WIN ? 200 : 800;
  tally t = write_all(writers, each);
  size_t found = check_logs({path("error")});
  EXPECT_FALSE(testenv::file_exists(path("error.old")));
  EXPECT_EQ(found + t.dropped(), (size_t)(writers * each));
  EXPECT_EQ(t.open_failed + t.nested + t.write_failed + t.rotation_failed, 0u);
}

TEST_F(Stress, BoundedLockWaitLosesNothing) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", 2000);
  for (int writers : {2, 4}) {
    testenv::remove_file(path("error"));
    const int each = VEZ_OS_WIN ? 100 : 400;
    tally t = write_all(writers, each);
    EXPECT_EQ(t.lock_held, 0u) << writers << " writers";
    EXPECT_EQ(check_logs({path("error")}), (size_t)(writers * each));
  }
}

TEST_F(Stress, LockWaitEndsWhenTheTimeIsUp) {
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", 300);
  std::string lok = path("error.lok");
  testenv::child *holder = testenv::hold_lock(lok);
  ASSERT_NE(holder, nullptr);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(flsem__wait_file_lock_sem(lok.c_str()), FLSEM_HELD_ELSEWHERE);
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::milliseconds(1500));
  testenv::finish(holder);
}

TEST_F(Stress, KilledLockHolderFreesTheLockAtOnce) {
  std::string log = path("error");
  testenv::child *holder = testenv::hold_lock(log + ".lok");
  ASSERT_NE(holder, nullptr);
  log_record rec;
  EXPECT_EQ(log_file__open_log_file(&rec, log.c_str(), 1024), LOG_FILE_LOCK_FAILED);
  testenv::kill_child(holder);
  run_result r = testenv::finish(holder);
  EXPECT_NE(r.status, 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(log_file__open_log_file(&rec, log.c_str(), 1024), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(log_file__close_log_file(&rec), 0);
}

TEST_F(Stress, DamagedDataFilesLeaveTheLibraryOnItsDefaults) {
  std::string data = path("data.dat");
  for (size_t size : {0, 1, 100, 1051}) {
    testenv::write_file(data, std::string(size, '\x5a'));
    testenv::remove_file(path("error"));
    run_result r = testenv::run({testenv::program("logmsg"), "error", "still logged"});
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> d =
        testenv::descs(testenv::records(testenv::read_file(path("error"))));
    EXPECT_EQ(d, (std::vector<std::string>{
                     "Switching to default error info", "CreateFileMapping() failed",
                     "Error and Audits initialization FAILURE", "still logged"}))
        << size;
    EXPECT_EQ(testenv::read_file(data), std::string(size, '\x5a')) << "left as it was";
  }
  for (size_t size : {1052, 1053, 4096}) {
    std::string junk;
    for (size_t i = 0; i < size; i++)
      junk += (char)((i * 2654435761u) >> 13);
    testenv::write_file(data, junk);
    EXPECT_EQ(testenv::run({testenv::program("logmsg"), "-r", "3", "error", "x"}).status, 0);
    EXPECT_EQ(testenv::run({testenv::program("logmsg"), "-l", "-9", "audit", "y"}).status, 0);
    EXPECT_EQ(testenv::file_size(data), (long long)size);
    run_result r = testenv::run({testenv::program("aud"), "all"});
    EXPECT_EQ(r.status, 0) << size;
  }
  testenv::remove_file(data);
  testenv::make_dir(data);
  testenv::remove_file(path("error"));
  testenv::make_dir(path("error"));
  run_result r = testenv::run({testenv::program("logmsg"), "-c", "error", "nowhere"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("open_failed 4"), std::string::npos) << r.err;
  EXPECT_EQ(testenv::run({testenv::program("aud")}).status, 6);
}

TEST_F(Stress, KilledWritersLeaveOnlyWholeRecordsAcrossRotation) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "4"}).status, 0);
  std::mt19937 rng(20261207);
  const int rounds = VEZ_OS_WIN ? 12 : 60, writers = 2;
  for (int round = 0; round < rounds; round++) {
    std::vector<testenv::child *> children;
    for (int k = 0; k < writers; k++) {
      int w = round * writers + k;
      children.push_back(testenv::start({testenv::program("logmsg"), "-"}));
      std::string input;
      for (int s = 0; s < 300; s++)
        input += "-x " + hex(payload(w, s) + "!") + " error w" + std::to_string(w) + " s" +
                 std::to_string(s) + "\n";
      testenv::send(children.back(), input);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
    for (testenv::child *c : children) {
      testenv::kill_child(c);
      testenv::finish(c);
    }
    /* each round's logs: rotation soon takes what an earlier kill left */
    check_logs({path("error"), path("error.old")}, "!");
    if (HasFailure()) break;
  }
}

/* how many torn records a process cut from a log's end, from logmsg -c's line */
unsigned long mended(const std::string &err) {
  std::smatch m;
  static const std::regex count(R"(mended (\d+))");
  return std::regex_search(err, m, count) ? std::stoul(m[1]) : 0;
}

TEST_F(Stress, WriterKilledInsideItsWriteLeavesNoTornOrGluedRecord) {
#ifndef VEZ_CUTWRITE
  GTEST_SKIP() << "a write is cut by a preloaded library, on POSIX only";
#else
  struct cut_case {
    size_t desc, data;
    long cut; /* bytes of the record stored; -N: up to its Nth line end */
  };
  const cut_case cases[] = {{3500, 0, 2048}, /* within the fixed buffer, cut in its description */
                            {3500, 0, 3},    /* cut inside the header's mark */
                            {1000, 20000, 9000}, /* past the fixed buffer: one write all the same */
                            {10, 200000, 300000}, /* far from its header */
                            {10, 2000, -3}, /* right after a line end: the log still ends whole */
                            {10, 2000, -20}};
  /* how a record of the case looks whole: where its line ends fall */
  auto line_end = [&](const cut_case &c, std::vector<std::string> args, int n) {
    testenv::remove_file(path("error"));
    EXPECT_EQ(testenv::run(args).status, 0);
    std::string rec = testenv::read_file(path("error"));
    size_t at = 0;
    for (int i = 0; i < n; i++)
      at = rec.find("\r\n", at) + 2;
    (void)c;
    return (long)at;
  };
  auto run_cut = [&](const std::vector<std::string> &args, long cut) {
    testenv::set_env("LD_PRELOAD", VEZ_CUTWRITE);
    testenv::set_env("ASAN_OPTIONS", "verify_asan_link_order=0");
    testenv::set_env("VEZ_TEST_CUT_WRITE", std::to_string(cut).c_str());
    run_result killed = testenv::run(args);
    testenv::set_env("LD_PRELOAD", nullptr);
    testenv::set_env("VEZ_TEST_CUT_WRITE", nullptr);
    EXPECT_EQ(killed.status, 128 + 9) << "killed inside one write of the whole record";
  };
  for (const cut_case &c : cases) {
    testenv::write_file(path("data.bin"), std::string(c.data, 'd'));
    std::vector<std::string> args = {testenv::program("logmsg"), "-e", "5", "error",
                                     std::string(c.desc, 'k')};
    if (c.data > 0) args.insert(args.begin() + 1, {"-f", path("data.bin")});
    long cut = c.cut >= 0 ? c.cut : line_end(c, args, (int)-c.cut);
    testenv::remove_file(path("error"));
    ASSERT_EQ(testenv::run({testenv::program("logmsg"), "error", "before"}).status, 0);
    run_cut(args, cut);
    run_result after = testenv::run({testenv::program("logmsg"), "-c", "error", "after"});
    EXPECT_EQ(mended(after.err), 1u) << after.err;
    std::vector<record> rs = testenv::records(testenv::read_file(path("error")));
    ASSERT_EQ(rs.size(), 3u) << cut << ": the torn record cut away whole";
    EXPECT_EQ(rs.front().desc, "before");
    EXPECT_EQ(rs[1].desc, "Records lost since " + rs[1].desc.substr(19, 14) + ": mended 1");
    EXPECT_EQ(rs.back().desc, "after") << "a header of its own, never glued";
    for (const record &r : rs)
      EXPECT_TRUE(r.whole);
  }
  /* a mender killed inside its own write: its mend is told by whoever writes next */
  testenv::remove_file(path("error"));
  ASSERT_EQ(testenv::run({testenv::program("logmsg"), "error", "before"}).status, 0);
  run_cut({testenv::program("logmsg"), "error", std::string(500, 'k')}, 200);
  run_cut({testenv::program("logmsg"), "error", std::string(500, 'm')}, 100);
  EXPECT_EQ(testenv::run({testenv::program("logmsg"), "error", "after"}).status, 0);
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[1].substr(d[1].size() - 10), ": mended 2") << "one mend each, both told once";
  EXPECT_EQ(d[2], "after");
#endif
}

TEST_F(Stress, LockFileRemovedWhileWritersRunLosesNothingUncounted) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  /* writers that wait for the lock meet each other most: a removed lock lets two in */
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", 5000);
  std::atomic<bool> done{false};
  std::thread cleaner([&] {
    while (!done)
      std::remove(path("error.lok").c_str());
  });
  const int writers = 4, each = VEZ_OS_WIN ? 200 : 800;
  tally t = write_all(writers, each);
  done = true;
  cleaner.join();
  EXPECT_EQ(check_logs({path("error")}) + t.dropped(), (size_t)(writers * each))
      << "no two writers ever wrote at one place";
  /* a writer that finds its lock file gone takes the new one within the wait; and no
     writer takes another's whole record for a torn one */
  EXPECT_EQ(t.lock_held, 0u);
  EXPECT_EQ(t.mended, 0u);
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  EXPECT_EQ(std::count_if(d.begin(), d.end(),
                          [](const std::string &x) { return x.rfind("Records lost", 0) == 0; }),
            0);
}

TEST_F(Stress, DataFileCutOrReplacedUnderARunningWriterLeavesItOnWholeSettings) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "Windows refuses to cut or replace a file that is mapped";
  struct change {
    long cut; /* bytes kept; -1: the file replaced by another, whose errors dump short */
    const char *said;
  };
  const change changes[] = {
      {0, "Data file cut while mapped, built-in defaults used"},   /* ": > datafile.dat" */
      {4, "Data file cut while mapped, built-in defaults used"},   /* inside the first page */
      {290, "Data file cut while mapped, built-in defaults used"}, /* the writer's own slot */
      {-1, "Data file replaced while mapped, the new one used"}};
  const std::string data = path("data.dat");
  for (const change &c : changes) {
    for (const char *log : {"error", "logmsg", "logmsg.old"})
      testenv::remove_file(path(log));
    ASSERT_EQ(testenv::run({testenv::program("aud"), "-c"}).status, 0);
    ASSERT_EQ(testenv::run({testenv::program("aud"), "-n", "off", "-y", "on"}).status, 0);
    testenv::child *w = testenv::start({testenv::program("logmsg"), "-"});
    testenv::send(w, "error before\n");
    for (int i = 0;
         i < 500 && testenv::read_file(path("error")).find("before") == std::string::npos; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string whole = testenv::read_file(data);
    if (c.cut >= 0) {
      testenv::write_file(data, whole.substr(0, (size_t)c.cut));
    } else {
      std::string other = whole;
      other[0] = 0; /* errors' dumps in the short form */
      testenv::write_file(path("data.new"), other);
      ASSERT_TRUE(MoveFileExA(path("data.new").c_str(), data.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    testenv::send(w, "-x 41424344 error after\n-l 0 audit one\n-l 0 audit two\n");
    run_result r = testenv::finish(w);
    EXPECT_EQ(r.status, 0) << "the process goes on";
    std::vector<record> rs = testenv::records(testenv::read_file(path("error")));
    std::vector<std::string> d = testenv::descs(rs);
    EXPECT_EQ(std::count(d.begin(), d.end(), c.said), 1) << c.cut << ": said once";
    ASSERT_EQ(std::count(d.begin(), d.end(), "after"), 1) << c.cut << ": errors still logged";
    const record &after =
        *std::find_if(rs.begin(), rs.end(), [](const record &x) { return x.desc == "after"; });
    ASSERT_EQ(after.dump.size(), 1u);
    EXPECT_EQ(after.dump[0].substr(0, 16), c.cut >= 0 ? "000  41 42 43 44" : "ABCD")
        << "the built-in defaults (full dumps), or the new file's settings";
    EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(path("logmsg")))),
              (std::vector<std::string>{"one", "two"}));
    EXPECT_FALSE(testenv::file_exists(path("logmsg.old"))) << "no size limit of 0 from a cut";
  }
  EXPECT_EQ(testenv::run({testenv::program("aud"), "-c"}).status, 0);
  EXPECT_EQ(testenv::file_size(data), 1052) << "made whole again";
}

TEST_F(Stress, DataFileReplacedAThousandTimesIsFollowedEachTime) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "Windows refuses to replace a file that is mapped";
  const std::string data = path("data.dat"), fresh = path("data.new"), log = path("error");
  testenv::child *w = testenv::start({testenv::program("logmsg"), "-"});
  size_t read = 0;
  /* a command carried out: its own record is in the log (not only the report of a replacement
     written after the record before, or the next replacement would come before it) */
  auto written = [&](const std::string &command, const std::string &desc) {
    testenv::send(w, command + "\n");
    for (int i = 0; i < 2000; i++) {
      std::string tail = testenv::read_file(log);
      size_t found = tail.find("Desc:" + desc + "\n", read);
      if (found == std::string::npos) found = tail.find("Desc:" + desc + "\r\n", read);
      if (found != std::string::npos) {
        read = found;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  };
  ASSERT_TRUE(written("error before", "before"));
  const int replacements = 1000;
  for (int i = 0; i < replacements; i++) {
    testenv::write_file(fresh, testenv::read_file(data));
    ASSERT_TRUE(MoveFileExA(fresh.c_str(), data.c_str(), MOVEFILE_REPLACE_EXISTING));
    /* a change the operator makes in the file now at the name: the errors' dump form */
    ASSERT_EQ(testenv::run({testenv::program("aud"), "-y", i % 2 == 0 ? "on" : "off"}).status, 0);
    const std::string desc = "r" + std::to_string(i);
    ASSERT_TRUE(written("-x 41424344 error " + desc, desc)) << i;
  }
  EXPECT_EQ(testenv::finish(w).status, 0);
  std::vector<record> rs = testenv::records(testenv::read_file(log));
  int shown = 0;
  for (const record &r : rs) {
    if (r.desc.compare(0, 1, "r") != 0) continue;
    ASSERT_EQ(r.dump.size(), 1u) << r.desc;
    EXPECT_EQ(r.dump[0].substr(0, 4), shown % 2 == 0 ? "000 " : "ABCD") << r.desc;
    shown++;
  }
  EXPECT_EQ(shown, replacements);
  std::vector<std::string> d = testenv::descs(rs);
  EXPECT_EQ(std::count(d.begin(), d.end(), "Data file replaced while mapped, the new one used"),
            replacements);
  EXPECT_EQ(
      std::count(d.begin(), d.end(), "Data file removed while mapped, its last settings kept"), 0);
}

TEST_F(Stress, NothingOutsideTheProductHoldsAWriter) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "a lock any program may take on the log: POSIX record locks";
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1"}).status, 0);
  const uint32_t wait = 400;
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", wait);
  testenv::write_file(path("error"), std::string(600, 'x') + "\r\n"); /* over its limit */
  testenv::child *holder =
      testenv::start({testenv::program("lockhold"), "--record", path("error")});
  ASSERT_TRUE(testenv::child_said(holder, "held", 10000));
  auto t0 = std::chrono::steady_clock::now();
  run_result r = testenv::run({testenv::program("logmsg"), "-c", "-r", "5", "error", "on", "time"});
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2 * wait))
      << "a streak of failed rotations waits for the log's lock once";
  EXPECT_EQ(r.status, 0);
  tally t;
  add_drops(r.err, &t);
  EXPECT_EQ(t.dropped(), 0u) << r.err;
  EXPECT_GE(t.rotation_failed, 5u) << "the log is written on past its limit meanwhile";
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  EXPECT_EQ(std::count(d.begin(), d.end(), "on time"), 5);
  EXPECT_EQ(
      std::count(d.begin(), d.end(), "Log file reach max, locked by another program, writing on"),
      1)
      << "told once in the streak";
  testenv::finish(holder);
  EXPECT_EQ(testenv::run({testenv::program("logmsg"), "error", "later"}).status, 0);
  EXPECT_NE(testenv::read_file(path("error.old")).find("Desc:on time"), std::string::npos)
      << "moved aside once the lock is gone";
}

TEST_F(Stress, ProcessThatEndsWithLossesUntoldTellsThemAsItEnds) {
  /* a process whose one record met a held lock waits for it as it ends (a second at least) */
  bool told = false;
  for (int attempt = 0; attempt < 3 && !told; attempt++) {
    testenv::remove_file(path("error"));
    testenv::child *holder = testenv::hold_lock(path("error.lok"));
    ASSERT_NE(holder, nullptr);
    testenv::child *logger = testenv::start({testenv::program("logmsg"), "error", "dropped"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    testenv::finish(holder);
    EXPECT_EQ(testenv::finish(logger).status, 0);
    std::vector<std::string> d =
        testenv::descs(testenv::records(testenv::read_file(path("error"))));
    /* a logger slower to start than the holder's hold wrote its record instead: again */
    if (d == std::vector<std::string>{"dropped"}) continue;
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].substr(0, 19), "Records lost since ");
    EXPECT_EQ(d[0].substr(d[0].size() - 13), ": lock_held 1");
    told = true;
  }
  EXPECT_TRUE(told);
  EXPECT_EQ(testenv::run({testenv::program("logmsg"), "error", "next"}).status, 0);
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(path("error")))).back(), "next")
      << "nothing told twice";
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(path("error")))).size(), 2u);
}

TEST_F(Stress, HostThatClosesAndReusesDescriptorsGetsNothingOfOurs) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "descriptors kept between records: POSIX";
  testenv::reg_set_dword(testenv::INDEX_KEY, "fdhost", 2);
  std::string own = path("host");
  testenv::make_dir(own);
  run_result r = testenv::run({testenv::program("fdhost"), own});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  for (const char *want :
       {"before the host closes descriptors", "after the host took the numbers", "and once more"})
    EXPECT_EQ(std::count(d.begin(), d.end(), want), 1) << want;
}

TEST_F(Stress, SignalsOfBusErrorsAreTheHostsOwn) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "SIGBUS: POSIX";
  const int bus = 7; /* SIGBUS on Linux */
  testenv::child *w = testenv::start({testenv::program("logmsg"), "-"});
  testenv::send(w, "error x\n");
  for (int i = 0; i < 500 && !testenv::file_exists(path("error")); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  testenv::signal_child(w, bus);
  /* it ends the process (as the signal's default action, or a sanitizer's report) */
  EXPECT_NE(testenv::finish(w).status, 0) << "a SIGBUS sent with kill is not swallowed";
  /* a host's own handler, installed before the library starts or after, sees its own faults
     and only them; the library goes on, on its defaults */
  testenv::reg_set_dword(testenv::INDEX_KEY, "bushost", 2);
  for (const char *when : {"before", "after"}) {
    testenv::remove_file(path("error"));
    ASSERT_EQ(testenv::run({testenv::program("aud"), "-c"}).status, 0);
    ASSERT_EQ(testenv::run({testenv::program("aud"), "-n", "off"}).status, 0);
    run_result r =
        testenv::run({testenv::program("bushost"), when, path("data.dat"), path("scratch")});
    EXPECT_EQ(r.status, 0) << when << ": " << r.out << r.err;
    std::vector<std::string> d =
        testenv::descs(testenv::records(testenv::read_file(path("error"))));
    for (const char *desc :
         {"before the cut", "after the cut", "Data file cut while mapped, built-in defaults used"})
      EXPECT_EQ(std::count(d.begin(), d.end(), desc), 1) << when << ": " << desc;
  }
}

TEST_F(Stress, LogAndLockFileChangedUnderARunningWriter) {
  auto written = [&](const std::string &desc) {
    for (int i = 0; i < 500; i++) {
      if (testenv::read_file(path("error")).find("Desc:" + desc + "\r") != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  testenv::child *w = testenv::start({testenv::program("logmsg"), "-c", "-"});
  testenv::send(w, "error a\n");
  ASSERT_TRUE(written("a"));
  /* the log replaced by another file: the next record goes to the file at its name */
  testenv::write_file(path("error.new"), "");
  ASSERT_TRUE(
      MoveFileExA(path("error.new").c_str(), path("error").c_str(), MOVEFILE_REPLACE_EXISTING));
  testenv::send(w, "error b\n");
  ASSERT_TRUE(written("b"));
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(path("error")))),
            std::vector<std::string>{"b"});
  /* the lock file removed: made again, stamp and all */
  testenv::remove_file(path("error.lok"));
  testenv::send(w, "error c\n");
  ASSERT_TRUE(written("c"));
  EXPECT_EQ(testenv::file_size(path("error.lok")), (long long)FLSEM_STAMP_SIZE);
  run_result r = testenv::finish(w);
  EXPECT_NE(r.err.find("lock_held 0 open_failed 0"), std::string::npos) << r.err;
  /* a lock file that is no file: no record, counted, and told once it is one again */
  testenv::remove_file(path("error.lok"));
  testenv::make_dir(path("error.lok"));
  r = testenv::run({testenv::program("logmsg"), "-c", "error", "d"});
  EXPECT_NE(r.err.find("open_failed 1"), std::string::npos) << r.err;
  EXPECT_EQ(testenv::read_file(path("error")).find("Desc:d\r"), std::string::npos);
  testenv::remove_file(path("error.lok"));
  EXPECT_EQ(testenv::run({testenv::program("logmsg"), "error", "e"}).status, 0);
  EXPECT_TRUE(written("e"));
  if (!VEZ_OS_POSIX) return;
  /* an audit log replaced by a link to another file of the user's, in a directory only the
     user may write: nothing written through it, each record counted, told once in the
     error log; and once it is a log again, its losses told there */
  w = testenv::start({testenv::program("logmsg"), "-c", "-"});
  testenv::send(w, "audit one\n");
  for (int i = 0; i < 500 && !testenv::file_exists(path("logmsg")); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  testenv::write_file(path("other"), "the user's own\n");
  testenv::remove_file(path("logmsg"));
  ASSERT_EQ(testenv::shell("ln -s other " + path("logmsg")), 0);
  testenv::send(w, "audit two\naudit three\n");
  ASSERT_TRUE(written("Log file is a link or not ours, records not written"));
  testenv::remove_file(path("logmsg"));
  testenv::send(w, "audit four\n");
  r = testenv::finish(w);
  EXPECT_NE(r.err.find("open_failed 2"), std::string::npos) << r.err;
  EXPECT_EQ(testenv::read_file(path("other")), "the user's own\n");
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  EXPECT_EQ(std::count(d.begin(), d.end(), "Log file is a link or not ours, records not written"),
            1);
  std::vector<std::string> a = testenv::descs(testenv::records(testenv::read_file(path("logmsg"))));
  ASSERT_EQ(a.size(), 2u);
  EXPECT_EQ(a[0].rfind("Records lost since ", 0), 0u) << a[0];
  EXPECT_EQ(a[1], "four");
}

TEST_F(Stress, FullLogThatCannotBeMovedAsideIsKeptAndWrittenOn) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1"}).status, 0);
  /* a directory that is not empty takes the place of the old copy: no rename replaces it */
  testenv::make_dir(path("error.old"));
  testenv::write_file(testenv::join(path("error.old"), "keep"), "x");
  testenv::child *holder = nullptr;
  const int each = 25;
  run_result r = testenv::run({testenv::program("logmsg"), "-c", "-r", std::to_string(each), "-x",
                               hex(payload(0, 1)), "error", "w0", "s1"});
  EXPECT_EQ(r.status, 0) << r.err;
  tally t;
  add_drops(r.err, &t);
  EXPECT_EQ(t.dropped(), 0u) << r.err;
  EXPECT_GT(t.rotation_failed, 0u) << r.err;
  std::vector<record> rs = testenv::records(testenv::read_file(path("error")));
  std::vector<std::string> d = testenv::descs(rs);
  EXPECT_EQ(std::count(d.begin(), d.end(), "w0 s1"), each) << "no record already written is lost";
  EXPECT_EQ(std::count(d.begin(), d.end(), "rename failed on file"), 1);
  EXPECT_EQ(std::count(d.begin(), d.end(), "Log file reach max, copy failed, writing on"), 1);

  /* once the old copy can be replaced, the next record rotates the log as usual */
  testenv::remove_file(testenv::join(path("error.old"), "keep"));
  testenv::remove_file(path("error.old"));
  if (VEZ_OS_WIN) {
    /* Windows: an old copy held open without delete sharing cannot be replaced either */
    testenv::write_file(path("error.old"), "held");
    holder = testenv::hold_lock(path("error.old"));
    ASSERT_NE(holder, nullptr);
    r = testenv::run({testenv::program("logmsg"), "-c", "error", "w0", "s2"});
    tally held;
    add_drops(r.err, &held);
    EXPECT_GT(held.rotation_failed, 0u) << r.err;
    EXPECT_EQ(held.dropped(), 0u) << r.err;
    EXPECT_NE(testenv::read_file(path("error")).find("Desc:w0 s2"), std::string::npos);
    testenv::finish(holder);
  }
  EXPECT_EQ(testenv::run({testenv::program("logmsg"), "error", "w0", "s3"}).status, 0);
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(path("error")))),
            std::vector<std::string>{"w0 s3"});
  EXPECT_GE(testenv::records(testenv::read_file(path("error.old"))).size(), (size_t)each);
}

TEST_F(Stress, FullFileSystemLosesNoRecordWithoutCountingIt) {
  if (!testenv::may_mount())
    GTEST_SKIP() << "needs to mount a small file system: no CAP_SYS_ADMIN here (not root, or a "
                    "container's root)";
  std::string mnt = path("small");
  testenv::make_dir(mnt);
  ASSERT_EQ(testenv::shell("mount -t tmpfs -o size=64k vez-test " + mnt), 0);
  std::string filler = testenv::join(mnt, "filler");
  auto fill = [&](const char *leave) {
    testenv::shell("dd if=/dev/zero of=" + filler + " bs=1k 2>/dev/null; truncate -s -" + leave +
                   " " + filler);
  };
  testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", testenv::join(mnt, "data.dat"));
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", mnt);
  /* no room for the data file: a failed attach, never a signal, nothing half made */
  fill("0");
  run_result r = testenv::run({testenv::program("aud"), "-c"});
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("No space left"), std::string::npos) << "the system's own words: " << r.err;
  EXPECT_FALSE(testenv::file_exists(testenv::join(mnt, "data.dat")));
  testenv::remove_file(filler);
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-c"}).status, 0);
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-n", "off", "-e", "100000"}).status, 0);
  /* room for a few records: the rest fail whole and are counted */
  fill("12k");
  const int records = 40;
  r = testenv::run({testenv::program("logmsg"), "-c", "-r", std::to_string(records), "-x",
                    hex(std::string(500, 'z')), "error", "w0", "s0"});
  EXPECT_EQ(r.status, 0) << r.err;
  tally t;
  add_drops(r.err, &t);
  std::vector<record> rs = testenv::records(testenv::read_file(testenv::join(mnt, "error")));
  size_t found = 0;
  for (const record &rec : rs) {
    std::string bytes;
    EXPECT_TRUE(rec.whole && testenv::decode_full_dump(rec.dump, &bytes)) << rec.desc;
    if (rec.desc == "w0 s0" && bytes == std::string(500, 'z')) found++;
  }
  EXPECT_GT(t.write_failed, 0u) << r.err;
  EXPECT_GT(found, 0u);
  EXPECT_EQ(found + t.dropped(), (size_t)records) << r.err;
  testenv::shell("umount " + mnt);
}

/* the threads of one process on one log */
class Threads : public Stress {
protected:
  void SetUp() override {
    Stress::SetUp();
    testenv::reg_set_dword(testenv::INDEX_KEY, "threadlog", 2);
  }
  testenv::child *start(int process, int threads, int records, bool fork = false) {
    std::vector<std::string> argv = {testenv::program("threadlog"), std::to_string(process),
                                     std::to_string(threads), std::to_string(records)};
    if (fork) argv.push_back("fork");
    return testenv::start(argv);
  }
  /* checks the records of threadlog's writers; how many were found */
  size_t check(const std::vector<std::string> &files) {
    static const std::regex desc(R"(w(\d+) s(\d+))");
    std::set<std::pair<int, int>> seen;
    for (const std::string &f : files)
      for (const record &r : testenv::records(testenv::read_file(f))) {
        EXPECT_TRUE(r.whole) << f;
        std::smatch m;
        if (!std::regex_match(r.desc, m, desc)) continue;
        int w = std::stoi(m[1]), s = std::stoi(m[2]);
        EXPECT_TRUE(seen.insert({w, s}).second) << "found twice: " << r.desc;
        std::string bytes;
        EXPECT_TRUE(testenv::decode_full_dump(r.dump, &bytes)) << r.desc;
        EXPECT_EQ(bytes, payload(w, s)) << r.desc;
      }
    return seen.size();
  }
};

TEST_F(Threads, EveryRecordOfEveryThreadIsWrittenWholeAcrossRotation) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  const int threads = 8, records = VEZ_OS_WIN ? 300 : 2000;
  run_result r = testenv::finish(start(0, threads, records));
  EXPECT_EQ(r.status, 0) << r.err;
  tally t;
  add_drops(r.err, &t);
  EXPECT_EQ(t.dropped(), 0u) << r.err;
  EXPECT_EQ(check({path("error")}), (size_t)(threads * records));
  /* and with a log that rotates every few records: whatever is found is whole, once */
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "8"}).status, 0);
  r = testenv::finish(start(1, threads, records / 4));
  add_drops(r.err, &t);
  EXPECT_EQ(t.dropped(), 0u) << r.err;
  EXPECT_GT(check({path("error"), path("error.old")}), 0u);
}

TEST_F(Threads, TwoThreadedProcessesWithALockWaitLoseNothing) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", 5000);
  const int threads = 4, records = VEZ_OS_WIN ? 200 : 1000;
  testenv::child *a = start(1, threads, records), *b = start(2, threads, records);
  tally t;
  for (testenv::child *c : {a, b}) {
    run_result r = testenv::finish(c);
    EXPECT_EQ(r.status, 0) << r.err;
    add_drops(r.err, &t);
  }
  EXPECT_EQ(t.dropped(), 0u);
  EXPECT_EQ(check({path("error")}), (size_t)(2 * threads * records));
}

TEST_F(Threads, DataFileCutUnderLoggingThreadsFiltersNoRecord) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "Windows refuses to cut a file that is mapped";
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  const int threads = 6, records = 400;
  run_result r = testenv::run({testenv::program("threadlog"), "1", std::to_string(threads),
                               std::to_string(records), "cut", path("data.dat")});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> d = testenv::descs(testenv::records(testenv::read_file(path("error"))));
  static const std::regex desc(R"(w\d+ s\d+)");
  EXPECT_EQ(std::count_if(d.begin(), d.end(),
                          [](const std::string &x) { return std::regex_match(x, desc); }),
            threads * records)
      << "no error read a level of 0 from past the cut";
  EXPECT_EQ(std::count(d.begin(), d.end(), "Data file cut while mapped, built-in defaults used"),
            1);
}

TEST_F(Threads, ForkWhileAnotherThreadWritesLeavesAChildThatCanLog) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "no fork on Windows";
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1000000"}).status, 0);
  /* the child's record waits for the parent's threads, which go on writing */
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", 5000);
  /* With TZ unset, glibc's localtime opens the zone file again at every call, which
     allocates; under AddressSanitizer (GCC 12's), a child forked while another thread is
     inside the allocator deadlocks at its first allocation (glibc's own malloc takes part
     in fork, that allocator does not). The library's record calls localtime: with the
     zone named, it allocates nothing. */
  testenv::set_env("TZ", ":/etc/localtime");
  for (int round = 0; round < 5; round++) {
    run_result r = testenv::finish(start(round, 4, 300, true));
    EXPECT_EQ(r.status, 0) << "the child hung: " << r.err;
  }
  testenv::set_env("TZ", nullptr);
  std::vector<record> rs = testenv::records(testenv::read_file(path("error")));
  std::vector<std::string> d = testenv::descs(rs);
  EXPECT_EQ(std::count(d.begin(), d.end(), "forked child"), 5);
}
