/*
** bench_log.cpp - what a log call costs.
**
** A message filtered by its level beside an empty call (the floor); a
** written error record; and, where they are
** installed, the peers: spdlog's filtered debug() and its file sink flushed
** after every record, and log4cplus's rolling file appender with its lock
** file and an immediate flush (the one other library that lets processes
** share one rotating file), both given the same record text; and the floor
** of any writer that shares a file between processes under a lock: a bare
** loop of flock, one write of the same bytes to a descriptor opened for
** appending, and flock(LOCK_UN). Also counts the heap allocations made per
** record.
**
**   bench_log --contend N ours|bare MS
**
** runs N processes writing records flat out for MS milliseconds (ours with
** a lock wait, no rotation; or the bare loop, its lock waited for) and
** prints the records per second of them all, and the records dropped.
*/
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "vezlog.h"

#if VEZ_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif
#if VEZ_HAVE_LOG4CPLUS
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#endif

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

static long allocations = 0;

/* every allocation of the process passes here, the library's included */
extern "C" void *malloc(size_t n) {
  allocations++;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b) {
  allocations++;
  return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n) {
  allocations++;
  return __libc_realloc(p, n);
}

namespace {

std::string dir;
unsigned char data64[64];

#if VEZ_BENCH_SHARED
} // namespace
/* the floor of a call into a shared object, from that object */
extern "C" void vez_bench_empty_call(int, const char *, int, const char *, const void *, int);
namespace {
#define empty_call vez_bench_empty_call
#else
__attribute__((noinline)) void empty_call(int level, const char *, int, const char *, const void *,
                                          int) {
  benchmark::DoNotOptimize(level);
}
#endif

/* a registry file and a data file of our own, and the library attached to them, in a
   directory only this user may write, under the current one (VEZ_BENCH_DIR names another
   parent: a group-writable one measures the shared-directory rules); with VEZ_BENCH_SEALED
   set, a sealing state beside the data file (made by vezcat, from beside this program), so
   that every record is sealed */
/* the data file: errors on with full dumps and this size limit (in 512-byte units), no
   notices, audit level 0 */
void write_error_settings(const std::string &path, int32_t max_file_size) {
  ErrorAuditSegment seg;
  memset(&seg, 0, sizeof seg);
  seg.error.hex_dumps = 1;
  seg.error.level = 1;
  seg.error.max_file_size = max_file_size;
  FILE *f = fopen(path.c_str(), "w");
  fwrite(&seg, 1, sizeof seg, f);
  fclose(f);
}

void attach(const char *program) {
  const char *parent = getenv("VEZ_BENCH_DIR");
  std::string tmpl = std::string(parent != nullptr ? parent : ".") + "/vezbench-XXXXXX";
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  char resolved[4096];
  if (mkdtemp(name.data()) == nullptr || realpath(name.data(), resolved) == nullptr) {
    perror("vezbench directory");
    exit(1);
  }
  dir = resolved;
  std::string reg = dir + "/registry.reg", data = dir + "/data.dat";
  FILE *f = fopen(reg.c_str(), "w");
  fprintf(f,
          "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\n\"LOG_DATAFILE\"=\"%s\"\n"
          "\"LOGPATH\"=\"%s\"\n",
          data.c_str(), dir.c_str());
  fclose(f);
  /* errors on with full dumps, no notices, 2 MiB logs; audit level 0 */
  write_error_settings(data, 4096);
  setenv("VEZ_REGISTRY", reg.c_str(), 1);
  if (getenv("VEZ_BENCH_SEALED") != nullptr) {
    std::string bin = program;
    bin = bin.substr(0, bin.rfind('/') + 1);
    if (system((bin + "vezcat --setup-keys >/dev/null").c_str()) != 0) {
      fprintf(stderr, "bench: cannot make a sealing state\n");
      exit(1);
    }
  }
  log__init_error_audit(1, "bench");
  for (int i = 0; i < 64; i++)
    data64[i] = (unsigned char)(i * 7);
}

void BM_Floor_EmptyCall(benchmark::State &state) {
  for (auto _ : state)
    empty_call(15, "src", 1, "filtered", nullptr, 0);
}

void BM_FilteredAudit(benchmark::State &state) {
  for (auto _ : state)
    log__log_audit(15, "src", 1, "filtered", nullptr, 0);
}

void BM_FilteredDevmsg(benchmark::State &state) {
  for (auto _ : state)
    log__log_devmsg(15, "src", 1, "filtered", nullptr, 0);
}

void BM_ErrorRecord(benchmark::State &state) {
  int length = (int)state.range(0);
  long before = allocations, records = 0;
  for (auto _ : state) {
    log__log_error(1, "..\\..\\src\\bench", 42, "a benchmark record", data64, length);
    records++;
  }
  state.counters["allocs_per_record"] = (double)(allocations - before) / (double)records;
}

/* threads of one process writing records at once: records per second, all threads */
void BM_ErrorRecordThreads(benchmark::State &state) {
  for (auto _ : state)
    log__log_error(1, "..\\..\\src\\bench", 43, "a threaded record", data64, 64);
  state.SetItemsProcessed(state.iterations());
}

/* the record's lines as the library writes them, formatted once */
std::vector<std::string> record_lines(int length) {
  std::vector<std::string> lines = {
      "------12/07 05:05:23   1/1  err:0   bench(..\\..\\src\\bench:42)\n",
      "Desc:a benchmark record\n"};
  for (int off = 0; off < length; off += 16) {
    char line[96];
    snprintf(line, sizeof line, "%03x%73s\n", off, " ");
    lines.push_back(line);
  }
  return lines;
}

#if VEZ_HAVE_SPDLOG
void BM_Spdlog_FilteredDebug(benchmark::State &state) {
  static auto logger = spdlog::basic_logger_mt("filtered", dir + "/spd-filtered");
  logger->set_level(spdlog::level::info);
  for (auto _ : state)
    logger->debug("filtered {}", 15);
}

void BM_Spdlog_FileFlushEachRecord(benchmark::State &state) {
  static auto logger = spdlog::basic_logger_mt("flushed", dir + "/spd-flushed");
  logger->flush_on(spdlog::level::trace);
  std::vector<std::string> lines = record_lines((int)state.range(0));
  std::string dump;
  for (size_t i = 2; i < lines.size(); i++)
    dump += lines[i];
  for (auto _ : state)
    logger->error("a benchmark record\n{}", dump);
}
BENCHMARK(BM_Spdlog_FilteredDebug);
BENCHMARK(BM_Spdlog_FileFlushEachRecord)->Arg(0)->Arg(64);
#endif

/* the bare locked append: a lock file and a log opened for appending, once */
struct bare_log {
  int lock = -1, log = -1;
  std::string bytes; /* the record, as ours stores it */
};

bare_log bare_open(int length, const char *name) {
  bare_log b;
  std::string base = dir + "/" + name;
  b.lock = open((base + ".lok").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  b.log = open(base.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  for (const std::string &l : record_lines(length))
    b.bytes += l.substr(0, l.size() - 1) + "\r\n";
  return b;
}

/* one record's worth: the lock (waited for), one write, the unlock */
inline void bare_append(const bare_log &b) {
  flock(b.lock, LOCK_EX);
  benchmark::DoNotOptimize(write(b.log, b.bytes.data(), b.bytes.size()));
  flock(b.lock, LOCK_UN);
}

void BM_Floor_LockedAppend(benchmark::State &state) {
  static bare_log b = bare_open((int)state.range(0), "bare-floor");
  for (auto _ : state)
    bare_append(b);
}
BENCHMARK(BM_Floor_LockedAppend)->Arg(0)->Arg(64);

#if VEZ_HAVE_LOG4CPLUS
/* the record's text after its header line, with the line ends a log of ours stores */
std::string body_of(int length) {
  std::vector<std::string> lines = record_lines(length);
  std::string body;
  for (size_t i = 1; i < lines.size(); i++)
    body += lines[i].substr(0, lines[i].size() - 1) + (i + 1 < lines.size() ? "\r\n" : "");
  return body;
}

/* a rolling file of 2 MiB and one backup, its lock file, flushed at every record: what
   lets processes share a log */
log4cplus::Logger &log4cplus_logger() {
  static log4cplus::Initializer initializer;
  static log4cplus::Logger logger = [] {
    log4cplus::helpers::Properties p;
    p.setProperty(LOG4CPLUS_TEXT("File"), dir + "/l4c");
    p.setProperty(LOG4CPLUS_TEXT("MaxFileSize"), LOG4CPLUS_TEXT("2MB"));
    p.setProperty(LOG4CPLUS_TEXT("MaxBackupIndex"), LOG4CPLUS_TEXT("1"));
    p.setProperty(LOG4CPLUS_TEXT("ImmediateFlush"), LOG4CPLUS_TEXT("true"));
    p.setProperty(LOG4CPLUS_TEXT("UseLockFile"), LOG4CPLUS_TEXT("true"));
    p.setProperty(LOG4CPLUS_TEXT("LockFile"), dir + "/l4c.lock");
    log4cplus::SharedAppenderPtr appender(new log4cplus::RollingFileAppender(p));
    /* a header line of the same shape as ours: time, levels, code, process and source */
    appender->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(
        LOG4CPLUS_TEXT("------%D{%m/%d %H:%M:%S}   1/1  err:0   bench(%F:%L)\r\n%m\r\n"))));
    log4cplus::Logger l = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("bench"));
    l.addAppender(appender);
    return l;
  }();
  return logger;
}

