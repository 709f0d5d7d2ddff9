/*
** test_vezcat.cpp - the logs' reader: it reads back every field the writer
** wrote, merges, filters and follows the logs, and survives damaged input.
*/
#include "testenv.h"

#include <filesystem>
#include <random>
#include <regex>

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
      EXPECT_EQ(r.data.str(), w.data);
      EXPECT_FALSE(r.data_partial);
    } else if (!w.data.empty()) {
      EXPECT_TRUE(r.data_partial);
      EXPECT_FALSE(r.data.empty());
      EXPECT_EQ(w.data.compare(0, (size_t)r.data.size(), r.data.str()), 0)
          << "what the short form shows";
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
  EXPECT_EQ(vezcat({"--kind", "nothing"}).status, 1) << "journalctl's status";
}

TEST_F(Reader, DamageIsShownWhereItLiesAndNoLogIsRefused) {
  std::string good = testenv::crlf("------01/02 03:04:05   1/1  err:0   p(s:1)\nDesc:kept\n");
  std::string junk = std::string("\x01\x02garbage\r\n------99/99 torn header\r\n");
  std::string no_desc = "------01/02 03:04:06   1/1  err:0   p(s:2)\r\nDexc:typo\r\n";
  std::string p = path("damaged");
  testenv::write_file(p, junk + no_desc + good + "cut mid-li");
  run_result r = vezcat({p});
  EXPECT_EQ(r.status, 0);
  auto marked = [&](size_t offset, const std::string &what) {
    return "-- damaged" + what.substr(0, what.find(':')) + " (" + p + ", offset " +
           std::to_string(offset) + ")" + what.substr(what.find(':')) + " --\n";
  };
  size_t first_record = junk.size(), good_record = junk.size() + no_desc.size();
  for (const std::string &want :
       {marked(0, ": 2 lines that belong to no record") + "\\x01\\x02garbage\n",
        marked(first_record, " record: no description"),
        std::string("Desc:kept\ncut mid-li\n") + marked(good_record, " record: cut short")})
    EXPECT_NE(r.out.find(testenv::console_text(want)), std::string::npos) << want << r.out;
  r = vezcat({"--json", p});
  EXPECT_NE(r.out.find("\"offset\":0,\"lines\":2,\"bytes\":" + std::to_string(junk.size()) +
                       ",\"text\":\"\\u0001\\u0002garbage\\r\\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(vezcat({"-o", "raw", p}).out, testenv::read_file(p)) << "raw: every byte";
  /* files that are no log: refused, the run fails */
  std::mt19937 random(7);
  std::string noise(100000, '\0');
  for (char &c : noise)
    c = (char)(random() & 0xff);
  testenv::write_file(path("noise"), noise);
  testenv::write_file(path("text"), std::string(2000, 'x') + "\nsome other text\n");
  for (const char *name : {"noise", "text"}) {
    r = vezcat({path(name)});
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_NE(r.err.find("not a log of vezlog"), std::string::npos) << name << ": " << r.err;
    EXPECT_EQ(r.out, "") << name;
  }
  EXPECT_EQ(vezcat({path("missing")}).status, 1);
}

TEST_F(Reader, DamageHidesNoRecordAroundIt) {
  /* records as the writer writes them: a short one, one with a long description and a full
     dump, one with a short-form dump */
  std::string log = path("pieces");
  AuditInfo full = {1, 1, 1000000}, text = {0, 1, 1000000};
  std::string long_desc(150, 'd'), data(40, 'x');
  log_msg__log_message(log.c_str(), 1, 1, &full, 0, "p", "s", 1, "first", nullptr, 0);
  log_msg__log_message(log.c_str(), 1, 1, &full, 0, "p", "s", 2, long_desc.c_str(), data.data(),
                       (int)data.size());
  log_msg__log_message(log.c_str(), 1, 1, &text, 0, "p", "s", 3, "third", data.data(),
                       (int)data.size());
  std::string all = testenv::read_file(log);
  size_t second = all.find("------", 1), third = all.find("------", second + 1);
  ASSERT_NE(third, std::string::npos);
  std::string a = all.substr(0, second), b = all.substr(second, third - second),
              c = all.substr(third);
  std::string nuls(4096, '\0'), big_nuls((2 << 20) + 5, '\0');
  struct {
    const char *what;
    std::string text;
    std::vector<std::string> descs; /* every record's description, in order */
    std::vector<bool> damaged;      /* and whether it is damaged */
    size_t stray;                   /* lines of no record */
  } cases[] = {
      {"cut in a description line, the next record glued on",
       a.substr(0, a.find("first") + 2) + b + c,
       {"fi", long_desc, "third"},
       {true, false, false},
       0},
      {"cut in a long description, glued",
       a + b.substr(0, b.find("dddd") + 60) + c,
       {"first", std::string(60, 'd'), "third"},
       {false, true, false},
       0},
      {"cut in a header, glued", a.substr(0, 12) + b + c, {long_desc, "third"}, {false, false}, 1},
      {"garbage lines after a whole dump",
       a + b + "\x01garbage\r\n\x02more\r\n" + c,
       {"first", long_desc, "third"},
       {false, false, false},
       2},
      {"NULs after a record without data",
       a + nuls + b + c,
       {"first", long_desc, "third"},
       {false, false, false},
       1},
      {"NULs after a short-form dump",
       a + b + c + nuls + a,
       {"first", long_desc, "third", "first"},
       {false, false, false, false},
       1},
      {"more NULs than a line may hold", a + big_nuls + b, {"first", long_desc}, {false, false}, 1},
  };
  for (const auto &k : cases) {
    size_t stray = 0;
    std::vector<logparse__record> recs = parse(k.text, &stray);
    std::vector<std::string> descs;
    std::vector<bool> damaged;
    for (const logparse__record &r : recs)
      if (!r.headless) {
        descs.push_back(r.description);
        damaged.push_back(r.damage != nullptr);
      }
    EXPECT_EQ(descs, k.descs) << k.what;
    EXPECT_EQ(damaged, k.damaged) << k.what;
    EXPECT_EQ(stray, k.stray) << k.what;
    /* every record's data comes back whole where the record is */
    for (const logparse__record &r : recs)
      if (!r.headless && r.description == long_desc && !r.damage) {
        EXPECT_EQ(r.data.str(), data) << k.what;
      }
    /* a small log with a NUL run in it is a log */
    EXPECT_EQ(logparse__not_a_log(k.text.data(), std::min(k.text.size(), LOGPARSE_SAMPLE),
                                  k.text.size() <= LOGPARSE_SAMPLE),
              nullptr)
        << k.what;
  }
}

TEST_F(Reader, ARecordsKindComesFromItsHeaderNotTheFilesName) {
  /* an error record's configured level is the error switch, 1; an audit record's its
     threshold */
  std::string error = testenv::crlf("------01/02 03:04:05   1/1  err:5   p(s:1)\nDesc:e\n"),
              audit = testenv::crlf("------01/02 03:04:06   8/20 err:0   p(s:2)\nDesc:a\n");
  struct {
    const char *file;
    std::string text;
    const char *kind, *priority;
  } cases[] = {{"copy-of-error", error, "error", "3"},
               {"copy-of-audit", audit, "audit", "6"},
               {"error", audit, "audit", "6"},
               {"error", error, "error", "3"}};
  for (const auto &c : cases) {
    testenv::write_file(path(c.file), c.text);
    run_result j = vezcat({"-o", "json", path(c.file)}), e = vezcat({"-o", "export", path(c.file)});
    EXPECT_NE(j.out.find(std::string("\"kind\":\"") + c.kind + "\""), std::string::npos)
        << c.file << ": " << j.out;
    EXPECT_NE(e.out.find(std::string("\nPRIORITY=") + c.priority + "\n"), std::string::npos)
        << c.file << ": " << e.out;
    EXPECT_EQ(vezcat({"-k", c.kind, "-o", "json", path(c.file)}).out, j.out) << c.file;
  }
}

TEST_F(Reader, JournalctlsFormsAndOptions) {
  std::string p = path("error");
  testenv::write_file(p,
                      testenv::crlf("------01/02 03:04:05   1/1  err:5   p(s:1)\nDesc:an error\n"
                                    "------01/02 03:04:06   8/20 err:0   q(s:2)\nDesc:an audit\n"));
  std::string stamp = vezcat({"-o", "export", p}).out;
  stamp = stamp.substr(21, stamp.find('\n') - 21 - 6); /* __REALTIME_TIMESTAMP's seconds */
  struct {
    std::vector<std::string> args;
    std::string want;       /* in the output */
    const char *not_wanted; /* nowhere in it, or null */
  } cases[] = {
      {{"-o", "cat"}, "an error\nan audit\n", "Desc:"},
      {{"-o", "short-unix"}, "------" + stamp + ".000000   1/1", nullptr},
      {{"-o", "short-precise"}, ":05.000000   1/1  err:5", nullptr},
      {{"-o", "json-seq"}, "\x1e{\"time\"", nullptr},
      {{"-o", "verbose"}, "\n    MESSAGE=an error\n    PRIORITY=3\n", nullptr},
      {{"-o", "help"}, "short-full\n", nullptr},
      {{"-o", "cat", "-p", "err"}, "an error\n", "an audit"},
      {{"-o", "cat", "-p", "3"}, "an error\n", "an audit"},
      {{"-o", "cat", "-p", "info..debug"}, "an audit\n", "an error"},
      {{"-o", "cat", "--priority", "debug"}, "an error\nan audit\n", nullptr},
      {{"-o", "cat", "--since", "@" + std::to_string(std::stoll(stamp) + 1)},
       "an audit",
       "an error"},
      {{"-o", "cat", "--until", "@" + stamp + ".5"}, "an error", "an audit"},
      {{"-o", "export", "--output-fields=MESSAGE"}, "MESSAGE=an error\n\n", "PRIORITY"},
      {{"-o", "json", "--output-fields=err,level"}, "\"level\":1,\"err\":5}", "description"},
      {{"-o", "short-full", "--utc"}, " UTC   1/1", nullptr},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back(p);
    run_result r = vezcat(args);
    EXPECT_EQ(r.status, 0) << args[1] << " " << r.err;
    /* every form but export's in the platform's text convention */
    std::string want = args[1] == "export" ? c.want : testenv::console_text(c.want);
    EXPECT_NE(r.out.find(want), std::string::npos) << args[1] << ": " << r.out;
    if (c.not_wanted != nullptr) {
      EXPECT_EQ(r.out.find(c.not_wanted), std::string::npos) << args[1] << ": " << r.out;
    }
  }
  EXPECT_EQ(vezcat({"-o", "cat", "-p", "crit", p}).out, "");
  for (const std::vector<std::string> &bad :
       std::vector<std::vector<std::string>>{{"-p", "err..loud"}, {"-o", "short-nothing"}})
    EXPECT_EQ(vezcat(bad).status, 1) << bad[1];
}

/* the descriptions of the JSON records printed, in order */
std::vector<std::string> json_descs(const std::string &out) {
  std::vector<std::string> d;
  static const std::regex desc("\"description\":\"([^\"]*)\"");
  for (std::sregex_iterator it(out.begin(), out.end(), desc), end; it != end; ++it)
    d.push_back((*it)[1]);
  return d;
}

TEST_F(Reader, FollowMissesNothingThroughRotationCutsAndLogsThatComeLater) {
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "8"}).status, 0); /* 4 KiB: fast */
  testenv::reg_set_dword(PRODUCT_KEY, "LOGLOCKWAIT", 2000); /* the writers lose nothing */
  testenv::remove_file(path("error"));                      /* started before the log exists */
  testenv::child *follower = testenv::start({testenv::program("vezcat"), "-f", "-o", "json"});
  Sleep(300);
  /* the writers start once the follower is seen to read: a slow start would otherwise let
     the log rotate away before the follower first looks */
  ASSERT_EQ(logmsg({"error", "ready"}).status, 0);
  ASSERT_TRUE(testenv::child_said(follower, "ready", 20000));
  testenv::child *a = testenv::start({testenv::program("logmsg"), "-"});
  testenv::child *b = testenv::start({testenv::program("logmsg"), "-"});
  std::vector<std::string> want;
  auto both = [&](int from, int to) {
    for (int i = from; i < to; i++) {
      for (testenv::child *w : {a, b}) {
        std::string d = (w == a ? "a " : "b ") + std::to_string(i);
        testenv::send(w, "-x " + std::string(64, 'e') + " error " + d + "\n");
        want.push_back(d);
      }
      Sleep(10);
    }
  };
  both(0, 150);
  /* what the cut below takes away must have been read */
  EXPECT_TRUE(testenv::child_said(follower, "\"a 149\"", 20000));
  EXPECT_TRUE(testenv::child_said(follower, "\"b 149\"", 20000));
  /* cut back by hand, its first bytes kept: read on after what is left */
  std::filesystem::resize_file(path("error"), 256);
  EXPECT_TRUE(testenv::child_said(follower, "cut back", 20000));
  both(150, 200);
  testenv::finish(a);
  testenv::finish(b);
  /* a process registered after the follower started, and one outside the table */
  testenv::reg_set_dword(testenv::INDEX_KEY, "late", 5);
  std::string late = testenv::copy_program("logmsg", path("bin"), "late");
  std::string stray = testenv::copy_program("logmsg", path("bin"), "stray");
  EXPECT_EQ(testenv::run({late, "audit", "late audit"}).status, 0);
  EXPECT_EQ(testenv::run({stray, "audit", "stray audit"}).status, 0);
  want.push_back("late audit");
  want.push_back("stray audit");
  /* looked for again by the follower within seconds */
  EXPECT_TRUE(testenv::child_said(follower, "late audit", 20000));
  EXPECT_TRUE(testenv::child_said(follower, "stray audit", 20000));
  Sleep(500); /* nothing is given out twice */
  testenv::kill_child(follower);
  run_result r = testenv::finish(follower);
  std::vector<std::string> got = json_descs(r.out);
  for (const std::string &d : want)
    EXPECT_EQ(std::count(got.begin(), got.end(), d), 1) << d;
  EXPECT_EQ(r.err.find("rotated more than once"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cut back"), std::string::npos) << r.err;
}

TEST_F(Reader, FollowSaysExactlyHowManyGenerationsRotatedAwayUnread) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "the lock file's count is read where lock files stay open";
  ASSERT_EQ(testenv::run({testenv::program("aud"), "-e", "1"}).status, 0); /* 512 bytes */
  /* each record over the limit alone: the next one moves it aside. The follower, stopped,
     misses the generations between the one it reads on and the two it finds */
  std::string filler = std::string(600, 'f');
  struct {
    int rotations;
    std::vector<std::string> shown;
    const char *told; /* null: nothing said */
  } cases[] = {
      {1, {"first", "r1"}, nullptr},
      {2, {"first", "r1", "r2"}, nullptr},
      {3, {"first", "r2", "r3"}, ": 1 record in 1 generation rotated away before it could be read"},
      {5,
       {"first", "r4", "r5"},
       ": 3 records in 3 generations rotated away before they could be read"}};
  for (const auto &c : cases) {
    for (const char *f : {"error", "error.old", "error.lok"})
      testenv::remove_file(path(f));
    ASSERT_EQ(logmsg({"error", "first", filler}).status, 0);
    testenv::child *follower = testenv::start({testenv::program("vezcat"), "-f", "-o", "json"});
    ASSERT_TRUE(testenv::child_said(follower, "first", 20000));
    testenv::pause_child(follower);
    std::string last = "r" + std::to_string(c.rotations);
    for (int i = 1; i <= c.rotations; i++)
      ASSERT_EQ(logmsg({"error", "r" + std::to_string(i), filler}).status, 0);
    testenv::resume_child(follower);
    EXPECT_TRUE(testenv::child_said(follower, last + " ", 20000));
    Sleep(300);
    testenv::kill_child(follower);
    run_result r = testenv::finish(follower);
    std::vector<std::string> got;
    for (const std::string &d : json_descs(r.out))
      got.push_back(d.substr(0, d.find(' ')));
    EXPECT_EQ(got, c.shown) << c.rotations;
    if (c.told != nullptr)
      EXPECT_NE(r.err.find(c.told), std::string::npos) << c.rotations << ": " << r.err;
    else
      EXPECT_EQ(r.err.find("rotated away"), std::string::npos) << c.rotations << ": " << r.err;
  }
}

