/*
** shm.cpp - the shared settings segment and its data file.
**
** A process maps the data file at most once; every attach after the first
** only counts, and the detach that brings the count to 0 unmaps. What
** fails or is found here is handed back to the caller to report (through
** the error log while the error level in force is 1): this module calls
** nothing above it.
*/
#include "shm.h"

#include "log_cfg.h"
#include "platform.h"

ErrorAuditSegment *shm__pMemorySeg = nullptr;
char shm__data_file[SHM_PATH_SIZE];
int32_t shm__nMemoryCount = 0;
uint32_t shm__attach_error = 0;

namespace {

/* the reports of this module: each names its line as a fixed reference that operators and
   tools match on (the numbers must not follow this file's own lines) */
constexpr shm_report CREATE_FAILED = {219, "CreateFile() failed", false};
constexpr shm_report MAPPING_FAILED = {214, "CreateFileMapping() failed", false};
constexpr shm_report VIEW_FAILED = {209, "MapViewOfFile() failed", false};
constexpr shm_report COUNT_BELOW_ZERO = {322, "shm__nMemoryCount is less than 0!", false};
constexpr shm_report CUT = {340, "Data file cut while mapped, built-in defaults used", false};
constexpr shm_report REPLACED = {345, "Data file replaced while mapped, the new one used", true};
constexpr shm_report REMOVED = {350, "Data file removed while mapped, its last settings kept",
                                true};

/* what a view reads once its data file is cut under it: the library's built-in defaults */
const ErrorAuditSegment *fallback = nullptr;

/* what a look at the data file found, not yet said (each said once) */
bool cut_seen = false, cut_said = false;
unsigned replaced_unsaid = 0; /* replacements followed and not yet told, each told */
bool removed_seen = false, removed_said = false;
time_t next_look = 0; /* a data file no longer at its name is looked for once a second */

constexpr DWORD ACCESS = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE;

/* the data file opened (made where size > 0 and it is missing); *created set */
HANDLE open_data_file(const char *file, int size, bool *created) {
  *created = false;
  HANDLE h =
      CreateFileA(file, ACCESS, SHARE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  shm__attach_error = GetLastError();
  if (h == INVALID_HANDLE_VALUE && size > 0) {
    h = CreateFileA(file, ACCESS, SHARE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    shm__attach_error = GetLastError();
    *created = h != INVALID_HANDLE_VALUE;
    /* made by another process since the first open: open what it made */
    if (h == INVALID_HANDLE_VALUE && shm__attach_error == ERROR_FILE_EXISTS) {
      h = CreateFileA(file, ACCESS, SHARE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      shm__attach_error = GetLastError();
    }
  }
  return h;
}

/* whether an existing data file is long enough to be mapped whole */
bool whole_length(HANDLE h) {
  DWORD high = 0;
  DWORD low = GetFileSize(h, &high);
  return low != INVALID_FILE_SIZE && (high != 0 || low >= sizeof(ErrorAuditSegment));
}

/* the data file mapped whole; null (and shm__attach_error, and *failure) when it cannot be */
ErrorAuditSegment *map_segment(const char *file, int size, shm_report *failure) {
  shm__attach_error = 0;
  bool created = false;
  HANDLE file_h = open_data_file(file, size, &created);
  if (file_h == INVALID_HANDLE_VALUE) {
    *failure = CREATE_FAILED;
    return nullptr;
  }
  /* mapped at its length, a file shorter than the segment would leave its end unmapped */
  if (size == 0 && !whole_length(file_h)) {
    shm__attach_error = ERROR_FILE_INVALID;
    CloseHandle(file_h);
    *failure = MAPPING_FAILED;
    return nullptr;
  }
  HANDLE mapping = CreateFileMappingA(file_h, nullptr, PAGE_READWRITE, 0, (DWORD)size, nullptr);
  shm__attach_error = GetLastError();
  CloseHandle(file_h);
  /* a data file this call made but could not give its space (a full disk) is not left
     half-made for every later process to trip over */
  if (mapping == nullptr && created) _unlink(file);
  if (mapping == nullptr) {
    *failure = MAPPING_FAILED;
    return nullptr;
  }
  /* a data file cut while it is mapped leaves the view on the fallback, whole */
  if (fallback != nullptr) VezSetMappingFallback(mapping, fallback, sizeof *fallback);
  void *view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
  shm__attach_error = GetLastError();
  CloseHandle(mapping);
  if (view == nullptr) {
    *failure = VIEW_FAILED;
    return nullptr;
  }
  shm__attach_error = 0;
  return static_cast<ErrorAuditSegment *>(view);
}

/* the view made a view of the file now at the data file's name, in place; false when there
   is none that is whole */
bool follow_replacement() {
  bool created = false;
  uint32_t error = shm__attach_error;
  HANDLE h = open_data_file(shm__data_file, 0, &created);
  shm__attach_error = error;
  if (h == INVALID_HANDLE_VALUE) return false;
  bool followed = whole_length(h) && VezRemapView(shm__pMemorySeg, h);
  CloseHandle(h);
  return followed;
}

} // namespace

void shm__set_fallback(const ErrorAuditSegment *defaults) { fallback = defaults; }

ErrorAuditSegment *shm__attach_shared_mem(const char *file, int size, shm_report *failure) {
  shm_report none = {};
  if (failure == nullptr) failure = &none;
  *failure = {};
  if (shm__nMemoryCount > 0) {
    shm__nMemoryCount++;
    return shm__pMemorySeg;
  }
  ErrorAuditSegment *segment = map_segment(file, size, failure);
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
  /* removed, or replaced by another file: the one at the name now, if there is one (a name
     found empty is looked at again once a second) */
  time_t now = time(nullptr);
  if (removed_seen && now < next_look) return SHM_WHOLE;
  if (!follow_replacement()) {
    next_look = now + 1;
    removed_seen = true;
    return SHM_WHOLE;
  }
  replaced_unsaid++;
  removed_seen = removed_said = false;
  return SHM_REPLACED;
}

shm_report shm__detach_shared_mem(int32_t *count) {
  shm__nMemoryCount--;
  if (shm__nMemoryCount > 0) return {};
  if (shm__nMemoryCount == 0) {
    UnmapViewOfFile(shm__pMemorySeg);
    shm__pMemorySeg = nullptr;
    shm__data_file[0] = '\0';
    return {};
  }
  /* the count is put right before it is reported, which may itself attach */
  if (count != nullptr) *count = shm__nMemoryCount;
  shm__nMemoryCount = 0;
  return COUNT_BELOW_ZERO;
}

bool shm__segment_lost(void) { return shm__pMemorySeg != nullptr && VezViewLost(shm__pMemorySeg); }

int shm__news(shm_report news[SHM_NEWS_MAX]) {
  int n = 0;
  if (!cut_said && (cut_seen || shm__segment_lost())) {
    cut_said = true;
    news[n++] = CUT;
  }
  /* two replacements can be followed before the first is told (the report's own record
     looks again): each is told */
  while (replaced_unsaid > 0 && n < SHM_NEWS_MAX - 1) {
    replaced_unsaid--;
    news[n++] = REPLACED;
  }
  if (removed_seen && !removed_said) {
    removed_said = true;
    news[n++] = REMOVED;
  }
  return n;
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

const char *shm__data_file_in_use(void) {
  static char path[SHM_PATH_SIZE];
  if (shm__data_file[0] != '\0') return shm__data_file;
  if (path[0] == '\0') shm__data_file_path(path);
  return path;
}

void shm__set_notification_device(ErrorInfo *info, const char *name) {
  strncpy(info->notification_device, name, SHM_DEVICE_COPY);
  info->notification_device[SHM_DEVICE_COPY - 1] = '\0';
}
