// Service bindings (RFC 9460): SVCB, and HTTPS, the same data for the web. A priority (0
// makes the record an alias for its target), the target's name, then the service's
// parameters, each a key and a value, keys in increasing order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"

// The parameter keys with names; another key is written "keyNNNNN".
inline constexpr std::uint16_t kzvSvcMandatory = 0;
inline constexpr std::uint16_t kzvSvcAlpn = 1;
inline constexpr std::uint16_t kzvSvcNoDefaultAlpn = 2;
inline constexpr std::uint16_t kzvSvcPort = 3;
inline constexpr std::uint16_t kzvSvcIPv4Hint = 4;
inline constexpr std::uint16_t kzvSvcEch = 5;
inline constexpr std::uint16_t kzvSvcIPv6Hint = 6;

struct TzvSvcParam {
  std::uint16_t Key = 0;
  std::vector<std::uint8_t> Value;
  bool operator==(const TzvSvcParam&) const = default;
};

// A received record whose keys are out of order or repeated, or whose value for a named
// key breaks that key's form (a port of other than two octets, an empty ALPN identifier,
// hints not a whole number of addresses, a value for no-default-alpn), is malformed; such
// a record is refused (code 2) when written.
class TzvDnsSVCBRecord : public TzvDnsRecord {
 public:
  explicit TzvDnsSVCBRecord(std::int32_t record_type = kzvDnsTypeSVCB) { RecordType = record_type; }
  std::string ClassName() const override { return "TzvDnsSVCBRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  // dig's form: `1 . alpn="h2,h3" port=8443 ipv4hint=192.0.2.1,192.0.2.2`.
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  std::uint16_t Priority = 0;
  std::string Target;
  std::vector<TzvSvcParam> Params;
};

// A key's name: "alpn", ..., "key65000" for one without a name.
std::string SvcParamKeyText(std::uint16_t key);