TEST_F(Reader, FollowShowsATornRecordDamagedAndWhatAMendWroteOverItWhole) {
#ifndef VEZ_CUTWRITE
  GTEST_SKIP() << "a write is cut by a preloaded library, on POSIX only";
#else
  /* the mend cuts the torn record back and writes more than it held over it: the log never
     looks shorter. Torn inside a line (the follower holds the record), and right after a line
     end (it has shown what looked whole) */
  const std::string after = "after " + std::string(2000, 'a');
  for (int line_end : {0, 1}) {
    testenv::remove_file(path("error"));
    ASSERT_EQ(logmsg({"error", "before"}).status, 0);
    long before_size = (long)testenv::file_size(path("error"));
    testenv::child *follower =
        testenv::start({testenv::program("vezcat"), "-f", "-o", "json", path("error")});
    ASSERT_TRUE(testenv::child_said(follower, "\"before\"", 20000));
    /* the torn record: its header line, then a description line cut (or whole) */
    std::string header = testenv::read_file(path("error"));
    long cut = (long)header.find("\r\n") + 2 + 5 + 40 + (line_end ? 2 : 0);
    std::string torn_desc = std::string(40, 't') + "\r\nmore of it";
    testenv::set_env("LD_PRELOAD", VEZ_CUTWRITE);
    testenv::set_env("ASAN_OPTIONS", "verify_asan_link_order=0");
    testenv::set_env("VEZ_TEST_CUT_WRITE", std::to_string(cut).c_str());
    run_result killed = logmsg({"error", torn_desc});
    testenv::set_env("LD_PRELOAD", nullptr);
    testenv::set_env("VEZ_TEST_CUT_WRITE", nullptr);
    ASSERT_EQ(killed.status, 128 + 9);
    ASSERT_EQ(testenv::file_size(path("error")), before_size + cut);
    Sleep(300); /* the follower has read the torn record */
    ASSERT_EQ(logmsg({"error", after}).status, 0);
    ASSERT_TRUE(testenv::child_said(follower, "\"after ", 20000)) << line_end;
    Sleep(100);
    testenv::kill_child(follower);
    run_result r = testenv::finish(follower);
    std::vector<std::string> d = json_descs(r.out);
    EXPECT_EQ(std::count(d.begin(), d.end(), after), 1) << line_end << r.out;
    EXPECT_NE(r.out.find("mended 1"), std::string::npos) << line_end << r.out;
    EXPECT_NE(r.out.find("cut back under the reader"), std::string::npos)
        << line_end << ": the torn record said where it lies: " << r.out;
  }
#endif
}

