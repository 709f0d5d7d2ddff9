/*
** test_log.cpp - the library in real processes, driven through logmsg:
** initialisation, the switch to built-in defaults, the order of records in
** the logs, live changes made with aud, and error notices.
*/
#include "logread.h"
#include "testenv.h"
#include "segment.h"

#include <chrono>
#include <regex>
#include <thread>

#include "platform.h"

using testenv::audit_at;
using testenv::descs;
using testenv::HEX_DUMPS;
using testenv::INDEX_KEY;
using testenv::LEVEL;
using testenv::MAX_FILE_SIZE;
using testenv::PRODUCT_KEY;
using testenv::record;
using testenv::records;
using testenv::run_result;
using testenv::Test;

class Library : public Test {
protected:
  std::string data;
  void SetUp() override {
    Test::SetUp();
    data = path("data.dat");
    testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", dir);
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", data);
    testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", path("no-such-device"));
  }
  run_result logmsg(std::vector<std::string> args, const std::string &input = "",
                    const std::string &prog = "logmsg") {
    args.insert(args.begin(), prog == "logmsg" ? testenv::program("logmsg") : prog);
    return testenv::run(args, input);
  }
  run_result aud(std::vector<std::string> args) {
    args.insert(args.begin(), testenv::program("aud"));
    return testenv::run(args);
  }
  /* a copy of logmsg under another name: the process name comes from the executable */
  std::string copy_as(const std::string &name) {
    return testenv::copy_program("logmsg", path("bin"), name);
  }
  std::vector<record> log(const std::string &name) {
    return records(testenv::read_file(path(name)));
  }
  void reset() { ASSERT_EQ(aud({"-c"}).status, 0); }
  std::string seg() { return testenv::read_file(data); }
  int32_t word(size_t offset) { return testenv::word_at(seg(), offset); }
};

TEST_F(Library, UnregisteredProcessSwitchesToDefaultsBeforeItsFirstError) {
  run_result r =
      logmsg({"-s", "..\\..\\src\\shm", "-L", "209", "error", "MapViewOfFile()", "failed"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out + r.err, "");
  std::vector<record> rs = log("error");
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].desc, "Switching to default error info");
  EXPECT_EQ(rs[0].origin, "logmsg(..\\..\\src\\log:529)");
  ASSERT_EQ(rs[0].dump.size(), 3u) << "the 33-byte name buffer, full form";
  EXPECT_EQ(rs[0].dump[2].substr(0, 8), "020  00 ");
  EXPECT_EQ(rs[1].desc, "MapViewOfFile() failed");
  EXPECT_EQ(rs[1].origin, "logmsg(..\\..\\src\\shm:209)");
  EXPECT_EQ(rs[1].configured_level, 1);
  EXPECT_FALSE(testenv::file_exists(data)) << "the library never creates the data file";
}

TEST_F(Library, RegisteredProcessWithoutDataFileLogsTheFailuresInOrder) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 3);
  EXPECT_EQ(logmsg({"error", "caller"}).status, 0);
  std::vector<record> rs = log("error");
  EXPECT_EQ(descs(rs),
            (std::vector<std::string>{"Switching to default error info", "CreateFile() failed",
                                      "Error and Audits initialization FAILURE", "caller"}));
  ASSERT_EQ(rs.size(), 4u);
  EXPECT_EQ(rs[1].origin, "logmsg(..\\..\\src\\shm:219)");
  EXPECT_EQ(rs[2].origin, "logmsg(..\\..\\src\\log:408)");
  ASSERT_EQ(rs[2].dump.size(), 1u);
  EXPECT_EQ(rs[2].dump[0].substr(0, 24), "000  6c 6f 67 6d 73 67  ") << "the name as data";
  EXPECT_FALSE(testenv::file_exists(data));
}

TEST_F(Library, FilteredFirstAuditDoesNothingAndLevelZeroSwitchesBothSides) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 3);
  EXPECT_EQ(logmsg({"-l", "15", "audit", "ignored"}).status, 0);
  EXPECT_FALSE(testenv::file_exists(path("error")));
  EXPECT_FALSE(testenv::file_exists(path("logmsg")));
  EXPECT_EQ(logmsg({"-l", "0", "audit", "kept"}).status, 0);
  std::vector<record> errs = log("error");
  ASSERT_GE(errs.size(), 2u);
  EXPECT_EQ(errs.front().desc, "Switching to default error info");
  EXPECT_EQ(errs.back().desc, "Switching to default audit info");
  EXPECT_EQ(errs.back().origin, "logmsg(..\\..\\src\\log:684)");
  std::vector<record> audits = log("logmsg");
  ASSERT_EQ(audits.size(), 1u) << "the audit log is named after the process";
  EXPECT_EQ(audits[0].desc, "kept");
  EXPECT_EQ(audits[0].error_code, 0);
}

