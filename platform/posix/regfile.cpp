/*
** regfile.cpp - reading and rendering the registry file (its keys, lookups,
** lock and saving are in regfile_keys.cpp).
**
** Parsing never fails: a line that is no section, value or header is kept
** as OTHER, and a value line that cannot be read is OTHER too. A value
** continued over lines with a trailing backslash is one logical line.
*/
#include "regfile.h"

#include "create.h"

#include "../platform.h"

#if VEZ_OS_POSIX

#include <errno.h>

#include <new>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace regfile {

namespace {

constexpr char HIVE[] = "hkey_local_machine";
constexpr char V5_HEADER[] = "Windows Registry Editor Version 5.00";

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

/* narrow (UTF-8) text as UTF-16LE bytes; a byte that is no UTF-8 stands for itself */
std::string widen(const std::string &in) {
  std::string out;
  auto put16 = [&out](uint32_t u) {
    out += (char)(u & 0xFF);
    out += (char)(u >> 8);
  };
  for (size_t i = 0; i < in.size();) {
    unsigned char c = (unsigned char)in[i];
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0 && i + 3 < in.size()) {
      cp = ((c & 0x07u) << 18) | (((unsigned char)in[i + 1] & 0x3Fu) << 12) |
           (((unsigned char)in[i + 2] & 0x3Fu) << 6) | ((unsigned char)in[i + 3] & 0x3Fu);
      len = 4;
    } else if (c >= 0xE0 && i + 2 < in.size()) {
      cp = ((c & 0x0Fu) << 12) | (((unsigned char)in[i + 1] & 0x3Fu) << 6) |
           ((unsigned char)in[i + 2] & 0x3Fu);
      len = 3;
    } else if (c >= 0xC0 && i + 1 < in.size()) {
      cp = ((c & 0x1Fu) << 6) | ((unsigned char)in[i + 1] & 0x3Fu);
      len = 2;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put16(0xD800 + (cp >> 10));
      put16(0xDC00 + (cp & 0x3FF));
    } else {
      put16(cp);
    }
    i += len;
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void skip_space(const std::string &s, size_t &i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
    i++;
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

/* the section line's key, when it is one under our hive */
void read_section(const std::string &l, line &out) {
  size_t close = l.rfind(']');
  if (close == std::string::npos || close < 1) return;
  std::string name = l.substr(1, close - 1);
  out.what = SECTION;
  out.remove = !name.empty() && name[0] == '-';
  if (out.remove) name.erase(0, 1);
  size_t hive = sizeof HIVE - 1;
  std::string folded = fold(name);
  out.in_hive =
      folded.compare(0, hive, HIVE) == 0 && (folded.size() == hive || folded[hive] == '\\');
  out.key = trim_key(out.in_hive ? name.substr(folded.size() > hive ? hive + 1 : hive) : name);
}

bool read_value(const std::string &l, bool v5, line &out) {
  size_t i = 0;
  value v{"", REG_NONE, ""};
  if (l[0] == '@') {
    i = 1;
  } else if (!parse_quoted(l, i, v.name)) {
    return false;
  }
  skip_space(l, i);
  if (i >= l.size() || l[i] != '=') return false;
  i++;
  skip_space(l, i);
  /* a case-insensitive look at what follows, without a folded copy of the line */
  auto starts = [&](const char *lead) {
    size_t n = strlen(lead);
    if (l.size() - i < n) return false;
    for (size_t k = 0; k < n; k++) {
      char c = l[i + k];
      if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
      if (c != lead[k]) return false;
    }
    return true;
  };
  if (i < l.size() && l[i] == '"') {
    size_t end = i;
    if (!parse_quoted(l, end, v.data)) return false;
    v.type = REG_SZ;
    v.data += '\0';
  } else if (i < l.size() && l[i] == '-') {
    out.remove = true;
  } else if (starts("dword:")) {
    std::string digits = l.substr(i + 6);
    while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
      digits.pop_back();
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t n = 0;
    for (char c : digits) {
      if (hex_digit(c) < 0) return false;
      n = n * 16 + (uint32_t)hex_digit(c);
    }
    v.type = REG_DWORD;
    for (int b = 0; b < 4; b++)
      v.data += (char)((n >> (8 * b)) & 0xFF);
  } else if (starts("hex:")) {
    v.type = REG_BINARY;
    if (!parse_hex_bytes(l, i + 4, v.data)) return false;
  } else if (starts("hex(")) {
    size_t j = i + 4;
    uint32_t type = 0;
    int digits = 0;
    while (j < l.size() && hex_digit(l[j]) >= 0 && digits < 8)
      type = type * 16 + (uint32_t)hex_digit(l[j++]), digits++;
    if (digits == 0 || l.compare(j, 2, "):") != 0) return false;
    v.type = type;
    if (!parse_hex_bytes(l, j + 2, v.data)) return false;
    bool text = type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    if (text && v5) v.data = narrow(v.data);
  } else {
    return false;
  }
  out.what = VALUE;
  out.val = std::move(v);
  return true;
}

} // namespace

namespace {

/* below this, the ordinary heap serves */
constexpr size_t LARGE_BLOCK = 2u << 20;

} // namespace

void *allocate_lines(size_t bytes) {
  if (bytes < LARGE_BLOCK) {
    void *p = malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE); /* where the system has no large pages, nothing changes */
  return p;
}

void free_lines(void *block, size_t bytes) {
  if (block == nullptr) return;
  if (bytes < LARGE_BLOCK)
    free(block);
  else
    munmap(block, bytes);
}

std::string path() {
  const char *file = getenv("VEZ_REGISTRY");
  return file != nullptr && file[0] != '\0' ? file : DEFAULT_PATH;
}

std::string fold(const std::string &s) {
  std::string out = s;
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
  return out;
}

bool same_folded(const std::string &text, const std::string &folded) {
  if (text.size() != folded.size()) return false;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    if (c != folded[i]) return false;
  }
  return true;
}

std::string trim_key(const std::string &key) {
  std::string k = key;
  while (!k.empty() && k.back() == '\\')
    k.pop_back();
  return k;
}

std::string narrow(const std::string &in) {
  std::string out;
  size_t n = in.size() / 2;
  for (size_t i = 0; i < n; i++) {
    uint32_t u = (uint8_t)in[2 * i] | ((uint32_t)(uint8_t)in[2 * i + 1] << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < n) {
      uint32_t w = (uint8_t)in[2 * i + 2] | ((uint32_t)(uint8_t)in[2 * i + 3] << 8);
      if (w >= 0xDC00 && w < 0xE000) {
        put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (w - 0xDC00));
        i++;
        continue;
      }
    }
    put_utf8(out, (u >= 0xD800 && u < 0xE000) ? '?' : u);
  }
  return out;
}

