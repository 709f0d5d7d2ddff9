/*
** logparse.cpp - reading records back, by hand and in one pass: a log is
** read at well over 100 MB/s, a record is never parsed twice, and no input
** can make the parser fail or hold more than one line of its own.
*/
#include "logparse.h"

#include <string.h>

#include "log_format.h"

namespace {

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

/* a name of the header with each "<xx>" made its byte again */
void name_of(const char *s, size_t n, std::string *out) {
  out->clear();
  for (size_t at = 0; at < n; at++) {
    int b = logparse__byte_notation(s + at, n - at);
    if (b >= 0) {
      *out += (char)b;
      at += LOG_FORMAT_BYTE_NOTATION_LEN - 1;
    } else {
      *out += s[at];
    }
  }
}

/* "------MM/DD HH:MM:SS  L/C err:E  NAME(SOURCE:LINE)" */
bool header(const char *s, size_t n, logparse__record *r) {
  if (n < 22 || memcmp(s, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN) != 0) return false;
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
  name_of(origin, (size_t)(open - origin), &r->process);
  const char *src = open + 1;
  r->source_cut =
      src < colon && *src == '<' && logparse__byte_notation(src, (size_t)(colon - src)) < 0;
  if (r->source_cut) src++;
  name_of(src, (size_t)(colon - src), &r->source);
  r->line = (long)line;
  return true;
}

/* a full-form dump line: its offset, then up to 16 bytes in their columns */
bool full_dump_line(const char *s, size_t n, size_t expected_offset, logparse__blob *data,
                    bool *last) {
  std::string line_bytes, *bytes = &line_bytes;
  size_t at = 0;
  size_t offset = 0;
  while (at < n && at < 16 && hex_digit(s[at]) >= 0)
    offset = offset * 16 + (size_t)hex_digit(s[at++]);
  if (at < 3 || offset != expected_offset || n < (size_t)LOG_FORMAT_FULL_LINE) return false;
  size_t shift = at > 4 ? at - 4 : 0;
  if (n < LOG_FORMAT_FULL_LINE + shift) return false;
  *last = false;
  for (size_t j = 0; j < (size_t)LOG_FORMAT_FULL_BYTES; j++) {
    size_t col = shift + (j < 8 ? 5 + 3 * j : 7 + 3 * j);
    if (s[col] == ' ') {
      *last = true;
      if (j > 0) data->append(line_bytes);
      return j > 0;
    }
    int hi = hex_digit(s[col]), lo = hex_digit(s[col + 1]);
    if (hi < 0 || lo < 0) return false;
    *bytes += (char)(hi * 16 + lo);
  }
  data->append(line_bytes);
  return true;
}

/*
** A line of the short form's text into its bytes; false when it cannot be
** one. A first "<xx>" is the writer's own only where the byte would have
** made the line pass for another kind of line; from the first "<xx>" of an
** unprintable byte on, the rest of the line is bytes in that notation.
*/
bool short_text_line(const char *s, size_t n, std::string *out) {
  if (n == 0) return false;
  size_t at = 0;
  int first = logparse__byte_notation(s, n);
  if (first >= 0) {
    std::string line(1, (char)first);
    line.append(s + LOG_FORMAT_BYTE_NOTATION_LEN, n - LOG_FORMAT_BYTE_NOTATION_LEN);
    if (log_format__text_misleads(line.data(), line.size())) {
      *out += (char)first;
      at = LOG_FORMAT_BYTE_NOTATION_LEN;
    }
  }
  for (; at < n; at++) {
    int b = logparse__byte_notation(s + at, n - at);
    if (b >= 0 && !log_format__printable((unsigned char)b)) {
      /* the tail in hex: every remaining group must be one */
      std::string tail;
      size_t k = at;
      for (; k + LOG_FORMAT_BYTE_NOTATION_LEN <= n; k += LOG_FORMAT_BYTE_NOTATION_LEN) {
        int v = logparse__byte_notation(s + k, n - k);
        if (v < 0) break;
        tail += (char)v;
      }
      if (k == n) {
        *out += tail;
        return true;
      }
    }
    if (!log_format__printable((unsigned char)s[at])) return false;
    *out += s[at];
  }
  return true;
}

/* no header is longer than this (a name and a source of "<xx>" at most) */
constexpr size_t HEADER_MOST = 1024;

/*
** Where a header begins inside a line (after its first byte) and runs to
** its end, or 0: a record glued onto bytes cut short, or onto garbage.
*/
size_t glued_header_at(const char *s, size_t n, logparse__record *h) {
  size_t from = n > HEADER_MOST ? n - HEADER_MOST : 1;
  if (from == 0) from = 1;
  for (size_t at = from; at + 22 <= n; at++) {
    const char *m = static_cast<const char *>(memchr(s + at, LOG_FORMAT_MARK[0], n - at));
    if (m == nullptr) return 0;
    at = (size_t)(m - s);
    if (n - at >= (size_t)LOG_FORMAT_MARK_LEN &&
        memcmp(m, LOG_FORMAT_MARK, LOG_FORMAT_MARK_LEN) == 0) {
      /* the mark's first dash: a run of them is a mark only at its last six */
      size_t last = at;
      while (last + LOG_FORMAT_MARK_LEN < n && s[last + LOG_FORMAT_MARK_LEN] == '-')
        last++;
      if (header(s + last, n - last, h)) return last;
      at = last + LOG_FORMAT_MARK_LEN - 1;
    }
  }
  return 0;
}

/* whether a line can be one of the short form's dump (its text, or its hex line) */
bool short_form_line(const char *s, size_t n) {
  if (n >= 2 && s[0] == '0' && s[1] == 'x') return true;
  std::string bytes;
  return short_text_line(s, n, &bytes);
}

/* a record made empty in place (every field of logparse__record: one added there is reset
   here too), its buffers kept for the next */
void clear_record(logparse__record *r) {
  r->month = r->day = r->hour = r->minute = r->second = 0;
  r->message_level = r->configured_level = 0;
  r->error_code = 0;
  r->process.clear();
  r->source.clear();
  r->source_cut = false;
  r->line = 0;
  r->description.clear();
  r->description_cut = false;
  r->has_data = false;
  r->data.clear();
  r->data_partial = false;
  r->damage = nullptr;
  r->headless = false;
  r->lines = 0;
  r->bytes = 0;
  r->offset = 0;
  r->text.clear();
}

/* a header's fields into the record it begins */
void take_header(logparse__record *to, logparse__record *from) {
  to->month = from->month;
  to->day = from->day;
  to->hour = from->hour;
  to->minute = from->minute;
  to->second = from->second;
  to->message_level = from->message_level;
  to->configured_level = from->configured_level;
  to->error_code = from->error_code;
  to->process.swap(from->process);
  to->source.swap(from->source);
  to->source_cut = from->source_cut;
  to->line = from->line;
}

void reset_record(logparse__parser *p) {
  clear_record(&p->current);
  p->in_record = p->have_desc = p->in_dump = false;
  p->full_form = true;
  p->full_ended = false;
  p->short_lines.clear();
  p->short_bytes = 0;
}

void decode_short_lines(logparse__parser *p, std::string *data);

/* the short form's lines, the record's whole dump */
void decode_short(logparse__parser *p) {
  logparse__record &r = p->current;
  r.data.clear();
  r.data_partial = true;
  std::string decoded;
  decode_short_lines(p, &decoded);
  if (r.damage == nullptr) r.data.append(decoded);
}

/* the short form's lines into their bytes (r.damage set where they are none) */
void decode_short_lines(logparse__parser *p, std::string *data) {
  logparse__record &r = p->current;
  const std::vector<std::string> &lines = p->short_lines;
  /* none kept: a header with no description, or one line too long to be a dump's */
  if (lines.empty()) return;
  const std::string &first = lines[0];
  if (lines.size() == 1 && first.size() >= 2 && first[0] == '0' && first[1] == 'x') {
    for (size_t at = 2; at + 1 < first.size();) {
      if (first[at] == ' ') {
        at++;
        continue;
      }
      int hi = hex_digit(first[at]), lo = hex_digit(first[at + 1]);
      if (hi < 0 || lo < 0) {
        r.damage = "a dump of no known form";
        return;
      }
      *data += (char)(hi * 16 + lo);
      at += 2;
    }
    return;
  }
  for (size_t i = 0; i < lines.size(); i++) {
    size_t before = data->size();
    if (!short_text_line(lines[i].data(), lines[i].size(), data) ||
        (i + 1 < lines.size() && data->size() - before != (size_t)LOG_FORMAT_TEXT_WIDTH)) {
      r.damage = "a dump of no known form";
      data->clear();
      return;
    }
  }
}

/* the time fields of one record given to another */
void time_of(const logparse__record &from, logparse__record *to) {
  to->month = from.month;
  to->day = from.day;
  to->hour = from.hour;
  to->minute = from.minute;
  to->second = from.second;
}

/* the lines of no record gathered so far given out, at the time of the record after them
   (next), or else of the one before */
void finish_stray(logparse__parser *p, const logparse__record *next,
                  std::vector<logparse__record> *out) {
  if (!p->have_stray) return;
  if (next != nullptr)
    time_of(*next, &p->stray);
  else if (p->have_previous)
    time_of(p->previous, &p->stray);
  out->push_back(std::move(p->stray));
  p->stray = logparse__record();
  p->have_stray = false;
}

/* a line that belongs to no record (stored: its bytes with their line end) */
void stray_line(logparse__parser *p, const char *s, size_t stored, long long start) {
  p->damaged++;
  if (!p->have_stray) {
    p->stray = logparse__record();
    p->stray.headless = true;
    p->stray.damage = "lines that belong to no record";
    p->stray.offset = start;
    p->have_stray = true;
  }
  p->stray.lines++;
  p->stray.bytes += (long long)stored;
  /* all of it where the text is kept (its form shows it whole), else the first part */
  size_t room = p->keep_text ? stored : LOGPARSE_STRAY_TEXT_MAX - (size_t)p->stray.text.size();
  if (s != nullptr) p->stray.text.append(s, stored < room ? stored : room);
}

void finish_record(logparse__parser *p, std::vector<logparse__record> *out) {
  if (!p->in_record) return;
  logparse__record &r = p->current;
  if (!p->have_desc && !r.damage) r.damage = "no description";
  if (p->in_dump) {
    r.has_data = true;
    if (!p->full_form) decode_short(p);
  }
  time_of(r, &p->previous);
  p->have_previous = true;
  out->push_back(std::move(r));
  reset_record(p);
}

/*
** A line after the description: one of the record's dump, or (false) one
** that belongs to no record, which ends the record (whole, unless its dump
** was left unfinished).
*/
bool dump_line(logparse__parser *p, const char *s, size_t n) {
  logparse__record &r = p->current;
  bool first = !p->in_dump;
  if (p->full_form) {
    bool last = false;
    size_t expected = (size_t)r.data.size();
    if (!p->full_ended && expected % LOG_FORMAT_FULL_BYTES == 0 &&
        full_dump_line(s, n, expected, &r.data, &last)) {
      p->in_dump = true;
      p->full_ended = last;
      return true;
    }
    if (!first) {
      /* full-form lines, then one that is not: after the dump's short last line the record
         is whole; before it the dump was cut, or is damaged */
      if (!p->full_ended && !r.damage) r.damage = "a dump cut short";
      return false;
    }
    p->full_form = false;
    r.data.clear();
  }
  if (!short_form_line(s, n)) {
    /* a short form's text line is as wide as the form, but for its last */
    if (!p->short_lines.empty() && !r.damage) {
      std::string bytes;
      const std::string &lastl = p->short_lines.back();
      if (p->short_lines.size() > 1 && short_text_line(lastl.data(), lastl.size(), &bytes) &&
          bytes.size() == (size_t)LOG_FORMAT_TEXT_WIDTH)
        r.damage = "a dump cut short";
    }
    return false;
  }
  p->in_dump = true;
  if (p->short_bytes + n > LOGPARSE_SHORT_MAX) {
    if (!r.damage) r.damage = "a dump of no known form";
    return true;
  }
  p->short_bytes += n;
  p->short_lines.emplace_back(s, n);
  return true;
}

void line(logparse__parser *p, const char *s, size_t n, long long start, size_t stored,
          std::vector<logparse__record> *out);

/* a record begins with the header h, its line at s (stored bytes) */
void begin_record(logparse__parser *p, logparse__record *h, const char *s, size_t stored,
                  long long start, std::vector<logparse__record> *out) {
  finish_record(p, out);
  finish_stray(p, h, out);
  take_header(&p->current, h);
  p->current.offset = start;
  p->in_record = true;
  if (p->keep_text) p->current.text.append(s, stored);
}

/*
** A line that belongs to no record, unless a header glued onto it begins
** one: the bytes before the header are lines of no record (or of the record
** in hand, where keep says so), the header starts a record of its own.
*/
void foreign_line(logparse__parser *p, const char *s, size_t n, long long start, size_t stored,
                  std::vector<logparse__record> *out) {
  logparse__record &h = p->head;
  size_t k = glued_header_at(s, n, &h);
  if (k == 0) {
    stray_line(p, s, stored, start);
    return;
  }
  stray_line(p, s, k, start);
  begin_record(p, &h, s + k, stored - k, start + (long long)k, out);
}

/*
** The record in hand was a record cut short with another glued onto its
** last description line: the one cut ends before the glued header, which
** begins the record whose "Desc:" line has come.
*/
void split_glued(logparse__parser *p, std::vector<logparse__record> *out) {
  logparse__record &r = p->current;
  p->glued = false;
  if (p->keep_text && !r.text.truncate(p->glued_text_keep)) return;
  r.description.resize(p->glued_desc_keep);
  if (!r.damage) r.damage = "cut short";
  std::string text = std::move(p->glued_text);
  begin_record(p, &p->glued_header, text.data(), text.size(), p->glued_offset, out);
  p->have_desc = false;
}

/* a description line: one that ends in a header may hold a record glued onto it */
void watch_glued(logparse__parser *p, const char *s, size_t n, long long start, size_t stored) {
  size_t k = glued_header_at(s, n, &p->glued_header);
  if (k <= (size_t)LOG_FORMAT_LEAD_LEN || p->current.description.size() < n - k) return;
  p->glued = true;
  p->glued_offset = start + (long long)k;
  p->glued_desc_keep = p->current.description.size() - (n - k);
  p->glued_text_keep = p->current.text.size() + (long long)k;
  p->glued_text.assign(s + k, stored - k);
}

/* one line, without its line end */
void line(logparse__parser *p, const char *s, size_t n, long long start, size_t stored,
          std::vector<logparse__record> *out) {
  logparse__record &h = p->head;
  bool glued = p->glued;
  p->glued = false;
  if (header(s, n, &h)) {
    begin_record(p, &h, s, stored, start, out);
    return;
  }
  if (!p->in_record) {
    foreign_line(p, s, n, start, stored, out);
    return;
  }
  bool desc_line =
      n >= (size_t)LOG_FORMAT_LEAD_LEN && memcmp(s, LOG_FORMAT_DESC, LOG_FORMAT_LEAD_LEN) == 0;
  if (glued && desc_line && p->have_desc) {
    p->glued = true;
    split_glued(p, out);
  }
  if (!p->have_desc) {
    if (!desc_line && glued_header_at(s, n, &h) > 0) {
      /* a header, then a line with another record's header at its end: the first has no
         description, the bytes before the second are of no record */
      p->current.damage = "no description";
      finish_record(p, out);
      foreign_line(p, s, n, start, stored, out);
      return;
    }
    if (desc_line) {
      p->current.description.assign(s + LOG_FORMAT_LEAD_LEN, n - LOG_FORMAT_LEAD_LEN);
      p->last_desc_len = n - LOG_FORMAT_LEAD_LEN;
    } else {
      /* a header, then no description: the record is shown damaged, this line in it */
      if (!p->current.damage) p->current.damage = "no description";
      p->in_dump = true;
      p->full_form = false;
    }
    p->have_desc = true;
  } else if (!p->in_dump && n >= (size_t)LOG_FORMAT_LEAD_LEN &&
             memcmp(s, LOG_FORMAT_CONTINUATION, LOG_FORMAT_LEAD_LEN) == 0) {
    /* a full line was cut; a shorter one ended at a line break */
    if (p->current.description.size() + n > LOGPARSE_DESCRIPTION_MAX) {
      p->current.description_cut = true;
    } else {
      if (p->last_desc_len != (size_t)LOG_FORMAT_DESC_WIDTH) p->current.description += '\n';
      p->current.description.append(s + LOG_FORMAT_LEAD_LEN, n - LOG_FORMAT_LEAD_LEN);
    }
    p->last_desc_len = n - LOG_FORMAT_LEAD_LEN;
  } else if (!dump_line(p, s, n)) {
    finish_record(p, out);
    foreign_line(p, s, n, start, stored, out);
    return;
  }
  if (p->have_desc && !p->in_dump && !p->current.description_cut) {
    if (n > (size_t)(LOG_FORMAT_LEAD_LEN + LOG_FORMAT_DESC_WIDTH)) {
      /* longer than any description line: what ends it in a header is a record's own */
      logparse__record &g = p->head;
      size_t k = glued_header_at(s, n, &g);
      if (k > (size_t)LOG_FORMAT_LEAD_LEN && p->current.description.size() >= n - k) {
        p->current.description.resize(p->current.description.size() - (n - k));
        if (p->keep_text) p->current.text.append(s, k);
        if (!p->current.damage) p->current.damage = "cut short";
        begin_record(p, &g, s + k, stored - k, start + (long long)k, out);
        return;
      }
    } else {
      watch_glued(p, s, n, start, stored);
    }
  }
  if (p->keep_text) p->current.text.append(s, stored);
}

/* a whole line as stored: its text and its line end */
void stored_line(logparse__parser *p, const char *s, size_t stored, long long start,
                 std::vector<logparse__record> *out) {
  size_t n = stored;
  if (n > 0 && s[n - 1] == '\n') n--;
  if (n > 0 && s[n - 1] == '\r') n--;
  line(p, s, n, start, stored, out);
}

/* the last bytes of an over-long line, kept while the rest is dropped */
void keep_tail(logparse__parser *p, const char *s, size_t n) {
  if (n >= HEADER_MOST) {
    p->skip_tail.assign(s + n - HEADER_MOST, HEADER_MOST);
    return;
  }
  p->skip_tail.append(s, n);
  if (p->skip_tail.size() > HEADER_MOST) p->skip_tail.erase(0, p->skip_tail.size() - HEADER_MOST);
}

/* an over-long line ended: a header at its end begins a record all the same */
void tail_header(logparse__parser *p, std::vector<logparse__record> *out) {
  std::string t = std::move(p->skip_tail);
  p->skip_tail.clear();
  size_t n = t.size();
  if (n > 0 && t[n - 1] == '\n') n--;
  if (n > 0 && t[n - 1] == '\r') n--;
  logparse__record h;
  size_t k = glued_header_at(t.data(), n, &h);
  if (k == 0) return;
  begin_record(p, &h, t.data() + k, t.size() - k, p->at - (long long)(t.size() - k), out);
}

} // namespace

