/*
** segment.h - where a setting lies in the data file, for the tests that
** read or damage it byte by byte: offsets from the records themselves.
*/
#ifndef VEZ_TEST_SEGMENT_H
#define VEZ_TEST_SEGMENT_H

#include <stddef.h>

#include "vezlog.h"

namespace testenv {

/* fields of a slot (and, the first three, of the error record) */
constexpr size_t HEX_DUMPS = offsetof(AuditInfo, hex_dumps);
constexpr size_t LEVEL = offsetof(AuditInfo, level);
constexpr size_t MAX_FILE_SIZE = offsetof(AuditInfo, max_file_size);

/* the offset of a field of the AuditInfo of slot 0 to 64 */
constexpr size_t audit_at(int slot, size_t field) {
  return offsetof(ErrorAuditSegment, audit) + sizeof(AuditInfo) * (size_t)slot + field;
}

} // namespace testenv

#endif /* VEZ_TEST_SEGMENT_H */
