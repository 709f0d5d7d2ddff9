/*
** vezcat_out.cpp - printing records: as stored (raw), as the log shows
** them with the platform's line ends and control characters made visible
** (short, short-iso), or as JSON (one object a line, or indented). JSON
** strings are the stored text as UTF-8; a field whose bytes are not UTF-8
** is an array of its byte values instead, so nothing is lost or guessed.
** A record that is not whole is said to be so in every form.
*/
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli_report.h"
#include "platform.h"
#include "vezcat.h"

namespace {

constexpr char COLOR_ERROR[] = "\x1b[1;31m";
constexpr char COLOR_DAMAGE[] = "\x1b[33m";
constexpr char COLOR_OFF[] = "\x1b[0m";

std::string out; /* what is printed, handed to standard output a record at a time */

/* "2026-12-07T13:05:07+01:00": the local time with its offset from UTC */
std::string iso_time(time_t when) {
  struct tm local;
  struct tm *l = localtime(&when);
  if (l == nullptr) return "";
  local = *l;
  struct tm *g = gmtime(&when);
  if (g == nullptr) return "";
  struct tm utc = *g;
  utc.tm_isdst = -1;
  long offset = (long)difftime(when, mktime(&utc));
  char stamp[48];
  strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  char zone[40];
  long a = offset < 0 ? -offset : offset;
  snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
  return std::string(stamp) + zone;
}

/* whether s is well-formed UTF-8 (no overlong forms, no surrogates) */
bool utf8(const std::string &s) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
  const unsigned char *end = p + s.size();
  while (p < end) {
    if (*p < 0x80) {
      p++;
      continue;
    }
    int n = (*p & 0xe0) == 0xc0 ? 1 : (*p & 0xf0) == 0xe0 ? 2 : (*p & 0xf8) == 0xf0 ? 3 : -1;
    if (n < 0 || end - p <= n) return false;
    unsigned cp = *p & (0x3f >> n);
    for (int i = 1; i <= n; i++) {
      if ((p[i] & 0xc0) != 0x80) return false;
      cp = cp << 6 | (p[i] & 0x3f);
    }
    static const unsigned least[] = {0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    p += n + 1;
  }
  return true;
}

/* a JSON string of UTF-8 text, or the array of the bytes of any other */
void json_value(const std::string &s) {
  static const char hex[] = "0123456789abcdef";
  if (!utf8(s)) {
    out += '[';
    char num[8];
    for (size_t i = 0; i < s.size(); i++) {
      snprintf(num, sizeof num, i == 0 ? "%u" : ",%u", (unsigned)(unsigned char)s[i]);
      out += num;
    }
    out += ']';
    return;
  }
  out += '"';
  const char *p = s.data(), *end = p + s.size();
  while (p < end) {
    const char *run = p;
    while (p < end && (unsigned char)*p >= 0x20 && *p != '"' && *p != '\\' && *p != 0x7f)
      p++;
    out.append(run, (size_t)(p - run));
    if (p == end) break;
    unsigned char c = (unsigned char)*p++;
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default: {
      char esc[7] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15], '\0'};
      out.append(esc, 6);
    }
    }
  }
  out += '"';
}

