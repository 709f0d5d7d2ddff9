/*
** test_aud.cpp - the settings tool seen from outside: its command line,
** exit statuses, messages, report and the bytes it leaves in the data file.
*/
#include "testenv.h"
#include "segment.h"

#include <random>

#include "platform.h"

using testenv::audit_at;
using testenv::HEX_DUMPS;
using testenv::INDEX_KEY;
using testenv::LEVEL;
using testenv::MAX_FILE_SIZE;
using testenv::PRODUCT_KEY;
using testenv::run_result;
using testenv::Test;

namespace {

using testenv::word_at;
/* standard output is text: a line feed arrives as the platform writes it */
std::string lines(const std::string &s) { return testenv::console_text(s); }

std::string error_block(int hex, int level, int size, int notify, const std::string &dev) {
  return "\nError Logging Settings\n    Hex Dumps           = " + std::to_string(hex) +
         "\n    Level               = " + std::to_string(level) +
         "\n    Maximum File Size   = " + std::to_string(size) +
         "\n    Error Notification  = " + std::to_string(notify) +
         "\n    Notification Device = " + dev + "\n";
}

std::string audit_block(int index, int hex, int level, int size) {
  return "\nAudit Logging Settings for index " + std::to_string(index) +
         "\n    Hex Dumps         = " + std::to_string(hex) +
         "\n    Level             = " + std::to_string(level) +
         "\n    Maximum File Size = " + std::to_string(size) + "\n";
}

} // namespace

class Aud : public Test {
protected:
  std::string data;
  void SetUp() override {
    Test::SetUp();
    data = path("data.dat");
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", data);
  }
  run_result aud(std::vector<std::string> args, const std::string &prog = "aud") {
    args.insert(args.begin(), testenv::program(prog));
    return testenv::run(args);
  }
  std::string usage(const std::string &prog = "aud") {
    return "Usage: " + testenv::program(prog) +
           " [-acdelnxy] [process_index or all or proc_name ]\n";
  }
  std::string seg() { return testenv::read_file(data); }
  void put_word(size_t offset, int32_t v) {
    std::string s = seg();
    s.resize(1052);
    memcpy(&s[offset], &v, 4);
    testenv::write_file(data, s);
  }
};

