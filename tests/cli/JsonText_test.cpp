#include "cli/JsonText.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonQuoted, EscapesWhatJsonForbidsAndKeepsUtf8) {
  EXPECT_EQ(JsonQuoted("a\"b\\c"), R"("a\"b\\c")");
  EXPECT_EQ(JsonQuoted(std::string("\n\t\x01\x7F\0", 5)), R"("\n\t\u0001\u007f\u0000")");
  EXPECT_EQ(JsonQuoted("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  // Bytes that are not UTF-8 (a lone lead byte, a cut sequence, a surrogate) never reach
  // the output raw.
  EXPECT_EQ(JsonQuoted("\xE9x"), R"("\u00e9x")");
  EXPECT_EQ(JsonQuoted("\xE2\x82"), R"("\u00e2\u0082")");
  EXPECT_EQ(JsonQuoted("\xED\xA0\x80"), R"("\u00ed\u00a0\u0080")");
}

}  // namespace
