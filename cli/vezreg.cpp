/*
** vezreg.cpp - a registry editor for the registry file of POSIX systems, in
** the manner of Windows' reg command:
**
**   vezreg query KEY [/v NAME | /ve]
**   vezreg add KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA] [/f]
**   vezreg delete KEY [/v NAME | /ve] [/f]
**   vezreg import FILE.reg
**   vezreg export KEY FILE.reg [/y]
**
** KEY lies under HKEY_LOCAL_MACHINE and starts with "HKLM\" or
** "HKEY_LOCAL_MACHINE\". The file is $VEZ_REGISTRY, else
** /etc/vez/registry.reg. Every change rewrites the file whole, beside it and
** renamed over it, so a reader never sees half a file; what a change does
** not touch (comments, order, encoding, byte-order mark, line ends) stays as
** it was, and the new file is read back before it replaces the old: a
** change it would not hold as asked (a name with a line break, text that
** its encoding cannot carry) is refused, the file untouched.
*/
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli_report.h"
#include "platform.h"
#include "posix/regfile.h"

namespace {

constexpr int STATUS_ERROR = CLI_FAILED;
constexpr char HIVE_NAME[] = "HKEY_LOCAL_MACHINE";
/* the status of the run's failure: a wrong command line, or a failure */
int failed_status = STATUS_ERROR;

struct request {
  std::string command, key, file;
  bool has_name = false, force = false, has_type = false, has_data = false;
  std::string name, type, data;
};

/* says what went wrong; a failure ends the run with STATUS_ERROR */
bool fail(const std::string &why) {
  cli_report__fail(STATUS_ERROR, "%s", why.c_str());
  failed_status = STATUS_ERROR;
  return false;
}

const char usage_text[] =
    "usage: %s query KEY [/v NAME | /ve]\n"
    "       %s add KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_BINARY] [/d DATA] [/f]\n"
    "       %s delete KEY [/v NAME | /ve] [/f]\n"
    "       %s import FILE.reg\n"
    "       %s export KEY FILE.reg [/y]\n";
const char help_text[] =
    "Query and edit the registry file of the vezlog logging system ($VEZ_REGISTRY, else\n"
    "/etc/vez/registry.reg), as Windows' reg command edits the registry. KEY starts with\n"
    "HKLM\\ or HKEY_LOCAL_MACHINE\\: quote it, as the shell takes the backslashes of an\n"
    "unquoted one. /v a value's name, /ve the default value, /t its type, /d its data;\n"
    "/f replaces an existing value; /y an existing export file.\n"
    "  -h, --help, /?   this text; --version the program's version\n"
    "Exit status: 0 done, 1 the file could not be read or written (or a key or value is\n"
    "missing), 2 a wrong command line.\n";

/* a command line that cannot be a request: what is wrong, then the usage */
bool usage_fail(const std::string &why) {
  failed_status = cli_report__usage(CLI_USAGE, usage_text, "%s", why.c_str());
  return false;
}

/* reads a registry file; a missing one is empty, one that cannot be read whole is refused */
bool read_file(const std::string &file, regfile::document *doc, bool *exists) {
  int e = regfile::load(file, doc, exists);
  if (e == EFBIG)
    return fail("cannot read " + file + ": larger than the " +
                std::to_string(regfile::MAX_FILE_BYTES >> 20) + " MiB a registry file may have");
  if (e != 0) return fail("cannot read " + file + ": " + cli_report__errno_reason(e));
  return true;
}

/* the hives of the Windows registry other than HKEY_LOCAL_MACHINE, long and short */
constexpr const char *OTHER_HIVES[] = {
    "hkey_classes_root",   "hkcr", "hkey_current_user",     "hkcu",         "hkey_users", "hku",
    "hkey_current_config", "hkcc", "hkey_performance_data", "hkey_dyn_data"};

/* the key below the hive, as given */
bool key_path(const std::string &given, std::string *out) {
  std::string k = given;
  std::string f = regfile::fold(k);
  for (const char *root : {"hklm", "hkey_local_machine"}) {
    size_t n = strlen(root);
    if (f.compare(0, n, root) == 0 && (f.size() == n || f[n] == '\\')) {
      *out = regfile::trim_key(k.substr(f.size() == n ? n : n + 1));
      return true;
    }
  }
  std::string first = f.substr(0, f.find('\\'));
  for (const char *hive : OTHER_HIVES)
    if (first == hive)
      return usage_fail("only keys under HKEY_LOCAL_MACHINE are kept here: " + given);
  return usage_fail("the key " + given +
                    " names no hive: a key starts with HKLM\\ or HKEY_LOCAL_MACHINE\\ (quote "
                    "it: the shell takes the backslashes of HKLM\\SOFTWARE\\... unquoted)");
}

/* a name or key the file can hold: no line break in it, and none of the zero byte */
bool storable(const std::string &what, const std::string &text) {
  if (text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) return true;
  return usage_fail(what + " holds a line break: a registry file cannot keep it");
}

bool parse_args(int argc, char **argv, request *out) {
  request &r = *out;
  if (argc < 2) return usage_fail("no command: expected query, add, delete, import or export");
  r.command = regfile::fold(argv[1]);
  std::vector<std::string> operands;
  for (int i = 2; i < argc; i++) {
    std::string a = argv[i];
    std::string f = regfile::fold(a);
    /* an option is one of the known few; anything else (a path included) is an operand */
    static const char *const known[] = {"v", "ve", "t", "d", "f", "y"};
    bool option = false;
    if (a.size() >= 2 && (a[0] == '/' || a[0] == '-'))
      for (const char *k : known)
        option = option || f.substr(1) == k;
    if (!option) {
      if (a.size() >= 2 && a[0] == '-') return usage_fail("unknown option " + a);
      operands.push_back(a);
      continue;
    }
    f = f.substr(1);
    bool takes_value = f == "v" || f == "t" || f == "d";
    if (takes_value && i + 1 >= argc) return usage_fail("/" + f + " needs a value");
    if (f == "v") {
      r.has_name = true;
      r.name = argv[++i];
    } else if (f == "ve") {
      r.has_name = true;
      r.name.clear();
    } else if (f == "t") {
      r.has_type = true;
      r.type = argv[++i];
    } else if (f == "d") {
      r.has_data = true;
      r.data = argv[++i];
    } else {
      r.force = true; /* /f or /y */
    }
  }
  bool takes_file = r.command == "import" || r.command == "export";
  size_t want = r.command == "import" ? 1 : r.command == "export" ? 2 : 1;
  if (r.command != "query" && r.command != "add" && r.command != "delete" && !takes_file)
    return usage_fail("unknown command " + std::string(argv[1]) +
                      ": expected query, add, delete, import or export");
  if (operands.size() != want)
    return usage_fail(r.command + " takes " +
                      (r.command == "import"   ? std::string("a file")
                       : r.command == "export" ? std::string("a key and a file")
                                               : std::string("a key")) +
                      ", not " + std::to_string(operands.size()) + " operands");
  if (r.command == "import") {
    r.file = operands[0];
  } else {
    if (!key_path(operands[0], &r.key)) return false;
    if (r.command == "export") r.file = operands[1];
  }
  if ((r.has_type || r.has_data) && r.command != "add")
    return usage_fail("/t and /d belong to add");
  if (takes_file && r.has_name) return usage_fail("/v belongs to query, add and delete");
  return storable("the key " + operands[0], r.key) &&
         (!r.has_name || storable("the value name " + r.name, r.name));
}

/* the data of an added value, checked against its type */
bool make_value(const request &r, regfile::value *out) {
  regfile::value &v = *out;
  v = regfile::value{r.name, REG_SZ, ""};
  std::string type = r.has_type ? r.type : "REG_SZ";
  std::string ft = regfile::fold(type);
  if (ft == "reg_sz") {
    v.type = REG_SZ;
    v.data = r.data + '\0';
  } else if (ft == "reg_dword") {
    v.type = REG_DWORD;
    if (!r.has_data || r.data.empty()) return usage_fail("REG_DWORD needs /d with a number");
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(r.data.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || r.data[0] == '-' || n > 0xFFFFFFFFull)
      return usage_fail("not a 32-bit number for REG_DWORD: " + r.data);
    for (int b = 0; b < 4; b++)
      v.data += (char)((n >> (8 * b)) & 0xFF);
  } else if (ft == "reg_binary") {
    v.type = REG_BINARY;
    std::string hex = r.data;
    if (hex.size() % 2 != 0)
      return usage_fail("REG_BINARY data needs whole bytes of hex digits: " + r.data);
    for (size_t i = 0; i < hex.size(); i += 2) {
      char pair[3] = {hex[i], hex[i + 1], 0};
      char *end = nullptr;
      long b = strtol(pair, &end, 16);
      if (*end != '\0' || !isxdigit((unsigned char)pair[0]) || !isxdigit((unsigned char)pair[1]))
        return usage_fail("REG_BINARY data needs hex digits: " + r.data);
      v.data += (char)b;
    }
  } else {
    return usage_fail("unsupported type " + type + ": expected REG_SZ, REG_DWORD or REG_BINARY");
  }
  return true;
}

std::string type_name(uint32_t t) {
  switch (t) {
  case REG_NONE: return "REG_NONE";
  case REG_SZ: return "REG_SZ";
  case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
  case REG_BINARY: return "REG_BINARY";
  case REG_DWORD: return "REG_DWORD";
  case 5: return "REG_DWORD_BIG_ENDIAN";
  case 6: return "REG_LINK";
  case REG_MULTI_SZ: return "REG_MULTI_SZ";
  case 11: return "REG_QWORD";
  default: {
    char b[24];
    snprintf(b, sizeof b, "REG_0x%x", t);
    return b;
  }
  }
}

std::string shown(const regfile::value &v) {
  const std::string &d = v.data;
  char b[32];
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ)) return d.substr(0, d.find('\0'));
  if (v.type == REG_DWORD && d.size() == 4) {
    uint32_t n = (uint8_t)d[0] | ((uint32_t)(uint8_t)d[1] << 8) | ((uint32_t)(uint8_t)d[2] << 16) |
                 ((uint32_t)(uint8_t)d[3] << 24);
    snprintf(b, sizeof b, "0x%x", n);
    return b;
  }
  if (v.type == REG_MULTI_SZ) {
    std::string out, item;
    for (char c : d) {
      if (c != '\0') {
        item += c;
        continue;
      }
      if (item.empty()) break;
      out += (out.empty() ? "" : "\\0") + item;
      item.clear();
    }
    return out;
  }
  std::string hex;
  for (unsigned char c : d) {
    snprintf(b, sizeof b, "%02X", c);
    hex += b;
  }
  return hex;
}

