/*
** log_file.cpp - the log record format and its file.
**
** A record's lines are formatted, CR LF and all, into one buffer and handed
** to the file in one write, opened for appending in binary mode: a record
** is stored as it was formatted, at the end of the log, whatever another
** writer does. The buffer is a fixed one for records of up to 4 KiB of
** text; a larger record takes a heap buffer of its size for that write.
** A write that fails or falls short (a full disk) cuts the file back to
** where the record began, and the record is counted as dropped.
**
** A writer killed inside its write can leave a torn record. The next
** writer, holding the lock, finds that the log does not end with a line
** end and cuts it back to the start of the torn record (or, where that
** start cannot be found, ends the torn line) before it appends: no header
** is ever glued to half a line, and the cut is counted as mended.
*/
#include "log_file.h"

#include <stdio.h>

#include "flsem.h"
#include "log.h"
#include "log_chk.h"
#include "log_format.h"
#include "log_msg.h"
#include "platform.h"
#include "sys.h"
#include "timelib.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source_name[] = "..\\..\\src\\log_file";
/* the longest header: numbers of 11 characters, every shown name byte as "<xx>" */
constexpr int HEADER_SIZE = 400;
constexpr int LINE_SIZE = 192; /* a description or dump line */

/* every log is opened so: created when missing, never cut, written at its end as stored */
constexpr int LOG_OPEN_FLAGS = _O_CREAT | _O_RDWR | _O_APPEND | _O_BINARY;

/*
** 4 KiB of record text, each line end stored as CR LF: a header, a
** description of a few lines and a full dump of some 600 bytes fit without
** any allocation. A larger record is formatted into a heap buffer of its
** size, up to RECORD_HEAP_MAX; past that (or without the memory) it goes
** out in pieces, still under the lock and at the log's end.
*/
constexpr size_t RECORD_SIZE = 8192;
constexpr size_t RECORD_HEAP_MAX = (size_t)64 << 20;
/* no single write is asked for more than the system writes at once */
constexpr unsigned WRITE_MAX = 1u << 30;

/* how far back from a torn end the start of its record is looked for */
constexpr long MEND_WINDOW = 65536;
/* times a lock file found replaced under its holder is taken again */
constexpr int LOCK_TAKES = 4;

int fd = -1; /* no log open */
uint32_t time_field[2];
char record_fixed[RECORD_SIZE];
char *record = record_fixed;
size_t record_cap = RECORD_SIZE;
size_t record_used = 0;
long record_start = 0;      /* the log's length before this record */
bool record_failed = false; /* a piece of it could not be written */
char tail[MEND_WINDOW];

/* snprintf's count, held to what the buffer took */
int clamp(int n, int room) { return n < 0 ? 0 : (n >= room ? room - 1 : n); }

bool write_all(const char *p, size_t n) {
  while (n > 0) {
    unsigned chunk = n > WRITE_MAX ? WRITE_MAX : (unsigned)n;
    int w = sys__write(fd, p, chunk);
    if (w <= 0) return false;
    p += w;
    n -= (size_t)w;
  }
  return true;
}

/* hands the buffered bytes to the file */
void flush_record() {
  if (record_used > 0 && !record_failed && !write_all(record, record_used)) record_failed = true;
  record_used = 0;
}

/* room for need bytes in all: a larger buffer, or the buffered bytes written out */
void make_room(size_t need) {
  if (need <= record_cap) return;
  size_t cap = record_cap;
  while (cap < need && cap < RECORD_HEAP_MAX)
    cap *= 2;
  char *bigger = need <= cap ? static_cast<char *>(malloc(cap)) : nullptr;
  if (bigger == nullptr) {
    flush_record();
    return;
  }
  memcpy(bigger, record, record_used);
  if (record != record_fixed) free(record);
  record = bigger;
  record_cap = cap;
}

void release_buffer() {
  if (record != record_fixed) free(record);
  record = record_fixed;
  record_cap = RECORD_SIZE;
  record_used = 0;
}

void put(const char *bytes, size_t len) {
  make_room(record_used + len);
  memcpy(record + record_used, bytes, len);
  record_used += len;
}

