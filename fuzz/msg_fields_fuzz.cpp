// The four field scanners against one reference reading of a field, on
// exact-size buffers. Input: a wanted field name (FuzzedDataProvider
// random-length string: ends at a backslash followed by any byte but a
// backslash), then the message text; the last byte sets maxlen (-2..40), the
// one before it picks the wanted name from the text's own fields (0..6) or
// keeps the given one (7).
#include <FuzzedDataProvider.h>
#include <stdint.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/msg_fields.h"

namespace {

using std::string;

// The first field at or after offset `at`, with string searches: the result,
// the whole name and value, and where the value starts (on 0 the end of the
// text, on -1 `at`).
struct Field {
  int rc;
  string name, value;
  size_t at;
};
Field Ref(const string& t, size_t at) {
  const size_t lt = t.find('<', at), gt = t.find('>', lt + 1);
  if (lt == string::npos) return {0, "", "", t.size()};
  if (gt == string::npos) return {-1, t.substr(lt + 1), "", at};
  return {1, t.substr(lt + 1, gt - lt - 1), t.substr(gt + 1, t.find('<', gt) - gt - 1), gt + 1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const long maxlen = fdp.ConsumeIntegralInRange<long>(-2, 40);
  const size_t bound = maxlen > 0 ? static_cast<size_t>(maxlen) : 0;
  const int pick = fdp.ConsumeIntegralInRange<int>(0, 7);
  string wanted = fdp.ConsumeRandomLengthString(300).c_str();
  const string text = fdp.ConsumeRemainingBytesAsString().c_str();  // the scanners stop at a NUL
  Field f = Ref(text, 0);
  for (int i = 0; i < pick && f.rc == 1; ++i) f = Ref(text, f.at);
  if (pick < 7 && f.rc == 1) wanted = f.name;  // a name that occurs, so matches are common

  ExactBuffer buf = CString(text), name(kMsgFieldNameSize), value(bound + 1);
  auto off = [&](const char* c) { return static_cast<size_t>(c - buf.get()); };
  auto cut = [&](const Field& g) { return g.value.substr(0, bound); };
  // msg_next_field and msg_next_field_2 in step: a bounded value leaves the
  // cursor inside it and the next call skips the rest, so both read the same
  // fields. A value is written only on 1; -1 keeps the cursor.
  for (char *c1 = buf.get(), *c2 = buf.get();;) {
    const size_t was1 = off(c1);
    f = Ref(text, off(c2));
    string whole = "\x01kept";
    value.get()[0] = '\x01';
    const int rc = msg_next_field(&c1, name.get(), value.get(), maxlen);
    FUZZ_CHECK(rc == f.rc && name.get() == f.name.substr(0, 255));
    FUZZ_CHECK(msg_next_field_2(&c2, name.get(), whole) == rc &&
               name.get() == f.name.substr(0, 255));
    if (rc != 1) {
      FUZZ_CHECK(value.get()[0] == '\x01' && whole == "\x01kept");
      FUZZ_CHECK(off(c1) == (rc ? was1 : f.at) && off(c2) == f.at);
      break;
    }
    FUZZ_CHECK(value.get() == cut(f) && off(c1) == f.at + cut(f).size());
    FUZZ_CHECK(whole == f.value && off(c2) == f.at + f.value.size());
  }
  // msg_find_field passes over fields whose whole name differs; on -1 the
  // cursor stays behind the last one passed over.
  auto find = [&](size_t& at) {
    Field g = Ref(text, at);
    for (; g.rc == 1 && g.name != wanted; g = Ref(text, at)) at = g.at;
    return g;
  };
  for (char* c = buf.get();;) {
    size_t at = off(c);
    f = find(at);
    value.get()[0] = '\x01';
    const int rc = msg_find_field(&c, wanted.c_str(), value.get(), maxlen);
    FUZZ_CHECK(rc == f.rc && (rc == 1 ? value.get() == cut(f) : value.get()[0] == '\x01'));
    FUZZ_CHECK(off(c) == (rc == 1 ? f.at + cut(f).size() : rc ? at : text.size()));
    if (rc != 1) break;
  }
  size_t at = 0;  // msg_get_field: the first such field
  f = find(at);
  FUZZ_CHECK(msg_get_field(buf.get(), wanted.c_str(), value.get(), maxlen) == f.rc);
  FUZZ_CHECK(f.rc != 1 || value.get() == cut(f));
  FUZZ_CHECK(memcmp(buf.get(), text.c_str(), text.size() + 1) == 0);  // the text stays as it was
  return 0;
}
