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

string RefToEsc(const string& s) {
  static const string kBytes = "\b\t\n\f\r\"\\", kLetters = "btnfr\"\\";
  string out;
  for (char c : s) {
    const size_t at = kBytes.find(c);
    out += at == string::npos ? string(1, c) : string("\\") + kLetters[at];
  }
  return out;
}

int Digit(char c, int base) {
  const int v = isdigit(static_cast<unsigned char>(c))    ? c - '0'
                : isxdigit(static_cast<unsigned char>(c)) ? tolower(c) - 'a' + 10
                                                          : 99;
  return v < base ? v : -1;
}

// The escape table, read off one sequence at a time. NULs from \0 or \x00
// stay in the result.
string RefCvt(const string& s, const char* keep) {
  static const string kFrom = "\\abefnrst", kTo = "\\\a\b\x1b\f\n\r \t";
  string out;
  size_t i = 0;
  while (i < s.size()) {
    if (s[i] != '\\') {
      out += s[i++];
      continue;
    }
    if (i + 1 == s.size()) {
      if (keep) out += '\\';
      break;
    }
    const char c = s[i + 1];
    i += 2;
    if (kFrom.find(c) != string::npos) {
      out += kTo[kFrom.find(c)];
    } else if (c == 'x' || c == 'X') {
      int v = 0, digits = 0;
      for (; digits < 2 && i < s.size() && Digit(s[i], 16) >= 0; ++digits)
        v = v * 16 + Digit(s[i++], 16);
      if (digits)
        out += static_cast<char>(v);
      else
        out += keep ? string("\\") + c : string(1, c);
    } else if (Digit(c, 8) >= 0) {
      int v = Digit(c, 8);
      for (int n = 1; n < 3 && i < s.size() && Digit(s[i], 8) >= 0; ++n)
        v = v * 8 + Digit(s[i++], 8);
      out += static_cast<char>(v % 256);
    } else if (!keep || string(keep).find(c) != string::npos) {
      out += c;
    } else {
      out += string("\\") + c;
    }
  }
  return out;
}

string RefQuote(const string& s) {
  string out = "`";
  for (char c : s) {
    if (c == '\\' || c == '\'') out += '\\';
    out += c;
  }
  return out + "'";
}

// The text between the first backtick and the next unescaped apostrophe;
// *closed tells whether that apostrophe was there, *rest what follows it.
string RefUnquote(const string& s, int* closed, string* rest) {
  *closed = 0;
  rest->clear();
  const size_t tick = s.find('`');
  if (tick == string::npos) return "";
  string out;
  for (size_t i = tick + 1; i < s.size(); ++i) {
    if (s[i] == '\'') {
      *closed = 1;
      *rest = s.substr(i + 1);
      break;
    }
    if (s[i] == '\\' && ++i == s.size()) break;
    out += s[i];
  }
  return out;
}

string ReadAll(FILE* f) {
  string out;
  for (int c; (c = getc(f)) != EOF;) out += static_cast<char>(c);
  return out;
}

void RoundTrips(const string& x) {
  const size_t n = x.size();
  // Escapes, out of place and in place, then back.
  ExactBuffer esc(2 * n + 1);
  FUZZ_CHECK(strtoesc(esc.get(), x.c_str()) == 0);
  FUZZ_CHECK(esc.get() == RefToEsc(x));
  ExactBuffer escIn = ExactBuffer::CString(x, n);
  FUZZ_CHECK(strtoesc(escIn.get(), escIn.get()) == 0);
  FUZZ_CHECK(strcmp(escIn.get(), esc.get()) == 0);
  strcvtesc(esc.get());
  FUZZ_CHECK(esc.get() == x);

  // Quoting in memory, out of place and in place, then back.
  ExactBuffer quoted(2 * n + 3);
  FUZZ_CHECK(strquote(x.c_str(), quoted.get()) == 0);
  const string q = RefQuote(x);
  FUZZ_CHECK(quoted.get() == q);
  ExactBuffer quotedIn = ExactBuffer::CString(x, n + 2);
  FUZZ_CHECK(strquote(quotedIn.get(), quotedIn.get()) == 0);
  FUZZ_CHECK(quotedIn.get() == q);
  ExactBuffer back(n + 1);
  FUZZ_CHECK(strunquote(quoted.get(), back.get()) == 1);
  FUZZ_CHECK(back.get() == x);
  FUZZ_CHECK(strunquote(quotedIn.get(), quotedIn.get()) == 1);
  FUZZ_CHECK(quotedIn.get() == x);

  // Quoting on a stream: the same bytes, and back from a stream.
  char* mem = nullptr;
  size_t memLen = 0;
  FILE* out = open_memstream(&mem, &memLen);
  FUZZ_CHECK(out != nullptr);
  FUZZ_CHECK(fstrquote(out, x.c_str()) == 0);
  fclose(out);
  FUZZ_CHECK(string(mem, memLen) == q);
  FILE* in = fmemopen(mem, memLen, "r");
  FUZZ_CHECK(in != nullptr);
  ExactBuffer streamBack(n + 1);
  FUZZ_CHECK(fstrunquote(streamBack.get(), in) == 1);
  FUZZ_CHECK(streamBack.get() == x);
  FUZZ_CHECK(getc(in) == EOF);
  fclose(in);
  free(mem);
}

// The text taken as escaped or quoted input.
void Decoding(const string& s, const char* keep) {
  const string want = RefCvt(s, keep);
  FUZZ_CHECK(want.size() <= s.size());
  ExactBuffer dst(s.size() + 1);
  strcvtbackslashseq(dst.get(), s.c_str(), keep);
  FUZZ_CHECK(string(dst.get(), want.size() + 1) == want + '\0');
  ExactBuffer same = ExactBuffer::CString(s);
  strcvtbackslashseq(same.get(), same.get(), keep);
  FUZZ_CHECK(string(same.get(), want.size() + 1) == want + '\0');

  int closed = 0;
  string rest;
  const string unq = RefUnquote(s, &closed, &rest);
  ExactBuffer u(s.size() + 1);
  FUZZ_CHECK(strunquote(s.c_str(), u.get()) == closed);
  FUZZ_CHECK(u.get() == unq);
  if (s.empty()) return;  // fmemopen wants a non-empty buffer
  FILE* in = fmemopen(const_cast<char*>(s.data()), s.size(), "r");
  FUZZ_CHECK(in != nullptr);
  ExactBuffer fu(s.size() + 1);
  FUZZ_CHECK(fstrunquote(fu.get(), in) == closed);
  FUZZ_CHECK(fu.get() == unq);
  FUZZ_CHECK(ReadAll(in) == rest);  // only the closing apostrophe was consumed
  fclose(in);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const bool useKeep = fdp.ConsumeBool();
  string keep = fdp.ConsumeRandomLengthString(8);
  keep.resize(strlen(keep.c_str()));
  string text = fdp.ConsumeRemainingBytesAsString();
  text.resize(strlen(text.c_str()));

  RoundTrips(text);
  Decoding(text, useKeep ? keep.c_str() : nullptr);
  return 0;
}
