/*
** fuzz_registry.cpp - any registry file: the reader never crashes nor reads
** out of bounds, and a query never copies more than it was offered.
*/
#include <stdint.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string file;
  if (file.empty()) {
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    file = std::string(tmp) + "fuzz-registry-" + std::to_string((long)GetTickCount()) + ".reg";
    setenv("VEZ_REGISTRY", file.c_str(), 1);
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char *>(data), (std::streamsize)size);
  static const char *const keys[] = {"", "Software\\Quendrix\\VEZ", "software\\quendrix\\vez\\2.1",
                                     "Software\\Quendrix\\VEZ\\2.1\\pump",
                                     "SOFTWARE\\Quendrix\\VEZ\\audit"};
  static const char *const names[] = {"", "LOGPATH", "bin", "multi", "pump", "n"};
  for (const char *key : keys) {
    HKEY h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) continue;
    for (const char *name : names) {
      for (DWORD cap : {0u, 4u, 64u}) {
        unsigned char buf[64 + 1];
        buf[cap] = 0xa5;
        DWORD size = cap;
        RegQueryValueExA(h, name, nullptr, nullptr, buf, &size);
        if (buf[cap] != 0xa5) abort(); /* wrote past what was offered */
      }
    }
    RegCloseKey(h);
  }
  return 0;
}
