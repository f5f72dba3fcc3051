// The frame header: accepted exactly when offset 1 is a blank and offsets 2..9
// are eight hexadecimal digits, with the value the reference computes; the
// type byte is never examined. Built frames are the Link tests' matter.
#include <stdint.h>
#include <string.h>

#include "fuzz/fuzz_check.h"
#include "hx_net/link_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  char h[10];
  memcpy(h, data, 10);
  const long long want = h[1] == ' ' ? RefHex8(h + 2) : -1;
  uint64_t got = 12345;
  const bool ok = ParseFrameHeader(h, got);
  FUZZ_CHECK(ok == (want >= 0));
  FUZZ_CHECK(got == (ok ? static_cast<uint64_t>(want) : 12345));
  return 0;
}
