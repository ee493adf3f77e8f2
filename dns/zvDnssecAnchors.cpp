#include "dns/zvDnssecAnchors.h"

#include <algorithm>
#include <sstream>

#include "base/Base64.h"
#include "base/SysUtils.h"
#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsKeyRecords.h"

namespace {

// KSK-2017 and KSK-2024, as IANA publishes them.
constexpr const char* kRootAnchors =
    ". IN DNSKEY 257 3 8 "
    "AwEAAaz/tAm8yTn4Mfeh5eyI96WSVexTBAvkMgJzkKTOiW1vkIbzxeF3+/4RgWOq7HrxRixHlFlExOLAJr5emLvN"
    "7SWXgnLh4+B5xQlNVz8Og8kvArMtNROxVQuCaSnIDdD5LKyWbRd2n9WGe2R8PzgCmr3EgVLrjyBxWezF0jLHwVN8"
    "efS3rCj/EWgvIWgb9tarpVUDK/b58Da+sqqls3eNbuv7pr+eoZG+SrDK6nWeL3c6H5Apxz7LjVc1uTIdsIXxuOLY"
    "A4/ilBmSVIzuDWfdRUfhHdY6+cn8HFRm+2hM8AnXGXws9555KrUB5qihylGa8subX2Nn6UwNR1AkUTV74bU=\n"
    ". IN DNSKEY 257 3 8 "
    "AwEAAa96jeuknZlaeSrvyAJj6ZHv28hhOKkx3rLGXVaC6rXTsDc449/cidltpkyGwCJNnOAlFNKF2jBosZBU5eeH"
    "spaQWOmOElZsjICMQMC3aeHbGiShvZsx4wMYSjH8e7Vrhbu6irwCzVBApESjbUdpWWmEnhathWu1jo+siFUiRAAx"
    "m9qyJNg/wOZqqzL/dL/q8PkcRU5oUKEpUge71M3ej2/7CPqpdVwuMoTvoB+ZOT4YeGyxMvHmbrxlFzGOHOijtzN+"
    "u1TQNatX2XBuzZNQ1K+s2CXkPIZo7s6JgZyvaBevYtxPvYLw4z9mR7K2vaF18UYH9Z9GNUUeayffKC73PYc=\n";

// Our text form of a name typed with a trailing dot: the root is the empty name.
std::string WithoutRootDot(std::string name) {
  if (!name.empty() && name.back() == '.' && (name.size() < 2 || name[name.size() - 2] != '\\'))
    name.pop_back();
  return name;
}

}  // namespace

std::vector<std::unique_ptr<TzvDnsRecord>> BuiltInRootAnchors() {
  return ReadTrustAnchors(kRootAnchors);
}

std::vector<std::unique_ptr<TzvDnsRecord>> ReadTrustAnchors(const std::string& text) {
  std::vector<std::unique_ptr<TzvDnsRecord>> anchors;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    line = line.substr(0, line.find(';'));
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty()) continue;
    auto fail = [number](const std::string& why) -> EzvDnsError {
      return EzvDnsError("trust anchor line " + std::to_string(number) + ": " + why,
                         kzvDnsErrInvalidSize);
    };
    std::size_t at = 1;
    const auto digits = [](const std::string& word) {
      return std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (at < fields.size() && digits(fields[at])) ++at;  // a time to live
    if (at < fields.size() && SameText(fields[at], "IN")) ++at;
    if (at >= fields.size()) throw fail("no record type");
    const std::string type = fields[at++];
    auto number_at = [&](std::size_t index, int most) {
      if (index >= fields.size()) throw fail("a field is missing");
      const auto value = TryStrToInt(fields[index]);
      if (!value || *value < 0 || *value > most)
        throw fail("'" + fields[index] + "' is not a number");
      return *value;
    };
    auto rest = [&](std::size_t from) {
      std::string joined;
      for (std::size_t i = from; i < fields.size(); ++i) joined += fields[i];
      if (joined.empty()) throw fail("a field is missing");
      return joined;
    };
    try {
      if (SameText(type, "DS")) {
        auto ds = std::make_unique<TzvDnsDSRecord>();
        ds->KeyTag = static_cast<std::uint16_t>(number_at(at, 65535));
        ds->Algorithm = static_cast<std::uint8_t>(number_at(at + 1, 255));
        ds->DigestType = static_cast<std::uint8_t>(number_at(at + 2, 255));
        ds->Digest = HexDecode(rest(at + 3));
        ds->Name = WithoutRootDot(fields[0]);
        anchors.push_back(std::move(ds));
      } else if (SameText(type, "DNSKEY")) {
        auto key = std::make_unique<TzvDnsDNSKEYRecord>();
        key->Flags = static_cast<std::uint16_t>(number_at(at, 65535));
        key->Protocol = static_cast<std::uint8_t>(number_at(at + 1, 255));
        key->Algorithm = static_cast<std::uint8_t>(number_at(at + 2, 255));
        key->PublicKey = Base64Decode(rest(at + 3));
        key->Name = WithoutRootDot(fields[0]);
        anchors.push_back(std::move(key));
      } else {
        throw fail("a trust anchor is a DS or DNSKEY record, not " + type);
      }
    } catch (const EConvertError& e) {
      throw fail(e.what());
    } catch (const EzvDnsError& e) {
      if (std::string(e.what()).rfind("trust anchor", 0) == 0) throw;
      throw fail(e.what());
    }
  }
  return anchors;
}

std::vector<std::unique_ptr<TzvDnsRecord>> ReadTrustAnchorFile(const std::string& path) {
  // A few keys take a few kilobytes; the rest of a longer file is never read.
  constexpr std::size_t kMaxBytes = 1024 * 1024;
  std::string text;
  try {
    text = ReadFileAtMost(path, kMaxBytes);
  } catch (const EFileError& error) {
    throw EzvDnsError("cannot read the trust anchors in " + error.Message(), kzvDnsErrInvalidSize);
  }
  auto anchors = ReadTrustAnchors(text);
  if (anchors.empty()) throw EzvDnsError(path + " holds no trust anchor", kzvDnsErrInvalidSize);
  return anchors;
}

std::vector<std::unique_ptr<TzvDnsRecord>> DefaultTrustAnchors(const std::string& file) {
  try {
    return ReadTrustAnchorFile(file);
  } catch (const EzvDnsError&) {
    return BuiltInRootAnchors();
  }
}
