// The signed tree of the test namespace (tests/netns/start-dnssec.sh) checked with delv,
// BIND's validating client, through the tree's non-validating Unbound on 127.0.0.53 and
// with the root key made for this run. What delv decides for each name here is what our
// own validator decides for it too: each case is judged by both, and the verdicts compared.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SignedTree.h"

namespace {

struct TreeCase {
  const char* name;
  const char* type;
  // Every one of these must be in delv's output (its verdict, the reason of a failure,
  // the data of an answer).
  std::vector<const char*> expected;
};

// delv's verdicts, as BIND 9.18 prints them.
constexpr const char* kSecure = "\n; fully validated\n";
constexpr const char* kSecureNegative = "\n; negative response, fully validated\n";
constexpr const char* kUnsigned = "\n; unsigned answer\n";
constexpr const char* kFailed = ";; resolution failed: ";

// delv's answer to one question; the timeout fails a case of a tree that stopped answering
// instead of hanging it.
std::string Delv(const std::string& anchor, const std::string& name, const std::string& type) {
  // After a newline, so that a verdict on the first line is found as a whole line too.
  return "\n" + CommandOutput("timeout 30 delv @127.0.0.53 -a '" + anchor + "' +root=. " + name +
                              " " + type);
}

TEST(DnssecTree, DelvAndWeReachTheSameVerdicts) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ASSERT_EQ(std::system("command -v delv >/dev/null 2>&1"), 0)
      << "delv is not installed (scripts/install-deps.sh server)";
  const std::string anchor = NetnsRunDir() + "/dnssec/delv.anchor";
  ASSERT_EQ(std::system(("test -s '" + anchor + "'").c_str()), 0)
      << anchor << " is missing: tests/netns/start-dnssec.sh did not run";

  const std::vector<TreeCase> cases = {
      // Secure answers, one zone of each algorithm, and the TLD itself.
      {"www.ed.example", "A", {kSecure, "192.0.2.10", "RRSIG\tA 15 "}},
      {"www.ed.example", "AAAA", {kSecure, "2001:db8::10"}},
      {"ed.example", "MX", {kSecure, "10 mail.ed.example."}},
      {"txt.ed.example", "TXT", {kSecure, "\"signed with Ed25519\""}},
      {"www.ec.example", "A", {kSecure, "192.0.2.20", "RRSIG\tA 13 "}},
      {"www.rsa.example", "A", {kSecure, "192.0.2.40", "RRSIG\tA 8 "}},
      {"www.optout.example", "A", {kSecure, "192.0.2.30"}},
      {"www.example", "A", {kSecure, "192.0.2.1"}},
      // Answers made from a wildcard, its expansion proved by NSEC and by NSEC3.
      {"any.wild.ed.example", "A", {kSecure, "192.0.2.12"}},
      {"any.wild.ec.example", "A", {kSecure, "192.0.2.22"}},
      // Proved absences: NXDOMAIN and NODATA (also at an empty non-terminal), NSEC and NSEC3.
      {"nothing.ed.example", "A", {kSecureNegative, "NXDOMAIN", "ed.example. NSEC "}},
      {"www.ed.example", "TXT", {kSecureNegative, "NXRRSET", "www.ed.example. NSEC "}},
      {"sub.ed.example", "A", {kSecureNegative, "NXRRSET"}},
      {"nothing.ec.example", "A", {kSecureNegative, "NXDOMAIN", "NSEC3 1 0 5 AABBCCDD "}},
      {"www.ec.example", "TXT", {kSecureNegative, "NXRRSET", "NSEC3 1 0 5 AABBCCDD "}},
      {"sub.ec.example", "A", {kSecureNegative, "NXRRSET"}},
      {"nothing.rsa.example", "A", {kSecureNegative, "NXDOMAIN"}},
      {"nothing.example", "A", {kSecureNegative, "NXDOMAIN"}},
      // Opt-out: the NXDOMAIN still counts as secure; below the unsigned delegation that an
      // opt-out NSEC3 covers, the answer is insecure.
      {"nothing.optout.example", "A", {kSecureNegative, "NXDOMAIN", "NSEC3 1 1 5 AABBCCDD "}},
      {"www.unsigned.optout.example", "A", {kUnsigned, "192.0.2.31"}},
      // No DS for insecure.example. (example.'s NSEC proves it): unsigned, not a failure.
      {"www.insecure.example", "A", {kUnsigned, "192.0.2.50"}},
      // The broken zones, each failing for its own reason.
      {"www.bogus-ds.example",
       "A",
       {";; validating bogus-ds.example/DNSKEY: no valid signature found (DS)", kFailed,
        "broken trust chain"}},
      {"www.expired.example",
       "A",
       {"validating expired.example/DNSKEY: verify failed due to bad signature",
        "RRSIG has expired", kFailed, "broken trust chain"}},
      {"www.edited.example",
       "A",
       {";; validating www.edited.example/A: no valid signature found",
        ";; resolution failed: RRSIG failed to verify"}},
      // Only the edited RRset is broken: the rest of its zone is still secure.
      {"ok.edited.example", "A", {kSecure, "192.0.2.54"}},
      // A DNAME: the CNAME made from it is unsigned, the DNAME proves it.
      {"www.alias.ed.example", "A", {kSecure, "DNAME\ted.example.", "192.0.2.10"}},
  };

  for (const TreeCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.type);
    const std::string out = Delv(anchor, c.name, c.type);
    for (const char* expected : c.expected)
      EXPECT_NE(out.find(expected), std::string::npos) << "missing: " << expected << "\n" << out;
    // A verdict excludes the others.
    const bool failure =
        out.find(kFailed) != std::string::npos && out.find(kSecureNegative) == std::string::npos;
    const bool secure =
        out.find(kSecure) != std::string::npos || out.find(kSecureNegative) != std::string::npos;
    const bool insecure = out.find(kUnsigned) != std::string::npos;
    ASSERT_EQ(int{failure} + int{secure} + int{insecure}, 1) << out;
    // Ours, on the same answer through the same resolver.
    TzvDnssecValidator validator(AskTree, TreeAnchors(),
                                 static_cast<std::uint32_t>(std::time(nullptr)));
    const TzvDnssecResult ours =
        validator.ValidateAnswer(*AskTree(c.name, DnsTypeFromText(c.type)));
    const TzvDnssecVerdict delvs = failure  ? TzvDnssecVerdict::Bogus
                                   : secure ? TzvDnssecVerdict::Secure
                                            : TzvDnssecVerdict::Insecure;
    EXPECT_EQ(DnssecVerdictText(ours.Verdict), DnssecVerdictText(delvs)) << ours.Reason;
  }
}

// The resolver in front of the tree hands the DNSSEC records through and never claims to
// have validated: a client that trusted its AD bit would check nothing. Asked for a name
// of the bogus-ds zone, a validating resolver would answer SERVFAIL; this one answers.
TEST(DnssecTree, ResolverPassesSignaturesWithoutAd) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string out = CommandOutput(
      "timeout 30 dig @127.0.0.53 +dnssec +noall +comments +answer www.bogus-ds.example A");
  EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
  EXPECT_NE(out.find("192.0.2.51"), std::string::npos) << out;
  EXPECT_NE(out.find("RRSIG\tA 13 "), std::string::npos) << out;
  const size_t flags = out.find(";; flags:");
  ASSERT_NE(flags, std::string::npos) << out;
  const std::string flag_line = out.substr(flags, out.find(';', flags + 9) - flags);
  EXPECT_EQ(flag_line.find(" ad"), std::string::npos) << flag_line;
}

}  // namespace
