// Binary data as text in RFC 4648's encodings, as DNSSEC records show it: base64 with the
// standard alphabet and padding (a DNSKEY's key, an RRSIG's signature), base32 with the
// extended-hex alphabet (NSEC3's hashed owner names) and hexadecimal (DS digests, salts).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Standard alphabet, padded with '=' to a multiple of four characters.
std::string Base64Encode(std::span<const std::uint8_t> bytes);
// The URL-safe alphabet ('-' and '_' for '+' and '/') without padding, as a URL's query
// carries bytes (DNS over HTTPS's GET).
std::string Base64UrlEncode(std::span<const std::uint8_t> bytes);

// The bytes of a base64 text. Blanks (space, tab, CR, LF) may stand anywhere, as in a
// key pasted from dig's split output or from a zone file; they are skipped. Anything else
// outside the alphabet, '=' before the end or more than two of them, a length (blanks left
// out) that is not a multiple of four, and bits left over that are not zero (the text is
// then not what encoding any bytes gives) fail with EConvertError, telling which and where.
std::vector<std::uint8_t> Base64Decode(std::string_view text);

// Base32 with the extended-hex alphabet in upper case ("0" to "9", "A" to "V"), without
// padding: NSEC3 writes hashed names so, and they sort as the hashes they stand for.
std::string Base32HexEncode(std::span<const std::uint8_t> bytes);

// Two upper-case hexadecimal digits a byte, without separators.
std::string HexEncode(std::span<const std::uint8_t> bytes);
// The bytes of hexadecimal digits in either case; an odd count or another character fails
// with EConvertError.
std::vector<std::uint8_t> HexDecode(std::string_view text);
