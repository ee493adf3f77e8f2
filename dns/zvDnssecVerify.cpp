#include "dns/zvDnssecVerify.h"

#include <algorithm>
#include <set>
#include <string>

#include "base/SysUtils.h"
#include "dns/zvDnsName.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecCrypto.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A name in wire form with its letters in lower case (labels only, never a length byte).
Bytes CanonicalName(std::string_view name) {
  TzvByteArray buffer(256);
  TzvWireWriter writer(buffer.Bytes(), 0);
  EncodeDnsName(name, writer);
  Bytes wire(buffer.Data(), buffer.Data() + writer.Position());
  for (std::size_t at = 0; at < wire.size() && wire[at] != 0; at += 1 + wire[at]) {
    for (std::size_t i = at + 1; i <= at + wire[at]; ++i)
      if (wire[i] >= 'A' && wire[i] <= 'Z') wire[i] = static_cast<std::uint8_t>(wire[i] + 32);
  }
  return wire;
}

// The offsets of a wire name's labels, the root's zero byte not counted.
std::vector<std::size_t> Labels(const Bytes& wire) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < wire.size() && wire[at] != 0; at += 1 + wire[at])
    starts.push_back(at);
  return starts;
}

// RFC 4034's label count: a leading "*" is not one.
std::size_t LabelCount(const Bytes& wire) {
  const std::size_t count = Labels(wire).size();
  return count > 0 && wire[0] == 1 && wire[1] == '*' ? count - 1 : count;
}

// Whether `ancestor` is the name or one above it: its labels end the name's, starting at a
// label of the name (not inside one).
bool IsWithin(const Bytes& name, const Bytes& ancestor) {
  if (ancestor.size() > name.size()) return false;
  const std::size_t start = name.size() - ancestor.size();
  if (!std::equal(ancestor.begin(), ancestor.end(), name.begin() + static_cast<long>(start)))
    return false;
  const auto labels = Labels(name);
  return start == 0 || std::find(labels.begin(), labels.end(), start) != labels.end() ||
         start == name.size() - 1;  // the root
}

// A record's data as the signer wrote it: names in the data of the types RFC 4034 lists
// (less NSEC, as RFC 6840 says) in lower case, the rest as it came.
Bytes CanonicalData(const TzvDnsRecord& record) {
  std::unique_ptr<TzvDnsRecord> copy = record.Create();
  copy->Assign(&record);
  if (auto* ns = dynamic_cast<TzvDnsNSRecord*>(copy.get()))
    ns->NameServer = LowerCase(ns->NameServer);
  if (auto* cname = dynamic_cast<TzvDnsCNAMERecord*>(copy.get()))
    cname->CanonicalName = LowerCase(cname->CanonicalName);
  if (auto* ptr = dynamic_cast<TzvDnsPTRRecord*>(copy.get()))
    ptr->DomainName = LowerCase(ptr->DomainName);
  if (auto* mx = dynamic_cast<TzvDnsMXRecord*>(copy.get()))
    mx->MailServer = LowerCase(mx->MailServer);
  if (auto* srv = dynamic_cast<TzvDnsSRVRecord*>(copy.get())) srv->Target = LowerCase(srv->Target);
  if (auto* rrsig = dynamic_cast<TzvDnsRRSIGRecord*>(copy.get()))
    rrsig->SignerName = LowerCase(rrsig->SignerName);
  if (auto* soa = dynamic_cast<TzvDnsSOARecord*>(copy.get())) {
    soa->PrimaryNameServer = LowerCase(soa->PrimaryNameServer);
    soa->ResponsibleMailbox = LowerCase(soa->ResponsibleMailbox);
  }
  // Room for the largest data a record can have, made once per thread rather than
  // allocated and zeroed for every record checked; only what the record wrote is read.
  thread_local TzvByteArray buffer(65535);
  std::int32_t position = 0;
  copy->BuildData(buffer, position);
  return Bytes(buffer.Data(), buffer.Data() + position);
}