void BM_Log4cplus_LockFileFlushEachRecord(benchmark::State &state) {
  log4cplus::Logger &logger = log4cplus_logger();
  std::string body = body_of((int)state.range(0));
  for (auto _ : state)
    LOG4CPLUS_ERROR_STR(logger, body);
}
BENCHMARK(BM_Log4cplus_LockFileFlushEachRecord)->Arg(0)->Arg(64);

/*
** The three side by side: bursts of records of each, one after the other,
** so that a machine whose speed drifts (a shared one) slows all alike. The
** time of each is the sum of its bursts; the counters are ns per record.
*/
void BM_Peers_SideBySide(benchmark::State &state) {
  int length = (int)state.range(0);
  log4cplus::Logger &logger = log4cplus_logger();
  std::string body = body_of(length);
  static bare_log bare[2] = {bare_open(0, "bare-0"), bare_open(64, "bare-64")};
  const bare_log &b = bare[length > 0];
  constexpr int BURST = 200;
  double ours = 0, theirs = 0, floor = 0;
  long records = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < BURST; i++)
      log__log_error(1, "..\\..\\src\\bench", 42, "a benchmark record", data64, length);
    auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < BURST; i++)
      LOG4CPLUS_ERROR_STR(logger, body);
    auto t2 = std::chrono::steady_clock::now();
    for (int i = 0; i < BURST; i++)
      bare_append(b);
    auto t3 = std::chrono::steady_clock::now();
    ours += std::chrono::duration<double, std::nano>(t1 - t0).count();
    theirs += std::chrono::duration<double, std::nano>(t2 - t1).count();
    floor += std::chrono::duration<double, std::nano>(t3 - t2).count();
    records += BURST;
  }
  state.counters["ours_ns"] = ours / (double)records;
  state.counters["log4cplus_ns"] = theirs / (double)records;
  state.counters["bare_ns"] = floor / (double)records;
  state.counters["ratio"] = ours / theirs;
  state.counters["ratio_bare"] = ours / floor;
}
BENCHMARK(BM_Peers_SideBySide)->Arg(0)->Arg(64)->Iterations(100)->Repetitions(5);
#endif

} // namespace

