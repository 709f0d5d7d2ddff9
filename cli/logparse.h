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

/*
** Parses the records of text, a log's content from a record's start, into
** out. Only whole lines are read: *used is set to the bytes consumed, the
** text up to its last line end (a line still being written is left for the
** next call; at the end of a file that is no longer written, pass whole as
** true and a last line without its end is read too). Lines that belong to
** no record, and records without a description, are skipped and counted in
** *damaged.
*/
void logparse__parse(const std::string &text, bool whole, std::vector<logparse__record> *out,
                     size_t *used, size_t *damaged);

#endif /* VEZ_LOGPARSE_H */
