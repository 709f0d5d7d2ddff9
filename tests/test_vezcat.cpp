/*
** test_vezcat.cpp - the logs' reader: it reads back every field the writer
** wrote, merges, filters and follows the logs, and survives damaged input.
*/
#include "testenv.h"

#include <random>

#include "log_msg.h"
#include "logparse.h"
#include "platform.h"
#include "timelib.h"

using testenv::PRODUCT_KEY;
using testenv::run_result;
using testenv::Test;

namespace {

/* what the reader gives back for a description: each line break as LF */
std::string one_break_form(const std::string &s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\r') {
      out += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') i++;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::vector<logparse__record> parse(const std::string &text, size_t *damaged) {
  std::vector<logparse__record> recs;
  logparse__parse(text, true, &recs, damaged);
  return recs;
}

} // namespace

class Reader : public Test {
protected:
  void SetUp() override {
    Test::SetUp();
    testenv::reg_set_dword(PRODUCT_KEY, "LOGAUDITLEVEL", 5);
    ASSERT_TRUE(testenv::log_into(dir));
  }
  run_result vezcat(std::vector<std::string> args) {
    args.insert(args.begin(), testenv::program("vezcat"));
    return testenv::run(args);
  }
  run_result logmsg(std::vector<std::string> args) {
    args.insert(args.begin(), testenv::program("logmsg"));
    return testenv::run(args);
  }
};

TEST_F(Reader, EveryFieldTheWriterWroteComesBack) {
  std::mt19937 rng(1207);
  std::string log = path("random");
  const char alphabet[] = "abcXYZ 09-:()<>\\/\n\r\t~";
  struct written {
    std::string desc, process, source, data;
    int level, configured, form;
    long long code;
    int line;
  };
  std::vector<written> all;
  for (int i = 0; i < 300; i++) {
    written w;
    /* one description tries to pass for a record of its own */
    if (i == 7) w.desc = "x\r\n------12/07 12:00:00   1/1  err:0   fake(forged.c:1)";
    for (int n = i == 7 ? 0 : (int)(rng() % 200); n > 0; n--)
      w.desc += alphabet[rng() % (sizeof alphabet - 1)];
    for (int n = (int)(rng() % 30); n > 0; n--)
      w.process += (char)('a' + rng() % 26);
    for (int n = (int)(rng() % 50); n > 0; n--)
      w.source += "..\\src/x."[rng() % 9];
    for (int n = (int)(rng() % 100); n > 0; n--)
      w.data += (char)(rng() % 3 == 0 ? rng() % 256 : 'a' + rng() % 26);
    w.level = (int)(rng() % 40) - 20;
    w.configured = (int)(rng() % 40) - 20;
    w.form = (int)(rng() % 3) - 1; /* -1: short, cut to 1 byte; 0: short; 1: full */
    w.code = (long long)(int32_t)rng();
    w.line = (int)(rng() % 100000);
    AuditInfo settings = {w.form, w.configured, 1000000};
    log_msg__log_message(log.c_str(), 1, w.level, &settings, (int)w.code, w.process.c_str(),
                         w.source.c_str(), w.line, w.desc.c_str(),
                         w.data.empty() ? nullptr : w.data.data(), (int)w.data.size());
    all.push_back(w);
  }
  size_t damaged = 0;
  std::vector<logparse__record> recs = parse(testenv::read_file(log), &damaged);
  EXPECT_EQ(damaged, 0u);
  ASSERT_EQ(recs.size(), all.size());
  for (size_t i = 0; i < all.size(); i++) {
    const written &w = all[i];
    const logparse__record &r = recs[i];
    SCOPED_TRACE("record " + std::to_string(i));
    EXPECT_EQ(r.description, one_break_form(w.desc));
    EXPECT_EQ(r.message_level, w.level);
    EXPECT_EQ(r.configured_level, w.configured);
    EXPECT_EQ(r.error_code, w.code);
    EXPECT_EQ(r.line, w.line);
    std::string name = w.process.substr(0, 20);
    EXPECT_EQ(r.process, name);
    if (r.source_cut)
      EXPECT_EQ(w.source.substr(w.source.size() - r.source.size()), r.source);
    else
      EXPECT_EQ(r.source, w.source);
    EXPECT_EQ(r.has_data, !w.data.empty());
    if (w.form == 1) {
      EXPECT_EQ(r.data, w.data);
      EXPECT_FALSE(r.data_partial);
    } else if (!w.data.empty()) {
      EXPECT_TRUE(r.data_partial);
      EXPECT_FALSE(r.data.empty());
      EXPECT_EQ(w.data.compare(0, r.data.size(), r.data), 0) << "what the short form shows";
    }
  }
}

