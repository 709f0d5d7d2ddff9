/*
** fuzz_record.cpp - any settings, description and data through the record
** writer: header, description and both dump forms, with rotation.
*/
#include <stdint.h>
#include <string.h>

#include <string>

#include "log_msg.h"
#include "platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string log;
  if (log.empty()) {
    char tmp[MAX_PATH];
    GetTempPathA(sizeof tmp, tmp);
    log = std::string(tmp) + "fuzz-record-" + std::to_string((long)GetTickCount());
  }
  if (size < 16) return 0;
  int32_t fields[4];
  memcpy(fields, data, sizeof fields);
  data += 16;
  size -= 16;
  /* small sizes, so that the log rotates instead of growing */
  AuditInfo settings = {fields[0] % 70, fields[1], fields[2] % 4};
  size_t split = size == 0 ? 0 : (size_t)(uint32_t)fields[3] % (size + 1);
  std::string description(reinterpret_cast<const char *>(data), split);
  std::string process(reinterpret_cast<const char *>(data), split < 40 ? split : 40);
  log_msg__log_message(log.c_str(), fields[3] & 1, fields[1] ^ fields[3], &settings, fields[2],
                       process.c_str(), description.c_str(), fields[0], description.c_str(),
                       data + split, (int)(size - split));
  return 0;
}
