// DNS over TLS and over HTTPS against the namespace's servers (tests/netns/start-tls.sh):
// an answer from the server whose certificate holds, and a clear error, within the
// time-out, from every one that must not be trusted or does not answer as DNS over HTTPS
// must. Nothing goes in plain text when TLS was asked.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecChain.h"
#include "net/zvHttps.h"
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
      {"127.0.0.80", "", "missing.pem", false, kzvErrTlsCertificate, "cannot read the CA"},
      {"127.0.0.80", "", "../resolv.conf", false, kzvErrTlsCertificate, "no CA certificate in"},
      {"127.0.0.81", "dns.pellamar.test", "ca.pem", false, kzvErrTlsCertificate, "name mismatch"},
      {"expired.pellamar.test", "", "ca.pem", false, kzvErrTlsCertificate, "expired"},
      {"127.0.0.82", "", "", true, 0, ""},
      // A plain DNS server on the TLS port: no handshake ever comes.
      {"127.0.0.83", "", "ca.pem", false, kzvErrTimeout, "is it a TLS server?"},
      // A TLS server that takes the question and never answers.
      {"http1.pellamar.test", "", "ca.pem", false, kzvErrTimeout, "Timeout"},
      // Names only from the subjectAltName, a wildcard only as a whole left-most label
      // (kdig, through GnuTLS, still takes a CN when there is no subjectAltName).
      {"127.0.0.85", "san.enc.test", "ca.pem", false, 0, ""},  // DNS:san.enc.test
      {"127.0.0.85", "any.enc.test", "ca.pem", false, 0, ""},  // DNS:*.enc.test
      {"127.0.0.85", "cn-only.enc.test", "ca.pem", false, kzvErrTlsCertificate, "name mismatch"},
      {"127.0.0.85", "dns.enc.test", "ca.pem", false, kzvErrTlsCertificate, "name mismatch"},
      {"127.0.0.85", "cnwild.enc.test", "ca.pem", false, kzvErrTlsCertificate, "name mismatch"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.server) + " " + c.host_name);
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

