// The scanners and the decoder are checked against reference parsers on every
// input of the fuzz corpora (fuzz/msg_fields_fuzz.cpp, fuzz/str_decoder_fuzz.cpp);
// the rows here pin the deliberate rules and what the corpora never pass.
#include "hx_net/msg_fields.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

// A name longer than a field name holds is cut at 255 bytes, and the scan
// moves past all of it; it matches only itself. A bound below 0 counts as 0.
TEST(MsgFields, LongNamesAndNegativeBounds) {
  const std::string longName(300, 'n');
  std::string text = "<" + longName + ">v<b>w";
  char* cursor = &text[0];
  char name[kMsgFieldNameSize], value[16];
  EXPECT_EQ(msg_next_field(&cursor, name, value, 15), 1);
  EXPECT_EQ(name, longName.substr(0, 255));
  EXPECT_EQ(cursor - text.c_str(), 303);
  EXPECT_EQ(msg_get_field(&text[0], longName.substr(0, 255).c_str(), value, 15), 0);
  EXPECT_EQ(msg_get_field(&text[0], longName.c_str(), value, 15), 1);
  EXPECT_STREQ(value, "v");
  EXPECT_EQ(msg_next_field(&cursor, name, value, -5), 1);
  EXPECT_STREQ(value, "");
  EXPECT_EQ(cursor - text.c_str(), 306) << "the value is left behind the cursor";
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

// Size 0, null pointers and a buffer without a NUL.
TEST(StrDecoder, Edges) {
  char buf[] = "&lt;ab";
  EXPECT_EQ(strDecoder::DecodeBuffer(buf, 0), buf);
  EXPECT_STREQ(buf, "&lt;ab");
  strDecoder::DecodeBuffer(buf, 4);  // only the first four bytes belong to the buffer
  EXPECT_EQ(std::string(buf, sizeof buf), std::string("<\0\0\0ab\0", 7));
  EXPECT_EQ(strDecoder::DecodeBuffer(nullptr, 4), nullptr);
  EXPECT_EQ(strDecoder::DecodeStr(static_cast<const char*>(nullptr)), "");
  EXPECT_FALSE(strDecoder::NeedDecoding(nullptr));
}

}  // namespace
