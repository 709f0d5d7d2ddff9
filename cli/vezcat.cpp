/*
** vezcat.cpp - the logs' reader: merges the records of every log of the
** configuration in force (or of the files named) in time order, filters
** them, prints them as written or as JSON, and follows them as they grow.
**
**   vezcat [--json] [--follow] [--kind KIND]... [--process NAME]
**          [--level N | --level N..M] [--since TIME] [--until TIME]
**          [--grep TEXT] [FILE...]
**
** Without FILEs it reads the logs exactly as the library names them, for
** itself and for every process of the process-index table: the error log,
** each audit log, "kp_dvmsgs", each ".old" copy before its log. TIME is
** "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD" or "HH:MM[:SS]" (today). A damaged
** line is skipped, and counted on standard error.
*/
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli_report.h"
#include "log_cfg.h"
#include "log_errf.h"
#include "logparse.h"
#include "platform.h"

namespace {

constexpr int STATUS_USAGE = 2;
constexpr int STATUS_UNREADABLE = 1;
constexpr int FOLLOW_POLL_MS = 100;
/* the bytes that tell one log file from the next one under the same name */
constexpr size_t SIGNATURE_SIZE = 256;
constexpr int NAME_SIZE = 260;

enum kind { KIND_ERROR, KIND_AUDIT, KIND_DEVMSG };
const char *const kind_names[] = {"error", "audit", "devmsg"};

struct options {
  bool json = false, follow = false;
  unsigned kinds = 0; /* bits of kind; 0: all */
  std::string process, grep;
  long long level_min = -2147483648LL, level_max = 2147483647LL;
  time_t since = 0, until = 0;
};

/* a log and how far it has been read */
struct log_file {
  std::string path;
  kind what;
  long long offset = 0;
  std::string signature;
  bool missing = true;
};

struct entry {
  time_t when;
  size_t file;
  size_t order;
  logparse__record rec;
};

size_t damaged_lines = 0;

/* the year a header of MM/DD belongs to: this one, or the last if that puts it a day ahead */
time_t record_time(const logparse__record &r, time_t now) {
  /* records come in runs of one second: the conversion is made once a run */
  static int last[5] = {-1, -1, -1, -1, -1};
  static time_t last_time = 0;
  int fields[5] = {r.month, r.day, r.hour, r.minute, r.second};
  if (memcmp(fields, last, sizeof fields) == 0) return last_time;
  memcpy(last, fields, sizeof last);
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  struct tm *today = localtime(&now);
  tm.tm_year = today != nullptr ? today->tm_year : 126;
  tm.tm_mon = r.month - 1;
  tm.tm_mday = r.day;
  tm.tm_hour = r.hour;
  tm.tm_min = r.minute;
  tm.tm_sec = r.second;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  if (t > now + 24 * 3600) {
    tm.tm_year--;
    tm.tm_isdst = -1;
    t = mktime(&tm);
  }
  last_time = t;
  return t;
}

bool parse_time(const char *text, time_t *out) {
  int y, mo, d, h = 0, mi = 0, s = 0;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  char tail;
  if (sscanf(text, "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) == 6 ||
      sscanf(text, "%d-%d-%d%c", &y, &mo, &d, &tail) == 3) {
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
  } else if (sscanf(text, "%d:%d:%d%c", &h, &mi, &s, &tail) == 3 ||
             (s = 0, sscanf(text, "%d:%d%c", &h, &mi, &tail) == 2)) {
    time_t now = time(nullptr);
    struct tm *today = localtime(&now);
    if (today == nullptr) return false;
    tm = *today;
  } else {
    return false;
  }
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  *out = mktime(&tm);
  return *out != (time_t)-1;
}

bool wanted(const options &o, const log_file &f, const logparse__record &r, time_t when) {
  if (o.kinds != 0 && !(o.kinds & (1u << f.what))) return false;
  if (!o.process.empty() && r.process != o.process) return false;
  if (r.message_level < o.level_min || r.message_level > o.level_max) return false;
  if (o.since != 0 && when < o.since) return false;
  if (o.until != 0 && when > o.until) return false;
  return o.grep.empty() || r.description.find(o.grep) != std::string::npos;
}

void json_string(std::string *out, const std::string &s) {
  static const char hex[] = "0123456789abcdef";
  *out += '"';
  const char *p = s.data(), *end = p + s.size();
  while (p < end) {
    /* a run that needs no escape goes in at once */
    const char *run = p;
    while (p < end && (unsigned char)*p >= 0x20 && (unsigned char)*p < 0x7f && *p != '"' &&
           *p != '\\')
      p++;
    out->append(run, (size_t)(p - run));
    if (p == end) break;
    unsigned char c = (unsigned char)*p++;
    if (c == '"' || c == '\\') {
      *out += '\\';
      *out += (char)c;
    } else {
      char esc[7] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15], '\0'};
      out->append(esc, 6);
    }
  }
  *out += '"';
}