TEST_F(Aud, FirstReportCreatesZeroDataFileAndShowsErrorBlockAlone) {
  run_result r = aud({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, lines(error_block(0, 0, 0, 0, "")));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(seg(), std::string(1052, '\0'));
}

TEST_F(Aud, ReportOfOneIndexShowsStoredValuesAsSignedNumbers) {
  aud({});
  put_word(0, -1);
  put_word(4, 7);
  put_word(audit_at(9, LEVEL), -1);
  put_word(audit_at(9, MAX_FILE_SIZE), 2048);
  std::string s = seg();
  std::string dev(254, 'v');
  memcpy(&s[16], dev.data(), 254);
  s[271] = 'X'; /* never read: the name ends at byte 270 */
  testenv::write_file(data, s);
  run_result r = aud({"9"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, lines(error_block(-1, 7, 0, 0, dev) + audit_block(9, 0, -1, 2048)));
}

TEST_F(Aud, ReportOfAllHas327LinesInIndexOrder) {
  run_result r = aud({"all"});
  ASSERT_EQ(r.status, 0);
  std::string want = error_block(0, 0, 0, 0, "");
  for (int i = 0; i < 64; i++)
    want += audit_block(i, 0, 0, 0);
  EXPECT_EQ(r.out, lines(want));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 327);
  EXPECT_EQ(aud({"ALL"}).out, r.out);
}

/* a usage error: one line that names what was wrong, then the usage line */
void expect_usage_error(const run_result &r, const std::string &named, const std::string &usage) {
  std::string prog = testenv::program("aud") + ": ";
  EXPECT_EQ(r.err.rfind(prog, 0), 0u) << r.err;
  size_t nl = r.err.find('\n');
  ASSERT_NE(nl, std::string::npos);
  EXPECT_NE(r.err.substr(0, nl).find(named), std::string::npos) << r.err;
  EXPECT_EQ(r.err.substr(nl + 1), usage) << r.err;
}

TEST_F(Aud, RejectedOptionsGiveUsageAndStatus1AndCreateNothing) {
  for (auto args : std::vector<std::vector<std::string>>{{"-l", "16", "3"},
                                                         {"-l", "-1", "3"},
                                                         {"-a", "0", "3"},
                                                         {"-e", "x"},
                                                         {"-x", "On", "3"},
                                                         {"-n", ""},
                                                         {"-l", "99999999999", "3"},
                                                         {"-a", "-99999999999", "3"},
                                                         {"-c", "-l", "20"}}) {
    run_result r = aud(args);
    EXPECT_EQ(r.status, 1) << args[0] << " " << args[1];
    expect_usage_error(r,
                       args[args.size() > 2 && args[0] == "-c" ? 1 : 0] + " " +
                           args[args.size() > 2 && args[0] == "-c" ? 2 : 1],
                       lines(usage()));
    EXPECT_EQ(r.out, "");
  }
  run_result r = aud({"-q", "3"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("option -- "), std::string::npos) << "getopt's own diagnostic: " << r.err;
  EXPECT_NE(r.err.find(lines(usage())), std::string::npos);
  r = aud({"-l"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(testenv::file_exists(data));
}

TEST_F(Aud, UnusableTargetGivesUsageAndStatus2) {
  testenv::reg_set_dword(INDEX_KEY, "big", 64);
  for (auto args : std::vector<std::vector<std::string>>{{"-x", "on"},
                                                         {"-l", "3"},
                                                         {"-a", "5"},
                                                         {"-n", "on", "99"},
                                                         {""},
                                                         {"--", "-1"},
                                                         {"64"},
                                                         {"99999999999"},
                                                         {"nosuch"},
                                                         {"All"},
                                                         {"big"},
                                                         {"-c", "nosuch"}}) {
    run_result r = aud(args);
    EXPECT_EQ(r.status, 2) << args[0];
    /* the line names the operand, or says a target is needed */
    std::string named = args.back();
    if (args.size() == 2 && (args[0] == "-x" || args[0] == "-l" || args[0] == "-a"))
      named = "need a target";
    expect_usage_error(r, named, lines(usage()));
  }
  EXPECT_FALSE(testenv::file_exists(data));
}

TEST_F(Aud, AttachFailureGivesStatus6WithTheModesMessageAndTheReason) {
  std::string data_file = path("no-such-dir") + VEZ_DIRSEP + "d.dat";
  testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", data_file);
  std::string prog = testenv::program("aud");
  /* the mode's message, then a line naming the data file and why it failed */
  auto expect_refused = [&](std::vector<std::string> args, const char *what) {
    run_result r = aud(args);
    EXPECT_EQ(r.status, 6);
    std::string first = lines(prog + ": cannot attach to " + what + " information\n");
    EXPECT_EQ(r.err.substr(0, first.size()), first);
    /* the system's own words follow the file's name */
    std::string named = prog + ": data file " + data_file + ": ";
    size_t at = r.err.find(named);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_GT(r.err.find('\n', at), at + named.size() + 4) << r.err;
    EXPECT_EQ(r.err.find("(error "), std::string::npos) << "no bare code: " << r.err;
  };
  expect_refused({}, "audit");
  expect_refused({"-c"}, "audit");
  expect_refused({"-e", "5"}, "error");
  testenv::make_dir(path("adir"));
  testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", path("adir"));
  EXPECT_EQ(aud({"3"}).status, 6);
}

TEST_F(Aud, FailedReadsAndWritesGiveStatus3To5) {
  std::string prog = testenv::program("aud_faulty");
  testenv::set_env("VEZ_FAULT", "peek_error");
  run_result r = aud({"2"}, "aud_faulty");
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, lines(prog + ": cannot read error information\n"));
  EXPECT_EQ(r.out, lines(audit_block(2, 0, 0, 0))) << "the audit report still follows";
  testenv::set_env("VEZ_FAULT", "peek_audit=5");
  r = aud({"all"}, "aud_faulty");
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, lines(prog + ": cannot read audit information\n"));
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 327 - 5);
  EXPECT_EQ(r.out.find("index 5\n"), std::string::npos);
  testenv::set_env("VEZ_FAULT", "poke=2");
  r = aud({"-y", "on", "-a", "3", "-d", "dev", "-l", "4", "7"}, "aud_faulty");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, lines(prog + ": cannot write log information\n"));
  EXPECT_EQ(r.out, lines("poke_audit 7 2\npoke_error 3\n")) << "fixed order, stop at failure";
  r = aud({"-c"}, "aud_faulty");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, lines(prog + ": cannot write error information\n"));
  testenv::set_env("VEZ_FAULT", "poke=8");
  r = aud({"-c"}, "aud_faulty");
  EXPECT_EQ(r.status, 5);
  EXPECT_EQ(r.err, lines(prog + ": cannot write audit information\n"));
  EXPECT_EQ(r.out, lines("poke_error 0\npoke_error 1\npoke_error 2\npoke_error 4\n"
                         "poke_error 3\npoke_audit 0 0\npoke_audit 0 1\npoke_audit 0 2\n"));
  testenv::set_env("VEZ_FAULT", nullptr);
}