TEST_F(Reader, FailuresAreSaidAndFail) {
  ASSERT_EQ(logmsg({"error", "one"}).status, 0);
  run_result r = vezcat({dir});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is a directory"), std::string::npos) << r.err;
  r = vezcat({path("missing"), path("error")});
  EXPECT_EQ(r.status, 1) << "what could be read is printed, the run fails";
  EXPECT_NE(r.out.find("Desc:one"), std::string::npos);
  EXPECT_NE(r.err.find(path("missing")), std::string::npos) << r.err;
  if (VEZ_OS_POSIX) {
    r = vezcat({"/dev/zero"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
    std::string bin = testenv::program("vezcat");
    EXPECT_EQ(testenv::shell(bin + " > /dev/full 2>" + path("err.txt")), 1);
    EXPECT_NE(testenv::read_file(path("err.txt")).find("cannot write the output"),
              std::string::npos);
    EXPECT_EQ(testenv::shell("(yes 'error x' | head -2000 | " + testenv::program("logmsg") +
                             " -) && (" + bin + "; echo $? > " + path("status.txt") +
                             ") | head -1 > /dev/null 2>" + path("err2.txt")),
              0);
    EXPECT_EQ(testenv::read_file(path("err2.txt")), "") << "a closed pipe ends it quietly";
    EXPECT_EQ(testenv::read_file(path("status.txt")), "0\n") << "and with status 0";
  }
  EXPECT_EQ(vezcat({"--grep", "nothing matches this"}).status, 0);
}

TEST_F(Reader, TextComesBackAsWritten) {
  std::string utf8 = "temp\xc3\xa9rature", raw = "bad \xe9 byte", esc = "bell\x1b[31m red";
  for (const std::string &d : {utf8, raw, esc})
    ASSERT_EQ(logmsg({"error", d}).status, 0);
  run_result r = vezcat({"--json"});
  EXPECT_NE(r.out.find("\"description\":\"" + utf8 + "\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"description\":[98,97,100,32,233,32,98,121,116,101]"), std::string::npos)
      << "bytes that are not UTF-8, as numbers";
  EXPECT_NE(r.out.find("\"description\":\"bell\\u001b[31m red\""), std::string::npos);
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d")")))
      << "with the zone's offset";
  r = vezcat({});
  EXPECT_NE(r.out.find(testenv::console_text("Desc:bell\\x1b[31m red\n")), std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "no escape reaches a terminal";
  if (VEZ_OS_POSIX) {
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << "the platform's line ends";
  }
  r = vezcat({"-o", "raw"});
  EXPECT_EQ(r.out, testenv::read_file(path("error"))) << "raw: the stored bytes";
}