document parse(const std::string &bytes) {
  document doc;
  /* the bytes are read where they lie; only UTF-16 text is made narrow first */
  std::string narrowed;
  const char *base = bytes.data();
  size_t size = bytes.size();
  if (size >= 2 && (uint8_t)base[0] == 0xFF && (uint8_t)base[1] == 0xFE) {
    doc.utf16 = true;
    narrowed = narrow(bytes.substr(2));
    base = narrowed.data();
    size = narrowed.size();
  } else if (size >= 3 && memcmp(base, "\xEF\xBB\xBF", 3) == 0) {
    doc.bom = true;
    base += 3;
    size -= 3;
  }
  const char *first_nl = static_cast<const char *>(memchr(base, '\n', size));
  doc.crlf = first_nl == nullptr || (first_nl > base && first_nl[-1] == '\r');

  /* one pass, each line looked at where it lies: the only copies are what a line keeps */
  size_t count = 1;
  for (const char *p = base;
       (p = static_cast<const char *>(memchr(p, '\n', (size_t)(base + size - p)))) != nullptr; p++)
    count++;
  doc.lines.reserve(count);
  bool continued = false;
  std::string logical;
  shared_key section_key;
  bool section_in_hive = false;
  size_t pos = 0;
  auto holds = [](const char *s, size_t n, const char *what) {
    size_t w = strlen(what);
    for (size_t i = 0; i + w <= n; i++)
      if (memcmp(s + i, what, w) == 0) return true;
    return false;
  };
  logical.reserve(256);
  while (pos < size) {
    const char *nlp = static_cast<const char *>(memchr(base + pos, '\n', size - pos));
    size_t nl = nlp != nullptr ? (size_t)(nlp - base) : size;
    const char *raw = base + pos;
    size_t raw_len = nl - pos;
    pos = nl + 1;
    if (raw_len > 0 && raw[raw_len - 1] == '\r') raw_len--;

    size_t b = 0, e = raw_len;
    while (e > b && (raw[e - 1] == ' ' || raw[e - 1] == '\t'))
      e--;
    while (b < e && (raw[b] == ' ' || raw[b] == '\t'))
      b++;
    const char *piece = raw + b;
    size_t piece_len = e - b;
    /* each line is made where it stays: no copy or move of it afterwards */
    if (!continued) {
      doc.lines.emplace_back();
      doc.lines.back().text.assign(raw, raw_len);
      logical.clear();
    } else {
      doc.lines.back().text += '\n';
      doc.lines.back().text.append(raw, raw_len);
    }
    line &current = doc.lines.back();
    /* a trailing backslash continues a hex value on the next line */
    bool more = piece_len > 0 && piece[piece_len - 1] == '\\' && piece[0] != '[' &&
                (continued || holds(piece, piece_len, "=hex") || holds(piece, piece_len, "=HEX"));
    if (more) piece_len--;
    logical.append(piece, piece_len);
    continued = more && pos < size;
    if (continued) continue;

    if ((logical[0] == 'R' || logical[0] == 'W') &&
        (logical == "REGEDIT4" || logical == V5_HEADER)) {
      current.what = HEADER;
      doc.v5 = doc.v5 || logical == V5_HEADER;
    } else if (!logical.empty() && logical[0] == '[') {
      read_section(logical, current);
      section_key = current.key;
      section_in_hive = current.what == SECTION && current.in_hive;
      if (current.what != SECTION) section_key = shared_key();
    } else if (!logical.empty() && (logical[0] == '"' || logical[0] == '@')) {
      current.key = section_key;
      current.in_hive = section_in_hive;
      if (!read_value(logical, doc.v5, current)) {
        current.what = OTHER;
        current.remove = false;
      }
    }
  }
  return doc;
}

