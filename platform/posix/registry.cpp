/*
** registry.cpp - the machine's registry for POSIX builds: a text file in the
** Windows registry export format, read afresh by every RegOpenKeyExA.
**
** The file is $VEZ_REGISTRY, else /etc/vez/registry.reg; a missing file is
** an empty registry. "REGEDIT4" and version 5.00 files are read, as ANSI or
** UTF-8 text or as UTF-16LE with a byte-order mark. Keys and value names
** compare case-insensitively; a later section adds to its key and a later
** value replaces one of the same name. A line that cannot be read is
** skipped: no content of the file can make the reader fail otherwise.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <new>
#include <string>
#include <vector>

#include "regfile.h"

struct vez_hkey {
  std::vector<regfile::value> values;
};

LONG RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::string path = regfile::fold(regfile::trim_key(subkey != nullptr ? subkey : ""));
  regfile::document doc;
  bool exists = false;
  regfile::load(regfile::path(), &doc, &exists);
  std::vector<regfile::value> values;
  if (!regfile::values_of(doc, path, &values)) return ERROR_FILE_NOT_FOUND;
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

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

#endif /* VEZ_OS_POSIX */
