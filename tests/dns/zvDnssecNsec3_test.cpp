// The NSEC3 proofs, each held against one small zone's chain of NSEC3 records (hashed here
// as a signer would), with and without opt-out, and a chain hashed too often to be used.
#include "dns/zvDnssecNsec3.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "base/Base64.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"

namespace {

// example.'s chain: the apex, a (A), d (a delegation without DS), the empty non-terminal
// w above the wildcard *.w. `drop` leaves out the record whose span holds that name.
struct TZone {
  std::vector<std::unique_ptr<TzvDnsNSEC3Record>> owned;
  std::vector<const TzvDnsNSEC3Record*> nsec3s;
  TZone(std::uint8_t flags, std::uint16_t iterations, const char* drop = nullptr) {
    const std::vector<std::pair<const char*, std::vector<std::uint16_t>>> names = {
        {"example", {kzvDnsTypeSOA, kzvDnsTypeNS}},
        {"a.example", {kzvDnsTypeA}},
        {"d.example", {kzvDnsTypeNS}},
        {"w.example", {}},
        {"*.w.example", {kzvDnsTypeA}}};
    const std::vector<std::uint8_t> salt = {0xAB};
    std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint16_t>>> hashed;
    for (const auto& [name, types] : names)
      hashed.emplace_back(*Nsec3Hash(kzvNsec3HashSha1, iterations, salt, DnssecCanonicalName(name)),
                          types);
    std::sort(hashed.begin(), hashed.end());
    for (std::size_t i = 0; i < hashed.size(); ++i) {
      auto nsec3 = std::make_unique<TzvDnsNSEC3Record>();
      nsec3->Name = Base32HexEncode(hashed[i].first) + ".example";
      nsec3->NextHashedOwner = hashed[(i + 1) % hashed.size()].first;
      nsec3->Types = hashed[i].second;
      nsec3->Flags = flags;
      nsec3->Iterations = iterations;
      nsec3->Salt = salt;
      owned.push_back(std::move(nsec3));
    }
    TzvNsec3Records all(Pointers(), DnssecCanonicalName("example"));
    const TzvDnsNSEC3Record* dropped =
        drop == nullptr ? nullptr : all.Covering(DnssecCanonicalName(drop));
    for (const auto& nsec3 : owned)
      if (nsec3.get() != dropped) nsec3s.push_back(nsec3.get());
  }
  std::vector<const TzvDnsNSEC3Record*> Pointers() const {
    std::vector<const TzvDnsNSEC3Record*> all;
    for (const auto& nsec3 : owned) all.push_back(nsec3.get());
    return all;
  }
};

TEST(DnssecNsec3, EachProofProvesWhatItSaysAndNoMore) {
  enum TProof { NameError, NoData, Expansion, InsecureDelegation };
  using P = TzvNsec3Proof;
  struct TCase {
    TProof proof;
    const char* name;
    std::int32_t type_or_labels;
    std::uint8_t flags;
    const char* drop;
    P expected;
  };
  constexpr std::uint8_t kOptOut = kzvNsec3OptOut;
  const TCase cases[] = {
      {NameError, "b.example", 0, 0, nullptr, P::Proven},
      {NameError, "a.example", 0, 0, nullptr, P::None},
      // Below a delegation the zone proves nothing.
      {NameError, "www.d.example", 0, 0, nullptr, P::None},
      // No wildcard proof: nothing, opt-out or not.
      {NameError, "b.example", 0, kOptOut, "*.example", P::None},
      {NoData, "a.example", kzvDnsTypeTXT, 0, nullptr, P::Proven},
      {NoData, "a.example", kzvDnsTypeA, 0, nullptr, P::None},
      {NoData, "d.example", kzvDnsTypeA, 0, nullptr, P::None},
      {NoData, "d.example", kzvDnsTypeDS, 0, nullptr, P::Proven},
      {NoData, "example", kzvDnsTypeDS, 0, nullptr, P::None},
      {NoData, "w.example", kzvDnsTypeA, 0, nullptr, P::Proven},
      {NoData, "q.w.example", kzvDnsTypeTXT, 0, nullptr, P::Proven},
      {NoData, "q.w.example", kzvDnsTypeA, 0, nullptr, P::None},
      {NoData, "b.example", kzvDnsTypeDS, kOptOut, nullptr, P::OptOut},
      {NoData, "b.example", kzvDnsTypeDS, 0, nullptr, P::None},
      {Expansion, "q.w.example", 2, 0, nullptr, P::Proven},
      // An opt-out span over the next closer name may hide a delegation there.
      {Expansion, "q.w.example", 2, kOptOut, nullptr, P::OptOut},
      {Expansion, "q.w.example", 2, 0, "q.w.example", P::None},
      {InsecureDelegation, "d.example", 0, 0, nullptr, P::Proven},
      {InsecureDelegation, "a.example", 0, 0, nullptr, P::None},
      {InsecureDelegation, "b.example", 0, kOptOut, nullptr, P::OptOut},
      {InsecureDelegation, "b.example", 0, 0, nullptr, P::None},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.proof) + " flags " +
                 std::to_string(c.flags));
    const TZone zone(c.flags, 2, c.drop);
    TzvNsec3Records records(zone.nsec3s, DnssecCanonicalName("example"));
    const TzvWireName name = DnssecCanonicalName(c.name);
    const std::function<P()> proofs[] = {
        [&] { return Nsec3ProvesNameError(records, name); },
        [&] { return Nsec3ProvesNoData(records, name, c.type_or_labels); },
        [&] {
          return Nsec3ProvesWildcardExpansion(records, name,
                                              static_cast<std::size_t>(c.type_or_labels));
        },
        [&] { return Nsec3ProvesInsecureDelegation(records, name); }};
    EXPECT_EQ(static_cast<int>(proofs[c.proof]()), static_cast<int>(c.expected));
  }
}

// Records hashed more often than RFC 9276 allows are never hashed, and prove nothing.
TEST(DnssecNsec3, ChainsHashedTooOftenAreLeftOut) {
  const TZone zone(0, kzvMaxNsec3Iterations + 1);
  TzvNsec3Records records(zone.nsec3s, DnssecCanonicalName("example"));
  EXPECT_TRUE(records.Empty());
  EXPECT_EQ(Nsec3ProvesNameError(records, DnssecCanonicalName("b.example")), TzvNsec3Proof::None);
}

}  // namespace
