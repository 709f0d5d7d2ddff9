/*
** logparse.h - the log record format read back: records split into their
** header fields, description and data, as the writer wrote them. Used by
** vezcat and its fuzz target.
*/
#ifndef VEZ_LOGPARSE_H
#define VEZ_LOGPARSE_H

#include <stddef.h>

#include <string>
#include <vector>

/* one record as read from a log */
struct logparse__record {
  int month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int message_level = 0, configured_level = 0;
  long long error_code = 0;
  std::string process;
  std::string source; /* as written; source_cut: only its tail was kept */
  bool source_cut = false;
  long line = 0;
  std::string description; /* its lines joined back; a line break comes back as LF */
  bool has_data = false;
  std::string data;          /* the bytes the dump shows */
  bool data_partial = false; /* the short form: only what it shows */
  std::string text;          /* the record's lines as stored (CR LF) */
};

/* where the text handed to the parser ends */
enum logparse__end {
  LOGPARSE_PIECE,   /* anywhere: more of the file follows, so its last record is left */
  LOGPARSE_GROWING, /* at the end of a log still written: a last line without its end is left */
  LOGPARSE_WHOLE    /* at the end of a file no longer written: everything is read */
};

/*
** Parses the records of text, a log's content from a record's start, into
** out; *used is set to the bytes consumed, what is left being for the next
** call (see logparse__end). Lines that belong to no record, and records
** without a description, are skipped and counted in *damaged. Each
** record's text is kept only with keep_text.
*/
void logparse__parse(const std::string &text, logparse__end end, bool keep_text,
                     std::vector<logparse__record> *out, size_t *used, size_t *damaged);

#endif /* VEZ_LOGPARSE_H */
