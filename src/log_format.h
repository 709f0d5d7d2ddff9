/*
** log_format.h - the log record format's markers and widths, defined once
** for the writer (log_file) and every reader of the logs (vezcat).
**
** A record is a header line, one or more description lines and any dump
** lines, each stored with CR LF. Only a header starts with the record
** mark; only the first description line starts with "Desc:"; only a
** description continuation starts with five spaces. The writer keeps
** every other line from starting so: a text line of the short dump that
** would, and any byte of a name that would break the header, is written
** in the dump's own notation for one byte, "<xx>".
*/
#ifndef VEZ_LOG_FORMAT_H
#define VEZ_LOG_FORMAT_H

#include <stddef.h>
#include <string.h>

constexpr char LOG_FORMAT_MARK[] = "------"; /* the start of a header line */
constexpr int LOG_FORMAT_MARK_LEN = 6;
constexpr char LOG_FORMAT_DESC[] = "Desc:";         /* the first description line */
constexpr char LOG_FORMAT_CONTINUATION[] = "     "; /* each further description line */
constexpr int LOG_FORMAT_LEAD_LEN = 5;
constexpr char LOG_FORMAT_LINE_END[] = "\r\n"; /* stored after every line, on every platform */
constexpr int LOG_FORMAT_LINE_END_LEN = 2;

constexpr int LOG_FORMAT_DESC_WIDTH = 70;    /* description characters on one line */
constexpr int LOG_FORMAT_PROCESS_SHOWN = 20; /* characters of the process name shown */
constexpr int LOG_FORMAT_ORIGIN_WIDTH =
    35;                                   /* name and source together; past it the source is cut */
constexpr int LOG_FORMAT_FULL_BYTES = 16; /* data bytes on one full-form dump line */
constexpr int LOG_FORMAT_FULL_LINE = 76;  /* a full-form dump line before its line end */
constexpr int LOG_FORMAT_SHORT_HEX_BYTES = 32;  /* bytes the short form's hex line shows */
constexpr int LOG_FORMAT_TEXT_WIDTH = 75;       /* characters of a short-form text line */
constexpr char LOG_FORMAT_HEX_LEAD[] = "0x";    /* the short form's hex line */
constexpr int LOG_FORMAT_BYTE_NOTATION_LEN = 4; /* "<xx>" */

/* the dumps' hex digits, and every other hex number of the format's: lowercase */
constexpr char LOG_FORMAT_HEX_DIGITS[] = "0123456789abcdef";

constexpr int LOG_FORMAT_DECIMAL_MAX = 20; /* a long long in decimal, its sign included */

/* v in decimal, a minus sign first when negative, into out (room for
   LOG_FORMAT_DECIMAL_MAX); its length. Numbers are written without printf,
   which costs more than the rest of a record's formatting. */
inline int log_format__put_decimal(char *out, long long v) {
  char digits[LOG_FORMAT_DECIMAL_MAX];
  int n = 0;
  unsigned long long u = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
  do {
    digits[n++] = (char)('0' + u % 10);
    u /= 10;
  } while (u != 0);
  int len = 0;
  if (v < 0) out[len++] = '-';
  while (n > 0)
    out[len++] = digits[--n];
  return len;
}

/* a byte that may stand in a line as itself */
inline bool log_format__printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

/*
** Whether a short-form text line that begins with these n bytes could be
** taken for another kind of line: a header, a description line or
** continuation, or the hex line of the short form. Such a line has its
** first byte written as "<xx>".
*/
inline bool log_format__text_misleads(const char *s, size_t n) {
  auto starts = [&](const char *lead, size_t len) { return n >= len && memcmp(s, lead, len) == 0; };
  return starts(LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN) ||
         starts(LOG_FORMAT_DESC, LOG_FORMAT_LEAD_LEN) ||
         starts(LOG_FORMAT_CONTINUATION, LOG_FORMAT_LEAD_LEN) || starts(LOG_FORMAT_HEX_LEAD, 2);
}

/*
** Whether a byte of the header's process name is written as "<xx>": a
** byte that could end the line (CR, LF) or that is no character, and "(",
** which would end the name early for a reader.
*/
inline bool log_format__name_byte_escaped(unsigned char c, bool process) {
  return !log_format__printable(c) || (process && c == '(');
}

#endif /* VEZ_LOG_FORMAT_H */
