/*
** cli_drops.cpp - the drop counts line, as logmsg -c prints it. Compiled
** into each program that links the logging library, as that program links
** it (static or shared).
*/
#include <stdio.h>

#include "cli_report.h"
#include "vezlog.h"

void cli_report__drop_counts(void) {
  log__drop_counts d;
  log__get_drop_counts(&d);
  fprintf(stderr,
          "dropped: lock_held %lu open_failed %lu nested %lu write_failed %lu"
          " rotation_failed %lu mended %lu notices_lost %lu\n",
          (unsigned long)d.lock_held, (unsigned long)d.open_failed, (unsigned long)d.nested,
          (unsigned long)d.write_failed, (unsigned long)d.rotation_failed, (unsigned long)d.mended,
          (unsigned long)d.notices_lost);
}
