/*
** vezcat_read.cpp - reading the logs and following them.
**
** A log is read through a handle that lets writers rotate it (it shares
** deletion): a log moved to ".old" while it is read is read to its end all
** the same. Reading forward merges the logs side by side a piece at a time
** (each log is in time order already); -n and -r read them from their ends
** a piece at a time. Following tells a file by its identity (volume and
** file index) and its size, never by its content: a log that was rotated
** is read to its end through the handle held, then its successor from the
** start; one that was cut back is read on from the last record that is
** still there; logs that appear later are picked up. A record whose last
** line is still being written is held until the file is quiet.
*/
#include <string.h>

#include <algorithm>

#include "cli_report.h"
#include "log_format.h"
#include "platform.h"
#include "vezcat.h"

namespace {

constexpr DWORD PIECE = 1 << 20;
/* read from the end in smaller pieces: -n 10 needs a few records of each log */
constexpr long long BACK_PIECE = 1 << 16;
constexpr int POLL_MS = 50;      /* how often followed logs are looked at */
constexpr int QUIET_MS = 10;     /* a record at a log's end is given out once this quiet */
constexpr int RESCAN_POLLS = 20; /* the logs' directories are looked at again this often */
constexpr int FOLLOW_LAST = 10;  /* records shown before following, unless -n says */

char piece[PIECE];

struct file_id {
  DWORD volume = 0, high = 0, low = 0;
  bool valid = false;
  bool operator==(const file_id &o) const {
    return valid && o.valid && volume == o.volume && high == o.high && low == o.low;
  }
};

/* one file being read: a log, or a log's old copy */
struct source {
  size_t shown = 0; /* its entry in the table of what records name as their file */
  size_t log = 0;   /* the log it belongs to */
  bool old = false;
  HANDLE h = INVALID_HANDLE_VALUE;
  file_id id;
  long long offset = 0; /* bytes read and fed to the parser */
  logparse__parser parser;
  std::vector<vezcat__entry> ready; /* parsed, not yet printed */
  size_t next = 0;
  bool done = false;
  std::vector<long long> starts; /* record starts read, for a log cut back under the reader */
  bool quiet_once = false;       /* nothing new at the last look */
};

std::vector<vezcat__log> shown; /* the files records come from, old copies included */

bool missing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

const char *system_reason(DWORD code) { return cli_report__system_reason(code); }

/*
** Opens a file for reading, sharing everything, writers' rotation
** included. A file that is not there: INVALID_HANDLE_VALUE and *absent; one
** that cannot be read, or is no regular file, is said when say.
*/
HANDLE open_file(const std::string &path, bool say, bool *absent) {
  *absent = false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (say) vezcat__unreadable(path, "is a directory");
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    *absent = missing(code);
    if (say && !*absent) vezcat__unreadable(path, system_reason(code));
    return INVALID_HANDLE_VALUE;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    if (say) vezcat__unreadable(path, "is not a regular file");
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

file_id identity(HANDLE h, long long *size) {
  file_id id;
  BY_HANDLE_FILE_INFORMATION info;
  if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) {
    id.volume = info.dwVolumeSerialNumber;
    id.high = info.nFileIndexHigh;
    id.low = info.nFileIndexLow;
    id.valid = true;
    if (size != nullptr) *size = (long long)info.nFileSizeHigh << 32 | info.nFileSizeLow;
  }
  return id;
}

/* the identity of the file a path names now */
file_id identity_at(const std::string &path, long long *size) {
  bool absent = false;
  HANDLE h = open_file(path, false, &absent);
  file_id id = identity(h, size);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  return id;
}

bool seek(HANDLE h, long long offset) {
  LONG high = (LONG)(offset >> 32);
  DWORD low = SetFilePointer(h, (LONG)(offset & 0xffffffff), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != 0);
}

size_t shown_entry(size_t log, bool old, const std::vector<vezcat__log> &logs) {
  vezcat__log l = logs[log];
  if (old) l.path += ".old";
  for (size_t i = 0; i < shown.size(); i++)
    if (shown[i].path == l.path) return i;
  shown.push_back(l);
  return shown.size() - 1;
}

void to_entries(source *s, std::vector<logparse__record> *recs, time_t now) {
  for (logparse__record &r : *recs) {
    if (vezcat__opts.follow) s->starts.push_back(r.offset);
    time_t when = r.month == 0 ? 0 : vezcat_read__record_time(r, now);
    s->ready.push_back(vezcat__entry{when, s->shown, std::move(r)});
  }
  recs->clear();
}

/* reads one piece of a source into its parser; false when it had nothing more */
bool pull(source *s, time_t now) {
  DWORD got = 0;
  if (!ReadFile(s->h, piece, PIECE, &got, nullptr)) {
    vezcat__unreadable(shown[s->shown].path, system_reason(GetLastError()));
    got = 0;
  }
  std::vector<logparse__record> recs;
  logparse__feed(&s->parser, piece, got, &recs);
  s->offset += got;
  to_entries(s, &recs, now);
  return got > 0;
}

/* gives out the record in hand: at the end of a file no longer written, or of a quiet one */
void flush(source *s, bool at_end, time_t now) {
  std::vector<logparse__record> recs;
  logparse__flush(&s->parser, at_end, &recs);
  to_entries(s, &recs, now);
}

void close_source(source *s) {
  if (s->h != INVALID_HANDLE_VALUE) CloseHandle(s->h);
  s->h = INVALID_HANDLE_VALUE;
}

bool open_source(source *s, const std::vector<vezcat__log> &logs, long long offset) {
  const vezcat__log &l = logs[s->log];
  std::string path = s->old ? l.path + ".old" : l.path;
  bool absent = false;
  s->h = open_file(path, true, &absent);
  if (s->h == INVALID_HANDLE_VALUE) {
    if (absent && l.named && !s->old) vezcat__unreadable(path, system_reason(ERROR_FILE_NOT_FOUND));
    return false;
  }
  /* a file that is no log is refused, not shown as a heap of damage */
  DWORD got = 0;
  if (ReadFile(s->h, piece, (DWORD)LOGPARSE_SAMPLE, &got, nullptr)) {
    const char *why = logparse__not_a_log(piece, got, got < LOGPARSE_SAMPLE);
    if (why != nullptr) {
      vezcat__unreadable(path, (std::string("not a log of vezlog: ") + why).c_str());
      close_source(s);
      return false;
    }
  }
  if (!seek(s->h, 0)) {
    close_source(s);
    return false;
  }
  s->shown = shown_entry(s->log, s->old, logs);
  s->id = identity(s->h, nullptr);
  logparse__init(&s->parser,
                 vezcat__opts.form != VEZCAT_JSON && vezcat__opts.form != VEZCAT_JSON_PRETTY,
                 offset);
  s->offset = offset;
  s->ready.clear();
  s->next = 0;
  s->done = false;
  s->starts.clear();
  if (offset > 0 && !seek(s->h, offset)) return false;
  return true;
}

void deliver(const vezcat__entry &e) {
  const vezcat__log &l = shown[e.log];
  if (vezcat__wanted(l, e)) vezcat_out__record(l, e);
}

/* where following a log begins: after what was given out */
long long resume_point(const source &s) {
  if (logparse__pending(&s.parser)) return s.parser.current.offset;
  return s.parser.at - (long long)s.parser.partial.size();
}

/* --- reading forward --- */

/* parses more of a source until a record waits or the file is done */
void refill(source *s, bool growing, time_t now) {
  while (s->next == s->ready.size() && !s->done) {
    s->ready.clear();
    s->next = 0;
    if (!pull(s, now)) {
      /* a log that is followed keeps a record still being written for the follower */
      if (!growing) flush(s, true, now);
      s->done = true;
    }
  }
}

void forward(std::vector<source> *sources, time_t now) {
  for (source &s : *sources)
    refill(&s, vezcat__opts.follow && !s.old, now);
  for (;;) {
    source *first = nullptr;
    for (source &s : *sources) {
      if (s.next == s.ready.size()) continue;
      if (first == nullptr || s.ready[s.next].when < first->ready[first->next].when) first = &s;
    }
    if (first == nullptr) break;
    deliver(first->ready[first->next++]);
    if (first->next == first->ready.size()) refill(first, vezcat__opts.follow && !first->old, now);
  }
}

/* --- reading backward --- */

struct backward_state {
  source *s;
  long long pos;                  /* read from here down */
  std::vector<std::string> carry; /* the text after pos up to the records given, latest first */
};

/* whether a header starts at chunk[i] (a line start), the mark perhaps running into after */
bool mark_at(const std::string &chunk, size_t i, const std::string &after) {
  for (size_t k = 0; k < (size_t)LOG_FORMAT_MARK_LEN; k++) {
    size_t at = i + k;
    char c = at < chunk.size()                  ? chunk[at]
             : at - chunk.size() < after.size() ? after[at - chunk.size()]
                                                : '\0';
    if (c != LOG_FORMAT_MARK[k]) return false;
  }
  return true;
}

/* the records of a source from its end, a piece at a time, into ready (file order) */
void refill_backward(backward_state *b, time_t now) {
  source *s = b->s;
  while (s->next == s->ready.size() && (b->pos > 0 || !b->carry.empty())) {
    s->ready.clear();
    s->next = 0;
    if (b->pos == 0) {
      /* what lies before the first header belongs to no record */
      std::vector<logparse__record> recs;
      size_t damaged = 0;
      std::string text;
      for (size_t k = b->carry.size(); k-- > 0;)
        text += b->carry[k];
      logparse__parse(text, s->parser.keep_text, &recs, &damaged);
      s->parser.damaged += damaged;
      for (logparse__record &r : recs) {
        time_t when = r.month == 0 ? 0 : vezcat_read__record_time(r, now);
        s->ready.push_back(vezcat__entry{when, s->shown, std::move(r)});
      }
      b->carry.clear();
      break;
    }
    long long start = b->pos > BACK_PIECE ? b->pos - BACK_PIECE : 0;
    std::string chunk((size_t)(b->pos - start), '\0');
    DWORD got = 0;
    if (!seek(s->h, start) || !ReadFile(s->h, &chunk[0], (DWORD)chunk.size(), &got, nullptr) ||
        got != chunk.size()) {
      vezcat__unreadable(shown[s->shown].path, system_reason(GetLastError()));
      b->pos = 0;
      b->carry.clear();
      break;
    }
    const std::string none;
    const std::string &after = b->carry.empty() ? none : b->carry.back();
    size_t i = 0;
    for (; i < chunk.size(); i++)
      if ((i == 0 ? start == 0 : chunk[i - 1] == '\n') && mark_at(chunk, i, after)) break;
    b->pos = start;
    if (i == chunk.size()) {
      b->carry.push_back(std::move(chunk));
      continue;
    }
    std::string text = chunk.substr(i);
    for (size_t k = b->carry.size(); k-- > 0;)
      text += b->carry[k];
    b->carry.clear();
    if (i > 0) b->carry.push_back(chunk.substr(0, i));
    logparse__parser p;
    logparse__init(&p, s->parser.keep_text, start + (long long)i);
    std::vector<logparse__record> recs;
    logparse__feed(&p, text.data(), text.size(), &recs);
    logparse__flush(&p, true, &recs);
    s->parser.damaged += p.damaged;
    for (logparse__record &r : recs) {
      time_t when = r.month == 0 ? 0 : vezcat_read__record_time(r, now);
      s->ready.push_back(vezcat__entry{when, s->shown, std::move(r)});
    }
  }
}

/* the records of every source from the latest on; each given to take until it says stop */
template <typename Take> void backward(std::vector<source> *sources, time_t now, Take take) {
  std::vector<backward_state> states;
  for (source &s : *sources) {
    long long size = 0;
    identity(s.h, &size);
    states.push_back(backward_state{&s, size, {}});
  }
  for (backward_state &b : states)
    refill_backward(&b, now);
  for (;;) {
    backward_state *latest = nullptr;
    for (backward_state &b : states) {
      source *s = b.s;
      if (s->next == s->ready.size()) continue;
      const vezcat__entry &e = s->ready[s->ready.size() - 1 - s->next];
      if (latest == nullptr ||
          e.when > latest->s->ready[latest->s->ready.size() - 1 - latest->s->next].when)
        latest = &b;
    }
    if (latest == nullptr) return;
    source *s = latest->s;
    vezcat__entry &e = s->ready[s->ready.size() - 1 - s->next++];
    if (!take(e)) return;
    if (s->next == s->ready.size()) refill_backward(latest, now);
  }
}

/* --- following --- */

struct followed {
  source s;
  bool open = false;
  bool warned = false;
  time_t last_seen = 0; /* the time of the last record given out */
};

void give_out(std::vector<vezcat__entry> *batch) {
  std::stable_sort(batch->begin(), batch->end(),
                   [](const vezcat__entry &a, const vezcat__entry &b) { return a.when < b.when; });
  for (const vezcat__entry &e : *batch)
    deliver(e);
  batch->clear();
  vezcat_out__flush();
}

void collect(source *s, std::vector<vezcat__entry> *batch, time_t *last_seen) {
  for (size_t i = s->next; i < s->ready.size(); i++) {
    *last_seen = s->ready[i].when;
    batch->push_back(std::move(s->ready[i]));
  }
  s->ready.clear();
  s->next = 0;
}

/* reads a file whole from its start (a generation the follower never saw as the log) */
void read_whole(size_t log, const std::vector<vezcat__log> &logs, std::vector<vezcat__entry> *batch,
                time_t now, time_t *last_seen) {
  source old;
  old.log = log;
  old.old = true;
  if (!open_source(&old, logs, 0)) return;
  while (pull(&old, now)) {
  }
  flush(&old, true, now);
  collect(&old, batch, last_seen);
  close_source(&old);
}

/*
** One look at a followed log: what was added is read; a log now another
** file (rotated, replaced, removed) is read to its end and the file now at
** its name taken up; one shorter than what was read (cut back) is read on
** from the last record start that is still within it.
*/
void look(followed *f, const std::vector<vezcat__log> &logs, std::vector<vezcat__entry> *batch,
          time_t now) {
  source *s = &f->s;
  const std::string &path = logs[s->log].path;
  if (!f->open) {
    long long size = 0;
    if (identity_at(path, &size).valid && open_source(s, logs, 0)) f->open = true;
    if (!f->open) return;
  }
  bool grew = false;
  while (pull(s, now))
    grew = true;
  long long size = 0;
  identity(s->h, &size);
  if (size < s->offset) {
    /* cut back under the reader: on from the last record start that is still there */
    long long at = 0;
    for (size_t i = s->starts.size(); i-- > 0;)
      if (s->starts[i] <= size) {
        at = s->starts[i];
        break;
      }
    cli_report__warn("%s was cut back; read on from byte %lld", path.c_str(), at);
    std::vector<long long> keep;
    for (long long x : s->starts)
      if (x < at) keep.push_back(x);
    close_source(s);
    f->open = open_source(s, logs, at);
    s->starts = keep;
    if (!f->open) return;
    while (pull(s, now))
      grew = true;
  }
  long long now_size = 0;
  file_id at_name = identity_at(path, &now_size);
  if (!(at_name == s->id)) {
    /* the file read is no longer the log: it was rotated (or replaced, or removed) */
    while (pull(s, now)) {
    }
    flush(s, true, now);
    collect(s, batch, &f->last_seen);
    file_id old_id = identity_at(path + ".old", nullptr);
    if (old_id.valid && !(old_id == s->id)) {
      /* rotated again since: the generation between is at ".old", unless it went too */
      time_t before = f->last_seen;
      read_whole(s->log, logs, batch, now, &f->last_seen);
      if (!f->warned)
        cli_report__warn("%s was rotated more than once between two looks: records written "
                         "after %s may be missing (give the log a larger size limit)",
                         path.c_str(), before != 0 ? ctime(&before) : "its start");
      f->warned = true;
    }
    close_source(s);
    f->open = at_name.valid && open_source(s, logs, 0);
    if (f->open)
      while (pull(s, now)) {
      }
    grew = true;
  }
  /* a record at the end is given out once the file has been quiet */
  if (!grew && s->quiet_once) flush(s, false, now);
  s->quiet_once = !grew;
  collect(s, batch, &f->last_seen);
}

void follow(std::vector<vezcat__log> *logs, std::vector<followed> *followers) {
  for (int polls = 1;; polls++) {
    bool pending = false;
    for (followed &f : *followers)
      pending = pending || (f.open && logparse__pending(&f.s.parser));
    Sleep(pending ? QUIET_MS : POLL_MS);
    time_t now = time(nullptr);
    std::vector<vezcat__entry> batch;
    if (polls % RESCAN_POLLS == 0 && !logs->empty() && !(*logs)[0].named) {
      /* new processes, new audit logs: read from their start */
      size_t before = logs->size();
      vezcat_find__logs(logs);
      for (size_t i = before; i < logs->size(); i++) {
        followed f;
        f.s.log = i;
        followers->push_back(std::move(f));
      }
    }
    for (followed &f : *followers)
      look(&f, *logs, &batch, now);
    give_out(&batch);
  }
}

} // namespace

