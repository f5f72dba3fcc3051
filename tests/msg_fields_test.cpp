// The scanners and the decoder are also checked against reference parsers on
// every input of the fuzz corpora (fuzz/msg_fields_fuzz.cpp,
// fuzz/str_decoder_fuzz.cpp); the rows here pin the rules callers rely on.
#include "hx_net/msg_fields.h"

#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// One call's expected outcome: result, name, value, cursor offset afterwards.
struct Step {
  int rc;
  std::string name, value;
  size_t cursor;
};

const std::string kLongName(300, 'n');

// msg_next_field_2 walks the same way without a bound (rows with a bound below
// 16 are not for it) and leaves the value alone on 0 and -1.
TEST(MsgFields, NextField) {
  const struct {
    std::string text;
    long maxlen;
    std::vector<Step> steps;
  } rows[] = {
      {"xx<a>1</a><>x",
       16,
       {{1, "a", "1", 6}, {1, "/a", "", 10}, {1, "", "x", 13}, {0, "", "", 13}}},
      {"<a<b>x>y", 16, {{1, "a<b", "x>y", 8}}},
      {"<a>1<b", 16, {{1, "a", "1", 4}, {-1, "b", "", 4}, {-1, "b", "", 4}}},
      {"<a>12345<b>6", 3, {{1, "a", "123", 6}, {1, "b", "6", 12}, {0, "", "", 12}}},
      {"<a>12<b>", -5, {{1, "a", "", 3}, {1, "b", "", 8}}},
      {"no fields", 16, {{0, "", "", 9}, {0, "", "", 9}}},
      // A long name is cut, and the scan moves past all of it.
      {"<" + kLongName + ">v<b>w",
       16,
       {{1, kLongName.substr(0, 255), "v", 303}, {1, "b", "w", 307}}},
  };
  for (const auto& row : rows) {
    std::string text(row.text), text2(row.text);
    char *cursor = &text[0], *cursor2 = &text2[0];
    for (const Step& s : row.steps) {
      // Exactly the documented sizes: ASan reports a write past them, and
      // the value's marker shows it in any build.
      std::unique_ptr<char[]> name(new char[kMsgFieldNameSize]);
      std::vector<char> value(static_cast<size_t>(std::max(row.maxlen, 0L)) + 2, '#');
      value[0] = '\0';
      EXPECT_EQ(msg_next_field(&cursor, name.get(), value.data(), row.maxlen), s.rc) << row.text;
      EXPECT_EQ(name.get(), s.name) << row.text;
      EXPECT_STREQ(value.data(), s.value.c_str()) << row.text;
      EXPECT_EQ(value.back(), '#') << row.text;
      EXPECT_EQ(cursor, text.c_str() + s.cursor) << row.text;
      if (row.maxlen < 16) continue;
      std::string value2 = "kept";
      EXPECT_EQ(msg_next_field_2(&cursor2, name.get(), value2), s.rc) << row.text;
      EXPECT_EQ(name.get(), s.name) << row.text;
      EXPECT_EQ(value2, s.rc == 1 ? s.value : "kept") << row.text;
      EXPECT_EQ(cursor2, text2.c_str() + s.cursor) << row.text;
    }
    EXPECT_EQ(text, row.text) << "the text must not be written";
  }
}

TEST(MsgFields, FindField) {
  const std::string longText = "<" + kLongName + ">long<x>1";
  const struct {
    std::string text, wanted;
    long maxlen;
    Step first, second;
  } rows[] = {
      {"<ab>1<A>2<a>3", "a", 16, {1, "", "3", 13}, {0, "", "", 13}},
      {"<a>12345<a>6", "a", 3, {1, "", "123", 6}, {1, "", "6", 12}},
      {"<a>1<b", "c", 16, {-1, "", "", 3}, {-1, "", "", 3}},
      {"<a>1", "a", -1, {1, "", "", 3}, {0, "", "", 4}},
      {longText, kLongName.substr(0, 255), 16, {0, "", "", 310}, {0, "", "", 310}},
      {longText, kLongName, 16, {1, "", "long", 306}, {0, "", "", 310}},
  };
  for (const auto& row : rows) {
    std::string text = row.text;
    char* cursor = &text[0];
    for (const Step* s : {&row.first, &row.second}) {
      char value[32] = "kept";
      EXPECT_EQ(msg_find_field(&cursor, row.wanted.c_str(), value, row.maxlen), s->rc) << row.text;
      EXPECT_STREQ(value, s->rc == 1 ? s->value.c_str() : "kept") << row.text;
      EXPECT_EQ(cursor, text.c_str() + s->cursor) << row.text;
    }
  }
  char text[] = "<a>1<b>22";
  char value[8];
  EXPECT_EQ(msg_get_field(text, "b", value, 7), 1);
  EXPECT_STREQ(value, "22");
  EXPECT_EQ(msg_get_field(text, "a", value, 7), 1);  // from the start again
  EXPECT_STREQ(value, "1");
}

TEST(MsgFields, NullTextGivesNothing) {
  char name[kMsgFieldNameSize] = "x";
  char value[8] = "kept";
  std::string value2 = "kept";
  char* nullCursor = nullptr;
  EXPECT_EQ(msg_next_field(nullptr, name, value, 7), 0);
  EXPECT_EQ(msg_next_field(&nullCursor, name, value, 7), 0);
  EXPECT_STREQ(name, "");
  EXPECT_EQ(msg_next_field_2(&nullCursor, name, value2), 0);
  EXPECT_EQ(msg_find_field(&nullCursor, "a", value, 7), 0);
  EXPECT_EQ(msg_get_field(nullptr, "a", value, 7), 0);
  char text[] = "<a>1";
  EXPECT_EQ(msg_get_field(text, nullptr, value, 7), 0);
  EXPECT_STREQ(value, "kept");
  EXPECT_EQ(value2, "kept");
}

// Size 0, null pointers and buffers without a NUL; the fuzz corpus checks
// the decoding itself.
TEST(StrDecoder, Edges) {
  char buf[] = "&lt;ab";
  EXPECT_EQ(strDecoder::DecodeBuffer(buf, 0), buf);
  EXPECT_STREQ(buf, "&lt;ab");
  // Only the first four bytes belong to the buffer: no NUL among them.
  strDecoder::DecodeBuffer(buf, 4);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string("<\0\0\0ab\0", 7));
  EXPECT_EQ(strDecoder::DecodeBuffer(nullptr, 4), nullptr);
  EXPECT_EQ(strDecoder::DecodeStr("&lt;lt;&amp;lt;"), "<lt;&amp;lt;");  // one pass, two entities
  EXPECT_EQ(strDecoder::DecodeStr(std::string("a\0&gt;", 6)), std::string("a\0>", 3));
  EXPECT_EQ(strDecoder::DecodeStr(static_cast<const char*>(nullptr)), "");
  EXPECT_FALSE(strDecoder::NeedDecoding(nullptr));
}

}  // namespace