TEST_F(Reader, TerminalGetsNoControlOfAnyKind) {
  const struct {
    const char *text, *shown;
  } cases[] = {
      {"csi \x9b"
       "31m raw byte",
       "csi \\x9b31m raw byte"},
      {"csi \xc2\x9b"
       "31m as UTF-8",
       "csi \\u009b31m as UTF-8"},
      {"right \xe2\x80\xae"
       "to left",
       "right \\u202eto left"},
      {"isolate \xe2\x81\xa6"
       "x",
       "isolate \\u2066x"},
      {"del \x7f and bell \x07", "del \\x7f and bell \\x07"},
      {"kept: \xc3\xa9t\xc3\xa9 \xe2\x82\xac", "kept: \xc3\xa9t\xc3\xa9 \xe2\x82\xac"},
  };
  for (const auto &c : cases)
    ASSERT_EQ(logmsg({"error", c.text}).status, 0) << c.text;
  run_result r = vezcat({});
  for (const auto &c : cases)
    EXPECT_NE(r.out.find(std::string("Desc:") + c.shown), std::string::npos) << c.shown << r.out;
  r = vezcat({"-o", "raw"});
  EXPECT_EQ(r.out, testenv::read_file(path("error"))) << "raw output stays exact";
}

TEST_F(Reader, RepeatedFiltersOfOneKindAreAnyOfThem) {
  for (const char *name : {"pump", "valve", "gauge"}) {
    testenv::reg_set_dword(testenv::INDEX_KEY, name, 7);
    std::string p = testenv::copy_program("logmsg", path("bin"), name);
    ASSERT_EQ(testenv::run({p, "-l", "2", "error", std::string("from ") + name}).status, 0);
  }
  ASSERT_EQ(logmsg({"-l", "4", "error", "at level four"}).status, 0);
  auto descs = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return json_descs(vezcat(args).out);
  };
  EXPECT_EQ(descs({"-p", "pump", "-p", "valve"}),
            (std::vector<std::string>{"from pump", "from valve"}));
  EXPECT_EQ(descs({"-p", "pump", "-p", "valve", "-g", "valve"}),
            (std::vector<std::string>{"from valve"}))
      << "different kinds: all";
  EXPECT_EQ(descs({"-l", "4", "-l", "9"}), (std::vector<std::string>{"at level four"}));
  EXPECT_EQ(descs({"-g", "gauge", "-g", "four"}),
            (std::vector<std::string>{"from gauge", "at level four"}));
}

