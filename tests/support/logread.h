/*
** logread.h - reading log files back: records split into header fields,
** description and dump lines, and full-form dump lines decoded to bytes.
*/
#ifndef VEZ_LOGREAD_H
#define VEZ_LOGREAD_H

#include <string>
#include <vector>

namespace testenv {

struct record {
  int message_level = 0, configured_level = 0;
  long long error_code = 0;
  std::string origin, desc;
  std::vector<std::string> continuation; /* description lines after the first */
  std::vector<std::string> dump;
  bool whole = true; /* false when a line of it fits no part of a record */
};

/* the records of a log file's text; lines before the first header are a record of their own,
   not whole */
std::vector<record> records(const std::string &text);
std::vector<std::string> descs(const std::vector<record> &rs);

/* the bytes of full-form dump lines; false when a line is not one or offsets do not follow */
bool decode_full_dump(const std::vector<std::string> &lines, std::string *bytes);

} // namespace testenv

#endif /* VEZ_LOGREAD_H */