/* a line joins the record with its stored line end */
void write_line(const char *line, size_t len) {
  make_room(record_used + len + LOG_FORMAT_LINE_END_LEN);
  put(line, len);
  put(LOG_FORMAT_LINE_END, LOG_FORMAT_LINE_END_LEN);
}

int byte_notation(char *out, unsigned char c) {
  static const char hex[] = "0123456789abcdef";
  out[0] = '<';
  out[1] = hex[c >> 4];
  out[2] = hex[c & 15];
  out[3] = '>';
  return LOG_FORMAT_BYTE_NOTATION_LEN;
}

/* a short-form text line; one that could pass for another kind of line has its first byte
   in the "<xx>" notation */
void write_text_line(const char *line, int len) {
  if (!log_format__text_misleads(line, (size_t)len)) {
    write_line(line, (size_t)len);
    return;
  }
  char out[LINE_SIZE];
  int n = byte_notation(out, (unsigned char)line[0]);
  memcpy(out + n, line + 1, (size_t)len - 1);
  write_line(out, (size_t)(n + len - 1));
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

void full_dump(const unsigned char *data, int count) {
  static const char hex[] = "0123456789abcdef";
  for (int offset = 0; offset < count; offset += LOG_FORMAT_FULL_BYTES) {
    /* the offset ("%03x") and 73 spaces, then the bytes put into their columns */
    char line[LINE_SIZE];
    int digits = clamp(snprintf(line, sizeof line, "%03x", (unsigned)offset), 16);
    /* offsets of five digits and more push the columns right, so one space always follows */
    int shift = digits > 4 ? digits - 4 : 0;
    int len = digits + 73 + shift;
    memset(line + digits, ' ', (size_t)(len - digits));
    int n = count - offset < LOG_FORMAT_FULL_BYTES ? count - offset : LOG_FORMAT_FULL_BYTES;
    for (int j = 0; j < n; j++) {
      unsigned char b = data[offset + j];
      int col = shift + (j < 8 ? 5 + 3 * j : 7 + 3 * j);
      line[col] = hex[b >> 4];
      line[col + 1] = hex[b & 15];
      line[shift + 58 + j + (j < 8 ? 0 : 1)] = log_format__printable(b) ? (char)b : '.';
    }
    write_line(line, (size_t)len);
  }
}

void short_dump(const unsigned char *data, int count) {
  int shown = count < LOG_FORMAT_SHORT_HEX_BYTES ? count : LOG_FORMAT_SHORT_HEX_BYTES;
  bool all_printable = true;
  char line[LINE_SIZE];
  int len = 0;
  line[len++] = '0';
  line[len++] = 'x';
  for (int i = 0; i < shown; i++) {
    len += clamp(snprintf(line + len, sizeof line - (size_t)len, "%02x", data[i]), 3);
    if (i % 4 == 3) line[len++] = ' ';
    all_printable = all_printable && log_format__printable(data[i]);
  }
  if (!all_printable) {
    write_line(line, (size_t)len);
    return;
  }
  /* all printable: the data as text, cut into lines of 75 characters */
  len = 0;
  for (int i = 0; i < count; i++) {
    if (!log_format__printable(data[i])) {
      /* from the first unprintable byte on, bytes in hex while the line has room */
      for (int j = i; j < count && len < LOG_FORMAT_TEXT_WIDTH; j++)
        len += byte_notation(line + len, data[j]);
      write_text_line(line, len);
      return;
    }
    line[len++] = (char)data[i];
    if (len == LOG_FORMAT_TEXT_WIDTH) {
      write_text_line(line, len);
      len = 0;
    }
  }
  if (len > 0) write_text_line(line, len);
}

/*
** Where the torn record at the end of the log begins: the last line that
** starts with the record mark, or the torn line itself when it holds no
** more than the start of one (a header cut in its first bytes). -1 when
** none lies within the last MEND_WINDOW bytes.
*/
long torn_record_start(long size) {
  long from = size > MEND_WINDOW ? size - MEND_WINDOW : 0;
  size_t n = (size_t)(size - from);
  if (sys__lseek(fd, from, 0) != from || sys__read(fd, tail, (unsigned)n) != (int)n) return -1;
  size_t last_line = n;
  while (last_line > 0 && tail[last_line - 1] != '\n')
    last_line--;
  bool torn_is_mark = last_line < n && n - last_line < (size_t)LOG_FORMAT_MARK_LEN &&
                      memcmp(tail + last_line, LOG_FORMAT_MARK, n - last_line) == 0;
  if (torn_is_mark && (last_line > 0 || from == 0)) return from + (long)last_line;
  for (size_t s = last_line;; s--) {
    bool line_start = s == 0 ? from == 0 : tail[s - 1] == '\n';
    if (line_start && n - s >= (size_t)LOG_FORMAT_MARK_LEN &&
        memcmp(tail + s, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN) == 0)
      return from + (long)s;
    if (s == 0) return -1;
  }
}

/*
** The log's length once its end is whole: a log that does not end with a
** line end was torn by a writer that died inside its write, and is cut
** back to where the torn record began; where that cannot be found or the
** log cannot be cut (an append-only file), the torn line is ended, so the
** next header starts a line of its own. -1 when the length is unknown.
*/
long mend_tail() {
  long at = sys__lseek(fd, -LOG_FORMAT_LINE_END_LEN, 2);
  long size;
  if (at >= 0) {
    char end[LOG_FORMAT_LINE_END_LEN];
    size = at + LOG_FORMAT_LINE_END_LEN;
    if (sys__read(fd, end, sizeof end) != (int)sizeof end ||
        memcmp(end, LOG_FORMAT_LINE_END, sizeof end) == 0)
      return size;
  } else {
    size = sys__lseek(fd, 0, 2); /* shorter than a line end: empty, or torn */
    if (size <= 0) return size;
  }
  log_msg__lost(&log_msg__drops.mended);
  long start = torn_record_start(size);
  if (start >= 0 && sys__chsize(fd, start) == 0) return start;
  return write_all(LOG_FORMAT_LINE_END, LOG_FORMAT_LINE_END_LEN) ? size + LOG_FORMAT_LINE_END_LEN
                                                                 : size;
}

/* with the lock held: the log open at its end, whole, rotated when full */
int open_locked(const char *path, int max_size) {
  fd = sys__open(path, LOG_OPEN_FLAGS, 0666);
  if (fd < 0) return LOG_FILE_OPEN_FAILED;
  /* where the lock file can be removed under its holder, two writers that both believe they
     hold it still take turns here: none sees another's record half written */
  VezLockOpenFile(fd);
  long size = mend_tail();
  int rc = log_chk__check_log_file_size(path, fd, max_size, size);
  if (rc == LOG_CHK_WITHIN_LIMIT) {
    record_start = size;
    return 0;
  }
  if (rc != LOG_CHK_ROTATED) {
    /* the full log is kept and written on past its limit: a lost record could not be
       brought back, an oversized log can still be rotated once the move works */
    log_msg__drops.rotation_failed++;
    if (rc == LOG_CHK_RENAME_FAILED)
      log__defer_error(source_name, 255, "Log file reach max, copy failed, writing on", path,
                       (int)strlen(path));
  }
  fd = sys__open(path, LOG_OPEN_FLAGS, 0666);
  if (fd < 0) return LOG_FILE_OPEN_FAILED;
  VezLockOpenFile(fd);
  record_start = sys__lseek(fd, 0, 2);
  if (record_start < 0) {
    sys__close(fd);
    fd = -1;
    return LOG_FILE_OPEN_FAILED;
  }
  return 0;
}

} // namespace

