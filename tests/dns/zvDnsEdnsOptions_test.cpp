// The EDNS options of questions and answers, against what a careless or hostile server
// sends: client subnets of every wrong prefix, error texts of any bytes and any length.
#include "dns/zvDnsEdnsOptions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

TEST(ClientSubnet, BothFamiliesGoWithTheBitsPastThePrefixZeroAndComeBackAsDigShowsThem) {
  const struct {
    const char* given;
    TBytes data;
    const char* shown;
  } cases[] = {
      {"192.0.3.77/23", {0, 1, 23, 0, 192, 0, 2}, "192.0.2.0/23/0"},
      {"192.0.2.77", {0, 1, 32, 0, 192, 0, 2, 77}, "192.0.2.77/32/0"},
      {"2001:db8:ff::1/40", {0, 2, 40, 0, 0x20, 0x01, 0x0d, 0xb8, 0}, "2001:db8::/40/0"},
      {"::/0", {0, 2, 0, 0}, "::/0/0"},
  };
  for (const auto& c : cases) {
    const auto subnet = ParseClientSubnet(c.given);
    ASSERT_TRUE(subnet) << c.given;
    const TzvEdnsOption option = ClientSubnetOption(*subnet);
    EXPECT_EQ(option.Data, c.data) << c.given;
    const auto back = DecodeClientSubnet(option);
    ASSERT_TRUE(back) << c.given;
    EXPECT_EQ(ClientSubnetText(*back), c.shown);
  }
  for (const char* wrong : {"192.0.2.1/33", "2001:db8::/129", "host.example/24", "192.0.2.1/",
                            "192.0.2.1/x", "192.0.2.1/-1", "0/8", ""})
    EXPECT_FALSE(ParseClientSubnet(wrong)) << wrong;
}

TEST(ExtendedErrors, NamedByIanasTableWithTextEscapedAndBoundedWhateverItHolds) {
  const struct {
    std::uint16_t code;
    std::string text;
    const char* summary;
  } cases[] = {
      {9, "no SEP matching the DS", "9 (DNSKEY Missing): no SEP matching the DS"},
      {60000, "private", "60000: private"},
      {0, "caf\xc3\xa9", "0 (Other Error): caf\xc3\xa9"},
      {6, "a\x1b[2J\nb", "6 (DNSSEC Bogus): a\\027[2J\\010b"},
      {6, "\xff\xfe ok", "6 (DNSSEC Bogus): \\255\\254 ok"},
      {6, std::string("\0x", 2), "6 (DNSSEC Bogus): \\000x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExtendedErrorSummary({c.code, c.text}), c.summary) << c.summary;
  EXPECT_EQ(ExtendedErrorTitle({60000, ""}), "EDE 60000");
  // 64 KB of two-byte characters: cut at a character's start, and said to be cut.
  std::string text;
  while (text.size() < 65000) text += "\xc3\xa9";
  const std::string shown = ExtendedErrorShownText({24, text});
  EXPECT_EQ(shown, text.substr(0, kzvMostExtendedErrorText) + "…");
}