void print(const options &o, const log_file &f, const logparse__record &r, time_t when) {
  if (!o.json) {
    fwrite(r.text.data(), 1, r.text.size(), stdout);
    return;
  }
  static const char hex[] = "0123456789abcdef";
  static char stamp[32];
  static time_t stamped = (time_t)-1;
  if (when != stamped) {
    struct tm *tm = localtime(&when);
    if (tm == nullptr || strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", tm) == 0)
      stamp[0] = '\0';
    stamped = when;
  }
  static std::string out;
  out.clear();
  out.reserve(256 + r.description.size() * 2 + r.data.size() * 2);
  out += "{\"time\":\"";
  out += stamp;
  out += "\",\"kind\":\"";
  out += kind_names[f.what];
  out += "\",\"file\":";
  json_string(&out, f.path);
  char numbers[96];
  snprintf(numbers, sizeof numbers, ",\"level\":%d,\"threshold\":%d,\"err\":%lld", r.message_level,
           r.configured_level, r.error_code);
  out += numbers;
  out += ",\"process\":";
  json_string(&out, r.process);
  out += ",\"source\":";
  json_string(&out, r.source);
  snprintf(numbers, sizeof numbers, ",\"source_cut\":%s,\"line\":%ld",
           r.source_cut ? "true" : "false", r.line);
  out += numbers;
  out += ",\"description\":";
  json_string(&out, r.description);
  if (r.has_data) {
    out += ",\"data\":\"";
    size_t at = out.size();
    out.resize(at + r.data.size() * 2);
    for (unsigned char c : r.data) {
      out[at++] = hex[c >> 4];
      out[at++] = hex[c & 15];
    }
    out += std::string("\",\"data_partial\":") + (r.data_partial ? "true" : "false");
  } else {
    out += ",\"data\":null,\"data_partial\":false";
  }
  out += "}\n";
  fwrite(out.data(), 1, out.size(), stdout);
}

/* a file's bytes from offset on; false when it cannot be opened */
bool read_from(const std::string &path, long long offset, std::string *bytes) {
  bytes->clear();
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  if (fseek(f, 0, SEEK_END) == 0) {
    long size = ftell(f);
    if (size > offset) bytes->reserve((size_t)(size - offset));
  }
  if (fseek(f, (long)offset, SEEK_SET) != 0) {
    fclose(f);
    return true;
  }
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    bytes->append(buf, n);
  fclose(f);
  return true;
}

std::string signature_of(const std::string &path) {
  std::string head;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return head;
  char buf[SIGNATURE_SIZE];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);
  return std::string(buf, n);
}

/* the records of bytes (read from offset of file i) into entries; returns bytes used */
/* the records as written are kept only for printing them so */
bool keep_text = true;

size_t collect(const std::string &bytes, logparse__end ends, size_t i, time_t now,
               std::vector<entry> *entries) {
  std::vector<logparse__record> recs;
  size_t used = 0;
  logparse__parse(bytes, ends, keep_text, &recs, &used, &damaged_lines);
  for (logparse__record &r : recs) {
    time_t t = record_time(r, now);
    entries->push_back(entry{t, i, entries->size(), std::move(r)});
  }
  return used;
}

