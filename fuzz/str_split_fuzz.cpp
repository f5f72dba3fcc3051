// str2words, strargs and strsplit against reference tokenizers: the result,
// and the offset and text of every token stored, with token arrays of exactly
// `max` entries. Input: the text (up to its first NUL); the last byte sets
// max (-1..12), the one before it the separator of strsplit.
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

bool White(char c) {
  return c != '\xA0' && isspace(static_cast<unsigned char>(c));
}

// Words and arguments: blanks between tokens; a word is a run of graphic
// bytes, an argument a run of non-blanks or a quoted text in which \" is a
// quote. The byte after a token is its end, whatever it is.
int RefWordsOrArgs(const string& t, int max, bool args, Tokens& out) {
  for (size_t i = 0;; ++i) {
    while (i < t.size() && White(t[i])) ++i;
    if (i == t.size()) return static_cast<int>(out.size());
    if (static_cast<int>(out.size()) >= max) return -1;
    const bool quoted = args && t[i] == '"';
    auto in = [&](char c) { return quoted ? c != '"' : args ? !White(c) : isgraph(c & 0xff) != 0; };
    string token;
    const size_t at = i += quoted;
    for (; i < t.size() && in(t[i]); ++i)
      token += quoted && t[i] == '\\' && i + 1 < t.size() && t[i + 1] == '"' ? t[++i] : t[i];
    out.emplace_back(at, token);
    if (i >= t.size()) return static_cast<int>(out.size());
  }
}

// Splits the whole text first, then applies the limit.
int RefSplit(const string& t, int max, char sep, Tokens& out) {
  if (max < 1) return -1;
  for (size_t start = 0, at = 0; at != string::npos; start = at + 1) {
    at = sep ? t.find(sep, start) : string::npos;
    out.emplace_back(start, t.substr(start, at - start));  // to the end when at is npos
  }
  const bool over = out.size() > static_cast<size_t>(max);
  if (over) out.resize(static_cast<size_t>(max));
  return over ? -1 : static_cast<int>(out.size());
}

template <typename Fn>
void Check(const string& t, int max, const Tokens& want, int wantRc, Fn split) {
  ExactBuffer text = CString(t);
  ExactBuffer array(static_cast<size_t>(std::max(max, 0)) * sizeof(char*));
  char** tokens = reinterpret_cast<char**>(array.get());
  const int rc = split(text.get(), tokens, max);
  FUZZ_CHECK(rc == wantRc);
  FUZZ_CHECK((rc >= 0 ? static_cast<size_t>(rc) : array.size / sizeof(char*)) == want.size());
  for (size_t i = 0; i < want.size(); ++i)
    FUZZ_CHECK(tokens[i] == text.get() + want[i].first && tokens[i] == want[i].second);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  const int max = fdp.ConsumeIntegralInRange<int>(-1, 12);
  const char sep = fdp.ConsumeIntegral<char>();
  const string text = fdp.ConsumeRemainingBytesAsString().c_str();

  Tokens words, args, parts;
  Check(text, max, words, RefWordsOrArgs(text, max, false, words), str2words);
  Check(text, max, args, RefWordsOrArgs(text, max, true, args), strargs);
  Check(text, max, parts, RefSplit(text, max, sep, parts),
        [sep](char* s, char** p, int m) { return strsplit(s, p, m, sep); });
  return 0;
}
