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
#include "flsem.h"
#include "log_format.h"
#include "platform.h"
#include "vezcat.h"

namespace {

constexpr DWORD PIECE = 1 << 20;
/* read from the end in smaller pieces: -n 10 needs a few records of each log */
constexpr long long BACK_PIECE = 1 << 16;
constexpr int POLL_MS = 50;     /* how often followed logs are looked at, without notifications */
constexpr int WAKE_MS = 250;    /* with them: looked at this often all the same */
constexpr int QUIET_MS = 3;     /* a record at a log's end is given out once this quiet */
constexpr int RESCAN_MS = 1000; /* the logs' directories are looked at again this often */
constexpr int FOLLOW_LAST = 10; /* records shown before following, unless -n says */
/* of what was read of a followed log, so much is kept to notice it rewritten (a mend cuts a
   torn record back and writes over it) */
constexpr size_t TAIL_KEEP = 1 << 16;
constexpr long long TAIL_LOOK = 256; /* compared at each look, where no record is pending */

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
  std::vector<long long> starts; /* record starts read (following), for a log cut back under
                                    the reader and to count its records */
  long long before = 0;          /* records before where its reading began (following) */
  bool quiet_once = false;       /* nothing new at the last look */
  bool keep_tail = false;        /* followed: the last bytes read are kept */
  std::string tail;              /* those bytes, up to TAIL_KEEP, ending at offset */
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

/* a record parsed, ready to be given out (moved once: records are many and small) */
inline void put_ready(source *s, time_t when, logparse__record *r) {
  s->ready.emplace_back();
  vezcat__entry &e = s->ready.back();
  e.when = when;
  e.log = s->shown;
  e.rec = std::move(*r);
}

void to_entries(source *s, std::vector<logparse__record> *recs, time_t now) {
  for (logparse__record &r : *recs) {
    if (vezcat__opts.follow && !r.headless) s->starts.push_back(r.offset);
    time_t when = r.month == 0 ? 0 : vezcat_read__record_time(r, now);
    put_ready(s, when, &r);
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
  /* kept from piece to piece: a piece holds thousands of records, not grown for each */
  static std::vector<logparse__record> recs;
  recs.clear();
  logparse__feed(&s->parser, piece, got, &recs);
  s->offset += got;
  if (s->keep_tail && got > 0) {
    s->tail.append(piece, got);
    if (s->tail.size() > 2 * TAIL_KEEP) s->tail.erase(0, s->tail.size() - TAIL_KEEP);
  }
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

/* opens a source at offset; given: the file, opened already (taken over) */
bool open_source(source *s, const std::vector<vezcat__log> &logs, long long offset,
                 HANDLE given = INVALID_HANDLE_VALUE) {
  const vezcat__log &l = logs[s->log];
  std::string path = s->old ? l.path + ".old" : l.path;
  bool absent = false;
  s->h = given != INVALID_HANDLE_VALUE ? given : open_file(path, true, &absent);
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
  logparse__init(&s->parser, vezcat__form_shows_text(vezcat__opts.form), offset);
  s->offset = offset;
  s->ready.clear();
  s->next = 0;
  s->done = false;
  s->starts.clear();
  s->before = 0;
  s->tail.clear();
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
        put_ready(s, when, &r);
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
      put_ready(s, when, &r);
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
          e.when >= latest->s->ready[latest->s->ready.size() - 1 - latest->s->next].when)
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

/*
** A followed log: the generation in hand (the file at the log's name when
** it was last looked at), the generations read before it, held open (a
** file held keeps its identity: no later file gets it), and the lock
** file's count of rotations when the one in hand was taken up (where a
** lock file can be read without keeping writers out: POSIX, where lock
** files are kept open; on Windows an open lock file keeps them out).
*/
struct followed {
  source s;
  bool open = false;     /* s is a generation (read to its end once finished) */
  bool finished = false; /* no longer the log: read to its end */
  std::vector<std::pair<HANDLE, file_id>> held; /* generations read before it, the latest */
  time_t last_seen = 0;                         /* the time of the last record given out */
  bool counted = false;   /* the stamp counted the one in hand when it was taken up: */
  uint64_t rotations = 0; /* the log's rotations then */
  bool records_known = false;
  uint64_t records_before = 0; /* and the records of the generations before it */
};

/* what the stamp said when a generation was opened, no rotation coming between */
struct count_at_open {
  bool counted = false;
  uint64_t rotations = 0;
  bool records_known = false;
  uint64_t records_before = 0;
};

constexpr size_t HELD_MOST = 2;

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
    if (s->ready[i].when != 0) *last_seen = s->ready[i].when;
    batch->push_back(std::move(s->ready[i]));
  }
  s->ready.clear();
  s->next = 0;
}

/* whether a file is a generation read already (the one in hand, or one held) */
bool had(const followed &f, const file_id &id) {
  if (f.open && f.s.id == id) return true;
  for (const auto &h : f.held)
    if (h.second == id) return true;
  return false;
}

/* a generation read, held open from now on (the oldest held let go) */
void hold(followed *f, HANDLE h, const file_id &id) {
  f->held.emplace_back(h, id);
  if (f->held.size() > HELD_MOST) {
    CloseHandle(f->held.front().first);
    f->held.erase(f->held.begin());
  }
}

/* the lock file's stamp of the log, where it can be read (see above) */
bool stamp_of(const std::string &path, flsem_stamp *st) {
  if (!VezKeepFilesOpen()) return false;
  int fd = _open((path + ".lok").c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return false;
  bool ok = _read(fd, st, sizeof *st) == (int)sizeof *st && st->magic == FLSEM_STAMP_MAGIC;
  _close(fd);
  return ok;
}

/* tries at opening the file at a log's name with no rotation between two looks at the stamp */
constexpr int COUNTED_TRIES = 50;

/*
** Opens a file of a log (its name, or its old copy's; INVALID_HANDLE_VALUE
** where it cannot be), with the log's stamp looked at before and after:
** where both looks agree, no rotation came between, and *c says the counts
** (at the log's name: the generation opened is the one they begin).
*/
HANDLE open_counted(const std::string &path, const std::string &file, count_at_open *c) {
  *c = count_at_open();
  bool absent = false;
  for (int tries = 0; tries < COUNTED_TRIES; tries++) {
    flsem_stamp a, b;
    bool have = stamp_of(path, &a);
    HANDLE h = open_file(file, false, &absent);
    if (!have || h == INVALID_HANDLE_VALUE) return h;
    if (stamp_of(path, &b) && a.rotations == b.rotations && a.records_before == b.records_before) {
      c->counted = true;
      c->rotations = b.rotations;
      c->records_known = b.counted != 0;
      c->records_before = b.records_before;
      return h;
    }
    CloseHandle(h);
  }
  return open_file(file, false, &absent);
}

/* the record headers of a file up to end (a generation taken up past its start) */
long long headers_before(HANDLE h, long long end) {
  long long n = 0, at = 0;
  char prev = '\n';
  std::string carry; /* a line start's first bytes, cut by the piece's end */
  if (!seek(h, 0)) return 0;
  while (at < end) {
    DWORD want = (DWORD)std::min<long long>(PIECE, end - at), got = 0;
    if (!ReadFile(h, piece, want, &got, nullptr) || got == 0) break;
    for (DWORD i = 0; i < got; i++) {
      if (!carry.empty()) {
        carry += piece[i];
        if (carry.compare(0, carry.size(), LOG_FORMAT_MARK, carry.size()) != 0)
          carry.clear();
        else if (carry.size() == (size_t)LOG_FORMAT_MARK_LEN)
          n++, carry.clear();
      } else if (prev == '\n' && piece[i] == LOG_FORMAT_MARK[0]) {
        carry = piece[i];
      }
      prev = piece[i];
    }
    at += got;
  }
  return n;
}

/* records read of a source (following) */
long long records_read(const source &s) { return s.before + (long long)s.starts.size(); }

void note_counts(followed *f, const count_at_open &c) {
  f->counted = c.counted;
  f->rotations = c.rotations;
  f->records_known = c.records_known;
  f->records_before = c.records_before;
}

/* "2026-12-08 02:00:48" */
std::string local_text(time_t t) {
  struct tm tm;
  char text[80];
  if (t == 0 || localtime_s(&tm, &t) != 0) return "its start";
  snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

/* reads a generation whole from its start (one the follower never had as the log), and
   holds it */
long long read_whole(followed *f, const std::vector<vezcat__log> &logs, HANDLE h,
                     std::vector<vezcat__entry> *batch, time_t now) {
  source old;
  old.log = f->s.log;
  old.old = true;
  if (!open_source(&old, logs, 0, h)) return 0;
  while (pull(&old, now)) {
  }
  flush(&old, true, now);
  collect(&old, batch, &f->last_seen);
  hold(f, old.h, old.id);
  return records_read(old);
}

/* takes up the generation at the log's name, opened as h, from its start; the one in hand
   is held */
void take_up(followed *f, const std::vector<vezcat__log> &logs, time_t now, HANDLE h) {
  source *s = &f->s;
  if (f->open && s->h != INVALID_HANDLE_VALUE) {
    hold(f, s->h, s->id);
    s->h = INVALID_HANDLE_VALUE;
  }
  close_source(s);
  f->open = open_source(s, logs, 0, h);
  f->finished = false;
  s->keep_tail = true;
  if (!f->open) return;
  while (pull(s, now)) {
  }
}

/*
** Where the bytes read of late are no longer what the file holds (a mend
** cut a torn record back and wrote over it), the first that differs; -1
** where they are. Compared: the record pending (whose last lines may
** still change), else the last TAIL_LOOK bytes read.
*/
long long rewritten_at(source *s) {
  long long window =
      logparse__pending(&s->parser) ? s->offset - s->parser.current.offset : TAIL_LOOK;
  window = std::min<long long>({window, (long long)s->tail.size(), (long long)TAIL_KEEP});
  if (window <= 0) return -1;
  long long from = s->offset - window;
  std::string now((size_t)window, '\0');
  DWORD got = 0;
  bool ok = seek(s->h, from) && ReadFile(s->h, &now[0], (DWORD)window, &got, nullptr);
  seek(s->h, s->offset);
  if (!ok || got != (DWORD)window) return -1; /* shorter: a cut, seen by its size */
  const char *before = s->tail.data() + s->tail.size() - window;
  for (long long i = 0; i < window; i++)
    if (now[(size_t)i] != before[i]) return from + i;
  return -1;
}

/*
** Says what went with the generations rotated away unread between the one
** read last and the one taken up (by c), where the stamp counted both: how
** many records (the records before the new one, less those read: seen), in
** how many generations, and between which times. A lock file made anew
** meanwhile counts from 0 again: whatever went is not known, and said so.
*/
void tell_missed(const followed &f, const count_at_open &c, const std::string &path, bool old_read,
                 long long seen, time_t last_before, const std::vector<vezcat__entry> &batch,
                 size_t first_new) {
  if (!f.counted || !c.counted) return;
  time_t first_after = 0;
  for (size_t i = first_new; i < batch.size() && first_after == 0; i++)
    first_after = batch[i].when;
  for (size_t i = f.s.next; i < f.s.ready.size() && first_after == 0; i++)
    first_after = f.s.ready[i].when;
  std::string from = local_text(last_before),
              to = first_after != 0 ? local_text(first_after) : "now";
  if (c.rotations < f.rotations) {
    cli_report__warn("%s: its lock file was made anew: records rotated away meanwhile from %s "
                     "to %s, if any, cannot be counted",
                     path.c_str(), from.c_str(), to.c_str());
    return;
  }
  uint64_t rotated = c.rotations - f.rotations, taken = old_read ? 2 : 1;
  uint64_t generations = rotated > taken ? rotated - taken : 0;
  long long lost = -1;
  if (f.records_known && c.records_known && c.records_before >= f.records_before)
    lost = std::max<long long>(0, (long long)(c.records_before - f.records_before) - seen);
  if (generations == 0 && lost <= 0) return;
  if (lost < 0) {
    cli_report__warn("%s: %llu generation%s rotated away before %s could be read: records "
                     "from %s to %s may be missing",
                     path.c_str(), (unsigned long long)generations, generations == 1 ? "" : "s",
                     generations == 1 ? "it" : "they", from.c_str(), to.c_str());
    return;
  }
  if (generations == 0) generations = 1; /* records of one read only in part */
  cli_report__warn("%s: %lld record%s in %llu generation%s rotated away before %s could be "
                   "read, from %s to %s",
                   path.c_str(), lost, lost == 1 ? "" : "s", (unsigned long long)generations,
                   generations == 1 ? "" : "s", generations == 1 ? "it" : "they", from.c_str(),
                   to.c_str());
}

/* what a record read and then cut back is said to be */
const char CUT_UNDER_READER[] =
    "cut back under the reader (a torn record a later writer mended, or a cut by hand)";

/* read on from a record start, what came before it kept */
bool read_on_from(followed *f, const std::vector<vezcat__log> &logs, long long at, time_t now) {
  source *s = &f->s;
  std::vector<long long> keep;
  for (long long x : s->starts)
    if (x < at) keep.push_back(x);
  long long before = s->before;
  close_source(s);
  f->open = open_source(s, logs, at);
  s->keep_tail = true;
  s->starts = keep;
  s->before = before;
  if (!f->open) return false;
  while (pull(s, now)) {
  }
  return true;
}

/*
** One look at a followed log: what was added is read; bytes read that a
** later writer wrote over (a mend) make the record they held damaged, and
** the log is read on from that record's start; a log now another file
** (rotated, replaced, removed) is read to its end through the handle held,
** then, once a file is at its name again, the generation at ".old" is read
** too where it is one never had, and the file at the name taken up.
** Generations the lock file counts and none of these: rotated away unread,
** said every time, with the times the records missing may span.
*/
void look(followed *f, const std::vector<vezcat__log> &logs, std::vector<vezcat__entry> *batch,
          time_t now) {
  source *s = &f->s;
  const std::string &path = logs[s->log].path;
  bool grew = false;
  if (f->open && !f->finished) {
    /* what was read is looked at again first: more read on top of a rewrite would hide it */
    long long size = 0;
    identity(s->h, &size);
    long long changed = size < s->offset ? size : rewritten_at(s);
    if (changed >= 0) {
      long long at = 0;
      std::vector<logparse__record> recs;
      if (logparse__pending(&s->parser) && s->parser.current.offset <= changed) {
        /* the record in hand was torn: given out damaged, the one over it read whole */
        at = s->parser.current.offset;
        logparse__flush(&s->parser, true, &recs);
        for (logparse__record &r : recs)
          if (r.offset == at) r.damage = CUT_UNDER_READER;
        to_entries(s, &recs, now);
      } else {
        for (size_t i = s->starts.size(); i-- > 0;)
          if (s->starts[i] <= changed) {
            at = s->starts[i];
            break;
          }
        /* a record already shown: said where it lies */
        logparse__record note;
        note.headless = true;
        note.offset = at;
        note.damage = CUT_UNDER_READER;
        s->ready.push_back(vezcat__entry{f->last_seen, s->shown, std::move(note)});
      }
      collect(s, batch, &f->last_seen);
      if (size < s->offset)
        cli_report__warn("%s was cut back; read on from byte %lld", path.c_str(), at);
      if (!read_on_from(f, logs, at, now)) return;
      grew = true;
    }
    while (pull(s, now))
      grew = true;
  }
  long long name_size = 0;
  file_id at_name = identity_at(path, &name_size);
  if (!f->open || !(at_name == s->id)) {
    if (f->open && !f->finished) {
      /* the file read is no longer the log: read to its end */
      while (pull(s, now)) {
      }
      flush(s, true, now);
      collect(s, batch, &f->last_seen);
      f->finished = true;
    }
    count_at_open c;
    HANDLE h = open_counted(path, path, &c);
    if (h == INVALID_HANDLE_VALUE) return; /* between a move and the next log: looked at again */
    file_id new_id = identity(h, nullptr);
    time_t last_before = f->last_seen;
    long long seen = f->open ? records_read(*s) : 0;
    /* the old copy is read where it is a generation never had before the one taken up: where
       the stamp counts, only the one just before it (a later one would be counted twice) */
    count_at_open oc;
    HANDLE old_h = f->open ? open_counted(path, path + ".old", &oc) : INVALID_HANDLE_VALUE;
    file_id old_id = identity(old_h, nullptr);
    bool old_new = old_h != INVALID_HANDLE_VALUE && !had(*f, old_id) && !(old_id == new_id) &&
                   (!c.counted || (oc.counted && oc.rotations == c.rotations));
    size_t first_new = batch->size();
    if (old_new)
      seen += read_whole(f, logs, old_h, batch, now);
    else if (old_h != INVALID_HANDLE_VALUE)
      CloseHandle(old_h);
    take_up(f, logs, now, h);
    tell_missed(*f, c, path, old_new, seen, last_before, *batch, first_new);
    note_counts(f, c);
    grew = true;
  }
  /* a record at the end is given out once the file has been quiet */
  if (f->open && !f->finished) {
    if (!grew && s->quiet_once) flush(s, false, now);
    s->quiet_once = !grew;
    collect(s, batch, &f->last_seen);
  }
}

/* the directories of the logs followed, each once */
std::vector<std::string> directories_of(const std::vector<vezcat__log> &logs) {
  std::vector<std::string> dirs;
  for (const vezcat__log &l : logs) {
    size_t sep = l.path.find_last_of(VEZ_OS_WIN ? "/\\" : "/");
    std::string dir = sep == std::string::npos ? "." : sep == 0 ? "/" : l.path.substr(0, sep);
    if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  }
  return dirs;
}

/*
** Follows the logs: woken by the system's change notifications on their
** directories (a record written, a log moved or made), looked at now and
** then all the same; where there are none, every POLL_MS.
*/
void follow(std::vector<vezcat__log> *logs, std::vector<followed> *followers) {
  std::vector<HANDLE> changes;
  auto watch = [&]() {
    for (HANDLE h : changes)
      FindCloseChangeNotification(h);
    changes.clear();
    for (const std::string &dir : directories_of(*logs)) {
      HANDLE h = FindFirstChangeNotificationA(
          dir.c_str(), FALSE,
          FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE);
      if (h == INVALID_HANDLE_VALUE || changes.size() == MAXIMUM_WAIT_OBJECTS) {
        if (h != INVALID_HANDLE_VALUE) FindCloseChangeNotification(h);
        for (HANDLE c : changes)
          FindCloseChangeNotification(c);
        changes.clear(); /* one directory unwatched: every one looked at by the clock */
        return;
      }
      changes.push_back(h);
    }
  };
  watch();
  DWORD last_scan = GetTickCount();
  for (;;) {
    bool pending = false;
    for (followed &f : *followers)
      pending = pending || (f.open && logparse__pending(&f.s.parser));
    DWORD wait = pending ? QUIET_MS : changes.empty() ? POLL_MS : WAKE_MS;
    if (changes.empty()) {
      Sleep(wait);
    } else {
      DWORD woke = WaitForMultipleObjects((DWORD)changes.size(), changes.data(), FALSE, wait);
      if (woke == WAIT_FAILED) {
        Sleep(wait);
      } else if (woke != WAIT_TIMEOUT) {
        for (HANDLE h : changes)
          FindNextChangeNotification(h);
      }
    }
    time_t now = time(nullptr);
    std::vector<vezcat__entry> batch;
    if (GetTickCount() - last_scan >= (DWORD)RESCAN_MS && !logs->empty() && !(*logs)[0].named) {
      /* new processes, new audit logs: read from their start */
      last_scan = GetTickCount();
      size_t before = logs->size();
      vezcat_find__logs(logs);
      for (size_t i = before; i < logs->size(); i++) {
        followed f;
        f.s.log = i;
        followers->push_back(std::move(f));
      }
      if (logs->size() != before) watch();
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
      count_at_open c;
      HANDLE h = open_counted((*logs)[i].path, (*logs)[i].path, &c);
      f.open = open_source(&f.s, *logs, 0, h);
      if (f.open) {
        /* the records before where following begins count as read */
        f.s.before = headers_before(f.s.h, at);
        f.open = seek(f.s.h, at);
        f.s.offset = at;
        f.s.parser.at = at;
        note_counts(&f, c);
      }
      f.s.keep_tail = true;
    }
    followers.push_back(std::move(f));
  }
  for (source &s : sources)
    close_source(&s);
  follow(logs, &followers);
}
