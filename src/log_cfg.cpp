/*
** log_cfg.cpp - configuration lookup.
**
** A value may be given for one program, for one installed version of the
** product ("VEZVERSION") or for the whole product; the most specific key
** that holds a value that fits wins. Nothing is cached: every lookup builds
** its keys and reads the registry afresh.
*/
#include "log_cfg.h"

#include "platform.h"

namespace {

enum { KEY_PROGRAM, KEY_VERSION, KEY_PRODUCT, KEY_COUNT };

/* the largest value a lookup reads; every capacity in the system is smaller */
constexpr int MAX_VALUE = 1024;

/* why the registry itself could not be read at the last lookup that failed so */
uint32_t registry_error = 0;

/* a key that is not there is ordinary; any other failure is the registry's own */
LONG open_key(const char *key, HKEY *hkey) {
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, hkey);
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND && rc != ERROR_PATH_NOT_FOUND)
    registry_error = (uint32_t)rc;
  return rc;
}

void build_keys(char keys[KEY_COUNT][LOG_CFG_KEY_SIZE], const char *for_program) {
  char program[LOG_CFG_KEY_SIZE];
  if (for_program != nullptr) {
    strncpy(program, for_program, LOG_CFG_KEY_SIZE - 1);
    program[LOG_CFG_KEY_SIZE - 1] = '\0';
  } else {
    log_cfg__program_name(program);
  }
  const char *version = getenv("VEZVERSION");

  strncpy(keys[KEY_PRODUCT], LOG_CFG_PRODUCT_KEY, LOG_CFG_KEY_SIZE - 1);
  keys[KEY_PRODUCT][LOG_CFG_KEY_SIZE - 1] = '\0';
  memcpy(keys[KEY_VERSION], keys[KEY_PRODUCT], LOG_CFG_KEY_SIZE);
  if (version != nullptr) {
    log_cfg__append_piece(keys[KEY_VERSION], LOG_CFG_KEY_SIZE, "\\");
    log_cfg__append_piece(keys[KEY_VERSION], LOG_CFG_KEY_SIZE, version);
  }
  memcpy(keys[KEY_PROGRAM], keys[KEY_VERSION], LOG_CFG_KEY_SIZE);
  log_cfg__append_piece(keys[KEY_PROGRAM], LOG_CFG_KEY_SIZE, "\\");
  log_cfg__append_piece(keys[KEY_PROGRAM], LOG_CFG_KEY_SIZE, program);
}

bool read_value(const char *program, const char *name, void *dest, int capacity, bool text) {
  if (capacity <= 0 || capacity > MAX_VALUE) return false;
  char keys[KEY_COUNT][LOG_CFG_KEY_SIZE];
  build_keys(keys, program);
  for (const char *key : keys) {
    HKEY hkey;
    if (open_key(key, &hkey) != ERROR_SUCCESS) continue;
    /* read beside the destination, so that a failed query leaves it as it was */
    unsigned char buf[MAX_VALUE];
    DWORD size = (DWORD)capacity;
    LONG rc = RegQueryValueExA(hkey, name, nullptr, nullptr, buf, &size);
    RegCloseKey(hkey);
    if (rc != ERROR_SUCCESS) continue;
    if (text && (size == 0 || buf[size - 1] != '\0')) {
      if ((int)size >= capacity) continue;
      buf[size++] = '\0';
    }
    memset(buf + size, 0, (size_t)capacity - size);
    memcpy(dest, buf, (size_t)capacity);
    return true;
  }
  return false;
}

} // namespace

void log_cfg__append_piece(char *buf, int capacity, const char *piece) {
  size_t have = strlen(buf);
  size_t add = strlen(piece);
  if (have + add + 1 <= (size_t)capacity) memcpy(buf + have, piece, add + 1);
}

void log_cfg__program_name(char name[LOG_CFG_KEY_SIZE]) {
  char path[MAX_PATH];
  name[0] = '\0';
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0) return;
  path[sizeof path - 1] = '\0';
  char fname[_MAX_FNAME];
  _splitpath(path, nullptr, nullptr, fname, nullptr);
  strncpy(name, fname, LOG_CFG_KEY_SIZE - 1);
  name[LOG_CFG_KEY_SIZE - 1] = '\0';
}

bool log_cfg__read_value(const char *name, void *dest, int capacity) {
  return read_value(nullptr, name, dest, capacity, false);
}

bool log_cfg__read_text(const char *name, char *dest, int capacity) {
  return read_value(nullptr, name, dest, capacity, true);
}

bool log_cfg__read_text_for(const char *program, const char *name, char *dest, int capacity) {
  return read_value(program, name, dest, capacity, true);
}

int log_cfg__process_index(const char *name, int32_t *index) {
  HKEY hkey;
  if (open_key(LOG_CFG_INDEX_KEY, &hkey) != ERROR_SUCCESS) return -1;
  unsigned char buf[4] = {0, 0, 0, 0};
  DWORD size = sizeof buf;
  LONG rc = RegQueryValueExA(hkey, name, nullptr, nullptr, buf, &size);
  RegCloseKey(hkey);
  if (rc != ERROR_SUCCESS) return -2;
  memcpy(index, buf, sizeof buf);
  return 0;
}

uint32_t log_cfg__registry_error(void) { return registry_error; }
