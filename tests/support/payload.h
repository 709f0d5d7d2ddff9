/*
** payload.h - the data the stress and thread tests' writers send: record s
** of writer w gets a length from 0 to 512 and bytes that tell them apart.
*/
#ifndef VEZ_TEST_PAYLOAD_H
#define VEZ_TEST_PAYLOAD_H

#include <string>

namespace testenv {

inline std::string payload(int w, int s) {
  int length = (w * 7919 + s * 31) % 513;
  std::string b;
  for (int i = 0; i < length; i++)
    b += (char)((w * 31 + s * 7 + i) & 0xff);
  return b;
}

} // namespace testenv

#endif /* VEZ_TEST_PAYLOAD_H */
