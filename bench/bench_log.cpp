/*
** bench_log.cpp - what a log call costs: a message filtered by its level
** beside an empty call (the floor), and a written error record with and
** without a dump. Also counts the heap allocations made per record, which
** must be none once the library is initialised.
*/
#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "vezlog.h"

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

__attribute__((noinline)) void empty_call(int level, const char *, int, const char *,
                                          const void *, int) {
  benchmark::DoNotOptimize(level);
}

/* a registry file and a data file of our own, and the library attached to them */
void attach() {
  char tmpl[] = "/tmp/vezbench-XXXXXX";
  dir = mkdtemp(tmpl);
  std::string reg = dir + "/registry.reg", data = dir + "/data.dat";
  FILE *f = fopen(reg.c_str(), "w");
  fprintf(f, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quendrix\\VEZ]\n\"LOG_DATAFILE\"=\"%s\"\n"
             "\"LOGPATH\"=\"%s\"\n", data.c_str(), dir.c_str());
  fclose(f);
  /* errors on with full dumps, no notices, 2 MiB logs; audit level 0 */
  ErrorAuditSegment seg;
  memset(&seg, 0, sizeof seg);
  seg.error.hex_dumps = 1;
  seg.error.level = 1;
  seg.error.max_file_size = 4096;
  f = fopen(data.c_str(), "w");
  fwrite(&seg, 1, sizeof seg, f);
  fclose(f);
  setenv("VEZ_REGISTRY", reg.c_str(), 1);
  log__init_error_audit(1, "bench");
}

void BM_Floor_EmptyCall(benchmark::State &state) {
  for (auto _ : state) empty_call(15, "src", 1, "filtered", nullptr, 0);
}

void BM_FilteredAudit(benchmark::State &state) {
  for (auto _ : state) log__log_audit(15, "src", 1, "filtered", nullptr, 0);
}

void BM_FilteredDevmsg(benchmark::State &state) {
  for (auto _ : state) log__log_devmsg(15, "src", 1, "filtered", nullptr, 0);
}

void BM_ErrorRecord(benchmark::State &state) {
  unsigned char data[64];
  for (int i = 0; i < 64; i++) data[i] = (unsigned char)i;
  int length = (int)state.range(0);
  long before = allocations;
  long records = 0;
  for (auto _ : state) {
    log__log_error(1, "..\\..\\src\\bench", 42, "a benchmark record", data, length);
    records++;
  }
  state.counters["allocs_per_record"] = (double)(allocations - before) / (double)records;
}

} // namespace

BENCHMARK(BM_Floor_EmptyCall);
BENCHMARK(BM_FilteredAudit);
BENCHMARK(BM_FilteredDevmsg);
BENCHMARK(BM_ErrorRecord)->Arg(0)->Arg(64);

int main(int argc, char **argv) {
  /* With TZ unset, glibc's localtime reloads the zone at every call and allocates
     while doing so; that cost is the C library's, not the logging library's. */
  if (getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 1);
  attach();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::string cmd = "rm -rf " + dir;
  return system(cmd.c_str()) == 0 ? 0 : 1;
}