int log_file__open_log_file(const char *path, int max_size) {
  /* a path left without its file name (its directory took all the room) names no log:
     no lock file is made beside it */
  size_t length = strlen(path);
  if (length == 0 || path[length - 1] == VEZ_DIRSEP_CHAR) return LOG_FILE_OPEN_FAILED;
  char lock_name[LOG_CHK_NAME_SIZE];
  if (!log_chk__derived_name(lock_name, path, ".lok")) return LOG_FILE_LOCK_FAILED;
  record_used = 0;
  record_failed = false;
  for (int take = 1;; take++) {
    int rc = flsem__wait_file_lock_sem(lock_name);
    if (rc == FLSEM_OPEN_FAILED) return LOG_FILE_OPEN_FAILED;
    if (rc != 0) return LOG_FILE_LOCK_FAILED;
    rc = open_locked(path, max_size);
    if (rc != 0) {
      /* a lock kept after a failed open would refuse every later record */
      flsem__signal_file_lock_sem();
      return rc;
    }
    /* a lock file removed or replaced (by a cleaner, an operator) while it was taken no
       longer keeps the other writers out: the lock is taken again on the file now there */
    if (flsem__lock_is_current(lock_name) || take == LOCK_TAKES) return 0;
    sys__close(fd);
    fd = -1;
    flsem__signal_file_lock_sem();
  }
}

