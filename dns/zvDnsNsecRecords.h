// DNSSEC's proof that a name or type does not exist: NSEC names the next owner in the zone
// and the types its own owner has; NSEC3 (RFC 5155) does the same with hashed owner names,
// and NSEC3PARAM tells the zone's hash parameters. NSEC and NSEC3 carry their types in the
// type bitmap of RFC 4034 §4.1.2, read and written here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"

// A received bitmap that breaks the format's rules (code -1): the first text with one of
// the others in it, and the window's number.
inline constexpr const char* SzvDnsMalformedTypeBitmap = "Malformed type bitmap: %s";
inline constexpr const char* SzvDnsBitmapWindowOrder = "window %u does not follow window %u";
inline constexpr const char* SzvDnsBitmapWindowLength = "window %u is %u bytes long (1 to 32)";
inline constexpr const char* SzvDnsBitmapPastEnd = "window %u runs past the record's data";
// An NSEC3 record whose next hashed owner has no byte (code -1).
inline constexpr const char* SzvDnsNsec3EmptyHash =
    "Malformed NSEC3 record: the next hashed owner is empty";

// NSEC3's flag: the span the record covers may hold unsigned delegations.
inline constexpr std::uint8_t kzvNsec3OptOut = 0x01;
// NSEC3's one hash algorithm, SHA-1.
inline constexpr std::uint8_t kzvNsec3HashSha1 = 1;

// Reads a type bitmap to the cursor's end: windows in increasing order, each of 1 to 32
// bytes. A window out of order, of another length, or longer than what is left fails with
// SzvDnsMalformedTypeBitmap (code -1). The types come out sorted, each once.
std::vector<std::uint16_t> ReadDnsTypeBitmap(TzvWireCursor& cursor);
// Writes the bitmap of the types in its shortest form, in whatever order they are given and
// however often each: only windows that hold a type, each cut after its last non-zero byte.
void WriteDnsTypeBitmap(std::span<const std::uint16_t> types, TzvWireWriter& writer);
// The types as dig lists them: mnemonics ("TYPEnnn" for a type without one), one space
// between them.
std::string DnsTypeListText(std::span<const std::uint16_t> types);

// The next owner name (never compressed when written; a pointer is still followed when
// read), then the type bitmap.
class TzvDnsNSECRecord : public TzvDnsRecord {
 public:
  TzvDnsNSECRecord() { RecordType = kzvDnsTypeNSEC; }
  std::string ClassName() const override { return "TzvDnsNSECRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The data as dig prints it: "next.name. A NS SOA RRSIG NSEC DNSKEY".
  std::string PresentationText() const;

  std::string NextDomainName;
  // Sorted, each type once, when read.
  std::vector<std::uint16_t> Types;
};

// Hash algorithm, flags, iterations, salt (length byte and bytes), the next hashed owner
// (length byte and the raw hash), then the type bitmap. A hash of length 0 is malformed
// when read and refused (code 2) when written, as is a salt or hash over 255 bytes.
class TzvDnsNSEC3Record : public TzvDnsRecord {
 public:
  TzvDnsNSEC3Record() { RecordType = kzvDnsTypeNSEC3; }
  std::string ClassName() const override { return "TzvDnsNSEC3Record"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The data as dig prints it: "1 0 10 AABBCCDD 70A8U5CEV9H11EF392KV741UG44UB33P A RRSIG",
  // the salt in upper-case hex ("-" when empty), the hash in upper-case base32hex without
  // padding.
  std::string PresentationText() const;

  std::uint8_t HashAlgorithm = kzvNsec3HashSha1;
  std::uint8_t Flags = 0;
  std::uint16_t Iterations = 0;
  std::vector<std::uint8_t> Salt;
  std::vector<std::uint8_t> NextHashedOwner;
  std::vector<std::uint16_t> Types;
};

// Hash algorithm, flags, iterations and salt: NSEC3's parameters, published at the apex. A
// salt over 255 bytes is refused (code 2) when written.
class TzvDnsNSEC3PARAMRecord : public TzvDnsRecord {
 public:
  TzvDnsNSEC3PARAMRecord() { RecordType = kzvDnsTypeNSEC3PARAM; }
  std::string ClassName() const override { return "TzvDnsNSEC3PARAMRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The data as dig prints it: "1 0 10 AABBCCDD", or "1 0 0 -" without salt.
  std::string PresentationText() const;

  std::uint8_t HashAlgorithm = kzvNsec3HashSha1;
  std::uint8_t Flags = 0;
  std::uint16_t Iterations = 0;
  std::vector<std::uint8_t> Salt;
};