logparse__blob::logparse__blob(logparse__blob &&other) noexcept
    : memory(std::move(other.memory)), spill(other.spill), length(other.length) {
  other.spill = nullptr;
  other.length = 0;
  other.memory.clear();
}

logparse__blob &logparse__blob::operator=(logparse__blob &&other) noexcept {
  if (this != &other) {
    clear();
    memory = std::move(other.memory);
    spill = other.spill;
    length = other.length;
    other.spill = nullptr;
    other.length = 0;
    other.memory.clear();
  }
  return *this;
}

logparse__blob::~logparse__blob() { clear(); }

void logparse__blob::append(const char *bytes, size_t n) {
  if (n == 0) return;
  if (spill == nullptr && memory.size() + n > LOGPARSE_BLOB_MEMORY) {
    spill = tmpfile(); /* none to be had: all of it in memory */
    if (spill != nullptr && (fwrite(memory.data(), 1, memory.size(), spill) != memory.size())) {
      fclose(spill);
      spill = nullptr;
    }
    if (spill != nullptr) {
      memory.clear();
      memory.shrink_to_fit();
    }
  }
  if (spill != nullptr)
    fwrite(bytes, 1, n, spill);
  else
    memory.append(bytes, n);
  length += (long long)n;
}

void logparse__blob::clear() {
  if (spill != nullptr) fclose(spill);
  spill = nullptr;
  memory.clear();
  length = 0;
}

