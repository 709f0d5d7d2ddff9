/*
** regfile_keys.cpp - the registry file's keys: the index of a document's
** keys and values, the lookups by path, the file's lock between processes,
** its saving (whole, in place of the old one) and a value's text.
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

const std::string &key_of(const std::string &key) { return key; }
const std::string &key_of(const std::pair<const std::string, key_values> &entry) {
  return entry.first;
}

/* erases the entries of an ordered container whose keys start with prefix */
template <typename Ordered> void erase_below(Ordered &c, const std::string &prefix) {
  auto first = c.lower_bound(prefix), last = first;
  while (last != c.end() && key_of(*last).compare(0, prefix.size(), prefix) == 0)
    ++last;
  c.erase(first, last);
}

} // namespace

void build_index(const document &doc, key_index *index) {
  index->keys.clear();
  index->values.clear();
  /* the lines of one section share its key: folded and found once for all of them */
  const std::string *last_key = nullptr;
  std::string key, name;
  key_values *last_values = nullptr;
  for (const line &l : doc.lines) {
    if (!l.in_hive || (l.what != SECTION && l.what != VALUE)) continue;
    if (last_key == nullptr || l.what == SECTION || *last_key != l.key.str()) {
      key = fold(l.key);
      last_key = &l.key.str();
      last_values = nullptr;
    }
    if (l.what == SECTION && l.remove) {
      /* the key goes, and every key below it */
      index->keys.erase(key);
      index->values.erase(key);
      erase_below(index->keys, key + "\\");
      erase_below(index->values, key + "\\");
      continue;
    }
    if (l.what == SECTION) {
      index->keys.insert(key);
      continue;
    }
    if (last_values == nullptr) last_values = &index->values[key];
    key_values &kv = *last_values;
    name.assign(l.val.name); /* folded in a buffer of its own, kept from line to line */
    for (char &c : name)
      if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    auto at = kv.position.find(name);
    if (l.remove) {
      if (at != kv.position.end()) {
        kv.live[at->second] = false;
        kv.position.erase(at);
      }
    } else if (at != kv.position.end()) {
      kv.list[at->second] = l.val;
    } else {
      kv.position.emplace(name, kv.list.size());
      kv.list.push_back(l.val);
      kv.live.push_back(true);
    }
  }
}

bool same_lines(const document &a, const document &b) {
  if (a.lines.size() != b.lines.size()) return false;
  for (size_t i = 0; i < a.lines.size(); i++) {
    const line &x = a.lines[i], &y = b.lines[i];
    if (x.what != y.what || x.in_hive != y.in_hive || x.remove != y.remove ||
        x.key.str() != y.key.str())
      return false;
    if (x.what == VALUE &&
        (x.val.name != y.val.name || x.val.type != y.val.type || x.val.data != y.val.data))
      return false;
  }
  return true;
}

bool index_values(const key_index &index, const std::string &path, std::vector<value> *values) {
  values->clear();
  auto kv = index.values.find(path);
  if (kv != index.values.end())
    for (size_t i = 0; i < kv->second.list.size(); i++)
      if (kv->second.live[i]) values->push_back(kv->second.list[i]);
  if (path.empty()) return true;
  /* a key exists when a section names it or lies below it */
  auto k = index.keys.lower_bound(path);
  return k != index.keys.end() && (*k == path || k->compare(0, path.size() + 1, path + "\\") == 0);
}

/*
** One key's values, without an index of all the others: the sections of that key
** and every "[-key]" that could take it away are looked at, each value line of the
** key's sections read; the rest of the document is passed over.
*/
bool values_of(const document &doc, const std::string &path, std::vector<value> *values) {
  values->clear();
  std::vector<bool> live;
  std::unordered_map<std::string, size_t> position;
  bool named = false, in_key = false;
  std::set<std::string> below_keys; /* keys below it that sections name: it exists through them */
  std::string name;
  for (const line &l : doc.lines) {
    if (!l.in_hive) {
      if (l.what == SECTION) in_key = false;
      continue;
    }
    if (l.what == SECTION) {
      const std::string &k = l.key.str();
      bool same = same_folded(k, path);
      bool below = !same && k.size() > path.size() && (path.empty() || k[path.size()] == '\\') &&
                   same_folded(k.substr(0, path.size()), path);
      bool above = !same && path.size() > k.size() && (k.empty() || path[k.size()] == '\\') &&
                   same_folded(path.substr(0, k.size()), fold(k));
      if (l.remove) {
        if (same || above) { /* the key goes, with all it held */
          named = false;
          below_keys.clear();
          values->clear();
          live.clear();
          position.clear();
        } else if (below) { /* a key below goes, with the keys below it */
          std::string f = fold(k);
          auto first = below_keys.lower_bound(f), last = first;
          while (last != below_keys.end() &&
                 (*last == f || last->compare(0, f.size() + 1, f + "\\") == 0))
            ++last;
          below_keys.erase(first, last);
        }
        in_key = false;
        continue;
      }
      in_key = same;
      named = named || same;
      if (below) below_keys.insert(fold(k));
      continue;
    }
    if (l.what != VALUE || !in_key) continue;
    name = fold(l.val.name);
    auto at = position.find(name);
    if (l.remove) {
      if (at != position.end()) {
        live[at->second] = false;
        position.erase(at);
      }
    } else if (at != position.end()) {
      (*values)[at->second] = l.val;
    } else {
      position.emplace(name, values->size());
      values->push_back(l.val);
      live.push_back(true);
    }
  }
  std::vector<value> in_force;
  for (size_t i = 0; i < values->size(); i++)
    if (live[i]) in_force.push_back(std::move((*values)[i]));
  *values = std::move(in_force);
  return path.empty() || named || !below_keys.empty();
}

int lock(const std::string &file) {
  std::string name = file + ".lck";
  bool created;
  int fd = posix_open_file(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, true, false, &created);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void unlock(int handle) {
  if (handle >= 0) close(handle);
}

bool save(const std::string &file, const std::string &bytes, std::string *why) {
  std::string tmp = file + ".new" + std::to_string((long)getpid());
  /* made here and now, never a file or link found under that name */
  bool created;
  int fd = posix_open_file(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, true,
                           false, &created);
  if (fd < 0) {
    *why = "cannot create " + tmp + ": " + strerror(errno);
    return false;
  }
  /* the registry keeps its mode, owner and group through an edit */
  struct stat st;
  if (stat(file.c_str(), &st) == 0) {
    if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
      *why = "cannot give " + tmp + " the registry's owner: " + strerror(errno);
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    fchmod(fd, st.st_mode & 07777);
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      *why = "cannot write " + tmp + ": " + strerror(errno);
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    done += (size_t)n;
  }
  if (fsync(fd) != 0 || close(fd) != 0 || rename(tmp.c_str(), file.c_str()) != 0) {
    *why = "cannot replace " + file + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

} // namespace regfile

#endif /* VEZ_OS_POSIX */
