/*
** vezcat_find.cpp - finding the logs: those the library names for this
** program and for every process of the process-index table, and every
** other file beside them that holds records of the format (the audit log
** of a process outside the table is named after that process alone).
*/
#include <string.h>

#include "log_cfg.h"
#include "log_errf.h"
#include "log_format.h"
#include "platform.h"
#include "vezcat.h"

namespace {

constexpr int NAME_SIZE = 260;
/* a file is taken for a log when its first line is a header of the format */
constexpr DWORD FIRST_LINE_MAX = 512;

bool ends_with(const std::string &s, const char *tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool add_log(std::vector<vezcat__log> *logs, const std::string &path, vezcat__kind kind,
             bool known = true) {
  for (const vezcat__log &l : *logs)
    if (l.path == path) return false;
  vezcat__log l;
  l.path = path;
  l.kind = kind;
  l.kind_known = known;
  logs->push_back(l);
  return true;
}

/* the three logs of a process of this name (nullptr: of this program), as it names them */
size_t logs_of(const char *program, std::vector<vezcat__log> *logs) {
  char cache[LOG_PATH_SIZE], path[LOG_PATH_SIZE];
  size_t added = 0;
  cache[0] = '\0';
  log_errf__cached_path(cache, path, "ERRORLOGFILE", "error", program);
  added += add_log(logs, path, VEZCAT_ERROR);
  if (program != nullptr) {
    cache[0] = '\0';
    log_errf__cached_path(cache, path, "AUDITLOGFILE", program, program);
    added += add_log(logs, path, VEZCAT_AUDIT);
  }
  cache[0] = '\0';
  log_errf__cached_path(cache, path, nullptr, "kp_dvmsgs", program);
  added += add_log(logs, path, VEZCAT_DEVMSG);
  return added;
}

/* whether a file's first line is a header of the format */
bool holds_records(const std::string &path) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char first[FIRST_LINE_MAX];
  DWORD n = 0;
  bool ok = GetFileType(h) == FILE_TYPE_DISK && ReadFile(h, first, sizeof first, &n, nullptr);
  CloseHandle(h);
  if (!ok) return false;
  const char *nl = static_cast<const char *>(memchr(first, '\n', n));
  if (nl == nullptr) return false;
  std::vector<logparse__record> recs;
  size_t damaged = 0;
  logparse__parse(std::string(first, (size_t)(nl + 1 - first)) + "Desc:\r\n", false, &recs,
                  &damaged);
  return recs.size() == 1 && damaged == 0;
}

/* the directory of a log path, with its separator */
std::string dir_of(const std::string &path) {
  size_t sep = path.find_last_of("/\\");
  return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

/* every file of dir that holds records and is no log's lock or old copy */
size_t scan(const std::string &dir, std::vector<vezcat__log> *logs) {
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((dir + "*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return 0;
  size_t added = 0;
  do {
    std::string name = found.cFileName, path = dir + name;
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0 ||
        ends_with(name, ".lok") || ends_with(name, ".old"))
      continue;
    bool known = false;
    for (const vezcat__log &l : *logs)
      known = known || l.path == path;
    bool named_kind = false;
    vezcat__kind kind = vezcat_find__kind_of(path, &named_kind);
    if (!known && holds_records(path)) added += add_log(logs, path, kind, named_kind);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return added;
}

} // namespace

vezcat__kind vezcat_find__kind_of(const std::string &path, bool *known) {
  std::string base = path.substr(path.find_last_of("/\\") + 1);
  if (ends_with(base, ".old")) base.resize(base.size() - 4);
  /* a central rsyslog names what it gathers "vezlog-" and the log's name */
  if (base.compare(0, 7, "vezlog-") == 0) base.erase(0, 7);
  char error_name[LOG_FILE_NAME_SIZE];
  if (!log_cfg__read_text("ERRORLOGFILE", error_name, sizeof error_name))
    strcpy(error_name, "error");
  vezcat__kind kind = base == "kp_dvmsgs"  ? VEZCAT_DEVMSG
                      : base == error_name ? VEZCAT_ERROR
                                           : VEZCAT_AUDIT;
  if (known != nullptr) *known = kind != VEZCAT_AUDIT;
  return kind;
}

size_t vezcat_find__logs(std::vector<vezcat__log> *logs) {
  size_t added = logs_of(nullptr, logs);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LOG_CFG_INDEX_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (DWORD i = 0;; i++) {
      char name[NAME_SIZE];
      DWORD size = sizeof name;
      LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      if (rc == ERROR_SUCCESS) added += logs_of(name, logs);
    }
    RegCloseKey(key);
  }
  std::vector<std::string> dirs;
  for (const vezcat__log &l : *logs) {
    std::string d = dir_of(l.path);
    bool seen = false;
    for (const std::string &x : dirs)
      seen = seen || x == d;
    if (!seen && !d.empty()) dirs.push_back(d);
  }
  for (const std::string &d : dirs)
    added += scan(d, logs);
  return added;
}
