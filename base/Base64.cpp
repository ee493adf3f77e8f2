#include "base/Base64.h"

#include "base/SysUtils.h"

namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase32HexDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The value of a base64 character, or -1 for one outside the alphabet.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

[[noreturn]] void RefuseBase64(const std::string& why) {
  throw EConvertError("Invalid base64: " + why);
}

// A character as a person can read it in the message, even a control or a non-ASCII byte.
std::string Shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte > 0x20 && byte < 0x7F) return Format("'%c'", c);
  return Format("byte 0x%02X", byte);
}

}  // namespace

std::string Base64Encode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    text += kBase64Digits[group >> 18];
    text += kBase64Digits[(group >> 12) & 0x3F];
    text += kBase64Digits[(group >> 6) & 0x3F];
    text += kBase64Digits[group & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return text;
  const std::uint32_t group =
      std::uint32_t{bytes[i]} << 16 | (rest == 2 ? std::uint32_t{bytes[i + 1]} << 8 : 0u);
  text += kBase64Digits[group >> 18];
  text += kBase64Digits[(group >> 12) & 0x3F];
  text += rest == 2 ? kBase64Digits[(group >> 6) & 0x3F] : '=';
  text += '=';
  return text;
}

std::string Base64UrlEncode(std::span<const std::uint8_t> bytes) {
  std::string text = Base64Encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::vector<std::uint8_t> Base64Decode(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t group = 0;
  int in_group = 0;       // characters of the current group of four, padding left out
  std::size_t count = 0;  // characters, blanks left out
  std::size_t padding = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (IsBlank(c)) continue;
    ++count;
    if (c == '=') {
      if (++padding > 2) RefuseBase64(Format("more than two '=' at position %zu", at));
      continue;
    }
    if (padding > 0) RefuseBase64(Format("%s after '=' at position %zu", Shown(c).c_str(), at));
    const int value = Base64Value(c);
    if (value < 0) RefuseBase64(Format("%s at position %zu", Shown(c).c_str(), at));
    group = group << 6 | static_cast<std::uint32_t>(value);
    if (++in_group == 4) {
      bytes.push_back(static_cast<std::uint8_t>(group >> 16));
      bytes.push_back(static_cast<std::uint8_t>(group >> 8));
      bytes.push_back(static_cast<std::uint8_t>(group));
      group = 0;
      in_group = 0;
    }
  }
  if (count % 4 != 0) {
    RefuseBase64(Format("%zu characters, not a multiple of four", count));
  }
  // With the count a multiple of four and padding only at the end, a group that padding
  // closes holds two characters (12 bits, one byte) before "==" or three (18 bits, two
  // bytes) before "=".
  if (in_group == 2) {
    if ((group & 0x0F) != 0) RefuseBase64("bits left over before '==' are not zero");
    bytes.push_back(static_cast<std::uint8_t>(group >> 4));
  } else if (in_group == 3) {
    if ((group & 0x03) != 0) RefuseBase64("bits left over before '=' are not zero");
    bytes.push_back(static_cast<std::uint8_t>(group >> 10));
    bytes.push_back(static_cast<std::uint8_t>(group >> 2));
  }
  return bytes;
}

std::string Base32HexEncode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve((bytes.size() * 8 + 4) / 5);
  std::uint32_t bits = 0;
  int held = 0;  // bits of `bits` not yet written
  for (const std::uint8_t byte : bytes) {
    bits = (bits << 8 | byte) & 0xFFFF;  // never more than 12 held bits matter
    held += 8;
    while (held >= 5) {
      held -= 5;
      text += kBase32HexDigits[(bits >> held) & 0x1F];
    }
  }
  if (held > 0) text += kBase32HexDigits[(bits << (5 - held)) & 0x1F];
  return text;
}

std::string HexEncode(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0x0F];
  }
  return text;
}

std::vector<std::uint8_t> HexDecode(std::string_view text) {
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) throw EConvertError("Invalid hex: an odd number of digits");
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = nibble(text[i]), low = nibble(text[i + 1]);
    if (high < 0 || low < 0)
      throw EConvertError("Invalid hex: '" + std::string(text.substr(high < 0 ? i : i + 1, 1)) +
                          "' at position " + std::to_string(high < 0 ? i : i + 1));
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return bytes;
}
