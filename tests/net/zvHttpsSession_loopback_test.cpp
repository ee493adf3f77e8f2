// Several questions over one encrypted connection, against the namespace's servers
// (tests/netns/start-tls.sh): TLS sessions resumed from the cache, HTTP/2 streams in
// flight at once, HTTP/1.1 kept alive, and a failed request beside good ones.
#include "net/zvHttpsSession.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "net/zvSocketUtils.h"
#include "net/zvTls.h"
#include "tests/support/NetNamespace.h"

namespace {

// A question (ID 0, RD) for `name` of `type`, class IN.
std::vector<std::uint8_t> Question(const std::string& name, std::uint8_t type) {
  std::vector<std::uint8_t> message = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  for (std::size_t start = 0; start < name.size();) {
    const std::size_t dot = std::min(name.find('.', start), name.size());
    message.push_back(static_cast<std::uint8_t>(dot - start));
    message.insert(message.end(), name.begin() + start, name.begin() + dot);
    start = dot + 1;
  }
  message.insert(message.end(), {0, 0, type, 0, 1});
  return message;
}

// True when `answer` is an answer whose question section is that of `question`.
bool Answers(const std::vector<std::uint8_t>& answer, const std::vector<std::uint8_t>& question) {
  return answer.size() > question.size() && (answer[2] & 0x80) != 0 &&
         std::equal(question.begin() + 4, question.begin() + 6, answer.begin() + 4) &&
         std::equal(question.begin() + 12, question.end(), answer.begin() + 12);
}

// A TLS connection to `address`:`port` for `host`, checked against the test CA.
struct TTlsLink {
  TTlsLink(const std::string& address, int port, const std::string& host,
           std::shared_ptr<TzvTlsSessionCache> sessions = nullptr,
           std::vector<std::string> alpn = {}, bool insecure = false,
           const char* ca_file = "ca.pem") {
    connection.SetNetworkStream(std::make_unique<TzvNetworkStream>());
    connection.SetTimeOut(3000);
    connection.Open(address, port);
    TzvTlsSettings settings;
    settings.HostName = host;
    settings.Address = address;
    settings.CaFile = *ca_file == '\0' ? "" : NetnsRunDir() + "/tls/" + ca_file;
    settings.Alpn = std::move(alpn);
    settings.Sessions = std::move(sessions);
    settings.Insecure = insecure;
    tls = std::make_unique<TzvTlsSession>(connection, std::move(settings));
    tls->Handshake();
  }
  TzvHttpsChannel Channel() {
    return {[this](const std::uint8_t* data, std::size_t size) { tls->Write(data, size); },
            [this](TMemoryStream& received) { return tls->Read(&received, 16384); }};
  }
  TzvTcpClientConnection connection;
  std::unique_ptr<TzvTlsSession> tls;
};

TzvHttpsRequest Request(const std::string& authority, const std::string& path,
                        std::vector<std::uint8_t> message) {
  TzvHttpsRequest request;
  request.Authority = authority;
  request.Path = path;
  request.Message = std::move(message);
  return request;
}

// The second connection to a server resumes the session of the first, over DNS over TLS
// (Unbound) and HTTPS (Unbound's HTTP/2, the HTTP/1.1 server), with one cache for all;
// a connection without the cache never does.
TEST(TlsSessionCacheLoopback, TheSecondConnectionResumes) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    const char* address;
    int port;
    const char* host;
    bool https;
  };
  const TCase cases[] = {{"127.0.0.80", 853, "dns.pellamar.test", false},
                         {"127.0.0.80", 443, "dns.pellamar.test", true},
                         {"127.0.0.84", 443, "http1.pellamar.test", true}};
  auto cache = std::make_shared<TzvTlsSessionCache>();
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.address) + ":" + std::to_string(c.port));
    for (int round = 0; round < 3; ++round) {
      TTlsLink link(
          c.address, c.port, c.host, round < 2 ? cache : nullptr,
          c.https ? std::vector<std::string>{"h2", "http/1.1"} : std::vector<std::string>{});
      EXPECT_EQ(link.tls->Info().Resumed, round == 1);
      // A question and its answer: TLS 1.3 tickets come after the handshake, before it.
      const std::vector<std::uint8_t> question = Question("info.pellamar.test", 16);
      std::vector<std::uint8_t> answer;
      if (c.https) {
        TzvHttpsSession session(link.Channel(), link.tls->Info().Alpn == "h2");
        session.Submit(Request(c.host, "/dns-query", question));
        answer = session.Next().Response.value().Body;
      } else {
        std::vector<std::uint8_t> framed(2 + question.size());
        framed[1] = static_cast<std::uint8_t>(question.size());
        std::copy(question.begin(), question.end(), framed.begin() + 2);
        link.tls->Write(framed.data(), framed.size());
        TMemoryStream received;
        while (received.Size() < 2 ||
               received.Size() < 2 + (received.Memory()[0] << 8 | received.Memory()[1]))
          ASSERT_TRUE(link.tls->Read(&received, 16384));
        answer.assign(received.Memory() + 2, received.Memory() + received.Size());
      }
      EXPECT_TRUE(Answers(answer, question));
    }
  }
  EXPECT_EQ(cache->Size(), 3u);
}

