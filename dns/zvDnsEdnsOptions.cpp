#include "dns/zvDnsEdnsOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "dns/zvDnsPresentation.h"

namespace {

// IANA's "Extended DNS Error Codes" registry, by code from 0.
constexpr const char* kExtendedErrorNames[] = {
    "Other Error",
    "Unsupported DNSKEY Algorithm",
    "Unsupported DS Digest Type",
    "Stale Answer",
    "Forged Answer",
    "DNSSEC Indeterminate",
    "DNSSEC Bogus",
    "Signature Expired",
    "Signature Not Yet Valid",
    "DNSKEY Missing",
    "RRSIGs Missing",
    "No Zone Key Bit Set",
    "NSEC Missing",
    "Cached Error",
    "Not Ready",
    "Blocked",
    "Censored",
    "Filtered",
    "Prohibited",
    "Stale NXDomain Answer",
    "Not Authoritative",
    "Not Supported",
    "No Reachable Authority",
    "Network Error",
    "Invalid Data",
    "Signature Expired before Valid",
    "Too Early",
    "Unsupported NSEC3 Iterations Value",
    "Unable to conform to policy",
    "Synthesized",
    "Invalid Query Type",
};

std::uint16_t Word(const std::vector<std::uint8_t>& data, std::size_t at) {
  return static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
}

// The address bytes a source prefix needs, and the bits of a family's address.
std::size_t PrefixBytes(std::uint8_t prefix) {
  return (prefix + 7u) / 8u;
}
std::uint8_t FamilyBits(std::uint16_t family) {
  return family == 1 ? 32 : family == 2 ? 128 : 0;
}

}  // namespace

const char* ExtendedErrorName(std::uint16_t code) {
  return code < std::size(kExtendedErrorNames) ? kExtendedErrorNames[code] : nullptr;
}

std::optional<TzvExtendedError> DecodeExtendedError(const TzvEdnsOption& option) {
  if (option.Code != kzvEdnsOptionExtendedError || option.Data.size() < 2) return std::nullopt;
  return TzvExtendedError{Word(option.Data, 0),
                          std::string(option.Data.begin() + 2, option.Data.end())};
}

std::vector<TzvExtendedError> ExtendedErrors(const TzvDnsMessage& message) {
  std::vector<TzvExtendedError> errors;
  const TzvDnsOPTRecord* opt = FindOptRecord(message);
  if (opt == nullptr) return errors;
  for (const TzvEdnsOption& option : opt->Options)
    if (auto error = DecodeExtendedError(option)) errors.push_back(std::move(*error));
  return errors;
}

std::string ExtendedErrorShownText(const TzvExtendedError& error) {
  std::string_view text = error.Text;
  bool cut = false;
  if (text.size() > kzvMostExtendedErrorText) {
    std::size_t end = kzvMostExtendedErrorText;
    // Back to the start of a UTF-8 character, so a valid text stays valid when cut.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text = text.substr(0, end);
    cut = true;
  }
  return DnsSafeText(text, false) + (cut ? "…" : "");
}

std::string ExtendedErrorTitle(const TzvExtendedError& error) {
  const char* name = ExtendedErrorName(error.Code);
  return name != nullptr ? name : "EDE " + std::to_string(error.Code);
}

std::string ExtendedErrorSummary(const TzvExtendedError& error) {
  std::string summary = std::to_string(error.Code);
  if (const char* name = ExtendedErrorName(error.Code)) summary += std::string(" (") + name + ")";
  if (!error.Text.empty()) summary += ": " + ExtendedErrorShownText(error);
  return summary;
}

std::optional<TzvClientSubnet> ParseClientSubnet(std::string_view text) {
  const std::size_t slash = text.find('/');
  const std::string address(text.substr(0, slash));
  TzvClientSubnet subnet;
  std::uint8_t bytes[16] = {};
  if (address == "0") {
    subnet.Family = 1;  // "0/0": nothing of the client's address, whatever its family
  } else if (inet_pton(AF_INET, address.c_str(), bytes) == 1) {
    subnet.Family = 1;
  } else if (inet_pton(AF_INET6, address.c_str(), bytes) == 1) {
    subnet.Family = 2;
  } else {
    return std::nullopt;
  }
  unsigned prefix = address == "0" ? 0 : FamilyBits(subnet.Family);
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        prefix > FamilyBits(subnet.Family) || (address == "0" && prefix != 0))
      return std::nullopt;
  }
  subnet.SourcePrefix = static_cast<std::uint8_t>(prefix);
  subnet.Address.assign(bytes, bytes + PrefixBytes(subnet.SourcePrefix));
  // The bits past the prefix go as zero (RFC 7871 §6).
  if (prefix % 8 != 0) subnet.Address.back() &= static_cast<std::uint8_t>(0xFF << (8 - prefix % 8));
  return subnet;
}

TzvEdnsOption ClientSubnetOption(const TzvClientSubnet& subnet) {
  TzvEdnsOption option{kzvEdnsOptionClientSubnet, {}};
  option.Data.reserve(4 + subnet.Address.size());
  for (const std::uint8_t byte :
       {static_cast<std::uint8_t>(subnet.Family >> 8),
        static_cast<std::uint8_t>(subnet.Family & 0xFF), subnet.SourcePrefix, subnet.ScopePrefix})
    option.Data.push_back(byte);
  for (const std::uint8_t byte : subnet.Address) option.Data.push_back(byte);
  return option;
}

std::optional<TzvClientSubnet> DecodeClientSubnet(const TzvEdnsOption& option) {
  if (option.Code != kzvEdnsOptionClientSubnet || option.Data.size() < 4) return std::nullopt;
  TzvClientSubnet subnet;
  subnet.Family = Word(option.Data, 0);
  subnet.SourcePrefix = option.Data[2];
  subnet.ScopePrefix = option.Data[3];
  const std::uint8_t bits = FamilyBits(subnet.Family);
  if (bits == 0 || subnet.SourcePrefix > bits || subnet.ScopePrefix > bits ||
      option.Data.size() != 4 + PrefixBytes(subnet.SourcePrefix))
    return std::nullopt;
  subnet.Address.assign(option.Data.begin() + 4, option.Data.end());
  return subnet;
}

std::string ClientSubnetText(const TzvClientSubnet& subnet) {
  std::uint8_t bytes[16] = {};
  std::copy_n(subnet.Address.begin(), std::min<std::size_t>(subnet.Address.size(), 16), bytes);
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(subnet.Family == 2 ? AF_INET6 : AF_INET, bytes, text, sizeof text);
  return std::string(text) + '/' + std::to_string(subnet.SourcePrefix) + '/' +
         std::to_string(subnet.ScopePrefix);
}

std::optional<std::uint32_t> DecodeExpire(const TzvEdnsOption& option) {
  if (option.Data.size() != 4) return std::nullopt;
  return static_cast<std::uint32_t>(Word(option.Data, 0)) << 16 | Word(option.Data, 2);
}

std::optional<TzvZoneVersion> DecodeZoneVersion(const TzvEdnsOption& option) {
  if (option.Data.size() != 6 || option.Data[1] != 0) return std::nullopt;
  return TzvZoneVersion{option.Data[0], static_cast<std::uint32_t>(Word(option.Data, 2)) << 16 |
                                            Word(option.Data, 4)};
}