TEST_F(Library, AttachedProcessWritesItsSlotAndObeysTheLevels) {
  testenv::reg_set_dword(INDEX_KEY, "pump", 3);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 5);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGDUMP", 0);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGFILESIZE", 0);
  reset();
  std::string pump = copy_as("pump");
  run_result r = logmsg({"-"},
                        "init\n-l 5 audit equal\n-l 6 audit above\n-l -3 audit negative\n"
                        "-e 1234 -x 0001 error failed\n",
                        pump);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(word(audit_at(3, HEX_DUMPS)), 0);
  EXPECT_EQ(word(audit_at(3, LEVEL)), 5);
  EXPECT_EQ(word(audit_at(3, MAX_FILE_SIZE)), 1) << "a configured 0 becomes 1";
  EXPECT_EQ(descs(log("pump")), (std::vector<std::string>{"equal", "negative"}));
  std::vector<record> errs = log("error");
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].error_code, 1234) << "the caller's last-error code";
  EXPECT_EQ(errs[0].origin, "pump(logmsg:0)");
  EXPECT_EQ(errs[0].dump, (std::vector<std::string>{"0x0001"})) << "the error settings' dump form";
}

TEST_F(Library, ErrorLevelOtherThanOneRecordsNothing) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 1);
  reset();
  std::string s = seg();
  int32_t two = 2;
  memcpy(&s[4], &two, 4);
  testenv::write_file(data, s);
  EXPECT_EQ(logmsg({"error", "silent"}).status, 0);
  EXPECT_FALSE(testenv::file_exists(path("error")));
}

TEST_F(Library, InitialisedAuditAndNestedMessagesDropped) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 2);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 15);
  reset();
  EXPECT_EQ(logmsg({"-"}, "init\n-l 1 audit mine\n").status, 0);
  std::vector<record> rs = log("logmsg");
  ASSERT_EQ(descs(rs), (std::vector<std::string>{"Error and Audits initialized", "mine"}))
      << "the lock's release audit, raised inside each record, is dropped";
  EXPECT_EQ(rs[0].message_level, 8);
  EXPECT_EQ(rs[0].origin, "logmsg(..\\..\\src\\log:403)");
  EXPECT_EQ(rs[0].dump.size(), 1u) << "short form of the 1052 bytes: one hex line";
  EXPECT_EQ(rs[0].dump[0].substr(0, 10), "0x01000000");
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 7);
  testenv::remove_file(path("logmsg"));
  EXPECT_EQ(logmsg({"-"}, "init\n-l 1 audit again\n").status, 0);
  EXPECT_EQ(descs(log("logmsg")), (std::vector<std::string>{"again"}))
      << "below level 8 there is no initialisation record";
  EXPECT_EQ(descs(log("logmsg")), (std::vector<std::string>{"again"}));
}

TEST_F(Library, ShutThenLogAgainSwitchesToDefaults) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 4);
  reset();
  run_result r = logmsg({"-"}, "error one\nshut\nerror two\nshut\nerror three\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(descs(log("error")),
            (std::vector<std::string>{"one", "Switching to default error info", "two", "three"}));
}

TEST_F(Library, DeviceMessageSwitchRenamesLaterRecordsDefault) {
  run_result r = logmsg({"-"}, "devmsg d1\nerror e1\naudit a1\n");
  EXPECT_EQ(r.status, 0);
  std::vector<record> dev = log("kp_dvmsgs");
  ASSERT_EQ(dev.size(), 1u);
  EXPECT_EQ(dev[0].origin, "default(logmsg:0)");
  std::vector<record> errs = log("error");
  ASSERT_EQ(errs.size(), 3u);
  EXPECT_EQ(errs[1].desc, "Switching to default audit info");
  EXPECT_EQ(errs[1].origin.substr(errs[1].origin.size() - 5), ":814)");
  EXPECT_EQ(errs[2].origin, "default(logmsg:0)");
  EXPECT_EQ(descs(log("default")), (std::vector<std::string>{"a1"}))
      << "the audit log is named after the process name at its first write";
}

