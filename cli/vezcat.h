/*
** vezcat.h - what the files of vezcat share: the logs it reads, their
** records on their way out, the options of the run, and the three
** concerns: finding the logs (vezcat_find), reading and following them
** (vezcat_read), printing their records (vezcat_out).
*/
#ifndef VEZ_VEZCAT_H
#define VEZ_VEZCAT_H

#include <time.h>

#include <regex>
#include <string>
#include <vector>

#include "logparse.h"

enum vezcat__kind { VEZCAT_ERROR, VEZCAT_AUDIT, VEZCAT_DEVMSG };
extern const char *const vezcat__kind_names[3];

/* a log to read: its path, its kind, and whether the command line named it */
struct vezcat__log {
  std::string path;
  vezcat__kind kind;
  bool kind_known = false; /* its kind is the configuration's (or its name's), not a guess */
  bool named = false;
};

/* a record on its way out, with its time and the log it came from */
struct vezcat__entry {
  time_t when;
  size_t log;
  logparse__record rec;
};

enum vezcat__form {
  VEZCAT_SHORT,
  VEZCAT_SHORT_ISO,
  VEZCAT_RAW,
  VEZCAT_JSON,
  VEZCAT_JSON_PRETTY,
  VEZCAT_EXPORT,
  VEZCAT_CAT,
  VEZCAT_SHORT_PRECISE,
  VEZCAT_SHORT_UNIX,
  VEZCAT_SHORT_FULL,
  VEZCAT_JSON_SEQ,
  VEZCAT_VERBOSE,
  VEZCAT_FORMS
};
/* the forms' names, as -o takes them */
extern const char *const vezcat__form_names[VEZCAT_FORMS];
/* whether a form shows the record's lines as stored (and needs them kept) */
bool vezcat__form_shows_text(vezcat__form f);

/* a -g pattern: a regular expression, or (one with no special character) its text, found
   far faster than an expression is matched; without capitals in any case */
struct vezcat__grep {
  bool literal = false, icase = false;
  std::string text; /* the literal, in lower case where icase; of an expression, a text every
                       match holds (perhaps none), looked for before the expression is tried */
  std::regex re;
};
/* whether a description matches a pattern */
bool vezcat__grep_matches(const vezcat__grep &g, const std::string &s);

/* filters of one kind given more than once are any of them; of different kinds, all */
struct vezcat__options {
  vezcat__form form = VEZCAT_SHORT;
  bool follow = false, reverse = false, color = false, pager = true;
  bool utc = false;     /* times shown in UTC */
  bool end = false;     /* -e: the pager at the end */
  long long lines = -1; /* the last so many records; -1: all */
  unsigned kinds = 0;   /* bits of vezcat__kind; 0: all */
  std::vector<std::string> processes;
  std::vector<vezcat__grep> greps;
  std::vector<std::pair<long long, long long>> levels; /* each from..to */
  std::vector<std::pair<int, int>> priorities;         /* each from..to, 0 (emerg) to 7 */
  std::vector<std::string> output_fields;              /* json and export: only these */
  bool since_set = false, until_set = false;
  time_t since = 0, until = 0;
};
extern vezcat__options vezcat__opts;

/* the run's exit status so far: 0, or 1 once a log could not be read */
extern int vezcat__status;
/* says that a log cannot be read, with the system's reason, and sets the status */
void vezcat__unreadable(const std::string &path, const char *reason);

/*
** The kind of a record: its header's configured level says "error" only
** where it is 1 (error records are written only while the error switch is
** 1); so an error log's record of another level is an audit record, and in
** a file whose kind nobody knows (a copy) a record of configured level 1 is
** an error record, any other an audit record.
*/
vezcat__kind vezcat__record_kind(const vezcat__log &log, const logparse__record &r);

/* a record's priority, as export gives it: an error 3 (err), an audit 6 (info), a device
   message 7 (debug), lines of no record 4 (warning) */
int vezcat__priority(const vezcat__log &log, const logparse__record &r);

/* whether a record passes the options' filters */
bool vezcat__wanted(const vezcat__log &log, const vezcat__entry &e);

/* --- finding the logs (vezcat_find.cpp) --- */

/*
** Adds to logs, once each, every log of the configuration in force: for
** this program and every process of the process-index table, the error
** log, the audit log and the device-message log as the library names
** them; then every other file of those logs' directories that holds
** records of this format (the audit logs of processes outside the table).
** Returns how many it added.
*/
size_t vezcat_find__logs(std::vector<vezcat__log> *logs);
/* the kind of a log from its file name; *known: the name is one the library gives */
vezcat__kind vezcat_find__kind_of(const std::string &path, bool *known = nullptr);

/* --- reading and following (vezcat_read.cpp) --- */

/* a record's time: its header has no year, so the year that puts it no more than a day
   ahead of now */
time_t vezcat_read__record_time(const logparse__record &r, time_t now);
/* prints the records of the logs (each ".old" copy first) merged in time order; from
   the end with -n or -r; then, with -f, follows them */
void vezcat_read__run(std::vector<vezcat__log> *logs);

/* --- printing (vezcat_out.cpp) --- */

/* prepares standard output for the form in use */
void vezcat_out__begin(void);
/* prints one record (filtered already) */
void vezcat_out__record(const vezcat__log &log, const vezcat__entry &e);
/* pushes what is printed out; a failed output ends the run (quietly for a closed pipe) */
void vezcat_out__flush(void);
/* the last of it pushed out, and the pager (where there is one) waited for */
void vezcat_out__end(void);

/* --- sealed logs (vezcat_seal.cpp) --- */

/* --setup-keys: the sealing state made beside the data file (replacing one only with
   force), the verification key printed once; the exit status */
int vezcat_seal__setup(const char *interval, bool force);
/* --seal: the intervals of sealing that ended closed, covering the logs (and every sealed log
   beside them); the exit status */
int vezcat_seal__close(const std::vector<vezcat__log> &logs);
/* --verify: each log with its old copy proved against their seals and the closes with the
   keys given (none: the digests and the chain alone); PASS or FAIL printed per log, and
   whole_configuration (no files named) a FAIL for every log a close names that is gone;
   the closes are due up to now; with against (a copy collected off the host) the first log
   checked against it too; the exit status */
int vezcat_seal__verify(const std::vector<vezcat__log> &logs, const std::vector<std::string> &keys,
                        bool whole_configuration, time_t now, const std::string &against);

#endif /* VEZ_VEZCAT_H */
