/*
** log_stde.cpp - the sink of nested messages. A message raised inside the
** writing of another (by the lock or rotation code) cannot be written
** without recursing into the writer; it is dropped, not even shown, and
** only counted.
*/
#include "log_stde.h"

#include "log_msg.h"

void log_stde__log_to_stderr(int, int, const void *, int, const char *, const char *, int,
                             const char *, const void *, int) {
  log_msg__drops.nested++;
}
