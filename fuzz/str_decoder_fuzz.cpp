// strDecoder against a one-pass reference, and the reference against the
// literal "replace the first entity until none is left" rule.
//
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

bool RefHasEntity(const string& s) {
  return s.find("&lt;") != string::npos || s.find("&gt;") != string::npos;
}

string RefDecode(const string& s) {
  string out;
  for (size_t i = 0; i < s.size();) {
    if (s.compare(i, 4, "&lt;") == 0) {
      out += '<';
      i += 4;
    } else if (s.compare(i, 4, "&gt;") == 0) {
      out += '>';
      i += 4;
    } else {
      out += s[i++];
    }
  }
  return out;
}

// The rule as first described: quadratic, so only run on short texts.
string RepeatDecode(string s) {
  for (;;) {
    size_t at = s.find("&gt;");
    if (at != string::npos) {
      s.replace(at, 4, ">");
      continue;
    }
    at = s.find("&lt;");
    if (at == string::npos) return s;
    s.replace(at, 4, "<");
  }
}

void CheckBuffer(const string& content, bool terminated, size_t slack) {
  // Without a NUL the buffer is exactly the content's bytes.
  ExactBuffer buf = terminated ? ExactBuffer::CString(content, slack) : ExactBuffer(content.size());
  if (!terminated) memcpy(buf.get(), content.data(), content.size());
  if (terminated) memset(buf.get() + content.size() + 1, 'Z', slack);
  const string before = buf.bytes();
  const unsigned size = static_cast<unsigned>(buf.size());
  FUZZ_CHECK(strDecoder::DecodeBuffer(buf.get(), size) == buf.get());
  if (!RefHasEntity(content)) {
    FUZZ_CHECK(buf.bytes() == before);
    return;
  }
  string want = RefDecode(content);
  want.resize(size, '\0');
  FUZZ_CHECK(buf.bytes() == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool unterminated = fdp.ConsumeBool();
  const size_t slack = fdp.ConsumeIntegralInRange<size_t>(0, 3);
  const string text = fdp.ConsumeRemainingBytesAsString();
  const string ctext(text.c_str());

  const string decoded = RefDecode(text);
  if (text.size() <= 512) FUZZ_CHECK(RepeatDecode(text) == decoded);

  {
    ExactBuffer c = ExactBuffer::CString(ctext);
    FUZZ_CHECK(strDecoder::NeedDecoding(c.get()) == RefHasEntity(ctext));
    FUZZ_CHECK(strDecoder::DecodeStr(c.get()) == RefDecode(ctext));
  }
  std::unique_ptr<string> fresh(strDecoder::DecodeStr_(text));
  FUZZ_CHECK((fresh != nullptr) == RefHasEntity(text));
  if (fresh) FUZZ_CHECK(*fresh == decoded);
  FUZZ_CHECK(strDecoder::DecodeStr(text) == decoded);

  CheckBuffer(ctext, !unterminated || ctext.empty(), slack);
  {
    ExactBuffer none(0);
    FUZZ_CHECK(strDecoder::DecodeBuffer(none.get(), 0) == none.get());
  }
  return 0;
}