TEST_F(Library, LiveChangeIsInForceAtTheNextCall) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 3);
  reset();
  testenv::child *c = testenv::start({testenv::program("logmsg"), "-"});
  testenv::send(c, "init\n-l 3 audit before\nerror marker\n");
  /* the record is written a line at a time: wait for its description */
  for (int i = 0; i < 500 && descs(log("error")).empty(); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(descs(log("error")), (std::vector<std::string>{"marker"}));
  ASSERT_EQ(aud({"-l", "5", "3"}).status, 0);
  testenv::send(c, "-l 3 audit after\n");
  run_result r = testenv::finish(c);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(descs(log("logmsg")), (std::vector<std::string>{"after"}));
}

TEST_F(Library, OverflowAndNegativeIndexesUseSlot64) {
  reset();
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 9);
  std::string before = seg();
  EXPECT_EQ(logmsg({"-"}, "init-index -5 neg\n").status, 0);
  EXPECT_EQ(word(audit_at(64, LEVEL)), 9);
  std::string after = seg();
  EXPECT_EQ(after.substr(0, audit_at(64, HEX_DUMPS)), before.substr(0, audit_at(64, HEX_DUMPS)));
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 11);
  EXPECT_EQ(logmsg({"-"}, "init-index 100 big\n").status, 0);
  EXPECT_EQ(word(audit_at(64, LEVEL)), 11);
}

TEST_F(Library, LongNamesAreLookedUpWholeAndStoredCut) {
  std::string name(40, 'n');
  testenv::reg_set_dword(INDEX_KEY, name, 6);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 2);
  reset();
  EXPECT_EQ(logmsg({"-N", name, "audit", "hi"}).status, 0);
  EXPECT_EQ(word(audit_at(6, LEVEL)), 2);
  std::vector<record> rs = log(std::string(32, 'n'));
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].origin, std::string(20, 'n') + "(logmsg:0)");
}

TEST_F(Library, NoticeOnAFileDeviceOnlyForFlagOne) {
  std::string device = path("console");
  testenv::write_file(device, std::string(200, '#'));
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", device);
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 1);
  reset();
  EXPECT_EQ(logmsg({"error", "x"}).status, 0);
  std::string got = testenv::read_file(device);
  std::regex notice(
      R"(\*\*\* NOTICE IN: (.*)  AT: \w\w\w \w\w\w \d\d \d\d:\d\d:\d\d \d{4} \*\*\*\n)");
  std::smatch m;
  ASSERT_EQ(got.substr(0, 200), std::string(200, '#')) << "nothing in it is overwritten";
  std::string notice_line = got.substr(200);
  ASSERT_TRUE(std::regex_match(notice_line, m, notice)) << got;
  EXPECT_EQ(m[1], dir + VEZ_DIRSEP + "error");
  for (const char *flag : {"0", "2", "-1"}) {
    testenv::write_file(device, "");
    std::string s = seg();
    int32_t v = atoi(flag);
    memcpy(&s[12], &v, 4);
    testenv::write_file(data, s);
    EXPECT_EQ(logmsg({"error", "y"}).status, 0);
    EXPECT_EQ(testenv::read_file(device), "") << "flag " << flag;
  }
  testenv::remove_file(device);
  aud({"-n", "on"});
  EXPECT_EQ(logmsg({"error", "z"}).status, 0);
  EXPECT_FALSE(testenv::file_exists(device)) << "a missing device is never created";
}

TEST_F(Library, OneNoticePerErrorRecordOnAFifo) {
  std::string fifo = path("fifo");
  if (!testenv::fifo_open(fifo)) GTEST_SKIP() << "no FIFOs here";
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", fifo);
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 1);
  reset();
  EXPECT_EQ(logmsg({"-"}, "error a\naudit b\nerror c\n").status, 0);
  std::string got = testenv::fifo_drain();
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 2) << got;
  EXPECT_EQ(got.find("\r"), std::string::npos) << "a bare line feed, no carriage return";
}

TEST_F(Library, NoticeOnAFifoWithoutReaderIsCountedAndToldOnce) {
  std::string fifo = path("fifo");
  if (!VEZ_OS_POSIX || testenv::shell("mkfifo " + fifo) != 0) GTEST_SKIP() << "no FIFOs here";
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", fifo);
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 1);
  reset();
  run_result r = logmsg({"-c", "-r", "3", "error", "x"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("notices_lost 3"), std::string::npos) << r.err;
  std::vector<std::string> d = descs(log("error"));
  ASSERT_EQ(d.size(), 4u) << "told once while the device keeps refusing";
  /* the first notice is lost before its own record is written: told there */
  EXPECT_EQ(d[0].substr(0, 19), "Records lost since ");
  EXPECT_EQ(d[0].substr(d[0].size() - 16), ": notices_lost 1");
}

