// Several DNS questions over one HTTPS connection: over HTTP/2 each request is a stream of
// its own, sent at once and many in flight (as many as the server's
// SETTINGS_MAX_CONCURRENT_STREAMS allows; the rest wait their turn), answered in any order;
// over HTTP/1.1 the connection is kept alive and the requests go one after another, each
// when the answer before it is complete. Every answer is judged as ExchangeOverHttps judges
// one (net/zvHttps.h), and each stream is held to its bounds: a body of at most 65,535
// bytes, at most 8 informational answers and 8 empty DATA frames; the connection to at
// most 1,000 frames between two completed answers.
//
// A request the server answers badly (another status or content type, too large, reset)
// fails alone; the connection failing (the channel's errors, a close before the answers
// are complete, a broken HTTP/2 stream of frames) fails every request still pending: Next
// raises it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/zvHttps.h"

// One finished request.
struct TzvHttpsDone {
  std::int32_t Handle = 0;  // as Submit returned it
  // The answer; empty when the request failed, with why in ErrorCode and Error:
  // kzvErrHttp (the answer is not a DNS answer) or kzvConnectionReset (the server closed
  // or refused the request before answering it: ask again over a new connection).
  std::optional<TzvHttpsResponse> Response;
  std::int32_t ErrorCode = 0;
  std::string Error;
};

class TzvHttpsSession {
 public:
  // `http2`: the server chose "h2" by ALPN, else HTTP/1.1. `keep_alive` false: the
  // connection carries one request only (HTTP/1.1 asks the server to close after it).
  TzvHttpsSession(TzvHttpsChannel channel, bool http2, bool keep_alive = true);
  ~TzvHttpsSession();
  TzvHttpsSession(const TzvHttpsSession&) = delete;
  TzvHttpsSession& operator=(const TzvHttpsSession&) = delete;

  // Queues a request (over HTTP/2 its stream is made at once; it goes out with the next
  // Next) and returns its handle, counted from 1. Fails with kzvErrHttp once !CanSubmit().
  std::int32_t Submit(const TzvHttpsRequest& request);
  // Runs the connection until one submitted request is finished, and returns it. Raises
  // the connection's failure (see above), then again on every later call; fails with
  // kzvErrHttp when nothing is pending.
  TzvHttpsDone Next();
  // False once the server said it takes no more (GOAWAY, "Connection: close", a close)
  // or the connection failed: the requests not yet submitted go over a new connection.
  bool CanSubmit() const;
  // Requests submitted and not yet returned by Next.
  std::size_t Pending() const;
  // Loads what HTTP/2 needs, ahead of a session (throws as the session would).
  static void Prepare();

  class TImpl;

 private:
  std::unique_ptr<TImpl> impl_;
};
