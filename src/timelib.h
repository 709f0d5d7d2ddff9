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

/* Every function reads the clock once; calendar fields are local time, as struct tm
   counts them (tm_year from 1900, tm_wday 0 = Sunday) unless said otherwise. */

/* "Fri Sep 04 13:05:07 2026" into buf (TIMELIB_FORMATTED_SIZE bytes), no line feed */
void timelib__get_formatted_time(char *buf);
/* t, or the clock when t is 0; refresh 1 converts it to local time again */
time_t timelib__get_localtime_in_epoch(time_t t, int refresh);
/* the clock, in seconds since 1970 */
time_t timelib__get_unix_time(void);
/* seconds since local midnight */
int32_t timelib__get_secs_past_midnite(void);
/* hour << 16 | minute << 8 | second */
uint32_t timelib__get_bitmap_time(void);
/* full year (years below 70 count as 20yy) << 16 | month 1-12 << 8 | day of month */
uint32_t timelib__get_bitmap_date(void);
/* words[0] = weekday << 16 | second << 8 | minute;
   words[1] = hour << 24 | month 1-12 << 16 | day of month << 8 | tm_year (low 8 bits) */
void timelib__get_dow_timedate(uint32_t words[2]);
/* words[0] = second << 16 | minute << 8 | hour;
   words[1] = month 1-12 << 24 | day of month << 16 | tm_year (low 8 bits) << 8 | weekday.
   The record header reads its time from this layout. */
void timelib__get_timedate_dow(uint32_t words[2]);
/* the same of time t, not the clock */
void timelib__timedate_dow_at(time_t t, uint32_t words[2]);
/* the clock less the seconds since local midnight */
time_t timelib__get_start_today(void);
/* weekday (0 = Sunday) and hour, local */
void timelib__get_wday_hour(int *wday, int *hour);
/* the clock less the minutes and seconds of the hour */
time_t timelib__get_round_to_hour(void);
/* "yy?mm?dd" with sep for "?" into buf (TIMELIB_DATE_SIZE bytes) */
void timelib__get_date_string(char *buf, char sep);
/* mktime of tm, or of the local time now when tm is null */
time_t timelib__mktime(struct tm *tm);
/* the local time a header shows, "MM/DD hh:mm:ss" (its 14 characters): a header has no year,
   so the year that puts it no more than a day ahead of now; now when the text is no time */
time_t timelib__header_time(const char *text, time_t now);

#endif /* VEZ_TIMELIB_H */
