/*
** test_log_file.cpp - the record writer: the exact record format, dump
** forms, rotation at the size limit, and the lock file against a real second
** process.
*/
#include "logread.h"
#include "testenv.h"

#include <errno.h>

#include <chrono>

#include "flsem.h"

#include <stddef.h>
#include "log_chk.h"
#include "log_file.h"
#include "log_msg.h"
#include "platform.h"
#include "sys.h"
#include "timelib.h"

using testenv::Test;

namespace {

using testenv::bytes;
using testenv::crlf;

const std::string worked_data = bytes({0x01, 0x02, 0x41, 0x42, 0x43, 0x00, 0x7f, 0x80, 0xff, 0x20,
                                       0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x0a, 0x0d, 0x30, 0x31});

} // namespace

class Writer : public Test {
protected:
  std::string log;
  AuditInfo settings = {1, 1, 1024};
  void SetUp() override {
    Test::SetUp();
    log = path("error");
    timelib__fixed_time = testenv::local_time(2026, 9, 14, 13, 5, 7);
    /* losses of earlier tests in this process are told here, not in this test's log */
    log_msg__log_message(path("scratch").c_str(), 1, 1, &settings, 0, "p", "s", 1, "", nullptr, 0);
  }
  void TearDown() override {
    timelib__fixed_time = 0;
    Test::TearDown();
  }
  static constexpr int WHOLE = INT32_MIN;
  void write(const std::string &desc, const std::string &data, int length = WHOLE,
             const char *proc = "cfgsrv", const char *src = "..\\..\\src\\shm") {
    log_msg__log_message(log.c_str(), 1, 1, &settings, 2, proc, src, 209, desc.c_str(),
                         data.empty() ? nullptr : data.data(),
                         length == WHOLE ? (int)data.size() : length);
  }
  /* the record's lines after header and description */
  std::string dump_of(const std::string &data, int hex_dumps) {
    testenv::remove_file(log);
    settings.hex_dumps = hex_dumps;
    write("d", data);
    std::string all = testenv::read_file(log);
    size_t start = all.find("Desc:d\r\n");
    return start == std::string::npos ? "<no record>" : all.substr(start + 8);
  }
};

TEST_F(Writer, WorkedExampleByteForByte) {
  write("cannot open data file", worked_data);
  std::string want =
      "------09/14 13:05:07   1/1  err:2   cfgsrv(..\\..\\src\\shm:209)\n"
      "Desc:cannot open data file\n"
      "000  01 02 41 42 43 00 7f 80   ff 20 61 62 63 64 65 66    ..ABC... . abcdef \n"
      "010  0a 0d 30 31" +
      std::string(42, ' ') + "..01" + std::string(14, ' ') + "\n";
  EXPECT_EQ(testenv::read_file(log), crlf(want));
  EXPECT_EQ(testenv::file_size(log + ".lok"), (long long)FLSEM_STAMP_SIZE)
      << "the lock file holds its stamp alone";
}

TEST_F(Writer, ShortFormExamples) {
  EXPECT_EQ(dump_of(worked_data, 0), crlf("0x01024142 43007f80 ff206162 63646566 0a0d3031 \n"));
  EXPECT_EQ(dump_of("OK", 0), crlf("OK\n"));
  EXPECT_EQ(dump_of("abcdefghijklmnopqrst", -4), crlf("abcd\n"));
  EXPECT_EQ(dump_of(std::string(40, 'p') + '\0', 0), crlf(std::string(40, 'p') + "<00>\n"));
  EXPECT_EQ(dump_of(std::string(100, 'q'), 0),
            crlf(std::string(75, 'q') + "\n" + std::string(25, 'q') + "\n"));
  std::string tenth_zero = std::string(9, 'a') + '\0' + std::string(30, 'b');
  EXPECT_EQ(dump_of(tenth_zero, 2), crlf("0x61616161 61616161 6100" + std::string("6262 ") +
                                         "62626262 62626262 "
                                         "62626262 62626262 62626262 \n"));
  EXPECT_EQ(dump_of("ab\x7f", 0), crlf("0x61627f\n")) << "0x7f is not printable";
  std::string tail;
  for (int i = 0; i < 10; i++)
    tail += "<73>";
  EXPECT_EQ(dump_of(std::string(33, 'r') + "\x80" + std::string(100, 's'), 0),
            crlf(std::string(33, 'r') + "<80>" + tail + "\n"))
      << "from the first unprintable byte, hex while the line is under 75";
}

