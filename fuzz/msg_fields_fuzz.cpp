// The four field scanners against a reference parser, on exact-size buffers.
// Input: a wanted field name (FuzzedDataProvider random-length string: ends at
// a backslash followed by any byte but a backslash), then the message text;
// the last byte sets maxlen (-2..40), the one before it picks the wanted name
// from the text's own fields (0..6) or keeps the given one (7).
#include <FuzzedDataProvider.h>
#include <stdint.h>

#include <algorithm>
#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/msg_fields.h"

namespace {

using std::string;
constexpr size_t kNpos = string::npos;

// One call's outcome: result, name and value as delivered, cursor offset.
struct Expect {
  int rc;
  string name, value;
  size_t cursor;
  bool operator==(const Expect& o) const {
    return rc == o.rc && name == o.name && value == o.value && cursor == o.cursor;
  }
};

// One step of msg_next_field from offset `at`, written with string searches:
// the name is cut at 255 bytes, the value at `bound`; -1 keeps the cursor.
Expect RefNext(const string& t, size_t at, size_t bound) {
  const size_t lt = t.find('<', at), gt = t.find('>', lt + 1);
  if (lt == kNpos) return {0, "", "", t.size()};
  if (gt == kNpos) return {-1, t.substr(lt + 1, 255), "", at};
  const size_t n = std::min(std::min(t.find('<', gt + 1), t.size()) - gt - 1, bound);
  return {1, t.substr(lt + 1, std::min<size_t>(gt - lt - 1, 255)), t.substr(gt + 1, n), gt + 1 + n};
}

// One call of msg_find_field from offset `at`: past fields whose whole name
// differs, then as msg_next_field but without the name.
Expect RefFind(const string& t, size_t at, const string& wanted, size_t bound) {
  while (at < t.size()) {
    const size_t lt = t.find('<', at), gt = t.find('>', lt + 1);
    if (lt == kNpos) return {0, "", "", t.size()};
    if (gt == kNpos) return {-1, "", "", at};
    if (t.compare(lt + 1, gt - lt - 1, wanted) == 0)
      return {1, "", RefNext(t, lt, bound).value, RefNext(t, lt, bound).cursor};
    at = gt + 1;
  }
  return {0, "", "", at};
}

// Calls `scan` from the start of `t` until it gives 0 or -1; each outcome must
// be the reference's (a value is only written with 1), and the text must stay
// as it was.
template <class Scan, class Ref>
void Walk(const string& t, Scan scan, Ref ref) {
  ExactBuffer text = CString(t);
  char* cursor = text.get();
  for (size_t step = 0;; ++step) {
    FUZZ_CHECK(step <= t.size() / 2 + 1);  // a field moves the cursor over "<>" at least
    const size_t at = static_cast<size_t>(cursor - text.get());
    Expect got = scan(&cursor), want = ref(at);
    got.cursor = static_cast<size_t>(cursor - text.get());
    if (want.rc != 1) want.value = "\x01kept";
    FUZZ_CHECK(got == want);
    if (got.rc != 1) break;
  }
  FUZZ_CHECK(memcmp(text.get(), t.c_str(), t.size() + 1) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const long maxlen = fdp.ConsumeIntegralInRange<long>(-2, 40);
  const size_t bound = maxlen > 0 ? static_cast<size_t>(maxlen) : 0;
  const int pick = fdp.ConsumeIntegralInRange<int>(0, 7);
  string wanted = fdp.ConsumeRandomLengthString(300).c_str();
  const string text = fdp.ConsumeRemainingBytesAsString().c_str();  // the scanners stop at a NUL
  for (size_t i = 0, at = 0; pick < 7; ++i) {  // a name that occurs, so matches are common
    const Expect e = RefNext(text, at, kNpos);
    if (e.rc != 1) break;
    if (i == static_cast<size_t>(pick)) {
      const size_t lt = text.find('<', at);
      wanted = text.substr(lt + 1, text.find('>', lt) - lt - 1);  // whole, uncut
      break;
    }
    at = e.cursor;
  }

  ExactBuffer name(kMsgFieldNameSize), value(bound + 1);
  auto left = [&](int rc) -> string {  // what the call left in `value`
    return rc != 1 && value.get()[0] == '\x01' ? "\x01kept" : value.get();
  };
  Walk(
      text,
      [&](char** c) {
        value.get()[0] = '\x01';
        const int rc = msg_next_field(c, name.get(), value.get(), maxlen);
        return Expect{rc, name.get(), left(rc), 0};
      },
      [&](size_t at) { return RefNext(text, at, bound); });
  Walk(
      text,
      [&](char** c) {
        Expect e{0, "", "\x01kept", 0};
        e.rc = msg_next_field_2(c, name.get(), e.value);
        e.name = name.get();
        return e;
      },
      [&](size_t at) { return RefNext(text, at, kNpos); });
  Walk(
      text,
      [&](char** c) {
        value.get()[0] = '\x01';
        const int rc = msg_find_field(c, wanted.c_str(), value.get(), maxlen);
        return Expect{rc, "", left(rc), 0};
      },
      [&](size_t at) { return RefFind(text, at, wanted, bound); });
  ExactBuffer whole = CString(text), got(bound + 1);  // msg_get_field: the first such field
  const Expect first = RefFind(text, 0, wanted, bound);
  FUZZ_CHECK(msg_get_field(whole.get(), wanted.c_str(), got.get(), maxlen) == first.rc);
  FUZZ_CHECK(first.rc != 1 || got.get() == first.value);
  return 0;
}
