// The encrypted-transport servers of the test namespace (tests/netns/start-tls.sh) as a
// reference client sees them: kdig, Knot's client, asked over TLS and HTTPS with the test
// CA, with an unrelated one and unchecked. Each failure is checked for its reason, so a
// server broken another way (not started, the wrong certificate loaded) cannot pass for
// the case it stands for. Our own client's tests lean on these servers behaving so.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/NetNamespace.h"

namespace {

struct ServerCase {
  // kdig's options, with {ca} and {other-ca} standing for the CA files of this run.
  std::string options;
  // Whether the test zone's TXT data comes back.
  bool answers;
  // Every one of these must be in kdig's output (with -d: the TLS and HTTP sessions and
  // why a certificate was not trusted, as kdig 3.2 with GnuTLS prints them).
  std::vector<const char*> expected;
  std::string question = "info.pellamar.test TXT";
};

constexpr const char* kData = "\"Pellamar test zone\"";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(TlsServers, KdigSeesEachServerAsIntended) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ASSERT_EQ(std::system("command -v kdig >/dev/null 2>&1"), 0)
      << "kdig is not installed (scripts/install-deps.sh server)";
  const std::string tls = NetnsRunDir() + "/tls";
  ASSERT_EQ(std::system(("test -s '" + tls + "/ca.pem'").c_str()), 0)
      << tls << "/ca.pem is missing: tests/netns/start-tls.sh did not run";

  constexpr const char* kSession = ";; TLS session (TLS1.3)";
  constexpr const char* kFailed = ";; WARNING: TLS, handshake failed";
  constexpr const char* kUnknownIssuer = "NOT trusted. The certificate issuer is unknown.";
  constexpr const char* kWrongName = "NOT trusted. The name in the certificate does not match";
  constexpr const char* kExpired = "NOT trusted. The certificate chain uses expired certificate.";
  constexpr const char* kPost = ";; HTTP session (HTTP/2-POST)-(dns.pellamar.test/dns-query)-";
  constexpr const char* kGet = ";; HTTP session (HTTP/2-GET)-(dns.pellamar.test/dns-query)-";
  const std::vector<ServerCase> cases = {
      // The trusted server, by name and by address; a CA that signed nothing here.
      {"@dns.pellamar.test +tls-ca={ca} +tls-hostname=dns.pellamar.test",
       true,
       {kSession, "CN=dns.pellamar.test"}},
      {"@127.0.0.80 +tls-ca={ca}", true, {kSession}},
      {"@dns.pellamar.test +tls-ca={other-ca} +tls-hostname=dns.pellamar.test",
       false,
       {kFailed, kUnknownIssuer}},
      // It answers for the test zone alone and refuses any other name, never looking it up.
      {"@127.0.0.80 +tls-ca={ca}", false, {kSession, "status: REFUSED"}, "example.com A"},
      // Another name's certificate, also under that name (so it is the name that fails).
      {"@127.0.0.81 +tls-ca={ca} +tls-hostname=dns.pellamar.test", false, {kFailed, kWrongName}},
      {"@127.0.0.81 +tls-ca={ca} +tls-hostname=other.pellamar.test",
       true,
       {kSession, "CN=other.pellamar.test"}},
      // An expired certificate; unchecked, the same server answers.
      {"@127.0.0.82 +tls-ca={ca} +tls-hostname=expired.pellamar.test", false, {kFailed, kExpired}},
      {"@127.0.0.82 +tls", true, {kSession, "CN=expired.pellamar.test"}},
      // HTTPS, POST and GET (?dns=), and its port's certificate checked too.
      {"@dns.pellamar.test +https=/dns-query +tls-ca={ca} +tls-hostname=dns.pellamar.test",
       true,
       {kSession, kPost, "(status: 200)"}},
      {"@dns.pellamar.test +https-get +tls-ca={ca} +tls-hostname=dns.pellamar.test",
       true,
       {kSession, kGet, "(status: 200)"}},
      {"@127.0.0.81 +https +tls-ca={ca} +tls-hostname=dns.pellamar.test",
       false,
       {kFailed, kWrongName}},
      // Plain text on the TLS port, over UDP and TCP.
      {"@127.0.0.83 -p 853 +notcp", true, {"status: NOERROR"}},
      {"@127.0.0.83 -p 853 +tcp", true, {"status: NOERROR"}},
  };

  for (const ServerCase& c : cases) {
    SCOPED_TRACE("kdig " + c.options + " " + c.question);
    const std::string options = Replace(Replace(c.options, "{ca}", "'" + tls + "/ca.pem'"),
                                        "{other-ca}", "'" + tls + "/other-ca.pem'");
    const std::string out =
        CommandOutput("timeout 10 kdig -d +timeout=2 +retry=0 " + options + " " + c.question);
    for (const char* expected : c.expected)
      EXPECT_NE(out.find(expected), std::string::npos) << "missing: " << expected << "\n" << out;
    EXPECT_EQ(out.find(kData) != std::string::npos, c.answers) << out;
  }
}

}  // namespace
