#include "dns/zvDnssecNsec.h"

#include <algorithm>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecVerify.h"

namespace {

// Whether `value` falls strictly between `owner` and `next` (the last record of a zone
// wraps round to its first name).
bool Between(const TzvWireName& owner, const TzvWireName& next, const TzvWireName& value) {
  if (DnssecCanonicalLess(owner, next))
    return DnssecCanonicalLess(owner, value) && DnssecCanonicalLess(value, next);
  return DnssecCanonicalLess(owner, value) || DnssecCanonicalLess(value, next);
}

std::size_t CommonLabels(const TzvWireName& a, const TzvWireName& b) {
  const auto la = DnssecLabelsOf(a), lb = DnssecLabelsOf(b);
  std::size_t n = 0;
  while (n < la.size() && n < lb.size() && la[la.size() - 1 - n] == lb[lb.size() - 1 - n]) ++n;
  return n;
}

const TzvDnsNSECRecord* Matching(TzvNsecRecords nsecs, const TzvWireName& name) {
  for (const TzvDnsNSECRecord* nsec : nsecs)
    if (DnssecCanonicalName(nsec->Name) == name) return nsec;
  return nullptr;
}

// The closest encloser a covering NSEC shows: the longest ancestor of `name` that its
// owner or its next name shares.
TzvWireName ClosestEncloser(const TzvWireName& name, const TzvDnsNSECRecord& cover) {
  const std::size_t common =
      std::max(CommonLabels(name, DnssecCanonicalName(cover.Name)),
               CommonLabels(name, DnssecCanonicalName(cover.NextDomainName)));
  const auto labels = DnssecLabelsOf(name);
  return DnssecNameOf(labels, std::min(common, labels.size()));
}

bool LacksType(const TzvDnsNSECRecord& nsec, std::int32_t type) {
  return !HoldsType(nsec.Types, type) && !HoldsType(nsec.Types, kzvDnsTypeCNAME);
}

}  // namespace

std::vector<TzvWireName> DnssecLabelsOf(const TzvWireName& name) {
  std::vector<TzvWireName> labels;
  for (std::size_t at = 0; at < name.size() && name[at] != 0; at += 1 + name[at]) {
    const std::size_t end = std::min(name.size(), at + 1 + name[at]);
    labels.emplace_back(name.begin() + static_cast<long>(at) + 1,
                        name.begin() + static_cast<long>(end));
  }
  return labels;
}

TzvWireName DnssecNameOf(const std::vector<TzvWireName>& labels, std::size_t count) {
  TzvWireName wire;
  for (std::size_t i = labels.size() - std::min(count, labels.size()); i < labels.size(); ++i) {
    wire.push_back(static_cast<std::uint8_t>(labels[i].size()));
    wire.insert(wire.end(), labels[i].begin(), labels[i].end());
  }
  wire.push_back(0);
  return wire;
}

TzvWireName DnssecWildcardOf(const TzvWireName& name) {
  TzvWireName wildcard{1, '*'};
  wildcard.insert(wildcard.end(), name.begin(), name.end());
  return wildcard;
}

bool DnssecCanonicalLess(const TzvWireName& a, const TzvWireName& b) {
  const auto la = DnssecLabelsOf(a), lb = DnssecLabelsOf(b);
  return std::lexicographical_compare(la.rbegin(), la.rend(), lb.rbegin(), lb.rend());
}

bool HoldsType(const std::vector<std::uint16_t>& types, std::int32_t type) {
  return std::find(types.begin(), types.end(), static_cast<std::uint16_t>(type)) != types.end();
}

const TzvDnsNSECRecord* NsecCovering(TzvNsecRecords nsecs, const TzvWireName& name) {
  for (const TzvDnsNSECRecord* nsec : nsecs) {
    const TzvWireName owner = DnssecCanonicalName(nsec->Name);
    if (owner == name) continue;
    const bool cut = HoldsType(nsec->Types, kzvDnsTypeNS) && !HoldsType(nsec->Types, kzvDnsTypeSOA);
    if (IsDnsNameWithin(name, owner) && (cut || HoldsType(nsec->Types, kzvDnsTypeDNAME))) continue;
    if (Between(owner, DnssecCanonicalName(nsec->NextDomainName), name)) return nsec;
  }
  return nullptr;
}

bool NsecProvesNameError(TzvNsecRecords nsecs, const TzvWireName& name) {
  const TzvDnsNSECRecord* cover = NsecCovering(nsecs, name);
  return cover != nullptr &&
         NsecCovering(nsecs, DnssecWildcardOf(ClosestEncloser(name, *cover))) != nullptr;
}

bool NsecProvesNoData(TzvNsecRecords nsecs, const TzvWireName& name, std::int32_t type) {
  if (const TzvDnsNSECRecord* nsec = Matching(nsecs, name)) {
    const bool apex = HoldsType(nsec->Types, kzvDnsTypeSOA);
    if (type == kzvDnsTypeDS) return LacksType(*nsec, type) && (!apex || name.size() == 1);
    return LacksType(*nsec, type) && (apex || !HoldsType(nsec->Types, kzvDnsTypeNS));
  }
  // An empty non-terminal: the NSEC that covers it leads to a name below it.
  const TzvDnsNSECRecord* cover = NsecCovering(nsecs, name);
  if (cover == nullptr) return false;
  const TzvWireName next = DnssecCanonicalName(cover->NextDomainName);
  return next != name && IsDnsNameWithin(next, name);
}

bool NsecProvesWildcardNoData(TzvNsecRecords nsecs, const TzvWireName& name, std::int32_t type) {
  const TzvDnsNSECRecord* cover = NsecCovering(nsecs, name);
  if (cover == nullptr) return false;
  const TzvDnsNSECRecord* star = Matching(nsecs, DnssecWildcardOf(ClosestEncloser(name, *cover)));
  return star != nullptr && LacksType(*star, type);
}

bool NsecProvesWildcardExpansion(TzvNsecRecords nsecs, const TzvWireName& name,
                                 std::size_t labels) {
  const TzvDnsNSECRecord* cover = NsecCovering(nsecs, name);
  return cover != nullptr && DnssecLabelsOf(ClosestEncloser(name, *cover)).size() == labels;
}

bool NsecProvesInsecureDelegation(TzvNsecRecords nsecs, const TzvWireName& name) {
  const TzvDnsNSECRecord* nsec = Matching(nsecs, name);
  return nsec != nullptr && HoldsType(nsec->Types, kzvDnsTypeNS) &&
         !HoldsType(nsec->Types, kzvDnsTypeDS) && !HoldsType(nsec->Types, kzvDnsTypeSOA);
}
