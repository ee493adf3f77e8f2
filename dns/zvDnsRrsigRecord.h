// The RRSIG record: a signature over one set of records (their owner, class and type), made
// with the key KeyTag and Algorithm name under SignerName's zone, valid from Inception to
// Expiration. A validator puts the signed data together from these fields and the records
// and hands it to CheckDnssecSignature (dns/zvDnssecCrypto.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"

// Type covered, algorithm, labels, original TTL, expiration, inception, key tag, the signer's
// name (never compressed, so written as it is; a pointer is still followed when read), then
// the signature to the data's end.
class TzvDnsRRSIGRecord : public TzvDnsRecord {
 public:
  TzvDnsRRSIGRecord() { RecordType = kzvDnsTypeRRSIG; }
  std::string ClassName() const override { return "TzvDnsRRSIGRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The data as dig prints it: "A 13 2 300 20270101000000 20261201000000 12345
  // pellamar.test. <base64 signature>", the covered type's mnemonic or "TYPEnnn", the times as
  // DnsSignatureTimeText gives them, the signer with its last dot, the signature in groups
  // of 56 characters unless `split` is false (dig +nosplit). No signature leaves the text
  // ending with the signer.
  std::string PresentationText(bool split = true) const;

  std::uint16_t TypeCovered = 0;
  std::uint8_t Algorithm = 0;
  // The owner name's labels, not counting the root nor a leading "*" of a wildcard.
  std::uint8_t Labels = 0;
  std::uint32_t OriginalTTL = 0;
  // Seconds since 1970-01-01 00:00:00 UTC, modulo 2^32.
  std::uint32_t Expiration = 0;
  std::uint32_t Inception = 0;
  std::uint16_t KeyTag = 0;
  std::string SignerName;
  std::vector<std::uint8_t> Signature;
};

// A signature time as YYYYMMDDHHMMSS in UTC, read as plain seconds since 1970 (1970 to 2106).
// dig reads the field in serial arithmetic around the present instead; both agree on every
// time from 1970 to 68 years from now, which covers every signature in use.
std::string DnsSignatureTimeText(std::uint32_t seconds);