bool logparse__blob::truncate(long long n) {
  if (n >= length) return true;
  if (spill != nullptr) return false;
  memory.resize((size_t)n);
  length = n;
  return true;
}

char logparse__blob::back() const {
  if (length == 0) return '\0';
  if (spill == nullptr) return memory.back();
  char c = '\0';
  fflush(spill);
  if (fseek(spill, -1, SEEK_END) == 0 && fread(&c, 1, 1, spill) != 1) c = '\0';
  fseek(spill, 0, SEEK_END);
  return c;
}

std::string logparse__blob::str() const {
  std::string all;
  each([&](const char *p, size_t n) { all.append(p, n); });
  return all;
}

int logparse__byte_notation(const char *s, size_t n) {
  if (n < (size_t)LOG_FORMAT_BYTE_NOTATION_LEN || s[0] != '<' || s[3] != '>') return -1;
  int hi = hex_digit(s[1]), lo = hex_digit(s[2]);
  /* the writer writes lowercase digits only */
  if (hi < 0 || lo < 0 || (s[1] >= 'A' && s[1] <= 'F') || (s[2] >= 'A' && s[2] <= 'F')) return -1;
  return hi * 16 + lo;
}

void logparse__init(logparse__parser *p, bool keep_text, long long offset) {
  *p = logparse__parser();
  p->keep_text = keep_text;
  p->at = offset;
}

