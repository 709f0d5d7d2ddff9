/*
** log_stde.cpp - the sink of nested messages. A message raised inside the
** writing of another (by the lock or rotation code) cannot be written
** without recursing into the writer; it is dropped, not even shown.
*/
#include "log_stde.h"

void log_stde__log_to_stderr(int, int, const void *, int, const char *, const char *, int,
                             const char *, const void *, int) {}
