/*
** fuzz_aud.cpp - any command line through the settings tool's whole run,
** against a data file of its own: it ends with a status from 0 to 6. Run it
** with -close_fd_mask=3: the tool's report and diagnostics are not wanted.
*/
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <string>
#include <vector>

#include "aud_main.h"
#include "platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = false;
  if (!ready) {
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    std::string base = std::string(tmp) + "fuzz-aud-" + std::to_string((long)GetTickCount());
    std::ofstream(base + ".reg") << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\n"
                                    "\"LOG_DATAFILE\"=\""
                                 << base << ".dat\"\n\"LOGPATH\"=\"" << tmp
                                 << "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendrix\\VEZ\\audit]\n"
                                    "\"pump\"=dword:00000003\n";
    setenv("VEZ_REGISTRY", (base + ".reg").c_str(), 1);
    ready = true;
  }
  /* arguments are the input's pieces between zero bytes */
  std::vector<std::string> args = {"aud"};
  std::string piece;
  for (size_t i = 0; i < size && args.size() < 12; i++) {
    if (data[i] == 0) {
      args.push_back(piece);
      piece.clear();
    } else {
      piece += (char)data[i];
    }
  }
  if (!piece.empty() && args.size() < 12) args.push_back(piece);
  std::vector<char *> argv;
  for (std::string &a : args)
    argv.push_back(&a[0]);
  argv.push_back(nullptr);
  optind = 0; /* getopt starts afresh */
  int status = aud_main__run((int)args.size(), argv.data());
  if (status < 0 || status > 6) abort();
  return 0;
}