void logparse__feed(logparse__parser *p, const char *bytes, size_t n,
                    std::vector<logparse__record> *out) {
  const char *end = bytes + n;
  while (bytes < end) {
    const char *nl = static_cast<const char *>(memchr(bytes, '\n', (size_t)(end - bytes)));
    size_t len = (size_t)((nl != nullptr ? nl + 1 : end) - bytes);
    long long start = p->at;
    p->at += (long long)len;
    if (p->skipping) {
      keep_tail(p, bytes, len);
      if (nl != nullptr) {
        p->skipping = false;
        tail_header(p, out);
      }
    } else if (p->partial.empty() && nl != nullptr) {
      stored_line(p, bytes, len, start, out); /* most lines: no copy */
    } else if (p->partial.size() + len > LOGPARSE_LINE_MAX) {
      /* a line longer than any of the format: damage, its bytes dropped unread */
      if (p->in_record) {
        if (!p->current.damage) p->current.damage = "a line too long to be one of a log";
      } else {
        stray_line(p, nullptr, 0, p->at - (long long)(p->partial.size() + len));
      }
      p->skip_tail.clear();
      keep_tail(p, p->partial.data(), p->partial.size());
      keep_tail(p, bytes, len);
      p->partial.clear();
      p->skipping = nl == nullptr;
      if (nl != nullptr) tail_header(p, out);
    } else {
      p->partial.append(bytes, len);
      if (nl != nullptr) {
        stored_line(p, p->partial.data(), p->partial.size(), p->at - (long long)p->partial.size(),
                    out);
        p->partial.clear();
      }
    }
    bytes += len;
  }
}

