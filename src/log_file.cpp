/*
** log_file.cpp - the log record format and its file.
**
** Each line is formatted in a fixed buffer on the stack and handed to the
** file in one write; nothing is allocated. The file is opened and closed
** for every record, so other processes see each record whole once the lock
** is released.
*/
#include "log_file.h"

#include <stdio.h>

#include "flsem.h"
#include "log.h"
#include "log_chk.h"
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

int fd = -1; /* no log open */
uint32_t time_field[2];

/* snprintf's count, held to what the buffer took */
int clamp(int n, int room) { return n < 0 ? 0 : (n >= room ? room - 1 : n); }

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

void write_line(const char *line, int len) { sys__write(fd, line, (unsigned)len); }

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
  if (flsem__wait_file_lock_sem(lock_name) != 0) return LOG_FILE_LOCK_FAILED;
  fd = sys__open(path, _O_CREAT | _O_RDWR, 0666);
  if (fd < 0) {
    /* a lock kept after a failed open would refuse every later record */
    flsem__signal_file_lock_sem();
    return LOG_FILE_OPEN_FAILED;
  }
  int rc = log_chk__check_log_file_size(path, fd, max_size);
  if (rc == LOG_CHK_WITHIN_LIMIT) return 0;
  if (rc != LOG_CHK_ROTATED)
    log__report_error(source_name, 255, "Log file reach max, copy failed, removing it", path,
                      (int)strlen(path));
  fd = sys__creat(path, 0666);
  if (fd < 0) {
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

void log_file__write_description(const char *description) {
  if (description == nullptr) description = "";
  size_t total = strlen(description), done = 0;
  char buf[LINE_SIZE];
  do {
    const char *lead = done == 0 ? "Desc:" : "     ";
    size_t n = total - done < (size_t)LOG_FILE_DESC_WIDTH ? total - done : LOG_FILE_DESC_WIDTH;
    memcpy(buf, lead, 5);
    memcpy(buf + 5, description + done, n);
    buf[5 + n] = '\n';
    write_line(buf, (int)(6 + n));
    done += n;
  } while (done < total);
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
  sys__close(fd);
  fd = -1;
  return flsem__signal_file_lock_sem();
}