void flush(const options &o, const std::vector<log_file> &files, std::vector<entry> *entries) {
  /* the records are put in order by reference: they are large */
  std::vector<const entry *> order;
  order.reserve(entries->size());
  for (const entry &e : *entries)
    order.push_back(&e);
  std::sort(order.begin(), order.end(), [](const entry *a, const entry *b) {
    return a->when != b->when ? a->when < b->when : a->order < b->order;
  });
  for (const entry *e : order)
    if (wanted(o, files[e->file], e->rec, e->when)) print(o, files[e->file], e->rec, e->when);
  entries->clear();
  fflush(stdout);
}

void add_log(std::vector<log_file> *files, const std::string &path, kind what) {
  for (const log_file &f : *files)
    if (f.path == path) return;
  log_file f;
  f.path = path;
  f.what = what;
  files->push_back(f);
}

/* the three logs of a process of this name (nullptr: of this program), as it names them */
void logs_of(const char *program, std::vector<log_file> *files) {
  char cache[LOG_PATH_SIZE], path[LOG_PATH_SIZE];
  cache[0] = '\0';
  log_errf__cached_path(cache, path, "ERRORLOGFILE", "error", program);
  add_log(files, path, KIND_ERROR);
  cache[0] = '\0';
  log_errf__cached_path(cache, path, "AUDITLOGFILE", program != nullptr ? program : "default",
                        program);
  if (program != nullptr) add_log(files, path, KIND_AUDIT);
  cache[0] = '\0';
  log_errf__cached_path(cache, path, nullptr, "kp_dvmsgs", program);
  add_log(files, path, KIND_DEVMSG);
}

/* every log of the configuration in force */
void configured_logs(std::vector<log_file> *files) {
  logs_of(nullptr, files);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, LOG_CFG_INDEX_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
    return;
  for (DWORD i = 0;; i++) {
    char name[NAME_SIZE];
    DWORD size = sizeof name;
    LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc == ERROR_SUCCESS) logs_of(name, files);
  }
  RegCloseKey(key);
}

kind kind_of_name(const std::string &path) {
  std::string base = path.substr(path.find_last_of("/\\") + 1);
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".old") == 0)
    base.resize(base.size() - 4);
  /* a central rsyslog names what it gathers "vezlog-" and the log's name */
  if (base.compare(0, 7, "vezlog-") == 0) base.erase(0, 7);
  char error_name[LOG_FILE_NAME_SIZE];
  if (!log_cfg__read_text("ERRORLOGFILE", error_name, sizeof error_name))
    strcpy(error_name, "error");
  if (base == "kp_dvmsgs") return KIND_DEVMSG;
  return base == error_name ? KIND_ERROR : KIND_AUDIT;
}

/* one input of the merge: a log read in pieces, its parsed records in waiting */
struct stream {
  FILE *file = nullptr;
  size_t index = 0;         /* in the list of logs and copies */
  std::string pending;      /* read, not yet parsed */
  std::vector<entry> ready; /* parsed, not yet printed */
  size_t next = 0;
  bool at_end = false;
  long long consumed = 0; /* bytes parsed into records */
  std::string head;       /* the file's first bytes */
};

constexpr size_t READ_PIECE = 1 << 20;

/* parses more of a stream until a record waits or the file is done */
void refill(stream *s, bool follow, time_t now) {
  while (s->next == s->ready.size() && !(s->at_end && s->pending.empty())) {
    s->ready.clear();
    s->next = 0;
    if (!s->at_end) {
      size_t have = s->pending.size();
      s->pending.resize(have + READ_PIECE);
      size_t n = fread(&s->pending[have], 1, READ_PIECE, s->file);
      s->pending.resize(have + n);
      if (s->head.size() < SIGNATURE_SIZE) s->head = s->pending.substr(0, SIGNATURE_SIZE);
      if (n < READ_PIECE) s->at_end = true;
    }
    /* a log still written keeps a last line without its end for the next read */
    logparse__end ends = !s->at_end ? LOGPARSE_PIECE : follow ? LOGPARSE_GROWING : LOGPARSE_WHOLE;
    size_t used = collect(s->pending, ends, s->index, now, &s->ready);
    s->pending.erase(0, used);
    s->consumed += (long long)used;
    if (s->at_end && used == 0) break;
  }
}