bool logparse__pending(const logparse__parser *p) { return p->in_record; }

const char *logparse__not_a_log(const char *bytes, size_t n, bool whole) {
  /* a header anywhere (at a line's start, or glued after damage) makes it a log */
  const char *end = bytes + n, *line = bytes;
  bool any_line = false;
  for (const char *nl;
       line < end &&
       (nl = static_cast<const char *>(memchr(line, '\n', (size_t)(end - line)))) != nullptr;
       line = nl + 1) {
    any_line = true;
    size_t len = (size_t)(nl - line);
    if (len > 0 && line[len - 1] == '\r') len--;
    logparse__record r;
    if (header(line, len, &r) || glued_header_at(line, len, &r) > 0) return nullptr;
  }
  /* no line whole yet: a record being written, or torn, begins with its mark */
  size_t k = n < (size_t)LOG_FORMAT_MARK_LEN ? n : (size_t)LOG_FORMAT_MARK_LEN;
  if (!any_line && (!whole || memcmp(bytes, LOG_FORMAT_MARK, k) == 0)) return nullptr;
  size_t controls = 0;
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)bytes[i];
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7f) controls++;
  }
  if (controls * 2 > n) return "mostly bytes that no log holds";
  return whole ? "no record header in it" : "no record header in its first 64 KiB";
}

