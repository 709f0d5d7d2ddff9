/*
** fuzz_logparse.cpp - any bytes through the log reader's parser, whole and
** as a file still being written: it never fails, and what it says it used
** lies within the input.
*/
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "logparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  for (logparse__end ends : {LOGPARSE_PIECE, LOGPARSE_GROWING, LOGPARSE_WHOLE}) {
    std::vector<logparse__record> recs;
    size_t used = 0, damaged = 0;
    logparse__parse(text, ends, true, &recs, &used, &damaged);
    if (used > size) abort();
    size_t total = 0;
    for (const logparse__record &r : recs)
      total += r.text.size();
    if (total > used) abort();
  }
  return 0;
}
