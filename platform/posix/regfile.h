/*
** regfile.h - the registry file of POSIX systems as a document: its logical
** lines in order, each section and value line parsed, comments and
** everything else kept as written. The registry reader looks values up in
** it; vezreg edits it and writes it back.
*/
#ifndef VEZ_POSIX_REGFILE_H
#define VEZ_POSIX_REGFILE_H

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace regfile {

/* the file named by VEZ_REGISTRY, else this one */
constexpr char DEFAULT_PATH[] = "/etc/vez/registry.reg";
std::string path();

struct value {
  std::string name;  /* as written; "" is the default value */
  uint32_t type = 0; /* REG_SZ, REG_DWORD, ... */
  std::string data;  /* the raw data a query gives: text with its terminator, a dword's 4 bytes */
};

enum kind { OTHER, HEADER, SECTION, VALUE };

/* a key as its lines hold it: the values of a section share one copy of it */
struct shared_key {
  std::shared_ptr<const std::string> text;
  shared_key() = default;
  shared_key(const std::string &s) : text(std::make_shared<const std::string>(s)) {}
  const std::string &str() const {
    static const std::string none;
    return text ? *text : none;
  }
  operator const std::string &() const { return str(); }
};

struct line {
  kind what = OTHER;
  std::string text;     /* the physical lines as written, joined by "\n" (no line ends) */
  shared_key key;       /* SECTION: the key as written, without the hive; VALUE: its section's */
  bool in_hive = false; /* the section (or the value's section) is under HKEY_LOCAL_MACHINE */
  bool remove = false;  /* "[-key]" or "name"=- */
  value val;            /* VALUE */
};

/*
** The allocator of a document's lines: a large file's lines take one block
** of memory, asked of the system in large pages where it has them (a file
** of half a million values would otherwise spend most of its reading in
** page faults).
*/
void *allocate_lines(size_t bytes);
void free_lines(void *block, size_t bytes);
template <typename T> struct lines_allocator {
  typedef T value_type;
  lines_allocator() = default;
  template <typename U> lines_allocator(const lines_allocator<U> &) {}
  T *allocate(size_t n) { return static_cast<T *>(allocate_lines(n * sizeof(T))); }
  void deallocate(T *p, size_t n) { free_lines(p, n * sizeof(T)); }
  template <typename U> bool operator==(const lines_allocator<U> &) const { return true; }
  template <typename U> bool operator!=(const lines_allocator<U> &) const { return false; }
};

struct document {
  bool utf16 = false; /* stored as UTF-16LE with a byte-order mark */
  bool bom = false;   /* UTF-8 text that starts with its byte-order mark */
  bool v5 = false;    /* "Windows Registry Editor Version 5.00" */
  bool crlf = true;   /* line ends */
  std::vector<line, lines_allocator<line>> lines;
};

/* the text of a file as bytes, whatever its encoding */
document parse(const std::string &bytes);
/* the largest registry file read; a larger one is refused whole, never cut */
constexpr uint64_t MAX_FILE_BYTES = 64u << 20;

/*
** Reads and parses a file: 0, or the errno value of why it cannot be read
** (EFBIG: larger than MAX_FILE_BYTES; EISDIR: a directory). A missing file
** reads as empty, with *exists false.
*/
int load(const std::string &file, document *doc, bool *exists);
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

/* the values of one key, in the order they were first set */
struct key_values {
  std::vector<value> list;
  std::vector<bool> live;                           /* false: deleted by a later "name"=- */
  std::unordered_map<std::string, size_t> position; /* folded name -> index in list */
};

/* the keys and values in force in a document, found without reading it again */
struct key_index {
  std::set<std::string> keys;               /* folded keys a section names */
  std::map<std::string, key_values> values; /* by folded key */
};

/* one pass over the document, in time linear in its size */
void build_index(const document &doc, key_index *index);
/* whether two documents hold the same lines, read as sections, values and headers */
bool same_lines(const document &a, const document &b);
/* as values_of, from an index */
bool index_values(const key_index &index, const std::string &folded_key,
                  std::vector<value> *values);

/* an exclusive lock between editors of the file, held until unlock (-1 when it cannot be had) */
int lock(const std::string &file);
void unlock(int handle);

/* case-insensitive forms of key paths and names */
std::string fold(const std::string &s);
/* whether text folds to folded, without making the folded copy */
bool same_folded(const std::string &text, const std::string &folded);
/* a key as written, without its trailing backslashes */
std::string trim_key(const std::string &key);
/* a value line as the export format writes it, for a file of this version */
std::string value_text(const value &v, bool v5);
/* UTF-16LE bytes as narrow (UTF-8) text */
std::string narrow(const std::string &utf16);

} // namespace regfile

#endif /* VEZ_POSIX_REGFILE_H */
