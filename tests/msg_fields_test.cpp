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
  std::string name;
  std::string value;
  size_t cursor;
};

struct WalkRow {
  const char* text;
  long maxlen;
  std::vector<Step> steps;
};

const WalkRow kWalks[] = {
    {"<a>1<b>2", 16, {{1, "a", "1", 4}, {1, "b", "2", 8}, {0, "", "", 8}}},
    {"xx<a>1", 16, {{1, "a", "1", 6}, {0, "", "", 6}}},
    {"<>x", 16, {{1, "", "x", 3}, {0, "", "", 3}}},
    {"<a>1</a>", 16, {{1, "a", "1", 4}, {1, "/a", "", 8}, {0, "", "", 8}}},
    {"<a<b>x>y", 16, {{1, "a<b", "x>y", 8}}},
    {"<a", 16, {{-1, "a", "", 0}, {-1, "a", "", 0}}},
    {"xx<ab", 16, {{-1, "ab", "", 0}, {-1, "ab", "", 0}}},
    {"<a>1<b", 16, {{1, "a", "1", 4}, {-1, "b", "", 4}, {-1, "b", "", 4}}},
    {"<a>12345<b>6", 3, {{1, "a", "123", 6}, {1, "b", "6", 12}, {0, "", "", 12}}},
    {"<a>12345<b>6", 16, {{1, "a", "12345", 8}, {1, "b", "6", 12}, {0, "", "", 12}}},
    {"<a>12<b>", 0, {{1, "a", "", 3}, {1, "b", "", 8}, {0, "", "", 8}}},
    {"<a>12<b>", -5, {{1, "a", "", 3}, {1, "b", "", 8}}},
    {"", 16, {{0, "", "", 0}, {0, "", "", 0}}},
    {"no fields", 16, {{0, "", "", 9}}},
};

// msg_next_field_2 walks the same way without a bound (rows whose values the
// bound cuts are not for it) and leaves the value alone on 0 and -1.
TEST(MsgFieldsWalk, NextFieldTables) {
  for (const WalkRow& row : kWalks) {
    std::string text(row.text), text2(row.text);
    char *cursor = &text[0], *cursor2 = &text2[0];
    for (const Step& s : row.steps) {
      char name[kMsgFieldNameSize];
      // The value buffer has exactly maxlen + 1 bytes, then a marker.
      std::vector<char> value(static_cast<size_t>(std::max(row.maxlen, 0L)) + 2, '#');
      value[0] = '\0';
      EXPECT_EQ(msg_next_field(&cursor, name, value.data(), row.maxlen), s.rc) << row.text;
      EXPECT_STREQ(name, s.name.c_str()) << row.text;
      EXPECT_STREQ(value.data(), s.value.c_str()) << row.text;
      EXPECT_EQ(value.back(), '#') << row.text;
      EXPECT_EQ(cursor, text.c_str() + s.cursor) << row.text;
      if (row.maxlen < 16) continue;
      std::string value2 = "kept";
      strcpy(name, "#");
      EXPECT_EQ(msg_next_field_2(&cursor2, name, value2), s.rc) << row.text;
      EXPECT_STREQ(name, s.name.c_str()) << row.text;
      EXPECT_EQ(value2, s.rc == 1 ? s.value : "kept") << row.text;
      EXPECT_EQ(cursor2, text2.c_str() + s.cursor) << row.text;
    }
    EXPECT_EQ(text, row.text) << "the text must not be written";
  }
}

TEST(MsgFieldsWalk, LongNameIsCutButPassed) {
  const std::string longName(300, 'n');
  std::string text = "<" + longName + ">v<b>w";
  for (int variant = 0; variant < 2; ++variant) {
    char* cursor = &text[0];
    // Exactly the documented size: ASan reports a write past it.
    std::unique_ptr<char[]> name(new char[kMsgFieldNameSize]);
    char value[8];
    std::string value2;
    const int rc = variant == 0 ? msg_next_field(&cursor, name.get(), value, 7)
                                : msg_next_field_2(&cursor, name.get(), value2);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(std::string(name.get()), longName.substr(0, 255));
    EXPECT_EQ(variant == 0 ? std::string(value) : value2, "v");
    EXPECT_EQ(cursor, text.c_str() + 303);
  }
}

