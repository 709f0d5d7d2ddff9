/*
** logmsg.cpp - records messages through the logging library from the
** command line or, one per line, from standard input.
**
**   logmsg [-l LEVEL] [-s SOURCE] [-L LINE] [-e CODE] [-x HEX | -f FILE]
**          [-N NAME] [-r COUNT] [-c] KIND WORDS...
**   logmsg [-c] -
**
** KIND is error, audit or devmsg. An input line holds the same words, or
** "init [NAME]", "init-index INDEX NAME" or "shut"; each line is carried
** out as soon as it is read. Silent on success; a malformed command gives
** one line on standard error and exit status 2. -c prints, at the end,
** how many records were dropped and why, on standard error.
*/
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "cli_report.h"
#include "platform.h"
#include "vezlog.h"

namespace {

constexpr int STATUS_BAD_COMMAND = CLI_USAGE;

const char usage_text[] =
    "usage: %s [-c] [-l LEVEL] [-s SOURCE] [-L LINE] [-e CODE] [-x HEX | -f FILE] [-N NAME]\n"
    "              [-r COUNT] [--] KIND WORDS...\n"
    "       %s [-c] -\n";
const char help_text[] =
    "Record a message through the vezlog logging library: KIND is error, audit or devmsg,\n"
    "the description is the WORDS. With -, read such commands from standard input, one a\n"
    "line (and init [NAME], init-index INDEX NAME, shut).\n"
    "  -l LEVEL   the message level (errors 1, others 0 unless given)\n"
    "  -s SOURCE  the source file shown; -L LINE its line\n"
    "  -e CODE    the error code an error record shows\n"
    "  -x HEX     data to dump, in hex digits; -f FILE the data of a file\n"
    "  -N NAME    register under NAME first (log__init)\n"
    "  -r COUNT   repeat the message COUNT times\n"
    "  -c         at the end, the records dropped and why, on standard error\n"
    "  -h, --help this text; --version the program's version\n"
    "Exit status: 0 done, 1 a file could not be read, 2 a wrong command (line).\n";

/* the usage lines, with the program's name */
void usage() { cli_report__print_usage(stderr, usage_text); }
/* the longest input line carried out */
constexpr size_t INPUT_LINE_MAX = 1 << 20;

struct command {
  bool has_level = false; /* else the kind's default */
  int level = 0;
  std::string source = "logmsg";
  int line = 0;
  bool set_error = false;
  DWORD error_code = 0;
  std::string data;
  bool init = false;
  std::string init_name;
  long count = 1;
  std::string kind;
  std::string description;
};

bool to_int(const std::string &text, long lo, long hi, long *out) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long long v = strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = (long)v;
  return true;
}

bool parse_hex(const std::string &text, std::string *out) {
  int half = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (half >= 0) return false;
      continue;
    }
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) return false;
    if (half < 0) {
      half = d;
    } else {
      *out += (char)(half * 16 + d);
      half = -1;
    }
  }
  return half < 0;
}

/* the bytes of a file; 0, or the errno value of why it cannot be read (a directory too) */
int read_data_file(const std::string &path, std::string *out) {
  errno = 0;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return errno != 0 ? errno : EIO;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    out->append(buf, n);
  int e = ferror(f) ? (errno != 0 ? errno : EIO) : 0;
  fclose(f);
  return e;
}

/* the input line being carried out, 1 and up; 0 while the command line is */
unsigned long input_line = 0;

/* the status of the last command refused: a wrong command, or a file it could not read */
int refused_status = STATUS_BAD_COMMAND;

/* says what is wrong with a command, on its input line if it came from one */
bool bad(const std::string &what, int status = STATUS_BAD_COMMAND) {
  refused_status = status;
  if (input_line > 0)
    cli_report__fail(status, "line %lu: %s", input_line, what.c_str());
  else
    cli_report__fail(status, "%s", what.c_str());
  return false;
}

/* words after "logmsg" into a command; false, said, when malformed */
bool parse(const std::vector<std::string> &words, command *c) {
  size_t i = 0;
  bool have_data = false;
  for (; i < words.size() && words[i].size() == 2 && words[i][0] == '-'; i++) {
    if (words[i] == "--") { /* the end of the options: a kind follows, even one like "-x" */
      i++;
      break;
    }
    char opt = words[i][1];
    if (i + 1 >= words.size()) return bad(std::string("option -") + opt + " needs a value");
    const std::string &v = words[++i];
    long n = 0;
    switch (opt) {
    case 'l':
      if (!to_int(v, INT32_MIN, INT32_MAX, &n)) return bad("bad level: " + v);
      c->level = (int)n;
      c->has_level = true;
      break;
    case 's': c->source = v; break;
    case 'L':
      if (!to_int(v, INT32_MIN, INT32_MAX, &n)) return bad("bad line: " + v);
      c->line = (int)n;
      break;
    case 'e': {
      long long code = 0;
      char *end = nullptr;
      code = strtoll(v.c_str(), &end, 0);
      if (v.empty() || *end != '\0' || code < INT32_MIN || code > UINT32_MAX)
        return bad("bad error code: " + v);
      c->set_error = true;
      c->error_code = (DWORD)code;
      break;
    }
    case 'x':
      if (have_data) return bad("give data once, with -x or -f");
      if (!parse_hex(v, &c->data)) return bad("bad hex data: " + v);
      have_data = true;
      break;
    case 'f':
      if (have_data) return bad("give data once, with -x or -f");
      if (int e = read_data_file(v, &c->data))
        return bad("cannot read " + v + ": " + cli_report__errno_reason(e), CLI_FAILED);
      have_data = true;
      break;
    case 'N':
      c->init = true;
      c->init_name = v;
      break;
    case 'r':
      if (!to_int(v, 0, INT32_MAX, &n)) return bad("bad count: " + v);
      c->count = n;
      break;
    default:
      return bad("unknown option " + words[i - 1] +
                 " (-l, -s, -L, -e, -x, -f, -N, -r; -c before the kind)");
    }
  }
  if (i >= words.size()) return bad("no message kind: expected error, audit or devmsg");
  c->kind = words[i++];
  if (c->kind == "-")
    return bad("'-' reads the commands from standard input: it is the whole command line "
               "(with -c at most)");
  if (c->kind != "error" && c->kind != "audit" && c->kind != "devmsg")
    return bad("unknown kind " + c->kind + ": expected error, audit or devmsg");
  for (; i < words.size(); i++)
    c->description += (c->description.empty() ? "" : " ") + words[i];
  return true;
}