/*
** Reads every log once, each ".old" copy before its log, and prints the
** records merged in time order: each log is in time order already, so the
** logs are read side by side, a piece at a time, and the earliest waiting
** record goes out first.
*/
void read_all(const options &o, std::vector<log_file> *files, bool named) {
  time_t now = time(nullptr);
  std::vector<log_file> all;
  std::vector<stream> streams;
  std::vector<size_t> stream_of_log(files->size(), (size_t)-1);
  for (size_t i = 0; i < files->size(); i++) {
    log_file &f = (*files)[i];
    for (int copy = named ? 1 : 0; copy < 2; copy++) {
      std::string path = copy == 0 ? f.path + ".old" : f.path;
      FILE *file = fopen(path.c_str(), "rb");
      if (file == nullptr) {
        if (copy == 1 && named) cli_report__fail(STATUS_UNREADABLE, "cannot read %s", path.c_str());
        continue;
      }
      log_file entry_file = f;
      entry_file.path = path;
      all.push_back(entry_file);
      stream s;
      s.file = file;
      s.index = all.size() - 1;
      streams.push_back(s);
      if (copy == 1) {
        f.missing = false;
        stream_of_log[i] = streams.size() - 1;
      }
    }
  }
  /* the logs themselves may still be written while they are followed; the copies are not */
  auto growing = [&](const stream &s) {
    return o.follow && all[s.index].path.size() >= 4 &&
           all[s.index].path.compare(all[s.index].path.size() - 4, 4, ".old") != 0;
  };
  for (stream &s : streams)
    refill(&s, growing(s), now);
  size_t order = 0;
  for (;;) {
    stream *first = nullptr;
    for (stream &s : streams) {
      if (s.next == s.ready.size()) continue;
      const entry &e = s.ready[s.next];
      if (first == nullptr || e.when < first->ready[first->next].when) first = &s;
    }
    if (first == nullptr) break;
    entry &e = first->ready[first->next++];
    e.order = order++;
    if (wanted(o, all[e.file], e.rec, e.when)) print(o, all[e.file], e.rec, e.when);
    if (first->next == first->ready.size()) refill(first, growing(*first), now);
  }
  fflush(stdout);
  for (size_t i = 0; i < files->size(); i++) {
    if (stream_of_log[i] == (size_t)-1) continue;
    const stream &s = streams[stream_of_log[i]];
    (*files)[i].offset = s.consumed;
    (*files)[i].signature =
        s.head.substr(0, (size_t)std::min<long long>(s.consumed, (long long)SIGNATURE_SIZE));
  }
  for (stream &s : streams)
    fclose(s.file);
}

/*
** Follows the logs: a log that grew is read from where it was left; one
** that was rotated (its first bytes are no longer those read) is read to its
** end in its ".old" copy, then afresh. A reader more than one rotation
** behind has lost a whole file: said on standard error.
*/
void follow(const options &o, std::vector<log_file> *files) {
  for (;;) {
    Sleep(FOLLOW_POLL_MS);
    time_t now = time(nullptr);
    std::vector<entry> entries;
    for (size_t i = 0; i < files->size(); i++) {
      log_file &f = (*files)[i];
      std::string head = signature_of(f.path), bytes;
      bool same = !f.missing && head.size() >= f.signature.size() &&
                  head.compare(0, f.signature.size(), f.signature) == 0 && !f.signature.empty();
      if (!same && !f.missing && !f.signature.empty()) {
        std::string old_path = f.path + ".old";
        std::string old_head = signature_of(old_path);
        if (old_head.compare(0, f.signature.size(), f.signature) == 0) {
          if (read_from(old_path, f.offset, &bytes))
            collect(bytes, LOGPARSE_WHOLE, i, now, &entries);
        } else {
          cli_report__warn("%s was rotated twice since it was read: records may be missed",
                           f.path.c_str());
        }
        f.offset = 0;
      }
      if (!read_from(f.path, f.offset, &bytes)) {
        f.missing = true;
        f.offset = 0;
        f.signature.clear();
        continue;
      }
      if (f.missing || f.signature.empty()) f.offset = 0;
      f.missing = false;
      f.offset += (long long)collect(bytes, LOGPARSE_GROWING, i, now, &entries);
      f.signature = signature_of(f.path).substr(
          0, (size_t)std::min<long long>(f.offset, (long long)SIGNATURE_SIZE));
    }
    flush(o, *files, &entries);
    if (damaged_lines > 0) {
      cli_report__warn("%lu damaged lines skipped", (unsigned long)damaged_lines);
      damaged_lines = 0;
    }
  }
}

