// Internal header: the frame header parser shared by the read path, the
// tests and the fuzz targets.
#pragma once

#include <cstdint>

// Parses a strict 10-byte frame header: any type byte, one blank, exactly
// eight hexadecimal digits (either case). False for anything else; `length`
// is then untouched.
inline bool ParseFrameHeader(const char* h, uint64_t& length) {
  if (h[1] != ' ') return false;
  uint64_t v = 0;
  for (int i = 2; i < 10; ++i) {
    unsigned char c = static_cast<unsigned char>(h[i]);
    unsigned d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = (v << 4) | d;
  }
  length = v;
  return true;
}
