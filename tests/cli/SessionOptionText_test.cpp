// How the exchange's own options of an answer are written, whatever they hold, and how
// the command line gives a cookie.
#include "cli/SessionOptionText.h"

#include <gtest/gtest.h>

#include "cli/CliOptions.h"
#include "dns/zvDnsSessionOptions.h"

namespace {

TEST(SessionOptionText, EachOptionOfTheExchangeHasDigsLineAndPaddingNone) {
  const struct {
    std::uint16_t code;
    std::vector<std::uint8_t> data;
    TzvCookieVerdict verdict;
    std::optional<std::string> line;
  } cases[] = {
      {10,
       {0xAB, 1, 2, 3, 4, 5, 6, 7},
       TzvCookieVerdict::cvEchoed,
       "; COOKIE: ab01020304050607 (echoed)"},
      {10, std::vector<std::uint8_t>(16, 0xFF), TzvCookieVerdict::cvGood,
       "; COOKIE: ffffffffffffffffffffffffffffffff (good)"},
      {10, {1, 2, 3}, TzvCookieVerdict::cvMalformed, "; COOKIE: 010203 (malformed)"},
      {11, {0, 15}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE: 1.5 secs"},
      {11, {0xFF, 0xFF}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE: 6553.5 secs"},
      {11, {}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE:  (malformed)"},
      {11, {1, 2, 3}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE: 01 02 03 (malformed)"},
      {12, {}, TzvCookieVerdict::cvNotSent, ""},
      {12, std::vector<std::uint8_t>(300, 0x1B), TzvCookieVerdict::cvNotSent, ""},
      {3, {1}, TzvCookieVerdict::cvNotSent, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SessionOptionLine({c.code, c.data}, c.verdict), c.line) << c.code;
}

TEST(SessionOptionText, ACookieOnTheCommandLineHasALengthACookieCanHave) {
  for (const std::size_t bytes : {0, 1, 7, 9, 15, 41}) {
    const TCliParseResult read =
        ParseCliArguments({"+cookie=" + std::string(bytes * 2, 'a'), "@127.0.0.1", "example.org"});
    ASSERT_TRUE(read.Error) << bytes;
    EXPECT_NE(read.Error->Message.find("+cookie="), std::string::npos) << read.Error->Message;
  }
  for (const std::size_t bytes : {8, 16, 40}) {
    const TCliParseResult read =
        ParseCliArguments({"+cookie=" + std::string(bytes * 2, 'A'), "@127.0.0.1", "example.org"});
    ASSERT_TRUE(read.Options) << bytes;
    EXPECT_EQ(read.Options->CookieBytes, std::vector<std::uint8_t>(bytes, 0xAA));
  }
  EXPECT_TRUE(ParseCliArguments({"+cookie=0102030405060g08", "example.org"}).Error);
}

}  // namespace
