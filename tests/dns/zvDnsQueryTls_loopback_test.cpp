// DNS over TLS against the namespace's Unbound servers (tests/netns/start-tls.sh): an
// answer from the server whose certificate holds, and a clear error, within the time-out,
// from every one that must not be trusted. Nothing goes in plain text when TLS was asked.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "net/zvSocketUtils.h"
#include "tests/support/NetNamespace.h"

namespace {

std::string TlsFile(const char* name) {
  return NetnsRunDir() + "/tls/" + name;
}

TEST(DnsOverTls, OnlyACertificateThatHoldsGetsTheQuestion) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* server;
    const char* host_name;  // the name to check, beside the server's own
    const char* ca;
    bool insecure;
    std::int32_t code;  // 0: answered
    const char* message;
  };
  const TCase cases[] = {
      {"dns.pellamar.test", "", "ca.pem", false, 0, ""},
      {"127.0.0.80", "", "ca.pem", false, 0, ""},  // the address is in the certificate
      {"127.0.0.80", "", "other-ca.pem", false, kzvErrTlsCertificate, "certificate not trusted"},
      {"127.0.0.81", "dns.pellamar.test", "ca.pem", false, kzvErrTlsCertificate, "name mismatch"},
      {"expired.pellamar.test", "", "ca.pem", false, kzvErrTlsCertificate, "expired"},
      {"127.0.0.82", "", "", true, 0, ""},
      // A plain DNS server on the TLS port: no handshake ever comes.
      {"127.0.0.83", "", "ca.pem", false, kzvErrTimeout, "is it a TLS server?"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.server);
    TzvDnsQuery query(nullptr);
    query.SetServer(c.server);
    query.SetPort(853);
    query.SetTimeOut(1500);
    query.SetUseTls(true);
    TzvTlsSettings tls;
    tls.HostName = c.host_name;
    tls.CaFile = *c.ca != '\0' ? TlsFile(c.ca) : "";
    tls.Insecure = c.insecure;
    query.SetTlsSettings(tls);
    const auto started = std::chrono::steady_clock::now();
    try {
      EXPECT_EQ(query.ResolveRecords("info.pellamar.test", kzvDnsTypeTXT), 1);
      EXPECT_EQ(c.code, 0);
      EXPECT_EQ(query.LastExchange().Transport, TzvDnsTransport::dtTls);
      EXPECT_EQ(query.LastExchange().Tls.Version.rfind("TLSv1.", 0), 0u);
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  }
}

}  // namespace
