/*
** test_vezreg.cpp - the registry editor of POSIX systems: what it writes is
** what the registry reader finds, it keeps what it does not change, refuses
** bad requests, and a reader never sees half a file.
*/
#include "testenv.h"

#include "platform.h"

#if VEZ_OS_POSIX

#include <atomic>
#include <thread>

using testenv::run_result;
using testenv::Test;

namespace {

std::string lookup(const char *key, const char *name) {
  HKEY h;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "<no key>";
  unsigned char buf[8192];
  DWORD size = sizeof buf;
  LONG rc = RegQueryValueExA(h, name, nullptr, nullptr, buf, &size);
  RegCloseKey(h);
  return rc == ERROR_SUCCESS ? std::string((char *)buf, size) : "<no value>";
}

} // namespace

class Vezreg : public Test {
protected:
  std::string reg;
  void SetUp() override {
    Test::SetUp();
    reg = path("edited.reg");
    testenv::set_env("VEZ_REGISTRY", reg.c_str());
  }
  run_result vezreg(std::vector<std::string> args) {
    args.insert(args.begin(), testenv::program("vezreg"));
    return testenv::run(args);
  }
};

TEST_F(Vezreg, AddedValuesAreWhatLookupsFind) {
  EXPECT_EQ(
      vezreg({"add", "HKLM\\Software\\Quendrix\\VEZ", "/v", "LOGPATH", "/d", "/var/log"}).status,
      0);
  EXPECT_EQ(vezreg({"add", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit", "/v", "pump", "/t",
                    "REG_DWORD", "/d", "3"})
                .status,
            0);
  EXPECT_EQ(vezreg({"add", "HKLM\\Software\\Quendrix\\VEZ", "/v", "bin", "/t", "REG_BINARY", "/d",
                    "00ff41"})
                .status,
            0);
  EXPECT_EQ(vezreg({"add", "HKLM\\Software\\Quendrix\\VEZ", "/ve", "/d", "default text"}).status,
            0);
  EXPECT_EQ(lookup("software\\quendrix\\vez", "logpath"), std::string("/var/log\0", 9));
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ\\audit", "PUMP"), std::string("\3\0\0\0", 4));
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ", "bin"), std::string("\0\xff"
                                                                  "A",
                                                                  3));
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ", ""), std::string("default text\0", 13));
  run_result q = vezreg({"query", "hklm\\software\\quendrix\\vez"});
  EXPECT_EQ(q.status, 0);
  EXPECT_EQ(q.out, "\nHKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ\n"
                   "    LOGPATH    REG_SZ    /var/log\n"
                   "    bin    REG_BINARY    00FF41\n"
                   "    (Default)    REG_SZ    default text\n\n"
                   "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit\n")
      << "keys as stored, looked up in any case";
  q = vezreg({"query", "HKLM\\Software\\Quendrix\\VEZ\\audit", "/v", "pump"});
  EXPECT_EQ(
      q.out,
      "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit\n    pump    REG_DWORD    0x3\n\n");
}

TEST_F(Vezreg, ChangesKeepCommentsOrderAndEverythingElse) {
  std::string before = "REGEDIT4\r\n\r\n; the product's settings\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\r\n"
                       "\"LOGPATH\"=\"/a\"\r\n; keep me\r\n\"LOGDUMP\"=dword:00000001\r\n\r\n"
                       "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"x\"=hex:01,\\\r\n  02\r\n";
  testenv::write_file(reg, before);
  EXPECT_EQ(vezreg({"add", "HKLM\\Software\\Quendrix\\VEZ", "/v", "LOGDUMP", "/t", "REG_DWORD",
                    "/d", "0", "/f"})
                .status,
            0);
  EXPECT_EQ(vezreg({"add", "HKLM\\Software\\Quendrix\\VEZ", "/v", "NEW", "/d", "n"}).status, 0);
  std::string after = testenv::read_file(reg);
  EXPECT_EQ(after,
            "REGEDIT4\r\n\r\n; the product's settings\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\r\n"
            "\"LOGPATH\"=\"/a\"\r\n; keep me\r\n\"LOGDUMP\"=dword:00000000\r\n\"NEW\"=\"n\"\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"x\"=hex:01,\\\r\n  02\r\n");
  EXPECT_EQ(vezreg({"delete", "HKLM\\Software\\Quendrix\\VEZ", "/v", "logpath"}).status, 0);
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ", "LOGPATH"), "<no value>");
  EXPECT_EQ(lookup("Software\\Other", "x"), std::string("\1\2", 2));
  EXPECT_EQ(vezreg({"delete", "HKLM\\Software\\Quendrix", "/f"}).status, 0);
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ", "NEW"), "<no key>");
  EXPECT_NE(testenv::read_file(reg).find("\"x\"=hex:01,\\\r\n  02"), std::string::npos);
}