BENCHMARK(BM_Floor_EmptyCall);
BENCHMARK(BM_FilteredAudit);
BENCHMARK(BM_FilteredDevmsg);
BENCHMARK(BM_ErrorRecord)->Arg(0)->Arg(64);
BENCHMARK(BM_ErrorRecordThreads)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

/*
** Sealed records beside unsealed ones, in bursts of 200 of each, in one
** process: the sealing state beside the data file is moved in and out of
** its name between bursts (the writer notices at its next record).
*/
std::string bin_dir;
void BM_Sealing_SideBySide(benchmark::State &state) {
  int length = (int)state.range(0);
  std::string st = dir + "/sealing.dat", off = dir + "/sealing.off";
  if (access(st.c_str(), F_OK) != 0 && access(off.c_str(), F_OK) != 0 &&
      system((bin_dir + "vezcat --setup-keys >/dev/null").c_str()) != 0) {
    state.SkipWithError("cannot make a sealing state");
    return;
  }
  if (access(st.c_str(), F_OK) == 0) rename(st.c_str(), off.c_str());
  constexpr int BURST = 200;
  double sealed = 0, plain = 0;
  long records = 0;
  for (auto _ : state) {
    for (int round = 0; round < 2; round++) {
      bool sealing = round == 1;
      if (sealing) rename(off.c_str(), st.c_str());
      log__log_error(1, "..\\..\\src\\bench", 41, "a benchmark record", data64, length);
      auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < BURST; i++)
        log__log_error(1, "..\\..\\src\\bench", 42, "a benchmark record", data64, length);
      auto t1 = std::chrono::steady_clock::now();
      (sealing ? sealed : plain) += std::chrono::duration<double, std::nano>(t1 - t0).count();
      if (sealing) rename(st.c_str(), off.c_str());
    }
    records += BURST;
  }
  state.counters["sealed_ns"] = sealed / (double)records;
  state.counters["unsealed_ns"] = plain / (double)records;
  state.counters["ratio"] = sealed / plain;
}
BENCHMARK(BM_Sealing_SideBySide)->Arg(0)->Arg(64)->Iterations(100)->Repetitions(5);