TEST(DnsOverHttps, TheAnswerComesOnlyAsAWholeDnsMessageFromATrustedServer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* server;  // Unbound speaks HTTP/2; http1.pellamar.test HTTP/1.1 only
    const char* path;
    bool get;
    const char* ca;
    std::int32_t code;           // 0: answered
    const char* expected;        // the HTTP version, or a part of the error's message
    const char* host_name = "";  // the name to check, beside the server's own
    std::int32_t port = 443;
  };
  const TCase cases[] = {
      {"dns.pellamar.test", "/dns-query", false, "ca.pem", 0, "HTTP/2"},
      {"dns.pellamar.test", "/dns-query", true, "ca.pem", 0, "HTTP/2"},
      {"http1.pellamar.test", "/dns-query", false, "ca.pem", 0, "HTTP/1.1"},
      {"http1.pellamar.test", "/dns-query", true, "ca.pem", 0, "HTTP/1.1"},
      {"http1.pellamar.test", "/chunked", false, "ca.pem", 0, "HTTP/1.1"},  // after 100
      {"http1.pellamar.test", "/close", false, "ca.pem", 0, "HTTP/1.1"},
      {"dns.pellamar.test", "/dns-query", false, "other-ca.pem", kzvErrTlsCertificate,
       "certificate not trusted"},
      {"expired.pellamar.test", "/dns-query", false, "ca.pem", kzvErrTlsCertificate, "expired"},
      {"127.0.0.81", "/dns-query", false, "ca.pem", kzvErrTlsCertificate, "name mismatch",
       "dns.pellamar.test"},
      {"dns.pellamar.test", "/elsewhere", false, "ca.pem", kzvErrHttp, "HTTP status 404"},
      {"http1.pellamar.test", "/status/503", false, "ca.pem", kzvErrHttp, "HTTP status 503"},
      {"http1.pellamar.test", "/html", true, "ca.pem", kzvErrHttp, "content type 'text/html'"},
      {"http1.pellamar.test", "/big", false, "ca.pem", kzvErrHttp, "larger than 65535"},
      {"http1.pellamar.test", "/big-chunked", false, "ca.pem", kzvErrHttp, "larger than 65535"},
      {"http1.pellamar.test", "/stall", false, "ca.pem", kzvErrTimeout, "Timeout"},
      {"http1.pellamar.test", "/flood-1xx", false, "ca.pem", kzvErrHttp, "more than 8 inform"},
      // tls-hostile.py: the certificate the name asked picks, as over TLS; after the
      // question, floods by port: 1xx HEADERS, empty DATA, WINDOW_UPDATE, PING.
      {"127.0.0.85", "/dns-query", false, "ca.pem", 0, "HTTP/2", "any.enc.test"},
      {"127.0.0.85", "/dns-query", false, "ca.pem", kzvErrTlsCertificate, "name mismatch",
       "cn-only.enc.test"},
      {"127.0.0.85", "/", false, "ca.pem", kzvErrHttp, "more than 8 inform", "san.enc.test", 4431},
      {"127.0.0.85", "/", false, "ca.pem", kzvErrHttp, "8 empty DATA", "san.enc.test", 4432},
      {"127.0.0.85", "/", false, "ca.pem", kzvErrHttp, "1000 HTTP/2 frames", "san.enc.test", 4433},
      {"127.0.0.85", "/", false, "ca.pem", kzvErrHttp, "1000 HTTP/2 frames", "san.enc.test", 4434},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.server) + ":" + std::to_string(c.port) + c.path +
                 (c.get ? " GET " : " POST ") + c.host_name);
    TzvDnsQuery query(nullptr);
    query.SetServer(c.server);
    query.SetPort(c.port);
    query.SetTimeOut(1500);
    query.SetUseHttps(true);
    query.SetHttpsPath(c.path);
    query.SetHttpsGet(c.get);
    TzvTlsSettings tls;
    tls.HostName = c.host_name;
    tls.CaFile = TlsFile(c.ca);
    query.SetTlsSettings(tls);
    const auto started = std::chrono::steady_clock::now();
    try {
      query.ResolveIP(c.server == std::string("dns.pellamar.test") ? "www.pellamar.test"
                                                                   : "anything.pellamar.test");
      EXPECT_EQ(c.code, 0);
      EXPECT_EQ(query.Hosts().Count(), 1);
      EXPECT_EQ(query.LastExchange().Transport, TzvDnsTransport::dtHttps);
      EXPECT_EQ(query.LastExchange().Http, c.expected);
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2500));
  }
}

// The questions of a DNSSEC check go as the lookup went, to the name its certificate was
// checked for, though they are sent to the address that answered.
TEST(DnsOverHttps, TheChainOfTrustIsAskedTheSameWay) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const bool https : {false, true}) {
    TzvDnsQuery lookup(nullptr);
    lookup.SetServer("dns.pellamar.test");
    lookup.SetPort(https ? 443 : 853);
    (https ? lookup.SetUseHttps(true) : lookup.SetUseTls(true));
    lookup.SetHttpsGet(true);
    TzvTlsSettings tls;
    tls.CaFile = TlsFile("ca.pem");
    lookup.SetTlsSettings(tls);
    lookup.ResolveRecords("info.pellamar.test", kzvDnsTypeTXT);
    TzvDnssecQueryAsker asker(lookup);
    const TzvDnsExchangeSettings& asked = asker.Settings();
    const std::string how = asked.Server +
                            (asked.Transport == TzvDnsTransport::dtTls ? " TLS " : "") +
                            (asked.Transport == TzvDnsTransport::dtHttps ? " HTTPS " : "") +
                            asked.Tls.HostName + (asked.HttpsGet ? " GET" : "");
    const auto answer = asker.Ask("info.pellamar.test", kzvDnsTypeTXT);
    EXPECT_EQ(how, https ? "127.0.0.80 HTTPS dns.pellamar.test GET"
                         : "127.0.0.80 TLS dns.pellamar.test GET");
    EXPECT_EQ(answer->Answers().Count(), 1);
  }
}

}  // namespace
