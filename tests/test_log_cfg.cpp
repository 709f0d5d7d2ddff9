/*
** test_log_cfg.cpp - a configuration value is taken from the program key,
** else the version key, else the product key.
*/
#include "testenv.h"

#include "log_cfg.h"

using testenv::PRODUCT_KEY;
using testenv::Test;

class Config : public Test {
protected:
  std::string program_key(const char *version = nullptr) {
    char name[LOG_CFG_KEY_SIZE];
    log_cfg__program_name(name);
    std::string key = PRODUCT_KEY;
    if (version != nullptr) key += std::string("\\") + version;
    return key + "\\" + name;
  }
  std::string text(const char *name, int cap = 256) {
    char buf[1024];
    memset(buf, '#', sizeof buf);
    if (!log_cfg__read_text(name, buf, cap)) return "<none>";
    return buf;
  }
};

TEST_F(Config, ProgramNameIsTheExecutableWithoutExtension) {
  char name[LOG_CFG_KEY_SIZE];
  log_cfg__program_name(name);
  EXPECT_STREQ(name, "vez_tests");
}

TEST_F(Config, ProgramKeyBeforeProductKey) {
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", "product");
  EXPECT_EQ(text("LOGPATH"), "product");
  testenv::reg_set_string(program_key(), "LOGPATH", "program");
  EXPECT_EQ(text("LOGPATH"), "program");
}

TEST_F(Config, VersionKeyOnlyWhenVezversionIsSet) {
  testenv::reg_set_string(std::string(PRODUCT_KEY) + "\\2.1", "LOGPATH", "version");
  EXPECT_EQ(text("LOGPATH"), "<none>");
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", "product");
  testenv::set_env("VEZVERSION", "2.1");
  EXPECT_EQ(text("LOGPATH"), "version");
  testenv::reg_set_string(program_key(), "LOGPATH", "program without version");
  EXPECT_EQ(text("LOGPATH"), "version");
  testenv::reg_set_string(program_key("2.1"), "LOGPATH", "program");
  EXPECT_EQ(text("LOGPATH"), "program");
  testenv::set_env("VEZVERSION", nullptr);
  EXPECT_EQ(text("LOGPATH"), "program without version");
}

TEST_F(Config, TooLargeValueFallsThroughToTheNextKey) {
  testenv::reg_set_string(program_key(), "LOGNOTIFYDEV", std::string(255, 'd'));
  testenv::reg_set_string(PRODUCT_KEY, "LOGNOTIFYDEV", "fallback");
  EXPECT_EQ(text("LOGNOTIFYDEV", 255), "fallback");
  testenv::reg_set_string(program_key(), "LOGNOTIFYDEV", std::string(254, 'd'));
  EXPECT_EQ(text("LOGNOTIFYDEV", 255), std::string(254, 'd'));
}

TEST_F(Config, KeysAndNamesCompareWithoutCase) {
  testenv::reg_set_dword("software\\QUENDRIX\\vez", "logfilesize", 77);
  int32_t v = 0;
  ASSERT_TRUE(log_cfg__read_value("LOGFILESIZE", &v, 4));
  EXPECT_EQ(v, 77);
}

TEST_F(Config, IntegerTakesTheRawBytesOfAnyValueThatFits) {
  testenv::reg_set_string(PRODUCT_KEY, "LOGDUMP", "abc");
  int32_t v = 0;
  ASSERT_TRUE(log_cfg__read_value("LOGDUMP", &v, 4));
  EXPECT_EQ(memcmp(&v, "abc", 4), 0);
  testenv::reg_set_string(PRODUCT_KEY, "LOGDUMP", "abcd");
  v = 5;
  EXPECT_FALSE(log_cfg__read_value("LOGDUMP", &v, 4));
  EXPECT_EQ(v, 5) << "a failed lookup leaves the destination alone";
}

TEST_F(Config, TextWithoutTerminatorIsTerminatedOrRefused) {
  testenv::reg_set_binary(PRODUCT_KEY, "ERRORLOGFILE", "errs");
  EXPECT_EQ(text("ERRORLOGFILE", 15), "errs");
  testenv::reg_set_binary(PRODUCT_KEY, "ERRORLOGFILE", std::string(15, 'e'));
  EXPECT_EQ(text("ERRORLOGFILE", 15), "<none>");
  testenv::reg_set_binary(PRODUCT_KEY, "ERRORLOGFILE", "");
  EXPECT_EQ(text("ERRORLOGFILE", 15), "");
}

TEST_F(Config, OverlongVersionIsLeftOutOfTheKey) {
  std::string version(300, 'v');
  testenv::set_env("VEZVERSION", version.c_str());
  testenv::reg_set_string(std::string(PRODUCT_KEY) + "\\" + version.substr(0, 200), "LOGPATH",
                          "cut version");
  testenv::reg_set_string(PRODUCT_KEY, "LOGPATH", "product");
  EXPECT_EQ(text("LOGPATH"), "product") << "the version is left out whole, never cut";
}