/* the keys of the document at or below key (folded), in the order they first appear */
std::vector<std::string> keys_below(const regfile::document &doc, const std::string &key,
                                    bool direct_children_only) {
  /* one index for all the keys: each is looked up in it, not the document read again */
  regfile::key_index index;
  regfile::build_index(doc, &index);
  std::vector<std::string> found;
  std::set<std::string> folded;
  for (const regfile::line &l : doc.lines) {
    if (l.what != regfile::SECTION || !l.in_hive || l.remove) continue;
    std::string f = regfile::fold(l.key);
    bool below = key.empty() ? !f.empty() : f.compare(0, key.size() + 1, key + "\\") == 0;
    if (!(f == key && !direct_children_only) && !below) continue;
    std::string name = l.key;
    if (direct_children_only) {
      size_t start = key.empty() ? 0 : key.size() + 1;
      size_t cut = f.find('\\', start);
      if (cut != std::string::npos) name = name.substr(0, cut), f = f.substr(0, cut);
    }
    std::vector<regfile::value> ignored;
    if (folded.count(f) == 0 && regfile::index_values(index, f, &ignored)) {
      folded.insert(f);
      found.push_back(name);
    }
  }
  return found;
}

/* the key as stored, for a key given in any case */
std::string stored_key(const regfile::document &doc, const std::string &key) {
  std::string f = regfile::fold(key);
  for (const regfile::line &l : doc.lines)
    if (l.what == regfile::SECTION && l.in_hive && !l.remove && regfile::same_folded(l.key, f))
      return l.key;
  for (const regfile::line &l : doc.lines)
    if (l.what == regfile::SECTION && l.in_hive && !l.remove &&
        regfile::fold(l.key).compare(0, f.size() + 1, f + "\\") == 0)
      return l.key.str().substr(0, key.size());
  return key;
}