TEST_F(Writer, FullFormLinesAndOffsets) {
  std::string one = dump_of(std::string(16, 'x'), 1);
  EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), 1);
  std::string two = dump_of(std::string(17, 'x'), 1);
  ASSERT_EQ(std::count(two.begin(), two.end(), '\n'), 2);
  EXPECT_EQ(two.substr(78, 8), "010  78 ");
  EXPECT_EQ(two.size(), 2u * 78);
  std::string big = dump_of(std::string(0x1010, '\xaa'), 1);
  size_t at = big.find("\r\n1000 ");
  ASSERT_NE(at, std::string::npos);
  std::string line = big.substr(at + 2, big.find("\r\n", at + 2) - at - 2);
  EXPECT_EQ(line.size(), 77u);
  EXPECT_EQ(line.substr(5, 3), "aa ") << "hex columns stay in place";
  std::string huge = dump_of(std::string(0x10010, 'z'), 1);
  at = huge.find("\r\n10000 ");
  ASSERT_NE(at, std::string::npos) << "five-digit offsets keep a space before the hex";
  EXPECT_EQ(huge.substr(at + 2 + 6, 3), "7a ");
}

TEST_F(Writer, RecordsWithoutDataAndDescriptionLines) {
  for (int length : {0, -5}) {
    testenv::remove_file(log);
    write("x", "abc", length);
    std::string rec = testenv::read_file(log);
    EXPECT_EQ(std::count(rec.begin(), rec.end(), '\n'), 2);
  }
  testenv::remove_file(log);
  log_msg__log_message(log.c_str(), 1, 1, &settings, 0, "p", "s", 1, "", nullptr, 10);
  EXPECT_NE(testenv::read_file(log).find("\r\nDesc:\r\n"), std::string::npos);
  std::string d70(70, 'a'), d71 = d70 + "b";
  testenv::remove_file(log);
  write(d70, "");
  EXPECT_NE(testenv::read_file(log).find("Desc:" + d70 + "\r\n"), std::string::npos);
  EXPECT_EQ(testenv::read_file(log).find("     "), std::string::npos);
  testenv::remove_file(log);
  write(d71 + std::string(70, 'c'), "");
  EXPECT_NE(testenv::read_file(log).find("Desc:" + d70 + "\r\n     b" + std::string(69, 'c') +
                                         "\r\n     c\r\n"),
            std::string::npos);
}

TEST_F(Writer, HeaderLevelsNamesAndCutSources) {
  timelib__fixed_time = testenv::local_time(2026, 1, 2, 3, 4, 5);
  settings.level = 20;
  log_msg__log_message(log.c_str(), 0, 15, &settings, 0, "averyveryverylongprocessname",
                       "..\\..\\src\\log_file", 255, "d", nullptr, 0);
  EXPECT_EQ(testenv::read_file(log),
            crlf("------01/02 03:04:05  15/20 err:0   averyveryverylongpro(<.\\src\\log_file:255)\n"
                 "Desc:d\n"));
  std::string name15(15, 'n');
  testenv::remove_file(log);
  write("d", "", 0, name15.c_str(), std::string(20, 's').c_str());
  EXPECT_NE(testenv::read_file(log).find(name15 + "(" + std::string(20, 's') + ":209)"),
            std::string::npos)
      << "35 together: whole";
  testenv::remove_file(log);
  write("d", "", 0, name15.c_str(), ("t" + std::string(20, 's')).c_str());
  EXPECT_NE(testenv::read_file(log).find(name15 + "(<" + std::string(19, 's') + ":209)"),
            std::string::npos)
      << "36 together: cut at the start";
  testenv::remove_file(log);
  log_msg__log_message(log.c_str(), 1, -3, &settings, -2147483647 - 1, "p", "s", -1, "d", nullptr,
                       0);
  EXPECT_NE(testenv::read_file(log).find("  -3/20 err:-2147483648  p(s:-1)\r\n"),
            std::string::npos);
}

