/*
** log_line.cpp - the record format's lines, formatted in place.
**
** Numbers are written as the record's formats show them, straight into a
** line: every record has a dozen, and the C library's formatted printing
** cost more than all of a record's system calls together.
*/
#include "log_line.h"

#include "log_format.h"
#include "timelib.h"

namespace {

/* the longest header: numbers of 11 characters, every shown name byte as "<xx>" */
constexpr int HEADER_SIZE = 400;
constexpr int LINE_SIZE = 192; /* a description or dump line */

const char *const hex_digits = LOG_FORMAT_HEX_DIGITS;

/* as printf's "%Nd" (right) or "%-Nd" (left): v in at least width columns */
int put_aligned(char *out, long long v, int width, bool left) {
  char digits[LOG_FORMAT_DECIMAL_MAX];
  int n = log_format__put_decimal(digits, v), pad = width > n ? width - n : 0;
  if (!left) memset(out, ' ', (size_t)pad);
  memcpy(out + (left ? 0 : pad), digits, (size_t)n);
  if (left) memset(out + n, ' ', (size_t)pad);
  return n + pad;
}

/* as "%02d" */
int put_two(char *out, int v) {
  if (v < 0 || v > 99) return log_format__put_decimal(out, v);
  out[0] = (char)('0' + v / 10);
  out[1] = (char)('0' + v % 10);
  return 2;
}

/* as "%03llx": at least three lowercase hex digits */
int put_hex_offset(char *out, unsigned long long v) {
  char digits[20];
  int n = 0;
  do {
    digits[n++] = hex_digits[v & 15];
    v >>= 4;
  } while (v != 0);
  int len = 0;
  for (int pad = 3 - n; pad > 0; pad--)
    out[len++] = '0';
  while (n > 0)
    out[len++] = digits[--n];
  return len;
}

int byte_notation(char *out, unsigned char c) {
  out[0] = '<';
  out[1] = hex_digits[c >> 4];
  out[2] = hex_digits[c & 15];
  out[3] = '>';
  return LOG_FORMAT_BYTE_NOTATION_LEN;
}

/* a short-form text line; one that could pass for another kind of line has its first byte
   in the "<xx>" notation */
void write_text_line(log_record *r, const char *line, int len) {
  if (!log_format__text_misleads(line, (size_t)len)) {
    log_rec__line(r, line, (size_t)len);
    return;
  }
  char out[LINE_SIZE];
  int n = byte_notation(out, (unsigned char)line[0]);
  memcpy(out + n, line + 1, (size_t)len - 1);
  log_rec__line(r, out, (size_t)(n + len - 1));
}

/* a name of the header, each byte that could break the line written as "<xx>" */
int put_name(char *out, int room, const char *name, size_t n, bool process) {
  int len = 0;
  for (size_t i = 0; i < n && len + LOG_FORMAT_BYTE_NOTATION_LEN < room; i++) {
    unsigned char c = (unsigned char)name[i];
    if (log_format__name_byte_escaped(c, process))
      len += byte_notation(out + len, c);
    else
      out[len++] = (char)c;
  }
  return len;
}

/* each byte's two hex digits and the character the full form shows for it, looked up */
struct dump_tables {
  char hex[256][2];
  char shown[256];
};
const dump_tables &tables() {
  static const dump_tables t = [] {
    dump_tables d;
    for (int b = 0; b < 256; b++) {
      d.hex[b][0] = hex_digits[b >> 4];
      d.hex[b][1] = hex_digits[b & 15];
      d.shown[b] = log_format__printable((unsigned char)b) ? (char)b : '.';
    }
    return d;
  }();
  return t;
}

/* a line's hex column for 8 bytes, "xx xx xx xx xx xx xx xx ", and their characters */
void dump_half(char *hex, char *chars, const unsigned char *bytes, int n, const dump_tables &t) {
  for (int j = 0; j < n; j++) {
    memcpy(hex + 3 * j, t.hex[bytes[j]], 2);
    chars[j] = t.shown[bytes[j]];
  }
}

void full_dump(log_record *r, const unsigned char *data, int count) {
  const dump_tables &t = tables();
  /* the offset is wider than the count: the last line's start plus a line never overflows */
  for (long long offset = 0; offset < count; offset += LOG_FORMAT_FULL_BYTES) {
    /* the offset ("%03x") and 73 spaces, then the bytes put into their columns: in place */
    char at[24];
    int digits = put_hex_offset(at, (unsigned long long)offset);
    /* offsets of five digits and more push the columns right, so one space always follows */
    int shift = digits > 4 ? digits - 4 : 0;
    int len = digits + 73 + shift;
    char *line = log_rec__line_room(r, (size_t)len);
    memcpy(line, at, (size_t)digits);
    if (digits == 3)
      memset(line + 3, ' ', 73); /* a line of the first 4 KiB: its length is known */
    else
      memset(line + digits, ' ', (size_t)(len - digits));
    int n = count - offset < LOG_FORMAT_FULL_BYTES ? (int)(count - offset) : LOG_FORMAT_FULL_BYTES;
    int first = n < 8 ? n : 8;
    const unsigned char *bytes = data + offset;
    dump_half(line + shift + 5, line + shift + 58, bytes, first, t);
    dump_half(line + shift + 31, line + shift + 67, bytes + 8, n - first, t);
    log_rec__end_line(r, (size_t)len);
  }
}

void short_dump(log_record *r, const unsigned char *data, int count) {
  int shown = count < LOG_FORMAT_SHORT_HEX_BYTES ? count : LOG_FORMAT_SHORT_HEX_BYTES;
  bool all_printable = true;
  char line[LINE_SIZE];
  int len = 0;
  line[len++] = '0';
  line[len++] = 'x';
  for (int i = 0; i < shown; i++) {
    line[len++] = hex_digits[data[i] >> 4];
    line[len++] = hex_digits[data[i] & 15];
    if (i % 4 == 3) line[len++] = ' ';
    all_printable = all_printable && log_format__printable(data[i]);
  }
  if (!all_printable) {
    log_rec__line(r, line, (size_t)len);
    return;
  }
  /* all printable: the data as text, cut into lines of 75 characters */
  len = 0;
  for (int i = 0; i < count; i++) {
    if (!log_format__printable(data[i])) {
      /* from the first unprintable byte on, bytes in hex while the line has room */
      for (int j = i; j < count && len < LOG_FORMAT_TEXT_WIDTH; j++)
        len += byte_notation(line + len, data[j]);
      write_text_line(r, line, len);
      return;
    }
    line[len++] = (char)data[i];
    if (len == LOG_FORMAT_TEXT_WIDTH) {
      write_text_line(r, line, len);
      len = 0;
    }
  }
  if (len > 0) write_text_line(r, line, len);
}

} // namespace

