/*
** log_side.cpp - a log's sidecar of seals: opened, mapped, its slots taken
** and filled, its chain found where a lock file keeps none.
*/
#include "log_side.h"

#include "log_sidemv.h"
#include "sys.h"

namespace {

constexpr uint64_t SEAL_CHUNK = 256;
constexpr uint64_t SEAL_STEP = 65536;
constexpr uint64_t SEAL_HEADER = sizeof(log_seal_header);
constexpr uint64_t SEAL_ENTRY = sizeof(log_seal_entry);
/* times a slot taken by another writer is looked at again before it is passed over */
constexpr int CLAIMED_SPINS = 100000;

/* a sidecar that is no sidecar was said (once a process: the operator needs it once) */
bool not_sidecar_said = false;

/* entries stored: up to the first slot whose type is none (a new lock file's stamp does not
   know the count) */
uint64_t count_entries(const log_sidecar *s) {
  uint64_t n = 0;
  while (SEAL_HEADER + (n + 1) * SEAL_ENTRY <= s->mapped && log_side__entry_at(s, n)->type != 0)
    n++;
  return n;
}

void chain_from_old(const char *path, flsem_stamp *st) {
  log_seal_entry e;
  if (!log_side__old_chain_end(path, &e)) return;
  log_side__chain_from(st, &e);
  /* the log at the name is the generation after the old copy's */
  if (e.generation + 1 > st->rotations) st->rotations = e.generation + 1;
}

/* the count as the sidecar has it, where the stamp kept none (or another's), and the chain
   from its last entry */
void count_from_sidecar(log_record *r, flsem_stamp *st) {
  const log_sidecar *s = &r->seals.sidecar;
  bool kept = log_side__chain_kept(st);
  uint64_t n = count_entries(s);
  if (!kept || st->seal_count > n + 1) st->seal_count = n;
  if (kept) return;
  uint64_t i = n;
  while (i > 0 && log_side__entry_at(s, i - 1)->type == LOG_SEAL_CLAIMED)
    i--;
  if (i > 0)
    log_side__chain_from(st, log_side__entry_at(s, i - 1));
  else
    chain_from_old(r->path, st);
}

HANDLE open_file(const char *name) {
  return VezKeepFilesOpen() ? VezOpenKeptFile(name)
                            : CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

log_seal_entry *log_side__entry_at(const log_sidecar *s, uint64_t index) {
  return reinterpret_cast<log_seal_entry *>(static_cast<char *>(s->view) + SEAL_HEADER +
                                            index * SEAL_ENTRY);
}

uint64_t log_side__bytes_to(uint64_t index) { return SEAL_HEADER + (index + 1) * SEAL_ENTRY; }

bool log_side__map(log_sidecar *s, uint64_t need) {
  if (s->view != nullptr && need <= s->mapped && !VezViewLost(s->view)) return true;
  if (s->view != nullptr) UnmapViewOfFile(s->view);
  s->view = nullptr;
  s->mapped = 0;
  DWORD high = 0;
  DWORD low = GetFileSize(s->file, &high);
  uint64_t size = low == INVALID_FILE_SIZE ? 0 : ((uint64_t)high << 32) | low;
  uint64_t want = size;
  if (want < need) {
    uint64_t more = size < SEAL_CHUNK * SEAL_ENTRY  ? SEAL_CHUNK * SEAL_ENTRY
                    : size > SEAL_STEP * SEAL_ENTRY ? SEAL_STEP * SEAL_ENTRY
                                                    : size;
    want = size + more < need ? need : size + more;
  }
  HANDLE m = CreateFileMappingA(s->file, nullptr, PAGE_READWRITE, (DWORD)(want >> 32), (DWORD)want,
                                nullptr);
  if (m == nullptr) return false;
  static const unsigned char none[1] = {0};
  VezSetMappingFallback(m, none, 0); /* a sidecar cut under the view reads as zeros */
  s->view = MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, (size_t)want);
  CloseHandle(m);
  if (s->view == nullptr) return false;
  s->mapped = want;
  return true;
}

void log_side__chain_from(flsem_stamp *st, const log_seal_entry *e) {
  st->seal_seq = e->seq;
  memcpy(st->seal_prev, e->tag, LOG_SEAL_KEY);
  memcpy(st->seal_id, e->id, LOG_SEAL_ID);
  /* a lock file made anew counts the log's rotations on from the chain's, not from 0: a
     close names where each chain ends by them */
  if (e->generation > st->rotations) st->rotations = e->generation;
}

bool log_side__chain_kept(const flsem_stamp *st) {
  for (uint8_t b : st->seal_id)
    if (b != 0) return true;
  return false;
}

/*
** The sidecar beside the old copy is read, not mapped (it is no longer
** written to). Entries fill the slots up to the first whose type is none:
** found by halving. An earlier release's (its entries shorter) gives its
** last entry's sequence number and tag, all the chain needs of it.
*/
bool log_side__old_chain_end(const char *path, log_seal_entry *out) {
  char name[LOG_CHK_NAME_SIZE];
  if (!log_sidemv__name(name, path, true)) return false;
  int f = sys__open(name, _O_RDONLY | _O_BINARY, 0);
  if (f < 0) return false;
  log_seal_header h;
  long long size = sys__lseek(f, 0, 2);
  bool ok = size >= (long long)SEAL_HEADER && sys__lseek(f, 0, 0) == 0 &&
            sys__read(f, &h, sizeof h) == (int)sizeof h &&
            memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) == 0 &&
            (h.entry_size == SEAL_ENTRY || h.entry_size == sizeof(log_seal_entry_v1));
  uint64_t each = ok ? h.entry_size : SEAL_ENTRY;
  uint64_t lo = 0, hi = ok ? ((uint64_t)size - SEAL_HEADER) / each : 0;
  auto type_at = [&](uint64_t i) {
    uint32_t type = 0;
    long long at = (long long)(SEAL_HEADER + i * each);
    if (sys__lseek(f, at, 0) != at || sys__read(f, &type, sizeof type) != (int)sizeof type)
      return 0u;
    return type;
  };
  while (lo < hi) {
    uint64_t mid = lo + (hi - lo) / 2;
    if (type_at(mid) != 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  bool found = false;
  for (uint64_t i = lo; i-- > 0 && !found;) {
    long long at = (long long)(SEAL_HEADER + i * each);
    if (each == SEAL_ENTRY) {
      if (sys__lseek(f, at, 0) != at || sys__read(f, out, sizeof *out) != (int)sizeof *out) break;
    } else {
      log_seal_entry_v1 v1;
      if (sys__lseek(f, at, 0) != at || sys__read(f, &v1, sizeof v1) != (int)sizeof v1) break;
      memset(out, 0, sizeof *out);
      out->type = v1.type;
      out->seq = v1.seq;
      memcpy(out->id, v1.id, LOG_SEAL_ID);
      memcpy(out->tag, v1.tag, LOG_SEAL_KEY);
    }
    found = out->type == LOG_SEAL_RECORD || out->type == LOG_SEAL_ORPHAN ||
            out->type == LOG_SEAL_ROTATION;
  }
  sys__close(f);
  return found;
}

bool log_side__open(log_record *r, flsem_stamp *st) {
  log_sidecar *s = &r->seals.sidecar;
  if (r->held != nullptr && r->held->seals.file != INVALID_HANDLE_VALUE) {
    *s = r->held->seals;
    r->held->seals = log_sidecar();
    if (!log_side__chain_kept(st)) count_from_sidecar(r, st);
    return true;
  }
  char name[LOG_CHK_NAME_SIZE];
  if (!log_sidemv__name(name, r->path, false)) return false;
  bool at_old = false; /* name is the old copy's sidecar */
  for (int tries = 0; tries < 3; tries++) {
    s->file = open_file(name);
    if (s->file == INVALID_HANDLE_VALUE || !log_side__map(s, SEAL_HEADER + SEAL_ENTRY)) {
      log_held__drop_sidecar(s, true);
      return false;
    }
    log_seal_header *h = static_cast<log_seal_header *>(s->view);
    bool fresh = true;
    for (size_t i = 0; i < sizeof h->magic; i++)
      fresh = fresh && h->magic[i] == 0;
    if (fresh && !at_old && !log_sidemv__file_is(r->path, "", r->id)) {
      /* made beside a log that is no longer this one (moved aside under a writer that still
         held a lock file that was removed): its seals go beside it where it went; the empty
         file is the next log's to take */
      log_held__drop_sidecar(s, true);
      if (!log_sidemv__moved_with(r->path, r->id, name)) return false;
      at_old = true;
      continue;
    }
    if (fresh) {
      if (!at_old) log_sidemv__settle(r->path); /* the old copy's, where its mover died */
      log_seal_header made = {};
      made.version = LOG_SEAL_SIDECAR_VERSION;
      made.entry_size = (uint32_t)SEAL_ENTRY;
      made.log_volume = r->id.volume;
      made.log_index = r->id.index;
      memcpy(h, &made, sizeof made);
      memcpy(h->magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h->magic); /* last: a whole header */
      st->seal_count = 0;
      if (!log_side__chain_kept(st)) chain_from_old(r->path, st);
      return true;
    }
    if (memcmp(h->magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h->magic) != 0 ||
        h->version != LOG_SEAL_SIDECAR_VERSION || h->entry_size != SEAL_ENTRY) {
      log_held__drop_sidecar(s, true);
      if (!not_sidecar_said)
        r->said |= at_old ? LOG_REC_SAID_NO_OLD_SEAL_FILE : LOG_REC_SAID_NO_SEAL_FILE;
      not_sidecar_said = true;
      return false;
    }
    if (h->log_volume != r->id.volume || h->log_index != r->id.index) {
      log_held__drop_sidecar(s, true);
      if (!at_old && log_sidemv__file_is(r->path, "", r->id)) {
        log_sidemv__move(r->path); /* a stray beside this log: moved on */
        continue;
      }
      /* this log was moved aside under a writer that still held a lock file that was
         removed: its seals go beside it */
      if (at_old || !log_sidemv__moved_with(r->path, r->id, name)) return false;
      at_old = true;
      continue;
    }
    count_from_sidecar(r, st);
    return true;
  }
  return false;
}

bool log_side__earlier_release(const char *path) {
  char name[LOG_CHK_NAME_SIZE];
  if (!log_sidemv__name(name, path, false)) return false;
  int f = sys__open(name, _O_RDONLY | _O_BINARY, 0);
  if (f < 0) return false;
  log_seal_header h;
  bool earlier = sys__read(f, &h, sizeof h) == (int)sizeof h &&
                 memcmp(h.magic, LOG_SEAL_SIDECAR_MAGIC, sizeof h.magic) == 0 && h.version == 1;
  sys__close(f);
  return earlier;
}

void log_side__end(log_record *r) {
  log_sidecar &mine = r->seals.sidecar;
  if (mine.file == INVALID_HANDLE_VALUE && mine.view == nullptr) return;
  if (r->held != nullptr) {
    log_held__drop_sidecar(&r->held->seals, true);
    r->held->seals = mine;
  } else {
    log_held__drop_sidecar(&mine, true);
  }
  mine = log_sidecar();
}

void log_side__drop(log_record *r) {
  log_held__drop_sidecar(&r->seals.sidecar, true);
  if (r->held != nullptr) log_held__drop_sidecar(&r->held->seals, true);
}

bool log_side__stored_before(const log_sidecar *s, uint64_t at, log_seal_entry *out) {
  for (uint64_t i = at; i-- > 0;) {
    const log_seal_entry *e = log_side__entry_at(s, i);
    uint32_t type = __atomic_load_n(&e->type, __ATOMIC_ACQUIRE);
    for (int spins = 0; type == LOG_SEAL_CLAIMED && spins < CLAIMED_SPINS; spins++)
      type = __atomic_load_n(&e->type, __ATOMIC_ACQUIRE);
    if (type == LOG_SEAL_RECORD || type == LOG_SEAL_ORPHAN || type == LOG_SEAL_ROTATION) {
      memcpy(out, e, sizeof *out);
      return true;
    }
  }
  return false;
}

log_seal_entry *log_side__claim(log_sidecar *s, uint64_t *at) {
  for (;; (*at)++) {
    if (!log_side__map(s, log_side__bytes_to(*at))) return nullptr;
    log_seal_entry *slot = log_side__entry_at(s, *at);
    uint32_t none = 0;
    if (__atomic_compare_exchange_n(&slot->type, &none, LOG_SEAL_CLAIMED, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE))
      return slot;
  }
}

void log_side__fill(log_seal_entry *slot, const log_seal_entry &e) {
  memcpy(reinterpret_cast<char *>(slot) + sizeof slot->type,
         reinterpret_cast<const char *>(&e) + sizeof e.type, SEAL_ENTRY - sizeof e.type);
  __atomic_store_n(&slot->type, e.type, __ATOMIC_RELEASE);
}