TEST_F(Reader, TerminalOutputGoesThroughAPagerUnlessFollowing) {
  if (!VEZ_OS_POSIX || testenv::shell("command -v script >/dev/null") != 0)
    GTEST_SKIP() << "needs script(1) for a terminal";
  ASSERT_EQ(logmsg({"error", "paged record"}).status, 0);
  std::string paged = path("paged"), bin = testenv::program("vezcat");
  /* a pager that keeps what it is given, and says what LESS it was given */
  testenv::set_env("PAGER",
                   ("sh -c 'echo LESS=$LESS > " + paged + "; cat >> " + paged + "'").c_str());
  testenv::set_env("SYSTEMD_PAGER", nullptr);
  testenv::set_env("LESS", nullptr);
  auto on_terminal = [&](const std::string &args) {
    testenv::remove_file(paged);
    return testenv::shell("script -qec '" + bin + " " + args + "' /dev/null > /dev/null 2>&1");
  };
  EXPECT_EQ(on_terminal(""), 0);
  std::string got = testenv::read_file(paged);
  EXPECT_NE(got.find("LESS=FRSXMK"), std::string::npos) << got;
  EXPECT_NE(got.find("Desc:paged record"), std::string::npos) << got;
  EXPECT_EQ(on_terminal("--no-pager"), 0);
  EXPECT_FALSE(testenv::file_exists(paged)) << "--no-pager";
  EXPECT_EQ(testenv::shell(bin + " > " + path("plain") + " 2>&1"), 0);
  EXPECT_FALSE(testenv::file_exists(paged)) << "not a terminal";
  testenv::set_env("PAGER", nullptr);
}

