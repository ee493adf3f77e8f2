// DNSSEC's public keys: the DNSKEY record a zone publishes them in, and CDNSKEY, the same
// data a child zone puts at its apex for its parent to take up (RFC 7344). The signature
// checks (dns/zvDnssecCrypto.h) take the key field as it is; KeyTag tells which key an RRSIG
// or DS record names.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dns/zvDnsPresentation.h"
#include "dns/zvDnsRecordTypes.h"

// Flag bits: the key signs zone data, and (RFC 4034's secure entry point) it is the one a
// parent's DS record points at.
inline constexpr std::uint16_t kzvDnskeyZoneKey = 0x0100;
inline constexpr std::uint16_t kzvDnskeySecureEntryPoint = 0x0001;

// Flags (16 bits), protocol (always 3), algorithm, then the key to the data's end.
class TzvDnsDNSKEYRecord : public TzvDnsRecord {
 public:
  TzvDnsDNSKEYRecord() { RecordType = kzvDnsTypeDNSKEY; }
  std::string ClassName() const override { return "TzvDnsDNSKEYRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  // Takes the fields of a DNSKEY or CDNSKEY record.
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // RFC 4034 Appendix B: the data's bytes summed as 16-bit words. For algorithm 1
  // (RSA/MD5) the tag is instead the modulus's bits 8 to 23 from its end.
  std::uint16_t KeyTag() const;
  // The data as dig prints it: "257 3 13 <base64 key>", the key in groups of 56 characters
  // unless `split` is false (dig +nosplit). An empty key leaves "257 3 13".
  std::string PresentationText(bool split = true) const;

  std::uint16_t Flags = 0;
  std::uint8_t Protocol = 3;
  std::uint8_t Algorithm = 0;
  std::vector<std::uint8_t> PublicKey;
};

// A DNSKEY record under another type code; a test for TzvDnsDNSKEYRecord matches it too.
class TzvDnsCDNSKEYRecord : public TzvDnsDNSKEYRecord {
 public:
  TzvDnsCDNSKEYRecord() { RecordType = kzvDnsTypeCDNSKEY; }
  std::string ClassName() const override { return "TzvDnsCDNSKEYRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
};