// Records' data in canonical order: byte by byte, a shorter run first.
struct TDataOrder {
  bool operator()(const Bytes& a, const Bytes& b) const {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i)
      if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
  }
};

void Append(Bytes& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void AppendWord(Bytes& out, std::uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// RFC 4034 §3.1.5: times are serial numbers, so a signature stays comparable across the
// 32-bit wrap.
bool SerialBefore(std::uint32_t a, std::uint32_t b) {
  return static_cast<std::int32_t>(a - b) < 0;
}

TzvRRsetVerdict Verdict(TzvRRsetCheck check, std::string reason) {
  return {check, std::move(reason), nullptr};
}

}  // namespace

std::vector<std::uint8_t> RRsetSignedData(const TzvDnsRRSIGRecord& rrsig,
                                          std::span<const TzvDnsRecord* const> rrset) {
  Bytes data;
  AppendWord(data, rrsig.TypeCovered, 2);
  data.push_back(rrsig.Algorithm);
  data.push_back(rrsig.Labels);
  AppendWord(data, rrsig.OriginalTTL, 4);
  AppendWord(data, rrsig.Expiration, 4);
  AppendWord(data, rrsig.Inception, 4);
  AppendWord(data, rrsig.KeyTag, 2);
  Append(data, CanonicalName(rrsig.SignerName));
  if (rrset.empty()) return data;

  // One owner, class and type for the whole set: the first record's.
  Bytes owner = CanonicalName(rrset.front()->Name);
  if (LabelCount(owner) > rrsig.Labels) {
    // Made from a wildcard: the signer signed "*." and the last Labels labels (with none,
    // the root's wildcard: "*" and the zero byte).
    const auto labels = Labels(owner);
    const std::size_t from =
        rrsig.Labels == 0 ? owner.size() - 1 : labels[labels.size() - rrsig.Labels];
    Bytes wildcard(owner.size() - from + 2);
    wildcard[0] = 1;
    wildcard[1] = '*';
    std::copy(owner.begin() + static_cast<long>(from), owner.end(), wildcard.begin() + 2);
    owner = std::move(wildcard);
  }
  // Ordered by their data, each once.
  std::set<Bytes, TDataOrder> datas;
  for (const TzvDnsRecord* record : rrset) datas.insert(CanonicalData(*record));
  for (const Bytes& rdata : datas) {
    Append(data, owner);
    AppendWord(data, rrsig.TypeCovered, 2);
    AppendWord(data, static_cast<std::uint16_t>(rrset.front()->RecordClass), 2);
    AppendWord(data, rrsig.OriginalTTL, 4);
    AppendWord(data, static_cast<std::uint32_t>(rdata.size()), 2);
    Append(data, rdata);
  }
  return data;
}

TzvRRsetVerdict VerifyRRset(std::span<const TzvDnsRecord* const> rrset,
                            const TzvDnsRRSIGRecord& rrsig,
                            std::span<const TzvDnsDNSKEYRecord* const> keys, std::uint32_t now) {
  if (rrset.empty()) return Verdict(TzvRRsetCheck::Malformed, "no records to check");
  // The signed data takes the first record's owner and class for the whole set, so a record
  // of another owner or class would be vouched for under a name it does not have.
  const Bytes owner = CanonicalName(rrset.front()->Name);
  const TzvDnsRecordClass record_class = rrset.front()->RecordClass;
  for (const TzvDnsRecord* record : rrset) {
    if (record->RecordType != rrsig.TypeCovered)
      return Verdict(TzvRRsetCheck::Malformed, "RRSIG covers another type");
    if (record->RecordClass != record_class || CanonicalName(record->Name) != owner)
      return Verdict(TzvRRsetCheck::Malformed, "the records are not one RRset");
  }
  if (rrsig.RecordClass != record_class || CanonicalName(rrsig.Name) != owner)
    return Verdict(TzvRRsetCheck::Malformed, "RRSIG belongs to another owner or class");
  if (rrsig.Labels > LabelCount(owner))
    return Verdict(TzvRRsetCheck::Malformed, "RRSIG has more labels than its owner");
  const Bytes signer = CanonicalName(rrsig.SignerName);
  if (!IsWithin(owner, signer))
    return Verdict(TzvRRsetCheck::Malformed, "RRSIG signer is not the owner or above it");
  // A wildcard is expanded only inside its zone: fewer labels than the signer has would make
  // the answer come from a "*" above the zone that signed it.
  if (rrsig.Labels < LabelCount(signer))
    return Verdict(TzvRRsetCheck::Malformed, "RRSIG claims a wildcard above its signer");
  // A zone's keys are signed by the zone itself, and its DS records by its parent.
  if (rrsig.TypeCovered == kzvDnsTypeDNSKEY && signer != owner)
    return Verdict(TzvRRsetCheck::Malformed, "DNSKEY RRSIG is not signed by its own zone");
  if (rrsig.TypeCovered == kzvDnsTypeDS && signer == owner)
    return Verdict(TzvRRsetCheck::Malformed, "DS RRSIG is signed by the child zone");
  if (SerialBefore(now, rrsig.Inception))
    return Verdict(TzvRRsetCheck::NotYetValid, "RRSIG validity period has not begun");
  if (SerialBefore(rrsig.Expiration, now))
    return Verdict(TzvRRsetCheck::Expired, "RRSIG has expired");
  if (!IsSupportedDnssecAlgorithm(rrsig.Algorithm))
    return Verdict(TzvRRsetCheck::Unsupported,
                   "algorithm " + std::to_string(rrsig.Algorithm) + " is not supported");

  // Put together only once a key fits: a signature no key answers to costs no more than
  // the checks above, however large the set it claims to cover.
  Bytes signed_data;
  int tried = 0;
  for (const TzvDnsDNSKEYRecord* key : keys) {
    if (key->Algorithm != rrsig.Algorithm || key->Protocol != 3 ||
        (key->Flags & kzvDnskeyZoneKey) == 0 || key->KeyTag() != rrsig.KeyTag ||
        CanonicalName(key->Name) != signer)
      continue;
    // A zone needs no more than a few keys under one tag; a hostile one could put
    // hundreds there to make each signature cost hundreds of checks.
    if (++tried > kzvMaxKeysPerTag)
      return Verdict(TzvRRsetCheck::Invalid,
                     "too many DNSKEYs share the key tag " + std::to_string(rrsig.KeyTag));
    if (tried == 1) signed_data = RRsetSignedData(rrsig, rrset);
    if (CheckDnssecSignature(rrsig.Algorithm, key->PublicKey, signed_data, rrsig.Signature) ==
        TzvSignatureCheck::Valid)
      return {TzvRRsetCheck::Valid, "", key};
  }
  if (tried == 0)
    return Verdict(TzvRRsetCheck::NoKey,
                   "no DNSKEY matches the RRSIG's key tag " + std::to_string(rrsig.KeyTag));
  return Verdict(TzvRRsetCheck::Invalid, "RRSIG failed to verify");
}

bool DsMatchesKey(const TzvDnsDSRecord& ds, const TzvDnsDNSKEYRecord& key, std::string_view owner) {
  if (ds.Algorithm != key.Algorithm || ds.KeyTag != key.KeyTag()) return false;
  Bytes data = CanonicalName(owner);
  Append(data, CanonicalData(key));
  const auto digest = DnssecDigest(ds.DigestType, data);
  return digest.has_value() && *digest == ds.Digest;
}

std::vector<std::uint8_t> DnssecCanonicalName(std::string_view name) {
  return CanonicalName(name);
}

bool IsDnsNameWithin(const std::vector<std::uint8_t>& name,
                     const std::vector<std::uint8_t>& ancestor) {
  return IsWithin(name, ancestor);
}
