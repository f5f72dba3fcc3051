// The four field scanners against a reference parser, on exact-size buffers.
//
// Input: a wanted field name (FuzzedDataProvider random-length string: ends at
// a backslash followed by any byte but a backslash), then the message text;
// the last byte sets maxlen (-2..40), the one before it picks the wanted name
// from the text's own fields (0..6) or keeps the given one (7).
#include <FuzzedDataProvider.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hx_net/msg_fields.h"

namespace {

using std::string;
constexpr size_t kNpos = string::npos;

struct Expect {
  int rc;
  string name;   // as delivered: cut at 255 bytes
  string value;  // as delivered: cut at the bound
  size_t cursor;
};

size_t Bound(long maxlen) {
  return maxlen > 0 ? static_cast<size_t>(maxlen) : 0;
}

// One step of msg_next_field from offset `at`, written with string searches.
Expect RefNext(const string& t, size_t at, size_t bound) {
  const size_t lt = t.find('<', at);
  if (lt == kNpos) return {0, "", "", t.size()};
  const size_t gt = t.find('>', lt + 1);
  if (gt == kNpos) return {-1, t.substr(lt + 1, 255), "", at};
  string name = t.substr(lt + 1, std::min<size_t>(gt - lt - 1, 255));
  size_t end = t.find('<', gt + 1);
  if (end == kNpos) end = t.size();
  const size_t n = std::min(end - gt - 1, bound);
  return {1, name, t.substr(gt + 1, n), gt + 1 + n};
}

// One call of msg_find_field from offset `at`.
Expect RefFind(const string& t, size_t at, const string& wanted, size_t bound) {
  if (at == t.size()) return {0, "", "", at};
  for (;;) {
    const size_t lt = t.find('<', at);
    if (lt == kNpos) return {0, "", "", t.size()};
    const size_t gt = t.find('>', lt + 1);
    if (gt == kNpos) return {-1, "", "", at};
    at = gt + 1;
    if (t.compare(lt + 1, gt - lt - 1, wanted) == 0) {
      Expect e = RefNext(t, lt, bound);
      e.name.clear();
      return e;
    }
    if (at == t.size()) return {0, "", "", at};
  }
}

void WalkNext(const string& t, long maxlen) {
  ExactBuffer text = ExactBuffer::CString(t);
  ExactBuffer name(kMsgFieldNameSize);
  ExactBuffer value(Bound(maxlen) + 1);
  char* const begin = text.get();
  char* cursor = begin;
  // Every delivered field moves the cursor over at least "<>".
  for (size_t step = 0;; ++step) {
    FUZZ_CHECK(step <= t.size() / 2 + 1);
    char* const before = cursor;
    const int rc = msg_next_field(&cursor, name.get(), value.get(), maxlen);
    FUZZ_CHECK(rc >= -1 && rc <= 1);
    FUZZ_CHECK(cursor >= before && cursor <= begin + t.size());
    const Expect e = RefNext(t, static_cast<size_t>(before - begin), Bound(maxlen));
    FUZZ_CHECK(rc == e.rc);
    FUZZ_CHECK(static_cast<size_t>(cursor - begin) == e.cursor);
    FUZZ_CHECK(name.get() == e.name);
    if (rc == 1) {
      FUZZ_CHECK(value.get() == e.value);
      FUZZ_CHECK(cursor > before);
      continue;
    }
    if (rc == -1) {  // the same call on the same cursor fails the same way
      FUZZ_CHECK(msg_next_field(&cursor, name.get(), value.get(), maxlen) == -1);
      FUZZ_CHECK(cursor == before && name.get() == e.name);
    }
    break;
  }
  FUZZ_CHECK(memcmp(begin, t.c_str(), t.size() + 1) == 0);
}

void WalkNext2(const string& t) {
  ExactBuffer text = ExactBuffer::CString(t);
  ExactBuffer name(kMsgFieldNameSize);
  char* const begin = text.get();
  char* cursor = begin;
  for (size_t step = 0;; ++step) {
    FUZZ_CHECK(step <= t.size() / 2 + 1);
    char* const before = cursor;
    string value = "\x01kept";
    const int rc = msg_next_field_2(&cursor, name.get(), value);
    const Expect e = RefNext(t, static_cast<size_t>(before - begin), kNpos);
    FUZZ_CHECK(rc == e.rc);
    FUZZ_CHECK(static_cast<size_t>(cursor - begin) == e.cursor);
    FUZZ_CHECK(name.get() == e.name);
    FUZZ_CHECK(value == (rc == 1 ? e.value : string("\x01kept")));
    if (rc != 1) break;
  }
}

void WalkFind(const string& t, const string& wanted, long maxlen) {
  ExactBuffer text = ExactBuffer::CString(t);
  ExactBuffer value(Bound(maxlen) + 1);
  char* const begin = text.get();
  char* cursor = begin;
  for (size_t step = 0;; ++step) {
    FUZZ_CHECK(step <= t.size() / 2 + 1);
    char* const before = cursor;
    value.get()[0] = '\x01';
    const int rc = msg_find_field(&cursor, wanted.c_str(), value.get(), maxlen);
    FUZZ_CHECK(rc >= -1 && rc <= 1);
    FUZZ_CHECK(cursor >= before && cursor <= begin + t.size());
    const Expect e = RefFind(t, static_cast<size_t>(before - begin), wanted, Bound(maxlen));
    FUZZ_CHECK(rc == e.rc);
    FUZZ_CHECK(static_cast<size_t>(cursor - begin) == e.cursor);
    if (rc != 1) {
      FUZZ_CHECK(value.get()[0] == '\x01');  // not written
      break;
    }
    FUZZ_CHECK(value.get() == e.value);
    if (step == 0) {  // msg_get_field finds the same first field
      ExactBuffer other(Bound(maxlen) + 1);
      FUZZ_CHECK(msg_get_field(begin, wanted.c_str(), other.get(), maxlen) == 1);
      FUZZ_CHECK(strcmp(other.get(), value.get()) == 0);
    }
  }
  FUZZ_CHECK(memcmp(begin, t.c_str(), t.size() + 1) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const long maxlen = fdp.ConsumeIntegralInRange<long>(-2, 40);
  const int pick = fdp.ConsumeIntegralInRange<int>(0, 7);
  string wanted = fdp.ConsumeRandomLengthString(300);
  wanted.resize(strlen(wanted.c_str()));
  string text = fdp.ConsumeRemainingBytesAsString();
  text.resize(strlen(text.c_str()));  // the scanners stop at the first NUL

  if (pick < 7) {  // a name that occurs, so matches are common
    size_t at = 0;
    for (int i = 0;; ++i) {
      const Expect e = RefNext(text, at, kNpos);
      if (e.rc != 1) break;
      if (i == pick) {
        const size_t lt = text.find('<', at);
        wanted = text.substr(lt + 1, text.find('>', lt) - lt - 1);  // whole, uncut
        break;
      }
      at = e.cursor;
    }
  }

  WalkNext(text, maxlen);
  WalkNext2(text);
  WalkFind(text, wanted, maxlen);
  return 0;
}
