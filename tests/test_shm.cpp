/*
** test_shm.cpp - the settings segment: where its data file lies, one view
** per process with a reference count, and the tool's accessors.
*/
#include "testenv.h"
#include "segment.h"

#include "log_util.h"
#include "platform.h"
#include "shm.h"

using testenv::audit_at;
using testenv::HEX_DUMPS;
using testenv::LEVEL;
using testenv::MAX_FILE_SIZE;
using testenv::PRODUCT_KEY;
using testenv::Test;

class Segment : public Test {
protected:
  void TearDown() override {
    while (shm__nMemoryCount > 0)
      shm__detach_shared_mem();
    Test::TearDown();
  }
  std::string data_path() {
    char p[SHM_PATH_SIZE];
    shm__data_file_path(p);
    return p;
  }
};

TEST_F(Segment, DefaultDataFileIsInTheTemporaryDirectoryAfterASecondSeparator) {
  char tmp[MAX_PATH];
  GetTempPathA(sizeof tmp, tmp);
  EXPECT_EQ(data_path(), std::string(tmp) + VEZ_DIRSEP + "datafile.dat");
  EXPECT_EQ(tmp[strlen(tmp) - 1], VEZ_DIRSEP_CHAR);
}

TEST_F(Segment, DataFileSettingWinsOverDirectory) {
  testenv::reg_set_string(PRODUCT_KEY, "LOG_DIRNAME", "somedir");
  EXPECT_EQ(data_path(), std::string("somedir") + VEZ_DIRSEP + "datafile.dat");
  testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", "exact.dat");
  EXPECT_EQ(data_path(), "exact.dat");
}

TEST_F(Segment, LongDirectoryLosesWholePiecesNeverPartOfThem) {
  struct {
    size_t dir;
    bool sep, name;
  } cases[] = {{246, true, true}, {247, true, false}, {258, true, false}, {259, false, false}};
  for (auto c : cases) {
    std::string dir(c.dir, 'd');
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DIRNAME", dir);
    std::string want = dir + (c.sep ? VEZ_DIRSEP : "") + (c.name ? "datafile.dat" : "");
    EXPECT_EQ(data_path(), want) << c.dir;
  }
}

TEST_F(Segment, AttachWithSizeCreatesZeroFileOnlyThen) {
  std::string f = path("seg.dat");
  EXPECT_EQ(shm__attach_shared_mem(f.c_str(), 0), nullptr);
  EXPECT_FALSE(testenv::file_exists(f));
  EXPECT_EQ(shm__nMemoryCount, 0);
  ErrorAuditSegment *s = shm__attach_shared_mem(f.c_str(), 1052);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(testenv::read_file(f), std::string(1052, '\0'));
  s->audit[3].level = 0x01020304;
  shm__detach_shared_mem();
  EXPECT_EQ(testenv::read_file(f).substr(audit_at(3, LEVEL), 4), "\x04\x03\x02\x01");
}

TEST_F(Segment, OneViewPerProcessCountedAndFirstFileWins) {
  std::string a = path("a.dat"), b = path("b.dat");
  ErrorAuditSegment *first = shm__attach_shared_mem(a.c_str(), 1052);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(shm__attach_shared_mem(b.c_str(), 1052), first);
  EXPECT_FALSE(testenv::file_exists(b));
  EXPECT_EQ(shm__nMemoryCount, 2);
  shm__detach_shared_mem();
  EXPECT_EQ(shm__pMemorySeg, first);
  shm__detach_shared_mem();
  EXPECT_EQ(shm__pMemorySeg, nullptr);
  EXPECT_EQ(shm__nMemoryCount, 0);
}

TEST_F(Segment, DetachWithoutAttachLeavesCountAtZero) {
  shm__detach_shared_mem();
  EXPECT_EQ(shm__nMemoryCount, 0);
  EXPECT_EQ(shm__pMemorySeg, nullptr);
}

TEST_F(Segment, ShortOrEmptyFileIsRefusedAtItsLengthAndGrownBySize) {
  std::string f = path("short.dat");
  for (size_t len : {0, 1, 100, 1051}) {
    testenv::write_file(f, std::string(len, 'x'));
    EXPECT_EQ(shm__attach_shared_mem(f.c_str(), 0), nullptr) << len;
    EXPECT_EQ(testenv::file_size(f), (long long)len) << "the library neither grows nor maps it";
  }
  testenv::write_file(f, std::string(1053, 'y'));
  ErrorAuditSegment *s = shm__attach_shared_mem(f.c_str(), 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->audit[64].max_file_size, 0x79797979);
  shm__detach_shared_mem();
  testenv::write_file(f, "ab");
  ASSERT_NE(shm__attach_shared_mem(f.c_str(), 1052), nullptr);
  shm__detach_shared_mem();
  std::string grown = testenv::read_file(f);
  EXPECT_EQ(grown, "ab" + std::string(1050, '\0'));
}

