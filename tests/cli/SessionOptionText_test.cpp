// How the exchange's own options of an answer are written, whatever they hold.
#include "cli/SessionOptionText.h"

#include <gtest/gtest.h>

#include "dns/zvDnsSessionOptions.h"

namespace {

TEST(SessionOptionText, EachOptionOfTheExchangeHasDigsLineAndTheRestNone) {
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
      {10, {1, 2, 3}, TzvCookieVerdict::cvMalformed, "; COOKIE: 010203 (malformed)"},
      {11, {0, 15}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE: 1.5 secs"},
      {11, {}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE:  (malformed)"},
      {11, {1, 2, 3}, TzvCookieVerdict::cvNotSent, "; TCP KEEPALIVE: 01 02 03 (malformed)"},
      {12, {}, TzvCookieVerdict::cvNotSent, std::nullopt},
      {12, std::vector<std::uint8_t>(300, 0x1B), TzvCookieVerdict::cvNotSent, std::nullopt},
      {3, {1}, TzvCookieVerdict::cvNotSent, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SessionOptionLine({c.code, c.data}, c.verdict), c.line) << c.code;
}

}  // namespace
