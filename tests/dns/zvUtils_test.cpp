#include "dns/zvUtils.h"

#include <gtest/gtest.h>

namespace {

TEST(ByteOrder, WritesMostSignificantByteFirst) {
  TzvByteArray buffer(6);
  std::int32_t position = 0;
  ByteArrayWriteDWord(0x01020304, buffer, position);
  ByteArrayWriteWord(0xFFFE, buffer, position);
  EXPECT_EQ(position, 6);
  const std::uint8_t expected[] = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFE};
  EXPECT_TRUE(std::ranges::equal(buffer.Bytes(), expected));

  position = 0;
  EXPECT_EQ(ByteArrayReadDWord(buffer, position), 0x01020304u);
  EXPECT_EQ(ByteArrayReadWord(buffer, position), 65534);  // unsigned, not -2
  EXPECT_EQ(position, 6);
  EXPECT_EQ(ComposeWord(0x3F, 0xFF), 0x3FFF);
}

TEST(ByteOrder, ReadsPastTheEndFailWithTheSizeError) {
  TzvByteArray buffer(3);
  for (std::int32_t start : {-1, 2, 3, 4}) {
    std::int32_t position = start;
    try {
      ByteArrayReadWord(buffer, position);
      FAIL() << "read a word at " << start;
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), kzvDnsErrInvalidSize);
      EXPECT_STREQ(e.what(), "The size of the datagram is invalid");
    }
    EXPECT_EQ(position, start) << "a failed read must not move the position";
  }
  std::int32_t position = 0;
  EXPECT_THROW(ByteArrayReadDWord(buffer, position), EzvDnsError);
}

TEST(ByteOrder, WritesThatDoNotFitLeaveTheBufferUntouched) {
  TzvByteArray buffer(5);
  std::int32_t position = 2;
  try {
    ByteArrayWriteDWord(0xAABBCCDD, buffer, position);
    FAIL() << "wrote past the end";
  } catch (const EzvDnsError& e) {
    EXPECT_STREQ(e.what(), "The message is longer than 5 bytes");
  }
  EXPECT_EQ(position, 2);
  for (std::uint8_t b : buffer.Bytes()) EXPECT_EQ(b, 0);
  position = 4;
  EXPECT_THROW(ByteArrayWriteWord(1, buffer, position), EzvDnsError);
  EXPECT_EQ(buffer[4], 0);
}

TEST(ResponseCodeText, MapsTheKnownCodesAndCallsTheRestUnspecified) {
  const std::pair<std::int32_t, const char*> table[] = {{1, "Format error"},
                                                        {2, "Server failure"},
                                                        {3, "No such name"},
                                                        {4, "Not implemented"},
                                                        {5, "Refused"},
                                                        {0, "Unspecified error"},
                                                        {6, "Unspecified error"},
                                                        {15, "Unspecified error"},
                                                        {-3, "Unspecified error"},
                                                        {16, "Bad OPT version"},
                                                        {17, "Unspecified error"}};
  for (const auto& [code, text] : table) {
    const EzvDnsError error(code);
    EXPECT_EQ(error.ErrorCode(), code);
    EXPECT_STREQ(error.what(), text) << code;
  }
  // A kind of socket error, so callers that catch the transport's failures catch it too.
  EXPECT_THROW(throw EzvDnsError("x", -1), EzvSocketError);
}

TEST(ResponseCodeName, GivesDigsMnemonicsAndNumbersTheRest) {
  const std::pair<std::int32_t, const char*> table[] = {
      {0, "NOERROR"},  {10, "NOTZONE"},   {11, "RCODE11"}, {16, "BADVERS"},
      {19, "BADMODE"}, {23, "BADCOOKIE"}, {24, "RCODE24"}, {-1, "RCODE-1"}};
  for (const auto& [code, name] : table) EXPECT_EQ(DnsResponseCodeName(code), name);
}

class Words : public ::testing::Test {
 protected:
  const TzvCharSet dot = MakeCharSet(".");
};

TEST_F(Words, CountsRunsBetweenDelimiters) {
  EXPECT_EQ(CountWords("", dot), 0);
  EXPECT_EQ(CountWords("", TzvCharSet{}), 0);
  EXPECT_EQ(CountWords("...", dot), 0);
  EXPECT_EQ(CountWords("..a..bc.", dot), 2);
  EXPECT_EQ(CountWords("1.2.3.4", dot), 4);
  EXPECT_EQ(CountWords("a b,c", MakeCharSet(" ,")), 3);
}

TEST_F(Words, FindsAndPicksTheNthWord) {
  EXPECT_EQ(FindWordStart(1, "..a..bc.", dot), 3);
  EXPECT_EQ(FindWordStart(2, "..a..bc.", dot), 6);
  EXPECT_EQ(PickWord(2, "..a..bc.", dot), "bc");
  EXPECT_EQ(PickWord(1, "abc", dot), "abc");
  for (std::int32_t n : {3, 0, -1}) {
    EXPECT_EQ(FindWordStart(n, "..a..bc.", dot), 0) << n;
    EXPECT_EQ(PickWord(n, "..a..bc.", dot), "") << n;
  }
  // Delimiters are bytes: the high half of the character set works as well.
  EXPECT_EQ(PickWord(2,
                     "a\xFF"
                     "b",
                     MakeCharSet("\xFF")),
            "b");
}

}  // namespace
