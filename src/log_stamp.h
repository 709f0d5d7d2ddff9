/*
** log_stamp.h - what the lock file's stamp says of its log's last record,
** kept up by every writer of this release, and the mending of a log's end
** by it.
**
** Before each write the stamp says where the record begins, how long it is
** meant to be and that its write is under way; after it, that it is whole.
** A writer killed inside its write leaves a torn record at any byte, a line
** end included, and the next writer knows it by the log's length: it cuts
** the torn record back (only when the bytes there are that record's own,
** nobody having written since) and tells the mend in the log, through the
** stamp, so that a mender killed in turn still gets its mend told by
** whoever writes next. Nothing else is ever cut or added to: a log that
** someone who keeps no stamp wrote (an older release, an operator, a
** writer still holding a lock file that was removed) is written on as it
** is, since only what the stamp proves is a writer's own torn record may
** be taken for one.
*/
#ifndef VEZ_LOG_STAMP_H
#define VEZ_LOG_STAMP_H

#include <stdint.h>
#include <time.h>

#include "flsem.h"
#include "log_rec.h"

/* the lock turned out to be on a lock file no longer in use: another writer may be at the
   log, which is left as it is */
constexpr long long LOG_STAMP_STALE = -100;

/* the stamp (when there is one) as it should be for the log id: its last record ended at
   size, nothing under way */
void log_stamp__whole(flsem_stamp *s, const VEZ_FILE_FACTS &id, long long size);

/*
** Where the log id ends as the stamp s says, with no record under way: the
** end of its last record, as its writer left it; -1 where the stamp does
** not say (none, another log's, a record under way or of unknown length).
*/
long long log_stamp__end(const flsem_stamp *s, const VEZ_FILE_FACTS &id);

/*
** With the lock held and the log open as r->fd, of length size: the log's
** length once its end is whole, by what the stamp says of it (a torn
** record cut back, counted in r->mended and kept to be told);
** LOG_STAMP_STALE.
*/
long long log_stamp__mend_tail(log_record *r, long long size);

/* before the record's first byte goes out: its start, meant length, and under way */
void log_stamp__begin(log_record *r);
/* after it went out whole: the stamp says so */
void log_stamp__written(log_record *r);
/*
** After it failed: the log cut back to where the record began (where what
** went out of it begins: bytes another wrote before it are kept), and the
** stamp says it is whole there; where the cut fails, the stamp goes on
** saying the record is under way, so that the next writer mends it. False
** when the cut failed.
*/
bool log_stamp__cut_back(log_record *r);

/*
** With the lock held: torn records mended in the log (by any writer, one
** killed since included) and not yet told there, and since when; 0 when
** none. log_stamp__mends_told says that a record telling them was stored.
*/
uint32_t log_stamp__untold_mends(time_t *since);
void log_stamp__mends_told(void);

#endif /* VEZ_LOG_STAMP_H */
