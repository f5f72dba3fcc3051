#include "hx_net/strutil.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::string;  // may hold NUL bytes

// ---- Splitting

enum class Splitter { Words, Args, Split };

struct SplitRow {
  Splitter fn;
  const char* in;
  int max;
  int rc;
  std::vector<Bytes> tokens;
  char sep = ',';
};

int RunSplit(const SplitRow& r, std::vector<Bytes>* out) {
  std::string text(r.in);
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  // One spare slot with a marker: a write past `max` shows up.
  std::vector<char*> slots(r.max > 0 ? r.max + 1 : 1, nullptr);
  char marker = 0;
  slots.back() = &marker;
  int rc = 0;
  switch (r.fn) {
    case Splitter::Words:
      rc = str2words(buf.data(), slots.data(), r.max);
      break;
    case Splitter::Args:
      rc = strargs(buf.data(), slots.data(), r.max);
      break;
    case Splitter::Split:
      rc = strsplit(buf.data(), slots.data(), r.max, r.sep);
      break;
  }
  EXPECT_EQ(slots.back(), &marker) << "wrote past max for \"" << r.in << "\"";
  const int stored = rc >= 0 ? rc : std::max(r.max, 0);
  for (int i = 0; i < stored; ++i) out->push_back(slots[i] ? slots[i] : "(null)");
  return rc;
}

TEST(StrUtilSplit, TableOfEdges) {
  using S = Splitter;
  const SplitRow rows[] = {
      {S::Words, "a b c", 2, -1, {"a", "b"}},
      {S::Words, "a b", 2, 2, {"a", "b"}},
      {S::Words, "  lead  trail \t\n", 2, 2, {"lead", "trail"}},
      {S::Words, "", 3, 0, {}},
      {S::Words, " \t\n\v\f\r", 3, 0, {}},
      {S::Words,
       "ab\x01"
       "cd",
       3,
       2,
       {"ab", "cd"}},
      {S::Words, "a \x01 b", 3, 3, {"a", "", "b"}},
      {S::Words, " \xA0 ", 3, 1, {""}},  // 0xA0 is no blank: an (empty) word
      {S::Words, "x", 0, -1, {}},
      {S::Args, "a \"b c\" d", 5, 3, {"a", "b c", "d"}},
      {S::Args, "\"x\\\"y\"", 5, 1, {"x\"y"}},
      {S::Args, "\"a\\\" b\" c", 5, 2, {"a\" b", "c"}},
      {S::Args, "\"\"", 5, 1, {""}},
      {S::Args, "a \"\" b", 5, 3, {"a", "", "b"}},
      {S::Args, "\"a\\b\"", 5, 1, {"a\\b"}},
      {S::Args, "a\"b c\"", 5, 2, {"a\"b", "c\""}},
      {S::Args, "\"ab\"cd e", 5, 3, {"ab", "cd", "e"}},
      {S::Args, "\"open to the end", 5, 1, {"open to the end"}},
      {S::Args, "x\x01y \xA0", 5, 2, {"x\x01y", "\xA0"}},
      {S::Args, "a \"b c\" d", 2, -1, {"a", "b c"}},
      {S::Args, " \t ", 2, 0, {}},
      {S::Split, "a,,b,", 4, 4, {"a", "", "b", ""}},
      {S::Split, "a,,b,", 3, -1, {"a", "", "b"}},
      {S::Split, "", 1, 1, {""}},
      {S::Split, ",", 2, 2, {"", ""}},
      {S::Split, "abc", 1, 1, {"abc"}},
      {S::Split, "a,b", 1, -1, {"a"}},
      {S::Split, "a", 0, -1, {}},
      {S::Split, " a  b", 4, 4, {"", "a", "", "b"}, ' '},
  };
  for (const SplitRow& r : rows) {
    std::vector<Bytes> got;
    EXPECT_EQ(RunSplit(r, &got), r.rc) << "input \"" << r.in << "\" max " << r.max;
    EXPECT_EQ(got, r.tokens) << "input \"" << r.in << "\" max " << r.max;
  }
}

// ---- Character work

TEST(StrUtilChars, DeleteReplaceCase) {
  char s1[] = "banana";
  EXPECT_EQ(strdel(s1, 'a'), 3);
  EXPECT_STREQ(s1, "bnn");

  char s2[] = "a.b.c";
  EXPECT_EQ(strreplace(s2, '.', '\0'), 2);  // counts past the first NUL it wrote
  EXPECT_EQ(Bytes(s2, 5), Bytes("a\0b\0c", 5));

  char s3[] = "ABC def \xC4\xE4";
  EXPECT_EQ(strlower(s3), 3);
  EXPECT_STREQ(s3, "abc def \xC4\xE4");
  EXPECT_EQ(strupper(s3), 6);
  EXPECT_STREQ(s3, "ABC DEF \xC4\xE4");

  char s4[] =
      "a\tb\x01"
      "c\x7f\x80\xFF\xA0"
      "d \n";
  strsane(s4, '?');
  EXPECT_STREQ(s4, "a\tb?c????d \n");
}

