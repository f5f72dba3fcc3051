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
  bool expect = h[1] == ' ';
  unsigned long long want = 0;
  const char* hex = "0123456789abcdef0123456789ABCDEF";
  for (int i = 2; i < 10 && expect; ++i) {
    const char* p = h[i] ? strchr(hex, h[i]) : nullptr;
    if (p)
      want = want * 16 + static_cast<unsigned>(p - hex) % 16;
    else
      expect = false;
  }
  uint64_t got = 12345;
  bool ok = ParseFrameHeader(h, got);
  FUZZ_CHECK(ok == expect);
  if (ok) FUZZ_CHECK(got == want);
  if (!ok) FUZZ_CHECK(got == 12345);

  // Round trip through the sender's frame for a length taken from the input.
  unsigned len = static_cast<unsigned>(data[2]) | (static_cast<unsigned>(data[3]) << 8);
  len %= 4096;
  LinkBufferToSendClass rec;
  rec.m_OwnsBuffer = true;
  std::string payload(len, 'p');
  rec.BuildBuffer(payload.data(), len);
  uint64_t back = 0;
  FUZZ_CHECK(ParseFrameHeader(rec.m_pBuffer, back) && back == len);
  FUZZ_CHECK(rec.m_pBuffer[0] == 'a' && rec.m_Size == len + 10);
  return 0;
}
