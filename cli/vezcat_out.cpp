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

#include <algorithm>

#include "cli_report.h"
#include "log_format.h"
#include "platform.h"
#include "vezcat.h"

namespace {

constexpr char COLOR_ERROR[] = "\x1b[1;31m";
constexpr char COLOR_DAMAGE[] = "\x1b[33m";
constexpr char COLOR_OFF[] = "\x1b[0m";

std::string out;      /* what is printed, handed to the output a record at a time */
FILE *sink = nullptr; /* standard output, or the pager's input */

void write_out();

/* what is printed so far handed on once it is large: a record of any size is printed in
   pieces */
inline void keep_small() {
  if (out.size() >= (1 << 20)) write_out();
}

/* a blob's bytes as hex digits */
void hex_of(const logparse__blob &b) {
  const char *hex = LOG_FORMAT_HEX_DIGITS;
  b.each([&](const char *p, size_t n) {
    size_t at = out.size();
    out.resize(at + n * 2);
    for (size_t i = 0; i < n; i++) {
      out[at++] = hex[(unsigned char)p[i] >> 4];
      out[at++] = hex[(unsigned char)p[i] & 15];
    }
    keep_small();
  });
}

/* the ways a record's time is written */
enum time_style { TIME_ISO, TIME_PRECISE, TIME_UNIX, TIME_FULL, TIME_HEADER, TIME_STYLES };

/*
** A record's time, local (in UTC with --utc): ISO "2026-12-07T13:05:07+01:00",
** precise "12/07 13:05:07.000000", unix "1765109107.000000", full "Mon
** 2026-12-07 13:05:07 CET", header "12/07 13:05:07" (the header's own
** style). Records keep whole seconds. Records come in runs of one second: a
** run's text is made once in each style (and the zone is read once a run).
*/
const std::string &time_text(time_t when, time_style style) {
  static time_t last[TIME_STYLES] = {(time_t)-1, (time_t)-1, (time_t)-1, (time_t)-1, (time_t)-1};
  static std::string texts[TIME_STYLES];
  std::string &text = texts[style];
  if (when == last[style]) return text;
  last[style] = when;
  text.clear();
  char stamp[160];
  if (style == TIME_UNIX) {
    snprintf(stamp, sizeof stamp, "%lld.000000", (long long)when);
    text = stamp;
    return text;
  }
  struct tm t;
  long offset = 0;
  if (vezcat__opts.utc) {
    if (gmtime_s(&t, &when) != 0) return text;
  } else {
    if (localtime_s(&t, &when) != 0) return text;
    /* the offset: the local fields read as if they were UTC, less the time itself */
    struct tm as_utc = t;
    offset = (long)(_mkgmtime(&as_utc) - when);
  }
  long a = offset < 0 ? -offset : offset;
  switch (style) {
  case TIME_ISO:
    snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, offset < 0 ? '-' : '+',
             a / 3600, a / 60 % 60);
    break;
  case TIME_PRECISE:
  case TIME_HEADER:
    snprintf(stamp, sizeof stamp, "%02d/%02d %02d:%02d:%02d%s", t.tm_mon + 1, t.tm_mday, t.tm_hour,
             t.tm_min, t.tm_sec, style == TIME_PRECISE ? ".000000" : "");
    break;
  default: {
    static const char *const days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    char zone[64] = "UTC";
    if (!vezcat__opts.utc && strftime(zone, sizeof zone, "%Z", &t) == 0)
      snprintf(zone, sizeof zone, "%c%02ld%02ld", offset < 0 ? '-' : '+', a / 3600, a / 60 % 60);
    snprintf(stamp, sizeof stamp, "%s %04d-%02d-%02d %02d:%02d:%02d %s", days[t.tm_wday % 7],
             t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, zone);
  }
  }
  text = stamp;
  return text;
}

const std::string &iso_time(time_t when) { return time_text(when, TIME_ISO); }