TEST_F(Vezreg, BadRequestsFailClearlyAndChangeNothing) {
  ASSERT_EQ(vezreg({"add", "HKLM\\K", "/v", "v", "/d", "old"}).status, 0);
  std::string before = testenv::read_file(reg);
  /* a wrong command line: 2, said before the usage; a failure: 1 */
  struct {
    std::vector<std::string> args;
    int status;
    const char *says;
  } cases[] = {
      {{}, 2, "no command"},
      {{"frob", "HKLM\\K"}, 2, "unknown command"},
      {{"add"}, 2, "add takes a key"},
      {{"add", "HKLM\\K", "/v", "v", "/d", "new"}, 1, "exists"},
      {{"add", "HKLM\\K", "/v", "n", "/t", "REG_DWORD", "/d", "12x"}, 2, "not a 32-bit number"},
      {{"add", "HKLM\\K", "/v", "n", "/t", "REG_DWORD", "/d", "0x100000000"}, 2, "not a 32-bit"},
      {{"add", "HKLM\\K", "/v", "n", "/t", "REG_DWORD", "/d", "-1"}, 2, "not a 32-bit"},
      {{"add", "HKLM\\K", "/v", "n", "/t", "REG_BINARY", "/d", "abc"}, 2, "whole bytes"},
      {{"add", "HKLM\\K", "/v", "n", "/t", "REG_BINARY", "/d", "zz"}, 2, "hex digits"},
      {{"add", "HKLM\\K", "/v", "n", "/t", "REG_QWORD", "/d", "1"}, 2, "unsupported type"},
      {{"add", "HKLM\\K", "/v"}, 2, "needs a value"},
      {{"add", "HKCU\\K", "/v", "n"}, 2, "HKEY_LOCAL_MACHINE"},
      {{"add", "HKLMSOFTWAREQuendrixVEZ", "/v", "n"}, 2, "quote it"},
      {{"add", "SOFTWARE\\Quendrix", "/v", "n"}, 2, "names no hive"},
      {{"add", "HKLM\\K", "/v", "line\nbreak", "/d", "x"}, 2, "line break"},
      {{"query", "HKLM\\Missing"}, 1, "unable to find"},
      {{"query", "HKLM\\K", "/v", "nosuch"}, 1, "unable to find"},
      {{"delete", "HKLM\\K", "/v", "nosuch", "/f"}, 1, "unable to find"},
      {{"delete", "HKLM\\Missing", "/f"}, 1, "unable to find"},
      {{"import", path("none.reg")}, 1, "cannot read"},
      {{"export", "HKLM\\Missing", path("x.reg")}, 1, "unable to find"},
  };
  for (auto &c : cases) {
    run_result r = vezreg(c.args);
    EXPECT_EQ(r.status, c.status) << (c.args.empty() ? "" : c.args[0]) << ": " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    if (c.status == 2) {
      EXPECT_NE(r.err.find("\nusage: "), std::string::npos) << "the usage follows: " << r.err;
    }
  }
  testenv::write_file(path("bad.reg"),
                      "not a registry file\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"x\"\n");
  EXPECT_EQ(vezreg({"import", path("bad.reg")}).status, 1);
  EXPECT_EQ(testenv::read_file(reg), before);
}

TEST_F(Vezreg, EditsKeepTheFileAsItWasFoundOrAreRefused) {
  /* encoding, byte-order mark and line ends as found; untouched lines byte for byte */
  struct found {
    const char *what;
    std::string text;
  };
  const std::string hex1 = "\"h\"=hex(1):63,00,61,00,66,00,e9,00,00,00";
  const found files[] = {
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBFREGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                                       "\"old\"=\"kept\"\r\n"},
      {"line feeds alone", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"old\"=\"kept\"\n"},
      {"version 5 with a hex(1) text",
       "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n" + hex1 + "\r\n"},
  };
  for (const found &f : files) {
    testenv::write_file(reg, f.text);
    ASSERT_EQ(vezreg({"add", "HKLM\\K", "/v", "new", "/d", "caf\xc3\xa9"}).status, 0) << f.what;
    std::string after = testenv::read_file(reg);
    EXPECT_EQ(after.compare(0, f.text.size(), f.text), 0) << f.what << ": " << after;
    EXPECT_EQ(lookup("K", "new"), std::string("caf\xc3\xa9\0", 6)) << f.what;
  }
  EXPECT_EQ(lookup("K", "h"), std::string("caf\xc3\xa9\0", 6)) << "the hex(1) text untouched";
  /* a file whose encoding cannot carry a byte that is not UTF-8: refused, left as it was */
  for (const char *fixture : {"export-utf16le.reg", "v5-utf16le-strings.reg"}) {
    std::string path_in = std::string(VEZ_FIXTURE_DIR) + "/registry/" + fixture;
    testenv::write_file(reg, testenv::read_file(path_in));
    run_result r = vezreg({"add", "HKLM\\K", "/v", "latin", "/d", "caf\xe9 ok"});
    EXPECT_EQ(r.status, 1) << fixture;
    EXPECT_NE(r.err.find("left as it was"), std::string::npos) << r.err;
    EXPECT_EQ(testenv::read_file(reg), testenv::read_file(path_in)) << fixture;
    EXPECT_EQ(vezreg({"add", "HKLM\\K", "/v", "utf8", "/d", "caf\xc3\xa9 ok"}).status, 0);
    EXPECT_EQ(lookup("K", "utf8"), std::string("caf\xc3\xa9 ok\0", 9)) << fixture;
  }
}

