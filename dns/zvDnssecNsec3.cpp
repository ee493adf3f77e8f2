#include "dns/zvDnssecNsec3.h"

#include "base/Base64.h"
#include "base/SysUtils.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"

namespace {

// An NSEC3 owner's first label: the hash it stands for, in lower case.
std::string OwnerHash(const TzvDnsNSEC3Record& nsec3) {
  const TzvWireName owner = DnssecCanonicalName(nsec3.Name);
  if (owner.empty() || owner[0] == 0 || owner.size() < 1u + owner[0]) return {};
  return std::string(owner.begin() + 1, owner.begin() + 1 + owner[0]);
}

bool LacksType(const TzvDnsNSEC3Record& nsec3, std::int32_t type) {
  return !HoldsType(nsec3.Types, type) && !HoldsType(nsec3.Types, kzvDnsTypeCNAME);
}

bool OptedOut(const TzvDnsNSEC3Record& nsec3) {
  return (nsec3.Flags & kzvNsec3OptOut) != 0;
}

}  // namespace

TzvNsec3Records::TzvNsec3Records(const std::vector<const TzvDnsNSEC3Record*>& records,
                                 TzvWireName zone)
    : zone_(std::move(zone)) {
  for (const TzvDnsNSEC3Record* nsec3 : records) {
    if (nsec3->Iterations > kzvMaxNsec3Iterations || nsec3->HashAlgorithm != kzvNsec3HashSha1)
      continue;
    const TzvDnsNSEC3Record* first = records_.empty() ? nsec3 : records_.front();
    if (nsec3->Iterations == first->Iterations && nsec3->Salt == first->Salt)
      records_.push_back(nsec3);
  }
}

const std::string& TzvNsec3Records::HashOf(const TzvWireName& name) {
  auto [at, added] = hashes_.try_emplace(name);
  if (added && !records_.empty()) {
    const TzvDnsNSEC3Record& params = *records_.front();
    const auto hash = Nsec3Hash(params.HashAlgorithm, params.Iterations, params.Salt, name);
    if (hash) at->second = LowerCase(Base32HexEncode(*hash));
  }
  return at->second;
}

const TzvDnsNSEC3Record* TzvNsec3Records::Matching(const TzvWireName& name) {
  const std::string& hash = HashOf(name);
  for (const TzvDnsNSEC3Record* nsec3 : records_)
    if (!hash.empty() && OwnerHash(*nsec3) == hash) return nsec3;
  return nullptr;
}

const TzvDnsNSEC3Record* TzvNsec3Records::Covering(const TzvWireName& name) {
  const std::string& hash = HashOf(name);
  if (hash.empty()) return nullptr;
  for (const TzvDnsNSEC3Record* nsec3 : records_) {
    const std::string owner = OwnerHash(*nsec3);
    const std::string next = LowerCase(Base32HexEncode(nsec3->NextHashedOwner));
    // The last record of the chain wraps round to the first hash.
    if (owner < next ? owner < hash && hash < next : owner < hash || hash < next) return nsec3;
  }
  return nullptr;
}

std::optional<TzvClosestEncloser> Nsec3ClosestEncloser(TzvNsec3Records& records,
                                                       const TzvWireName& name) {
  const auto labels = DnssecLabelsOf(name);
  const std::size_t zone_labels = DnssecLabelsOf(records.Zone()).size();
  for (std::size_t count = labels.size(); count-- > zone_labels;) {
    const TzvWireName encloser = DnssecNameOf(labels, count);
    const TzvDnsNSEC3Record* match = records.Matching(encloser);
    if (match == nullptr) continue;
    // Below a delegation or a DNAME the zone proves nothing.
    if ((HoldsType(match->Types, kzvDnsTypeNS) && !HoldsType(match->Types, kzvDnsTypeSOA)) ||
        HoldsType(match->Types, kzvDnsTypeDNAME))
      return std::nullopt;
    const TzvDnsNSEC3Record* next_closer = records.Covering(DnssecNameOf(labels, count + 1));
    if (next_closer == nullptr) return std::nullopt;
    return TzvClosestEncloser{encloser, next_closer};
  }
  return std::nullopt;
}

TzvNsec3Proof Nsec3ProvesNameError(TzvNsec3Records& records, const TzvWireName& name) {
  if (records.Matching(name) != nullptr) return TzvNsec3Proof::None;
  const auto encloser = Nsec3ClosestEncloser(records, name);
  if (!encloser || records.Covering(DnssecWildcardOf(encloser->Encloser)) == nullptr)
    return TzvNsec3Proof::None;
  return TzvNsec3Proof::Proven;
}

TzvNsec3Proof Nsec3ProvesNoData(TzvNsec3Records& records, const TzvWireName& name,
                                std::int32_t type) {
  if (const TzvDnsNSEC3Record* nsec3 = records.Matching(name)) {
    const bool apex = HoldsType(nsec3->Types, kzvDnsTypeSOA);
    const bool proven =
        type == kzvDnsTypeDS
            ? LacksType(*nsec3, type) && (!apex || name.size() == 1)
            : LacksType(*nsec3, type) && (apex || !HoldsType(nsec3->Types, kzvDnsTypeNS));
    return proven ? TzvNsec3Proof::Proven : TzvNsec3Proof::None;
  }
  const auto encloser = Nsec3ClosestEncloser(records, name);
  if (!encloser) return TzvNsec3Proof::None;
  if (type == kzvDnsTypeDS && OptedOut(*encloser->NextCloser)) return TzvNsec3Proof::OptOut;
  const TzvDnsNSEC3Record* star = records.Matching(DnssecWildcardOf(encloser->Encloser));
  return star != nullptr && LacksType(*star, type) ? TzvNsec3Proof::Proven : TzvNsec3Proof::None;
}

TzvNsec3Proof Nsec3ProvesWildcardExpansion(TzvNsec3Records& records, const TzvWireName& name,
                                           std::size_t labels) {
  const auto all = DnssecLabelsOf(name);
  if (labels >= all.size()) return TzvNsec3Proof::None;
  const TzvDnsNSEC3Record* next_closer = records.Covering(DnssecNameOf(all, labels + 1));
  if (next_closer == nullptr) return TzvNsec3Proof::None;
  return OptedOut(*next_closer) ? TzvNsec3Proof::OptOut : TzvNsec3Proof::Proven;
}

TzvNsec3Proof Nsec3ProvesInsecureDelegation(TzvNsec3Records& records, const TzvWireName& name) {
  if (const TzvDnsNSEC3Record* nsec3 = records.Matching(name)) {
    const bool unsigned_cut = HoldsType(nsec3->Types, kzvDnsTypeNS) &&
                              !HoldsType(nsec3->Types, kzvDnsTypeDS) &&
                              !HoldsType(nsec3->Types, kzvDnsTypeSOA);
    return unsigned_cut ? TzvNsec3Proof::Proven : TzvNsec3Proof::None;
  }
  const auto encloser = Nsec3ClosestEncloser(records, name);
  return encloser && OptedOut(*encloser->NextCloser) ? TzvNsec3Proof::OptOut : TzvNsec3Proof::None;
}
