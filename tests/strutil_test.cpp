// The splitting, backslash and quoting routines are also checked against
// reference implementations on every input of the fuzz corpora
// (fuzz/str_split_fuzz.cpp, fuzz/str_escape_fuzz.cpp); the rows here pin the
// rules callers rely on.
#include "hx_net/strutil.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::string;  // may hold NUL bytes

// Each token array has one spare slot holding a marker: a write past `max`
// shows up.
TEST(StrUtil, Split) {
  const struct {
    char fn;  // 'w' str2words, 'a' strargs, 's' strsplit on ','
    const char* in;
    int max, rc;
    std::vector<Bytes> tokens;
  } rows[] = {
      {'w', "\v a\f\r b \t\n", 2, 2, {"a", "b"}},
      {'w', "ab\x01;d \x01 e", 4, 4, {"ab", ";d", "", "e"}},  // a control byte ends a word
      {'w', " \xA0 ", 3, 1, {""}},                            // 0xA0 is no blank: an (empty) word
      {'a', "a \"b\\\" c\" \"\" d\"e f\"", 4, -1, {"a", "b\" c", "", "d\"e"}},
      {'a', "\"ab\"cd \"a\\b", 5, 3, {"ab", "cd", "a\\b"}},  // resumes after the quote
      {'s', "a,,b,", 4, 4, {"a", "", "b", ""}},
      {'s', "a,,b,", 3, -1, {"a", "", "b"}},
      {'s', "a", 0, -1, {}},
  };
  for (const auto& r : rows) {
    std::vector<char> buf(r.in, r.in + strlen(r.in) + 1);
    char marker = 0;
    std::vector<char*> slots(static_cast<size_t>(std::max(r.max, 0)) + 1, nullptr);
    slots.back() = &marker;
    const int rc = r.fn == 'w'   ? str2words(buf.data(), slots.data(), r.max)
                   : r.fn == 'a' ? strargs(buf.data(), slots.data(), r.max)
                                 : strsplit(buf.data(), slots.data(), r.max, ',');
    EXPECT_EQ(rc, r.rc) << r.in;
    EXPECT_EQ(slots.back(), &marker) << "wrote past max: " << r.in;
    std::vector<Bytes> got;
    for (int i = 0; i < (rc >= 0 ? std::min(rc, r.max) : r.max); ++i)
      got.push_back(slots[i] ? slots[i] : "(null)");
    EXPECT_EQ(got, r.tokens) << r.in;
  }
}

TEST(StrUtil, CharacterWork) {
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

  const char* equal[][3] = {{"abc", "abc", "1"}, {"abc", "ab", "0"},      {"\xE4", "\xC4", "0"},
                            {"", "", "1"},       {nullptr, nullptr, "1"}, {nullptr, "", "0"},
                            {"", nullptr, "0"}};
  for (const auto& r : equal) EXPECT_EQ(strequal(r[0], r[1]), r[2][0] - '0') << r[0] << r[1];
}

TEST(StrUtil, Trim) {
  const char* rows[][4] = {
      // input, strtrim, strltrim, strrtrim
      {"  a b  ", "a b", "a b  ", "  a b"},
      {" \t\n\v\f\r", "", "", ""},
      {"", "", "", ""},
      {"\xA0 x \xA0", "\xA0 x \xA0", "\xA0 x \xA0", "\xA0 x \xA0"},
  };
  char* (*const fns[])(char*) = {strtrim, strltrim, strrtrim};
  for (const auto& r : rows) {
    for (int f = 0; f < 3; ++f) {
      std::string buf(r[0]);
      char* end = fns[f](&buf[0]);
      EXPECT_STREQ(buf.c_str(), r[f + 1]) << "routine " << f << " on \"" << r[0] << "\"";
      EXPECT_EQ(end, buf.c_str() + strlen(r[f + 1])) << "routine " << f << " on \"" << r[0] << "\"";
    }
  }
}

// A '#' behind the expected NUL must survive.
TEST(StrUtil, BoundedCopies) {
  const struct {
    int fn;  // 0 strxcpy, 1 strzcpy, 2 strzcat onto "xy"
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
    if (strlen(r.want) >= 2) {
      EXPECT_EQ(buf[strlen(r.want) + 1], '#') << r.fn << " n " << r.n;
    }
  }
}

TEST(StrUtil, Substitute) {
  const struct {
    const char *s, *pat, *rep, *want;
    int at;
  } rows[] = {
      {"abcd", "bc", "XYZ", "aXYZd", 1},
      {"aXYZd", "XYZ", "W", "aWd", 1},
      {"abcabc", "bc", "Q", "aQabc", 1},
      {"abc", "abc", "", "", 0},
      {"abc", "c", "cc", "abcc", 2},
      {"abcd", "zz", "Q", "abcd", -1},
      {"", "a", "b", "", -1},
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

// Every byte up to the final NUL is compared, NULs in the middle included;
// out of place and in place.
TEST(StrUtil, SequencesToBytes) {
  const struct {
    const char* src;
    Bytes want;
    const char* keep = nullptr;
  } rows[] = {
      {"\\x4g\\x414\\x\\477\\XaF", "\x04gA4x?\xAF"},
      {"a\\400b\\x00z\\08", Bytes("a\0b\0z\08", 7)},  // a NUL, and on behind it
      {"\\q\\\"ab\\", "q\"ab"},  // unknown: the backslash goes, also at the end
      {"\\q\\w\\8\\x\\xgab\\", "q\\w\\8\\x\\xgab\\", "qx"},
  };
  for (const auto& r : rows) {
    char out[64], inplace[64];
    memset(out, '#', sizeof out);
    strcvtbackslashseq(out, r.src, r.keep);
    EXPECT_EQ(Bytes(out, r.want.size() + 1), r.want + '\0') << r.src;
    strcpy(inplace, r.src);
    strcvtbackslashseq(inplace, inplace, r.keep);
    EXPECT_EQ(Bytes(inplace, r.want.size() + 1), r.want + '\0') << "in place " << r.src;
  }
}

TEST(StrUtil, QuoteInPlaceKeepsLongText) {
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

TEST(StrUtil, HeapCopies) {
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

  char buf[32] = "x";
  char* end = cat_sprintf(cat_sprintf(buf, "%d-%s", 12, "ab"), "%c", '!');
  EXPECT_STREQ(buf, "x12-ab!");
  EXPECT_EQ(end, buf + 7);
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
TEST(StrUtil, AllocationFailureKeepsData) {
#ifdef HX_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes reserve the address space a cap would need";
#else
  EXPECT_EXIT(AllocationFailureChild(), ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
