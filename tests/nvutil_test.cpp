// The line rules are also checked against a reference reader on every input
// of the fuzz corpus (fuzz/nvutil_fuzz.cpp).
#include "platform/nvutil.h"

#include <gtest/gtest.h>

#include <sstream>

TEST(NVUtilReadFromStream, ReadsPairsUpToTheFirstBadLine) {
  std::istringstream in("\r\n \tname \t= v=w \r\n\nk=\nbad line\nb=2\n  =3\n");
  std::string n = "n0", v = "v0";
  ASSERT_TRUE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n, "name");  // blanks around the name go, around the value stay
  EXPECT_EQ(v, " v=w ");
  ASSERT_TRUE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n, "k");
  EXPECT_EQ(v, "");
  // false assigns nothing and consumes the bad line: the next call goes on
  // after it.
  EXPECT_FALSE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n, "k");
  EXPECT_EQ(v, "");
  ASSERT_TRUE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n + v, "b2");
  EXPECT_FALSE(NVUtil::ReadFromStream(in, n, v));  // an empty name
  EXPECT_FALSE(NVUtil::ReadFromStream(in, n, v));  // the end
  EXPECT_EQ(n + v, "b2");
}