void carry_out(const command &c) {
  if (c.init) log__init(c.init_name.c_str());
  const void *data = c.data.empty() ? nullptr : c.data.data();
  int length = (int)c.data.size();
  for (long k = 0; k < c.count; k++) {
    if (c.kind == "error") {
      /* the code as the library takes a caller's: its last-error code, its errno on POSIX */
      if (c.set_error) {
        SetLastError(c.error_code);
        errno = (int)c.error_code;
      }
      log__log_error(c.has_level ? c.level : 1, c.source.c_str(), c.line, c.description.c_str(),
                     data, length);
    } else if (c.kind == "audit") {
      log__log_audit(c.has_level ? c.level : 0, c.source.c_str(), c.line, c.description.c_str(),
                     data, length);
    } else {
      log__log_devmsg(c.has_level ? c.level : 0, c.source.c_str(), c.line, c.description.c_str(),
                      data, length);
    }
  }
}

std::vector<std::string> split(const char *line) {
  std::vector<std::string> words;
  std::string w;
  for (const char *p = line;; p++) {
    if (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') {
      if (!w.empty()) words.push_back(w);
      w.clear();
      if (*p == '\0') break;
    } else {
      w += *p;
    }
  }
  return words;
}

/* one input line; false, said, when malformed */
bool carry_out_line(const std::vector<std::string> &words) {
  if (words[0] == "init") {
    if (words.size() > 2) return bad("init takes at most a name");
    log__init(words.size() == 2 ? words[1].c_str() : nullptr);
    return true;
  }
  if (words[0] == "init-index") {
    long index = 0;
    if (words.size() != 3 || !to_int(words[1], INT32_MIN, INT32_MAX, &index))
      return bad("usage: init-index INDEX NAME");
    log__init_error_audit((int)index, words[2].c_str());
    return true;
  }
  if (words[0] == "shut") {
    if (words.size() != 1) return bad("shut takes nothing");
    log__shut_error_audit();
    return true;
  }
  command c;
  if (!parse(words, &c)) return false;
  carry_out(c);
  return true;
}

/*
** One input line into line, without its line end; false at the end of the
** input. A line longer than INPUT_LINE_MAX is read to its end and left
** empty, *too_long set: it is refused whole, never split into commands.
*/
bool next_line(std::string *line, bool *too_long) {
  line->clear();
  *too_long = false;
  char piece[4096];
  bool any = false;
  while (fgets(piece, sizeof piece, stdin) != nullptr) {
    any = true;
    size_t n = strlen(piece);
    bool ended = n > 0 && piece[n - 1] == '\n';
    if (!*too_long) {
      line->append(piece, ended ? n - 1 : n);
      if (line->size() > INPUT_LINE_MAX) {
        *too_long = true;
        line->clear();
      }
    }
    if (ended) break;
  }
  return any;
}

int read_input() {
  int status = 0;
  std::string line;
  bool too_long = false;
  while (next_line(&line, &too_long)) {
    input_line++;
    if (too_long) {
      bad("longer than " + std::to_string(INPUT_LINE_MAX) + " bytes: not carried out");
      status = STATUS_BAD_COMMAND;
      continue;
    }
    std::vector<std::string> words = split(line.c_str());
    if (!words.empty() && !carry_out_line(words))
      status = status == CLI_FAILED ? status : refused_status;
  }
  input_line = 0;
  return status;
}

} // namespace

int main(int argc, char **argv) {
  cli_report__set_program(argc > 0 && argv[0] != nullptr ? argv[0] : "logmsg");
  /* -c may stand anywhere among the options; every other option takes a value */
  std::vector<std::string> words;
  bool counts = false;
  int i = 1;
  for (; i < argc; i++) {
    std::string w = argv[i];
    if (w == "--help" || w == "-h") {
      cli_report__print_usage(stdout, usage_text);
      return cli_report__help(help_text);
    }
    if (w == "--version") return cli_report__version("logmsg");
    if (w == "-c") {
      counts = true;
    } else if (w == "--") {
      words.push_back(w);
      i++;
      break;
    } else if (w.size() == 2 && w[0] == '-') {
      words.push_back(w);
      if (i + 1 < argc) words.push_back(argv[++i]);
    } else if (w.size() > 2 && w[0] == '-' && w[1] == '-') {
      cli_report__fail(STATUS_BAD_COMMAND, "unknown option %s (--help, --version)", w.c_str());
      usage();
      return STATUS_BAD_COMMAND;
    } else {
      break;
    }
  }
  words.insert(words.end(), argv + i, argv + argc);
  int status = 0;
  if (words.size() == 1 && words[0] == "-") {
    status = read_input();
  } else {
    command c;
    if (!parse(words, &c)) {
      if (refused_status == STATUS_BAD_COMMAND) usage();
      return refused_status;
    }
    carry_out(c);
  }
  if (counts) cli_report__drop_counts();
  return status;
}
