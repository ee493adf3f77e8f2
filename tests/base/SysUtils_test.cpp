#include "base/SysUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <tuple>

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

// A file of exactly max_bytes is read whole; one byte more, an endless device or a file
// that cannot be read is refused with the path and the reason.
TEST(ReadFileAtMost, TakesUpToItsBoundAndRefusesTheRest) {
  const std::string path = ::testing::TempDir() + "/pellamar-bounded.txt";
  std::ofstream(path) << std::string(100, 'x');
  EXPECT_EQ(ReadFileAtMost(path, 100), std::string(100, 'x'));
  EXPECT_EQ(ReadFileAtMost("/dev/null", 100), "");
  const std::tuple<std::string, std::size_t, std::string> refused[] = {
      {path, 99, path + ": longer than 99 bytes"},
      {"/dev/zero", 1024 * 1024, "/dev/zero: longer than 1 MiB"},
      {"/nonexistent/file", 10, "/nonexistent/file: No such file or directory"},
      {"/", 10, "/: Is a directory"},
  };
  for (const auto& [file, bound, why] : refused) {
    try {
      ReadFileAtMost(file, bound);
      ADD_FAILURE() << "read: " << file;
    } catch (const EFileError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(why, 0), 0u) << e.what();
    }
  }
  std::remove(path.c_str());
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
