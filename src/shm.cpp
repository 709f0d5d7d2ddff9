/*
** shm.cpp - the shared settings segment and its data file.
**
** A process maps the data file at most once; every attach after the first
** only counts, and the detach that brings the count to 0 unmaps. Failures
** are reported through the error log while the error level in force is 1.
*/
#include "shm.h"

#include "log.h"
#include "log_cfg.h"
#include "platform.h"

ErrorAuditSegment *shm__pMemorySeg = nullptr;
char shm__data_file[SHM_PATH_SIZE];
int32_t shm__nMemoryCount = 0;
uint32_t shm__attach_error = 0;

namespace {

/* each report names its module and line as a fixed reference that operators and
   tools match on: the numbers must not follow this file's own lines */
const char source[] = "..\\..\\src\\shm";

/* what a view reads once its data file is cut under it: the library's built-in defaults */
const ErrorAuditSegment *fallback = nullptr;

/* what a look at the data file found, not yet said (each said once) */
bool cut_seen = false, cut_said = false;
bool replaced_unsaid = false;
bool removed_seen = false, removed_said = false;
time_t next_look = 0; /* a data file no longer at its name is looked for once a second */

void report(int line, const char *message, const void *data, int length) {
  log__report_error(source, line, message, data, length);
}

/* the data file mapped whole; null (and shm__attach_error, and a report unless quiet) when
   it cannot be */
ErrorAuditSegment *map_segment(const char *file, int size, bool quiet = false) {
  auto report = [quiet](int line, const char *message, const void *data, int length) {
    if (!quiet) ::report(line, message, data, length);
  };
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  shm__attach_error = 0;
  HANDLE file_h =
      CreateFileA(file, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  shm__attach_error = GetLastError();
  bool created = false;
  if (file_h == INVALID_HANDLE_VALUE && size > 0) {
    file_h = CreateFileA(file, access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    shm__attach_error = GetLastError();
    created = file_h != INVALID_HANDLE_VALUE;
    /* made by another process since the first open: open what it made */
    if (file_h == INVALID_HANDLE_VALUE && shm__attach_error == ERROR_FILE_EXISTS) {
      file_h =
          CreateFileA(file, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      shm__attach_error = GetLastError();
    }
  }
  if (file_h == INVALID_HANDLE_VALUE) {
    report(219, "CreateFile() failed", nullptr, 0);
    return nullptr;
  }
  /* mapped at its length, a file shorter than the segment would leave its end unmapped */
  if (size == 0) {
    DWORD high = 0;
    DWORD low = GetFileSize(file_h, &high);
    if (low == INVALID_FILE_SIZE || (high == 0 && low < sizeof(ErrorAuditSegment))) {
      shm__attach_error = ERROR_FILE_INVALID;
      CloseHandle(file_h);
      report(214, "CreateFileMapping() failed", nullptr, 0);
      return nullptr;
    }
  }
  HANDLE mapping = CreateFileMappingA(file_h, nullptr, PAGE_READWRITE, 0, (DWORD)size, nullptr);
  shm__attach_error = GetLastError();
  CloseHandle(file_h);
  /* a data file this call made but could not give its space (a full disk) is not left
     half-made for every later process to trip over */
  if (mapping == nullptr && created) _unlink(file);
  if (mapping == nullptr) {
    report(214, "CreateFileMapping() failed", nullptr, 0);
    return nullptr;
  }
  void *view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  shm__attach_error = GetLastError();
  CloseHandle(mapping);
  if (view == nullptr) {
    report(209, "MapViewOfFile() failed", nullptr, 0);
    return nullptr;
  }
  /* a data file cut while it is mapped leaves the view on the fallback, whole */
  if (fallback != nullptr) VezSetViewFallback(view, fallback, sizeof *fallback);
  shm__attach_error = 0;
  return static_cast<ErrorAuditSegment *>(view);
}

} // namespace

void shm__set_fallback(const ErrorAuditSegment *defaults) { fallback = defaults; }

ErrorAuditSegment *shm__attach_shared_mem(const char *file, int size) {
  if (shm__nMemoryCount > 0) {
    shm__nMemoryCount++;
    return shm__pMemorySeg;
  }
  ErrorAuditSegment *segment = map_segment(file, size);
  if (segment == nullptr) return shm__pMemorySeg;
  shm__pMemorySeg = segment;
  shm__nMemoryCount = 1;
  snprintf(shm__data_file, sizeof shm__data_file, "%s", file);
  return shm__pMemorySeg;
}

int shm__check_segment(void) {
  if (shm__pMemorySeg == nullptr) return SHM_WHOLE;
  int state = VezViewCheck(shm__pMemorySeg);
  if (state == VEZ_VIEW_CUT) {
    cut_seen = true;
    return SHM_CUT;
  }
  if (state != VEZ_VIEW_GONE) return SHM_WHOLE;
  /* removed, or replaced by another file: the one at the name now, if there is one. The old
     view stays mapped: other threads may be reading a level through it this moment. */
  time_t now = time(nullptr);
  if (now < next_look) return SHM_WHOLE;
  next_look = now + 1;
  uint32_t error = shm__attach_error;
  /* not reported here: a missing file is said once, after the record */
  ErrorAuditSegment *fresh = map_segment(shm__data_file, 0, true);
  shm__attach_error = error;
  if (fresh == nullptr) {
    removed_seen = true;
    return SHM_WHOLE;
  }
  shm__pMemorySeg = fresh;
  replaced_unsaid = true;
  removed_seen = removed_said = false;
  return SHM_REPLACED;
}

void shm__detach_shared_mem(void) {
  shm__nMemoryCount--;
  if (shm__nMemoryCount > 0) return;
  if (shm__nMemoryCount == 0) {
    UnmapViewOfFile(shm__pMemorySeg);
    shm__pMemorySeg = nullptr;
    shm__data_file[0] = '\0';
    return;
  }
  /* the count is put right before the report, which may itself attach */
  int32_t count = shm__nMemoryCount;
  shm__nMemoryCount = 0;
  report(322, "shm__nMemoryCount is less than 0!", &count, sizeof count);
}

bool shm__segment_lost(void) { return shm__pMemorySeg != nullptr && VezViewLost(shm__pMemorySeg); }

void shm__report_if_lost(void) {
  if (!cut_said && (cut_seen || shm__segment_lost())) {
    cut_said = true;
    report(340, "Data file cut while mapped, built-in defaults used", nullptr, 0);
  }
  if (replaced_unsaid) {
    replaced_unsaid = false;
    report(345, "Data file replaced while mapped, the new one used", shm__data_file,
           (int)strlen(shm__data_file));
  }
  if (removed_seen && !removed_said) {
    removed_said = true;
    report(350, "Data file removed while mapped, its last settings kept", shm__data_file,
           (int)strlen(shm__data_file));
  }
}

void shm__data_file_path(char path[SHM_PATH_SIZE]) {
  char dir[SHM_PATH_SIZE];
  bool have_dir = log_cfg__read_text("LOG_DIRNAME", dir, SHM_PATH_SIZE);
  if (log_cfg__read_text("LOG_DATAFILE", path, SHM_PATH_SIZE)) return;
  if (!have_dir) {
    DWORD n = GetTempPathA(SHM_PATH_SIZE, dir);
    if (n == 0 || n >= (DWORD)SHM_PATH_SIZE) strcpy(dir, ".");
  }
  path[0] = '\0';
  log_cfg__append_piece(path, SHM_PATH_SIZE, dir);
  log_cfg__append_piece(path, SHM_PATH_SIZE, VEZ_DIRSEP);
  log_cfg__append_piece(path, SHM_PATH_SIZE, SHM_DATAFILE);
}

void shm__set_notification_device(ErrorInfo *info, const char *name) {
  strncpy(info->notification_device, name, SHM_DEVICE_COPY);
  info->notification_device[SHM_DEVICE_COPY - 1] = '\0';
}
