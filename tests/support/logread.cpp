/*
** logread.cpp - reading log files back for the tests.
*/
#include "logread.h"

#include <regex>

namespace testenv {

std::vector<record> records(const std::string &text) {
  static const std::regex header(
      R"(------\d\d/\d\d \d\d:\d\d:\d\d  ([ -]\d|-?\d\d+)/(-?\d+) *err:(-?\d+) *  (.*))");
  std::vector<record> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 2;
    std::smatch m;
    if (std::regex_match(line, m, header)) {
      record r;
      r.message_level = std::stoi(m[1]);
      r.configured_level = std::stoi(m[2]);
      r.error_code = std::stoll(m[3]);
      r.origin = m[4];
      out.push_back(r);
      continue;
    }
    if (out.empty()) {
      out.push_back(record());
      out.back().whole = false;
    }
    record &r = out.back();
    if (line.rfind("Desc:", 0) == 0 && r.desc.empty() && r.dump.empty())
      r.desc = line.substr(5);
    else if (line.rfind("     ", 0) == 0 && r.dump.empty())
      r.continuation.push_back(line.substr(5));
    else
      r.dump.push_back(line);
  }
  return out;
}

std::vector<std::string> descs(const std::vector<record> &rs) {
  std::vector<std::string> d;
  for (const record &r : rs)
    d.push_back(r.desc);
  return d;
}

bool decode_full_dump(const std::vector<std::string> &lines, std::string *bytes) {
  static const std::string hex = "0123456789abcdef";
  for (size_t n = 0; n < lines.size(); n++) {
    const std::string &l = lines[n];
    if (l.size() < 76) return false;
    if (std::stoul(l.substr(0, l.find(' ')), nullptr, 16) != n * 16) return false;
    for (int j = 0; j < 16; j++) {
      size_t col = j < 8 ? 5 + 3 * j : 7 + 3 * j;
      if (l[col] == ' ') {
        if (n + 1 != lines.size()) return false; /* only the last line is short */
        break;
      }
      size_t hi = hex.find(l[col]), lo = hex.find(l[col + 1]);
      if (hi == std::string::npos || lo == std::string::npos) return false;
      *bytes += (char)(hi * 16 + lo);
    }
  }
  return true;
}

} // namespace testenv
