// The HTTP part of DNS over HTTPS: one DNS message sent to a URL's path as
// application/dns-message and the answer's body taken back, over a TLS session that is
// already up. HTTP/2 through nghttp2 (libnghttp2, loaded the first time it is needed, as
// GnuTLS is) when the server chose "h2" by ALPN; HTTP/1.1 otherwise, which needs no more
// than a request written out and one response read back, within bounds.
//
// The bytes travel through the caller's channel, so every wait is the connection's own:
// its time-out, Abort and the window's responsiveness hold as they do over TCP.
//
// Anything but a complete 200 answer of type application/dns-message, at most 65,535
// bytes long (the most a DNS message can be), is an error with the reason; a server that
// sends more is cut off as soon as it passes the bound, never read to its end, and so is
// one that sends without end what carries no answer: informational (1xx) answers, and
// over HTTP/2 empty DATA frames or frames of any kind beyond what an answer needs.
//
// This is one request over a connection of its own; net/zvHttpsSession.h carries several
// over one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Classes.h"

// Library code of an HTTP exchange that brought no DNS answer (see net/zvSocketUtils.h).
inline constexpr std::int32_t kzvErrHttp = -12;

// The largest body taken: a DNS message's length is a 16-bit number.
inline constexpr std::size_t kzvHttpsMostAnswer = 65535;

struct TzvHttpsRequest {
  // The server as the URL names it, with the port when it is not 443:
  // "dns.pellamar.test", "127.0.0.80:8443", "[::1]".
  std::string Authority;
  std::string Path = "/dns-query";
  // GET with the message in the query string (?dns=, base64url), instead of POST.
  bool Get = false;
  std::vector<std::uint8_t> Message;
};

// The byte stream under HTTP: Write sends all it is given; Read appends what arrives to
// the stream (waiting for something first) and is false once the peer has closed.
struct TzvHttpsChannel {
  std::function<void(const std::uint8_t* data, std::size_t size)> Write;
  std::function<bool(TMemoryStream& received)> Read;
};

struct TzvHttpsResponse {
  std::string Version;  // "HTTP/2" or "HTTP/1.1"
  std::vector<std::uint8_t> Body;
};

// Sends the request over HTTP/2 when `http2`, else HTTP/1.1, and returns the DNS answer.
// Fails with EzvSocketError: kzvErrHttp with the reason (a status other than 200, another
// content type, an answer too large or empty, a broken response), kzvConnectionReset when
// the server closes before the answer is complete, kzvErrTlsUnavailable when HTTP/2 is
// needed and libnghttp2 cannot be loaded, or whatever the channel raises.
TzvHttpsResponse ExchangeOverHttps(const TzvHttpsChannel& channel, bool http2,
                                   const TzvHttpsRequest& request);
