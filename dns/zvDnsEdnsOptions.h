// The EDNS options a question asks with and an answer brings back, beyond the NSID the
// OPT record's own unit knows: Extended DNS Errors (why a resolver failed or what it did
// instead), client subnet (the part of the client's address a resolver may pass on, and
// how much of it the answer holds for), the zone's expire time and version, padding, and
// any other code as raw bytes. Decoding never fails: an option of the wrong length is
// shown as the bytes it is, as dig shows it, and padding is never shown as data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dns/zvDnsOptRecord.h"

// The name IANA's registry of Extended DNS Error codes gives `code` ("DNSKEY Missing"),
// or null for a code it names not (yet).
const char* ExtendedErrorName(std::uint16_t code);

// One Extended DNS Error of an answer: its code and its extra text as it came (UTF-8 by
// the protocol, but any bytes from the wire).
struct TzvExtendedError {
  std::uint16_t Code = 0;
  std::string Text;
};

// The error an Extended DNS Error option holds; none for another code or one shorter
// than its code.
std::optional<TzvExtendedError> DecodeExtendedError(const TzvEdnsOption& option);
// Every Extended DNS Error option of the message, in order (an option shorter than its
// code is none); empty without OPT record.
std::vector<TzvExtendedError> ExtendedErrors(const TzvDnsMessage& message);

// The most of an error's extra text shown: a resolver's sentence is far shorter, and a
// line or tooltip of tens of kilobytes helps no one. Longer text is cut, and says so.
inline constexpr std::size_t kzvMostExtendedErrorText = 512;

// The extra text as it may be shown anywhere: cut to kzvMostExtendedErrorText bytes (at a
// character's start, "…" after it) and written by the readable style's escaping
// (DnsSafeText), so no control byte or invalid UTF-8 reaches a terminal raw.
std::string ExtendedErrorShownText(const TzvExtendedError& error);
// "9 (DNSKEY Missing): text", "18 (Prohibited)", "60000: text" for a code without a name.
std::string ExtendedErrorSummary(const TzvExtendedError& error);
// The name of the code, else the code as a number: what a status bar has room for.
std::string ExtendedErrorTitle(const TzvExtendedError& error);

// A client subnet (RFC 7871): the family (1 IPv4, 2 IPv6), how many leading bits of the
// address the client reveals, how many the answer is good for (0 in a question), and
// the address's bytes: as many as the source prefix needs, the bits past it zero.
struct TzvClientSubnet {
  std::uint16_t Family = 1;
  std::uint8_t SourcePrefix = 0;
  std::uint8_t ScopePrefix = 0;
  std::vector<std::uint8_t> Address;
};

// "ADDRESS/PREFIX" or "ADDRESS" (all its bits) of either family; "0/0" (also "0") asks
// that no part of the client's address be used. None for any other text.
std::optional<TzvClientSubnet> ParseClientSubnet(std::string_view text);
// The option a question carries for the subnet.
TzvEdnsOption ClientSubnetOption(const TzvClientSubnet& subnet);
// The subnet of an answer's option; none when its family, prefixes or length do not hold
// together (RFC 7871 §7.1.1: such an answer is not to be trusted for the subnet).
std::optional<TzvClientSubnet> DecodeClientSubnet(const TzvEdnsOption& option);
// "192.0.2.0/24/0": address, source prefix, scope prefix, as dig writes it.
std::string ClientSubnetText(const TzvClientSubnet& subnet);

// EXPIRE's seconds (RFC 7314); none unless the option holds exactly four bytes.
std::optional<std::uint32_t> DecodeExpire(const TzvEdnsOption& option);

// ZONEVERSION (RFC 9660): the labels of the zone's name and the version, of type 0 the
// zone's SOA serial; none for another type or length.
struct TzvZoneVersion {
  std::uint8_t Labels = 0;
  std::uint32_t Serial = 0;
};
std::optional<TzvZoneVersion> DecodeZoneVersion(const TzvEdnsOption& option);