TEST(StrUtilChars, Equal) {
  const struct {
    const char* a;
    const char* b;
    int eq;
  } rows[] = {
      {"abc", "abc", 1},   {"abc", "abd", 0},     {"abc", "ab", 0}, {"", "", 1},
      {"\xE4", "\xC4", 0}, {nullptr, nullptr, 1}, {nullptr, "", 0}, {"", nullptr, 0},
  };
  for (const auto& r : rows) EXPECT_EQ(strequal(r.a, r.b), r.eq);
}

TEST(StrUtilChars, Trim) {
  const struct {
    const char* in;
    const char* both;
    const char* left;
    const char* right;
  } rows[] = {
      {"  a b  ", "a b", "a b  ", "  a b"},
      {" \t\n\v\f\r", "", "", ""},
      {"", "", "", ""},
      {"\xA0 x \xA0", "\xA0 x \xA0", "\xA0 x \xA0", "\xA0 x \xA0"},
      {"x", "x", "x", "x"},
  };
  for (const auto& r : rows) {
    const struct {
      char* (*fn)(char*);
      const char* want;
    } cases[] = {{strtrim, r.both}, {strltrim, r.left}, {strrtrim, r.right}};
    for (const auto& c : cases) {
      std::string buf(r.in);
      char* end = c.fn(&buf[0]);
      EXPECT_STREQ(buf.c_str(), c.want) << "input \"" << r.in << "\"";
      EXPECT_EQ(end, buf.c_str() + strlen(c.want)) << "input \"" << r.in << "\"";
    }
  }
}

// ---- Bounded copies: a '#' behind the expected NUL must survive.

TEST(StrUtilCopy, BoundedAndPadded) {
  const struct {
    int fn;
    const char* src;
    int n;
    const char* want;
  } rows[] = {
      {0, "abc", 5, "abc  "}, {0, "abc", 2, "ab"},     {0, nullptr, 3, "   "}, {0, "abc", 0, ""},
      {0, "abc", -1, ""},     {1, "abcdef", 3, "abc"}, {1, "ab", 5, "ab"},     {1, nullptr, 3, ""},
      {1, "ab", 0, ""},       {2, "abc", 2, "xyab"},   {2, nullptr, 2, "xy"},  {2, "abc", 0, "xy"},
  };
  for (const auto& r : rows) {
    char buf[16];
    memset(buf, '#', sizeof buf);
    memcpy(buf, "xy", 3);
    if (r.fn == 0) strxcpy(buf, r.src, r.n);
    if (r.fn == 1) strzcpy(buf, r.src, r.n);
    if (r.fn == 2) strzcat(buf, r.src, r.n);
    EXPECT_STREQ(buf, r.want) << "routine " << r.fn << " n " << r.n;
    const size_t len = strlen(r.want);
    if (len >= 2) {
      EXPECT_EQ(buf[len + 1], '#') << "routine " << r.fn << " n " << r.n;
    }
  }
}

TEST(StrUtilCopy, SubstituteGrowsAndShrinks) {
  const struct {
    const char* s;
    const char* pat;
    const char* rep;
    const char* want;
    int at;
  } rows[] = {
      {"abcd", "bc", "XYZ", "aXYZd", 1}, {"aXYZd", "XYZ", "W", "aWd", 1},
      {"abcd", "bc", "", "ad", 1},       {"abcabc", "bc", "Q", "aQabc", 1},
      {"abc", "abc", "", "", 0},         {"abc", "c", "cc", "abcc", 2},
      {"abcd", "zz", "Q", "abcd", -1},   {"", "a", "b", "", -1},
      {"abc", "", "x", "abc", -1},
  };
  for (const auto& r : rows) {
    char buf[32];
    strcpy(buf, r.s);
    char* at = strsubst(buf, r.pat, r.rep);
    EXPECT_STREQ(buf, r.want);
    EXPECT_EQ(at, r.at < 0 ? nullptr : buf + r.at) << r.s << " / " << r.pat;
  }
}

// ---- Backslash sequences