TEST_F(Segment, DeviceNameIsCutTo254AndPadded) {
  ErrorInfo info;
  memset(&info, 'q', sizeof info);
  shm__set_notification_device(&info, std::string(300, 'n').c_str());
  EXPECT_EQ(std::string(info.notification_device, 254), std::string(254, 'n'));
  EXPECT_EQ(info.notification_device[254], '\0');
  EXPECT_EQ(info.notification_device[255], 'q') << "record byte 271 is never written";
  shm__set_notification_device(&info, "ab");
  EXPECT_EQ(std::string(info.notification_device, 255), "ab" + std::string(253, '\0'));
}

class Accessors : public Segment {
protected:
  void SetUp() override {
    Segment::SetUp();
    testenv::reg_set_string(PRODUCT_KEY, "LOG_DATAFILE", path("seg.dat"));
  }
  void TearDown() override {
    log_util__shut_error_audit();
    Segment::TearDown();
  }
};

TEST_F(Accessors, EverythingNeedsAnAttach) {
  ErrorInfo e;
  AuditInfo a;
  int32_t v = 1;
  EXPECT_EQ(log_util__peek_error(&e), -2);
  EXPECT_EQ(log_util__peek_audit(0, &a), -2);
  EXPECT_EQ(log_util__poke_error(0, &v), -2);
  EXPECT_EQ(log_util__poke_audit(99, 7, &v), -2) << "attachment is checked first";
  ASSERT_EQ(log_util__init_error_audit(), 0);
  EXPECT_EQ(log_util__peek_error(&e), 0);
  log_util__shut_error_audit();
  EXPECT_EQ(log_util__peek_error(&e), -2);
  EXPECT_EQ(shm__nMemoryCount, 0);
}

TEST_F(Accessors, IndexAndFieldChecks) {
  ASSERT_EQ(log_util__init_error_audit(), 0);
  AuditInfo a;
  int32_t v = 9;
  EXPECT_EQ(log_util__peek_audit(64, &a), -3);
  EXPECT_EQ(log_util__peek_audit(-1, &a), -3);
  EXPECT_EQ(log_util__poke_audit(65, 0, &v), -3);
  EXPECT_EQ(log_util__poke_audit(-1, 0, &v), -3);
  EXPECT_EQ(log_util__poke_audit(64, 3, &v), -4);
  EXPECT_EQ(log_util__poke_audit(5, -1, &v), -4);
  EXPECT_EQ(log_util__poke_error(5, &v), -4);
  EXPECT_EQ(log_util__poke_error(-1, &v), -4);
  EXPECT_EQ(testenv::read_file(path("seg.dat")), std::string(1052, '\0')) << "nothing written";
}

TEST_F(Accessors, AllIndexesWritesSlots0To63Only) {
  ASSERT_EQ(log_util__init_error_audit(), 0);
  shm__pMemorySeg->audit[64].level = 77;
  int32_t v = 12;
  EXPECT_EQ(log_util__poke_audit(64, 1, &v), 0);
  for (int i = 0; i < 64; i++) {
    AuditInfo a;
    ASSERT_EQ(log_util__peek_audit(i, &a), 0);
    EXPECT_EQ(a.level, 12);
    EXPECT_EQ(a.hex_dumps, 0);
  }
  EXPECT_EQ(shm__pMemorySeg->audit[64].level, 77);
}

TEST_F(Accessors, PokesWriteTheirOwnFieldOnly) {
  ASSERT_EQ(log_util__init_error_audit(), 0);
  int32_t v[5] = {10, 11, 12, 13, 14};
  EXPECT_EQ(log_util__poke_error(0, &v[0]), 0);
  EXPECT_EQ(log_util__poke_error(1, &v[1]), 0);
  EXPECT_EQ(log_util__poke_error(2, &v[2]), 0);
  EXPECT_EQ(log_util__poke_error(4, &v[4]), 0);
  EXPECT_EQ(log_util__poke_error(3, "DEV"), 0);
  ErrorInfo e;
  ASSERT_EQ(log_util__peek_error(&e), 0);
  EXPECT_EQ(e.hex_dumps, 10);
  EXPECT_EQ(e.level, 11);
  EXPECT_EQ(e.max_file_size, 12);
  EXPECT_EQ(e.error_notification, 14);
  EXPECT_STREQ(e.notification_device, "DEV");
  EXPECT_EQ(log_util__poke_audit(7, 2, &v[3]), 0);
  AuditInfo a;
  ASSERT_EQ(log_util__peek_audit(7, &a), 0);
  EXPECT_EQ(a.max_file_size, 13);
  EXPECT_EQ(a.level, 0);
}