bool find_value(const std::vector<regfile::value> &vals, const std::string &name,
                regfile::value *out) {
  for (const regfile::value &v : vals)
    if (regfile::fold(v.name) == regfile::fold(name)) {
      if (out != nullptr) *out = v;
      return true;
    }
  return false;
}

std::string full(const std::string &key) {
  return key.empty() ? HIVE_NAME : HIVE_NAME + ("\\" + key);
}

const char missing[] = "the system was unable to find the specified registry key or value";

bool query(const regfile::document &doc, const request &r) {
  std::string f = regfile::fold(r.key);
  std::vector<regfile::value> vals;
  if (!regfile::values_of(doc, f, &vals)) return fail(missing);
  std::string key = stored_key(doc, r.key);
  if (r.has_name) {
    regfile::value v;
    if (!find_value(vals, r.name, &v)) return fail(missing);
    printf("\n%s\n    %s    %s    %s\n\n", full(key).c_str(),
           v.name.empty() ? "(Default)" : v.name.c_str(), type_name(v.type).c_str(),
           shown(v).c_str());
    return true;
  }
  printf("\n%s\n", full(key).c_str());
  for (const regfile::value &v : vals)
    printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(),
           type_name(v.type).c_str(), shown(v).c_str());
  printf("\n");
  for (const std::string &child : keys_below(doc, f, true))
    printf("%s\n", full(child).c_str());
  return true;
}

