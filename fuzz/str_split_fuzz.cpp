// str2words, strargs and strsplit against reference tokenizers: the result,
// and the offset and text of every token stored, with token arrays of exactly
// `max` entries.
//
// Input: the text (up to its first NUL); the last byte sets max (-1..12), the
// one before it the separator of strsplit.
#include <FuzzedDataProvider.h>
#include <ctype.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hx_net/strutil.h"

namespace {

using std::string;
using Tokens = std::vector<std::pair<size_t, string>>;  // offset, text

bool White(unsigned char c) {
  return c != 0xA0 && isspace(c);
}

int RefWords(const string& t, int max, Tokens* out) {
  size_t i = 0;
  for (;;) {
    while (i < t.size() && White(static_cast<unsigned char>(t[i]))) ++i;
    if (i == t.size()) return static_cast<int>(out->size());
    if (static_cast<int>(out->size()) >= max) return -1;
    size_t end = i;
    while (end < t.size() && isgraph(static_cast<unsigned char>(t[end]))) ++end;
    out->emplace_back(i, t.substr(i, end - i));
    if (end == t.size()) return static_cast<int>(out->size());
    i = end + 1;
  }
}

int RefArgs(const string& t, int max, Tokens* out) {
  size_t i = 0;
  for (;;) {
    while (i < t.size() && White(static_cast<unsigned char>(t[i]))) ++i;
    if (i == t.size()) return static_cast<int>(out->size());
    if (static_cast<int>(out->size()) >= max) return -1;
    if (t[i] != '"') {
      size_t end = i;
      while (end < t.size() && !White(static_cast<unsigned char>(t[end]))) ++end;
      out->emplace_back(i, t.substr(i, end - i));
      if (end == t.size()) return static_cast<int>(out->size());
      i = end + 1;
      continue;
    }
    string arg;
    size_t j = i + 1;
    for (; j < t.size() && t[j] != '"'; ++j) {
      if (t[j] == '\\' && j + 1 < t.size() && t[j + 1] == '"') ++j;
      arg += t[j];
    }
    out->emplace_back(i + 1, arg);
    if (j == t.size()) return static_cast<int>(out->size());
    i = j + 1;
  }
}

// Splits the whole text first, then applies the limit.
int RefSplit(const string& t, int max, char sep, Tokens* out) {
  if (max < 1) return -1;
  Tokens all;
  size_t start = 0;
  for (;;) {
    const size_t at = sep ? t.find(sep, start) : string::npos;
    all.emplace_back(start, t.substr(start, at == string::npos ? string::npos : at - start));
    if (at == string::npos) break;
    start = at + 1;
  }
  const bool over = all.size() > static_cast<size_t>(max);
  if (over) all.resize(static_cast<size_t>(max));
  *out = all;
  return over ? -1 : static_cast<int>(all.size());
}

template <typename Fn>
void Check(const string& t, int max, const Tokens& want, int wantRc, Fn split) {
  ExactBuffer text = ExactBuffer::CString(t);
  const size_t slots = max > 0 ? static_cast<size_t>(max) : 0;
  ExactBuffer array(slots * sizeof(char*));
  char** tokens = reinterpret_cast<char**>(array.get());
  const int rc = split(text.get(), tokens, max);
  FUZZ_CHECK(rc == wantRc);
  FUZZ_CHECK(rc >= -1 && rc <= (max > 0 ? max : 0));
  const size_t stored = rc >= 0 ? static_cast<size_t>(rc) : slots;
  FUZZ_CHECK(stored == want.size());
  for (size_t i = 0; i < stored; ++i) {
    char* p = tokens[i];
    FUZZ_CHECK(p >= text.get() && p <= text.get() + t.size());
    if (i > 0) FUZZ_CHECK(p > tokens[i - 1]);
    FUZZ_CHECK(static_cast<size_t>(p - text.get()) == want[i].first);
    FUZZ_CHECK(p == want[i].second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int max = fdp.ConsumeIntegralInRange<int>(-1, 12);
  const char sep = fdp.ConsumeIntegral<char>();
  string text = fdp.ConsumeRemainingBytesAsString();
  text.resize(strlen(text.c_str()));

  Tokens words, args, parts;
  const int wordsRc = RefWords(text, max, &words);
  const int argsRc = RefArgs(text, max, &args);
  const int partsRc = RefSplit(text, max, sep, &parts);
  Check(text, max, words, wordsRc, str2words);
  Check(text, max, args, argsRc, strargs);
  Check(text, max, parts, partsRc,
        [sep](char* s, char** p, int m) { return strsplit(s, p, m, sep); });

  // Independent of the references: words are graphic runs, and parts that
  // were all stored join back into the text.
  for (const auto& w : words)
    for (char c : w.second) FUZZ_CHECK(isgraph(static_cast<unsigned char>(c)));
  if (partsRc > 0) {
    string joined;
    for (size_t i = 0; i < parts.size(); ++i)
      joined += (i ? string(1, sep) : string()) + parts[i].second;
    FUZZ_CHECK(joined == text);
  }
  return 0;
}