int load(const std::string &file, document *doc, bool *exists) {
  *doc = document();
  *exists = false;
  bool created;
  int fd = posix_open_file(file.c_str(), O_RDONLY | O_CLOEXEC, false, false, &created);
  if (fd < 0) {
    int e = errno;
    return e == ENOENT ? 0 : e;
  }
  *exists = true;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return EISDIR;
  }
  if ((uint64_t)st.st_size > MAX_FILE_BYTES) {
    close(fd);
    return EFBIG;
  }
  std::string bytes;
  bytes.reserve((size_t)st.st_size);
  char buf[65536];
  ssize_t n;
  /* a file that grows past the limit while it is read is refused too, never cut */
  while ((n = read(fd, buf, sizeof buf)) > 0 && bytes.size() <= MAX_FILE_BYTES)
    bytes.append(buf, (size_t)n);
  int e = n < 0 ? errno : 0;
  close(fd);
  if (e != 0) return e;
  if (bytes.size() > MAX_FILE_BYTES) return EFBIG;
  *doc = parse(bytes);
  return 0;
}

std::string render(const document &doc) {
  std::string text;
  size_t total = 0;
  for (const line &l : doc.lines)
    total += l.text.size() + 2;
  text.reserve(total);
  const char *end = doc.crlf ? "\r\n" : "\n";
  for (const line &l : doc.lines) {
    /* a value continued over lines keeps its line breaks, in the file's own form */
    size_t at = 0;
    for (size_t nl; (nl = l.text.find('\n', at)) != std::string::npos; at = nl + 1) {
      text.append(l.text, at, nl - at);
      text += end;
    }
    text.append(l.text, at, std::string::npos);
    text += end;
  }
  if (!doc.utf16) return doc.bom ? "\xEF\xBB\xBF" + text : text;
  return std::string("\xFF\xFE", 2) + widen(text);
}

std::string value_text(const value &v, bool v5) {
  std::string name = "@";
  if (!v.name.empty()) {
    name = "\"";
    for (char c : v.name) {
      if (c == '\\' || c == '"') name += '\\';
      name += c;
    }
    name += "\"";
  }
  const std::string &d = v.data;
  bool plain_text = v.type == REG_SZ && !d.empty() && d.back() == '\0' &&
                    d.find('\0') == d.size() - 1 && d.find_first_of("\r\n") == std::string::npos;
  if (plain_text) {
    std::string q = "\"";
    for (size_t i = 0; i + 1 < d.size(); i++) {
      if (d[i] == '\\' || d[i] == '"') q += '\\';
      q += d[i];
    }
    return name + "=" + q + "\"";
  }
  if (v.type == REG_DWORD && d.size() == 4) {
    uint32_t n = (uint8_t)d[0] | ((uint32_t)(uint8_t)d[1] << 8) | ((uint32_t)(uint8_t)d[2] << 16) |
                 ((uint32_t)(uint8_t)d[3] << 24);
    char buf[16];
    snprintf(buf, sizeof buf, "%08x", n);
    return name + "=dword:" + buf;
  }
  bool text = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ;
  std::string raw = text && v5 ? widen(d) : d;
  char head[24];
  if (v.type == REG_BINARY)
    snprintf(head, sizeof head, "hex:");
  else
    snprintf(head, sizeof head, "hex(%x):", v.type);
  std::string out = name + "=" + head;
  for (size_t i = 0; i < raw.size(); i++) {
    char b[4];
    snprintf(b, sizeof b, "%s%02x", i ? "," : "", (unsigned char)raw[i]);
    out += b;
  }
  return out;
}

} // namespace regfile

#endif /* VEZ_OS_POSIX */
