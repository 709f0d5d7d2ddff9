/*
** test_platform.cpp - the Win32 subset behaves as the system relies on, on
** both builds: exclusive opens, mappings that grow files, text-mode writes,
** registry queries into short buffers.
*/
#include "testenv.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform.h"

using testenv::Test;

class Platform : public Test {};

TEST_F(Platform, ExclusiveOpenFailsAtOnceWhileHeld) {
  std::string lok = path("error.lok");
  HANDLE first = CreateFileA(lok.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE second = CreateFileA(lok.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD err = GetLastError();
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);
  EXPECT_EQ(err, (DWORD)ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE third = CreateFileA(lok.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(third, INVALID_HANDLE_VALUE);
  CloseHandle(third);
  EXPECT_EQ(testenv::file_size(lok), 0);
}

TEST_F(Platform, OpenExistingAndCreateNew) {
  std::string f = path("data");
  HANDLE h =
      CreateFileA(f.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD err = GetLastError();
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(err, (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(testenv::file_exists(f));
  h = CreateFileA(f.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  h = CreateFileA(f.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

TEST_F(Platform, MappingGrowsFileWithZerosAndSharesWrites) {
  std::string f = path("seg");
  testenv::write_file(f, "ab");
  HANDLE h =
      CreateFileA(f.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 1052, nullptr);
  CloseHandle(h);
  ASSERT_NE(m, nullptr);
  char *view = static_cast<char *>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
  CloseHandle(m);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 'a');
  EXPECT_EQ(view[1051], 0);
  view[1051] = 'z';
  EXPECT_TRUE(UnmapViewOfFile(view));
  std::string bytes = testenv::read_file(f);
  ASSERT_EQ(bytes.size(), 1052u);
  EXPECT_EQ(bytes.substr(0, 2), "ab");
  EXPECT_EQ(bytes.substr(2, 1049), std::string(1049, '\0'));
  EXPECT_EQ(bytes[1051], 'z');
}

TEST_F(Platform, EmptyFileCannotBeMappedAtItsLength) {
  std::string f = path("empty");
  testenv::write_file(f, "");
  HANDLE h =
      CreateFileA(f.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  CloseHandle(h);
  EXPECT_EQ(m, nullptr);
  EXPECT_EQ(testenv::file_size(f), 0);
}

TEST_F(Platform, DirectoryIsNoDataFile) {
  std::string d = path("adir");
  testenv::make_dir(d);
  HANDLE h =
      CreateFileA(d.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
}

TEST_F(Platform, TextModeStoresCarriageReturnLineFeed) {
  std::string f = path("log");
  int fd = _open(f.c_str(), _O_CREAT | _O_RDWR, 0666);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(_write(fd, "one\ntwo\n", 8), 8);
  EXPECT_EQ(_lseeki64(fd, 0, 2), 10);
  EXPECT_EQ(_close(fd), 0);
  EXPECT_EQ(testenv::read_file(f), "one\r\ntwo\r\n");
  fd = _creat(f.c_str(), _S_IREAD | _S_IWRITE);
  ASSERT_GE(fd, 0);
  _close(fd);
  EXPECT_EQ(testenv::file_size(f), 0);
  EXPECT_EQ(_access(f.c_str(), 6), 0);
  EXPECT_EQ(_unlink(f.c_str()), 0);
  EXPECT_EQ(_access(f.c_str(), 0), -1);
}

TEST_F(Platform, QueryIntoShortBufferCopiesNothing) {
  testenv::reg_set_string(testenv::PRODUCT_KEY, "LOGPATH", "C:\\logs");
  HKEY key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\quendrix\\vez", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  unsigned char buf[16];
  memset(buf, 'x', sizeof buf);
  DWORD size = 7;
  EXPECT_EQ(RegQueryValueExA(key, "logpath", nullptr, nullptr, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(buf[0], 'x');
  size = 8;
  EXPECT_EQ(RegQueryValueExA(key, "LOGPATH", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::string((char *)buf, 8), std::string("C:\\logs\0", 8));
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueExA(key, "nosuch", nullptr, nullptr, buf, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quendrix\\VEZ\\nokey", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(Platform, TempPathEndsWithSeparator) {
  char buf[MAX_PATH];
  DWORD n = GetTempPathA(sizeof buf, buf);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(buf[n - 1], VEZ_DIRSEP_CHAR);
  EXPECT_EQ(strlen(buf), n);
}

TEST_F(Platform, SplitPathCutsAtTheLastDot) {
  std::string p = testenv::join("dir", "my.tool.exe");
  char fname[_MAX_FNAME], ext[_MAX_EXT];
  _splitpath(p.c_str(), nullptr, nullptr, fname, ext);
  EXPECT_STREQ(fname, "my.tool");
  EXPECT_STREQ(ext, ".exe");
}

TEST_F(Platform, LastErrorIsSetAsWindowsSetsIt) {
  const DWORD rw = GENERIC_READ | GENERIC_WRITE, shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
  std::string f = path("f"), in_missing_dir = testenv::join(path("nodir"), "f");
  auto open = [&](const std::string &name, DWORD share, DWORD disposition) {
    SetLastError(1234);
    HANDLE h = CreateFileA(name.c_str(), rw, share, nullptr, disposition, 0, nullptr);
    DWORD err = GetLastError();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return err;
  };
  EXPECT_EQ(open(f, shared, OPEN_ALWAYS), 0u) << "made by this call";
  EXPECT_EQ(open(f, shared, OPEN_ALWAYS), (DWORD)ERROR_ALREADY_EXISTS) << "found there";
  EXPECT_EQ(open(f, shared, OPEN_EXISTING), 0u);
  EXPECT_EQ(open(path("none"), shared, OPEN_EXISTING), (DWORD)ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open(in_missing_dir, shared, OPEN_EXISTING), (DWORD)ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open(in_missing_dir, 0, OPEN_ALWAYS), (DWORD)ERROR_PATH_NOT_FOUND);

  /* the C runtime's opens go through the same calls */
  SetLastError(1234);
  int fd = _open(f.c_str(), _O_CREAT | _O_RDWR, 0666);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
  _close(fd);
  fd = _open(path("g").c_str(), _O_CREAT | _O_RDWR, 0666);
  EXPECT_EQ(GetLastError(), 0u);
  _close(fd);
  EXPECT_LT(_open(in_missing_dir.c_str(), _O_RDWR), 0);
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST_F(Platform, ExclusiveOpenAndEveryOtherOpenExcludeEachOther) {
  std::string lok = path("error.lok");
  const DWORD rw = GENERIC_READ | GENERIC_WRITE, shared = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE reader = CreateFileA(lok.c_str(), GENERIC_READ, shared, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  HANDLE lock = CreateFileA(lok.c_str(), rw, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  EXPECT_EQ(lock, INVALID_HANDLE_VALUE) << "a sharing open keeps the exclusive one out";
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  CloseHandle(reader);
  lock = CreateFileA(lok.c_str(), rw, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  reader = CreateFileA(lok.c_str(), GENERIC_READ, shared, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(reader, INVALID_HANDLE_VALUE) << "and the exclusive one keeps it out";
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
  CloseHandle(lock);
}

/*
** Six threads read a view's words while its file is cut to nothing, cut
** inside its first page, or replaced, a thousand times: every word read is
** the file's, the fallback's or the replacement's, once the reader has
** looked at the file after a read that was none of them (as the library
** looks before it believes a level that would stop a record); no fault
** reaches the default action (the test would die).
*/
TEST_F(Platform, ViewsReadTheirFileOrTheirFallbackWhateverIsDoneToTheFile) {
  if (!VEZ_OS_POSIX) GTEST_SKIP() << "Windows refuses to cut or replace a mapped file";
  const size_t size = 1052;
  const uint32_t in_file = 0x11111111u, fallen_back = 0x22222222u, replaced = 0x33333333u;
  std::string file = path("data"), other = path("data.new");
  std::vector<uint32_t> fallback(size / 4, fallen_back);
  auto words = [&](uint32_t w) {
    return std::string((const char *)std::vector<uint32_t>(size / 4, w).data(), size);
  };
  std::mutex looking;
  for (int run = 0; run < 1000; run++) {
    testenv::write_file(file, words(in_file));
    HANDLE f =
        CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    HANDLE m = CreateFileMappingA(f, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    CloseHandle(f);
    ASSERT_NE(m, nullptr);
    VezSetMappingFallback(m, fallback.data(), size);
    volatile uint32_t *view =
        static_cast<volatile uint32_t *>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    CloseHandle(m);
    ASSERT_NE(view, nullptr);
    /* the library's look: the view checked, a file that replaced its own followed */
    auto look = [&] {
      std::lock_guard<std::mutex> hold(looking);
      if (VezViewCheck(const_cast<uint32_t *>(view)) != VEZ_VIEW_GONE) return;
      HANDLE now = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
      if (now == INVALID_HANDLE_VALUE) return;
      VezRemapView(const_cast<uint32_t *>(view), now);
      CloseHandle(now);
    };
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, reads_after{0};
    std::atomic<bool> changed{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; t++)
      readers.emplace_back([&, t] {
        size_t at = t % 2 == 0 ? 1 : size / 4 - 1; /* inside the first bytes, and the last */
        unsigned reads = 0;
        while (!done) {
          uint32_t w = view[at];
          if (w != in_file && w != fallen_back && w != replaced) {
            look();
            w = view[at];
            if (w != in_file && w != fallen_back && w != replaced) wrong++;
          }
          if (changed) reads_after++;
          if (++reads % 64 == 0) std::this_thread::yield(); /* seven threads, two cores */
        }
      });
    int kind = run % 3;
    if (kind == 2) {
      testenv::write_file(other, words(replaced));
      ASSERT_TRUE(MoveFileExA(other.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING));
    } else {
      testenv::write_file(file, kind == 0 ? std::string() : words(in_file).substr(0, 4));
    }
    changed = true;
    look();
    while (reads_after < 600)
      std::this_thread::yield();
    done = true;
    for (std::thread &r : readers)
      r.join();
    uint32_t last = view[size / 4 - 1];
    EXPECT_EQ(last, kind == 2 ? replaced : fallen_back) << "run " << run;
    EXPECT_EQ(wrong, 0) << "run " << run;
    EXPECT_TRUE(UnmapViewOfFile(const_cast<uint32_t *>(view)));
    if (HasFailure()) break;
  }
}