TEST_F(Reader, LastLinesReverseAndTimes) {
  std::string input;
  for (int i = 0; i < 30; i++)
    input += "error r" + std::to_string(i) + "\n";
  ASSERT_EQ(testenv::run({testenv::program("logmsg"), "-"}, input).status, 0);
  auto descs = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return json_descs(vezcat(args).out);
  };
  EXPECT_EQ(descs({"-n", "3"}), (std::vector<std::string>{"r27", "r28", "r29"}));
  std::vector<std::string> reversed = descs({"-r"});
  ASSERT_EQ(reversed.size(), 30u);
  EXPECT_EQ(reversed.front(), "r29");
  EXPECT_EQ(reversed.back(), "r0");
  EXPECT_EQ(descs({"-r", "-n", "2"}), (std::vector<std::string>{"r29", "r28"}));
  EXPECT_EQ(descs({"-n", "2", "--grep", "R1"}), (std::vector<std::string>{})) << "capitals: exact";
  EXPECT_EQ(descs({"-n", "2", "--grep", "r1"}), (std::vector<std::string>{"r18", "r19"}));
  EXPECT_EQ(descs({"--grep", "r2[89]$"}), (std::vector<std::string>{"r28", "r29"}));
  EXPECT_EQ(descs({"--grep", "R2[89]", "--grep", "r0"}), (std::vector<std::string>{"r0"}));
  EXPECT_EQ(descs({"--since", "-1h"}).size(), 30u);
  EXPECT_EQ(descs({"--since", "today", "--until", "now"}).size(), 30u);
  EXPECT_EQ(descs({"--until", "2 days ago"}).size(), 0u);
  EXPECT_EQ(descs({"--since", "yesterday"}).size(), 30u);
  EXPECT_EQ(descs({"-S", "2000-01-01T00:00"}).size(), 30u);
  for (const char *bad : {"2026-02-30", "2026-13-01", "25:00", "soon", "-1 fortnight"}) {
    run_result r = vezcat({"--since", bad});
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  }
}