void json(const vezcat__log &log, const vezcat__entry &e, bool pretty) {
  static const char hex[] = "0123456789abcdef";
  const logparse__record &r = e.rec;
  const char *sep = pretty ? ",\n  " : ",";
  out += pretty ? "{\n  " : "{";
  auto key = [&](const char *name, bool first = false) {
    if (!first) out += sep;
    out += '"';
    out += name;
    out += pretty ? "\": " : "\":";
  };
  auto number = [&](const char *name, long long v) {
    char digits[32];
    snprintf(digits, sizeof digits, "%lld", v);
    key(name);
    out += digits;
  };
  key("time", true);
  json_value(iso_time(e.when));
  key("kind");
  json_value(vezcat__kind_names[log.kind]);
  key("file");
  json_value(log.path);
  number("level", r.message_level);
  number("threshold", r.configured_level);
  number("err", r.error_code);
  key("process");
  json_value(r.process);
  key("source");
  json_value(r.source);
  key("source_cut");
  out += r.source_cut ? "true" : "false";
  number("line", r.line);
  key("description");
  json_value(r.description);
  key("data");
  if (r.has_data) {
    out += '"';
    size_t at = out.size();
    out.resize(at + r.data.size() * 2);
    for (unsigned char c : r.data) {
      out[at++] = hex[c >> 4];
      out[at++] = hex[c & 15];
    }
    out += '"';
  } else {
    out += "null";
  }
  key("data_partial");
  out += r.data_partial ? "true" : "false";
  key("damaged");
  if (r.damage != nullptr)
    json_value(r.damage);
  else
    out += "false";
  out += pretty ? "\n}\n" : "}\n";
}

/* the record's lines with the platform's line ends, each control character but the tab
   shown as \xHH; with iso, the header's time as the full local time */
void shown(const vezcat__log &log, const vezcat__entry &e, bool iso) {
  const logparse__record &r = e.rec;
  bool color = vezcat__opts.color && log.kind == VEZCAT_ERROR;
  if (color) out += COLOR_ERROR;
  size_t from = 0;
  if (iso && r.text.size() >= 20) {
    out.append(r.text, 0, 6);
    out += iso_time(e.when);
    from = 20;
  }
  static const char hex[] = "0123456789abcdef";
  const char *p = r.text.data() + from, *end = r.text.data() + r.text.size();
  while (p < end) {
    const char *run = p;
    while (p < end && ((unsigned char)*p >= 0x20 || *p == '\t') && *p != 0x7f)
      p++;
    out.append(run, (size_t)(p - run));
    if (p == end) break;
    if (p[0] == '\r' && p + 1 < end && p[1] == '\n') {
      p += 2;
      out += '\n';
      continue;
    }
    if (p[0] == '\n') {
      p++;
      out += '\n';
      continue;
    }
    unsigned char c = (unsigned char)*p++;
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
  }
  if (!r.text.empty() && r.text.back() != '\n') out += '\n';
  if (color) out += COLOR_OFF;
  if (r.damage != nullptr) {
    if (vezcat__opts.color) out += COLOR_DAMAGE;
    out += "-- damaged record: ";
    out += r.damage;
    out += " --\n";
    if (vezcat__opts.color) out += COLOR_OFF;
  }
}

[[noreturn]] void output_failed(int e) {
  /* a reader that went away (vezcat | head) ends the run quietly */
  if (e == EPIPE) exit(0);
  exit(cli_report__fail(1, "cannot write the output: %s", cli_report__errno_reason(e)));
}

} // namespace

void vezcat_out__begin(void) {
  /* the stored bytes as they are; every other form in the platform's text convention */
  if (vezcat__opts.form == VEZCAT_RAW) _setmode(_fileno(stdout), _O_BINARY);
  out.reserve(1 << 16);
}

void vezcat_out__record(const vezcat__log &log, const vezcat__entry &e) {
  switch (vezcat__opts.form) {
  case VEZCAT_RAW: out += e.rec.text; break; /* as stored, damage and all */
  case VEZCAT_SHORT: shown(log, e, false); break;
  case VEZCAT_SHORT_ISO: shown(log, e, true); break;
  case VEZCAT_JSON: json(log, e, false); break;
  case VEZCAT_JSON_PRETTY: json(log, e, true); break;
  }
  if (out.size() >= (1 << 16)) vezcat_out__flush();
}

void vezcat_out__flush(void) {
  if (!out.empty()) {
    errno = 0;
    size_t n = fwrite(out.data(), 1, out.size(), stdout);
    if (n != out.size()) output_failed(errno != 0 ? errno : EIO);
    out.clear();
  }
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout)) output_failed(errno != 0 ? errno : EIO);
}
