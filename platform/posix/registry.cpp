/*
** registry.cpp - the machine's registry for POSIX builds: a text file in the
** Windows registry export format, read afresh by every RegOpenKeyExA.
**
** The file is $VEZ_REGISTRY, else /etc/vez/registry.reg; a missing file is
** an empty registry. "REGEDIT4" and version 5.00 files are read, as ANSI or
** UTF-8 text or as UTF-16LE with a byte-order mark. Keys and value names
** compare case-insensitively; a later section adds to its key and a later
** value replaces one of the same name. A line that cannot be read is
** skipped: no content of the file can make the reader fail otherwise.
*/
#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_REGISTRY_FILE = 16u << 20;
constexpr char DEFAULT_REGISTRY[] = "/etc/vez/registry.reg";
constexpr char HIVE[] = "hkey_local_machine";

struct reg_value {
  std::string name; /* as stored */
  DWORD type;
  std::string data;
};

struct reg_key {
  std::string path; /* lower case, no trailing backslash */
  std::vector<reg_value> values;
};

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return s;
}

bool iequal(const std::string &a, const std::string &b) { return lower(a) == lower(b); }

void put_utf8(std::string &out, uint32_t cp) {
  if (cp < 0x80) {
    out += (char)cp;
  } else if (cp < 0x800) {
    out += (char)(0xC0 | (cp >> 6));
    out += (char)(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += (char)(0xE0 | (cp >> 12));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  } else {
    out += (char)(0xF0 | (cp >> 18));
    out += (char)(0x80 | ((cp >> 12) & 0x3F));
    out += (char)(0x80 | ((cp >> 6) & 0x3F));
    out += (char)(0x80 | (cp & 0x3F));
  }
}

/* UTF-16LE bytes to narrow (UTF-8) text; a lone surrogate becomes '?' */
std::string narrow_utf16(const std::string &in) {
  std::string out;
  size_t n = in.size() / 2;
  for (size_t i = 0; i < n; i++) {
    uint32_t u = (uint8_t)in[2 * i] | ((uint32_t)(uint8_t)in[2 * i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < n) {
      uint32_t v = (uint8_t)in[2 * i + 2] | ((uint32_t)(uint8_t)in[2 * i + 3] << 8);
      if (v >= 0xDC00 && v < 0xE000) {
        put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        i++;
        continue;
      }
    }
    put_utf8(out, (u >= 0xD800 && u < 0xE000) ? '?' : u);
  }
  return out;
}

bool read_file(const char *path, std::string &text) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() < MAX_REGISTRY_FILE)
    text.append(buf, (size_t)n);
  close(fd);
  if (text.size() >= 2 && (uint8_t)text[0] == 0xFF && (uint8_t)text[1] == 0xFE)
    text = narrow_utf16(text.substr(2));
  else if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text.erase(0, 3);
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void skip_space(const std::string &s, size_t &i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) i++;
}

/* a quoted text from s[i] == '"'; \\ and \" are escapes; i ends after the closing quote */
bool parse_quoted(const std::string &s, size_t &i, std::string &out) {
  if (i >= s.size() || s[i] != '"') return false;
  for (i++; i < s.size(); i++) {
    char c = s[i];
    if (c == '"') {
      i++;
      return true;
    }
    if (c == '\\' && i + 1 < s.size()) c = s[++i];
    out += c;
  }
  return false;
}