/* appends a section for key at the end of the document */
size_t new_section(regfile::document &doc, const std::string &key) {
  if (!doc.lines.empty() && !doc.lines.back().text.empty()) doc.lines.push_back(regfile::line());
  regfile::line l;
  l.what = regfile::SECTION;
  l.text = "[" + full(key) + "]";
  l.key = key;
  l.in_hive = true;
  doc.lines.push_back(l);
  return doc.lines.size() - 1;
}

void ensure_header(regfile::document &doc) {
  for (const regfile::line &l : doc.lines)
    if (l.what == regfile::HEADER) return;
  regfile::line h;
  h.what = regfile::HEADER;
  h.text = doc.v5 ? "Windows Registry Editor Version 5.00" : "REGEDIT4";
  doc.lines.insert(doc.lines.begin(), regfile::line());
  doc.lines.insert(doc.lines.begin(), h);
}

bool is_blank(const regfile::line &l) {
  return l.what == regfile::OTHER && l.text.find_first_not_of(" \t") == std::string::npos;
}

bool effective(const regfile::document &doc, const std::string &key, const std::string &name) {
  std::vector<regfile::value> vals;
  return regfile::values_of(doc, regfile::fold(key), &vals) && find_value(vals, name, nullptr);
}

bool key_exists(const regfile::document &doc, const std::string &key) {
  std::vector<regfile::value> vals;
  return regfile::values_of(doc, regfile::fold(key), &vals);
}

void ensure_key(regfile::document &doc, const std::string &key) {
  if (!key_exists(doc, key)) new_section(doc, key);
}

/* whether a section that lies after line at removes key (folded) or a key above it */
bool removed_later(const regfile::document &doc, size_t at, const std::string &f) {
  for (size_t i = at + 1; i < doc.lines.size(); i++) {
    const regfile::line &l = doc.lines[i];
    if (l.what != regfile::SECTION || !l.remove || !l.in_hive) continue;
    std::string k = regfile::fold(l.key);
    if (k.empty() || k == f || f.compare(0, k.size() + 1, k + "\\") == 0) return true;
  }
  return false;
}