void logparse__flush(logparse__parser *p, bool at_end, std::vector<logparse__record> *out) {
  if (at_end && !p->partial.empty()) {
    /* a last line without its end: a record was cut in its write. Cut in its header, it
       is no record at all; else the record in hand is the one cut. */
    size_t n = p->partial.size() < (size_t)LOG_FORMAT_MARK_LEN ? p->partial.size()
                                                               : (size_t)LOG_FORMAT_MARK_LEN;
    if (memcmp(p->partial.data(), LOG_FORMAT_MARK, n) == 0) {
      finish_record(p, out);
      stray_line(p, p->partial.data(), p->partial.size(), p->at - (long long)p->partial.size());
    } else {
      stored_line(p, p->partial.data(), p->partial.size(), p->at - (long long)p->partial.size(),
                  out);
      if (p->in_record && !p->current.damage) p->current.damage = "cut short";
    }
    p->partial.clear();
  }
  if (at_end) p->skipping = false;
  if (!p->partial.empty() && (p->in_record || !at_end)) return; /* a line still written */
  finish_record(p, out);
  finish_stray(p, nullptr, out);
}

void logparse__parse(const std::string &text, bool keep_text, std::vector<logparse__record> *out,
                     size_t *damaged) {
  logparse__parser p;
  logparse__init(&p, keep_text);
  logparse__feed(&p, text.data(), text.size(), out);
  logparse__flush(&p, true, out);
  *damaged = p.damaged;
}
