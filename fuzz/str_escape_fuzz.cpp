// The backslash and quoting routines: round trips, in-place runs equal to
// out-of-place ones, stream forms equal to memory forms, and the decoding of
// arbitrary text against a reference of the escape table. Destinations are
// exactly the documented room.
//
// Input: a keep list (FuzzedDataProvider random-length string, up to 8 bytes),
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

int IsOctal(int c) {
  return c >= '0' && c <= '7';
}

// The escape table, one sequence at a time; numbers are read with stoi.
string RefCvt(const string& s, const char* keep) {
  static const string kFrom = "\\abefnrst", kTo = "\\\a\b\x1b\f\n\r \t";
  auto digits = [&](size_t at, size_t most, int (*is)(int)) {
    size_t n = 0;
    while (n < most && at + n < s.size() && is(static_cast<unsigned char>(s[at + n]))) ++n;
    return n;
  };
  string out;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = i + 1 < s.size() ? s[i + 1] : '\0';
    const size_t hex = c == 'x' || c == 'X' ? digits(i + 2, 2, isxdigit) : 0;
    const size_t oct = digits(i + 1, 3, IsOctal);
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (!c) {
      out += keep ? "\\" : "";
    } else if (kFrom.find(c) != string::npos) {
      out += kTo[kFrom.find(c)];
    } else if (hex) {
      out += static_cast<char>(std::stoi(s.substr(i + 2, hex), nullptr, 16));
    } else if (oct) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, oct), nullptr, 8) % 256);
    } else {
      out += (keep && (c == 'x' || c == 'X' || !strchr(keep, c)) ? "\\" : "") + string(1, c);
    }
    i += hex ? 1 + hex : oct ? oct : 1;
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

void RoundTrips(const string& x) {
  const size_t n = x.size();
  ExactBuffer esc(2 * n + 1), escIn = CString(x, n);  // escapes, then back
  FUZZ_CHECK(strtoesc(esc.get(), x.c_str()) == 0 && esc.get() == RefToEsc(x));
  FUZZ_CHECK(strtoesc(escIn.get(), escIn.get()) == 0 && escIn.get() == RefToEsc(x));
  strcvtesc(esc.get());
  FUZZ_CHECK(esc.get() == x);

  const string q = RefQuote(x);  // quoting in memory, then back
  ExactBuffer quoted(2 * n + 3), quotedIn = CString(x, n + 2), back(n + 1);
  FUZZ_CHECK(strquote(x.c_str(), quoted.get()) == 0 && quoted.get() == q);
  FUZZ_CHECK(strquote(quotedIn.get(), quotedIn.get()) == 0 && quotedIn.get() == q);
  FUZZ_CHECK(strunquote(quoted.get(), back.get()) == 1 && back.get() == x);
  FUZZ_CHECK(strunquote(quotedIn.get(), quotedIn.get()) == 1 && quotedIn.get() == x);

  char* mem = nullptr;  // the same on a stream, and back from a stream
  size_t memLen = 0;
  FILE* out = open_memstream(&mem, &memLen);
  FUZZ_CHECK(out && fstrquote(out, x.c_str()) == 0);
  fclose(out);
  FUZZ_CHECK(string(mem, memLen) == q);
  FILE* in = fmemopen(mem, memLen, "r");
  ExactBuffer streamBack(n + 1);
  FUZZ_CHECK(in && fstrunquote(streamBack.get(), in) == 1 && streamBack.get() == x);
  FUZZ_CHECK(Drain(in).empty());
  free(mem);
}

// The text taken as escaped or quoted input.
void Decoding(const string& s, const char* keep) {
  const string want = RefCvt(s, keep) + '\0';
  ExactBuffer dst(s.size() + 1), same = CString(s);
  strcvtbackslashseq(dst.get(), s.c_str(), keep);
  strcvtbackslashseq(same.get(), same.get(), keep);
  FUZZ_CHECK(want.size() <= dst.size && string(dst.get(), want.size()) == want);
  FUZZ_CHECK(string(same.get(), want.size()) == want);

  int closed = 0;
  string rest;
  const string unq = RefUnquote(s, closed, rest);
  ExactBuffer u(s.size() + 1), fu(s.size() + 1);
  FUZZ_CHECK(strunquote(s.c_str(), u.get()) == closed && u.get() == unq);
  if (s.empty()) return;  // fmemopen wants a non-empty buffer
  FILE* in = fmemopen(const_cast<char*>(s.data()), s.size(), "r");
  FUZZ_CHECK(in && fstrunquote(fu.get(), in) == closed && fu.get() == unq);
  FUZZ_CHECK(Drain(in) == rest);  // only the closing apostrophe was consumed
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool useKeep = fdp.ConsumeBool();
  const string keep = fdp.ConsumeRandomLengthString(8);
  const string text = fdp.ConsumeRemainingBytesAsString();
  RoundTrips(text.c_str());
  Decoding(text.c_str(), useKeep ? keep.c_str() : nullptr);
  return 0;
}
