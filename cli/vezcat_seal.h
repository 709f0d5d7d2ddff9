/*
** vezcat_seal.h - what vezcat's sealing files share: the keys given, the
** closes read, and the proof of one log with its old copy
** (vezcat_prove.cpp), for --verify (vezcat_seal.cpp).
*/
#ifndef VEZ_VEZCAT_SEAL_H
#define VEZ_VEZCAT_SEAL_H

#include <stdint.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

#include "log_seal.h"
#include "platform.h"

/* a verification key, and the key of the last interval met (derived on from it) */
struct vezcat_key {
  uint8_t seed[LOG_SEAL_KEY];
  uint8_t id[LOG_SEAL_ID];
  int64_t start = 0;
  uint64_t interval = 0;
  uint64_t epoch = 0;
  bool derived = false;
  uint8_t current[LOG_SEAL_KEY];
};

/* the key of interval e of a verification key (derived forward, or again from the seed) */
bool vezcat_seal__key_at(vezcat_key &k, uint64_t e, uint8_t out[LOG_SEAL_KEY]);

/* a close as read: where it lies, whether it holds, and the logs it covers */
struct vezcat_close_log {
  std::string name;
  uint64_t generation = 0, seq = 0;
  uint8_t tag[LOG_SEAL_KEY];
  bool held = false;
};
struct vezcat_close {
  log_seal_close head;
  std::vector<vezcat_close_log> logs;
  bool proved = false; /* its tag holds with a key given (or no key was given) */
  bool in_time = true; /* made before its interval's next one ended */
};

/* what the closes of the keys in use tell: every interval closed, one after another */
struct vezcat_closes {
  bool present = false;           /* a closes file was there */
  std::vector<vezcat_close> list; /* the ones of the keys given (all, without a key), in order */
  std::string fault;              /* where they do not hold, in words ("" when they do) */
  std::string fault_file;         /* the file it is in ("": the closes) */
  uint64_t fault_epoch = 0;       /* the first interval the fault touches */
  bool have_start = false;        /* when sealing began and how long an interval lasts: */
  int64_t start = 0;              /* from a key, else from the state, for the key of id */
  uint64_t interval = 0;
  uint8_t id[LOG_SEAL_ID] = {};
  bool times(const uint8_t other[LOG_SEAL_ID]) const {
    return have_start && memcmp(id, other, LOG_SEAL_ID) == 0;
  }
  time_t last_made = 0; /* when the last close was made */
};

/* the closes file at path read and checked against the keys (none: structure only) */
vezcat_closes vezcat_seal__read_closes(const std::string &path, std::vector<vezcat_key> &keys,
                                       time_t now, const log_seal_state *state);

/* the verdict on one log and its old copy */
struct vezcat_verdict {
  bool failed = false;
  std::string file; /* the first place that does not hold */
  uint64_t offset = 0;
  time_t when = 0;
  std::string what;
  std::vector<std::string> notes; /* damage a crash explains, records not proved and why */
  size_t proved = 0;
  time_t first = 0, last = 0;
  bool any_seal = false;
};

/*
** Proves the log at path and its old copy with the keys (none: the digests
** and the chain only) against the closes; every byte after sealing began
** must be proved or be damage a crash explains.
*/
vezcat_verdict vezcat_seal__prove(const std::string &path, std::vector<vezcat_key> &keys,
                                  const vezcat_closes &closes, time_t now);

/*
** The log at path and its old copy against a copy collected off the host
** (a plain copy, the collector's file, or the journal's export): every
** record collected is still there or was rotated away since, none was
** inserted among them, and the host's closes hold every close collected.
*/
vezcat_verdict vezcat_seal__against(const std::string &path, const std::string &collected,
                                    const vezcat_closes &closes, time_t now);

/* "2026-12-08 02:00:48" */
std::string vezcat_seal__local_text(time_t t);
/* a close's name of a log against a log's path: the same, or the same file name */
bool vezcat_seal__names_log(const std::string &name, const std::string &path);
/* a file read whole; false (and why) where it cannot be */
bool vezcat_seal__read_whole(const std::string &path, std::string *out, DWORD *error,
                             VEZ_FILE_FACTS *facts = nullptr);
/* the system's words for a code */
std::string vezcat_seal__reason(DWORD code);

#endif /* VEZ_VEZCAT_SEAL_H */
