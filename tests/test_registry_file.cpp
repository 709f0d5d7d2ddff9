/*
** test_registry_file.cpp - the registry file of POSIX builds gives the
** lookups that Windows gives for the same export files, and survives
** damaged files.
*/
#include "testenv.h"

#include "platform.h"

#if VEZ_OS_POSIX

#include <random>

using testenv::Test;

namespace {

struct query {
  LONG rc;
  DWORD size;
  std::string data;
};

query ask(const char *key, const char *name, DWORD cap) {
  HKEY h;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h);
  if (rc != ERROR_SUCCESS) return {rc, 0, ""};
  std::string buf(cap, '\x5a');
  DWORD size = cap;
  rc = RegQueryValueExA(h, name, nullptr, nullptr, (BYTE *)&buf[0], &size);
  RegCloseKey(h);
  return {rc, size, rc == ERROR_SUCCESS ? buf.substr(0, size) : buf};
}

std::string fixture(const char *name) { return std::string(VEZ_FIXTURE_DIR) + "/registry/" + name; }

using testenv::bytes;

} // namespace

class RegistryFile : public Test {
protected:
  void use(const std::string &file) { testenv::set_env("VEZ_REGISTRY", file.c_str()); }

  /* every lookup that Windows gave for these files */
  void expect_windows_lookups() {
    const std::string logpath("C:\\logs\0", 8);
    query q = ask("Software\\Quendrix\\VEZ", "LOGPATH", 256);
    EXPECT_EQ(q.rc, 0);
    EXPECT_EQ(q.data, logpath);
    q = ask("Software\\Quendrix\\VEZ", "logpath", 8);
    EXPECT_EQ(q.rc, 0);
    EXPECT_EQ(q.data, logpath);
    q = ask("Software\\Quendrix\\VEZ", "LOGPATH", 7);
    EXPECT_EQ(q.rc, ERROR_MORE_DATA);
    EXPECT_EQ(q.size, 8u);
    EXPECT_EQ(q.data, std::string(7, '\x5a'));
    q = ask("Software\\Quendrix\\VEZ", "LOGFILESIZE", 4);
    EXPECT_EQ(q.data, bytes({0, 4, 0, 0}));
    q = ask("Software\\Quendrix\\VEZ", "LOGFILESIZE", 3);
    EXPECT_EQ(q.rc, ERROR_MORE_DATA);
    EXPECT_EQ(q.size, 4u);
    q = ask("Software\\Quendrix\\VEZ", "Quoted \"name\"", 64);
    EXPECT_EQ(q.data, std::string("a \"quoted\" value\0", 17));
    const std::string bin =
        bytes({1,    2,    0x41, 0x42, 0x43, 0,    0x7f, 0x80, 0xff, 0x20, 0x61, 0x62,
               0x63, 0x64, 0x65, 0x66, 0x0a, 0x0d, 0x30, 0x31, 1,    2,    0x41, 0x42,
               0x43, 0,    0x7f, 0x80, 0xff, 0x20, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66});
    q = ask("software\\quendrix\\vez\\2.1", "bin", 64);
    EXPECT_EQ(q.rc, 0);
    EXPECT_EQ(q.data, bin);
    q = ask("software\\quendrix\\vez\\2.1", "bin", 4);
    EXPECT_EQ(q.rc, ERROR_MORE_DATA);
    EXPECT_EQ(q.size, 36u);
    q = ask("Software\\Quendrix\\VEZ\\2.1\\pump", "expand", 64);
    EXPECT_EQ(q.data, std::string("%TEMP%\\logs\0", 12));
    q = ask("Software\\Quendrix\\VEZ\\2.1\\pump", "multi", 64);
    EXPECT_EQ(q.data, std::string("a\0b\0\0", 5));
    q = ask("SOFTWARE\\Quendrix\\VEZ\\audit", "PUMP", 4);
    EXPECT_EQ(q.data, bytes({3, 0, 0, 0}));
    EXPECT_EQ(ask("SOFTWARE\\Quendrix\\VEZ\\audit", "nosuch", 4).rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ask("SOFTWARE\\Quendrix\\VEZ\\nokey", "x", 4).rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ask("Software\\Quendrix\\VEZ\\", "LOGPATH", 256).data, logpath);
  }
};

TEST_F(RegistryFile, Utf16ExportGivesWindowsLookups) {
  use(fixture("export-utf16le.reg"));
  expect_windows_lookups();
}

TEST_F(RegistryFile, Regedit4AndVersion5FilesTogetherGiveTheSameLookups) {
  std::string both = testenv::read_file(fixture("regedit4.reg"));
  std::string v5 = testenv::read_file(fixture("v5-utf16le-strings.reg"));
  /* the two imports, one after the other, in one file of each kind is not possible;
     append the version 5 section to a version 5 copy of the REGEDIT4 text instead */
  std::string narrow;
  for (size_t i = 2; i + 1 < v5.size(); i += 2)
    narrow += v5[i];
  std::string merged = both + "\r\n" + narrow.substr(narrow.find('['));
  size_t header = merged.find("REGEDIT4");
  merged.replace(header, 8, "Windows Registry Editor Version 5.00");
  /* version 5 text values given as hex(2)/hex(7) are UTF-16 there, so keep them whole */
  testenv::write_file(path("merged.reg"), merged);
  use(path("merged.reg"));
  expect_windows_lookups();
}