TEST_F(Reader, YesterdayIsTheCalendarDayOnDaysTheClockChanges) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "needs POSIX time zone rules";
  time_t now = time(nullptr);
  struct tm day;
  localtime_s(&day, &now);
  day.tm_mday -= 1;
  day.tm_hour = 12;
  day.tm_isdst = -1;
  mktime(&day); /* yesterday's date */
  if (day.tm_mon == 1 && day.tm_mday == 29) GTEST_SKIP() << "a zone rule cannot name 29 February";
  static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  int n = before[day.tm_mon] + day.tm_mday; /* its day of a year of 365 days */
  int other = (n + 200 - 1) % 365 + 1;
  auto date = [](struct tm t, int back) {
    t.tm_mday -= back;
    mktime(&t);
    char text[32];
    snprintf(text, sizeof text, "%02d/%02d", t.tm_mon + 1, t.tm_mday);
    return std::string(text);
  };
  std::string log = path("copied");
  testenv::write_file(log, "------" + date(day, 1) + " 23:30:00   1/1  err:0   p(s:1)\r\n" +
                               "Desc:the day before\r\n------" + date(day, 0) +
                               " 00:30:00   1/1  err:0   p(s:1)\r\nDesc:yesterday early\r\n");
  /* the clock went back an hour at noon yesterday (a day of 25 hours), or on an hour (23) */
  for (const std::string &zone :
       {"AAA0BBB-1,J" + std::to_string(other) + "/0,J" + std::to_string(n) + "/12",
        "AAA0BBB-1,J" + std::to_string(n) + "/12,J" + std::to_string(other) + "/0"}) {
    testenv::set_env("TZ", zone.c_str());
    EXPECT_EQ(json_descs(vezcat({"--json", "--since", "yesterday", log}).out),
              (std::vector<std::string>{"yesterday early"}))
        << zone;
    EXPECT_EQ(json_descs(vezcat({"--json", "--until", "yesterday", log}).out),
              (std::vector<std::string>{"the day before"}))
        << zone;
  }
  testenv::set_env("TZ", nullptr);
}

