/*
** log_msg.h - writes one record into a named log file, preceded by one
** that tells what this process lost since its last record got through.
*/
#ifndef VEZ_LOG_MSG_H
#define VEZ_LOG_MSG_H

#include <stdint.h>

#include "vezlog.h"

/*
** settings: the hex dumps, level and maximum file size in use (an error
** record's are the first three fields of its ErrorInfo). kind: 1 error log,
** 0 audit and device-message logs. What the record met that its caller is
** to report after it: LOG_REC_SAID_ bits (log_rec.h; log_said__report
** gives each one's words).
*/
/*
** settings_now, where given, is asked once the log is locked for the
** settings the record is to be written by now (what changed since the
** caller read them, a data file replaced among them, is followed by this
** record); where it says false the record is not written (nor counted).
*/
typedef bool (*log_msg_settings_now)(int message_level, AuditInfo *settings);
uint32_t log_msg__log_message(const char *path, int kind, int message_level,
                              const AuditInfo *settings, int error_code, const char *process,
                              const char *source, int line, const char *description,
                              const void *data, int length,
                              log_msg_settings_now settings_now = nullptr);

/* the drops of this process; a nested message is counted by its sink */
extern log__drop_counts log_msg__drops;

/* counts a loss in one of log_msg__drops' counters, to be told in the log (at the latest
   when the process ends: log_msg__tell_losses) */
void log_msg__lost(uint32_t *counter);
/* whether records were lost and not told yet (by this process, not its fork's parent) */
bool log_msg__losses_untold(void);
/* the loss record alone, into the log of the last record, the lock waited for wait
   milliseconds at most (a process at its end); what it met, as log_msg__log_message */
uint32_t log_msg__tell_losses(uint32_t wait);

/* a notice reached its device: a device that refuses notices again is told of again */
void log_msg__notice_delivered(void);
/* a notice lost for want of its device (no console): counted, never told in the log */
void log_msg__notice_absent(void);

#endif /* VEZ_LOG_MSG_H */