TEST_F(RegistryFile, Regedit4HexTextIsAlreadyNarrow) {
  testenv::write_file(path("r4.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Q]\r\n"
                                      "\"e\"=hex(2):25,54,00\r\n");
  use(path("r4.reg"));
  EXPECT_EQ(ask("Software\\Q", "e", 16).data, std::string("%T\0", 3));
}

TEST_F(RegistryFile, LaterSectionsAddAndLaterValuesReplace) {
  testenv::write_file(path("r.reg"),
                      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\A]\n\"x\"=dword:00000001\n"
                      "\"y\"=\"one\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\a]\n\"X\"=dword:00000002\n"
                      "\"z\"=hex:01,\\\n  02,03\n@=\"default\"\n\"y\"=-\n");
  use(path("r.reg"));
  EXPECT_EQ(ask("Software\\A", "x", 4).data, bytes({2, 0, 0, 0}));
  EXPECT_EQ(ask("Software\\A", "z", 4).data, bytes({1, 2, 3}));
  EXPECT_EQ(ask("Software\\A", "", 16).data, std::string("default\0", 8));
  EXPECT_EQ(ask("Software\\A", "y", 16).rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ask("Software", "x", 4).rc, ERROR_FILE_NOT_FOUND) << "a parent key exists, empty";
}

TEST_F(RegistryFile, ChangesAreSeenByTheNextOpen) {
  testenv::write_file(path("r.reg"), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"1\"\n");
  use(path("r.reg"));
  EXPECT_EQ(ask("K", "v", 4).data, std::string("1\0", 2));
  testenv::write_file(path("r.reg"), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"22\"\n");
  EXPECT_EQ(ask("K", "v", 4).data, std::string("22\0", 3));
}

TEST_F(RegistryFile, MissingFileIsAnEmptyRegistry) {
  use(path("none.reg"));
  EXPECT_EQ(ask("Software\\Quendrix\\VEZ", "LOGPATH", 256).rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryFile, MalformedLinesAreSkippedAndValidValuesFound) {
  std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\G]\n"
                     "\"a\"=\"unterminated\n"
                     "\"b\"=dword:123456789\n"
                     "\"c\"=hex:zz,01\n"
                     "\"d\"=hex(:01\n"
                     "\"e\"=\"trailing escape \\\n"
                     "garbage line without quotes\n"
                     "[HKEY_CURRENT_USER\\G]\n\"skip\"=\"other hive\"\n"
                     "[HKEY_LOCAL_MACHINE\\G\n"
                     "\"ok\"=dword:0000000a\n" +
                     std::string(100000, 'x') + "\n" + std::string("\0\x01\xff\x80\"=\n", 7) +
                     "[HKEY_LOCAL_MACHINE\\G]\n\"good\"=\"yes\"\n";
  testenv::write_file(path("bad.reg"), text);
  use(path("bad.reg"));
  for (const char *name : {"a", "b", "c", "d", "e", "skip"})
    EXPECT_EQ(ask("G", name, 64).rc, ERROR_FILE_NOT_FOUND) << name;
  EXPECT_EQ(ask("G", "good", 64).data, std::string("yes\0", 4));
}

TEST_F(RegistryFile, RandomBytesNeverBreakTheReader) {
  std::mt19937 rng(12345);
  const std::string tail = "\n[HKEY_LOCAL_MACHINE\\R]\n\"v\"=dword:00000007\n";
  for (int round = 0; round < 200; round++) {
    std::string junk(rng() % 3000, '\0');
    for (char &c : junk)
      c = (char)(rng() % 4 == 0 ? "[]\"\\=@:,\n"[rng() % 9] : rng() % 256);
    std::string head = round % 3 == 0 ? "\xff\xfe" : round % 3 == 1 ? "REGEDIT4\n" : "";
    testenv::write_file(path("rnd.reg"), head + junk + (round % 3 == 0 ? "" : tail));
    use(path("rnd.reg"));
    query q = ask("R", "v", 4);
    if (round % 3 == 1) {
      EXPECT_EQ(q.data, bytes({7, 0, 0, 0})) << "round " << round;
    } else if (round % 3 == 2) {
      EXPECT_EQ(q.rc, ERROR_BADDB) << "no version line: no registry file, said so";
    }
  }
}

TEST_F(RegistryFile, DeletedKeyTakesItsSubkeysButNotItsParent) {
  testenv::write_file(path("r.reg"), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"p\"=\"1\"\n"
                                     "[HKEY_LOCAL_MACHINE\\A\\B]\n\"c\"=\"2\"\n"
                                     "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"g\"=\"3\"\n"
                                     "[-HKEY_LOCAL_MACHINE\\A\\B]\n");
  use(path("r.reg"));
  EXPECT_EQ(ask("A", "p", 4).data, std::string("1\0", 2));
  EXPECT_EQ(ask("A\\B", "c", 4).rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ask("A\\B\\C", "g", 4).rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryFile, UnreadableFileFailsEveryOpenWithItsReason) {
  testenv::make_dir(path("dir.reg"));
  use(path("dir.reg"));
  EXPECT_EQ(ask("Software", "x", 4).rc, ERROR_ACCESS_DENIED);
  std::string big = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"1\"\n";
  big += std::string(64 * 1024 * 1024 - big.size() + 1, ';');
  testenv::write_file(path("big.reg"), big);
  use(path("big.reg"));
  EXPECT_EQ(ask("K", "v", 4).rc, ERROR_FILE_TOO_LARGE) << "refused whole, never read in part";
}

#endif /* VEZ_OS_POSIX */