TEST_F(Writer, RotationAtTheLimit) {
  /* logs of whole lines of the given length */
  auto lines = [](size_t n, char c) { return std::string(n - 2, c) + "\r\n"; };
  settings.max_file_size = 1;
  testenv::write_file(log, lines(512, 'f'));
  write("next", "");
  EXPECT_EQ(testenv::read_file(log).substr(0, 512), lines(512, 'f')) << "512 stays";
  EXPECT_FALSE(testenv::file_exists(log + ".old"));
  testenv::write_file(log, lines(513, 'g'));
  write("after", "");
  EXPECT_EQ(testenv::read_file(log + ".old"), lines(513, 'g'));
  EXPECT_EQ(testenv::read_file(log).find("------"), 0u);
  EXPECT_NE(testenv::read_file(log).find("Desc:after"), std::string::npos);
  testenv::write_file(log, lines(600, 'h'));
  write("third", "");
  EXPECT_EQ(testenv::read_file(log + ".old"), lines(600, 'h')) << "one copy, replaced";
}

TEST_F(Writer, SizeZeroKeepsOneRecordAndNegativeAlwaysRotates) {
  settings.max_file_size = 0;
  write("one", "");
  write("two", "");
  EXPECT_NE(testenv::read_file(log + ".old").find("Desc:one"), std::string::npos);
  EXPECT_EQ(testenv::read_file(log).find("Desc:one"), std::string::npos);
  EXPECT_NE(testenv::read_file(log).find("Desc:two"), std::string::npos);
  settings.max_file_size = -1;
  testenv::write_file(log, "");
  testenv::write_file(log + ".old", "keep?");
  write("three", "");
  EXPECT_EQ(testenv::read_file(log + ".old"), "") << "even an empty file is rotated";
}

TEST_F(Writer, LargeLimitsDoNotOverflow) {
  for (int units : {4194304, INT32_MAX}) {
    settings.max_file_size = units;
    testenv::write_file(log, "small");
    write("x", "");
    EXPECT_FALSE(testenv::file_exists(log + ".old")) << units;
    EXPECT_EQ(testenv::read_file(log).substr(0, 5), "small");
  }
}

TEST_F(Writer, LogsPast2GiBAreMeasuredAndRotatedOnEveryBuild) {
  const long long big = 3ll << 30; /* sparse: no room is taken */
  int fd = sys__open(log.c_str(), _O_CREAT | _O_RDWR | _O_BINARY, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(sys__chsize(fd, big - 2), 0);
  EXPECT_EQ(sys__lseek(fd, 0, 2), big - 2);
  EXPECT_EQ(sys__write(fd, "\r\n", 2), 2);
  EXPECT_EQ(sys__lseek(fd, -1, 2), big - 1);
  sys__close(fd);
  write("past 2 GiB", "");
  EXPECT_EQ(testenv::file_size(log + ".old"), big) << "moved aside at its limit";
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(log))),
            std::vector<std::string>{"past 2 GiB"});
  testenv::remove_file(log + ".old");
}

TEST_F(Writer, DerivedNamesNeverCutOntoTheLogItself) {
  char name[LOG_CHK_NAME_SIZE];
  std::string p255(255, 'p');
  ASSERT_TRUE(log_chk__derived_name(name, p255.c_str(), ".lok"));
  EXPECT_EQ(std::string(name), p255 + ".lok");
  EXPECT_FALSE(log_chk__derived_name(name, (p255 + "pp").c_str(), ".old"));
  /* a log whose ".old" name cannot be built is kept and appended to, never cut */
  testenv::write_file(log, "content");
  int fd = sys__open(log.c_str(), _O_CREAT | _O_RDWR, 0666);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(log_chk__check_log_file_size((log + std::string(300, 'x')).c_str(), fd, -1, 7), 0);
  sys__close(fd);
  EXPECT_EQ(testenv::read_file(log), "content");
}