/*
** Sets a value: in place where it is defined, else at the end of its key's last section.
** in_force: whether the value is defined now (known already, or null: found out here).
*/
void set_value(regfile::document &doc, const std::string &key, const regfile::value &v,
               const bool *in_force = nullptr) {
  std::string f = regfile::fold(key), n = regfile::fold(v.name);
  regfile::line vl;
  vl.what = regfile::VALUE;
  vl.text = regfile::value_text(v, doc.v5);
  vl.in_hive = true;
  vl.val = v;
  if (in_force != nullptr ? *in_force : effective(doc, key, v.name)) {
    for (size_t i = doc.lines.size(); i-- > 0;) {
      regfile::line &l = doc.lines[i];
      if (l.what == regfile::VALUE && l.in_hive && !l.remove && regfile::same_folded(l.key, f) &&
          regfile::same_folded(l.val.name, n)) {
        vl.key = l.key;
        l = vl;
        return;
      }
    }
  }
  for (size_t i = doc.lines.size(); i-- > 0;) {
    const regfile::line &l = doc.lines[i];
    if (l.what != regfile::SECTION || !l.in_hive || l.remove || !regfile::same_folded(l.key, f))
      continue;
    size_t at = i + 1;
    while (at < doc.lines.size() && doc.lines[at].what != regfile::SECTION)
      at++;
    while (at > i + 1 && is_blank(doc.lines[at - 1]))
      at--;
    if (removed_later(doc, i, f)) break; /* a later [-key] hides that section */
    vl.key = l.key;
    doc.lines.insert(doc.lines.begin() + (long)at, vl);
    return;
  }
  new_section(doc, key);
  vl.key = key;
  doc.lines.push_back(vl);
}

void delete_value(regfile::document &doc, const std::string &key, const std::string &name) {
  std::string f = regfile::fold(key), n = regfile::fold(name);
  for (size_t i = doc.lines.size(); i-- > 0;) {
    const regfile::line &l = doc.lines[i];
    if (l.what == regfile::VALUE && l.in_hive && regfile::same_folded(l.key, f) &&
        regfile::same_folded(l.val.name, n))
      doc.lines.erase(doc.lines.begin() + (long)i);
  }
}

/* removes the sections of key and of every key below it, each with the lines that follow it */
void delete_key(regfile::document &doc, const std::string &key) {
  std::string f = regfile::fold(key);
  decltype(doc.lines) kept;
  bool dropping = false;
  for (const regfile::line &l : doc.lines) {
    if (l.what == regfile::SECTION) {
      std::string k = regfile::fold(l.key);
      dropping = l.in_hive && (k == f || f.empty() || k.compare(0, f.size() + 1, f + "\\") == 0);
    }
    if (!dropping) kept.push_back(l);
  }
  doc.lines = kept;
}

bool add(regfile::document &doc, const request &r) {
  if (!r.has_name) {
    if (r.has_type || r.has_data) return fail("/t and /d need /v NAME or /ve");
    ensure_key(doc, r.key);
    return true;
  }
  regfile::value v;
  if (!make_value(r, &v)) return false;
  bool in_force = effective(doc, r.key, r.name);
  if (in_force && !r.force)
    return fail("the value " + (r.name.empty() ? std::string("(Default)") : r.name) +
                " exists; add /f to replace it");
  set_value(doc, r.key, v, &in_force);
  return true;
}

bool remove(regfile::document &doc, const request &r) {
  if (r.has_name) {
    if (!effective(doc, r.key, r.name)) return fail(missing);
    delete_value(doc, r.key, r.name);
    return true;
  }
  if (r.key.empty()) return fail("refusing to delete all of HKEY_LOCAL_MACHINE");
  if (!key_exists(doc, r.key)) return fail(missing);
  delete_key(doc, r.key);
  return true;
}

bool read_registry_file(const std::string &file, regfile::document *out) {
  regfile::document &doc = *out;
  bool exists = false;
  if (!read_file(file, &doc, &exists)) return false;
  if (!exists) return fail("cannot read " + file + ": " + cli_report__errno_reason(ENOENT));
  bool header = false;
  for (const regfile::line &l : doc.lines) {
    if (l.what == regfile::HEADER) header = true;
    if (header || !is_blank(l)) break;
  }
  if (!header)
    return fail(file + " is not a registry file (it must start with REGEDIT4 or "
                       "\"Windows Registry Editor Version 5.00\")");
  return true;
}

