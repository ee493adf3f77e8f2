// The NSEC proofs, each held against one small zone's chain of NSEC records: what each
// proves, and what an NSEC at a delegation or a wildcard can never prove.
#include "dns/zvDnssecNsec.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecVerify.h"

namespace {

// example.'s chain: the apex, a (A), d (a delegation without DS), the empty non-terminal
// e above host.e, the wildcard *.w, z.
struct TZone {
  std::vector<std::unique_ptr<TzvDnsNSECRecord>> owned;
  std::vector<const TzvDnsNSECRecord*> nsecs;
  TZone() {
    const std::vector<std::pair<const char*, std::vector<std::uint16_t>>> names = {
        {"example", {kzvDnsTypeSOA, kzvDnsTypeNS}},
        {"a.example", {kzvDnsTypeA}},
        {"d.example", {kzvDnsTypeNS}},
        {"host.e.example", {kzvDnsTypeA}},
        {"*.w.example", {kzvDnsTypeA}},
        {"z.example", {kzvDnsTypeA}}};
    for (std::size_t i = 0; i < names.size(); ++i) {
      auto nsec = std::make_unique<TzvDnsNSECRecord>();
      nsec->Name = names[i].first;
      nsec->NextDomainName = names[(i + 1) % names.size()].first;
      nsec->Types = names[i].second;
      nsecs.push_back(nsec.get());
      owned.push_back(std::move(nsec));
    }
  }
};

TEST(DnssecNsec, EachProofProvesWhatItSaysAndNoMore) {
  enum TProof { NameError, NoData, WildcardNoData, Expansion, InsecureDelegation };
  struct TCase {
    TProof proof;
    const char* name;
    std::int32_t type_or_labels;
    bool proven;
  };
  const TCase cases[] = {
      {NameError, "b.example", 0, true},
      {NameError, "a.example", 0, false},
      // The parent's NSEC at a delegation says nothing of names below it.
      {NameError, "www.d.example", 0, false},
      // The wildcard at the closest encloser exists: it would have answered.
      {NameError, "q.w.example", 0, false},
      {NoData, "a.example", kzvDnsTypeTXT, true},
      {NoData, "a.example", kzvDnsTypeA, false},
      {NoData, "d.example", kzvDnsTypeA, false},
      {NoData, "d.example", kzvDnsTypeDS, true},
      // The child's apex never speaks for the DS at its parent.
      {NoData, "example", kzvDnsTypeDS, false},
      {NoData, "e.example", kzvDnsTypeA, true},
      {NoData, "b.example", kzvDnsTypeA, false},
      {WildcardNoData, "q.w.example", kzvDnsTypeTXT, true},
      {WildcardNoData, "q.w.example", kzvDnsTypeA, false},
      {Expansion, "q.w.example", 2, true},
      {Expansion, "q.w.example", 1, false},
      {Expansion, "a.example", 1, false},
      {InsecureDelegation, "d.example", 0, true},
      {InsecureDelegation, "a.example", 0, false},
      {InsecureDelegation, "example", 0, false},
  };
  const TZone zone;
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.proof));
    const TzvWireName name = DnssecCanonicalName(c.name);
    const auto& nsecs = zone.nsecs;
    const std::int32_t arg = c.type_or_labels;
    const std::function<bool()> proofs[] = {
        [&] { return NsecProvesNameError(nsecs, name); },
        [&] { return NsecProvesNoData(nsecs, name, arg); },
        [&] { return NsecProvesWildcardNoData(nsecs, name, arg); },
        [&] { return NsecProvesWildcardExpansion(nsecs, name, static_cast<std::size_t>(arg)); },
        [&] { return NsecProvesInsecureDelegation(nsecs, name); }};
    EXPECT_EQ(proofs[c.proof](), c.proven);
  }
}

}  // namespace