/* whether --output-fields keeps a field (all without it) */
inline bool field_wanted(const char *name) {
  const std::vector<std::string> &f = vezcat__opts.output_fields;
  return f.empty() || std::find(f.begin(), f.end(), name) != f.end();
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

/* the bytes a JSON string cannot hold as they are, or that may begin more than ASCII */
struct json_plain_table {
  bool plain[256];
  json_plain_table() {
    for (int c = 0; c < 256; c++)
      plain[c] = c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
  }
};
const json_plain_table json_plain;

/* a JSON string of UTF-8 text, or the array of the bytes of any other */
void json_value(const std::string &s) {
  const char *hex = LOG_FORMAT_HEX_DIGITS;
  /* most fields are printable ASCII with nothing to escape: copied at once */
  const unsigned char *u = reinterpret_cast<const unsigned char *>(s.data());
  size_t plain = 0, size = s.size();
  while (plain < size && json_plain.plain[u[plain]])
    plain++;
  if (plain == s.size()) {
    out += '"';
    out += s;
    out += '"';
    return;
  }
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
  const logparse__record &r = e.rec;
  const char *sep = pretty ? ",\n  " : ",";
  out += pretty ? "{\n  " : "{";
  /* a field --output-fields leaves out is written and dropped again */
  size_t field_at = 0;
  bool dropping = false;
  auto drop_last = [&]() {
    if (dropping) out.resize(field_at);
    dropping = false;
  };
  bool every_field = vezcat__opts.output_fields.empty();
  auto key = [&](const char *name, bool first = false) {
    if (!every_field) {
      drop_last();
      field_at = out.size();
      dropping = !first && !field_wanted(name);
    }
    /* one append a key: ,"name": */
    char text[64];
    size_t n = 0, len = strlen(name);
    if (!first) {
      size_t s = pretty ? 4 : 1;
      memcpy(text, sep, s);
      n = s;
    }
    text[n++] = '"';
    if (len > sizeof text - 12) len = sizeof text - 12;
    memcpy(text + n, name, len);
    n += len;
    memcpy(text + n, pretty ? "\": " : "\":", pretty ? 3 : 2);
    n += pretty ? 3 : 2;
    out.append(text, n);
  };
  auto number = [&](const char *name, long long v) {
    key(name);
    char digits[LOG_FORMAT_DECIMAL_MAX];
    out.append(digits, (size_t)log_format__put_decimal(digits, v));
  };
  auto end = [&]() {
    drop_last();
    out += pretty ? "\n}\n" : "}\n";
  };
  key("time", true);
  if (e.when != 0)
    json_value(iso_time(e.when));
  else
    out += "null";
  key("kind");
  json_value(vezcat__kind_names[vezcat__record_kind(log, r)]);
  key("file");
  /* the file's name, made a JSON string once for all its records */
  static std::string named, file_text;
  if (file_text.empty() || named != log.path) {
    std::string keep;
    keep.swap(out);
    json_value(log.path);
    file_text.swap(out);
    out.swap(keep);
    named = log.path;
  }
  out += file_text;
  number("offset", r.offset);
  if (r.headless) {
    /* lines of no record: where they lie, what they are, and their text */
    number("lines", (long long)r.lines);
    number("bytes", r.bytes);
    key("text");
    json_value(r.text.str()); /* the first LOGPARSE_STRAY_TEXT_MAX bytes, where it is long */
    key("damaged");
    json_value(r.damage);
    end();
    return;
  }
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
  if (r.description_cut) {
    key("description_cut");
    out += "true";
  }
  if (field_wanted("data")) {
    key("data");
    if (r.has_data) {
      out += '"';
      hex_of(r.data);
      out += '"';
    } else {
      out += "null";
    }
  }
  key("data_partial");
  out += r.data_partial ? "true" : "false";
  key("damaged");
  if (r.damage != nullptr)
    json_value(r.damage);
  else
    out += "false";
  end();
}

/*
** The code point of the UTF-8 sequence at p (its length in *n), or -1 where
** no well-formed one starts there.
*/
long code_point(const unsigned char *p, const unsigned char *end, int *n) {
  int more = (*p & 0xe0) == 0xc0 ? 1 : (*p & 0xf0) == 0xe0 ? 2 : (*p & 0xf8) == 0xf0 ? 3 : -1;
  if (more < 0 || end - p <= more) return -1;
  long cp = *p & (0x3f >> more);
  for (int i = 1; i <= more; i++) {
    if ((p[i] & 0xc0) != 0x80) return -1;
    cp = cp << 6 | (p[i] & 0x3f);
  }
  static const long least[] = {0, 0x80, 0x800, 0x10000};
  if (cp < least[more] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
  *n = more + 1;
  return cp;
}

/* the code points a terminal acts on rather than shows: C1 controls, and the bidirectional
   overrides and isolates, which reorder what follows them */
bool acts_on_terminal(long cp) {
  return (cp >= 0x80 && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

size_t safe_text(const char *text, size_t size, bool last = false);

/* the record's lines with the platform's line ends; every control character but the tab
   (C0, DEL, C1 as a byte) shown as \xHH, and every C1 control or bidirectional override
   in UTF-8 as \uHHHH; with time, that in place of the header's own */
void shown(const vezcat__log &log, const vezcat__entry &e, const std::string *time) {
  const logparse__record &r = e.rec;
  bool color = vezcat__opts.color && vezcat__record_kind(log, r) == VEZCAT_ERROR;
  if (color) out += COLOR_ERROR;
  size_t skip = 0;
  std::string carry; /* a CR, or a UTF-8 sequence, cut at the end of a piece */
  auto piece = [&](const char *bytes, size_t n) {
    if (time != nullptr && skip == 0 && r.text.size() >= 20 && n >= 6) {
      out.append(bytes, 6);
      out += *time;
      skip = 20;
    }
    size_t from = 0;
    if (skip > 0 && skip != (size_t)-1) {
      from = skip < n ? skip : n;
      skip = skip <= n ? (size_t)-1 : skip - n;
    } else if (skip == 0) {
      skip = (size_t)-1;
    }
    std::string joined = carry;
    joined.append(bytes + from, n - from);
    carry.clear();
    size_t kept = safe_text(joined.data(), joined.size());
    carry.assign(joined, kept, std::string::npos);
    keep_small();
  };
  r.text.each(piece);
  if (!carry.empty()) safe_text(carry.data(), carry.size(), true);
  if (!r.text.empty() && r.text.back() != '\n') out += '\n';
  /* the colour ends before the last line end: a pager's next line starts plain */
  if (color)
    out.insert(!out.empty() && out.back() == '\n' ? out.size() - 1 : out.size(), COLOR_OFF);
  if (r.damage != nullptr && !r.headless) {
    if (vezcat__opts.color) out += COLOR_DAMAGE;
    out += "-- damaged record (" + log.path + ", offset " + std::to_string(r.offset) + "): ";
    out += r.damage;
    out += " --";
    if (vezcat__opts.color) out += COLOR_OFF;
    out += '\n';
  }
}

/*
** Text made safe for a terminal into out: line ends the platform's, every
** control character but the tab (C0, DEL, C1 as a byte) as \xHH, every C1
** control or bidirectional override in UTF-8 as \uHHHH. Returns how much
** of it was taken: a CR or a UTF-8 sequence cut at its end waits for the
** next piece, unless last.
*/
size_t safe_text(const char *text, size_t size, bool last) {
  const char *hex = LOG_FORMAT_HEX_DIGITS;
  const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
  const unsigned char *end = p + size;
  while (p < end) {
    const unsigned char *run = p;
    while (p < end && ((*p >= 0x20 && *p < 0x7f) || *p == '\t'))
      p++;
    out.append(reinterpret_cast<const char *>(run), (size_t)(p - run));
    if (p == end) break;
    if (p[0] == '\r' && p + 1 == end && !last) break; /* its LF may come next */
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
    int n = 0;
    long cp = *p >= 0x80 ? code_point(p, end, &n) : -1;
    if (cp < 0 && *p >= 0xc0 && end - p < 4 && !last) break; /* the rest may come next */
    if (cp >= 0 && !acts_on_terminal(cp)) {
      out.append(reinterpret_cast<const char *>(p), (size_t)n);
      p += n;
    } else if (cp >= 0) {
      char u[8] = {'\\',        'u', hex[cp >> 12 & 15], hex[cp >> 8 & 15], hex[cp >> 4 & 15],
                   hex[cp & 15]};
      out.append(u, 6);
      p += n;
    } else if (*p >= 0xa0) {
      out += (char)*p++; /* a byte of no UTF-8 character, and no control of any terminal */
    } else {
      unsigned char c = *p++;
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return (size_t)(p - reinterpret_cast<const unsigned char *>(text));
}

/* lines of no record: a marked line saying where they lie, then their text made safe */
void shown_stray(const vezcat__log &log, const vezcat__entry &e) {
  const logparse__record &r = e.rec;
  if (vezcat__opts.color) out += COLOR_DAMAGE;
  out += "-- damaged (" + log.path + ", offset " + std::to_string(r.offset) +
         "): " + std::to_string(r.lines) + (r.lines == 1 ? " line" : " lines") +
         " that belong to no record" +
         (r.text.size() < r.bytes ? ", the first " + std::to_string(r.text.size()) + " of " +
                                        std::to_string(r.bytes) + " bytes shown"
                                  : "") +
         " --";
  if (vezcat__opts.color) out += COLOR_OFF;
  out += '\n';
  std::string text = r.text.str(); /* lines of no record: at most LOGPARSE_STRAY_TEXT_MAX */
  safe_text(text.data(), text.size(), true);
  if (!text.empty() && text.back() != '\n') out += '\n';
}

/*
** The journal's export format: an entry a record, its fields one a line
** ("NAME=value"), a value holding a line end written as its length (64
** bits, little-endian) and its bytes; entries apart by an empty line. The
** record's time is the entry's realtime.
*/
void export_field(const char *name, const std::string &value) {
  out += name;
  if (value.find('\n') == std::string::npos) {
    out += '=';
    out += value;
    out += '\n';
    return;
  }
  out += '\n';
  uint64_t n = value.size();
  for (int i = 0; i < 8; i++)
    out += (char)(n >> (8 * i) & 0xff);
  out += value;
  out += '\n';
}

/* the priority of a kind's records: an error 3 (err), an audit 6 (info), a device message
   7 (debug) */
const char *const priority_of[3] = {"3", "6", "7"};

/*
** A record's fields as the journal's entry holds them, each given to
** field(name, value); the data's, whose hex may be long, to data() (where
** it has data) at its place among them.
*/
template <typename Field, typename Data>
void entry_fields(const vezcat__log &log, const vezcat__entry &e, Field field, Data data) {
  const logparse__record &r = e.rec;
  if (r.headless) {
    field("MESSAGE", std::string("damaged: ") + r.damage);
    field("PRIORITY", "4");
    field("SYSLOG_IDENTIFIER", "vezcat");
    field("VEZ_KIND", vezcat__kind_names[log.kind]);
    field("VEZ_LOG", log.path);
    field("VEZ_OFFSET", std::to_string(r.offset));
    field("VEZ_DAMAGED", r.damage);
    field("VEZ_TEXT", r.text.str());
    return;
  }
  field("MESSAGE", r.description);
  vezcat__kind kind = vezcat__record_kind(log, r);
  field("PRIORITY", priority_of[kind]);
  field("SYSLOG_IDENTIFIER", r.process);
  field("CODE_FILE", r.source);
  field("CODE_LINE", std::to_string(r.line));
  if (r.error_code != 0) field("ERRNO", std::to_string(r.error_code));
  field("VEZ_KIND", vezcat__kind_names[kind]);
  field("VEZ_LEVEL", std::to_string(r.message_level));
  field("VEZ_THRESHOLD", std::to_string(r.configured_level));
  if (r.description_cut) field("VEZ_DESCRIPTION_CUT", "1");
  if (r.has_data) {
    data();
    if (r.data_partial) field("VEZ_DATA_PARTIAL", "1");
  }
  if (r.source_cut) field("VEZ_SOURCE_CUT", "1");
  if (r.damage != nullptr) field("VEZ_DAMAGED", r.damage);
  field("VEZ_LOG", log.path);
  field("VEZ_OFFSET", std::to_string(r.offset));
}

void export_entry(const vezcat__log &log, const vezcat__entry &e) {
  if (e.when != 0)
    export_field("__REALTIME_TIMESTAMP", std::to_string((long long)e.when) + "000000");
  entry_fields(
      log, e,
      [](const char *name, const std::string &value) {
        if (field_wanted(name)) export_field(name, value);
      },
      [&]() {
        if (!field_wanted("VEZ_DATA")) return;
        out += "VEZ_DATA=";
        hex_of(e.rec.data);
        out += '\n';
      });
  out += '\n';
}

/* journalctl's verbose form: the full time, then every field on a line of its own, made
   safe for a terminal (a value of several lines goes on indented) */
void verbose_entry(const vezcat__log &log, const vezcat__entry &e) {
  out += e.when != 0 ? time_text(e.when, TIME_FULL) : std::string("(no time)");
  out += '\n';
  auto field = [](const char *name, const std::string &value) {
    if (!field_wanted(name)) return;
    out += "    ";
    out += name;
    out += '=';
    size_t at = out.size();
    size_t printable = 0;
    while (printable < value.size() && log_format__printable((unsigned char)value[printable]))
      printable++;
    if (printable == value.size()) {
      out += value; /* most values: nothing to make safe */
      out += '\n';
      return;
    }
    safe_text(value.data(), value.size(), true);
    for (size_t nl; (nl = out.find('\n', at)) != std::string::npos; at = nl + 9)
      out.insert(nl + 1, "        ");
    out += '\n';
  };
  entry_fields(log, e, field, [&]() {
    if (!field_wanted("VEZ_DATA")) return;
    out += "    VEZ_DATA=";
    hex_of(e.rec.data);
    out += '\n';
  });
}

/* -o cat: the description alone (lines of no record: their text), made safe */
void cat_entry(const vezcat__entry &e) {
  const logparse__record &r = e.rec;
  std::string text = r.headless ? r.text.str() : r.description;
  safe_text(text.data(), text.size(), true);
  if (text.empty() || out.back() != '\n') out += '\n';
}

[[noreturn]] void output_failed(int e) {
  /* a reader that went away (vezcat | head) ends the run quietly */
  if (e == EPIPE) exit(0);
  exit(cli_report__fail(1, "cannot write the output: %s", cli_report__errno_reason(e)));
}

} // namespace

namespace {

/* whether a program of that name lies in a directory of PATH */
bool on_path(const std::string &program) {
  const char *path = getenv("PATH");
  const char separator = VEZ_OS_WIN ? ';' : ':';
  for (std::string dirs = path != nullptr ? path : ""; !dirs.empty();) {
    size_t at = dirs.find(separator);
    std::string dir = dirs.substr(0, at);
    dirs = at == std::string::npos ? "" : dirs.substr(at + 1);
    if (dir.empty()) continue;
    for (const char *suffix : {"", ".exe"})
      if (_access((dir + VEZ_DIRSEP + program + suffix).c_str(), 0) == 0) return true;
  }
  return false;
}

/* the pager's command, as journalctl finds it, or empty for none */
std::string pager_command() {
  for (const char *name : {"SYSTEMD_PAGER", "PAGER"}) {
    const char *v = getenv(name);
    if (v != nullptr && v[0] != '\0') return strcmp(v, "cat") == 0 ? "" : v;
  }
  return on_path("less") ? "less" : "";
}

} // namespace

void vezcat_out__begin(void) {
  sink = stdout;
  /* on a terminal, through a pager, as journalctl does (never while following) */
  const vezcat__options &o = vezcat__opts;
  if (o.pager && !o.follow && _isatty(_fileno(stdout))) {
    std::string command = pager_command();
    if (!command.empty()) {
      if (getenv("LESS") == nullptr) _putenv("LESS=FRSXMK");
      /* -e: less opens at the end (journalctl passes it the same) */
      if (o.end && (command == "less" || command.compare(0, 5, "less ") == 0)) command += " +G";
      fflush(stdout);
      FILE *pager = _popen(command.c_str(), "w");
      if (pager != nullptr) sink = pager;
    }
  }
  /* the stored bytes as they are; every other form in the platform's text convention */
  if (vezcat__opts.form == VEZCAT_RAW || vezcat__opts.form == VEZCAT_EXPORT)
    _setmode(_fileno(sink), _O_BINARY);
  out.reserve(1 << 16);
}

void vezcat_out__end(void) {
  vezcat_out__flush();
  if (sink != nullptr && sink != stdout) _pclose(sink); /* until the pager is quit */
  sink = stdout;
}

void vezcat_out__record(const vezcat__log &log, const vezcat__entry &e) {
  switch (vezcat__opts.form) {
  case VEZCAT_RAW: /* as stored, damage and all */
    e.rec.text.each([](const char *p, size_t n) {
      out.append(p, n);
      keep_small();
    });
    break;
  case VEZCAT_SHORT:
  case VEZCAT_SHORT_ISO:
  case VEZCAT_SHORT_PRECISE:
  case VEZCAT_SHORT_UNIX:
  case VEZCAT_SHORT_FULL: {
    if (e.rec.headless) {
      shown_stray(log, e);
      break;
    }
    static const time_style styles[] = {TIME_HEADER, TIME_ISO,    TIME_HEADER, TIME_HEADER,
                                        TIME_HEADER, TIME_HEADER, TIME_HEADER, TIME_PRECISE,
                                        TIME_UNIX,   TIME_FULL};
    vezcat__form f = vezcat__opts.form;
    /* the short form keeps the header's own time, but in UTC */
    bool own = f == VEZCAT_SHORT && !vezcat__opts.utc;
    shown(log, e, own || e.when == 0 ? nullptr : &time_text(e.when, styles[f]));
    break;
  }
  case VEZCAT_JSON: json(log, e, false); break;
  case VEZCAT_JSON_SEQ:
    out += '\x1e'; /* RFC 7464: each text after a record separator */
    json(log, e, false);
    break;
  case VEZCAT_JSON_PRETTY: json(log, e, true); break;
  case VEZCAT_EXPORT: export_entry(log, e); break;
  case VEZCAT_VERBOSE: verbose_entry(log, e); break;
  case VEZCAT_CAT: cat_entry(e); break;
  case VEZCAT_FORMS: break;
  }
  if (out.size() >= (1 << 16)) vezcat_out__flush();
}

namespace {

void write_out() {
  FILE *to = sink != nullptr ? sink : stdout;
  if (!out.empty()) {
    errno = 0;
    size_t n = fwrite(out.data(), 1, out.size(), to);
    if (n != out.size()) output_failed(errno != 0 ? errno : EIO);
    out.clear();
  }
}

} // namespace

void vezcat_out__flush(void) {
  FILE *to = sink != nullptr ? sink : stdout;
  write_out();
  errno = 0;
  if (fflush(to) != 0 || ferror(to)) output_failed(errno != 0 ? errno : EIO);
}
