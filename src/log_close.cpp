/*
** log_close.cpp - closing the intervals of sealing.
**
** The closer holds the state file's lock for the whole close: two closers
** never close one interval twice, and a closer that finds it held leaves
** the work to its holder. The key of each interval closed is used for its
** close and then evolved over; the state file gets the key of now's
** interval last, once every close is in the closes file.
*/
#include "log_close.h"

#include <stdio.h>
#include <string.h>

#include <initializer_list>

#include "log_file.h"
#include "log_sealw.h"
#include "platform.h"

namespace {

/* a closer waits this long at most for the state file's lock */
constexpr DWORD STATE_LOCK_WAIT = 1000;
/* intervals closed in one go at most: a clock gone years ahead is not followed close by close */
constexpr uint64_t CLOSES_MAX = 200000;
constexpr int NAME_SIZE = 260;

/* the logs of a close being made, with where each one's chain ends: the closer's */
struct named_log {
  char path[NAME_SIZE];
  log_file_chain chain;
};
named_log found[LOG_CLOSE_LOGS_MAX];
int found_count = 0;
unsigned char previous[LOG_CLOSE_SIZE_MAX]; /* the last close, as read back */

void add_log(const char *path) {
  size_t n = strlen(path);
  if (n == 0 || n >= NAME_SIZE || found_count == LOG_CLOSE_LOGS_MAX) return;
  for (int i = 0; i < found_count; i++)
    if (strcmp(found[i].path, path) == 0) return;
  memcpy(found[found_count].path, path, n + 1);
  found_count++;
}

/* every log of the directory of path with a sidecar of seals (its own or its old copy's) */
void add_sealed_beside(const char *path) {
  char pattern[NAME_SIZE + 8];
  const char *sep = strrchr(path, VEZ_DIRSEP_CHAR);
  size_t dir = sep != nullptr ? (size_t)(sep - path) + 1 : 0;
  if (dir + 7 >= sizeof pattern) return;
  memcpy(pattern, path, dir);
  memcpy(pattern + dir, "*.seal", 7);
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(pattern, &data);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    char log[NAME_SIZE];
    size_t n = strlen(data.cFileName);
    const size_t suffix = sizeof LOG_SEAL_SUFFIX - 1, old = sizeof LOG_SEAL_OLD_SUFFIX - 1;
    if (n <= suffix || strcmp(data.cFileName + n - suffix, LOG_SEAL_SUFFIX) != 0) continue;
    n -= n > old && strcmp(data.cFileName + n - old, LOG_SEAL_OLD_SUFFIX) == 0 ? old : suffix;
    if (dir + n + 1 > sizeof log || n == 0) continue;
    memcpy(log, path, dir);
    memcpy(log + dir, data.cFileName, n);
    log[dir + n] = '\0';
    add_log(log);
  } while (FindNextFileA(h, &data));
  FindClose(h);
}