TEST(MsgFieldsFind, FindTable) {
  const std::string longName(300, 'n');
  const std::string longText = "<" + longName + ">long<x>1";
  const struct {
    std::string text;
    std::string wanted;
    long maxlen;
    Step first;
    Step second;
  } rows[] = {
      {"<a>1<b>2", "b", 16, {1, "", "2", 8}, {0, "", "", 8}},
      {"<a>1<b>2", "c", 16, {0, "", "", 8}, {0, "", "", 8}},
      {"<ab>1<a>2", "a", 16, {1, "", "2", 9}, {0, "", "", 9}},
      {"<A>1<a>2", "a", 16, {1, "", "2", 8}, {0, "", "", 8}},
      {"<a>12345<a>6", "a", 3, {1, "", "123", 6}, {1, "", "6", 12}},
      {"<a>1<a>", "a", 16, {1, "", "1", 4}, {1, "", "", 7}},
      {"<a>1<b", "c", 16, {-1, "", "", 3}, {-1, "", "", 3}},
      {"<a", "a", 16, {-1, "", "", 0}, {-1, "", "", 0}},
      {"<a>1", "a", -1, {1, "", "", 3}, {0, "", "", 4}},
      {"", "a", 16, {0, "", "", 0}, {0, "", "", 0}},
      {longText, longName.substr(0, 255), 16, {0, "", "", 310}, {0, "", "", 310}},
      {longText, longName, 16, {1, "", "long", 306}, {0, "", "", 310}},
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
}

TEST(MsgFieldsFind, GetFieldUsesItsOwnCursor) {
  char text[] = "<a>1<b>22<c>3";
  char value[8];
  EXPECT_EQ(msg_get_field(text, "b", value, 7), 1);
  EXPECT_STREQ(value, "22");
  EXPECT_EQ(msg_get_field(text, "a", value, 7), 1);  // from the start again
  EXPECT_STREQ(value, "1");
  EXPECT_EQ(msg_get_field(text, "d", value, 7), 0);
}

TEST(MsgFieldsNull, NullTextGivesNothing) {
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

// ---- Entity decoding

TEST(StrDecoder, EntityTable) {
  const struct {
    std::string text;
    std::string decoded;
    bool need;
  } rows[] = {
      {"a &lt;b&gt; c", "a <b> c", true},
      {"&lt;lt;", "<lt;", true},
      {"&amp;lt;", "&amp;lt;", false},
      {"&gt", "&gt", false},
      {"&GT;", "&GT;", false},
      {"&&lt;;", "&<;", true},
      {"&lt&gt;;", "&lt>;", true},
      {"&gt;&lt;", "><", true},
      {"", "", false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(strDecoder::NeedDecoding(r.text.c_str()), r.need) << r.text;
    std::unique_ptr<std::string> d(strDecoder::DecodeStr_(r.text));
    EXPECT_EQ(d != nullptr, r.need) << r.text;
    if (d) {
      EXPECT_EQ(*d, r.decoded);
    }
    EXPECT_EQ(strDecoder::DecodeStr(r.text), r.decoded);
    EXPECT_EQ(strDecoder::DecodeStr(r.text.c_str()), r.decoded);

    // In a larger buffer: NUL-filled up to the end when decoded, else untouched.
    char buf[16];
    memset(buf, 'Z', sizeof buf);
    memcpy(buf, r.text.c_str(), r.text.size() + 1);
    EXPECT_EQ(strDecoder::DecodeBuffer(buf, sizeof buf), buf);
    std::string want = r.decoded + '\0';
    want.resize(sizeof buf, r.need ? '\0' : 'Z');
    EXPECT_EQ(std::string(buf, sizeof buf), want) << r.text;
  }
}

TEST(StrDecoder, BufferAndStringEdges) {
  char buf[] = "&lt;ab";
  EXPECT_EQ(strDecoder::DecodeBuffer(buf, 0), buf);
  EXPECT_STREQ(buf, "&lt;ab");
  // Only the first four bytes belong to the buffer: no NUL among them.
  strDecoder::DecodeBuffer(buf, 4);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string("<\0\0\0ab\0", 7));
  EXPECT_EQ(strDecoder::DecodeBuffer(nullptr, 4), nullptr);

  EXPECT_EQ(strDecoder::DecodeStr(std::string("a\0&gt;", 6)), std::string("a\0>", 3));
  EXPECT_EQ(strDecoder::DecodeStr(static_cast<const char*>(nullptr)), "");
  EXPECT_FALSE(strDecoder::NeedDecoding(nullptr));
}

}  // namespace
