/*
** vezcat.cpp - the logs' reader: prints the records of every log of the
** configuration in force (or of the files named), merged in time order,
** filtered, in the form asked for, and follows them as they grow. Its
** options are journalctl's where journalctl has one.
**
** This file holds the command line, the filters and the times; the logs
** are found in vezcat_find, read and followed in vezcat_read, printed in
** vezcat_out.
*/
#include "vezcat.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>

#include "cli_report.h"
#include "platform.h"

const char *const vezcat__kind_names[3] = {"error", "audit", "devmsg"};
const char *const vezcat__form_names[VEZCAT_FORMS] = {
    "short", "short-iso",     "raw",        "json",       "json-pretty", "export",
    "cat",   "short-precise", "short-unix", "short-full", "json-seq",    "verbose"};
vezcat__options vezcat__opts;
int vezcat__status = CLI_OK;

namespace {

const char usage_text[] =
    "usage: %s [OPTION]... [FILE]...\n"
    "Print the records of the vezlog logs (or of the FILEs) in time order.\n"
    "  -f, --follow            print records as they arrive\n"
    "  -n, --lines=N           the last N records (with -f: 10 unless given)\n"
    "  -r, --reverse           latest first\n"
    "  -e, --pager-end         the end of it in the pager (-n 1000 unless given)\n"
    "  -o, --output=FORM       short, short-iso, short-precise, short-unix, short-full,\n"
    "                          cat, raw, json, json-pretty, json-seq, verbose, or export\n"
    "                          (the journal's export format); -o help lists them\n"
    "  -j, --json              -o json\n"
    "      --output-fields=F,..  with json and export: only these fields\n"
    "      --utc               times in UTC\n"
    "  -k, --kind=KIND         error, audit or devmsg\n"
    "  -p, --priority=P[..Q]   records of priority P or more urgent, or of P to Q (emerg,\n"
    "                          alert, crit, err, warning, notice, info, debug, or 0 to 7;\n"
    "                          an error is err, an audit info, a device message debug)\n"
    "      --process=NAME      records of this process (also -p NAME, NAME no priority)\n"
    "  -l, --level=N[..M]      records of this message level, or of N to M\n"
    "  -S, -s, --since=TIME    records from TIME on\n"
    "  -U, -u, --until=TIME    records up to TIME\n"
    "  -g, --grep=REGEX        records whose description matches (no capitals: any case)\n"
    "                          (-k, -p, -l, -g given again: any of them; different: all)\n"
    "      --no-color          no colours, also on a terminal (as NO_COLOR does)\n"
    "      --no-pager          no pager on a terminal ($SYSTEMD_PAGER, $PAGER or less)\n"
    "      --setup-keys        make the sealing state and print its verification key once\n"
    "      --interval=DURATION how long a sealing key lasts (15min unless given; 1s at least)\n"
    "      --force             with --setup-keys: replace the sealing state there is\n"
    "      --seal              close the sealing intervals that ended (run by a timer)\n"
    "      --verify            prove each log against its seals and the closes: PASS or\n"
    "                          FAIL each\n"
    "      --verify-key=KEY    the verification key (may be repeated); without: the digests\n"
    "                          and the chain only\n"
    "      --as-of=TIME        with --verify: as the logs were at TIME (a copy taken then)\n"
    "      --against=FILE      with --verify: the first log against a copy of it collected\n"
    "                          off the host (a copy, the collector's file, an export)\n"
    "  -h, --help              this text\n"
    "      --version           the program's version\n"
    "TIME: YYYY-MM-DD[ HH:MM[:SS]] (or with T), HH:MM[:SS], now, today, yesterday,\n"
    "tomorrow, N UNIT ago, -N UNIT, +N UNIT (UNIT: s, min, h, d, w, or their names),\n"
    "@SECONDS since the epoch.\n"
    "Exit status: 0 done (also when nothing matched), 1 a log could not be read, the\n"
    "output written or the command line was wrong (with --verify: a log that does not\n"
    "pass).\n";

const char short_usage[] = "usage: %s [OPTION]... [FILE]... (%s --help for more)\n";

int usage_error(const char *format, const char *what) {
  return cli_report__usage(CLI_USAGE_READER, short_usage, format, what);
}

/*
** Of an expression without alternatives, the longest run of plain
** characters that every match holds (none where it cannot tell): a
** character a quantifier makes optional, a class, an escape or a group ends
** a run.
*/
std::string required_text(const char *re, bool lower) {
  if (strchr(re, '|') != nullptr) return "";
  std::string best, run;
  auto end_run = [&]() {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  for (const char *p = re; *p != '\0'; p++) {
    char c = *p;
    if (c == '*' || c == '?' || c == '{') {
      if (!run.empty()) run.pop_back(); /* the one before is optional */
      end_run();
      if (c == '{')
        while (p[1] != '\0' && *p != '}')
          p++;
    } else if (c == '+') {
      end_run();
    } else if (c == '\\' || c == '[' || c == '(' || c == ')' || c == '.' || c == '^' || c == '$') {
      end_run();
      if (c == '\\' && p[1] != '\0') p++;
      if (c == '[') {
        if (p[1] == ']') p++;
        while (p[1] != '\0' && p[1] != ']')
          p++;
        if (p[1] == ']') p++;
      }
    } else {
      run += lower ? (char)tolower((unsigned char)c) : c;
    }
  }
  end_run();
  return best;
}

/* a priority by name or number (0 to 7), or -1 */
int priority_named(const std::string &s) {
  static const char *const names[8] = {"emerg",   "alert",  "crit", "err",
                                       "warning", "notice", "info", "debug"};
  for (int i = 0; i < 8; i++)
    if (s == names[i]) return i;
  if (s == "error") return 3;
  if (s == "warn") return 4;
  if (s.size() == 1 && s[0] >= '0' && s[0] <= '7') return s[0] - '0';
  return -1;
}

/* "P" (P and more urgent: 0..P) or "P..Q"; false where it is no priority */
bool priority_range(const std::string &s, std::pair<int, int> *out) {
  size_t dots = s.find("..");
  if (dots == std::string::npos) {
    int p = priority_named(s);
    if (p < 0) return false;
    *out = {0, p};
    return true;
  }
  int a = priority_named(s.substr(0, dots)), b = priority_named(s.substr(dots + 2));
  if (a < 0 || b < 0) return false;
  *out = {std::min(a, b), std::max(a, b)};
  return true;
}

/* a calendar time made a time value, refused when any field is out of its range */
bool calendar(int y, int mo, int d, int h, int mi, int s, time_t *out) {
  if (y < 1970 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 ||
      mi > 59 || s < 0 || s > 60)
    return false;
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  time_t t = mktime(&tm);
  /* 30 February and the like come back as another day */
  if (t == (time_t)-1 || tm.tm_mday != d || tm.tm_mon != mo - 1) return false;
  *out = t;
  return true;
}

/* the seconds of a unit of relative time, or 0 */
long unit_seconds(const std::string &u) {
  static const struct {
    const char *name;
    long seconds;
  } units[] = {{"s", 1},         {"sec", 1},       {"second", 1},   {"seconds", 1},  {"m", 60},
               {"min", 60},      {"minute", 60},   {"minutes", 60}, {"h", 3600},     {"hour", 3600},
               {"hours", 3600},  {"d", 86400},     {"day", 86400},  {"days", 86400}, {"w", 604800},
               {"week", 604800}, {"weeks", 604800}};
  for (const auto &x : units)
    if (u == x.name) return x.seconds;
  return 0;
}

/* "N UNIT ago", "-N UNIT", "+N UNIT", the unit perhaps joined to the number */
bool relative(const std::string &text, time_t now, time_t *out) {
  std::string t = text;
  int sign = 1;
  bool ago = t.size() > 4 && t.compare(t.size() - 4, 4, " ago") == 0;
  if (ago) {
    t.resize(t.size() - 4);
    sign = -1;
  } else if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    sign = t[0] == '-' ? -1 : 1;
    t.erase(0, 1);
  } else {
    return false;
  }
  size_t i = 0;
  long long n = 0;
  while (i < t.size() && isdigit((unsigned char)t[i]) && n < 100000000)
    n = n * 10 + (t[i++] - '0');
  if (i == 0) return false;
  while (i < t.size() && t[i] == ' ')
    i++;
  long u = unit_seconds(t.substr(i));
  if (u == 0) return false;
  *out = now + sign * (time_t)(n * u);
  return true;
}

bool parse_time(const char *text, time_t *out) {
  time_t now = time(nullptr);
  struct tm today;
  struct tm *t = localtime(&now);
  if (t == nullptr) return false;
  today = *t;
  std::string s = text;
  if (s == "now") {
    *out = now;
    return true;
  }
  if (s.size() > 1 && s[0] == '@') {
    /* seconds since the epoch, as journalctl takes them (a fraction of one dropped) */
    char *end = nullptr;
    long long v = strtoll(text + 1, &end, 10);
    if (end == text + 1) return false;
    if (*end == '.' && isdigit((unsigned char)end[1]))
      for (end++; isdigit((unsigned char)*end);)
        end++;
    if (*end != '\0' || v < 0) return false;
    *out = (time_t)v;
    return true;
  }
  if (s == "today" || s == "yesterday" || s == "tomorrow") {
    /* the start of the calendar day: a day the clock changes on is 23 or 25 hours long */
    struct tm start = today;
    start.tm_mday += s == "today" ? 0 : s == "yesterday" ? -1 : 1;
    start.tm_hour = start.tm_min = start.tm_sec = 0;
    start.tm_isdst = -1;
    *out = mktime(&start);
    return *out != (time_t)-1;
  }
  if (relative(s, now, out)) return true;
  int y, mo, d, h = 0, mi = 0, sec = 0, used = 0;
  char sep = 0;
  if (sscanf(text, "%4d-%2d-%2d%n", &y, &mo, &d, &used) == 3) {
    const char *rest = text + used;
    if (*rest == '\0') return calendar(y, mo, d, 0, 0, 0, out);
    if (sscanf(rest, "%c%2d:%2d%n", &sep, &h, &mi, &used) == 3 && (sep == ' ' || sep == 'T')) {
      rest += used;
      if (*rest == ':' && sscanf(rest, ":%2d%n", &sec, &used) == 1) rest += used;
      return *rest == '\0' && calendar(y, mo, d, h, mi, sec, out);
    }
    return false;
  }
  if (sscanf(text, "%2d:%2d%n", &h, &mi, &used) == 2) {
    const char *rest = text + used;
    if (*rest == ':' && sscanf(rest, ":%2d%n", &sec, &used) == 1) rest += used;
    return *rest == '\0' &&
           calendar(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday, h, mi, sec, out);
  }
  return false;
}

/* whole digits into a count (or "all") */
bool count(const char *text, long long *out) {
  if (strcmp(text, "all") == 0) {
    *out = -1;
    return true;
  }
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  if (end == text || *end != '\0' || v < 0) return false;
  *out = v;
  return true;
}

} // namespace

