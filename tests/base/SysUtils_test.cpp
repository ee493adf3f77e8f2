#include "base/SysUtils.h"

#include <gtest/gtest.h>

namespace {

TEST(StrToInt, ReadsWhatAPersonTypes) {
  EXPECT_EQ(StrToInt("53"), 53);
  EXPECT_EQ(StrToInt("-1"), -1);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt(" 5"), 5);
  EXPECT_EQ(StrToInt("$FF"), 255);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
}

TEST(StrToInt, RefusesWhatIsNotAnInteger) {
  for (const char* text : {"", "abc", "5 ", "1.5", "-", "2147483648", "99999999999", "0x"}) {
    EXPECT_FALSE(TryStrToInt(text).has_value()) << text;
  }
  try {
    StrToInt("5s");
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'5s' is not a valid integer value");
  }
}

TEST(Text, TrimAndCaseHelpers) {
  EXPECT_EQ(Trim(" \r\n text \t\n"), "text");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_TRUE(SameText("MiXeD.Org", "mixed.ORG"));
  EXPECT_FALSE(SameText("a", "ab"));
  EXPECT_EQ(LowerCase("ABC-Ñ"), "abc-Ñ");
  EXPECT_EQ(Format("%s, Preference %d, %s", "mx", 10, "1.2.3.4"), "mx, Preference 10, 1.2.3.4");
}

}  // namespace
