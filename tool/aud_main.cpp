/*
** aud_main.cpp - aud, the operator's settings tool.
**
** Without setting options it prints the error settings and those of the
** target (report mode); with them it writes the settings (change mode);
** with -c it puts the whole segment back to the configured defaults (reset
** mode). The exit status tells which step failed.
*/
#include "aud_main.h"

#include <errno.h>

#include "aud_chk.h"
#include "cli_report.h"
#include "auddispa.h"
#include "auddispe.h"
#include "log_cfg.h"
#include "log_util.h"
#include "platform.h"
#include "shm.h"

namespace {

struct options {
  bool a, c, d, e, l, n, x, y;
  int32_t a_value, e_value, l_value, n_value, x_value, y_value;
  char device[VEZ_DEVICE_SIZE];
};

int finish(int status) {
  log_util__shut_error_audit();
  return status;
}

/* why the data file could not be mapped, in the system's own words */
const char *reason(uint32_t code) {
  if (code == ERROR_FILE_INVALID) return "not a settings data file (shorter than 1052 bytes)";
  return cli_report__system_reason(code);
}

/* the tool's message, then the data file and why it could not be mapped */
int cannot_attach(const char *what) {
  int status = cli_report__fail(AUD_CANNOT_ATTACH, "cannot attach to %s information", what);
  if (shm__attach_error != 0) {
    char path[SHM_PATH_SIZE];
    shm__data_file_path(path);
    cli_report__fail(status, "data file %s: %s", path, reason(shm__attach_error));
  }
  return finish(status);
}

int change_mode(const options &o, int32_t target) {
  if (log_util__init_error_audit() != 0) return cannot_attach("error");
  /* fixed order; stop at the first write that fails */
  int rc = 0;
  if (rc == 0 && o.a) rc = log_util__poke_audit(target, LOG_UTIL_MAX_FILE_SIZE, &o.a_value);
  if (rc == 0 && o.d) rc = log_util__poke_error(LOG_UTIL_DEVICE, o.device);
  if (rc == 0 && o.e) rc = log_util__poke_error(LOG_UTIL_MAX_FILE_SIZE, &o.e_value);
  if (rc == 0 && o.l) rc = log_util__poke_audit(target, LOG_UTIL_LEVEL, &o.l_value);
  if (rc == 0 && o.n) rc = log_util__poke_error(LOG_UTIL_NOTIFICATION, &o.n_value);
  if (rc == 0 && o.x) rc = log_util__poke_audit(target, LOG_UTIL_HEX_DUMPS, &o.x_value);
  if (rc == 0 && o.y) rc = log_util__poke_error(LOG_UTIL_HEX_DUMPS, &o.y_value);
  if (rc != 0) return finish(cli_report__fail(AUD_CANNOT_WRITE, "cannot write log information"));
  /* the setting is kept (a device may be made later); a file it names can be refused */
  if (o.d && !VezNoticeTargetAllowed(INVALID_HANDLE_VALUE, o.device, shm__data_file))
    cli_report__warn("notices to %s will be dropped: a file that not everyone who may write "
                     "the settings (%s) may write",
                     o.device, shm__data_file);
  return finish(AUD_OK);
}

/* whether this run printed a report, which must then reach standard output */
bool report_printed = false;

int report_mode(bool has_target, int32_t target) {
  if (log_util__init_error_audit() != 0) return cannot_attach("audit");
  report_printed = true;
  int status = AUD_OK;
  ErrorInfo error;
  if (log_util__peek_error(&error) == 0) {
    auddispe__display_error_info(&error);
  } else {
    status = cli_report__fail(AUD_CANNOT_READ_ERROR, "cannot read error information");
  }
  if (!has_target) return finish(status);
  int first = target == LOG_UTIL_ALL_INDEXES ? 0 : target;
  int last = target == LOG_UTIL_ALL_INDEXES ? VEZ_PROCESS_SLOTS - 1 : target;
  for (int index = first; index <= last; index++) {
    AuditInfo audit;
    if (log_util__peek_audit(index, &audit) == 0) {
      auddispa__display_audit_info(index, &audit);
    } else {
      status = cli_report__fail(AUD_CANNOT_READ_AUDIT, "cannot read audit information");
    }
  }
  return finish(status);
}

/* an integer default: a missing value takes the default, as does a 0 where zero_too */
int32_t configured(const char *name, int32_t fallback, bool zero_too) {
  int32_t value = 0;
  if (!log_cfg__read_value(name, &value, sizeof value)) return fallback;
  return (zero_too && value == 0) ? fallback : value;
}

/* a size limit: one out of range (below 0, past 2 GiB) counts as not configured, said */
int32_t configured_size(const char *name) {
  int32_t value = configured(name, VEZ_DEFAULT_FILE_SIZE, true);
  if (value >= 1 && value <= VEZ_MAX_FILE_SIZE) return value;
  cli_report__warn("configured %s %ld is out of range (1 to %ld): %ld used", name, (long)value,
                   (long)VEZ_MAX_FILE_SIZE, (long)VEZ_DEFAULT_FILE_SIZE);
  return VEZ_DEFAULT_FILE_SIZE;
}

int reset_mode() {
  if (log_util__init_error_audit() != 0) return cannot_attach("audit");
  const int32_t level = 1;
  const int32_t hex_dumps = configured("LOGDUMP", 1, false);
  const int32_t file_size = configured_size("LOGFILESIZE");
  const int32_t notification = configured("LOGNOTIFYFLAG", 1, false);
  char device[VEZ_DEVICE_SIZE];
  if (!log_cfg__read_text("LOGNOTIFYDEV", device, sizeof device))
    strcpy(device, VEZ_DEFAULT_DEVICE);

  int rc = log_util__poke_error(LOG_UTIL_HEX_DUMPS, &hex_dumps);
  if (rc == 0) rc = log_util__poke_error(LOG_UTIL_LEVEL, &level);
  if (rc == 0) rc = log_util__poke_error(LOG_UTIL_MAX_FILE_SIZE, &file_size);
  if (rc == 0) rc = log_util__poke_error(LOG_UTIL_NOTIFICATION, &notification);
  if (rc == 0) rc = log_util__poke_error(LOG_UTIL_DEVICE, device);
  if (rc != 0) return finish(cli_report__fail(AUD_CANNOT_WRITE, "cannot write error information"));
  const AuditInfo defaults = {0, 0, VEZ_DEFAULT_FILE_SIZE};
  for (int index = 0; index < VEZ_PROCESS_SLOTS; index++) {
    rc = log_util__poke_audit(index, LOG_UTIL_HEX_DUMPS, &defaults.hex_dumps);
    if (rc == 0) rc = log_util__poke_audit(index, LOG_UTIL_LEVEL, &defaults.level);
    if (rc == 0) rc = log_util__poke_audit(index, LOG_UTIL_MAX_FILE_SIZE, &defaults.max_file_size);
    if (rc != 0)
      return finish(cli_report__fail(AUD_CANNOT_WRITE, "cannot write audit information"));
  }
  return finish(AUD_OK);
}

} // namespace