/* the logs the close at offset at covered (read whole into previous) */
void add_logs_of_close(HANDLE closes, uint64_t at) {
  LONG high = (LONG)(at >> 32);
  if (SetFilePointer(closes, (LONG)(uint32_t)at, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != 0)
    return;
  DWORD got = 0;
  log_seal_close head;
  if (!ReadFile(closes, &head, sizeof head, &got, nullptr) || got != sizeof head ||
      memcmp(head.magic, LOG_SEAL_CLOSE_MAGIC, sizeof head.magic) != 0 ||
      head.length > sizeof previous || head.length < sizeof head)
    return;
  memcpy(previous, &head, sizeof head);
  if (!ReadFile(closes, previous + sizeof head, head.length - (DWORD)sizeof head, &got, nullptr) ||
      got != head.length - sizeof head)
    return;
  size_t p = sizeof head;
  for (uint32_t i = 0; i < head.logs && p + sizeof(log_seal_close_log) <= head.length; i++) {
    log_seal_close_log l;
    memcpy(&l, previous + p, sizeof l);
    p += sizeof l;
    if (l.name_length >= NAME_SIZE || p + l.name_length > head.length) return;
    char name[NAME_SIZE];
    memcpy(name, previous + p, l.name_length);
    name[l.name_length] = '\0';
    add_log(name);
    p += (l.name_length + 7) / 8 * 8;
  }
}

/* a close of epoch made of what was found; its length (0: no room) */
size_t build_close(unsigned char *out, const log_seal_state &st, uint64_t epoch, time_t now) {
  log_seal_close head = {};
  memcpy(head.magic, LOG_SEAL_CLOSE_MAGIC, sizeof head.magic);
  head.version = 1;
  head.epoch = epoch;
  head.made = (int64_t)now;
  head.interval = st.interval;
  memcpy(head.id, st.id, LOG_SEAL_ID);
  memcpy(head.prev, st.close_tag, LOG_SEAL_KEY);
  size_t p = sizeof head;
  for (int i = 0; i < found_count; i++) {
    const named_log &n = found[i];
    if (!n.chain.sealed && !n.chain.held) continue;
    size_t name = strlen(n.path), padded = (name + 7) / 8 * 8;
    if (p + sizeof(log_seal_close_log) + padded > LOG_CLOSE_SIZE_MAX) return 0;
    log_seal_close_log l = {};
    l.generation = n.chain.generation;
    l.seq = n.chain.seq;
    memcpy(l.tag, n.chain.tag, LOG_SEAL_KEY);
    l.name_length = (uint32_t)name;
    l.flags = n.chain.held ? LOG_SEAL_CLOSE_HELD : 0;
    memcpy(out + p, &l, sizeof l);
    p += sizeof l;
    memset(out + p, 0, padded);
    memcpy(out + p, n.path, name);
    p += padded;
    head.logs++;
  }
  head.length = (uint32_t)p;
  memcpy(out, &head, sizeof head);
  return p;
}

bool write_at(HANDLE h, uint64_t at, const void *bytes, size_t n) {
  LONG high = (LONG)(at >> 32);
  SetLastError(0);
  if (SetFilePointer(h, (LONG)(uint32_t)at, &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      GetLastError() != 0)
    return false;
  DWORD written = 0;
  return WriteFile(h, bytes, (DWORD)n, &written, nullptr) && written == n;
}

uint64_t size_of(HANDLE h) {
  DWORD high = 0;
  DWORD low = GetFileSize(h, &high);
  return low == INVALID_FILE_SIZE ? 0 : ((uint64_t)high << 32) | low;
}

} // namespace

bool log_close__due(time_t now) {
  long long epoch = log_sealw__file_epoch();
  return epoch >= 0 && log_sealw__epoch_now(now) > epoch;
}

int log_close__close(const char *data_file, const char *const *logs, int count, time_t now,
                     uint32_t wait, bool may_defer, log_close_result *out) {
  char state_path[NAME_SIZE], closes_path[NAME_SIZE];
  if (!log_seal__beside(data_file, LOG_SEAL_STATE_NAME, state_path, sizeof state_path) ||
      !log_seal__beside(data_file, LOG_SEAL_CLOSES_NAME, closes_path, sizeof closes_path))
    return LOG_CLOSE_NO_STATE;
  HANDLE h =
      CreateFileA(state_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LOG_CLOSE_NO_STATE;
  OVERLAPPED whole = {};
  DWORD waited = GetTickCount();
  while (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                     &whole)) {
    if (GetTickCount() - waited >= STATE_LOCK_WAIT) {
      CloseHandle(h);
      return LOG_CLOSE_BUSY;
    }
    Sleep(1);
  }
  int rc = LOG_CLOSE_NOTHING;
  log_seal_state st;
  DWORD got = 0;
  HANDLE closes = INVALID_HANDLE_VALUE;
  long long target = -1;
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !ReadFile(h, &st, sizeof st, &got, nullptr) || got != sizeof st ||
      memcmp(st.magic, LOG_SEAL_STATE_MAGIC, sizeof st.magic) != 0 || st.interval == 0) {
    rc = LOG_CLOSE_NO_STATE;
    goto done;
  }
  target = log_seal__epoch_of(now, st.start, st.interval);
  if (target <= (long long)st.epoch) {
    log_sealw__file_evolved(st.epoch);
    goto done;
  }
  if ((uint64_t)target - st.epoch > CLOSES_MAX) {
    rc = LOG_CLOSE_FAILED;
    goto done;
  }
  closes = CreateFileA(closes_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (closes == INVALID_HANDLE_VALUE) {
    rc = LOG_CLOSE_FAILED;
    goto done;
  }
  /* the logs: the ones named, every sealed one beside them, every one the last close had */
  found_count = 0;
  for (int i = 0; i < count; i++)
    add_log(logs[i]);
  if (st.close_at < size_of(closes)) add_logs_of_close(closes, st.close_at);
  for (int i = 0, named = found_count; i < named; i++)
    add_sealed_beside(found[i].path);
  out->held = 0;
  for (int i = 0; i < found_count; i++) {
    found[i].chain = log_file_chain();
    /* a log with no lock file and no seals is none to close (nothing is made for it) */
    bool any = false;
    for (const char *suffix : {".lok", LOG_SEAL_SUFFIX, LOG_SEAL_OLD_SUFFIX}) {
      char name[NAME_SIZE + 16];
      size_t n = strlen(found[i].path), k = strlen(suffix);
      memcpy(name, found[i].path, n); /* a path of the table: shorter than NAME_SIZE */
      memcpy(name + n, suffix, k + 1);
      any = any || GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
    }
    if (!any) continue;
    log_file__settle(found[i].path, wait, &found[i].chain);
    if (found[i].chain.held) out->held++;
  }
  if (out->held > 0 && may_defer) {
    /* half of what is left before the close is late is left to the timer and other writers */
    int64_t late =
        st.start + (int64_t)((st.epoch + 2) * st.interval) + log_seal__close_slack(st.interval);
    int64_t ended = st.start + (int64_t)((st.epoch + 1) * st.interval);
    if ((int64_t)now < ended + (late - ended) / 2) {
      rc = LOG_CLOSE_DEFERRED;
      goto done;
    }
  }
  out->first = st.epoch;
  rc = LOG_CLOSE_DONE;
  for (uint64_t e = st.epoch; e < (uint64_t)target; e++) {
    size_t n = build_close(out->close, st, e, now);
    log_seal_close *head = reinterpret_cast<log_seal_close *>(out->close);
    uint64_t at = size_of(closes);
    if (n == 0 || !log_seal__close_tag(st.key, out->close, n, head->tag) ||
        !write_at(closes, at, out->close, n) || !log_seal__evolve(st.key)) {
      rc = LOG_CLOSE_FAILED;
      break;
    }
    memcpy(st.close_tag, head->tag, LOG_SEAL_KEY);
    st.close_at = at;
    st.epoch = e + 1;
    out->length = n;
    out->last = e;
    out->logs = (int)head->logs;
  }
  /* the state's key evolved last: never past a close that is not written */
  if (st.epoch > out->first && !write_at(h, 0, &st, sizeof st)) rc = LOG_CLOSE_FAILED;
  if (st.epoch > out->first) log_sealw__file_evolved(st.epoch);
done:
  log_seal__wipe(&st, sizeof st);
  if (closes != INVALID_HANDLE_VALUE) CloseHandle(closes);
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
  CloseHandle(h);
  return rc;
}
