// The backslash and quoting routines: round trips with the documented
// lengths, in-place runs equal to out-of-place ones, stream forms equal to
// memory forms, and the decoding of arbitrary text against a reference of the
// escape table, into exactly the documented room. Input: a keep list
// (random-length string, up to 8 bytes), then the text (up to its first NUL);
// the last byte chooses between a null keep list (even) and the given one (odd).
#include <FuzzedDataProvider.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <string>

#include "fuzz/fuzz_check.h"
#include "hx_net/strutil.h"

namespace {

using std::string;

// The escape table, one sequence at a time; numbers are read with stoi.
string RefCvt(const string& s, const char* keep) {
  static const string kFrom = "\\abefnrst", kTo = "\\\a\b\x1b\f\n\r \t";
  static const char kHex[] = "0123456789abcdefABCDEF";
  string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = i + 1 < s.size() ? s[i + 1] : '\0';
    const bool x = c == 'x' || c == 'X';
    const size_t hex =
        x ? std::min({s.find_first_not_of(kHex, i + 2), i + 4, s.size()}) - i - 2 : 0;
    const size_t oct = std::min({s.find_first_not_of("01234567", i + 1), i + 4, s.size()}) - i - 1;
    if (s[i] != '\\')
      out += s[i];
    else if (!c)
      out += keep ? "\\" : "";
    else if (kFrom.find(c) != string::npos)
      out += kTo[kFrom.find(c)];
    else if (hex)
      out += static_cast<char>(std::stoi(s.substr(i + 2, hex), nullptr, 16));
    else if (oct)
      out += static_cast<char>(std::stoi(s.substr(i + 1, oct), nullptr, 8) % 256);
    else
      out += (keep && (x || !strchr(keep, c)) ? "\\" : "") + string(1, c);
    i += s[i] != '\\' ? 0 : hex ? 1 + hex : oct ? oct : 1;
  }
  return out;
}

// How many bytes of `s` are in `set`.
size_t Count(const string& s, const char* set) {
  return std::count_if(s.begin(), s.end(), [set](char c) { return c && strchr(set, c); });
}

// What `f` holds from its position on; closes it.
string Drain(FILE* f) {
  string out;
  for (int c; (c = getc(f)) != EOF;) out += static_cast<char>(c);
  fclose(f);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool useKeep = fdp.ConsumeBool();
  const string keepList = fdp.ConsumeRandomLengthString(8);
  const char* keep = useKeep ? keepList.c_str() : nullptr;
  const string x = fdp.ConsumeRemainingBytesAsString().c_str();
  const size_t n = x.size();

  // Escaping and back, out of place and in place: a backslash before each
  // byte that has an escape, and the decoder gives the text back.
  ExactBuffer esc(2 * n + 1), escIn = CString(x, n);
  FUZZ_CHECK(strtoesc(esc.get(), x.c_str()) == 0 &&
             strlen(esc.get()) == n + Count(x, "\b\t\n\f\r\"\\"));
  FUZZ_CHECK(strtoesc(escIn.get(), escIn.get()) == 0 && string(escIn.get()) == esc.get());
  strcvtesc(esc.get());
  FUZZ_CHECK(esc.get() == x);

  // Quoting and back, in memory and on a stream: a backtick, a backslash before
  // each backslash and apostrophe, an apostrophe.
  ExactBuffer quoted(2 * n + 3), quotedIn = CString(x, n + 2), back(n + 1), streamBack(n + 1);
  FUZZ_CHECK(strquote(x.c_str(), quoted.get()) == 0 && quoted.get()[0] == '`');
  const string q = quoted.get();
  FUZZ_CHECK(q.size() == n + 2 + Count(x, "\\'") && q.back() == '\'');
  FUZZ_CHECK(strquote(quotedIn.get(), quotedIn.get()) == 0 && quotedIn.get() == q);
  FUZZ_CHECK(strunquote(quoted.get(), back.get()) == 1 && back.get() == x);
  FUZZ_CHECK(strunquote(quotedIn.get(), quotedIn.get()) == 1 && quotedIn.get() == x);
  char* mem = nullptr;
  size_t memLen = 0;
  FILE* out = open_memstream(&mem, &memLen);
  FUZZ_CHECK(out && fstrquote(out, x.c_str()) == 0);
  fclose(out);
  FUZZ_CHECK(string(mem, memLen) == q);
  FILE* in = fmemopen(mem, memLen, "r");
  FUZZ_CHECK(in && fstrunquote(streamBack.get(), in) == 1 && streamBack.get() == x);
  FUZZ_CHECK(Drain(in).empty());
  free(mem);

  // The text itself taken as escaped input, and as quoted input, where the
  // memory and stream forms must agree.
  const string want = RefCvt(x, keep) + '\0';
  ExactBuffer dst(n + 1), same = CString(x);
  strcvtbackslashseq(dst.get(), x.c_str(), keep);
  strcvtbackslashseq(same.get(), same.get(), keep);
  FUZZ_CHECK(want.size() <= dst.size && string(dst.get(), want.size()) == want);
  FUZZ_CHECK(string(same.get(), want.size()) == want);
  if (x.empty()) return 0;  // fmemopen wants a non-empty buffer
  ExactBuffer u(n + 1), fu(n + 1);
  in = fmemopen(const_cast<char*>(x.data()), n, "r");
  FUZZ_CHECK(in);
  const int closed = fstrunquote(fu.get(), in);
  const string rest = Drain(in);  // only the closing apostrophe was consumed
  FUZZ_CHECK(strunquote(x.c_str(), u.get()) == closed && string(u.get()) == fu.get());
  FUZZ_CHECK(closed ? rest.size() < n && x[n - rest.size() - 1] == '\'' : rest.empty());
  return 0;
}
