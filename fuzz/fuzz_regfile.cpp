/*
** fuzz_regfile.cpp - the registry file as vezreg edits it: any bytes parse,
** and what is parsed, written back and parsed again holds the same keys and
** values; one key's values looked up alone are those of the whole index.
*/
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "posix/regfile.h"

namespace {

bool same_values(const std::vector<regfile::value> &a, const std::vector<regfile::value> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].name != b[i].name || a[i].type != b[i].type || a[i].data != b[i].data) return false;
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string bytes(reinterpret_cast<const char *>(data), size);
  regfile::document doc = regfile::parse(bytes);
  regfile::key_index index, again;
  regfile::build_index(doc, &index);
  regfile::build_index(regfile::parse(regfile::render(doc)), &again);
  if (index.keys != again.keys) abort();
  for (const std::string &key : index.keys) {
    std::vector<regfile::value> a, b, alone;
    bool exists = regfile::index_values(index, key, &a);
    regfile::index_values(again, key, &b);
    if (!same_values(a, b)) abort(); /* written back, the values changed */
    if (regfile::values_of(doc, key, &alone) != exists || !same_values(a, alone)) abort();
  }
  return 0;
}