void log_line__header(log_record *r, int configured_level, int message_level, const char *process,
                      const char *source, int line, int error_code) {
  /* a header after the first (the record after its loss record) is where the stamp says */
  if (r->second == 0 && r->written + r->used > 0) r->second = r->written + r->used;
  time_t now = timelib__get_unix_time();
  if (r->headers < 2) r->header_times[r->headers++] = now;
  uint32_t time_field[2];
  timelib__timedate_dow_at(now, time_field);
  int hour = (int)(time_field[0] & 0xff), minute = (int)((time_field[0] >> 8) & 0xff);
  int second = (int)((time_field[0] >> 16) & 0xff);
  int month = (int)(time_field[1] >> 24), day = (int)((time_field[1] >> 16) & 0xff);

  /* "------MM/DD hh:mm:ss  %2d/%-2d err:%-2d  ": the numbers take the room they need, and the
     buffer has room for the widest of each */
  char buf[HEADER_SIZE];
  int len = 0;
  memcpy(buf, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN);
  len += LOG_FORMAT_MARK_LEN;
  len += put_two(buf + len, month);
  buf[len++] = '/';
  len += put_two(buf + len, day);
  buf[len++] = ' ';
  len += put_two(buf + len, hour);
  buf[len++] = ':';
  len += put_two(buf + len, minute);
  buf[len++] = ':';
  len += put_two(buf + len, second);
  buf[len++] = ' ';
  buf[len++] = ' ';
  len += put_aligned(buf + len, message_level, 2, false);
  buf[len++] = '/';
  len += put_aligned(buf + len, configured_level, 2, true);
  memcpy(buf + len, " err:", 5);
  len += 5;
  len += put_aligned(buf + len, error_code, 2, true);
  buf[len++] = ' ';
  buf[len++] = ' ';
  if (process == nullptr) process = "";
  if (source == nullptr) source = "";
  size_t name_len = strnlen(process, LOG_FORMAT_PROCESS_SHOWN), source_len = strlen(source);
  len += put_name(buf + len, HEADER_SIZE - len, process, name_len, true);
  bool cut = source_len + name_len > (size_t)LOG_FORMAT_ORIGIN_WIDTH;
  size_t shown = cut ? LOG_FORMAT_ORIGIN_WIDTH - 1 - name_len : source_len;
  buf[len++] = '(';
  if (cut) buf[len++] = '<';
  /* the source's room keeps space for the line number after it */
  len += put_name(buf + len, HEADER_SIZE - len - 16, source + source_len - shown, shown, false);
  buf[len++] = ':';
  len += log_format__put_decimal(buf + len, line);
  buf[len++] = ')';
  log_rec__line(r, buf, (size_t)len);
}

/*
** "Desc:" and the description in lines of LOG_FORMAT_DESC_WIDTH characters,
** each after the first indented by five spaces. A line break in the
** description (LF, CR LF or a lone CR) starts such a continuation line too,
** so that only a header can begin a line with the record mark: no text a
** caller logs can pass for a record of its own. A reader tells the two
** apart by length: a full line was cut, a shorter one ended at a break (a
** piece that fills its last line exactly is followed by an empty line).
*/
void log_line__description(log_record *r, const char *description) {
  if (description == nullptr) description = "";
  const char *lead = LOG_FORMAT_DESC;
  char buf[LINE_SIZE];
  for (const char *piece = description;;) {
    size_t total = strcspn(piece, "\r\n"), done = 0;
    bool broken = piece[total] != '\0';
    do {
      size_t n = total - done < (size_t)LOG_FORMAT_DESC_WIDTH ? total - done
                                                              : (size_t)LOG_FORMAT_DESC_WIDTH;
      memcpy(buf, lead, LOG_FORMAT_LEAD_LEN);
      memcpy(buf + LOG_FORMAT_LEAD_LEN, piece + done, n);
      log_rec__line(r, buf, LOG_FORMAT_LEAD_LEN + n);
      lead = LOG_FORMAT_CONTINUATION;
      done += n;
    } while (done < total);
    if (!broken) break;
    if (total > 0 && total % LOG_FORMAT_DESC_WIDTH == 0)
      log_rec__line(r, LOG_FORMAT_CONTINUATION, LOG_FORMAT_LEAD_LEN);
    piece += total;
    piece += piece[0] == '\r' && piece[1] == '\n' ? 2 : 1;
  }
}

void log_line__hex_dump(log_record *r, const void *data, int count, int hex_dumps) {
  if (count <= 0 || data == nullptr) return;
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  if (hex_dumps == 1)
    full_dump(r, bytes, count);
  else
    short_dump(r, bytes, count);
}