TEST_F(Writer, LockHeldByAnotherProcessDropsTheRecordAtOnce) {
  testenv::child *holder = testenv::hold_lock(log + ".lok");
  ASSERT_NE(holder, nullptr);
  auto t0 = std::chrono::steady_clock::now();
  log_record rec;
  EXPECT_EQ(log_file__open_log_file(&rec, log.c_str(), 1024), LOG_FILE_LOCK_FAILED);
  write("dropped", "");
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(waited, std::chrono::seconds(1)) << "the lock is tried once, never waited for";
  EXPECT_FALSE(testenv::file_exists(log));
  testenv::run_result r = testenv::finish(holder);
  EXPECT_EQ(r.status, 0);
  write("kept", "");
  EXPECT_NE(testenv::read_file(log).find("Desc:kept"), std::string::npos);
  EXPECT_EQ(testenv::file_size(log + ".lok"), (long long)FLSEM_STAMP_SIZE);
}

TEST_F(Writer, LockOncePerProcessAndReleaseOnce) {
  std::string a = path("a.lok"), b = path("b.lok");
  EXPECT_EQ(flsem__wait_file_lock_sem(a.c_str()), 0);
  EXPECT_EQ(flsem__wait_file_lock_sem(b.c_str()), FLSEM_ALREADY_HELD);
  HANDLE h = CreateFileA(a.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE) << "the first lock is still held";
  EXPECT_EQ(flsem__signal_file_lock_sem(), 0);
  EXPECT_EQ(flsem__signal_file_lock_sem(), FLSEM_NOT_HELD);
  EXPECT_TRUE(testenv::file_exists(a));
}

TEST_F(Writer, FailedOpenReleasesTheLock) {
  std::string nowhere = path("adir");
  testenv::make_dir(nowhere); /* a directory where the log should be: it cannot be opened */
  log_record r;
  EXPECT_EQ(log_file__open_log_file(&r, nowhere.c_str(), 1024), LOG_FILE_OPEN_FAILED);
  write("still written", "");
  EXPECT_NE(testenv::read_file(log).find("Desc:still written"), std::string::npos);
}

