// The backslash and quoting routines: round trips, in-place runs equal to
// out-of-place ones, stream forms equal to memory forms, and the decoding of
// arbitrary text against a reference of the escape table, into exactly the
// documented room. Input: a keep list (random-length string, up to 8 bytes),
// then the text (up to its first NUL); the last byte chooses between a null
// keep list (even) and the given one (odd).
#include <FuzzedDataProvider.h>
#include <ctype.h>
#include <stdint.h>
#include <stdio.h>

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

string RefToEsc(const string& s) {
  static const string kBytes = "\b\t\n\f\r\"\\", kLetters = "btnfr\"\\";
  string out;
  for (char c : s)
    out +=
        kBytes.find(c) == string::npos ? string(1, c) : "\\" + string(1, kLetters[kBytes.find(c)]);
  return out;
}

string RefQuote(const string& s) {
  string out = "`";
  for (char c : s) out += (c == '\\' || c == '\'' ? "\\" : "") + string(1, c);
  return out + "'";
}

// The text between the first backtick and the next unescaped apostrophe;
// `closed` tells whether that apostrophe was there, `rest` what follows it.
string RefUnquote(const string& s, int& closed, string& rest) {
  string out;
  closed = 0;
  for (size_t i = s.find('`'); i != string::npos && ++i < s.size();) {
    if (s[i] == '\'') {
      closed = 1;
      rest = s.substr(i + 1);
      break;
    }
    if (s[i] == '\\' && ++i == s.size()) break;
    out += s[i];
  }
  return out;
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

  // Escaping and back, out of place and in place.
  ExactBuffer esc(2 * n + 1), escIn = CString(x, n);
  FUZZ_CHECK(strtoesc(esc.get(), x.c_str()) == 0 && esc.get() == RefToEsc(x));
  FUZZ_CHECK(strtoesc(escIn.get(), escIn.get()) == 0 && escIn.get() == RefToEsc(x));
  strcvtesc(esc.get());
  FUZZ_CHECK(esc.get() == x);

  // Quoting and back, in memory and on a stream.
  const string q = RefQuote(x);
  ExactBuffer quoted(2 * n + 3), quotedIn = CString(x, n + 2), back(n + 1), streamBack(n + 1);
  FUZZ_CHECK(strquote(x.c_str(), quoted.get()) == 0 && quoted.get() == q);
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

  // The text itself taken as escaped or quoted input.
  const string want = RefCvt(x, keep) + '\0';
  ExactBuffer dst(n + 1), same = CString(x);
  strcvtbackslashseq(dst.get(), x.c_str(), keep);
  strcvtbackslashseq(same.get(), same.get(), keep);
  FUZZ_CHECK(want.size() <= dst.size && string(dst.get(), want.size()) == want);
  FUZZ_CHECK(string(same.get(), want.size()) == want);
  int closed = 0;
  string rest;
  const string unq = RefUnquote(x, closed, rest);
  ExactBuffer u(n + 1), fu(n + 1);
  FUZZ_CHECK(strunquote(x.c_str(), u.get()) == closed && u.get() == unq);
  if (x.empty()) return 0;  // fmemopen wants a non-empty buffer
  in = fmemopen(const_cast<char*>(x.data()), n, "r");
  FUZZ_CHECK(in && fstrunquote(fu.get(), in) == closed && fu.get() == unq);
  FUZZ_CHECK(Drain(in) == rest);  // only the closing apostrophe was consumed
  return 0;
}
