/*
** registry.cpp - the machine's registry for POSIX builds: a text file in the
** Windows registry export format, read again whenever it has changed.
**
** The file is $VEZ_REGISTRY, else /etc/vez/registry.reg; a missing file is
** an empty registry, one that cannot be read (no permission, a directory,
** larger than regfile::MAX_FILE_BYTES) fails every open with its reason. "REGEDIT4" and
*version 5.00 files are read, as ANSI or
** UTF-8 text or as UTF-16LE with a byte-order mark. Keys and value names
** compare case-insensitively; a later section adds to its key and a later
** value replaces one of the same name. A line that cannot be read is
** skipped: no content of the file can make the reader fail otherwise.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <sys/stat.h>

#include <new>
#include <string>
#include <vector>

#include "create.h"
#include "regfile.h"

struct vez_hkey {
  std::vector<regfile::value> values;
};

namespace {

/*
** The file as last read, indexed by key. A lookup reads the file again only
** when it is another file or has changed (its identity, size or times), so
** a process's many lookups cost one parse, and a change is seen by the next
** lookup. Guarded by the caller's lock: the library looks values up under
** its write lock; the programs run on one thread.
*/
struct cached_file {
  bool valid = false; /* false: read the file at the next lookup */
  std::string path;
  struct stat st;
  regfile::key_index index;
};
cached_file cache;

/*
** A file changed within the clock's granularity of the read may change again
** without a new time or size: it is trusted only once it has been still for
** a while (a file just written is read again at each lookup until then).
*/
constexpr long long SETTLED_NS = 2000000000LL;

bool settled(const struct stat &st) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  long long age = (long long)(now.tv_sec - st.st_mtim.tv_sec) * 1000000000LL +
                  (now.tv_nsec - st.st_mtim.tv_nsec);
  return age > SETTLED_NS;
}

bool same_file(const struct stat &a, const struct stat &b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

LONG registry_error(int e) {
  LONG code = e == EFBIG    ? ERROR_FILE_TOO_LARGE
              : e == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                            : ERROR_ACCESS_DENIED;
  posix_remember_errno((unsigned long)code, e); /* a directory says so, not "denied" */
  return code;
}

/* a file that names itself a registry file: its version line comes first */
bool has_header(const regfile::document &doc) {
  for (const regfile::line &l : doc.lines) {
    if (l.what == regfile::HEADER) return true;
    if (!l.text.empty()) return false;
  }
  return false;
}

/* the index of the registry in force: 0, or why the file cannot be read */
LONG current_index(const regfile::key_index **index) {
  static const regfile::key_index empty;
  std::string path = regfile::path();
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    int e = errno;
    cache.valid = false;
    *index = &empty;
    return e == ENOENT ? ERROR_SUCCESS : registry_error(e);
  }
  if (cache.valid && cache.path == path && same_file(cache.st, st)) {
    *index = &cache.index;
    return ERROR_SUCCESS;
  }
  cache.valid = false;
  regfile::document doc;
  bool exists = false;
  int e = regfile::load(path, &doc, &exists);
  *index = &empty;
  if (e != 0) return registry_error(e);
  /* garbage is not an empty registry: it is said, as an unreadable file is */
  if (!has_header(doc)) return ERROR_BADDB;
  regfile::build_index(doc, &cache.index);
  cache.path = path;
  cache.st = st;
  cache.valid = settled(st);
  *index = &cache.index;
  return ERROR_SUCCESS;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::string path = regfile::fold(regfile::trim_key(subkey != nullptr ? subkey : ""));
  const regfile::key_index *index = nullptr;
  LONG rc = current_index(&index);
  if (rc != ERROR_SUCCESS) return rc;
  std::vector<regfile::value> values;
  if (!regfile::index_values(*index, path, &values)) return ERROR_FILE_NOT_FOUND;
  vez_hkey *h = new (std::nothrow) vez_hkey;
  if (h == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  h->values = values;
  *result = h;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (key == nullptr || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::string wanted = regfile::fold(name != nullptr ? name : "");
  for (const regfile::value &v : key->values) {
    if (regfile::fold(v.name) != wanted) continue;
    DWORD len = (DWORD)v.data.size();
    if (type != nullptr) *type = v.type;
    if (data == nullptr) {
      if (size != nullptr) *size = len;
      return ERROR_SUCCESS;
    }
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (*size < len) {
      *size = len;
      return ERROR_MORE_DATA;
    }
    memcpy(data, v.data.data(), len);
    *size = len;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

const char *VezRegistryLocation(void) {
  static char location[MAX_PATH]; /* the programs' (one thread) */
  std::string path = regfile::path();
  snprintf(location, sizeof location, "%s", path.c_str());
  return location;
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD, LPDWORD type,
                   LPBYTE data, LPDWORD data_size) {
  if (key == nullptr || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (name == nullptr || name_size == nullptr) return ERROR_INVALID_PARAMETER;
  if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  const regfile::value &v = key->values[index];
  if (v.name.size() + 1 > *name_size) return ERROR_MORE_DATA;
  memcpy(name, v.name.c_str(), v.name.size() + 1);
  *name_size = (DWORD)v.name.size();
  if (type != nullptr) *type = v.type;
  if (data_size != nullptr) {
    DWORD len = (DWORD)v.data.size();
    if (data != nullptr && *data_size < len) {
      *data_size = len;
      return ERROR_MORE_DATA;
    }
    if (data != nullptr) memcpy(data, v.data.data(), len);
    *data_size = len;
  }
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

#endif /* VEZ_OS_POSIX */