TEST_F(Writer, SystemWrapperStubsAndBoundedGets) {
  EXPECT_EQ(sys__ioctl(1, 2), -1);
  EXPECT_EQ(sys__uname(), -1);
  EXPECT_EQ(sys__fcntl(0), -1);
  EXPECT_EQ(sys__gethostname(nullptr, 0), -1);
  sys__free(nullptr);
  void *p = sys__malloc(16);
  ASSERT_NE(p, nullptr);
  sys__free(p);
  testenv::write_file(path("in.txt"), "0123456789abcdef\nshort\n");
  ASSERT_NE(freopen(path("in.txt").c_str(), "r", stdin), nullptr);
  char buf[8];
  memset(buf, 'x', sizeof buf);
  ASSERT_EQ(sys__gets(buf, 6), buf);
  EXPECT_STREQ(buf, "01234");
  EXPECT_EQ(buf[6], 'x') << "nothing past the buffer";
  ASSERT_EQ(sys__gets(buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "short") << "the rest of a long line is read away";
  EXPECT_EQ(sys__gets(buf, sizeof buf), nullptr);
}

TEST_F(Writer, EntryPointsLeaveTheCallersErrorCodesAsTheyFoundThem) {
  testenv::reg_set_string(testenv::PRODUCT_KEY, "LOGPATH", dir);
  testenv::reg_set_string(testenv::PRODUCT_KEY, "LOG_DATAFILE", path("none.dat"));
  for (int round = 0; round < 2; round++) {
    SetLastError(1234);
    errno = 77;
    log__log_error(1, "caller.c", 10 + round, "caller's error", "x", 1);
    EXPECT_EQ(GetLastError(), 1234u) << "round " << round;
    EXPECT_EQ(errno, 77);
    log__log_audit(0, "caller.c", 20, "caller's audit", nullptr, 0);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(errno, 77);
  }
  /* the caller's code: its last-error code on Windows, its errno on POSIX */
  std::string text = testenv::read_file(path("error"));
  EXPECT_NE(text.find(VEZ_OS_WIN ? "err:1234  " : "err:77  "), std::string::npos) << text;
  EXPECT_EQ(text.find("err:183"), std::string::npos) << "no code of the library's own shows";
}

TEST_F(Writer, LineBreaksInADescriptionNeverStartALineOfTheirOwn) {
  write("x\r\n------12/07 12:00:00   1/1  err:0   fake(forged.c:1)\rlone\nlast", "");
  std::string seventy(70, 's');
  write(seventy + "\n" + "after", "");
  write("no breaks stays as it was", "");
  EXPECT_EQ(testenv::read_file(log),
            crlf("------09/14 13:05:07   1/1  err:2   cfgsrv(..\\..\\src\\shm:209)\n"
                 "Desc:x\n"
                 "     ------12/07 12:00:00   1/1  err:0   fake(forged.c:1)\n"
                 "     lone\n"
                 "     last\n"
                 "------09/14 13:05:07   1/1  err:2   cfgsrv(..\\..\\src\\shm:209)\n"
                 "Desc:" +
                 seventy +
                 "\n"
                 "     \n"
                 "     after\n"
                 "------09/14 13:05:07   1/1  err:2   cfgsrv(..\\..\\src\\shm:209)\n"
                 "Desc:no breaks stays as it was\n"));
}

TEST_F(Writer, NoLoggedTextPassesForALineOfItsOwn) {
  settings.hex_dumps = 0; /* printable data is written as text */
  struct forgery {
    const char *data, *process, *source, *stored;
  };
  const forgery cases[] = {
      {"------09/14 13:05:07   1/1  err:0   x(y:1)", "p", "s", "<2d>-----09/14 13:05:07"},
      {"Desc:forged", "p", "s", "\r\n<44>esc:forged\r\n"},
      {"     continued", "p", "s", "\r\n<20>    continued\r\n"},
      {"0x01020304", "p", "s", "\r\n<30>x01020304\r\n"},
      {"ordinary text stays", "p", "s", "\r\nordinary text stays\r\n"},
      {"", "na\r\nme(", "s", "   na<0d><0a>me<28>(s:209)\r\n"},
      {"", "p", "src\r\n------", "   p(src<0d><0a>------:209)\r\n"},
  };
  for (const forgery &f : cases) {
    testenv::remove_file(log);
    log_msg__log_message(log.c_str(), 1, 1, &settings, 0, f.process, f.source, 209, "d", f.data,
                         (int)strlen(f.data));
    std::string text = testenv::read_file(log);
    EXPECT_NE(text.find(f.stored), std::string::npos) << text;
    EXPECT_EQ(testenv::records(text).size(), 1u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), f.data[0] ? 3 : 2) << text;
  }
  /* a line of the text form past the first, too */
  testenv::remove_file(log);
  std::string long_text = std::string(75, 'a') + "------forged";
  write("d", long_text);
  EXPECT_NE(testenv::read_file(log).find("\r\n<2d>-----forged\r\n"), std::string::npos);
}

/* the stamp a writer killed inside its write leaves: the record it began still under way */
void stamp_in_flight(const std::string &lok) {
  std::string stamp = testenv::read_file(lok);
  ASSERT_EQ(stamp.size(), FLSEM_STAMP_SIZE);
  stamp[offsetof(flsem_stamp, in_flight)] = 1;
  testenv::write_file(lok, stamp);
}

