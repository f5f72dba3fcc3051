// The scanners and the decoder are checked against reference parsers on every
// input of the fuzz corpora (fuzz/msg_fields_fuzz.cpp, fuzz/str_decoder_fuzz.cpp),
// long names and negative bounds included; the rows here pass what they never do.
#include "hx_net/msg_fields.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MsgFields, NullTextGivesNothing) {
  char name[kMsgFieldNameSize] = "x", value[8] = "kept", text[] = "<a>1", *nullCursor = nullptr;
  std::string value2 = "kept";
  for (int rc :
       {msg_next_field(nullptr, name, value, 7), msg_next_field(&nullCursor, name, value, 7),
        msg_next_field_2(&nullCursor, name, value2), msg_find_field(&nullCursor, "a", value, 7),
        msg_get_field(nullptr, "a", value, 7), msg_get_field(text, nullptr, value, 7)})
    EXPECT_EQ(rc, 0);
  EXPECT_STREQ(name, "");
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
