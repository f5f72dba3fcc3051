// strDecoder against the rule as written: replace an entity ("&lt;", "&gt;")
// until none is left (quadratic, but inputs are a few kilobytes at most).
// Input: the text (it may hold NUL bytes: the std::string forms see them, the
// C forms stop at the first); the last byte chooses a buffer without NUL for
// DecodeBuffer (odd) or one with a NUL, and the one before it the buffer's
// slack behind the NUL (0..3).
#include <FuzzedDataProvider.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/msg_fields.h"

namespace {

using std::string;

string RefDecode(string s) {
  for (size_t at; (at = s.find("&gt;")) != string::npos || (at = s.find("&lt;")) != string::npos;)
    s.replace(at, 4, s[at + 1] == 'g' ? ">" : "<");
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool unterminated = fdp.ConsumeBool();
  const size_t slack = fdp.ConsumeIntegralInRange<size_t>(0, 3);
  const string text = fdp.ConsumeRemainingBytesAsString(), ctext = text.c_str();
  const string decoded = RefDecode(text), cdecoded = RefDecode(ctext);

  ExactBuffer c = CString(ctext);
  FUZZ_CHECK(strDecoder::NeedDecoding(c.get()) == (cdecoded != ctext));
  FUZZ_CHECK(strDecoder::DecodeStr(c.get()) == cdecoded);
  FUZZ_CHECK(strDecoder::DecodeStr(text) == decoded);
  std::unique_ptr<string> fresh(strDecoder::DecodeStr_(text));
  FUZZ_CHECK(fresh ? decoded != text && *fresh == decoded : decoded == text);

  // DecodeBuffer: without a NUL the buffer is exactly the text's bytes.
  ExactBuffer buf =
      unterminated && !ctext.empty() ? ExactBuffer(ctext.size(), ctext) : CString(ctext, slack);
  if (buf.size > ctext.size() + 1) memset(buf.get() + ctext.size() + 1, 'Z', slack);
  string want = cdecoded != ctext ? cdecoded : buf.bytes();
  want.resize(buf.size, '\0');
  FUZZ_CHECK(strDecoder::DecodeBuffer(buf.get(), static_cast<unsigned>(buf.size)) == buf.get());
  FUZZ_CHECK(buf.bytes() == want);
  return 0;
}