void usage() {
  fprintf(stderr, "usage: vezcat [--json] [--follow] [--kind error|audit|devmsg]... "
                  "[--process NAME]\n"
                  "              [--level N | --level N..M] [--since TIME] [--until TIME] "
                  "[--grep TEXT] [FILE...]\n");
}

} // namespace

int main(int argc, char **argv) {
  cli_report__set_program("vezcat");
  options o;
  static const struct option long_options[] = {
      {"json", no_argument, nullptr, 'j'},        {"follow", no_argument, nullptr, 'f'},
      {"kind", required_argument, nullptr, 'k'},  {"process", required_argument, nullptr, 'p'},
      {"level", required_argument, nullptr, 'l'}, {"since", required_argument, nullptr, 's'},
      {"until", required_argument, nullptr, 'u'}, {"grep", required_argument, nullptr, 'g'},
      {"help", no_argument, nullptr, 'h'},        {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "jfk:p:l:s:u:g:h", long_options, nullptr)) >= 0) {
    switch (c) {
    case 'j': o.json = true; break;
    case 'f': o.follow = true; break;
    case 'k': {
      int k = 0;
      while (k < 3 && strcmp(optarg, kind_names[k]) != 0)
        k++;
      if (k == 3) {
        cli_report__fail(STATUS_USAGE, "unknown kind %s (error, audit or devmsg)", optarg);
        usage();
        return STATUS_USAGE;
      }
      o.kinds |= 1u << k;
      break;
    }
    case 'p': o.process = optarg; break;
    case 'g': o.grep = optarg; break;
    case 'l': {
      char *end = nullptr;
      o.level_min = strtoll(optarg, &end, 10);
      o.level_max = o.level_min;
      if (end != optarg && strncmp(end, "..", 2) == 0) o.level_max = strtoll(end + 2, &end, 10);
      if (end == optarg || *end != '\0' || o.level_max < o.level_min) {
        cli_report__fail(STATUS_USAGE, "bad level range %s", optarg);
        usage();
        return STATUS_USAGE;
      }
      break;
    }
    case 's':
    case 'u':
      if (!parse_time(optarg, c == 's' ? &o.since : &o.until)) {
        cli_report__fail(STATUS_USAGE, "bad time %s", optarg);
        usage();
        return STATUS_USAGE;
      }
      break;
    case 'h': usage(); return 0;
    default: usage(); return STATUS_USAGE;
    }
  }
  keep_text = !o.json;
  /* records go out as they are stored, CR LF and all, on every platform */
  _setmode(_fileno(stdout), _O_BINARY);
  std::vector<log_file> files;
  bool named = optind < argc;
  for (int i = optind; i < argc; i++)
    add_log(&files, argv[i], kind_of_name(argv[i]));
  if (!named) configured_logs(&files);
  read_all(o, &files, named);
  int status = 0;
  if (damaged_lines > 0)
    cli_report__warn("%lu damaged lines skipped", (unsigned long)damaged_lines);
  if (named)
    for (const log_file &f : files)
      if (f.missing) status = STATUS_UNREADABLE;
  if (o.follow) follow(o, &files);
  return status;
}