namespace {

const char usage_line[] = "Usage: %s [-acdelnxy] [process_index or all or proc_name ]\n";

} // namespace

void aud_main__usage(const char *program) { fprintf(stderr, usage_line, program); }

namespace {

const char help_text[] =
    "Usage: %s [-acdelnxy] [process_index or all or proc_name ]\n"
    "Print, change or reset the vezlog logging settings of all running processes.\n"
    "  -a SIZE     the target's audit log size limit, in units of 512 bytes (1 or more)\n"
    "  -c          reset everything to the configured defaults\n"
    "  -d DEVICE   the error notification device (at most 254 characters)\n"
    "  -e SIZE     the error log size limit, in units of 512 bytes (1 or more)\n"
    "  -l LEVEL    the target's audit level (0 to 15)\n"
    "  -n on|off   error notification\n"
    "  -x on|off   the target's full hex dumps\n"
    "  -y on|off   full hex dumps of errors\n"
    "  -h, --help  this text; --version the program's version\n"
    "The target: a process index (0 to 63), all, or a process name of the process-index\n"
    "table. Without options the settings are printed.\n"
    "Exit status: 0 done, 1 a bad option, 2 a bad or missing target, 3 and 4 the error or\n"
    "audit settings unreadable, 5 a write failed, 6 the data file cannot be attached.\n";

/* a usage error of the Part's kind: what was wrong, then the usage line (the name the
   tool was called by, as the Part has it, is the reporting helper's) */
int usage_error(int status, const char *format, const char *what) {
  return finish(cli_report__usage(status, usage_line, format, what));
}

} // namespace

int32_t aud_main__getindex(const char *name) {
  int32_t index = 0;
  return log_cfg__process_index(name, &index) == 0 ? index : -1;
}

