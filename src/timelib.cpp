/*
** timelib.cpp - time helpers.
**
** Each function reads the clock once and converts it to local calendar time
** at most once. The readable time is formatted here rather than by ctime,
** so that both builds give the same text with a zero-padded day of month
** ("Fri Sep 04 13:05:07 2026").
*/
#include "timelib.h"

#include "platform.h"

#include <stdio.h>
#include <string.h>

time_t timelib__fixed_time = 0;

namespace {

const char *const day_names[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

time_t now(void) { return timelib__fixed_time != 0 ? timelib__fixed_time : time(nullptr); }

/* the local calendar time of t; an all-zero record when the system cannot convert it. The
   zone is read once per process, not at every call */
struct tm local(time_t t) {
  /* records come many a second: the second converted last is kept */
  static thread_local time_t last_t = -1;
  static thread_local struct tm last_tm;
  if (t == last_t) return last_tm;
  struct tm tm;
  if (localtime_s(&tm, &t) != 0) {
    memset(&tm, 0, sizeof tm);
    tm.tm_mday = 1;
    return tm;
  }
  last_t = t;
  last_tm = tm;
  return tm;
}

} // namespace

void timelib__get_formatted_time(char *buf) {
  struct tm tm = local(now());
  char text[64];
  snprintf(text, sizeof text, "%.3s %.3s %02d %02d:%02d:%02d %4d\n",
           day_names[(unsigned)tm.tm_wday % 7], month_names[(unsigned)tm.tm_mon % 12], tm.tm_mday,
           tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
  strncpy(buf, text, TIMELIB_FORMATTED_SIZE);
  buf[TIMELIB_FORMATTED_SIZE - 1] = '\0';
  size_t len = strlen(buf);
  if (len > 0) buf[len - 1] = '\0';
}

time_t timelib__get_localtime_in_epoch(time_t t, int refresh) {
  static struct tm *ts = nullptr;
  if (t == 0) t = now();
  if (refresh == 1 || ts == nullptr) ts = localtime(&t);
  return t;
}

time_t timelib__get_unix_time(void) { return now(); }

int32_t timelib__get_secs_past_midnite(void) {
  struct tm tm = local(now());
  return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

uint32_t timelib__get_bitmap_time(void) {
  struct tm tm = local(now());
  return ((uint32_t)tm.tm_hour << 16) | ((uint32_t)tm.tm_min << 8) | (uint32_t)tm.tm_sec;
}

uint32_t timelib__get_bitmap_date(void) {
  struct tm tm = local(now());
  int year = tm.tm_year < 70 ? tm.tm_year + 2000 : tm.tm_year + 1900;
  return ((uint32_t)year << 16) | ((uint32_t)(tm.tm_mon + 1) << 8) | (uint32_t)tm.tm_mday;
}

void timelib__get_dow_timedate(uint32_t words[2]) {
  struct tm tm = local(now());
  words[0] = ((uint32_t)tm.tm_wday << 16) | ((uint32_t)tm.tm_sec << 8) | (uint32_t)tm.tm_min;
  words[1] = ((uint32_t)tm.tm_hour << 24) | ((uint32_t)(tm.tm_mon + 1) << 16) |
             ((uint32_t)tm.tm_mday << 8) | (uint32_t)tm.tm_year;
}

void timelib__get_timedate_dow(uint32_t words[2]) { timelib__timedate_dow_at(now(), words); }

void timelib__timedate_dow_at(time_t t, uint32_t words[2]) {
  struct tm tm = local(t);
  words[0] = ((uint32_t)tm.tm_sec << 16) | ((uint32_t)tm.tm_min << 8) | (uint32_t)tm.tm_hour;
  words[1] = ((uint32_t)(tm.tm_mon + 1) << 24) | ((uint32_t)tm.tm_mday << 16) |
             ((uint32_t)tm.tm_year << 8) | (uint32_t)tm.tm_wday;
}

time_t timelib__get_start_today(void) {
  time_t t = now();
  struct tm tm = local(t);
  return t - (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
}

void timelib__get_wday_hour(int *wday, int *hour) {
  struct tm tm = local(now());
  *wday = tm.tm_wday;
  *hour = tm.tm_hour;
}

time_t timelib__get_round_to_hour(void) {
  time_t t = now();
  struct tm tm = local(t);
  return t - (tm.tm_min * 60 + tm.tm_sec);
}

/* two-digit year: the year count would print as 126 from 2026 on */
void timelib__get_date_string(char *buf, char sep) {
  struct tm tm = local(now());
  char text[48];
  snprintf(text, sizeof text, "%02d%c%02d%c%02d", tm.tm_year % 100, sep, tm.tm_mon + 1, sep,
           tm.tm_mday);
  strncpy(buf, text, TIMELIB_DATE_SIZE - 1);
  buf[TIMELIB_DATE_SIZE - 1] = '\0';
}

time_t timelib__mktime(struct tm *tm) {
  if (tm != nullptr) return mktime(tm);
  struct tm cur = local(now());
  return mktime(&cur);
}

time_t timelib__header_time(const char *text, time_t now) {
  int v[5];
  static const int at[5] = {0, 3, 6, 9, 12};
  for (int i = 0; i < 5; i++) {
    char a = text[at[i]], b = text[at[i] + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return now;
    v[i] = (a - '0') * 10 + (b - '0');
  }
  struct tm today;
  if (localtime_s(&today, &now) != 0) return now;
  for (int back = 0; back < 2; back++) {
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = today.tm_year - back;
    t.tm_mon = v[0] - 1;
    t.tm_mday = v[1];
    t.tm_hour = v[2];
    t.tm_min = v[3];
    t.tm_sec = v[4];
    t.tm_isdst = -1;
    time_t when = mktime(&t);
    if (when != (time_t)-1 && when <= now + 24 * 3600) return when;
  }
  return now;
}
