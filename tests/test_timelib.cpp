/*
** test_timelib.cpp - packed and readable time stamps, read from a fixed
** clock set to a local calendar time so that any time zone gives the same.
*/
#include "testenv.h"

#include <string.h>

#include "timelib.h"

namespace {

class Time : public ::testing::Test {
protected:
  void at(int year, int mon, int mday, int hour, int min, int sec) {
    timelib__fixed_time = testenv::local_time(year, mon, mday, hour, min, sec);
  }
  void TearDown() override { timelib__fixed_time = 0; }
};

} // namespace

TEST_F(Time, FormattedTimePadsTheDayWithZero) {
  at(2026, 9, 4, 13, 5, 7);
  char buf[TIMELIB_FORMATTED_SIZE];
  memset(buf, 'x', sizeof buf);
  timelib__get_formatted_time(buf);
  EXPECT_STREQ(buf, "Fri Sep 04 13:05:07 2026");
  EXPECT_EQ(strlen(buf), 24u);
}

TEST_F(Time, BitmapTimeAndDate) {
  at(2026, 9, 14, 13, 5, 7);
  EXPECT_EQ(timelib__get_bitmap_time(), 0x0D0507u);
  EXPECT_EQ(timelib__get_bitmap_date(), 0x07EA090Eu);
  EXPECT_EQ(timelib__get_secs_past_midnite(), 13 * 3600 + 5 * 60 + 7);
}

TEST_F(Time, PackedWordsOfBothOrders) {
  at(2026, 9, 14, 13, 5, 7);
  uint32_t w[2];
  timelib__get_timedate_dow(w);
  EXPECT_EQ(w[0], 0x0007050Du);
  EXPECT_EQ(w[1], 0x090E7E01u);
  unsigned char b[8];
  memcpy(b, w, 8);
  const unsigned char memory_order[8] = {13, 5, 7, 0, 1, 126, 14, 9};
  EXPECT_EQ(memcmp(b, memory_order, 8), 0) << "little-endian bytes as the header reads them";
  timelib__get_dow_timedate(w);
  EXPECT_EQ(w[0], 0x00010705u);
  EXPECT_EQ(w[1], 0x0D090E7Eu);
  int wday = -1, hour = -1;
  timelib__get_wday_hour(&wday, &hour);
  EXPECT_EQ(wday, 1);
  EXPECT_EQ(hour, 13);
}

TEST_F(Time, HourAndDayAreCutDownNeverRounded) {
  at(2026, 9, 14, 13, 59, 59);
  EXPECT_EQ(timelib__get_round_to_hour(), testenv::local_time(2026, 9, 14, 13, 0, 0));
  EXPECT_EQ(timelib__get_start_today(), testenv::local_time(2026, 9, 14, 0, 0, 0));
}

TEST_F(Time, EpochGivesNowForZeroAndTheValueOtherwise) {
  at(2026, 9, 14, 13, 5, 7);
  EXPECT_EQ(timelib__get_localtime_in_epoch(0, 1), timelib__fixed_time);
  EXPECT_EQ(timelib__get_localtime_in_epoch(12345, 0), 12345);
  EXPECT_EQ(timelib__get_unix_time(), timelib__fixed_time);
  EXPECT_EQ(timelib__mktime(nullptr), timelib__fixed_time);
}

TEST_F(Time, DateStringHasTwoDigitYear) {
  at(2026, 9, 4, 1, 2, 3);
  char buf[TIMELIB_DATE_SIZE];
  timelib__get_date_string(buf, '-');
  EXPECT_STREQ(buf, "26-09-04");
}

TEST_F(Time, SystemClockWhenNotFixed) {
  time_t before = time(nullptr);
  time_t got = timelib__get_unix_time();
  EXPECT_GE(got, before);
  EXPECT_LE(got, time(nullptr));
}
