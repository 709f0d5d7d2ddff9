/*
** log_chk.cpp - size limit and rotation. The check runs under the log's
** lock before each record, so a file can pass its limit by one record.
*/
#include "log_chk.h"

#include "log.h"
#include "platform.h"
#include "sys.h"
#include "vezlog.h"

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\log_chk";
constexpr int REPORTED_NAME_BYTES = 256;

} // namespace

bool log_chk__derived_name(char name[LOG_CHK_NAME_SIZE], const char *path, const char *suffix) {
  memset(name, 0, LOG_CHK_NAME_SIZE);
  size_t p = strlen(path), s = strlen(suffix);
  if (p + s + 1 > (size_t)LOG_CHK_NAME_SIZE) return false;
  memcpy(name, path, p);
  memcpy(name + p, suffix, s);
  return true;
}

int log_chk__check_log_file_size(const char *path, int fd, int max_size) {
  char old_name[LOG_CHK_NAME_SIZE];
  /* no ".old" name, no rotation: the log is never renamed onto itself or cut */
  if (!log_chk__derived_name(old_name, path, ".old")) {
    sys__lseek(fd, 0, 2);
    return LOG_CHK_WITHIN_LIMIT;
  }
  long size = sys__lseek(fd, 0, 2);
  /* the limit in bytes is worked out wide, so no setting overflows it */
  long long limit = (long long)max_size * 512;
  /* after a failed seek the position is unknown: rotate rather than write over the start */
  if (size >= 0 && (long long)size <= limit) return LOG_CHK_WITHIN_LIMIT;
  sys__close(fd);
  _unlink(old_name);
  if (rename(path, old_name) != 0) {
    log__report_error(source, 144, "rename failed on file", old_name, REPORTED_NAME_BYTES);
    return LOG_CHK_RENAME_FAILED;
  }
  return LOG_CHK_ROTATED;
}
