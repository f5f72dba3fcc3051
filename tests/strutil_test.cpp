// Splitting (and so which bytes are blanks, and bounds below 1), the backslash
// routines and quoting are checked on every input of the fuzz corpora
// (fuzz/str_split_fuzz.cpp, fuzz/str_escape_fuzz.cpp); the rows pin the rest.
#include "hx_net/strutil.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>

namespace {

using Bytes = std::string;  // may hold NUL bytes

long At(const char* buf, const char* p) {
  return p ? p - buf : -1;
}

// One routine on a buffer that holds `in`, then '#': what it returns (a count,
// or where a returned pointer points, -1 for null) and the text it leaves.
// The byte behind that text's NUL must be the one the buffer held there.
const struct {
  const char* routine;
  long (*run)(char*);
  Bytes in, out;
  long rc;
} kInPlace[] = {
    {"strdel", [](char* s) -> long { return strdel(s, 'a'); }, "banana", "bnn", 3},
    {"strreplace", [](char* s) -> long { return strreplace(s, '.', '\0'); }, "a.b.c",
     Bytes("a\0b\0c", 5), 2},
    {"strlower", [](char* s) -> long { return strlower(s); }, "ABC def \xC4\xE4",
     "abc def \xC4\xE4", 3},
    {"strupper", [](char* s) -> long { return strupper(s); }, "abc def \xC4\xE4",
     "ABC DEF \xC4\xE4", 6},
    {"strsane", [](char* s) -> long { return strsane(s, '?'), 0; },
     "a\tb\x01"
     "c\x7f\x80\xFF\xA0"
     "d \n",
     "a\tb?c????d \n", 0},
    {"strtrim", [](char* s) { return At(s, strtrim(s)); }, "  a b  ", "a b", 3},
    {"strltrim", [](char* s) { return At(s, strltrim(s)); }, "  a b  ", "a b  ", 5},
    {"strrtrim", [](char* s) { return At(s, strrtrim(s)); }, "  a b  ", "  a b", 5},
    {"strltrim", [](char* s) { return At(s, strltrim(s)); }, " \t\n\v\f\r", "", 0},
    {"strrtrim", [](char* s) { return At(s, strrtrim(s)); }, " \t\n\v\f\r", "", 0},
    {"strtrim", [](char* s) { return At(s, strtrim(s)); }, "", "", 0},
    {"strxcpy", [](char* s) -> long { return strxcpy(s, "abc", 5), 0; }, "xy", "abc  ", 0},
    {"strxcpy", [](char* s) -> long { return strxcpy(s, "abc", 2), 0; }, "xy", "ab", 0},
    {"strxcpy", [](char* s) -> long { return strxcpy(s, nullptr, 3), 0; }, "xy", "   ", 0},
    {"strxcpy", [](char* s) -> long { return strxcpy(s, "abc", -1), 0; }, "xy", "", 0},
    {"strzcpy", [](char* s) -> long { return strzcpy(s, "abcdef", 3), 0; }, "xy", "abc", 0},
    {"strzcpy", [](char* s) -> long { return strzcpy(s, "ab", 5), 0; }, "xy", "ab", 0},
    {"strzcpy", [](char* s) -> long { return strzcpy(s, nullptr, 3), 0; }, "xy", "", 0},
    {"strzcpy", [](char* s) -> long { return strzcpy(s, "ab", 0), 0; }, "xy", "", 0},
    {"strzcat", [](char* s) -> long { return strzcat(s, "abc", 2), 0; }, "xy", "xyab", 0},
    {"strzcat", [](char* s) -> long { return strzcat(s, nullptr, 2), 0; }, "xy", "xy", 0},
    {"strzcat", [](char* s) -> long { return strzcat(s, "abc", 0), 0; }, "xy", "xy", 0},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "bc", "XYZ")); }, "abcd", "aXYZd", 1},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "XYZ", "W")); }, "aXYZd", "aWd", 1},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "bc", "Q")); }, "abcabc", "aQabc", 1},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "abc", "")); }, "abc", "", 0},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "c", "cc")); }, "abc", "abcc", 2},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "zz", "Q")); }, "abcd", "abcd", -1},
    {"strsubst", [](char* s) { return At(s, strsubst(s, "", "x")); }, "abc", "abc", -1},
};

TEST(StrUtil, InPlaceRoutines) {
  for (const auto& r : kInPlace) {
    char buf[32], before[32];
    memset(buf, '#', sizeof buf);
    memcpy(buf, r.in.c_str(), r.in.size() + 1);
    memcpy(before, buf, sizeof buf);
    EXPECT_EQ(r.run(buf), r.rc) << r.routine << " on \"" << r.in << "\"";
    EXPECT_EQ(Bytes(buf, r.out.size() + 2), r.out + '\0' + before[r.out.size() + 1])
        << r.routine << " on \"" << r.in << "\"";
  }
}

TEST(StrUtil, EqualAndHeapCopies) {
  const char* equal[][3] = {{"abc", "abc", "1"}, {"abc", "ab", "0"},      {"\xE4", "\xC4", "0"},
                            {"", "", "1"},       {nullptr, nullptr, "1"}, {nullptr, "", "0"},
                            {"", nullptr, "0"}};
  for (const auto& r : equal) EXPECT_EQ(strequal(r[0], r[1]), r[2][0] - '0') << r[0] << r[1];

  EXPECT_EQ(strsave(nullptr), nullptr);
  const char original[] = "abc";
  char* p = strsave(original);
  EXPECT_TRUE(p != original && strcmp(p, "abc") == 0);
  p = strresave(p, "a longer text than before");
  EXPECT_STREQ(p, "a longer text than before");
  p = strresave(p, p + 9);  // a tail of its own text
  EXPECT_STREQ(p, "text than before");
  EXPECT_EQ(strresave(p, nullptr), nullptr);  // freed: the leak checker would tell
  EXPECT_EQ(strresave(nullptr, nullptr), nullptr);
  p = strresave(nullptr, "new");
  EXPECT_STREQ(p, "new");
  free(p);

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

// With the address space capped a little above what is in use (in a forked
// child), the routines that need a 32 MiB heap block must fail without losing
// or changing what the caller holds. In-place quoting of a long text thus
// takes a private copy of its whole length, not a fixed buffer.
TEST(StrUtil, AllocationFailureKeepsData) {
#ifdef HX_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes reserve the address space a cap would need";
#else
  EXPECT_EXIT(
      {
        const size_t n = 32u << 20;
        char* big = static_cast<char*>(malloc(2 * n + 3));
        char* old = strsave("old");
        long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (!big || !old || !statm || fscanf(statm, "%ld", &pages) != 1) exit(2);
        memset(big, 'b', n);
        big[n] = '\0';
        rlimit cap{};
        getrlimit(RLIMIT_AS, &cap);
        cap.rlim_cur = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (8u << 20);
        if (setrlimit(RLIMIT_AS, &cap) != 0) exit(4);
        if (strresave(old, big) != nullptr || strcmp(old, "old") != 0) exit(5);
        if (strquote(big, big) != -1 || big[0] != 'b' || big[n] != '\0') exit(6);
        if (strtoesc(big, big) != -1 || big[0] != 'b' || big[n] != '\0') exit(7);
        exit(0);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

}  // namespace