TEST_F(Library, CProgramLinksThePublicHeader) {
  run_result r = testenv::run({testenv::program("api_c")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, VEZ_OS_WIN ? "levels 1 0\r\n" : "levels 1 0\n");
  std::vector<record> errs = log("error");
  ASSERT_EQ(errs.size(), 3u);
  EXPECT_EQ(errs[1].desc, "error from C");
  EXPECT_EQ(errs[1].origin, "api_c(api_c.c:10)");
  /* the failed open's code: ENOENT on POSIX, the path not found on Windows */
  EXPECT_EQ(errs[1].error_code, VEZ_OS_WIN ? 3 : 2);
  EXPECT_EQ(descs(log("api_c")), (std::vector<std::string>{"audit from C"}));
}

TEST_F(Library, NullArgumentsAndOddNumbersNeverCrash) {
  testenv::reg_set_dword(INDEX_KEY, "api_nulls", 2);
  reset();
  run_result r = testenv::run({testenv::program("api_nulls")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, testenv::console_text("survived\n"));
  std::vector<record> errs = log("error");
  ASSERT_FALSE(errs.empty());
  EXPECT_EQ(errs.front().origin, "api_nulls(:-2147483648)") << "a null source is an empty one";
}

TEST_F(Library, MalformedCommandsGiveStatus2AndGoodLinesStillRun) {
  run_result r = logmsg({"-l", "x", "error", "e"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bad level"), std::string::npos);
  EXPECT_EQ(logmsg({"whatever"}).status, 2);
  EXPECT_EQ(logmsg({"-x", "0g", "error"}).status, 2);
  EXPECT_EQ(logmsg({}).status, 2);
  r = logmsg({"-"}, "bogus\nerror fine\ninit-index x y\n\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
  EXPECT_EQ(descs(log("error")).back(), "fine");
}

TEST_F(Library, NotificationPipeNobodyReadsNeverHoldsTheProcess) {
  std::string fifo = path("fifo");
  if (!testenv::fifo_open(fifo)) GTEST_SKIP() << "no FIFOs here";
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", fifo);
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 1);
  reset();
  const int count = 2000; /* far more notices than the pipe holds */
  run_result r = logmsg({"-c", "-r", std::to_string(count), "error", "x"});
  EXPECT_EQ(r.status, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"(notices_lost (\d+))"))) << r.err;
  unsigned long lost = std::stoul(m[1]);
  EXPECT_GT(lost, 0u);
  std::string got = testenv::fifo_drain();
  EXPECT_EQ((unsigned long)std::count(got.begin(), got.end(), '\n') + lost, (unsigned long)count);
  std::vector<std::string> d = descs(log("error"));
  EXPECT_EQ(std::count(d.begin(), d.end(), "x"), count) << "every record written";
}

TEST_F(Library, InputLinesAreCarriedOutWholeOrRefusedWhole) {
  std::string long_desc(100000, 'a');
  std::string injected = "audit " + std::string(1 << 20, 'A') + " error INJECTED";
  run_result r = logmsg({"-"}, "audit " + long_desc + "\n" + injected + "\naudit after\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 2: longer than"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  std::vector<record> audits = log("logmsg");
  ASSERT_EQ(audits.size(), 2u);
  EXPECT_EQ(audits[0].desc.size() + audits[0].continuation.size() * 70 - 70 +
                audits[0].continuation.back().size(),
            long_desc.size());
  EXPECT_EQ(audits[1].desc, "after");
  EXPECT_EQ(testenv::read_file(path("error")).find("INJECTED"), std::string::npos);
}

TEST_F(Library, ConfiguredValuesOutOfRangeAreNotConfigured) {
  testenv::reg_set_dword(INDEX_KEY, "logmsg", 2);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGFILESIZE", 0xffffffffu);
  testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 0xfffffffdu);
  run_result r = aud({"-c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("LOGFILESIZE -1 is out of range"), std::string::npos) << r.err;
  EXPECT_EQ(logmsg({"-r", "10", "-l", "-5", "audit", "kept"}).status, 0);
  EXPECT_EQ(word(audit_at(2, MAX_FILE_SIZE)), 1024);
  EXPECT_EQ(word(audit_at(2, LEVEL)), 0);
  EXPECT_EQ(word(8), 1024) << "the error log's size";
  EXPECT_EQ(descs(log("logmsg")).size(), 10u) << "no rotation at every record";
}