/* "aa,bb,..." with blanks anywhere between bytes */
bool parse_hex_bytes(const std::string &s, size_t i, std::string &out) {
  skip_space(s, i);
  if (i >= s.size()) return true;
  for (;;) {
    skip_space(s, i);
    if (i + 2 > s.size()) return false;
    int hi = hex_digit(s[i]), lo = hex_digit(s[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += (char)(hi * 16 + lo);
    i += 2;
    skip_space(s, i);
    if (i >= s.size()) return true;
    if (s[i] != ',') return false;
    i++;
  }
}

struct parser {
  std::vector<reg_key> keys;
  bool v5 = false;
  reg_key *current = nullptr;

  reg_key *find_key(const std::string &path) {
    for (reg_key &k : keys)
      if (k.path == path) return &k;
    return nullptr;
  }

  void section(const std::string &line) {
    current = nullptr;
    size_t close = line.rfind(']');
    if (close == std::string::npos || close < 1) return;
    std::string name = line.substr(1, close - 1);
    bool remove = !name.empty() && name[0] == '-';
    if (remove) name.erase(0, 1);
    std::string path = lower(name);
    size_t hive = sizeof HIVE - 1;
    if (path.compare(0, hive, HIVE) != 0 || (path.size() > hive && path[hive] != '\\')) return;
    path.erase(0, path.size() > hive ? hive + 1 : hive);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (remove) {
      for (size_t k = keys.size(); k-- > 0;) {
        const std::string &p = keys[k].path;
        if (p == path || path.empty() || p.compare(0, path.size() + 1, path + "\\") == 0)
          keys.erase(keys.begin() + (long)k);
      }
      return;
    }
    current = find_key(path);
    if (current == nullptr) {
      keys.push_back(reg_key{path, {}});
      current = &keys.back();
    }
  }

  void value(const std::string &line) {
    if (current == nullptr) return;
    size_t i = 0;
    std::string name;
    if (line[0] == '@') {
      i = 1;
    } else if (!parse_quoted(line, i, name)) {
      return;
    }
    skip_space(line, i);
    if (i >= line.size() || line[i] != '=') return;
    i++;
    skip_space(line, i);
    reg_value v{name, REG_NONE, {}};
    bool remove = false;
    if (i < line.size() && line[i] == '"') {
      if (!parse_quoted(line, i, v.data)) return;
      v.type = REG_SZ;
      v.data += '\0';
    } else if (i < line.size() && line[i] == '-') {
      remove = true;
    } else if (lower(line.substr(i, 6)) == "dword:") {
      std::string digits = line.substr(i + 6);
      while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) digits.pop_back();
      if (digits.empty() || digits.size() > 8) return;
      uint32_t n = 0;
      for (char c : digits) {
        if (hex_digit(c) < 0) return;
        n = n * 16 + (uint32_t)hex_digit(c);
      }
      v.type = REG_DWORD;
      for (int b = 0; b < 4; b++) v.data += (char)((n >> (8 * b)) & 0xFF);
    } else if (lower(line.substr(i, 4)) == "hex:") {
      v.type = REG_BINARY;
      if (!parse_hex_bytes(line, i + 4, v.data)) return;
    } else if (lower(line.substr(i, 4)) == "hex(") {
      size_t j = i + 4;
      uint32_t type = 0;
      int digits = 0;
      while (j < line.size() && hex_digit(line[j]) >= 0 && digits < 8)
        type = type * 16 + (uint32_t)hex_digit(line[j++]), digits++;
      if (digits == 0 || line.compare(j, 2, "):") != 0) return;
      v.type = type;
      if (!parse_hex_bytes(line, j + 2, v.data)) return;
      bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
      if (text && v5) v.data = narrow_utf16(v.data);
    } else {
      return;
    }
    std::vector<reg_value> &vals = current->values;
    for (size_t k = 0; k < vals.size(); k++) {
      if (iequal(vals[k].name, name)) {
        if (remove)
          vals.erase(vals.begin() + (long)k);
        else
          vals[k] = v;
        return;
      }
    }
    if (!remove) vals.push_back(v);
  }

  void line(std::string &l) {
    while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t')) l.pop_back();
    size_t start = 0;
    skip_space(l, start);
    l.erase(0, start);
    if (l.empty() || l[0] == ';') return;
    if (l == "Windows Registry Editor Version 5.00") {
      v5 = true;
      return;
    }
    if (l[0] == '[')
      section(l);
    else if (l[0] == '"' || l[0] == '@')
      value(l);
  }

  void parse(const std::string &text) {
    std::string logical;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t nl = text.find('\n', pos);
      if (nl == std::string::npos) nl = text.size();
      std::string piece = text.substr(pos, nl - pos);
      pos = nl + 1;
      while (!piece.empty() && (piece.back() == '\r' || piece.back() == ' ' || piece.back() == '\t'))
        piece.pop_back();
      if (!logical.empty()) {
        size_t s = 0;
        skip_space(piece, s);
        piece.erase(0, s);
      }
      /* a trailing backslash outside quotes continues a hex value on the next line */
      bool more = !piece.empty() && piece.back() == '\\' && piece[0] != '[' &&
                  (logical.empty() ? piece.find("=hex") != std::string::npos : true);
      if (more) piece.pop_back();
      logical += piece;
      if (!more) {
        line(logical);
        logical.clear();
      }
    }
    if (!logical.empty()) line(logical);
  }
};

} // namespace

struct vez_hkey {
  std::vector<reg_value> values;
};

LONG RegOpenKeyExA(HKEY key, LPCSTR subkey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::string path = lower(subkey != nullptr ? subkey : "");
  while (!path.empty() && path.back() == '\\') path.pop_back();

  const char *file = getenv("VEZ_REGISTRY");
  if (file == nullptr || file[0] == '\0') file = DEFAULT_REGISTRY;
  std::string text;
  parser p;
  if (read_file(file, text)) p.parse(text);

  bool exists = path.empty();
  const reg_key *found = nullptr;
  for (const reg_key &k : p.keys) {
    if (k.path == path) found = &k;
    if (k.path == path || k.path.compare(0, path.size() + 1, path + "\\") == 0) exists = true;
  }
  if (!exists) return ERROR_FILE_NOT_FOUND;
  vez_hkey *h = new (std::nothrow) vez_hkey;
  if (h == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (found != nullptr) h->values = found->values;
  *result = h;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (key == nullptr || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::string wanted = name != nullptr ? name : "";
  for (const reg_value &v : key->values) {
    if (!iequal(v.name, wanted)) continue;
    DWORD len = (DWORD)v.data.size();
    if (type != nullptr) *type = v.type;
    if (data == nullptr) {
      if (size != nullptr) *size = len;
      return ERROR_SUCCESS;
    }
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (*size < len) {
      *size = len;
      return ERROR_MORE_DATA;
    }
    memcpy(data, v.data.data(), len);
    *size = len;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

#endif /* VEZ_OS_POSIX */