void log_file__write_header(int kind, int configured_level, int message_level, const char *process,
                            const char *source, int line, int error_code) {
  (void)kind; /* the format is the same for every log */
  timelib__get_timedate_dow(time_field);
  int hour = (int)(time_field[0] & 0xff), minute = (int)((time_field[0] >> 8) & 0xff);
  int second = (int)((time_field[0] >> 16) & 0xff);
  int month = (int)(time_field[1] >> 24), day = (int)((time_field[1] >> 16) & 0xff);

  char buf[HEADER_SIZE];
  int len = clamp(snprintf(buf, sizeof buf, "%s%02d/%02d %02d:%02d:%02d  %2d/%-2d err:%-2d  ",
                           LOG_FORMAT_MARK, month, day, hour, minute, second, message_level,
                           configured_level, error_code),
                  HEADER_SIZE);
  if (process == nullptr) process = "";
  if (source == nullptr) source = "";
  size_t name_len = strnlen(process, LOG_FORMAT_PROCESS_SHOWN), source_len = strlen(source);
  len += put_name(buf + len, HEADER_SIZE - len, process, name_len, true);
  bool cut = source_len + name_len > (size_t)LOG_FORMAT_ORIGIN_WIDTH;
  size_t shown = cut ? LOG_FORMAT_ORIGIN_WIDTH - 1 - name_len : source_len;
  len +=
      clamp(snprintf(buf + len, (size_t)(HEADER_SIZE - len), cut ? "(<" : "("), HEADER_SIZE - len);
  len += put_name(buf + len, HEADER_SIZE - len, source + source_len - shown, shown, false);
  len += clamp(snprintf(buf + len, (size_t)(HEADER_SIZE - len), ":%d)", line), HEADER_SIZE - len);
  write_line(buf, (size_t)len);
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
void log_file__write_description(const char *description) {
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
      write_line(buf, LOG_FORMAT_LEAD_LEN + n);
      lead = LOG_FORMAT_CONTINUATION;
      done += n;
    } while (done < total);
    if (!broken) break;
    if (total > 0 && total % LOG_FORMAT_DESC_WIDTH == 0)
      write_line(LOG_FORMAT_CONTINUATION, LOG_FORMAT_LEAD_LEN);
    piece += total;
    piece += piece[0] == '\r' && piece[1] == '\n' ? 2 : 1;
  }
}

void log_file__write_hex_dump(const void *data, int count, const AuditInfo *settings) {
  if (count <= 0 || data == nullptr) return;
  const unsigned char *bytes = static_cast<const unsigned char *>(data);
  if (settings->hex_dumps == 1)
    full_dump(bytes, count);
  else
    short_dump(bytes, count);
}

int log_file__close_log_file(void) {
  flush_record();
  release_buffer();
  bool failed = record_failed;
  /* still under the lock: the record's start is where the log ends again */
  if (failed) sys__chsize(fd, record_start);
  sys__close(fd);
  fd = -1;
  record_failed = false;
  int rc = flsem__signal_file_lock_sem();
  return failed ? LOG_FILE_WRITE_FAILED : rc;
}
