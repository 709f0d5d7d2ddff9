/*
** logparse.h - the log record format read back: records split into their
** header fields, description and data, as the writer wrote them. Lines go
** in as they come (a piece of a file at a time, any size), records come
** out once they are whole; one record is parsed once, in time linear in
** its size. Damage comes out where it lies: a record that is not whole
** with the reason, lines that belong to no record as a headless record of
** their own. Used by vezcat and its fuzz target.
*/
#ifndef VEZ_LOGPARSE_H
#define VEZ_LOGPARSE_H

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

/*
** The bytes of a record's text or data: in memory up to
** LOGPARSE_BLOB_MEMORY, in a temporary file of their own beyond it (where
** one can be made), so that a record of any size holds little memory.
*/
constexpr size_t LOGPARSE_BLOB_MEMORY = 4 << 20;
struct logparse__blob {
  std::string memory; /* all of them, until they are spilled */
  FILE *spill = nullptr;
  long long length = 0;
  logparse__blob() = default;
  logparse__blob(logparse__blob &&other) noexcept;
  logparse__blob &operator=(logparse__blob &&other) noexcept;
  logparse__blob(const logparse__blob &) = delete;
  logparse__blob &operator=(const logparse__blob &) = delete;
  ~logparse__blob();
  void append(const char *bytes, size_t n);
  void append(const std::string &s) { append(s.data(), s.size()); }
  void clear();
  /* only the first n bytes kept; false where they are spilled (kept as they are) */
  bool truncate(long long n);
  long long size() const { return length; }
  bool empty() const { return length == 0; }
  /* the last byte (0 when empty) */
  char back() const;
  /* the bytes, a piece at a time (in order, none empty), to fn(const char *, size_t) */
  template <typename Fn> void each(Fn fn) const {
    if (spill == nullptr) {
      if (!memory.empty()) fn(memory.data(), memory.size());
      return;
    }
    static char piece[1 << 16];
    fflush(spill);
    rewind(spill);
    size_t got;
    while ((got = fread(piece, 1, sizeof piece, spill)) > 0)
      fn(piece, got);
    fseek(spill, 0, SEEK_END);
  }
  /* all of them in one string (for the small) */
  std::string str() const;
};

/* one record as read from a log */
struct logparse__record {
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int message_level = 0, configured_level = 0;
  long long error_code = 0;
  std::string process; /* as written, each "<xx>" the writer put in a name made its byte again */
  std::string source;  /* source_cut: only its tail was kept */
  bool source_cut = false;
  long line = 0;
  std::string description;      /* its lines joined back; a line break comes back as LF */
  bool description_cut = false; /* longer than LOGPARSE_DESCRIPTION_MAX: the rest not kept */
  bool has_data = false;
  logparse__blob data;          /* the bytes the dump shows */
  bool data_partial = false;    /* the short form: only what it shows */
  const char *damage = nullptr; /* why the record is not whole (cut short, a dump that is
                                   none), or null */
  bool headless = false;        /* no record: lines that belong to none (damage says so), its
                                   time fields those of the record after it, or before it */
  size_t lines = 0;             /* its lines, for a headless one */
  long long bytes = 0;          /* and their bytes (its text keeps the first STRAY_TEXT_MAX) */
  long long offset = 0;         /* where its text starts in the stream */
  logparse__blob text;          /* the record's lines as stored (CR LF), with keep_text */
};

/* no line of the format is longer than this: a longer one is damage, skipped unread */
constexpr size_t LOGPARSE_LINE_MAX = 1 << 20;
/* of lines that belong to no record, so much text is kept to be shown (in every form) */
constexpr size_t LOGPARSE_STRAY_TEXT_MAX = 1 << 16;
/* of a description, so much is kept (what it is matched against, and shown as its field) */
constexpr size_t LOGPARSE_DESCRIPTION_MAX = 16 << 20;
/* of a short-form dump's lines, so much is kept until the form is known */
constexpr size_t LOGPARSE_SHORT_MAX = 16 << 20;

/* the parser's state between pieces */
struct logparse__parser {
  bool keep_text = false;
  long long at = 0;       /* stream offset of the next byte fed */
  std::string partial;    /* a line whose end has not come yet */
  bool skipping = false;  /* inside an over-long line: bytes dropped up to its end */
  bool in_record = false; /* a header was seen */
  bool have_desc = false; /* ... and its "Desc:" line */
  bool in_dump = false;   /* ... and a dump line */
  size_t last_desc_len = 0;
  bool full_form = true;                /* the dump lines so far are the full form */
  bool full_ended = false;              /* the full form's short last line was seen */
  std::vector<std::string> short_lines; /* dump lines kept while the form is not yet known */
  size_t short_bytes = 0;
  logparse__record current;
  logparse__record stray; /* lines that belong to no record, gathered (headless) */
  bool have_stray = false;
  logparse__record previous; /* the time fields of the last record given out */
  bool have_previous = false;
  size_t damaged = 0;    /* lines that belong to no record */
  std::string skip_tail; /* the last bytes of an over-long line: a header may end it */
  logparse__record head; /* a line read as a header (one record made once, not a line) */
  /* a description line that ends in what reads as a header: a record glued onto one cut
     short, if the next line is that record's "Desc:" line */
  bool glued = false;
  logparse__record glued_header;
  long long glued_offset = 0;    /* where that header begins */
  size_t glued_desc_keep = 0;    /* the description before it */
  long long glued_text_keep = 0; /* the record's text before it */
  std::string glued_text;        /* the header's own stored bytes */
};

void logparse__init(logparse__parser *p, bool keep_text, long long offset = 0);

/* a piece of the stream; the records that it made whole are appended to out */
void logparse__feed(logparse__parser *p, const char *bytes, size_t n,
                    std::vector<logparse__record> *out);

/*
** Why the first bytes of a file (its first 64 KiB, all of it where it is
** shorter: whole) show it to be no log, or null: mostly bytes that no log
** holds, or whole lines and not one record header among them.
*/
constexpr size_t LOGPARSE_SAMPLE = 1 << 16;
const char *logparse__not_a_log(const char *bytes, size_t n, bool whole);

/* whether a record waits for more lines (it is whole once a header follows, or the end) */
bool logparse__pending(const logparse__parser *p);

/*
** The stream ends here for now: the record in hand is given out. With
** at_end, a last line without its line end belongs to it, which is then
** marked cut short (a file no longer written); otherwise that line stays
** for the next piece (a file still written, quiet for now).
*/
void logparse__flush(logparse__parser *p, bool at_end, std::vector<logparse__record> *out);

/* as the above, for a whole text at once: the records (the lines of no record among them,
   as headless records), those lines counted */
void logparse__parse(const std::string &text, bool keep_text, std::vector<logparse__record> *out,
                     size_t *damaged);

/* the byte a "<xx>" at s stands for, or -1 */
int logparse__byte_notation(const char *s, size_t n);

#endif /* VEZ_LOGPARSE_H */
