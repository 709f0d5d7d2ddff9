/*
** logparse.cpp - reading records back, by hand and in one pass: a log is
** read at well over 100 MB/s, and no input can make the parser fail.
*/
#include "logparse.h"

#include <string.h>

namespace {

constexpr size_t DESC_WIDTH = 70; /* characters of the description on a full line */
constexpr size_t FULL_LINE = 76;  /* a full-form dump line, without its line end */
constexpr size_t TEXT_WIDTH = 75; /* a full line of the short form's text */

int digit(char c) { return c >= '0' && c <= '9' ? c - '0' : -1; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* two digits at s[at] */
bool two(const char *s, size_t at, int *v) {
  int a = digit(s[at]), b = digit(s[at + 1]);
  if (a < 0 || b < 0) return false;
  *v = a * 10 + b;
  return true;
}

/* an integer after spaces: [-]digits; moves *at past it */
bool integer(const char *s, size_t n, size_t *at, long long *v) {
  while (*at < n && s[*at] == ' ')
    (*at)++;
  bool neg = *at < n && s[*at] == '-';
  if (neg) (*at)++;
  size_t start = *at;
  long long x = 0;
  while (*at < n && digit(s[*at]) >= 0 && *at - start < 18)
    x = x * 10 + digit(s[(*at)++]);
  if (*at == start) return false;
  *v = neg ? -x : x;
  return true;
}

/* "------MM/DD HH:MM:SS  L/C err:E  NAME(SOURCE:LINE)" */
bool header(const char *s, size_t n, logparse__record *r) {
  if (n < 22 || memcmp(s, "------", 6) != 0) return false;
  if (!two(s, 6, &r->month) || s[8] != '/' || !two(s, 9, &r->day) || s[11] != ' ' ||
      !two(s, 12, &r->hour) || s[14] != ':' || !two(s, 15, &r->minute) || s[17] != ':' ||
      !two(s, 18, &r->second))
    return false;
  size_t at = 20;
  long long level = 0, configured = 0, code = 0;
  if (!integer(s, n, &at, &level) || at >= n || s[at++] != '/') return false;
  if (!integer(s, n, &at, &configured)) return false;
  while (at < n && s[at] == ' ')
    at++;
  if (n - at < 4 || memcmp(s + at, "err:", 4) != 0) return false;
  at += 4;
  if (!integer(s, n, &at, &code)) return false;
  while (at < n && s[at] == ' ')
    at++;
  /* NAME(SOURCE:LINE): the name has no '(' of its own; the line follows the last ':' */
  const char *origin = s + at;
  size_t len = n - at;
  const char *open = static_cast<const char *>(memchr(origin, '(', len));
  if (open == nullptr || len < 4 || origin[len - 1] != ')') return false;
  const char *colon = nullptr;
  for (const char *p = origin + len - 2; p > open; p--)
    if (*p == ':') {
      colon = p;
      break;
    }
  if (colon == nullptr) return false;
  size_t line_at = (size_t)(colon + 1 - s);
  long long line = 0;
  if (!integer(s, n - 1, &line_at, &line) || line_at != n - 1) return false;
  r->message_level = (int)level;
  r->configured_level = (int)configured;
  r->error_code = code;
  r->process.assign(origin, (size_t)(open - origin));
  const char *src = open + 1;
  r->source_cut = src < colon && *src == '<';
  if (r->source_cut) src++;
  r->source.assign(src, (size_t)(colon - src));
  r->line = (long)line;
  return true;
}

/* a full-form dump line: its offset, then up to 16 bytes in their columns */
bool full_dump_line(const char *s, size_t n, size_t expected_offset, std::string *bytes,
                    bool *last) {
  size_t at = 0;
  size_t offset = 0;
  while (at < n && at < 16 && hex_digit(s[at]) >= 0)
    offset = offset * 16 + (size_t)hex_digit(s[at++]);
  if (at < 3 || offset != expected_offset || n < FULL_LINE) return false;
  size_t shift = at > 4 ? at - 4 : 0;
  if (n < FULL_LINE + shift) return false;
  *last = false;
  for (size_t j = 0; j < 16; j++) {
    size_t col = shift + (j < 8 ? 5 + 3 * j : 7 + 3 * j);
    if (s[col] == ' ') {
      *last = true;
      return j > 0;
    }
    int hi = hex_digit(s[col]), lo = hex_digit(s[col + 1]);
    if (hi < 0 || lo < 0) return false;
    *bytes += (char)(hi * 16 + lo);
  }
  return true;
}

bool printable(char c) { return c >= 0x20 && c <= 0x7e; }

/* whether lines can be the short form's text: full lines of TEXT_WIDTH printable characters,
   the last one shorter or ending in <xx> bytes */
bool short_text(const std::vector<std::pair<const char *, size_t>> &lines) {
  for (size_t i = 0; i < lines.size(); i++) {
    const char *s = lines[i].first;
    size_t n = lines[i].second;
    if (n == 0 || (i + 1 < lines.size() && n != TEXT_WIDTH)) return false;
    for (size_t at = 0; at < n; at++)
      if (!printable(s[at])) return false;
  }
  return true;
}

/* the dump lines of a record into its data; false when they are no dump of any form */
bool decode_dump(const std::vector<std::pair<const char *, size_t>> &lines, logparse__record *r) {
  if (lines.empty()) return true;
  r->has_data = true;
  std::string bytes;
  bytes.reserve(lines.size() * 16);
  bool last = false, full = true;
  for (size_t i = 0; i < lines.size() && full; i++)
    full = !last && full_dump_line(lines[i].first, lines[i].second, i * 16, &bytes, &last);
  if (full) {
    r->data = bytes;
    return true;
  }
  /* the short form shows at most a part: its hex ("0x01020304 ...") or its text */
  r->data_partial = true;
  r->data.clear();
  const char *s = lines[0].first;
  size_t n = lines[0].second;
  if (lines.size() == 1 && n >= 2 && s[0] == '0' && s[1] == 'x') {
    for (size_t at = 2; at + 1 < n;) {
      if (s[at] == ' ') {
        at++;
        continue;
      }
      int hi = hex_digit(s[at]), lo = hex_digit(s[at + 1]);
      if (hi < 0 || lo < 0) break;
      r->data += (char)(hi * 16 + lo);
      at += 2;
    }
    return true;
  }
  if (!short_text(lines)) {
    r->has_data = r->data_partial = false;
    return false;
  }
  for (const auto &l : lines)
    for (size_t at = 0; at < l.second; at++) {
      if (l.first[at] == '<' && at + 3 < l.second && l.first[at + 3] == '>' &&
          hex_digit(l.first[at + 1]) >= 0 && hex_digit(l.first[at + 2]) >= 0) {
        r->data += (char)(hex_digit(l.first[at + 1]) * 16 + hex_digit(l.first[at + 2]));
        at += 3;
      } else {
        r->data += l.first[at];
      }
    }
  return true;
}

} // namespace

void logparse__parse(const std::string &text, logparse__end ends, bool keep_text,
                     std::vector<logparse__record> *out, size_t *used, size_t *damaged) {
  const char *base = text.data();
  size_t size = text.size(), pos = 0;
  *used = 0;
  logparse__record current;
  bool in_record = false, have_desc = false, in_dump = false;
  size_t record_start = 0, last_desc_len = 0;
  std::vector<std::pair<const char *, size_t>> dump;
  auto finish = [&](size_t end) {
    if (!in_record) return;
    if (have_desc) {
      if (!decode_dump(dump, &current)) *damaged += dump.size();
      if (keep_text) current.text.assign(base + record_start, end - record_start);
      out->push_back(std::move(current));
    } else {
      (*damaged)++;
    }
    current = logparse__record();
    in_record = have_desc = in_dump = false;
    dump.clear();
  };
  while (pos < size) {
    const char *nl = static_cast<const char *>(memchr(base + pos, '\n', size - pos));
    size_t end = nl != nullptr ? (size_t)(nl - base) + 1 : size;
    if (nl == nullptr && ends != LOGPARSE_WHOLE) break;
    size_t n = (nl != nullptr ? (size_t)(nl - base) : size) - pos;
    if (n > 0 && base[pos + n - 1] == '\r') n--;
    const char *s = base + pos;
    logparse__record h;
    if (header(s, n, &h)) {
      finish(pos);
      current = std::move(h);
      in_record = true;
      record_start = pos;
    } else if (!in_record) {
      (*damaged)++;
    } else if (!have_desc) {
      if (n >= 5 && memcmp(s, "Desc:", 5) == 0) {
        current.description.assign(s + 5, n - 5);
        last_desc_len = n - 5;
        have_desc = true;
      } else {
        (*damaged)++;
        in_record = false; /* a header without its description: no record */
        current = logparse__record();
      }
    } else if (!in_dump && n >= 5 && memcmp(s, "     ", 5) == 0) {
      /* a full line was cut; a shorter one ended at a line break */
      if (last_desc_len != DESC_WIDTH) current.description += '\n';
      current.description.append(s + 5, n - 5);
      last_desc_len = n - 5;
    } else {
      in_dump = true;
      dump.emplace_back(s, n);
    }
    pos = end;
    *used = pos;
  }
  if (in_record && (ends == LOGPARSE_PIECE || pos < size)) {
    /* the record may go on, or its last line is still being written: next time, whole */
    *used = record_start;
    return;
  }
  finish(*used);
}
