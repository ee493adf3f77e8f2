// The chain of trust on the signed test tree, through its non-validating resolver: the
// verdict on each case beside the one delv gives (tests/dns/DnssecTree_loopback_test.cpp
// checks delv's on the same names).
#include "dns/zvDnssecChain.h"

#include <gtest/gtest.h>

#include <ctime>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SignedTree.h"

namespace {

TEST(DnssecChain, VerdictsOnTheSignedTree) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* name;
    std::int32_t type;
    TzvDnssecVerdict verdict;
    const char* reason;  // a part of it
  };
  using V = TzvDnssecVerdict;
  const TCase cases[] = {
      {"www.ed.example", kzvDnsTypeA, V::Secure, ""},
      {"www.ec.example", kzvDnsTypeA, V::Secure, ""},
      {"www.rsa.example", kzvDnsTypeA, V::Secure, ""},
      {"a.wild.ed.example", kzvDnsTypeA, V::Secure, ""},
      {"ok.edited.example", kzvDnsTypeA, V::Secure, ""},
      // Denials: no such name, no such type (NSEC, NSEC3, opt-out, at a wildcard).
      {"nothing.ed.example", kzvDnsTypeA, V::Secure, ""},
      {"nothing.ec.example", kzvDnsTypeA, V::Secure, ""},
      {"nothing.optout.example", kzvDnsTypeA, V::Secure, ""},
      {"www.ed.example", kzvDnsTypeTXT, V::Secure, ""},
      {"www.ec.example", kzvDnsTypeTXT, V::Secure, ""},
      {"a.wild.ed.example", kzvDnsTypeTXT, V::Secure, ""},
      {"sub.ed.example", kzvDnsTypeA, V::Secure, ""},
      // Unsigned: a delegation without DS, and one inside an opt-out span.
      {"www.insecure.example", kzvDnsTypeA, V::Insecure, ""},
      {"nothing.insecure.example", kzvDnsTypeA, V::Insecure, ""},
      {"www.unsigned.optout.example", kzvDnsTypeA, V::Insecure, ""},
      {"www.bogus-ds.example", kzvDnsTypeA, V::Bogus, "DS does not match any DNSKEY"},
      {"www.expired.example", kzvDnsTypeA, V::Bogus, "RRSIG has expired"},
      {"www.edited.example", kzvDnsTypeA, V::Bogus, "RRSIG failed to verify"},
  };
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TzvDnssecValidator validator(AskTree, TreeAnchors(), now);
    SCOPED_TRACE(DnsTypeText(c.type));
    const auto answer = AskTree(c.name, c.type);
    const TzvDnssecResult result = validator.ValidateAnswer(*answer);
    EXPECT_EQ(DnssecVerdictText(result.Verdict), DnssecVerdictText(c.verdict)) << result.Reason;
    EXPECT_NE(result.Reason.find(c.reason), std::string::npos) << result.Reason;
    if (c.verdict == V::Secure) {
      // From the anchor down: the root, example, the zone, then the records or the denial.
      ASSERT_GE(result.Chain.size(), 4u);
      EXPECT_NE(result.Chain.front().find("trust anchor"), std::string::npos);
    }
  }
  // The built-in root keys know nothing of this tree's root.
  TzvDnssecValidator stranger(AskTree, BuiltInRootAnchors(), now);
  const TzvDnssecResult result = stranger.ValidateAnswer(*AskTree("www.ed.example", kzvDnsTypeA));
  EXPECT_EQ(result.Verdict, V::Bogus);
  EXPECT_NE(result.Reason.find("no DNSKEY matches the trust anchor"), std::string::npos);
}

}  // namespace