namespace {

/* the UTC offset, in seconds east, of the local time at t (the zone read once) */
long utc_offset(time_t t) {
  struct tm local;
  if (localtime_s(&local, &t) != 0) return 0;
  return (long)(_mkgmtime(&local) - t);
}

/* the time value of a header's local time in a year (since 1900) */
time_t local_time_value(int year, const logparse__record &r) {
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  tm.tm_year = year;
  tm.tm_mon = r.month - 1;
  tm.tm_mday = r.day;
  tm.tm_hour = r.hour;
  tm.tm_min = r.minute;
  tm.tm_sec = r.second;
  time_t as_utc = _mkgmtime(&tm);
  /* the offset in force at that local time: looked at twice, for a change of offset near it */
  time_t t = as_utc - utc_offset(as_utc);
  return as_utc - utc_offset(t);
}

} // namespace

time_t vezcat_read__record_time(const logparse__record &r, time_t now) {
  /* records come in runs of one second: the conversion is made once a run */
  static int last[5] = {-1, -1, -1, -1, -1};
  static time_t last_time = 0, last_now = 0;
  int fields[5] = {r.month, r.day, r.hour, r.minute, r.second};
  if (memcmp(fields, last, sizeof fields) == 0 && now - last_now < 3600) return last_time;
  memcpy(last, fields, sizeof last);
  last_now = now;
  struct tm today;
  int year = localtime_s(&today, &now) == 0 ? today.tm_year : 126;
  time_t t = local_time_value(year, r);
  if (t > now + 24 * 3600) t = local_time_value(year - 1, r);
  last_time = t;
  return t;
}

