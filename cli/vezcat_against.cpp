/*
** vezcat_against.cpp - a log against a copy of it collected off the host
** (--verify --against=FILE): a plain copy of the log, the central
** collector's file, or the journal's export of it. The host's logs must
** still hold every record that was collected, unless it was rotated away
** since (older than all they hold), and no record the collector had no
** chance to miss; and the host's closes every close that was collected.
** A tail cut after it was shipped, or a close made again, is found here
** even where the intruder had today's key.
*/
#include "vezcat.h"
#include "vezcat_seal.h"

#include <stdio.h>
#include <string.h>

#include <map>

#include "log_format.h"

namespace {

/* a record as both sides can tell it: its fields, its time, its data */
struct fields {
  time_t when = 0;
  std::string key;      /* all that tells it from another */
  std::string summary;  /* for a message: its time, process and description's start */
  std::string data;     /* its data's bytes */
  long long offset = 0; /* where it lies in its file */
};

std::string hex(const std::string &b) {
  std::string out;
  for (unsigned char c : b) {
    out += LOG_FORMAT_HEX_DIGITS[c >> 4];
    out += LOG_FORMAT_HEX_DIGITS[c & 15];
  }
  return out;
}

std::string unhex(const std::string &h) {
  std::string out;
  auto v = [](char c) { return c >= 'a' ? c - 'a' + 10 : c >= 'A' ? c - 'A' + 10 : c - '0'; };
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    out += (char)(v(h[i]) << 4 | v(h[i + 1]));
  return out;
}

fields make(time_t when, const std::string &process, const std::string &source, long line,
            long long level, long long threshold, long long error, const std::string &desc,
            const std::string &data) {
  fields f;
  f.when = when;
  f.data = data;
  f.key = std::to_string((long long)when) + '\x1f' + process + '\x1f' + source + '\x1f' +
          std::to_string(line) + '\x1f' + std::to_string(level) + '\x1f' +
          std::to_string(threshold) + '\x1f' + std::to_string(error) + '\x1f' + desc + '\x1f' +
          hex(data);
  f.summary = vezcat_seal__local_text(when) + " " + process + ": \"" + desc.substr(0, 60) +
              (desc.size() > 60 ? "..." : "") + "\"";
  return f;
}

/* the records of a log's text (a copy, a collector's file, or the log itself) */
void from_text(const std::string &text, time_t now, std::vector<fields> *out) {
  std::vector<logparse__record> recs;
  size_t damaged = 0;
  logparse__parse(text, false, &recs, &damaged);
  for (const logparse__record &r : recs) {
    if (r.headless || r.damage != nullptr) continue;
    fields f = make(vezcat_read__record_time(r, now), r.process, r.source, r.line, r.message_level,
                    r.configured_level, r.error_code, r.description, r.data.str());
    f.offset = r.offset;
    out->push_back(std::move(f));
  }
}

/* the records of the journal's export format, as vezcat -o export writes them */
bool from_export(const std::string &text, std::vector<fields> *out) {
  std::map<std::string, std::string> entry;
  long long at = 0, started = 0;
  auto done = [&]() {
    if (!entry.empty() && entry.count("MESSAGE") > 0 && entry.count("VEZ_DAMAGED") == 0) {
      fields f = make(
          (time_t)(strtoll(entry["__REALTIME_TIMESTAMP"].c_str(), nullptr, 10) / 1000000),
          entry["SYSLOG_IDENTIFIER"], entry["CODE_FILE"],
          strtol(entry["CODE_LINE"].c_str(), nullptr, 10),
          strtoll(entry["VEZ_LEVEL"].c_str(), nullptr, 10),
          strtoll(entry["VEZ_THRESHOLD"].c_str(), nullptr, 10),
          strtoll(entry["ERRNO"].c_str(), nullptr, 10), entry["MESSAGE"], unhex(entry["VEZ_DATA"]));
      f.offset = started;
      out->push_back(std::move(f));
    }
    entry.clear();
  };
  size_t p = 0;
  while (p < text.size()) {
    size_t nl = text.find('\n', p);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(p, nl - p);
    if (line.empty()) {
      done();
      p = nl + 1;
      started = at = (long long)p;
      continue;
    }
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
      entry[line.substr(0, eq)] = line.substr(eq + 1);
      p = nl + 1;
    } else {
      /* a binary field: its length in 8 little-endian bytes, then the value */
      if (nl + 9 > text.size()) return false;
      uint64_t n = 0;
      for (int i = 0; i < 8; i++)
        n |= (uint64_t)(unsigned char)text[nl + 1 + i] << (8 * i);
      if (n > text.size() - (nl + 9)) return false;
      entry[line] = text.substr(nl + 9, (size_t)n);
      p = nl + 9 + (size_t)n + 1;
    }
    at = (long long)p;
  }
  done();
  (void)at;
  return true;
}