bool import(regfile::document &doc, const request &r) {
  regfile::document in;
  if (!read_registry_file(r.file, &in)) return false;
  for (const regfile::line &l : in.lines) {
    if (!l.in_hive) continue;
    if (l.what == regfile::SECTION) {
      if (l.remove)
        delete_key(doc, l.key);
      else
        ensure_key(doc, l.key);
    } else if (l.what == regfile::VALUE) {
      if (l.remove)
        delete_value(doc, l.key, l.val.name);
      else
        set_value(doc, l.key, l.val);
    }
  }
  return true;
}

bool export_key(const regfile::document &doc, const request &r) {
  std::string f = regfile::fold(r.key);
  if (!key_exists(doc, r.key)) return fail(missing);
  if (!r.force) {
    std::ifstream probe(r.file);
    if (probe.good()) return fail(r.file + " exists; add /y to replace it");
  }
  regfile::key_index index;
  regfile::build_index(doc, &index);
  std::string text = "REGEDIT4\r\n";
  std::vector<std::string> keys = keys_below(doc, f, false);
  if (keys.empty()) keys.push_back(stored_key(doc, r.key));
  for (const std::string &k : keys) {
    std::vector<regfile::value> vals;
    regfile::index_values(index, regfile::fold(k), &vals);
    text += "\r\n[" + full(k) + "]\r\n";
    for (const regfile::value &v : vals)
      text += regfile::value_text(v, false) + "\r\n";
  }
  std::string why;
  return regfile::save(r.file, text, &why) || fail(why);
}

/* a change: read, change and replace the file under the editors' lock */
bool change(const std::string &file, const request &r) {
  int held = regfile::lock(file);
  if (held < 0) return fail("cannot lock " + file + ".lck: " + cli_report__errno_reason(errno));
  regfile::document doc;
  bool exists = false;
  bool ok = read_file(file, &doc, &exists);
  if (ok && r.command == "add") ok = add(doc, r);
  if (ok && r.command == "delete") ok = remove(doc, r);
  if (ok && r.command == "import") ok = import(doc, r);
  if (ok) {
    ensure_header(doc);
    /* the new file, read back, must hold what was asked, line for line: else the old
       one stays */
    std::string bytes = regfile::render(doc);
    if (!regfile::same_lines(doc, regfile::parse(bytes)))
      ok = fail(
          "the change cannot be kept as asked in " + file +
          (doc.utf16 || doc.v5 ? " (its encoding holds text only: UTF-8, no other bytes)" : "") +
          "; the file is left as it was");
    std::string why;
    ok = ok && (regfile::save(file, bytes, &why) || fail(why));
  }
  regfile::unlock(held);
  return ok;
}

bool run(int argc, char **argv) {
  request r;
  if (!parse_args(argc, argv, &r)) return false;
  std::string file = regfile::path();
  if (r.command != "query" && r.command != "export") return change(file, r);
  regfile::document doc;
  bool exists = false;
  if (!read_file(file, &doc, &exists)) return false;
  return r.command == "query" ? query(doc, r) : export_key(doc, r);
}

} // namespace

int main(int argc, char **argv) {
  cli_report__set_program(argc > 0 && argv[0] != nullptr ? argv[0] : "vezreg");
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h" || a == "/?" || a == "-?") {
      cli_report__print_usage(stdout, usage_text);
      return cli_report__help(help_text);
    }
    if (a == "--version") return cli_report__version("vezreg");
  }
  if (!run(argc, argv)) return failed_status;
  /* a query's lines must have reached its reader */
  errno = 0;
  if (fflush(stdout) != 0 || ferror(stdout))
    return cli_report__fail(CLI_FAILED, "cannot write the output: %s",
                            cli_report__errno_reason(errno != 0 ? errno : EIO));
  return CLI_OK;
}