void vezcat_read__run(std::vector<vezcat__log> *logs) {
  time_t now = time(nullptr);
  std::vector<source> sources;
  std::vector<size_t> log_source(logs->size(), (size_t)-1);
  for (size_t i = 0; i < logs->size(); i++)
    for (int copy = (*logs)[i].named ? 1 : 0; copy < 2; copy++) {
      source s;
      s.log = i;
      s.old = copy == 0;
      if (!open_source(&s, *logs, 0)) continue;
      if (copy == 1) log_source[i] = sources.size();
      sources.push_back(std::move(s));
    }
  const vezcat__options &o = vezcat__opts;
  long long lines = o.lines >= 0 ? o.lines : o.follow && !o.reverse ? FOLLOW_LAST : -1;
  if (lines < 0 && !o.reverse) {
    forward(&sources, now);
  } else {
    /* from the end: the last so many wanted, or all of them latest first */
    std::vector<vezcat__entry> last;
    long long taken = 0;
    if (lines != 0)
      backward(&sources, now, [&](vezcat__entry &e) {
        if (!vezcat__wanted(shown[e.log], e)) return true;
        if (o.reverse)
          vezcat_out__record(shown[e.log], e);
        else
          last.push_back(std::move(e));
        return lines < 0 || ++taken < lines;
      });
    for (size_t k = last.size(); k-- > 0;)
      deliver(last[k]);
  }
  vezcat_out__flush();
  if (!o.follow) {
    for (source &s : sources)
      close_source(&s);
    return;
  }
  std::vector<followed> followers;
  for (size_t i = 0; i < logs->size(); i++) {
    followed f;
    f.s.log = i;
    size_t k = log_source[i];
    if (k != (size_t)-1) {
      /* on from where the reading ended (read forward: the record in hand read again;
         read from the end: the end as it was) */
      long long at = 0;
      if (lines < 0 && !o.reverse)
        at = resume_point(sources[k]);
      else
        identity(sources[k].h, &at);
      f.open = open_source(&f.s, *logs, at);
    }
    followers.push_back(std::move(f));
  }
  for (source &s : sources)
    close_source(&s);
  follow(logs, &followers);
}