// Every byte up to the final NUL is compared, NULs in the middle included;
// out of place and in place. With keep "qx", the unknown sequences of those
// letters stay as they are.
TEST(StrUtilEscapes, SequencesToBytes) {
  const struct {
    const char* src;
    Bytes want;
    const char* keep = nullptr;
  } rows[] = {
      {"\\\\", "\\"},
      {"\\a", "\a"},
      {"\\b", "\b"},
      {"\\e", "\x1b"},
      {"\\f", "\f"},
      {"\\n", "\n"},
      {"\\r", "\r"},
      {"\\s", " "},
      {"\\t", "\t"},
      {"\\x41\\X4a", "AJ"},
      {"\\x4g", Bytes("\x04g")},
      {"\\x414", "A4"},
      {"\\x", "x"},
      {"\\Xg", "Xg"},
      {"\\101\\1012", "AA2"},
      {"\\7", "\x07"},
      {"\\477", "?"},
      {"\\777", "\xFF"},
      {"\\400", Bytes(1, '\0')},
      {"a\\0b", Bytes("a\0b", 3)},
      {"\\x00z", Bytes("\0z", 2)},
      {"\\08", Bytes("\0"
                     "8",
                     2)},
      {"\\q\\8\\9\\\"", "q89\""},
      {"ab\\", "ab"},
      {"plain", "plain"},
      {"\\x41\\101\\q", "AAq"},
      {"\\q\\w", "q\\w", "qx"},
      {"\\8", "\\8", "qx"},
      {"\\x", "\\x", "qx"},
      {"\\xg", "\\xg", "qx"},
      {"ab\\", "ab\\", "qx"},
      {"\\n\\t\\101", "\n\tA", "qx"},
      {"\\\\", "\\", "qx"},
  };
  for (const auto& r : rows) {
    char out[64], inplace[64];
    memset(out, '#', sizeof out);
    strcvtbackslashseq(out, r.src, r.keep);
    EXPECT_EQ(Bytes(out, r.want.size() + 1), r.want + '\0') << "src \"" << r.src << "\"";
    strcpy(inplace, r.src);
    strcvtbackslashseq(inplace, inplace, r.keep);
    EXPECT_EQ(Bytes(inplace, r.want.size() + 1), r.want + '\0') << "in place \"" << r.src << "\"";
  }
}

TEST(StrUtilEscapes, BytesToSequences) {
  const struct {
    const char* src;
    const char* want;
  } rows[] = {
      {"\t\"\\", "\\t\\\"\\\\"},        {"\b\n\f\r", "\\b\\n\\f\\r"},
      {"\x07\x0b\x1b", "\x07\x0b\x1b"}, {"", ""},
      {"\t\t\t", "\\t\\t\\t"},
  };
  for (const auto& r : rows) {
    char out[64];
    EXPECT_EQ(strtoesc(out, r.src), 0);
    EXPECT_STREQ(out, r.want);
    char inplace[64];
    strcpy(inplace, r.src);
    EXPECT_EQ(strtoesc(inplace, inplace), 0);
    EXPECT_STREQ(inplace, r.want);
  }
}

// ---- Quoting

const struct {
  const char* text;
  const char* quoted;
} kQuoteRows[] = {
    {"it's", "`it\\'s'"}, {"", "`'"}, {"a\\b", "`a\\\\b'"}, {"`x`", "``x`'"}, {"''", "`\\'\\''"},
};

// Into memory and onto a stream, and back: text before the backtick is
// skipped, and reading a stream takes nothing after the closing apostrophe.
TEST(StrUtilQuote, RoundTripsInMemoryAndOnAStream) {
  for (const auto& r : kQuoteRows) {
    char q[64], back[64];
    EXPECT_EQ(strquote(r.text, q), 0);
    EXPECT_STREQ(q, r.quoted);
    EXPECT_EQ(strunquote(q, back), 1);
    EXPECT_STREQ(back, r.text);
    char* mem = nullptr;
    size_t memLen = 0;
    FILE* out = open_memstream(&mem, &memLen);
    ASSERT_NE(out, nullptr);
    fputs("junk", out);
    EXPECT_EQ(fstrquote(out, r.text), 0);
    fputs("rest", out);
    fclose(out);
    EXPECT_EQ(std::string(mem, memLen), std::string("junk") + r.quoted + "rest");
    FILE* in = fmemopen(mem, memLen, "r");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(fstrunquote(back, in), 1);
    EXPECT_STREQ(back, r.text);
    EXPECT_EQ(getc(in), 'r');
    fclose(in);
    free(mem);
  }
}

// Text that is not one whole quoted string reads the same from memory and
// from a stream.
TEST(StrUtilQuote, UnquoteEdges) {
  const struct {
    const char* src;
    const char* want;
    int rc;
  } rows[] = {
      {"junk`abc'tail", "abc", 1}, {"no backtick", "", 0}, {"`a\\'b'", "a'b", 1},
      {"`open", "open", 0},        {"`ab\\", "ab", 0},     {"`a\\zb'", "azb", 1},
  };
  for (const auto& r : rows) {
    char out[64];
    EXPECT_EQ(strunquote(r.src, out), r.rc) << r.src;
    EXPECT_STREQ(out, r.want) << r.src;
    FILE* in = fmemopen(const_cast<char*>(r.src), strlen(r.src), "r");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(fstrunquote(out, in), r.rc) << "stream " << r.src;
    EXPECT_STREQ(out, r.want) << "stream " << r.src;
    fclose(in);
  }
}