// A session made without checking the certificate is never taken up by a connection that
// checks it: resumed, it would not be checked again.
TEST(TlsSessionCacheLoopback, AnUncheckedSessionIsNotResumedWhenChecking) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto cache = std::make_shared<TzvTlsSessionCache>();
  for (int round = 0; round < 2; ++round) {
    TTlsLink unchecked("127.0.0.82", 443, "expired.pellamar.test", cache, {"h2"}, true);
    EXPECT_EQ(unchecked.tls->Info().Resumed, round == 1);
    TzvHttpsSession session(unchecked.Channel(), true);
    session.Submit(
        Request("expired.pellamar.test", "/dns-query", Question("info.pellamar.test", 16)));
    EXPECT_TRUE(session.Next().Response);
  }
  try {
    TTlsLink checked("127.0.0.82", 443, "expired.pellamar.test", cache, {"h2"});
    ADD_FAILURE() << "resumed: " << checked.tls->Info().Resumed;
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvErrTlsCertificate) << e.what();
  }
}

// The system's store, here a hashed folder that holds the test CA alone (SSL_CERT_DIR),
// checks a chain as a CA file does.
TEST(TlsSessionCacheLoopback, TheSystemsHashedStoreChecksTheChain) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string folder = NetnsRunDir() + "/tls/system-store";
  CommandOutput("mkdir -p " + folder + " && cp " + NetnsRunDir() + "/tls/ca.pem " + folder +
                "/$(openssl x509 -hash -noout -in " + NetnsRunDir() + "/tls/ca.pem).0");
  ::setenv("SSL_CERT_DIR", folder.c_str(), 1);
  ::unsetenv("SSL_CERT_FILE");
  TTlsLink trusted("127.0.0.80", 853, "dns.pellamar.test", nullptr, {}, false, "");
  EXPECT_EQ(trusted.tls->Info().Version.rfind("TLSv1.", 0), 0u);
  try {
    TTlsLink expired("127.0.0.82", 853, "expired.pellamar.test", nullptr, {}, false, "");
    ADD_FAILURE() << "an expired certificate was taken";
  } catch (const EzvSocketError& e) {
    EXPECT_NE(std::string(e.what()).find("expired"), std::string::npos) << e.what();
  }
}

// Over HTTP/2 every request is on the connection at once, more than the server takes at a
// time among them (Unbound: 100 streams), and each answer comes back to its handle; one
// the server refuses (404) fails alone.
TEST(HttpsSessionLoopback, Http2StreamsInFlightComeBackToTheirHandles) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TTlsLink link("127.0.0.80", 443, "dns.pellamar.test", nullptr, {"h2"});
  ASSERT_EQ(link.tls->Info().Alpn, "h2");
  TzvHttpsSession session(link.Channel(), true);
  const char* names[] = {"info.pellamar.test", "www.pellamar.test", "host4.pellamar.test"};
  std::map<std::int32_t, std::vector<std::uint8_t>> asked;
  for (int i = 0; i < 120; ++i) {
    const auto question = Question(names[i % 3], i % 3 == 0 ? 16 : 1);
    asked[session.Submit(Request("dns.pellamar.test", "/dns-query", question))] = question;
  }
  const std::int32_t refused =
      session.Submit(Request("dns.pellamar.test", "/elsewhere", asked.begin()->second));
  while (session.Pending() > 0) {
    const TzvHttpsDone done = session.Next();
    if (done.Handle == refused) {
      EXPECT_FALSE(done.Response);
      EXPECT_EQ(done.ErrorCode, kzvErrHttp);
      EXPECT_NE(done.Error.find("HTTP status 404"), std::string::npos) << done.Error;
      continue;
    }
    ASSERT_TRUE(done.Response) << done.Error;
    EXPECT_EQ(done.Response->Version, "HTTP/2");
    EXPECT_TRUE(Answers(done.Response->Body, asked.at(done.Handle)));
    asked.erase(done.Handle);
  }
  EXPECT_TRUE(asked.empty());
  EXPECT_TRUE(session.CanSubmit());
}

// Over HTTP/1.1 the requests go one after another over the one connection kept alive; an
// answer of another status fails its request alone, and the server's "Connection: close"
// ends what the connection takes.
TEST(HttpsSessionLoopback, Http1KeepsTheConnectionForTheNextRequest) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TTlsLink link("127.0.0.84", 443, "http1.pellamar.test", nullptr, {"h2", "http/1.1"});
  ASSERT_EQ(link.tls->Info().Alpn, "http/1.1");
  TzvHttpsSession session(link.Channel(), false);
  const auto question = Question("www.pellamar.test", 1);
  const std::pair<const char*, const char*> steps[] = {
      {"/dns-query", ""},
      {"/status/500", "HTTP status 500"},
      {"/dns-query", ""},
      {"/close", ""},
      {"/dns-query", "before the request was sent"}};
  std::vector<std::int32_t> handles;
  for (const auto& [path, failure] : steps)
    handles.push_back(session.Submit(Request("http1.pellamar.test", path, question)));
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(steps[i].first);
    const TzvHttpsDone done = session.Next();
    EXPECT_EQ(done.Handle, handles[i]);
    EXPECT_EQ(done.Response.has_value(), *steps[i].second == '\0') << done.Error;
    EXPECT_NE(done.Error.find(steps[i].second), std::string::npos) << done.Error;
    if (done.Response) {
      EXPECT_TRUE(Answers(done.Response->Body, question));
    }
  }
  EXPECT_FALSE(session.CanSubmit());
}

}  // namespace