namespace {

int run(int argc, char **argv, const char *program) {
  options o;
  memset(&o, 0, sizeof o);
  bool option_error = false;

  /* the next option is read before the error is tested: one more is diagnosed */
  enum { OPT_HELP = 'h', OPT_VERSION = 256 };
  static const struct option long_options[] = {{"help", no_argument, nullptr, OPT_HELP},
                                               {"version", no_argument, nullptr, OPT_VERSION},
                                               {nullptr, 0, nullptr, 0}};
  /* what was wrong with the first option refused, said before the usage line */
  char why[400];
  why[0] = '\0';
  auto refuse = [&](const char *format, int opt, const char *value) {
    if (why[0] == '\0') snprintf(why, sizeof why, format, opt, value);
    option_error = true;
  };
  int c;
  while ((c = vez_getopt(argc, argv, "a:cd:e:l:n:x:y:h", long_options)) >= 0 && !option_error) {
    switch (c) {
    case OPT_HELP: return finish(cli_report__help(help_text));
    case OPT_VERSION: return finish(cli_report__version("aud"));
    case 'a':
      o.a_value = aud_chk__to_int(optarg);
      o.a = o.a_value >= 1;
      if (!o.a) refuse("-%c %s: a size limit is 1 or more (units of 512 bytes)", c, optarg);
      break;
    case 'c': o.c = true; break;
    case 'd':
      o.d = true;
      strncpy(o.device, optarg, VEZ_DEVICE_SIZE);
      o.device[VEZ_DEVICE_SIZE - 1] = '\0';
      break;
    case 'e':
      o.e_value = aud_chk__to_int(optarg);
      o.e = o.e_value >= 1;
      if (!o.e) refuse("-%c %s: a size limit is 1 or more (units of 512 bytes)", c, optarg);
      break;
    case 'l':
      o.l_value = aud_chk__to_int(optarg);
      o.l = o.l_value >= 0 && o.l_value <= 15;
      if (!o.l) refuse("-%c %s: an audit level is 0 to 15", c, optarg);
      break;
    case 'n':
    case 'x':
    case 'y': {
      int32_t *value = c == 'n' ? &o.n_value : c == 'x' ? &o.x_value : &o.y_value;
      bool ok = aud_chk__check_bool(optarg, value) == 0;
      (c == 'n' ? o.n : c == 'x' ? o.x : o.y) = ok;
      if (!ok) refuse("-%c %s: expected on, ON, off or OFF", c, optarg);
      break;
    }
    default: option_error = true; break; /* getopt has said what it was */
    }
  }
  if (option_error) {
    if (why[0] != '\0') return usage_error(AUD_BAD_OPTION, "%s", why);
    aud_main__usage(program);
    return finish(AUD_BAD_OPTION);
  }

  bool has_target = false, target_error = false;
  int32_t target = 0;
  const char *target_why = nullptr;
  const char *operand = optind < argc ? argv[optind] : nullptr;
  if (operand != nullptr) {
    if (strcmp(operand, "all") == 0 || strcmp(operand, "ALL") == 0) {
      target = LOG_UTIL_ALL_INDEXES;
      has_target = true;
    } else if (operand[0] == '\0') {
      target_error = true;
      target_why = "%san empty target: expected a process index (0 to 63), all or a name";
    } else {
      bool by_name = IsCharAlphaA(operand[0]);
      int32_t index = by_name ? aud_main__getindex(operand) : aud_chk__to_int(operand);
      target_error = index < 0 || index >= VEZ_PROCESS_SLOTS;
      has_target = !target_error;
      target = index;
      if (target_error)
        target_why = by_name ? "%s: no process of that name in the process-index table "
                               "(or its index is not 0 to 63)"
                             : "%s: a process index is 0 to 63 (or all, or a process name)";
    }
  }
  if (target_error) return usage_error(AUD_BAD_TARGET, target_why, operand);
  if ((o.a || o.l || o.x) && !has_target)
    return usage_error(AUD_BAD_TARGET,
                       "%s-a, -l and -x need a target: a process index (0 to 63), all or a name",
                       "");

  if (o.c) return reset_mode();
  if (o.a || o.d || o.e || o.l || o.n || o.x || o.y) return change_mode(o, target);
  return report_mode(has_target, target);
}

} // namespace

int aud_main__run(int argc, char **argv) {
  const char *program = argv[0] != nullptr ? argv[0] : "aud";
  cli_report__set_program(program);
  /* a closed standard output is held by the null device for the run, so that no file the
     run opens (the data file, a log) takes its descriptor and receives the report */
  int probe = _dup(1);
  bool stdout_closed = probe < 0;
  if (probe >= 0) _close(probe);
  int held = stdout_closed ? _open(VEZ_NULL_DEVICE, _O_WRONLY) : -1;
  report_printed = false;
  int status = run(argc, argv, program);
  /* a report that did not get out is a failed write, however the rest went */
  errno = 0;
  bool lost = fflush(stdout) != 0 || ferror(stdout);
  int why = errno;
  if (report_printed && (lost || stdout_closed)) {
    int failed = cli_report__fail(AUD_CANNOT_WRITE, "cannot write the report: %s",
                                  stdout_closed ? "standard output is closed"
                                  : why != 0    ? strerror(why)
                                                : "write error");
    if (status == AUD_OK) status = failed;
  }
  if (held >= 0) _close(held);
  /* a registry that cannot be read leaves every setting at its default: say so */
  uint32_t code = log_cfg__registry_error();
  if (code != 0)
    cli_report__warn("cannot read the registry %s: %s; built-in defaults used",
                     VezRegistryLocation(), reason(code));
  return status;
}
