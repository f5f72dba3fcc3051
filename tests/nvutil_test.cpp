// The line rules are also checked against a reference reader on every input
// of the fuzz corpus (fuzz/nvutil_fuzz.cpp), which stops at the first false.
#include "platform/nvutil.h"

#include <gtest/gtest.h>

#include <sstream>

// false assigns nothing and consumes the bad line: the next call goes on after it.
TEST(NVUtilReadFromStream, ReadsOnAfterABadLine) {
  std::istringstream in("k=v\nbad line\nb=2\n");
  std::string n, v;
  ASSERT_TRUE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_FALSE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n + "|" + v, "k|v");
  ASSERT_TRUE(NVUtil::ReadFromStream(in, n, v));
  EXPECT_EQ(n + "|" + v, "b|2");
}