TEST(StrUtilQuote, QuoteInPlaceKeepsLongText) {
  // Longer than any fixed private buffer would be.
  std::string text(20000, 'a');
  for (size_t i = 0; i < text.size(); i += 7) text[i] = '\'';
  std::vector<char> expected(2 * text.size() + 3), buf(2 * text.size() + 3);
  ASSERT_EQ(strquote(text.c_str(), expected.data()), 0);
  memcpy(buf.data(), text.c_str(), text.size() + 1);
  ASSERT_EQ(strquote(buf.data(), buf.data()), 0);
  EXPECT_STREQ(buf.data(), expected.data());
  std::vector<char> back(text.size() + 1);
  strunquote(buf.data(), back.data());
  EXPECT_EQ(std::string(back.data()), text);
}

// Random byte strings without NUL survive both round trips.
TEST(StrUtilProperty, RoundTrips) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(1, 255), length(0, 80);
  std::uniform_int_distribution<int> special(0, 3);
  const char kSpecial[] = "\\'`\"";
  for (int iter = 0; iter < 3000; ++iter) {
    std::string x(static_cast<size_t>(length(rng)), ' ');
    for (char& c : x)
      c = byte(rng) % 4 == 0 ? kSpecial[special(rng)] : static_cast<char>(byte(rng));
    std::vector<char> buf(2 * x.size() + 3), back(x.size() + 1);
    ASSERT_EQ(strquote(x.c_str(), buf.data()), 0);
    strunquote(buf.data(), back.data());
    ASSERT_EQ(std::string(back.data()), x) << "iteration " << iter;
    ASSERT_EQ(strtoesc(buf.data(), x.c_str()), 0);
    strcvtesc(buf.data());
    ASSERT_EQ(std::string(buf.data()), x) << "iteration " << iter;
  }
}

// ---- Heap copies

TEST(StrUtilHeap, SaveAndResave) {
  EXPECT_EQ(strsave(nullptr), nullptr);
  const char text[] = "abc";
  char* p = strsave(text);
  ASSERT_NE(p, nullptr);
  EXPECT_NE(p, text);
  EXPECT_STREQ(p, "abc");
  p = strresave(p, "a longer text than before");
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "a longer text than before");
  p = strresave(p, p + 9);  // a tail of its own text
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p, "text than before");
  EXPECT_EQ(strresave(p, nullptr), nullptr);  // freed: the leak checker would tell
  EXPECT_EQ(strresave(nullptr, nullptr), nullptr);
  char* q = strresave(nullptr, "new");
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q, "new");
  free(q);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define HX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define HX_SANITIZED 1
#endif
#endif

#ifndef HX_SANITIZED
// Runs in a forked child: caps the address space a little above what is in
// use, so the 32 MiB blocks below cannot be had. Exit code 0 on success.
void AllocationFailureChild() {
  const size_t n = 32u << 20;
  char* big = static_cast<char*>(malloc(2 * n + 3));
  char* old = strsave("old");
  if (!big || !old) exit(2);
  memset(big, 'b', n);
  big[n] = '\0';
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (!statm || fscanf(statm, "%ld", &pages) != 1) exit(3);
  fclose(statm);
  rlimit cap{};
  getrlimit(RLIMIT_AS, &cap);
  cap.rlim_cur =
      static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (8u << 20);
  if (setrlimit(RLIMIT_AS, &cap) != 0) exit(4);
  if (strresave(old, big) != nullptr || strcmp(old, "old") != 0) exit(5);
  if (strquote(big, big) != -1 || big[0] != 'b' || big[n] != '\0') exit(6);
  if (strtoesc(big, big) != -1 || big[0] != 'b' || big[n] != '\0') exit(7);
  exit(0);
}
#endif

// With the address space capped, the routines that need a heap block must
// fail without losing or changing what the caller holds.
TEST(StrUtilHeap, AllocationFailureKeepsData) {
#ifdef HX_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes reserve the address space a cap would need";
#else
  EXPECT_EXIT(AllocationFailureChild(), ::testing::ExitedWithCode(0), "");
#endif
}

TEST(StrUtilHeap, CatSprintfChains) {
  char buf[32] = "x";
  char* end = cat_sprintf(buf, "%d-%s", 12, "ab");
  EXPECT_EQ(end, buf + 6);
  end = cat_sprintf(end, "%c", '!');
  EXPECT_STREQ(buf, "x12-ab!");
  EXPECT_EQ(end, buf + 7);
  EXPECT_EQ(*end, '\0');
}

}  // namespace
