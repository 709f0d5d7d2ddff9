/*
** timelib.h - time stamps for log records and notices, and clock readings
** in packed and counted forms for the programs that link the library.
*/
#ifndef VEZ_TIMELIB_H
#define VEZ_TIMELIB_H

#include <stdint.h>
#include <time.h>

/* room for the readable time: 24 characters, a line feed and a terminator */
constexpr int TIMELIB_FORMATTED_SIZE = 26;
/* room for timelib__get_date_string: "yy?mm?dd" and a terminator */
constexpr int TIMELIB_DATE_SIZE = 9;

/*
** When not 0, every function reads this time value instead of the system
** clock. Replays and tests set it; the library never does.
*/
extern time_t timelib__fixed_time;

void timelib__get_formatted_time(char *buf);
time_t timelib__get_localtime_in_epoch(time_t t, int refresh);
time_t timelib__get_unix_time(void);
int32_t timelib__get_secs_past_midnite(void);
uint32_t timelib__get_bitmap_time(void);
uint32_t timelib__get_bitmap_date(void);
void timelib__get_dow_timedate(uint32_t words[2]);
void timelib__get_timedate_dow(uint32_t words[2]);
time_t timelib__get_start_today(void);
void timelib__get_wday_hour(int *wday, int *hour);
time_t timelib__get_round_to_hour(void);
void timelib__get_date_string(char *buf, char sep);
time_t timelib__mktime(struct tm *tm);

#endif /* VEZ_TIMELIB_H */
