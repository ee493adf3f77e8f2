// What a TLS session reports of itself (--verbose, the window's status bar, JSON), against
// the namespace's servers (tests/netns/start-tls.sh): the version, the cipher suite, the
// server certificate's subject as OpenSSL writes it and the protocol ALPN chose, the same
// whether the session was made anew or resumed from the cache.
#include "net/zvTls.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/NetNamespace.h"

namespace {

TEST(TlsSessionInfo, TheSessionReportsWhatWasAgreedFreshAndResumed) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string tls = NetnsRunDir() + "/tls/";
  struct TCase {
    const char* address;
    int port;
    const char* host;         // checked and sent as SNI
    const char* certificate;  // the server's certificate file, whose subject is reported
    const char* alpn;         // what the server chooses of h2 and http/1.1; "": none offered
  };
  const TCase cases[] = {
      {"127.0.0.80", 853, "dns.pellamar.test", "dns.pem", ""},
      {"127.0.0.80", 443, "dns.pellamar.test", "dns.pem", "h2"},
      {"127.0.0.84", 443, "http1.pellamar.test", "http1.pem", "http/1.1"},
      {"127.0.0.85", 853, "san.enc.test", "names-san.pem", ""},  // picked by SNI
  };
  auto cache = std::make_shared<TzvTlsSessionCache>();
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port) + " " + c.host);
    std::string subject = CommandOutput("openssl x509 -noout -subject -nameopt compat -in '" + tls +
                                        c.certificate + "'");
    subject = subject.substr(subject.find('=') + 1);
    subject.erase(subject.find_last_not_of('\n') + 1);
    ASSERT_EQ(subject.rfind("/", 0), 0u) << subject;
    // Over DNS over TLS a second round resumes the first's session (which a question's
    // exchange lets in: TLS 1.3 tickets come after the handshake).
    const int rounds = *c.alpn == '\0' ? 2 : 1;
    for (int round = 0; round < rounds; ++round) {
      TzvTcpClientConnection connection;
      connection.SetNetworkStream(std::make_unique<TzvNetworkStream>());
      connection.SetTimeOut(3000);
      connection.Open(c.address, c.port);
      TzvTlsSettings settings;
      settings.HostName = c.host;
      settings.Address = c.address;
      settings.CaFile = tls + "ca.pem";
      if (*c.alpn != '\0') settings.Alpn = {"h2", "http/1.1"};
      settings.Sessions = cache;
      TzvTlsSession session(connection, settings);
      session.Handshake();
      const TzvTlsInfo& info = session.Info();
      EXPECT_EQ(info.Resumed, round == 1);
      EXPECT_EQ(info.Version, "TLSv1.3");
      EXPECT_EQ(info.Cipher.rfind("TLS_", 0), 0u) << info.Cipher;
      EXPECT_EQ(info.Subject, subject);
      EXPECT_EQ(info.Alpn, c.alpn);
      if (round + 1 < rounds) {
        // info.pellamar.test TXT, ID 1, RD, framed by its length.
        const std::uint8_t question[] = {
            0, 36,  0,   1,   1,   0,   0,   1,   0,   0, 0,   0,   0,   0,   4, 'i', 'n', 'f', 'o',
            8, 'p', 'e', 'l', 'l', 'a', 'm', 'a', 'r', 4, 't', 'e', 's', 't', 0, 0,   16,  0,   1};
        session.Write(question, sizeof question);
        TMemoryStream received;
        EXPECT_TRUE(session.Read(&received, 16384));
      }
    }
  }
}

}  // namespace