void vezcat__unreadable(const std::string &path, const char *reason) {
  static std::set<std::string> said; /* once each, however often a follower looks */
  if (said.insert(path).second)
    cli_report__fail(CLI_FAILED, "cannot read %s: %s", path.c_str(), reason);
  vezcat__status = CLI_FAILED;
}

vezcat__kind vezcat__record_kind(const vezcat__log &log, const logparse__record &r) {
  if (r.headless) return log.kind;
  if (r.configured_level != 1) return log.kind == VEZCAT_ERROR ? VEZCAT_AUDIT : log.kind;
  return log.kind_known ? log.kind : VEZCAT_ERROR;
}

int vezcat__priority(const vezcat__log &log, const logparse__record &r) {
  static const int of_kind[3] = {3, 6, 7};
  return r.headless ? 4 : of_kind[vezcat__record_kind(log, r)];
}

bool vezcat__form_shows_text(vezcat__form f) {
  return f != VEZCAT_JSON && f != VEZCAT_JSON_PRETTY && f != VEZCAT_JSON_SEQ &&
         f != VEZCAT_EXPORT && f != VEZCAT_CAT && f != VEZCAT_VERBOSE;
}

/* a text found in s, in any case where icase (its letters lower case then) */
bool holds_text(const std::string &s, const std::string &text, bool icase);

