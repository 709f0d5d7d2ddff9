/*
** log_set.h - the settings records are written by: pointers into the data
** file's shared segment (its error record and this process's audit slot),
** or into the built-in defaults, and the looks at the data file before
** they are used. The library's, used under its write lock; the levels are
** read without it, through the pointers published for the level tests.
*/
#ifndef VEZ_LOG_SET_H
#define VEZ_LOG_SET_H

#include "vezlog.h"

/* the segment attached (null: none), and the records in force (null until there are) */
extern ErrorAuditSegment *log_set__segment;
extern ErrorInfo *log_set__error_info;
extern AuditInfo *log_set__audit_info;

/* the built-in defaults, as a whole segment: what a view of a cut data file reads */
const ErrorAuditSegment *log_set__built_in(void);

/* the records of segment in force (its error record, and audit slot slot), their levels
   published; with a null segment, none, the levels the fallback ones */
void log_set__point_into(ErrorAuditSegment *segment, int slot);

/* the level pointers the level tests read (the segment's, or the fallback levels) */
void log_set__publish_levels(int32_t *error_level, int32_t *audit_level);

/*
** The first three settings, read once for a record: an error record's are
** its ErrorInfo's. A size limit of 0 or less read from the data file
** (damaged: the settings tool and the library store none) is no limit a
** log could keep: the built-in one applies, never a rotation at every
** record.
*/
AuditInfo log_set__of_error(const ErrorInfo *info);
AuditInfo log_set__of_audit(const AuditInfo *info);

/*
** The data file watched, once it is attached (its name's way, and the file
** itself), and one look at it before its settings are used for a record
** (or an error's level test): a file cut partway, or to nothing, leaves
** the process on the built-in defaults, never on the zeros past the cut; a
** file replaced is followed. Said once, after the record (shm__news).
** Where nothing watched changed since the last look, nothing is looked at
** unless full is set.
*/
void log_set__watch(void);
void log_set__look(bool full);

/*
** The settings a record is written by, looked at again once its log is
** locked (where anything watched changed since they were read: a data file
** replaced is followed by this very record): false where its level no
** longer lets it be written. As log_msg_settings_now asks.
*/
bool log_set__error_now(int message_level, AuditInfo *settings);
bool log_set__audit_now(int message_level, AuditInfo *settings);

#endif /* VEZ_LOG_SET_H */
