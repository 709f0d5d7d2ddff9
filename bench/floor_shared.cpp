/*
** floor_shared.cpp - an empty call into a shared object: the floor for a
** filtered message through the shared library.
*/
extern "C" __attribute__((visibility("default"))) void
vez_bench_empty_call(int, const char *, int, const char *, const void *, int) {
  __asm__ volatile("");
}
