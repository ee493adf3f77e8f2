// Record types beyond the codec's first seven, and the message that knows them: IPv6
// addresses (AAAA), services (SRV), certificate-authority rules (CAA), TXT records with
// every one of their strings, EDNS's OPT record, and every other type kept as its bytes.
// The query component decodes its answers with TzvDnsExtendedMessage, so these records
// reach its callers typed.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsMessage.h"

inline constexpr std::int32_t kzvDnsTypeAAAA = 28;
inline constexpr std::int32_t kzvDnsTypeSRV = 33;
inline constexpr std::int32_t kzvDnsTypeCAA = 257;
inline constexpr std::int32_t kzvDnsTypeDNAME = 39;
// The types of dns/zvDnsFieldRecords.h's table and of dns/zvDnsSvcbRecord.h.
inline constexpr std::int32_t kzvDnsTypeHINFO = 13;
inline constexpr std::int32_t kzvDnsTypeRP = 17;
inline constexpr std::int32_t kzvDnsTypeLOC = 29;
inline constexpr std::int32_t kzvDnsTypeNAPTR = 35;
inline constexpr std::int32_t kzvDnsTypeKX = 36;
inline constexpr std::int32_t kzvDnsTypeCERT = 37;
inline constexpr std::int32_t kzvDnsTypeAPL = 42;
inline constexpr std::int32_t kzvDnsTypeSSHFP = 44;
inline constexpr std::int32_t kzvDnsTypeIPSECKEY = 45;
inline constexpr std::int32_t kzvDnsTypeDHCID = 49;
inline constexpr std::int32_t kzvDnsTypeTLSA = 52;
inline constexpr std::int32_t kzvDnsTypeSMIMEA = 53;
inline constexpr std::int32_t kzvDnsTypeOPENPGPKEY = 61;
inline constexpr std::int32_t kzvDnsTypeCSYNC = 62;
inline constexpr std::int32_t kzvDnsTypeZONEMD = 63;
inline constexpr std::int32_t kzvDnsTypeSVCB = 64;
inline constexpr std::int32_t kzvDnsTypeHTTPS = 65;
inline constexpr std::int32_t kzvDnsTypeNID = 104;
inline constexpr std::int32_t kzvDnsTypeL32 = 105;
inline constexpr std::int32_t kzvDnsTypeL64 = 106;
inline constexpr std::int32_t kzvDnsTypeEUI48 = 108;
inline constexpr std::int32_t kzvDnsTypeEUI64 = 109;
inline constexpr std::int32_t kzvDnsTypeURI = 256;
// DNSSEC (RFC 4034, RFC 5155 for NSEC3, RFC 7344 for the child's copies CDS and CDNSKEY).
inline constexpr std::int32_t kzvDnsTypeDS = 43;
inline constexpr std::int32_t kzvDnsTypeRRSIG = 46;
inline constexpr std::int32_t kzvDnsTypeNSEC = 47;
inline constexpr std::int32_t kzvDnsTypeDNSKEY = 48;
inline constexpr std::int32_t kzvDnsTypeNSEC3 = 50;
inline constexpr std::int32_t kzvDnsTypeNSEC3PARAM = 51;
inline constexpr std::int32_t kzvDnsTypeCDS = 59;
inline constexpr std::int32_t kzvDnsTypeCDNSKEY = 60;
// A question's wildcard type: every record the server holds for the name.
inline constexpr std::int32_t kzvDnsTypeANY = 255;

// An IPv6 address: 16 octets on the wire, IPAddress in TzvIPAddress::IPv6ToText's form
// when read. Any text inet_pton takes for IPv6 is written; another one fails with code 2,
// as an A record's bad address does.
class TzvDnsAAAARecord : public TzvDnsRecord {
 public:
  TzvDnsAAAARecord() { RecordType = kzvDnsTypeAAAA; }
  std::string ClassName() const override { return "TzvDnsAAAARecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::string IPAddress;
};

// A service location: priority, weight and port (16 bits each), then the target host.
// An empty target is written as the root, which says "no such service here".
class TzvDnsSRVRecord : public TzvDnsRecord {
 public:
  TzvDnsSRVRecord() { RecordType = kzvDnsTypeSRV; }
  std::string ClassName() const override { return "TzvDnsSRVRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::int32_t Priority = 0;
  std::int32_t Weight = 0;
  std::int32_t Port = 0;
  std::string Target;
};

// A certification-authority rule: a flags octet, a tag of 1 to 15 ASCII letters and
// digits ("issue", "iodef", ...) and a value that takes the rest of the data.
class TzvDnsCAARecord : public TzvDnsRecord {
 public:
  TzvDnsCAARecord() { RecordType = kzvDnsTypeCAA; }
  std::string ClassName() const override { return "TzvDnsCAARecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::int32_t Flags = 0;
  std::string Tag;
  std::string Value;
};

// A TXT record that keeps all of its character-strings, not only the first: a record
// such as an SPF policy is split over several, and showing only the first would show a
// different policy. Text still holds the first string.
class TzvDnsTXTStringsRecord : public TzvDnsTXTRecord {
 public:
  std::string ClassName() const override { return "TzvDnsTXTStringsRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  // Writes Strings when there are any, else Text as the plain TXT record does.
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;

  std::vector<std::string> Strings;
};

// A record of a type the codec has no class for (RFC 3597): its data kept as it came and
// written back unchanged, so an answer of any type can be shown and passed on. Its data
// must hold no compression pointer, which only the older types that have classes use.
class TzvDnsGenericRecord : public TzvDnsRecord {
 public:
  std::string ClassName() const override { return "TzvDnsGenericRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The data in RFC 3597's text form as dig prints it: "\# 4 0A000001", "\# 0" for none.
  std::string GenericText() const;
  // The data in lower-case hexadecimal, without separators; empty for none.
  std::string DataHex() const;

  std::vector<std::uint8_t> Data;
};

// A message whose decoding makes the records above for their type codes (TXT included),
// DNSSEC's records for theirs, the service bindings (dns/zvDnsSvcbRecord.h) and the field
// table's records (dns/zvDnsFieldRecords.h) for theirs, the codec's own record classes for
// theirs, and a generic record for every other code (with RecordType set).
class TzvDnsExtendedMessage : public TzvDnsMessage {
 public:
  std::unique_ptr<TzvDnsRecord> CreateRecord(std::int32_t record_type) override;
};

// The question types a caller may ask by name, with their mnemonics ("A", "AAAA", "ANY",
// ...): the code for a mnemonic or for "TYPEnnn" (1 to 65535, decimal digits only) in any
// letter case, or 0; the mnemonic for a code ("OPT" too), or "TYPEnnn" for one without a
// name.
std::int32_t DnsTypeFromText(const std::string& text);
std::string DnsTypeText(std::int32_t record_type);
// The same for classes: IN, CH, HS or "CLASSnnn" in any letter case, or 0; the mnemonic
// for a code, or "CLASSnnn".
std::int32_t DnsClassFromText(const std::string& text);
std::string DnsClassText(std::int32_t record_class);
