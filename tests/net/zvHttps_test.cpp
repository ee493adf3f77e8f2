// The HTTP/1.1 side of DNS over HTTPS against scripted servers: the request's exact bytes,
// the answers that are taken, and the ones that must not be, each arriving in pieces as
// small as one byte. (HTTP/2 is spoken with the namespace's Unbound, in the loopback tests.)
#include "net/zvHttps.h"

#include <gtest/gtest.h>

#include <string>

#include "net/zvSocketUtils.h"

namespace {

const std::vector<std::uint8_t> kMessage = {0x00, 0x00, 0x01, 0x00, 0xfb, 0xff, 0x3e};

// Serves `response` in pieces of `piece` bytes, then closes; keeps what was written.
struct TScriptedServer {
  explicit TScriptedServer(std::string text, std::size_t size = 1 << 20)
      : response(std::move(text)), piece(size) {}
  std::string response;
  std::size_t piece;
  std::string written;
  std::size_t served = 0;

  TzvHttpsChannel Channel() {
    return {[this](const std::uint8_t* data, std::size_t size) {
              written.append(reinterpret_cast<const char*>(data), size);
            },
            [this](TMemoryStream& received) {
              const std::size_t part = std::min(piece, response.size() - served);
              received.WriteBuffer(response.data() + served, static_cast<std::int64_t>(part));
              served += part;
              return served < response.size();
            }};
  }
};

TzvHttpsRequest Request(bool get) {
  TzvHttpsRequest request;
  request.Authority = "dns.pellamar.test:8443";
  request.Path = "/dns-query";
  request.Get = get;
  request.Message = kMessage;
  return request;
}

TEST(HttpsOverHttp1, TheRequestIsExactlyWhatTheServerExpects) {
  const std::string body(kMessage.begin(), kMessage.end());
  TScriptedServer server{
      "HTTP/1.1 200 OK\r\nContent-Type: application/dns-message\r\n"
      "Content-Length: 7\r\n\r\n" +
      body};
  EXPECT_EQ(ExchangeOverHttps(server.Channel(), false, Request(false)).Body, kMessage);
  EXPECT_EQ(server.written,
            "POST /dns-query HTTP/1.1\r\nHost: dns.pellamar.test:8443\r\n"
            "Accept: application/dns-message\r\nContent-Type: application/dns-message\r\n"
            "Content-Length: 7\r\nConnection: close\r\n\r\n" +
                body);
  // GET: base64url without padding; "+" and "/" would be "-" and "_".
  server.served = 0;
  server.written.clear();
  ExchangeOverHttps(server.Channel(), false, Request(true));
  EXPECT_EQ(server.written,
            "GET /dns-query?dns=AAABAPv_Pg HTTP/1.1\r\nHost: dns.pellamar.test:8443\r\n"
            "Accept: application/dns-message\r\nConnection: close\r\n\r\n");
}

TEST(HttpsOverHttp1, OnlyAWholeDnsAnswerIsTaken) {
  const std::string dns = "Content-Type: application/dns-message\r\n";
  const std::string body(kMessage.begin(), kMessage.end());
  struct TCase {
    std::string response;
    const char* refusal;  // empty: the body is the message
  };
  const TCase cases[] = {
      {"HTTP/1.1 200 OK\r\n" + dns + "Content-Length: 7\r\n\r\n" + body + "trailing", ""},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\ncontent-type: Application/DNS-Message; "
       "x=y\r\nTransfer-Encoding: chunked\r\n\r\n3;ext\r\n" +
           body.substr(0, 3) + "\r\n4\r\n" + body.substr(3) + "\r\n0\r\n\r\n",
       ""},
      {"HTTP/1.0 200 OK\n" + dns + "\n" + body, ""},  // bare LFs, ended by the close
      {"HTTP/1.1 404 Not Found\r\n" + dns + "Content-Length: 7\r\n\r\n" + body, "HTTP status 404"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\n" + body, "has no content type"},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>", "content type 'text/html'"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Content-Length: 65536\r\n\r\n", "larger than 65535"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Transfer-Encoding: chunked\r\n\r\nffff\r\n" +
           std::string(65535, 'x') + "\r\n1\r\n",
       "larger than 65535"},
      {"HTTP/1.1 200 OK\r\n" + dns + "\r\n" + std::string(65536, 'x'), "larger than 65535"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Content-Length: 0\r\n\r\n", "is empty"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Content-Length: 7\r\nContent-Length: 8\r\n\r\n",
       "malformed length"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Content-Length: -1\r\n\r\n", "malformed length"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Transfer-Encoding: gzip\r\n\r\n", "transfer coding"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", "chunk size"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Transfer-Encoding: chunked\r\n\r\n1\r\nab\r\n",
       "longer than its size"},
      {"HTTP/1.1 200 OK\r\n" + dns + " folded\r\n\r\n", "malformed header"},
      {"SSH-2.0-OpenSSH\r\n", "not HTTP/1.1"},
      {"HTTP/1.1 2x0 OK\r\n", "has no status"},
      {"HTTP/1.1 200 OK\r\n" + std::string(9000, 'a'), "too long"},
      {"HTTP/1.1 200 OK\r\n" + dns + "Content-Length: 7\r\n\r\nabc", "closed the connection"},
      {"HTTP/1.1 200 OK\r\n" + dns, "closed the connection"},
  };
  for (const TCase& c : cases) {
    for (const std::size_t piece : {std::size_t{1}, std::size_t{1} << 20}) {
      SCOPED_TRACE(c.response.substr(0, 80) + " in pieces of " + std::to_string(piece));
      TScriptedServer server(c.response, piece);
      try {
        const TzvHttpsResponse response =
            ExchangeOverHttps(server.Channel(), false, Request(false));
        EXPECT_STREQ(c.refusal, "");
        EXPECT_EQ(response.Body, kMessage);
        EXPECT_EQ(response.Version, "HTTP/1.1");
      } catch (const EzvSocketError& e) {
        EXPECT_NE(std::string(e.what()).find(c.refusal), std::string::npos) << e.what();
        EXPECT_NE(*c.refusal, '\0') << e.what();
        EXPECT_EQ(e.ErrorCode(),
                  std::string(c.refusal).rfind("closed", 0) == 0 ? kzvConnectionReset : kzvErrHttp);
      }
    }
  }
}

}  // namespace