TEST_F(Reader, TornRecordsAreShownDamagedAndForgedLinesAsTheirData) {
  std::string log = path("forged");
  AuditInfo text_form = {0, 1, 1000000};
  const std::string forged[] = {"------09/14 13:05:07   1/1  err:0   x(y:1)", "Desc:forged",
                                "     continued", "0x01020304", "<41> stays"};
  for (const std::string &f : forged)
    log_msg__log_message(log.c_str(), 0, 1, &text_form, 0, "na\r\nme(", "src\r\n------", 7, "d",
                         f.data(), (int)f.size());
  std::string torn = testenv::crlf("------09/14 13:05:07   1/1  err:0   p(s:1)\nDesc:whole\n") +
                     "------09/14 13:05:08   1/1  err:0   p(s:1)\r\nDesc:cut in its wr";
  testenv::write_file(path("torn"), torn);
  run_result r = vezcat({"--json", log, path("torn")});
  EXPECT_EQ(r.status, 0);
  /* the forged log's records first, then the torn file's (merged by time, they interleave) */
  std::vector<std::string> lines, torn_lines;
  for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string l = r.out.substr(at, nl - at);
    (l.find("forged\",") != std::string::npos ? lines : torn_lines).push_back(l);
  }
  lines.insert(lines.end(), torn_lines.begin(), torn_lines.end());
  ASSERT_EQ(lines.size(), 7u) << r.out;
  for (size_t i = 0; i < 5; i++) {
    std::string hex;
    for (unsigned char c : forged[i]) {
      char h[3];
      snprintf(h, sizeof h, "%02x", c);
      hex += h;
    }
    EXPECT_NE(lines[i].find("\"data\":\"" + hex + "\""), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find("\"process\":\"na\\r\\nme(\""), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find("\"source\":\"src\\r\\n------\""), std::string::npos) << lines[i];
    EXPECT_NE(lines[i].find("\"damaged\":false"), std::string::npos);
  }
  EXPECT_NE(lines[5].find("\"damaged\":false"), std::string::npos);
  EXPECT_NE(lines[6].find("\"damaged\":\"cut short\""), std::string::npos) << lines[6];
  r = vezcat({path("torn")});
  EXPECT_NE(r.out.find(testenv::console_text("): cut short --\n")), std::string::npos) << r.out;
}
