// Checking signed record sets as the signed test tree serves them (keys made and zones
// signed by ldns at the start of every run, reached through the non-validating resolver
// at 127.0.0.53): every algorithm, a wildcard, a tampered record, expired signatures,
// and a zone's DS against its key.
#include "dns/zvDnssecVerify.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "tests/support/NetNamespace.h"

namespace {

using Records = std::vector<const TzvDnsRecord*>;
using Keys = std::vector<const TzvDnsDNSKEYRecord*>;

// One question to the tree's resolver with the DNSSEC OK bit; its answer stays in the
// query until the query is asked again.
std::unique_ptr<TzvDnsQuery> Ask(const std::string& name, std::int32_t type) {
  auto query = std::make_unique<TzvDnsQuery>(nullptr);
  query->SetServer("127.0.0.53");
  query->SetDnssecOK(true);
  query->ResolveRecords(name, type);
  return query;
}

Records RRsetOf(const TzvDnsQuery& query, std::int32_t type) {
  Records records;
  for (const auto& record : query.Response().Answers())
    if (record->RecordType == type) records.push_back(record.get());
  return records;
}

const TzvDnsRRSIGRecord* SignatureOf(const TzvDnsQuery& query, std::int32_t type) {
  for (const auto& record : query.Response().Answers()) {
    const auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get());
    if (rrsig != nullptr && rrsig->TypeCovered == type) return rrsig;
  }
  return nullptr;
}

Keys KeysOf(const TzvDnsQuery& query) {
  Keys keys;
  for (const auto& record : query.Response().Answers())
    if (const auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(record.get()))
      keys.push_back(key);
  return keys;
}

std::uint32_t Now() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

TEST(DnssecVerify, TheTreesSignaturesCheckOutAndTamperingDoesNot) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* zone;
    const char* name;
    TzvRRsetCheck expected;
    const char* reason;
  };
  const TCase cases[] = {
      {"ed.example", "www.ed.example", TzvRRsetCheck::Valid, ""},
      {"ec.example", "www.ec.example", TzvRRsetCheck::Valid, ""},
      {"rsa.example", "www.rsa.example", TzvRRsetCheck::Valid, ""},
      {"ed.example", "anything.wild.ed.example", TzvRRsetCheck::Valid, ""},  // from "*.wild"
      {"edited.example", "ok.edited.example", TzvRRsetCheck::Valid, ""},
      {"edited.example", "www.edited.example", TzvRRsetCheck::Invalid, "RRSIG failed to verify"},
      {"expired.example", "www.expired.example", TzvRRsetCheck::Expired, "RRSIG has expired"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto keys = Ask(c.zone, kzvDnsTypeDNSKEY);
    const auto answer = Ask(c.name, kzvDnsTypeA);
    const TzvDnsRRSIGRecord* rrsig = SignatureOf(*answer, kzvDnsTypeA);
    ASSERT_NE(rrsig, nullptr);
    const TzvRRsetVerdict verdict =
        VerifyRRset(RRsetOf(*answer, kzvDnsTypeA), *rrsig, KeysOf(*keys), Now());
    EXPECT_EQ(verdict.Check, c.expected) << verdict.Reason;
    EXPECT_EQ(verdict.Reason, c.reason);
    if (c.expected == TzvRRsetCheck::Valid) {
      ASSERT_NE(verdict.Key, nullptr);
      // The same signature a year on, and with another zone's keys.
      EXPECT_EQ(
          VerifyRRset(RRsetOf(*answer, kzvDnsTypeA), *rrsig, KeysOf(*keys), Now() + 366 * 86400)
              .Check,
          TzvRRsetCheck::Expired);
      const auto others = Ask("rsa.example" == std::string(c.zone) ? "ec.example" : "rsa.example",
                              kzvDnsTypeDNSKEY);
      EXPECT_EQ(VerifyRRset(RRsetOf(*answer, kzvDnsTypeA), *rrsig, KeysOf(*others), Now()).Check,
                TzvRRsetCheck::NoKey);
    }
  }
}

TEST(DnssecVerify, AZonesKeysAreSelfSignedAndItsParentsDsNamesOne) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const char* zone :
       {"ed.example", "ec.example", "rsa.example", "example", "bogus-ds.example"}) {
    SCOPED_TRACE(zone);
    const auto keys = Ask(zone, kzvDnsTypeDNSKEY);
    const TzvDnsRRSIGRecord* rrsig = SignatureOf(*keys, kzvDnsTypeDNSKEY);
    ASSERT_NE(rrsig, nullptr);
    const TzvRRsetVerdict verdict =
        VerifyRRset(RRsetOf(*keys, kzvDnsTypeDNSKEY), *rrsig, KeysOf(*keys), Now());
    EXPECT_EQ(verdict.Check, TzvRRsetCheck::Valid) << verdict.Reason;
    const auto ds = Ask(zone, kzvDnsTypeDS);
    int matched = 0;
    for (const TzvDnsRecord* record : RRsetOf(*ds, kzvDnsTypeDS))
      for (const TzvDnsDNSKEYRecord* key : KeysOf(*keys))
        matched += DsMatchesKey(*dynamic_cast<const TzvDnsDSRecord*>(record), *key, zone);
    // bogus-ds.example's parent names a key the zone does not have.
    EXPECT_EQ(matched, std::string(zone) == "bogus-ds.example" ? 0 : 1);
  }
}

}  // namespace