TEST_F(Writer, OnlyTheLastWritersOwnTornRecordIsEverCut) {
  const std::string told =
      crlf("------09/14 13:05:07   1/1  err:0   cfgsrv(..\\..\\src\\log_msg:60)\n"
           "Desc:Records lost since 09/14 13:05:07: mended 1\n");
  const std::string next =
      crlf("------09/14 13:05:07   1/1  err:2   cfgsrv(..\\..\\src\\shm:209)\nDesc:next\n");
  struct tear {
    const char *what;
    long long cut;     /* where a killed writer's record stops: its bytes kept, -1 none */
    std::string after; /* written after it by someone who keeps no stamp */
    bool mended;
  };
  const tear cases[] = {
      {"torn at a line end", 63, "", true},
      {"torn inside a line", 70, "", true},
      {"torn inside the mark", 3, "", true},
      {"an operator's line after a torn record", 63, "disk replaced\n", false},
      {"an operator's line ending in a bare LF", -1, "disk replaced\n", false},
      {"someone else's torn line: neither ended nor cut", -1, "------09/14 13:0", false},
      {"someone else's line ended by CR alone", -1, "half\r", false},
  };
  for (const tear &t : cases) {
    testenv::remove_file(log);
    write("whole", "");
    std::string whole = testenv::read_file(log);
    if (t.cut >= 0) {
      write("torn " + std::string(200, 't'), std::string(100, 'x'));
      std::string both = testenv::read_file(log);
      testenv::write_file(log, both.substr(0, whole.size() + (size_t)t.cut));
      stamp_in_flight(log + ".lok");
    }
    std::string before = testenv::read_file(log) + t.after;
    testenv::write_file(log, before);
    log__drop_counts was, is;
    log__get_drop_counts(&was);
    write("next", "");
    log__get_drop_counts(&is);
    EXPECT_EQ(is.mended, was.mended + (t.mended ? 1 : 0)) << t.what;
    std::string text = testenv::read_file(log);
    if (t.mended) {
      EXPECT_EQ(text, whole + told + next) << t.what;
    } else {
      EXPECT_EQ(text, before + next) << t.what << ": nothing cut, nothing counted";
    }
  }
}

TEST_F(Writer, RotationWithTheLogHeldOpenLosesNoGeneration) {
  /* a viewer holds the full log open, sharing reading and writing but not deletion: on
     Windows the log cannot be moved then, and its old copy must not be given up for it */
  settings.max_file_size = 1;
  write("old generation", "");
  testenv::write_file(log + ".old", testenv::take_file(log));
  write(std::string(600, 'f'), "");
  HANDLE viewer = CreateFileA(log.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  write("held" + std::string(600, 'h'), "");
  CloseHandle(viewer);
  std::vector<std::string> old = testenv::descs(testenv::records(testenv::read_file(log + ".old")));
  std::vector<std::string> all = old;
  for (const std::string &d : testenv::descs(testenv::records(testenv::read_file(log))))
    all.push_back(d);
  for (const std::string &d : {std::string(70, 'f'), "held" + std::string(66, 'h')})
    EXPECT_EQ(std::count(all.begin(), all.end(), d), 1) << d;
  if (VEZ_OS_WIN) {
    EXPECT_EQ(old, std::vector<std::string>{"old generation"}) << "kept";
  }
  write("released", "");
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(log))),
            std::vector<std::string>{"released"})
      << "rotation goes on once the viewer lets go";
}

TEST_F(Writer, LossesAreToldBeforeTheNextRecordThatGetsThrough) {
  testenv::child *holder = testenv::hold_lock(log + ".lok");
  ASSERT_NE(holder, nullptr);
  timelib__fixed_time = testenv::local_time(2026, 9, 14, 13, 0, 1);
  write("dropped", "");
  write("dropped too", "");
  testenv::finish(holder);
  write("kept", "");
  write("kept too", "");
  EXPECT_EQ(testenv::descs(testenv::records(testenv::read_file(log))),
            (std::vector<std::string>{"Records lost since 09/14 13:00:01: lock_held 2", "kept",
                                      "kept too"}));
}
