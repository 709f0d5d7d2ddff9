/*
** log_said.h - the words of what a record met on its way (the bits of
** log_record's said): each is reported after the record, as an error
** record of the module it is about, with its fixed source and line that
** operators and tools match on, and its data (the name it is about, if
** any).
*/
#ifndef VEZ_LOG_SAID_H
#define VEZ_LOG_SAID_H

#include <stdint.h>

constexpr int LOG_SAID_DATA = 260;

struct log_said_report {
  const char *source;
  int line;
  const char *message;
  char data[LOG_SAID_DATA];
  int length;
  uint32_t code; /* the error code the report carries (0: the one the system left last) */
};

/* the report of one LOG_REC_SAID_ bit met by a record of the log at path */
void log_said__report(uint32_t said, const char *path, log_said_report *out);

#endif /* VEZ_LOG_SAID_H */
