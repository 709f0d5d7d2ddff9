/*
** log_file.cpp - the log record format and its file.
**
** A record's lines are formatted into one fixed buffer and handed to the
** file in one write, so that a writer killed at any moment leaves the
** record whole or absent; a record larger than the buffer goes out in
** buffer-sized pieces of whole lines. A write that fails or falls short
** (a full disk) cuts the file back to where the record began: no half
** record is left, and the record is counted as dropped. Nothing is
** allocated. The file is opened and closed for every record under its lock.
*/
#include "log_file.h"

#include <stdio.h>

#include "flsem.h"
#include "log.h"
#include "log_chk.h"
#include "log_msg.h"
#include "platform.h"
#include "sys.h"
#include "timelib.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source_name[] = "..\\..\\src\\log_file";
constexpr char RECORD_MARK[] = "------";
constexpr int LINE_SIZE = 192; /* the longest header is about 150 characters */
constexpr int PROCESS_SHOWN = 20;
constexpr int ORIGIN_WIDTH = 35; /* name and source file together, beyond it the source is cut */
constexpr int FULL_BYTES_PER_LINE = 16;

/*
** 4 KiB of record text (8 KiB once each line feed is stored as CR LF): a
** header, a description of a few lines and a full dump of some 600 bytes go
** out in one write. A page, so one write is one copy the system makes whole.
*/
constexpr int RECORD_SIZE = 4096;

int fd = -1; /* no log open */
uint32_t time_field[2];
char record[RECORD_SIZE];
int record_used = 0;
long record_start = 0;      /* the log's length before this record */
bool record_failed = false; /* a piece of it could not be written */

/* snprintf's count, held to what the buffer took */
int clamp(int n, int room) { return n < 0 ? 0 : (n >= room ? room - 1 : n); }

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

/* hands the buffered lines to the file */
void flush_record() {
  if (record_used > 0 && !record_failed &&
      sys__write(fd, record, (unsigned)record_used) != record_used)
    record_failed = true;
  record_used = 0;
}

/* a line joins the record; a full buffer goes out first (lines are never split) */
void write_line(const char *line, int len) {
  if (record_used + len > RECORD_SIZE) flush_record();
  memcpy(record + record_used, line, (size_t)len);
  record_used += len;
}

void full_dump(const unsigned char *data, int count) {
  static const char hex[] = "0123456789abcdef";
  for (int offset = 0; offset < count; offset += FULL_BYTES_PER_LINE) {
    /* the offset ("%03x") and 73 spaces, then the bytes put into their columns */
    char line[LINE_SIZE];
    int digits = clamp(snprintf(line, sizeof line, "%03x", (unsigned)offset), 16);
    /* offsets of five digits and more push the columns right, so one space always follows */
    int shift = digits > 4 ? digits - 4 : 0;
    int len = digits + 73 + shift + 1;
    memset(line + digits, ' ', (size_t)(len - 1 - digits));
    line[len - 1] = '\n';
    int n = count - offset < FULL_BYTES_PER_LINE ? count - offset : FULL_BYTES_PER_LINE;
    for (int j = 0; j < n; j++) {
      unsigned char b = data[offset + j];
      int col = shift + (j < 8 ? 5 + 3 * j : 7 + 3 * j);
      line[col] = hex[b >> 4];
      line[col + 1] = hex[b & 15];
      line[shift + 58 + j + (j < 8 ? 0 : 1)] = printable(b) ? (char)b : '.';
    }
    write_line(line, len);
  }
}

void short_dump(const unsigned char *data, int count) {
  int shown = count < LOG_FILE_SHORT_HEX_BYTES ? count : LOG_FILE_SHORT_HEX_BYTES;
  bool all_printable = true;
  char line[LINE_SIZE];
  int len = 0;
  line[len++] = '0';
  line[len++] = 'x';
  for (int i = 0; i < shown; i++) {
    len += clamp(snprintf(line + len, sizeof line - (size_t)len, "%02x", data[i]), 3);
    if (i % 4 == 3) line[len++] = ' ';
    all_printable = all_printable && printable(data[i]);
  }
  if (!all_printable) {
    line[len++] = '\n';
    write_line(line, len);
    return;
  }
  /* all printable: the data as text, cut into lines of 75 characters */
  len = 0;
  for (int i = 0; i < count; i++) {
    if (!printable(data[i])) {
      /* from the first unprintable byte on, bytes in hex while the line has room */
      for (int j = i; j < count && len < LOG_FILE_TEXT_WIDTH; j++)
        len += clamp(snprintf(line + len, sizeof line - (size_t)len, "<%02x>", data[j]), 5);
      line[len++] = '\n';
      write_line(line, len);
      return;
    }
    line[len++] = (char)data[i];
    if (len == LOG_FILE_TEXT_WIDTH) {
      line[len++] = '\n';
      write_line(line, len);
      len = 0;
    }
  }
  if (len > 0) {
    line[len++] = '\n';
    write_line(line, len);
  }
}

} // namespace

