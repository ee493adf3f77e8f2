// Delegation signers: the DS record a parent zone holds of its child's key (the key's tag,
// algorithm and a digest of it), and CDS, the same data the child puts at its apex for the
// parent to take up (RFC 7344). DnssecDigest (dns/zvDnssecCrypto.h) computes the digest a
// key should match.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"

// Key tag (16 bits), algorithm, digest type, then the digest to the data's end.
class TzvDnsDSRecord : public TzvDnsRecord {
 public:
  TzvDnsDSRecord() { RecordType = kzvDnsTypeDS; }
  std::string ClassName() const override { return "TzvDnsDSRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
  // Takes the fields of a DS or CDS record.
  void Assign(const TPersistent* source) override;
  void BuildData(TzvByteArray& buffer, std::int32_t& position) override;
  void ParseData(const TzvByteArray& buffer, std::int32_t& position) override;
  std::string DataText(TzvDnsTextStyle style = TzvDnsTextStyle::Readable) const override;
  void VisitFields(TzvDnsFieldVisitor& visitor) const override;

  // The data as dig prints it: "20326 8 2 E06D44B8...", the digest in upper-case hex in
  // groups of 56 digits unless `split` is false (dig +nosplit). An empty digest leaves
  // "20326 8 2".
  std::string PresentationText(bool split = true) const;

  std::uint16_t KeyTag = 0;
  std::uint8_t Algorithm = 0;
  std::uint8_t DigestType = 0;
  std::vector<std::uint8_t> Digest;
};

// A DS record under another type code; a test for TzvDnsDSRecord matches it too.
class TzvDnsCDSRecord : public TzvDnsDSRecord {
 public:
  TzvDnsCDSRecord() { RecordType = kzvDnsTypeCDS; }
  std::string ClassName() const override { return "TzvDnsCDSRecord"; }
  std::unique_ptr<TzvDnsRecord> Create() const override;
};