namespace {

// An HTTP/2 frame: length, type, flags, stream, payload.
std::string Frame(std::uint8_t type, std::uint8_t flags, std::uint8_t stream,
                  const std::string& payload) {
  const auto size = static_cast<std::uint32_t>(payload.size());
  return std::string{static_cast<char>(size >> 16),
                     static_cast<char>(size >> 8),
                     static_cast<char>(size),
                     static_cast<char>(type),
                     static_cast<char>(flags),
                     0,
                     0,
                     0,
                     static_cast<char>(stream)} +
         payload;
}

// A server's HTTP/2 answer on stream 1: its settings, then HEADERS (HPACK: ":status" from
// the static table, content-type as a literal of table entry 31, content-length of 28
// when given) and DATA.
std::string Http2Answer(char status, const std::string& type, const std::string& body,
                        const std::string& length = "") {
  std::string headers = std::string{status, 0x0f, 0x10, static_cast<char>(type.size())} + type;
  if (!length.empty())
    headers += std::string{0x0f, 0x0d, static_cast<char>(length.size())} + length;
  return Frame(4, 0, 0, "") + Frame(1, 4, 1, headers) + Frame(0, 1, 1, body);
}

TEST(HttpsOverHttp2, TheStreamsAnswerIsTakenOnlyWhenItIsADnsMessage) {
  const std::string body(kMessage.begin(), kMessage.end());
  const char k200 = static_cast<char>(0x88), k404 = static_cast<char>(0x8d);
  TScriptedServer good(Http2Answer(k200, "application/dns-message", body), 5);
  const TzvHttpsResponse response = ExchangeOverHttps(good.Channel(), true, Request(false));
  EXPECT_EQ(response.Body, kMessage);
  EXPECT_EQ(response.Version, "HTTP/2");
  EXPECT_EQ(good.written.rfind("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 0), 0u);  // the preface
  const std::pair<std::string, const char*> refused[] = {
      {Http2Answer(k404, "application/dns-message", body), "HTTP status 404"},
      {Http2Answer(k200, "text/plain", body), "content type 'text/plain'"},
      {Http2Answer(k200, "application/dns-message", body, "70000"), "larger than 65535"},
      {Http2Answer(k200, "application/dns-message", body).substr(0, 30), "closed the connection"},
  };
  for (const auto& [answer, refusal] : refused) {
    TScriptedServer server(answer);
    try {
      ExchangeOverHttps(server.Channel(), true, Request(true));
      ADD_FAILURE() << "taken: " << refusal;
    } catch (const EzvSocketError& e) {
      EXPECT_NE(std::string(e.what()).find(refusal), std::string::npos) << e.what();
    }
  }
}

}  // namespace

#include "net/zvHttpsSession.h"

namespace {

// Over HTTP/1.1 a connection kept alive carries answer after answer: a chunked one with its
// trailer, then one of another status that fails alone, then one of a known length.
TEST(HttpsSession, Http1AnswersFollowOneAnotherOnOneConnection) {
  const std::string body(kMessage.begin(), kMessage.end());
  const std::string dns = "Content-Type: application/dns-message\r\n";
  const std::string answers =
      "HTTP/1.1 200 OK\r\n" + dns + "Transfer-Encoding: chunked\r\n\r\n7\r\n" + body +
      "\r\n0\r\nX-Trailer: 1\r\n\r\nHTTP/1.1 500 No\r\nContent-Length: 3\r\n\r\nno\n" +
      "HTTP/1.1 200 OK\r\n" + dns + "Content-Length: 7\r\n\r\n" + body;
  for (const std::size_t piece : {std::size_t{1}, std::size_t{1} << 20}) {
    SCOPED_TRACE(piece);
    TScriptedServer server(answers, piece);
    TzvHttpsSession session(server.Channel(), false);
    for (int i = 0; i < 3; ++i) session.Submit(Request(false));
    for (std::int32_t handle = 1; handle <= 3; ++handle) {
      const TzvHttpsDone done = session.Next();
      EXPECT_EQ(done.Handle, handle);
      EXPECT_EQ(done.Response.has_value(), handle != 2) << done.Error;
      if (handle == 2) {
        EXPECT_NE(done.Error.find("HTTP status 500"), std::string::npos);
      }
    }
    EXPECT_EQ(server.written.find("Connection: close"), std::string::npos);
    std::size_t requests = 0;
    for (std::size_t at = 0; (at = server.written.find("POST /", at)) != std::string::npos; ++at)
      ++requests;
    EXPECT_EQ(requests, 3u);
  }
}

// A server's GOAWAY ends what the connection takes: the stream it names as the last is
// answered, the one beyond it comes back as not taken up, to be asked again elsewhere.
TEST(HttpsSession, Http2GoawayRefusesTheStreamsBeyondItsLast) {
  const std::string body(kMessage.begin(), kMessage.end());
  const std::string goaway = Frame(7, 0, 0, std::string{0, 0, 0, 1, 0, 0, 0, 0});
  for (const std::size_t piece : {std::size_t{5}, std::size_t{1} << 20}) {
    TScriptedServer server(
        Http2Answer(static_cast<char>(0x88), "application/dns-message", body) + goaway, piece);
    TzvHttpsSession session(server.Channel(), true);
    const std::int32_t first = session.Submit(Request(false));
    const std::int32_t second = session.Submit(Request(true));
    TzvHttpsDone done = session.Next();
    EXPECT_EQ(done.Handle, first);
    EXPECT_TRUE(done.Response) << done.Error;
    done = session.Next();
    EXPECT_EQ(done.Handle, second);
    EXPECT_EQ(done.ErrorCode, kzvConnectionReset) << done.Error;
    EXPECT_FALSE(session.CanSubmit());
  }
}

}  // namespace