TEST_F(Aud, ChangeModeWritesNamedFieldsAtTheirOffsets) {
  aud({});
  put_word(audit_at(64, LEVEL), 555);
  put_word(268, 0x5a5a5a5a); /* record bytes 268 to 271 */
  std::string longdev(300, 'd');
  run_result r = aud({"-a", "100", "-l", "5", "-l", "7", "-x", "on", "all", "-e", "9", "-n", "ON",
                      "-y", "off", "-d", longdev});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  std::string s = seg();
  ASSERT_EQ(s.size(), 1052u);
  EXPECT_EQ(word_at(s, 0), 0);
  EXPECT_EQ(word_at(s, 4), 0) << "no option writes the error level";
  EXPECT_EQ(word_at(s, 8), 9);
  EXPECT_EQ(word_at(s, 12), 1);
  EXPECT_EQ(s.substr(16, 254), std::string(254, 'd'));
  EXPECT_EQ(s[270], '\0');
  EXPECT_EQ(s[271], '\x5a') << "byte 271 is never written";
  for (int i = 0; i < 64; i++) {
    EXPECT_EQ(word_at(s, audit_at(i, HEX_DUMPS)), 1);
    EXPECT_EQ(word_at(s, 276 + 12 * i), 7);
    EXPECT_EQ(word_at(s, 280 + 12 * i), 100);
  }
  EXPECT_EQ(word_at(s, audit_at(64, LEVEL)), 555) << "the overflow slot is left alone";
  EXPECT_EQ(aud({"-d", "ab"}).status, 0);
  EXPECT_EQ(seg().substr(16, 255), "ab" + std::string(253, '\0'));
}

TEST_F(Aud, OperandsByNameNumberAndText) {
  testenv::reg_set_dword(INDEX_KEY, "pump", 3);
  EXPECT_EQ(aud({"-l", "4", "PUMP"}).status, 0);
  EXPECT_EQ(word_at(seg(), audit_at(3, LEVEL)), 4);
  EXPECT_EQ(aud({"12abc", "-l", "abc"}).status, 0) << "operand digits, atoi of a word is 0";
  EXPECT_EQ(word_at(seg(), audit_at(12, LEVEL)), 0);
  EXPECT_EQ(aud({"-l", "6", " 5", "ignored"}).status, 0);
  EXPECT_EQ(word_at(seg(), audit_at(5, LEVEL)), 6);
  EXPECT_EQ(aud({"-l", "8", "+x"}).status, 0) << "no digits address index 0";
  EXPECT_EQ(word_at(seg(), audit_at(0, LEVEL)), 8);
  EXPECT_EQ(aud({"-a", "99999999999", "1"}).status, 0);
  EXPECT_EQ(word_at(seg(), audit_at(1, MAX_FILE_SIZE)), INT32_MAX)
      << "held at the end of the range";
  EXPECT_EQ(aud({"-n", "on"}).status, 0);
  EXPECT_EQ(word_at(seg(), 12), 1);
}