bool vezcat__grep_matches(const vezcat__grep &g, const std::string &s) {
  if (!g.literal) return holds_text(s, g.text, g.icase) && std::regex_search(s, g.re);
  return holds_text(s, g.text, g.icase);
}

bool holds_text(const std::string &s, const std::string &text, bool icase) {
  if (text.empty()) return true;
  if (!icase) return s.find(text) != std::string::npos;
  /* the pattern has no capitals: each place its first letter (either case) is found */
  unsigned char first = (unsigned char)text[0];
  unsigned char upper = (unsigned char)toupper(first);
  size_t n = text.size();
  for (size_t at = 0; at + n <= s.size(); at++) {
    const void *a = memchr(s.data() + at, first, s.size() - n + 1 - at);
    const void *b = upper != first ? memchr(s.data() + at, upper, s.size() - n + 1 - at) : nullptr;
    if (a == nullptr && b == nullptr) return false;
    const char *hit = static_cast<const char *>(a == nullptr   ? b
                                                : b == nullptr ? a
                                                : a < b        ? a
                                                               : b);
    at = (size_t)(hit - s.data());
    size_t k = 1;
    while (k < n && tolower((unsigned char)s[at + k]) == (unsigned char)text[k])
      k++;
    if (k == n) return true;
  }
  return false;
}