/* a close carried in a record's data (a record "Seals closed"), or false */
bool close_in(const fields &f, log_seal_close *head) {
  if (f.data.size() < sizeof *head) return false;
  memcpy(head, f.data.data(), sizeof *head);
  return memcmp(head->magic, LOG_SEAL_CLOSE_MAGIC, sizeof head->magic) == 0 &&
         head->length == f.data.size();
}

} // namespace

vezcat_verdict vezcat_seal__against(const std::string &path, const std::string &collected,
                                    const vezcat_closes &closes, time_t now) {
  vezcat_verdict v;
  auto fail = [&](const std::string &file, long long offset, time_t when, const std::string &what) {
    if (v.failed) return;
    v.failed = true;
    v.file = file;
    v.offset = (uint64_t)offset;
    v.when = when;
    v.what = what;
  };
  std::string copy;
  DWORD error = 0;
  if (!vezcat_seal__read_whole(collected, &copy, &error)) {
    fail(collected, 0, 0, "cannot be read: " + vezcat_seal__reason(error));
    return v;
  }
  std::vector<fields> theirs, ours;
  bool exported =
      copy.compare(0, 21, "__REALTIME_TIMESTAMP=") == 0 || copy.compare(0, 8, "MESSAGE=") == 0;
  if (exported ? !from_export(copy, &theirs) : (from_text(copy, now, &theirs), false)) {
    fail(collected, 0, 0, "not a collected copy of a log (no record of this format)");
    return v;
  }
  if (theirs.empty()) {
    fail(collected, 0, 0, "not a collected copy of a log (no record of this format)");
    return v;
  }
  for (const char *suffix : {".old", ""}) {
    std::string text;
    if (vezcat_seal__read_whole(path + suffix, &text, &error)) from_text(text, now, &ours);
  }
  std::map<std::string, int> held;
  time_t oldest = 0;
  for (const fields &f : ours) {
    held[f.key]++;
    if (oldest == 0 || f.when < oldest) oldest = f.when;
  }
  size_t rotated = 0, found = 0;
  std::map<std::string, int> shipped;
  time_t last = 0;
  for (const fields &f : theirs) {
    shipped[f.key]++;
    last = std::max(last, f.when);
    log_seal_close head;
    if (close_in(f, &head)) {
      /* the host's closes hold the very close that was shipped */
      bool kept = false;
      for (const vezcat_close &c : closes.list)
        kept =
            kept || (c.head.epoch == head.epoch && memcmp(c.head.id, head.id, LOG_SEAL_ID) == 0 &&
                     memcmp(c.head.tag, head.tag, LOG_SEAL_KEY) == 0);
      if (!kept) {
        fail(collected, f.offset, f.when,
             "removed (the close of interval " + std::to_string(head.epoch) +
                 " that was collected is not among the host's closes: they were cut or made "
                 "again)");
        return v;
      }
    }
    auto at = held.find(f.key);
    if (at != held.end() && at->second > 0) {
      at->second--;
      found++;
    } else if (oldest == 0 || f.when < oldest) {
      rotated++;
    } else {
      fail(collected, f.offset, f.when,
           "removed (collected, but no longer in " + path + " or its old copy: " + f.summary + ")");
      return v;
    }
  }
  /* a record of the host's that the collector had every chance to have, and has not */
  for (const fields &f : ours)
    if (f.when < last && f.when >= theirs.front().when) {
      auto at = shipped.find(f.key);
      if (at == shipped.end() || at->second == 0) {
        fail(path, f.offset, f.when,
             "inserted (in the host's log, not in what was collected: " + f.summary + ")");
        return v;
      }
      at->second--;
    }
  v.proved = found;
  if (rotated > 0)
    v.notes.push_back("rotated away on the host since they were collected: " +
                      std::to_string(rotated) + (rotated == 1 ? " record" : " records"));
  return v;
}
