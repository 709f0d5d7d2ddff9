/*
** regfile.h - the registry file of POSIX systems as a document: its logical
** lines in order, each section and value line parsed, comments and
** everything else kept as written. The registry reader looks values up in
** it; vezreg edits it and writes it back.
*/
#ifndef VEZ_POSIX_REGFILE_H
#define VEZ_POSIX_REGFILE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace regfile {

/* the file named by VEZ_REGISTRY, else this one */
constexpr char DEFAULT_PATH[] = "/etc/vez/registry.reg";
std::string path();

struct value {
  std::string name; /* as written; "" is the default value */
  uint32_t type;    /* REG_SZ, REG_DWORD, ... */
  std::string data; /* the raw data a query gives: text with its terminator, a dword's 4 bytes */
};

enum kind { OTHER, HEADER, SECTION, VALUE };

struct line {
  kind what = OTHER;
  std::string text;     /* the physical lines as written, joined by "\n" (no line ends) */
  std::string key;      /* SECTION: the key as written, without the hive; VALUE: its section's */
  bool in_hive = false; /* the section (or the value's section) is under HKEY_LOCAL_MACHINE */
  bool remove = false;  /* "[-key]" or "name"=- */
  value val;            /* VALUE */
};

struct document {
  bool utf16 = false; /* stored as UTF-16LE with a byte-order mark */
  bool v5 = false;    /* "Windows Registry Editor Version 5.00" */
  bool crlf = true;   /* line ends */
  std::vector<line> lines;
};

/* the text of a file as bytes, whatever its encoding */
document parse(const std::string &bytes);
/* false when the file cannot be read; a missing file reads as empty, *exists false */
bool load(const std::string &file, document *doc, bool *exists);
/* the document as file bytes, in its own encoding */
std::string render(const document &doc);
/* writes a new file beside it and renames it over the old: a reader sees one or the other */
bool save(const std::string &file, const std::string &bytes, std::string *why);

/*
** The values in force for a key (given folded), in the order they were
** first set, and whether the key exists: a section names it or lies below
** it, and no later "[-key]" took it away.
*/
bool values_of(const document &doc, const std::string &folded_key, std::vector<value> *values);

/* an exclusive lock between editors of the file, held until unlock (-1 when it cannot be had) */
int lock(const std::string &file);
void unlock(int handle);

/* case-insensitive forms of key paths and names */
std::string fold(const std::string &s);
/* a key as written, without its trailing backslashes */
std::string trim_key(const std::string &key);
/* a value line as the export format writes it, for a file of this version */
std::string value_text(const value &v, bool v5);
/* UTF-16LE bytes as narrow (UTF-8) text */
std::string narrow(const std::string &utf16);

} // namespace regfile

#endif /* VEZ_POSIX_REGFILE_H */