bool vezcat__wanted(const vezcat__log &log, const vezcat__entry &e) {
  const vezcat__options &o = vezcat__opts;
  const logparse__record &r = e.rec;
  if (o.kinds != 0 && !(o.kinds & (1u << vezcat__record_kind(log, r)))) return false;
  if (!o.priorities.empty()) {
    int p = vezcat__priority(log, r);
    if (std::none_of(o.priorities.begin(), o.priorities.end(),
                     [&](const std::pair<int, int> &x) { return p >= x.first && p <= x.second; }))
      return false;
  }
  if (o.since_set && e.when < o.since) return false;
  if (o.until_set && e.when > o.until) return false;
  /* lines of no record have no fields to match */
  if (r.headless) return o.processes.empty() && o.levels.empty() && o.greps.empty();
  if (!o.processes.empty() &&
      std::find(o.processes.begin(), o.processes.end(), r.process) == o.processes.end())
    return false;
  if (!o.levels.empty() &&
      std::none_of(o.levels.begin(), o.levels.end(), [&](const std::pair<long long, long long> &l) {
        return r.message_level >= l.first && r.message_level <= l.second;
      }))
    return false;
  return o.greps.empty() || std::any_of(o.greps.begin(), o.greps.end(), [&](const vezcat__grep &g) {
           return vezcat__grep_matches(g, r.description);
         });
}

