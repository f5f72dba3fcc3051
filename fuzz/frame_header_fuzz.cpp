// The frame header alone: accepted exactly when offset 1 is a blank and
// offsets 2..9 are eight hexadecimal digits, with the value the reference
// computes; the type byte is never examined. Also checks that a built frame's
// header parses back to its length.
#include <stdint.h>
#include <string.h>

#include "fuzz/fuzz_check.h"
#include "hx_net/Link.h"
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

  // Round trip through the sender's frame for a length taken from the input.
  const unsigned len = (data[2] | static_cast<unsigned>(data[3]) << 8) % 4096;
  LinkBufferToSendClass rec;
  rec.m_OwnsBuffer = true;
  const std::string payload(len, 'p');
  rec.BuildBuffer(payload.data(), len);
  uint64_t back = 0;
  FUZZ_CHECK(ParseFrameHeader(rec.m_pBuffer, back) && back == len);
  FUZZ_CHECK(rec.m_pBuffer[0] == 'a' && rec.m_Size == len + 10);
  return 0;
}
