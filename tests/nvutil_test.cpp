#include "platform/nvutil.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// Reads pairs until the first false.
Pairs ReadAll(const std::string& text) {
  std::istringstream in(text);
  Pairs out;
  std::string n = "untouched", v = "untouched";
  while (NVUtil::ReadFromStream(in, n, v)) out.emplace_back(n, v);
  return out;
}

}  // namespace

TEST(NVUtilReadFromStream, TextForms) {
  struct Case {
    const char* what;
    std::string text;
    Pairs want;
  } cases[] = {
      {"two measurements", "cpu=12\nmem=300\n", {{"cpu", "12"}, {"mem", "300"}}},
      {"last line without newline", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
      {"CR LF line ends", "a=1\r\nb=2\r\n", {{"a", "1"}, {"b", "2"}}},
      {"blanks around the name go, around the value stay", " \tname \t= v \n", {{"name", " v "}}},
      {"value keeps later '=' signs", "k=a=b\n", {{"k", "a=b"}}},
      {"empty value", "k=\n", {{"k", ""}}},
      {"empty and CR-only lines are skipped", "\n\r\na=1\n\n\nb=2\n\n", {{"a", "1"}, {"b", "2"}}},
      {"stops at a line without '='", "a=1\nnothing here\nb=2\n", {{"a", "1"}}},
      {"stops at an empty name", "a=1\n  =2\nb=3\n", {{"a", "1"}}},
      {"empty stream", "", {}},
      {"only empty lines", "\n\n\r\n", {}},
      {"a reply that is not pairs", "NO", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadAll(c.text), c.want) << c.what;
}

TEST(NVUtilReadFromStream, FalseAssignsNothingAndConsumesTheBadLine) {
  std::istringstream in("bad line\nk=v\n");
  std::string n = "n0", v = "v0";
  EXPECT_FALSE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n, "n0");
  EXPECT_EQ(v, "v0");
  // The next call goes on after the line that failed.
  ASSERT_TRUE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n, "k");
  EXPECT_EQ(v, "v");
  EXPECT_FALSE(NVUtil::ReadFromStream(in, n, v));
}