int main(int argc, char **argv) {
  cli_report__set_program(argc > 0 && argv[0] != nullptr ? argv[0] : "vezcat");
  /* a reader that went away (vezcat | head) ends the run quietly, with status 0 */
  VezIgnoreBrokenPipe();
  vezcat__options &o = vezcat__opts;
  enum {
    OPT_NO_COLOR = 256,
    OPT_NO_PAGER,
    OPT_VERSION,
    OPT_SETUP_KEYS,
    OPT_INTERVAL,
    OPT_FORCE,
    OPT_VERIFY,
    OPT_VERIFY_KEY,
    OPT_SEAL,
    OPT_AS_OF,
    OPT_AGAINST,
    OPT_PROCESS,
    OPT_UTC,
    OPT_OUTPUT_FIELDS
  };
  static const struct option long_options[] = {
      {"json", no_argument, nullptr, 'j'},
      {"follow", no_argument, nullptr, 'f'},
      {"lines", required_argument, nullptr, 'n'},
      {"reverse", no_argument, nullptr, 'r'},
      {"output", required_argument, nullptr, 'o'},
      {"kind", required_argument, nullptr, 'k'},
      {"priority", required_argument, nullptr, 'p'},
      {"process", required_argument, nullptr, OPT_PROCESS},
      {"pager-end", no_argument, nullptr, 'e'},
      {"utc", no_argument, nullptr, OPT_UTC},
      {"output-fields", required_argument, nullptr, OPT_OUTPUT_FIELDS},
      {"level", required_argument, nullptr, 'l'},
      {"since", required_argument, nullptr, 'S'},
      {"until", required_argument, nullptr, 'U'},
      {"grep", required_argument, nullptr, 'g'},
      {"no-color", no_argument, nullptr, OPT_NO_COLOR},
      {"no-pager", no_argument, nullptr, OPT_NO_PAGER},
      {"setup-keys", no_argument, nullptr, OPT_SETUP_KEYS},
      {"interval", required_argument, nullptr, OPT_INTERVAL},
      {"force", no_argument, nullptr, OPT_FORCE},
      {"verify", no_argument, nullptr, OPT_VERIFY},
      {"verify-key", required_argument, nullptr, OPT_VERIFY_KEY},
      {"seal", no_argument, nullptr, OPT_SEAL},
      {"as-of", required_argument, nullptr, OPT_AS_OF},
      {"against", required_argument, nullptr, OPT_AGAINST},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, OPT_VERSION},
      {nullptr, 0, nullptr, 0}};
  bool no_color = false, setup_keys = false, force = false, verify = false, seal = false;
  const char *interval = nullptr;
  std::vector<std::string> keys;
  time_t as_of = 0;
  std::string against;
  int c;
  bool lines_given = false;
  while ((c = getopt_long(argc, argv, "jfen:ro:k:p:l:S:s:U:u:g:h", long_options, nullptr)) >= 0) {
    switch (c) {
    case 'j': o.form = VEZCAT_JSON; break;
    case 'f': o.follow = true; break;
    case 'r': o.reverse = true; break;
    case 'n':
      if (!count(optarg, &o.lines))
        return usage_error("bad --lines '%s': expected a number of records, or all", optarg);
      lines_given = true;
      break;
    case 'e': o.end = true; break;
    case OPT_UTC: o.utc = true; break;
    case 'o': {
      if (strcmp(optarg, "help") == 0) {
        std::string all;
        for (const char *f : vezcat__form_names)
          all += std::string(f) + "\n";
        fputs(all.c_str(), stdout);
        return cli_report__printed();
      }
      int k = 0;
      while (k < VEZCAT_FORMS && strcmp(optarg, vezcat__form_names[k]) != 0)
        k++;
      if (k == VEZCAT_FORMS)
        return usage_error("bad --output '%s': expected one of the forms -o help lists", optarg);
      o.form = (vezcat__form)k;
      break;
    }
    case OPT_OUTPUT_FIELDS:
      for (const char *p = optarg; *p != '\0';) {
        const char *comma = strchr(p, ',');
        size_t n = comma != nullptr ? (size_t)(comma - p) : strlen(p);
        if (n > 0) o.output_fields.emplace_back(p, n);
        p += n + (comma != nullptr ? 1 : 0);
      }
      if (o.output_fields.empty())
        return usage_error("bad --output-fields '%s': expected field names, comma-separated",
                           optarg);
      break;
    case 'k': {
      int k = 0;
      while (k < 3 && strcmp(optarg, vezcat__kind_names[k]) != 0)
        k++;
      if (k == 3) return usage_error("bad --kind '%s': expected error, audit or devmsg", optarg);
      o.kinds |= 1u << k;
      break;
    }
    case 'p': {
      /* journalctl's priority; a name that is none, as before, a process's */
      std::pair<int, int> range;
      if (priority_range(optarg, &range))
        o.priorities.push_back(range);
      else if (strstr(optarg, "..") != nullptr)
        return usage_error("bad --priority '%s': expected emerg, alert, crit, err, warning, "
                           "notice, info, debug or 0 to 7, or two of them with .. between",
                           optarg);
      else
        o.processes.push_back(optarg);
      break;
    }
    case OPT_PROCESS: o.processes.push_back(optarg); break;
    case 'g': {
      /* as journalctl: a pattern without capitals matches any case */
      bool lower = true;
      for (const char *p = optarg; *p != '\0'; p++)
        lower = lower && !isupper((unsigned char)*p);
      try {
        vezcat__grep g;
        g.icase = lower;
        g.literal = strpbrk(optarg, ".^$|()[]{}*+?\\") == nullptr;
        if (g.literal)
          for (const char *p = optarg; *p != '\0'; p++)
            g.text += lower ? (char)tolower((unsigned char)*p) : *p;
        else
          g.text = required_text(optarg, lower);
        if (!g.literal)
          g.re = std::regex(optarg, (lower ? std::regex::ECMAScript | std::regex::icase
                                           : std::regex::ECMAScript) |
                                        std::regex::nosubs | std::regex::optimize);
        o.greps.push_back(std::move(g));
      } catch (const std::regex_error &) {
        return usage_error("bad --grep '%s': expected a regular expression", optarg);
      }
      break;
    }
    case 'l': {
      char *end = nullptr;
      long long from = strtoll(optarg, &end, 10), to = from;
      if (end != optarg && strncmp(end, "..", 2) == 0) to = strtoll(end + 2, &end, 10);
      if (end == optarg || *end != '\0' || to < from)
        return usage_error("bad --level '%s': expected N or N..M", optarg);
      o.levels.emplace_back(from, to);
      break;
    }
    case 'S':
    case 's':
    case 'U':
    case 'u': {
      bool since = c == 'S' || c == 's';
      if (!parse_time(optarg, since ? &o.since : &o.until))
        return usage_error(
            "bad time '%s': expected YYYY-MM-DD [HH:MM[:SS]], HH:MM[:SS], now, today, "
            "yesterday, tomorrow or a time relative to now such as -1h or '2 days ago'",
            optarg);
      (since ? o.since_set : o.until_set) = true;
      break;
    }
    case OPT_NO_COLOR: no_color = true; break;
    case OPT_NO_PAGER: o.pager = false; break;
    case OPT_SETUP_KEYS: setup_keys = true; break;
    case OPT_INTERVAL: interval = optarg; break;
    case OPT_FORCE: force = true; break;
    case OPT_VERIFY: verify = true; break;
    case OPT_VERIFY_KEY:
      verify = true;
      keys.push_back(optarg);
      break;
    case OPT_SEAL: seal = true; break;
    case OPT_AGAINST:
      against = optarg;
      verify = true;
      break;
    case OPT_AS_OF:
      if (!parse_time(optarg, &as_of))
        return usage_error("bad --as-of '%s': expected a time, as --since takes", optarg);
      verify = true;
      break;
    case 'h': return cli_report__help(usage_text);
    case OPT_VERSION: return cli_report__version("vezcat");
    default: cli_report__print_usage(stderr, short_usage); return CLI_USAGE_READER;
    }
  }
  if (setup_keys) {
    if (optind < argc)
      return usage_error("unexpected operand '%s': --setup-keys takes none", argv[optind]);
    return vezcat_seal__setup(interval, force);
  }
  /* -e: the last thousand records, the pager at their end (as journalctl) */
  if (o.end && !lines_given && !o.follow) o.lines = 1000;
  if (interval != nullptr || force)
    return usage_error("bad option '%s': it goes with --setup-keys",
                       interval ? "--interval" : "--force");
  const char *no_color_env = getenv("NO_COLOR");
  o.color = !no_color && (no_color_env == nullptr || no_color_env[0] == '\0') &&
            vezcat__form_shows_text(o.form) && o.form != VEZCAT_RAW && _isatty(_fileno(stdout));
  vezcat_out__begin();
  std::vector<vezcat__log> logs;
  for (int i = optind; i < argc; i++) {
    vezcat__log l;
    l.path = argv[i];
    l.kind = vezcat_find__kind_of(l.path, &l.kind_known);
    l.named = true;
    logs.push_back(l);
  }
  /* a log's old copy named beside it is read as its earlier generation: first, so that
     records of one second come in the order they were written */
  std::stable_sort(logs.begin(), logs.end(), [](const vezcat__log &a, const vezcat__log &b) {
    auto old = [](const std::string &p) {
      return p.size() > 4 && p.compare(p.size() - 4, 4, ".old") == 0;
    };
    return old(a.path) && !old(b.path);
  });
  bool named = !logs.empty();
  if (logs.empty()) vezcat_find__logs(&logs);
  if (seal) return vezcat_seal__close(logs);
  if (verify)
    return vezcat_seal__verify(logs, keys, !named, as_of != 0 ? as_of : time(nullptr), against);
  vezcat_read__run(&logs);
  vezcat_out__end();
  return vezcat__status;
}
