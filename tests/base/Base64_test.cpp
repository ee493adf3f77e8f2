// RFC 4648's encodings: its test vectors, round trips over every byte value and length,
// and base64 texts that no bytes encode to, refused with a message that says where.
#include "base/Base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/SysUtils.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

TEST(Encodings, GiveRfc4648sTestVectors) {
  const char* const base64[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  // Base32hex without the padding NSEC3's text leaves out.
  const char* const base32hex[] = {"", "CO", "CPNG", "CPNMU", "CPNMUOG", "CPNMUOJ1", "CPNMUOJ1E8"};
  const std::string foobar = "foobar";
  for (std::size_t n = 0; n <= foobar.size(); ++n) {
    const Bytes bytes = Of(foobar.substr(0, n));
    EXPECT_EQ(Base64Encode(bytes), base64[n]);
    EXPECT_EQ(Base64Decode(base64[n]), bytes);
    EXPECT_EQ(Base32HexEncode(bytes), base32hex[n]);
  }
  EXPECT_EQ(HexEncode(Bytes{0x00, 0x0A, 0xBC, 0xFF}), "000ABCFF");
  // NSEC3's 20-byte SHA-1 hashes fill 32 characters exactly, as a signed zone shows them.
  EXPECT_EQ(Base32HexEncode(Bytes{0x38, 0x14, 0x8F, 0x15, 0x8E, 0xFA, 0x62, 0x10, 0xB9, 0xE3,
                                  0x48, 0xA9, 0xF3, 0x90, 0x3E, 0x81, 0x09, 0xE5, 0x8C, 0x79}),
            "70A8U5CEV9H11EF392KV741UG44UB33P");
}

TEST(Encodings, Base64RoundTripsEveryByteAtEveryLength) {
  Bytes all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<std::uint8_t>(b));
  for (std::size_t n = 0; n <= all.size(); ++n) {
    const Bytes bytes(all.end() - static_cast<std::ptrdiff_t>(n), all.end());
    const std::string text = Base64Encode(bytes);
    ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
    ASSERT_EQ(Base64Decode(text), bytes) << n;
  }
  // Blanks anywhere, as in dig's split output or a zone file's key.
  EXPECT_EQ(Base64Decode(" Zm9v\tYm\r\nFy "), Of("foobar"));
  EXPECT_EQ(Base64Decode("Zm9vYg= ="), Of("foob"));
}

TEST(Encodings, Base64RefusesTextNoBytesEncodeTo) {
  const std::pair<const char*, const char*> cases[] = {
      {"Zm9v!mFy", "'!' at position 4"},
      {"Zm9v-_Fy", "'-' at position 4"},  // the URL-safe alphabet is another encoding
      {"Zm9\x01", "byte 0x01 at position 3"},
      {"Zm9\xC3\xA9", "byte 0xC3 at position 3"},
      {"Zm9", "3 characters, not a multiple of four"},
      {"Zm9vY", "5 characters, not a multiple of four"},
      {"Zg=", "3 characters, not a multiple of four"},
      {"Zg=a", "'a' after '=' at position 3"},
      {"Z===", "more than two '=' at position 3"},
      {"====", "more than two '=' at position 2"},
      {"Zh==", "bits left over before '==' are not zero"},
      {"Zm9=", "bits left over before '=' are not zero"},
  };
  for (const auto& [text, why] : cases) {
    try {
      Base64Decode(text);
      ADD_FAILURE() << "took " << text;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), std::string("Invalid base64: ") + why);
    }
  }
}

}  // namespace
