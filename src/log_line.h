/*
** log_line.h - a record's lines, formatted into the record in hand: the
** header, the description and the hex dump in its full or short form. No
** I/O here: the record's buffer takes the lines (log_rec.h).
*/
#ifndef VEZ_LOG_LINE_H
#define VEZ_LOG_LINE_H

#include "log_rec.h"

/* the header line; its time is the clock's now, kept in r->header_times */
void log_line__header(log_record *r, int configured_level, int message_level, const char *process,
                      const char *source, int line, int error_code);
/* "Desc:" and the description in lines of LOG_FORMAT_DESC_WIDTH characters; a line break
   in it starts a continuation line, never a line of its own */
void log_line__description(log_record *r, const char *description);
/* count bytes of data in the form hex_dumps selects (1 the full form, else the short one);
   nothing for count <= 0 or no data */
void log_line__hex_dump(log_record *r, const void *data, int count, int hex_dumps);

#endif /* VEZ_LOG_LINE_H */