TEST_F(Reader, LogsOfTheConfigurationMergeInTimeOrderAndFilter) {
  /* a second apart: the header's time is what orders them */
  /* audits pass the level test once the library is initialised (-N) */
  ASSERT_EQ(logmsg({"-N", "logmsg", "-l", "3", "audit", "second"}).status, 0);
  Sleep(1100);
  ASSERT_EQ(logmsg({"-x", "0a0b0c", "error", "third"}).status, 0);
  Sleep(1100);
  ASSERT_EQ(logmsg({"-N", "logmsg", "-l", "2", "devmsg", "fourth"}).status, 0);
  /* an older record in the ".old" copy of the error log comes first */
  testenv::write_file(path("error.old"), testenv::crlf("------01/02 03:04:05   1/1  err:7   "
                                                       "old(..\\src\\x:1)\nDesc:first\n"));
  run_result r = vezcat({"--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(r.out.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_NE(lines[0].find("\"description\":\"first\""), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\"err\":7"), std::string::npos);
  EXPECT_NE(lines[1].find("\"kind\":\"audit\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"data\":\"0a0b0c\",\"data_partial\":false"), std::string::npos)
      << lines[2];
  EXPECT_NE(lines[3].find("\"kind\":\"devmsg\""), std::string::npos) << lines[3];

  EXPECT_NE(vezcat({"--kind", "error", "--grep", "third"}).out.find("Desc:third"),
            std::string::npos);
  EXPECT_EQ(vezcat({"--kind", "devmsg"}).out.find("second"), std::string::npos);
  EXPECT_NE(vezcat({"--level", "2..3"}).out.find("Desc:fourth"), std::string::npos);
  EXPECT_EQ(vezcat({"--level", "2..3"}).out.find("Desc:third"), std::string::npos);
  EXPECT_EQ(vezcat({"--process", "nobody"}).out, "");
  EXPECT_EQ(vezcat({"--until", "2000-01-01"}).out, "");
  EXPECT_EQ(vezcat({"--kind", "nothing"}).status, 2);
}

TEST_F(Reader, DamagedInputIsSkippedAndCounted) {
  std::string good = testenv::crlf("------01/02 03:04:05   1/1  err:0   p(s:1)\nDesc:kept\n");
  std::string junk = std::string("\x01\x02garbage\xff\r\n------99/99 torn header\r\n") +
                     "------01/02 03:04:06   1/1  err:0   p(s:2)\r\n" /* no description */;
  testenv::write_file(path("damaged"), junk + good + "cut mid-li");
  run_result r = vezcat({path("damaged")});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "------01/02 03:04:05   1/1  err:0   p(s:1)\nDesc:kept\ncut mid-li\n"
                   "-- damaged record: cut short --\n")
      << "a cut last line stays with its record, which is shown cut";
  EXPECT_NE(r.err.find("damaged lines skipped"), std::string::npos) << r.err;
  EXPECT_EQ(vezcat({path("missing")}).status, 1);
}

TEST_F(Reader, FollowPrintsEveryRecordOnceAcrossRotations) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "4"}).status, 0);
  testenv::child *follower = testenv::start({testenv::program("vezcat"), "--follow", "--json"});
  Sleep(300);
  const int records = 60;
  for (int i = 0; i < records; i++) {
    ASSERT_EQ(logmsg({"-x", std::string(128, 'a'), "error", "followed", std::to_string(i)}).status,
              0);
    Sleep(60); /* a reader polling every 100 ms stays within one rotation */
  }
  Sleep(500);
  testenv::kill_child(follower);
  run_result r = testenv::finish(follower);
  for (int i = 0; i < records; i++) {
    std::string desc = "\"description\":\"followed " + std::to_string(i) + "\"";
    size_t first = r.out.find(desc);
    EXPECT_NE(first, std::string::npos) << i;
    EXPECT_EQ(r.out.find(desc, first + 1), std::string::npos) << "printed twice: " << i;
  }
}
