/*
** log_close.h - the intervals of sealing closed. At the end of each
** interval, and before its key is forgotten, a close made with that key
** says where every sealed log's chain then ended and how many generations
** it has had; then the state file's key evolves past it. Whoever finds an
** interval ended and not closed closes it: a writer after its record, or
** "vezcat --seal" run by a timer when no writer writes. The closes are
** kept in "sealing.closes" beside the state, one after another, each
** naming the one before.
**
** Each log is looked at under its own lock (what a writer that died left
** is settled first, as the next writer would): no record of an interval
** closed can be sealed after its close.
*/
#ifndef VEZ_LOG_CLOSE_H
#define VEZ_LOG_CLOSE_H

#include <stdint.h>
#include <time.h>

#include "log_seal.h"

constexpr int LOG_CLOSE_DONE = 0;      /* intervals were closed */
constexpr int LOG_CLOSE_NOTHING = -2;  /* none had ended unclosed */
constexpr int LOG_CLOSE_NO_STATE = -3; /* no sealing state (or none that can be read) */
constexpr int LOG_CLOSE_BUSY = -4;     /* another closes them now */
constexpr int LOG_CLOSE_FAILED = -5;   /* the closes or the state could not be written */
constexpr int LOG_CLOSE_DEFERRED = -6; /* a log's lock was held: left to a later closer */

/* the most logs a close covers, and the room for a close of that many */
constexpr int LOG_CLOSE_LOGS_MAX = 256;
constexpr size_t LOG_CLOSE_SIZE_MAX =
    sizeof(log_seal_close) + LOG_CLOSE_LOGS_MAX * (sizeof(log_seal_close_log) + 264);

struct log_close_result {
  uint64_t first, last; /* the intervals closed */
  int logs;             /* the logs each close covers */
  int held;             /* of which ones whose lock could not be had */
  /* the last close made, whole */
  unsigned char close[LOG_CLOSE_SIZE_MAX];
  size_t length;
};

/*
** Whether an interval ended that this process has not seen closed: cheap
** (nothing is read), so that a writer may ask after each record.
*/
bool log_close__due(time_t now);

/*
** Closes every interval of the sealing state beside data_file that ended
** by now and is not closed, each with its own key, and evolves the state's
** key to now's interval. The logs covered: the ones named (a writer's own,
** or every log of the configuration), every sealed log beside them, and
** every log the last close covered. Each log's lock is waited for wait
** milliseconds at most. A log held longer is not covered, and its records
** of the intervals closed cannot be proved: a closer that may defer
** (a writer, whose wait is short) closes nothing then, as long as a later
** closer has time before the close is late (LOG_CLOSE_DEFERRED); one that
** may not, or finds the close getting late, names the log as held.
** LOG_CLOSE_DONE (*out filled), or one of the codes above.
*/
int log_close__close(const char *data_file, const char *const *logs, int count, time_t now,
                     uint32_t wait, bool may_defer, log_close_result *out);

#endif /* VEZ_LOG_CLOSE_H */
