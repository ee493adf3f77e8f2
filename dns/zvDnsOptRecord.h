// EDNS(0): the OPT pseudo-record a question carries to offer a larger UDP buffer, set the
// DNSSEC OK bit and ask for options such as the server's NSID, and that an answer carries
// back. Its fields live where a real record keeps its class and time to live: the class
// is the sender's UDP payload size, the TTL holds the upper eight bits of the response
// code, the EDNS version and the flags. It belongs in the additional section only, once,
// under the root name; a message that breaks those rules is refused by the codec.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/zvDnsMessage.h"

inline constexpr std::int32_t kzvDnsTypeOPT = 41;
// The EDNS buffer size of DNS Flag Day 2020: answers up to it pass every common path
// without IP fragments.
inline constexpr std::int32_t kzvEdnsDefaultBufferSize = 1232;
// Option codes (IANA's registry of EDNS option codes).
inline constexpr std::uint16_t kzvEdnsOptionNSID = 3;
inline constexpr std::uint16_t kzvEdnsOptionClientSubnet = 8;
inline constexpr std::uint16_t kzvEdnsOptionExpire = 9;
inline constexpr std::uint16_t kzvEdnsOptionCookie = 10;
inline constexpr std::uint16_t kzvEdnsOptionKeepalive = 11;
inline constexpr std::uint16_t kzvEdnsOptionPadding = 12;
inline constexpr std::uint16_t kzvEdnsOptionExtendedError = 15;
inline constexpr std::uint16_t kzvEdnsOptionZoneVersion = 19;
// The response code a server gives to an EDNS version it does not speak.
inline constexpr std::int32_t kzvDnsResponseBadVersion = 16;

// One option of the record's data: its code and its bytes.
struct TzvEdnsOption {
  std::uint16_t Code = 0;
  std::vector<std::uint8_t> Data;
};

class TzvDnsOPTRecord : public TzvDnsRecord {
 public:
  TzvDnsOPTRecord() { RecordType = kzvDnsTypeOPT; }
  std::string ClassName() const override { return "TzvDnsOPTRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  // Options in order, each as code, length and data. An option whose length runs past the
  // record's data is malformed.
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;

  // The first option of the code, or null.
  const TzvEdnsOption* FindOption(std::uint16_t code) const;

  // The largest UDP answer the sender takes (values below 512 mean 512).
  std::uint16_t UDPPayloadSize = kzvEdnsDefaultBufferSize;
  // The upper eight of the twelve response-code bits.
  std::uint8_t ExtendedRCode = 0;
  std::uint8_t Version = 0;
  // DO: the sender wants DNSSEC records.
  bool DnssecOK = false;
  // The other fifteen flag bits, as they came (zero when sent).
  std::uint16_t OtherFlags = 0;
  std::vector<TzvEdnsOption> Options;

 protected:
  std::uint16_t WireClass() const override { return UDPPayloadSize; }
  void TakeWireFields(std::uint16_t wire_class, std::uint32_t ttl) override;
  std::uint32_t WireTTL() const override;
};

// The message's OPT record, or null when it has none (or it was not decoded as one).
const TzvDnsOPTRecord* FindOptRecord(const TzvDnsMessage& message);