TEST_F(Vezreg, ExportedKeyImportsIntoAnEmptyRegistryWithTheSameLookups) {
  std::string fixture = std::string(VEZ_FIXTURE_DIR) + "/registry/export-utf16le.reg";
  ASSERT_EQ(vezreg({"import", fixture}).status, 0) << "a UTF-16LE file written by Windows";
  const std::vector<std::pair<const char *, const char *>> probes = {
      {"Software\\Quendrix\\VEZ", "LOGPATH"},
      {"Software\\Quendrix\\VEZ", "LOGFILESIZE"},
      {"Software\\Quendrix\\VEZ", "Quoted \"name\""},
      {"software\\quendrix\\vez\\2.1", "bin"},
      {"Software\\Quendrix\\VEZ\\2.1\\pump", "expand"},
      {"Software\\Quendrix\\VEZ\\2.1\\pump", "multi"},
      {"SOFTWARE\\Quendrix\\VEZ\\audit", "PUMP"},
      {"Software\\Quendrix\\VEZ\\2.1", "LOGDUMP"}};
  std::vector<std::string> first;
  for (auto &p : probes)
    first.push_back(lookup(p.first, p.second));
  EXPECT_EQ(first[0], std::string("C:\\logs\0", 8));
  EXPECT_EQ(first[5], std::string("a\0b\0\0", 5));
  ASSERT_EQ(vezreg({"export", "HKLM\\Software\\Quendrix", path("out.reg")}).status, 0);
  EXPECT_EQ(vezreg({"export", "HKLM\\Software\\Quendrix", path("out.reg")}).status, 1)
      << "an existing file is replaced only with /y";
  reg = path("second.reg");
  testenv::set_env("VEZ_REGISTRY", reg.c_str());
  ASSERT_EQ(vezreg({"import", path("out.reg")}).status, 0);
  for (size_t i = 0; i < probes.size(); i++)
    EXPECT_EQ(lookup(probes[i].first, probes[i].second), first[i]) << probes[i].second;
}

TEST_F(Vezreg, Utf16FileStaysUtf16) {
  std::string fixture = std::string(VEZ_FIXTURE_DIR) + "/registry/v5-utf16le-strings.reg";
  testenv::write_file(reg, testenv::read_file(fixture));
  ASSERT_EQ(
      vezreg({"add", "HKLM\\Software\\Quendrix\\VEZ\\2.1\\pump", "/v", "added", "/d", "ok"}).status,
      0);
  std::string bytes = testenv::read_file(reg);
  EXPECT_EQ(bytes.substr(0, 2), "\xff\xfe");
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ\\2.1\\pump", "added"), std::string("ok\0", 3));
  EXPECT_EQ(lookup("Software\\Quendrix\\VEZ\\2.1\\pump", "expand"),
            std::string("%TEMP%\\logs\0", 12));
}

TEST_F(Vezreg, EditKeepsTheRegistrysMode) {
  ASSERT_EQ(vezreg({"add", "HKLM\\K", "/v", "a", "/d", "1"}).status, 0);
  ASSERT_EQ(testenv::shell("chmod 600 " + reg), 0);
  EXPECT_EQ(vezreg({"add", "HKLM\\K", "/v", "b", "/d", "2"}).status, 0);
  EXPECT_EQ(testenv::shell("test \"$(stat -c %a " + reg + ")\" = 600"), 0) << "mode kept";
}

TEST_F(Vezreg, ReadersNeverSeeHalfAFile) {
  std::string padding(4000, 'p');
  testenv::write_file(reg, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\"pad\"=\"" + padding +
                               "\"\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\"end\"=\"yes\"\r\n");
  std::atomic<bool> done(false);
  std::atomic<int> reads(0), torn(0);
  std::thread reader([&] {
    while (!done) {
      if (lookup("Z", "end") != std::string("yes\0", 4)) torn++;
      reads++;
    }
  });
  for (int i = 0; i < 60; i++)
    EXPECT_EQ(vezreg({"add", "HKLM\\A", "/v", "v" + std::to_string(i), "/d", padding}).status, 0);
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(lookup("A", "v59"), padding + '\0');
}

#endif /* VEZ_OS_POSIX */
