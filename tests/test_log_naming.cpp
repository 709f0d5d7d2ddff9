/*
** test_log_naming.cpp - a log's path is its directory ("LOGPATH", else the
** temporary directory), a separator and its file name; a piece that does
** not fit 255 characters is left out whole.
*/
#include "testenv.h"

#include "log_errf.h"
#include "platform.h"

using testenv::PRODUCT_KEY;
using testenv::Test;

namespace {

const std::string SEP = VEZ_DIRSEP;

class Naming : public Test {
protected:
  /* the path worked out from scratch, as a process's first call does */
  std::string path_of(const char *name_value, const char *fallback) {
    char cache[LOG_PATH_SIZE] = "";
    char dest[LOG_PATH_SIZE];
    memset(dest, '#', sizeof dest);
    log_errf__cached_path(cache, dest, name_value, fallback);
    EXPECT_STREQ(cache, dest);
    return dest;
  }
  /* a real directory whose path has exactly length characters */
  std::string long_dir(size_t length) {
    std::string d = dir;
    while (d.size() < length) {
      size_t room = length - d.size() - SEP.size();
      d += SEP + std::string(room > 100 ? 100 : room, 'd');
      if (length - d.size() == SEP.size()) d += 'd'; /* never leave room for a separator alone */
      testenv::make_dir(d);
    }
    EXPECT_EQ(d.size(), length);
    return d;
  }
  void set_temp(const std::string &d) {
    testenv::set_env("TMPDIR", d.c_str());
    testenv::set_env("TMP", d.c_str());
  }
  std::string temp_path() {
    char tmp[MAX_PATH];
    DWORD n = GetTempPathA(sizeof tmp, tmp);
    return n > 0 && n < sizeof tmp ? std::string(tmp, n) : "";
  }
};

TEST_F(Naming, DefaultPathDoublesTheSeparatorAfterTheTemporaryDirectory) {
  set_temp(dir);
  std::string tmp = temp_path();
  ASSERT_EQ(tmp.substr(tmp.size() - SEP.size()), SEP);
  EXPECT_EQ(path_of("ERRORLOGFILE", "error"), tmp + SEP + "error");
  EXPECT_EQ(path_of(nullptr, "kp_dvmsgs"), tmp + SEP + "kp_dvmsgs");
}

TEST_F(Naming, ConfiguredDirectoryAroundTheLimitKeepsPiecesWhole) {
  set_temp(dir);
  struct {
    size_t length;
    bool named;
  } cases[] = {{249, true}, {250, false}, {254, false}};
  for (auto c : cases) {
    std::string d(c.length, 'p');
    testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", d);
    EXPECT_EQ(path_of("ERRORLOGFILE", "error"), d + SEP + (c.named ? "error" : ""))
        << c.length << " characters";
  }
  /* 255 characters leave no room for the separator: not taken */
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", std::string(255, 'p'));
  EXPECT_EQ(path_of("ERRORLOGFILE", "error"), temp_path() + SEP + "error");
}

TEST_F(Naming, LongTemporaryDirectoryNeverOverrunsThePath) {
  std::string d = long_dir(253); /* with its separator 254 */
  set_temp(d);
  ASSERT_EQ(temp_path().size(), 254u);
  EXPECT_EQ(path_of("ERRORLOGFILE", "error"), temp_path() + SEP);
  set_temp(long_dir(254)); /* 255 with its separator: no room left for one more */
  EXPECT_EQ(path_of("ERRORLOGFILE", "error"), "." + SEP + SEP + "error");

  /* a path without its file name is no log: the record is dropped, no lock file made */
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", "NUL");
  set_temp(d);
  testenv::run_result r = testenv::run({testenv::program("logmsg"), "-c", "error", "hello"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err.find("open_failed 0"), std::string::npos) << "the record is counted: " << r.err;
  EXPECT_FALSE(testenv::file_exists(temp_path() + ".lok"));
  EXPECT_FALSE(testenv::file_exists(temp_path() + SEP + ".lok"));
  set_temp(dir);
}

TEST_F(Naming, ConfiguredFileNamesOfUpTo14CharactersReplaceTheDefault) {
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", "logs");
  EXPECT_EQ(path_of("AUDITLOGFILE", "pump"), "logs" + SEP + "pump");
  testenv::reg_set_string(PRODUCT_KEY, "ERRORLOGFILE", "errors-of-all");
  testenv::reg_set_string(PRODUCT_KEY, "AUDITLOGFILE", "audit14-chars.");
  EXPECT_EQ(path_of("ERRORLOGFILE", "error"), "logs" + SEP + "errors-of-all");
  EXPECT_EQ(path_of("AUDITLOGFILE", "pump"), "logs" + SEP + "audit14-chars.");
  testenv::reg_set_string(PRODUCT_KEY, "AUDITLOGFILE", "fifteen-chars-x");
  EXPECT_EQ(path_of("AUDITLOGFILE", "pump"), "logs" + SEP + "pump");
}

} // namespace