/* processes writing flat out for ms milliseconds: records per second of them all */
int contend(int processes, bool ours, int ms) {
  if (ours) {
    /* a lock wait long enough that nothing is dropped, and no rotation */
    FILE *f = fopen(getenv("VEZ_REGISTRY"), "a");
    fprintf(f, "\"LOGLOCKWAIT\"=dword:00002710\n");
    fclose(f);
    write_error_settings(dir + "/data.dat", 2000000);
  }
  int pipes[2];
  if (pipe(pipes) != 0) return 1;
  auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  for (int p = 0; p < processes; p++) {
    if (fork() != 0) continue;
    bare_log b;
    if (!ours) b = bare_open(64, "bare-contended");
    std::this_thread::sleep_until(start);
    auto end = start + std::chrono::milliseconds(ms);
    long n = 0;
    while (std::chrono::steady_clock::now() < end) {
      for (int i = 0; i < 50; i++) {
        if (ours)
          log__log_error(1, "..\\..\\src\\bench", 44, "a contended record", data64, 64);
        else
          bare_append(b);
      }
      n += 50;
    }
    log__drop_counts d = {};
    log__get_drop_counts(&d);
    long out[2] = {n, (long)d.lock_held};
    _exit(write(pipes[1], out, sizeof out) == (ssize_t)sizeof out ? 0 : 1);
  }
  close(pipes[1]);
  long total = 0, dropped = 0, got[2];
  while (read(pipes[0], got, sizeof got) == (ssize_t)sizeof got) {
    total += got[0];
    dropped += got[1];
  }
  while (wait(nullptr) > 0) {
  }
  printf("{\"records_per_second\": %.0f, \"dropped\": %ld}\n", (double)total * 1000.0 / ms,
         dropped);
  return 0;
}

int main(int argc, char **argv) {
  bin_dir = argv[0];
  bin_dir = bin_dir.substr(0, bin_dir.rfind('/') + 1);
  /* With TZ unset, glibc's localtime reloads the zone at every call and allocates
     while doing so; that cost is the C library's, not the logging library's. */
  if (getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 1);
  attach(argv[0]);
  if (argc == 5 && strcmp(argv[1], "--contend") == 0) {
    int rc = contend(atoi(argv[2]), strcmp(argv[3], "ours") == 0, atoi(argv[4]));
    std::string cmd = "rm -rf " + dir;
    return system(cmd.c_str()) == 0 ? rc : 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string cmd = "rm -rf " + dir;
  return system(cmd.c_str()) == 0 ? 0 : 1;
}