TEST_F(Aud, ResetWithoutConfigurationGivesBuiltInDefaults) {
  aud({"-l", "9", "-a", "7", "all"});
  put_word(audit_at(64, HEX_DUMPS), 42);
  run_result r = aud({"-c", "-l", "5", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  std::string s = seg();
  EXPECT_EQ(word_at(s, 0), 1);
  EXPECT_EQ(word_at(s, 4), 1);
  EXPECT_EQ(word_at(s, 8), 1024);
  EXPECT_EQ(word_at(s, 12), 1);
  EXPECT_EQ(s.substr(16, 255), "CONOUT$" + std::string(248, '\0'));
  for (int i = 0; i < 64; i++) {
    EXPECT_EQ(word_at(s, audit_at(i, HEX_DUMPS)), 0);
    EXPECT_EQ(word_at(s, 276 + 12 * i), 0);
    EXPECT_EQ(word_at(s, 280 + 12 * i), 1024);
  }
  EXPECT_EQ(word_at(s, audit_at(64, HEX_DUMPS)), 42);
}

TEST_F(Aud, ResetTakesConfiguredDefaultsByProgramVersionAndProductKey) {
  std::string program_key = std::string(PRODUCT_KEY) + "\\aud";
  std::string version_key = std::string(PRODUCT_KEY) + "\\7";
  testenv::reg_set_dword(PRODUCT_KEY, "LOGDUMP", 0);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGFILESIZE", 0);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGNOTIFYFLAG", 0);
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", "product-dev");
  ASSERT_EQ(aud({"-c"}).status, 0);
  std::string s = seg();
  EXPECT_EQ(word_at(s, 0), 0);
  EXPECT_EQ(word_at(s, 8), 1024) << "a configured 0 becomes 1024";
  EXPECT_EQ(word_at(s, 12), 0);
  EXPECT_STREQ(s.c_str() + 16, "product-dev");

  testenv::reg_set_dword(program_key, "LOGFILESIZE", 5);
  testenv::reg_set_string(program_key, "LOGNOTIFYDEV", "dev");
  ASSERT_EQ(aud({"-c"}).status, 0);
  s = seg();
  EXPECT_EQ(word_at(s, 8), 5);
  EXPECT_EQ(s.substr(16, 255), "dev" + std::string(252, '\0')) << "no trace of a longer name";

  testenv::set_env("VEZVERSION", "7");
  testenv::reg_set_string(version_key, "LOGNOTIFYDEV", "version-dev");
  testenv::reg_set_dword(version_key, "LOGDUMP", 3);
  ASSERT_EQ(aud({"-c"}).status, 0);
  s = seg();
  EXPECT_STREQ(s.c_str() + 16, "version-dev") << "the program key now lies under the version";
  EXPECT_EQ(word_at(s, 0), 3);
  testenv::reg_set_string(version_key + "\\aud", "LOGNOTIFYDEV", std::string(255, 'L'));
  ASSERT_EQ(aud({"-c"}).status, 0);
  EXPECT_STREQ(seg().c_str() + 16, "version-dev") << "too long for 255 bytes: next key";
}

TEST_F(Aud, DamagedDataFilesAreGrownOrRefusedNeverCorrupted) {
  testenv::write_file(data, "");
  EXPECT_EQ(aud({"-e", "3"}).status, 0);
  EXPECT_EQ(testenv::file_size(data), 1052);
  EXPECT_EQ(word_at(seg(), 8), 3);
  testenv::write_file(data, std::string(100, '\x01'));
  run_result r = aud({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(seg(), std::string(100, '\x01') + std::string(952, '\0'));
  std::string before = seg();
  EXPECT_EQ(aud({"-l", "99", "3"}).status, 1);
  EXPECT_EQ(aud({"-l", "3", "nosuch"}).status, 2);
  EXPECT_EQ(seg(), before);
  testenv::write_file(data, std::string(4096, '\x02'));
  EXPECT_EQ(aud({"-l", "1", "0"}).status, 0);
  EXPECT_EQ(testenv::file_size(data), 4096) << "a longer file keeps its length";
  EXPECT_EQ(word_at(seg(), 276), 1);
}

TEST_F(Aud, AnyCommandLineEndsWithAStatusFrom0To6) {
  std::mt19937 rng(2026);
  const std::vector<std::string> pieces = {"-a",
                                           "-c",
                                           "-d",
                                           "-e",
                                           "-l",
                                           "-n",
                                           "-x",
                                           "-y",
                                           "-z",
                                           "--",
                                           "-",
                                           "all",
                                           "ALL",
                                           "on",
                                           "off",
                                           "0",
                                           "63",
                                           "64",
                                           "-1",
                                           "99999999999999999999",
                                           "-99999999999",
                                           "",
                                           "abc",
                                           "3",
                                           std::string(5000, 'x'),
                                           "-lon",
                                           "-a5",
                                           "--long",
                                           "%s%n%s",
                                           "\xff\xfe"};
  for (int round = 0; round < 60; round++) {
    std::vector<std::string> args;
    int n = (int)(rng() % 6);
    for (int i = 0; i < n; i++)
      args.push_back(pieces[rng() % pieces.size()]);
    run_result r = aud(args);
    EXPECT_GE(r.status, 0);
    EXPECT_LE(r.status, 6) << "round " << round;
    if (testenv::file_exists(data)) {
      EXPECT_EQ(testenv::file_size(data), 1052);
    }
  }
}

TEST_F(Aud, UnreadableRegistryIsWarnedAboutAndRecordedOnceByTheLibrary) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "only a registry file can be unreadable";
  testenv::make_dir(path("dir.reg"));
  testenv::set_env("VEZ_REGISTRY", path("dir.reg").c_str());
  std::string warning = testenv::program("aud") + ": warning: cannot read the registry " +
                        path("dir.reg") + ": Is a directory";
  run_result r = aud({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.rfind(warning, 0), 0u) << r.err;
  r = aud({"pump"});
  EXPECT_EQ(r.status, 2) << "the exit status stays the tool's own";
  EXPECT_NE(r.err.find(warning), std::string::npos) << r.err;

  /* without configuration the logs are in the temporary directory: here */
  r = testenv::run({testenv::program("logmsg"), "-r", "3", "error", "x"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::string log = testenv::read_file(path("error"));
  size_t first = log.find("Desc:Configuration cannot be read, built-in defaults used");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Desc:Configuration cannot be read", first + 1), std::string::npos);

  testenv::set_env("VEZ_REGISTRY", path("missing.reg").c_str());
  EXPECT_EQ(aud({"-c"}).err, "") << "a missing registry is an empty one";
}

TEST_F(Aud, FirstRunsAtOnceAllAttachAndKeepTheirChanges) {
  for (int trial = 0; trial < (VEZ_OS_WIN ? 5 : 60); trial++) {
    testenv::remove_file(data);
    std::vector<testenv::child *> runs;
    for (int k = 1; k <= 4; k++)
      runs.push_back(testenv::start(
          {testenv::program("aud"), "-l", std::to_string(k), std::to_string(10 + k)}));
    for (testenv::child *c : runs) {
      run_result r = testenv::finish(c);
      EXPECT_EQ(r.status, 0) << r.err;
    }
    for (int k = 1; k <= 4; k++)
      EXPECT_EQ(word_at(seg(), audit_at(10 + k, LEVEL)), k) << "trial " << trial;
    if (HasFailure()) break;
  }
}

TEST_F(Aud, ReportThatCannotBeWrittenFailsWithStatus5) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "the shell's redirections are POSIX ones";
  std::string aud_cmd = testenv::program("aud") + " 2>" + path("err");
  EXPECT_EQ(testenv::shell(aud_cmd + " all >/dev/full"), 5);
  EXPECT_NE(testenv::read_file(path("err")).find("cannot write the report"), std::string::npos);
  EXPECT_EQ(testenv::shell(aud_cmd + " all >&-"), 5);
  EXPECT_NE(testenv::read_file(path("err")).find("standard output is closed"), std::string::npos);
  EXPECT_EQ(testenv::shell(aud_cmd + " -l 3 2 >&-"), 0) << "a change prints nothing";
  EXPECT_EQ(word_at(seg(), audit_at(2, LEVEL)), 3);
  EXPECT_EQ(testenv::read_file(data).size(), 1052u) << "the report went nowhere else";
}