int log_file__open_log_file(const char *path, int max_size) {
  /* a path left without its file name (its directory took all the room) names no log:
     no lock file is made beside it */
  size_t length = strlen(path);
  if (length == 0 || path[length - 1] == VEZ_DIRSEP_CHAR) return LOG_FILE_OPEN_FAILED;
  char lock_name[LOG_CHK_NAME_SIZE];
  if (!log_chk__derived_name(lock_name, path, ".lok")) return LOG_FILE_LOCK_FAILED;
  int rc = flsem__wait_file_lock_sem(lock_name);
  if (rc == FLSEM_OPEN_FAILED) return LOG_FILE_OPEN_FAILED;
  if (rc != 0) return LOG_FILE_LOCK_FAILED;
  record_used = 0;
  record_failed = false;
  record_start = 0;
  fd = sys__open(path, _O_CREAT | _O_RDWR, 0666);
  if (fd >= 0) {
    rc = log_chk__check_log_file_size(path, fd, max_size, &record_start);
    if (rc == LOG_CHK_ROTATED) {
      fd = sys__creat(path, 0666);
      record_start = 0;
    } else if (rc != LOG_CHK_WITHIN_LIMIT) {
      /* the full log is kept and written on past its limit: a lost record could not be
         brought back, an oversized log can still be rotated once the rename works */
      log_msg__drops.rotation_failed++;
      if (rc == LOG_CHK_RENAME_FAILED)
        log__defer_error(source_name, 255, "Log file reach max, copy failed, writing on", path,
                         (int)strlen(path));
      fd = sys__open(path, _O_CREAT | _O_RDWR, 0666);
      if (fd >= 0) record_start = sys__lseek(fd, 0, 2);
    }
  }
  if (fd < 0 || record_start < 0) {
    if (fd >= 0) sys__close(fd);
    fd = -1;
    /* a lock kept after a failed open would refuse every later record */
    flsem__signal_file_lock_sem();
    return LOG_FILE_OPEN_FAILED;
  }
  return 0;
}

void log_file__write_header(int kind, int configured_level, int message_level, const char *process,
                            const char *source, int line, int error_code) {
  (void)kind; /* the format is the same for every log */
  timelib__get_timedate_dow(time_field);
  int hour = (int)(time_field[0] & 0xff), minute = (int)((time_field[0] >> 8) & 0xff);
  int second = (int)((time_field[0] >> 16) & 0xff);
  int month = (int)(time_field[1] >> 24), day = (int)((time_field[1] >> 16) & 0xff);

  char buf[LINE_SIZE];
  int len = clamp(snprintf(buf, sizeof buf, "%s%02d/%02d %02d:%02d:%02d  %2d/%-2d err:%-2d  ",
                           RECORD_MARK, month, day, hour, minute, second, message_level,
                           configured_level, error_code),
                  LINE_SIZE);
  char name[PROCESS_SHOWN + 1];
  strncpy(name, process != nullptr ? process : "", PROCESS_SHOWN);
  name[PROCESS_SHOWN] = '\0';
  if (source == nullptr) source = "";
  size_t name_len = strlen(name), source_len = strlen(source);
  int room = LINE_SIZE - len;
  if (source_len + name_len > (size_t)ORIGIN_WIDTH)
    len += clamp(snprintf(buf + len, (size_t)room, "%s(<%s:%d)\n", name,
                          source + source_len - (ORIGIN_WIDTH - 1 - name_len), line),
                 room);
  else
    len += clamp(snprintf(buf + len, (size_t)room, "%s(%s:%d)\n", name, source, line), room);
  write_line(buf, len);
}

/*
** "Desc:" and the description in lines of LOG_FILE_DESC_WIDTH characters,
** each after the first indented by five spaces. A line break in the
** description (LF, CR LF or a lone CR) starts such a continuation line too,
** so that only a header can begin a line with the record mark: no text a
** caller logs can pass for a record of its own. A reader tells the two
** apart by length: a full line was cut, a shorter one ended at a break (a
** piece that fills its last line exactly is followed by an empty line).
*/
void log_file__write_description(const char *description) {
  if (description == nullptr) description = "";
  const char *lead = "Desc:";
  char buf[LINE_SIZE];
  for (const char *piece = description;;) {
    size_t total = strcspn(piece, "\r\n"), done = 0;
    bool broken = piece[total] != '\0';
    do {
      size_t n = total - done < (size_t)LOG_FILE_DESC_WIDTH ? total - done : LOG_FILE_DESC_WIDTH;
      memcpy(buf, lead, 5);
      memcpy(buf + 5, piece + done, n);
      buf[5 + n] = '\n';
      write_line(buf, (int)(6 + n));
      lead = "     ";
      done += n;
    } while (done < total);
    if (!broken) break;
    if (total > 0 && total % LOG_FILE_DESC_WIDTH == 0) write_line("     \n", 6);
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
  bool failed = record_failed;
  /* still under the lock: the record's start is where the log ends again */
  if (failed) sys__chsize(fd, record_start);
  sys__close(fd);
  fd = -1;
  record_failed = false;
  int rc = flsem__signal_file_lock_sem();
  return failed ? LOG_FILE_WRITE_FAILED : rc;
}
