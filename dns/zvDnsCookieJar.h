// DNS cookies: a client proves to a server that it can receive at its address, and the
// server proves to the client that an answer comes from the server it asked, without the
// cost of TCP. The client sends a cookie of its own (8 random bytes); the server answers
// with it and a cookie of its own (8 to 32 bytes), which the client sends back with every
// later question to that server. An answer that carries another client cookie is not an
// answer to us; a server that wants its cookie back answers BADCOOKIE.
//
// The jar lives as long as one exchange engine, so for one command: its client cookies
// are drawn afresh for each server and each command (a cookie kept longer would let the
// servers follow the client from one command to the next), and what a server gave is sent
// back to it for the rest of the command (the chain of trust, a trace's steps, a batch).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dns/zvDnsOptRecord.h"

// The response code of a server that wants its own cookie back.
inline constexpr std::int32_t kzvDnsResponseBadCookie = 23;
inline constexpr std::size_t kzvClientCookieSize = 8;
inline constexpr std::size_t kzvServerCookieMin = 8;
inline constexpr std::size_t kzvServerCookieMax = 32;

// What an answer's cookie says about it.
enum class TzvCookieVerdict {
  cvNotSent,    // we sent none
  cvNone,       // we sent one; the answer carries none (a server without cookies)
  cvGood,       // our client cookie and a server cookie of a valid length
  cvEchoed,     // our client cookie alone
  cvBad,        // another client cookie: not an answer to our question
  cvMalformed,  // a length no cookie has (under 8, 9 to 15, over 40)
};

// dig's word for the verdict ("good", "echoed", ...); empty for cvNotSent and cvNone.
std::string CookieVerdictName(TzvCookieVerdict verdict);

// The answer's COOKIE option (null: none) against the client cookie we sent (empty: none).
TzvCookieVerdict JudgeCookie(std::span<const std::uint8_t> client_cookie_sent,
                             const TzvEdnsOption* answer);

// What an answer's bytes say of its cookie: the COOKIE option (none when it has none or
// its records run out of the message) and the whole response code (-1 when not even the
// question can be read).
struct TzvAnswerCookie {
  std::optional<TzvEdnsOption> Cookie;
  std::int32_t ResponseCode = -1;
};
TzvAnswerCookie AnswerCookieOf(std::span<const std::uint8_t> answer);

// A good verdict's answer is ours; a bad or malformed one is not.
inline bool IsStrangersCookie(TzvCookieVerdict verdict) {
  return verdict == TzvCookieVerdict::cvBad || verdict == TzvCookieVerdict::cvMalformed;
}

// The cookies of one command, by server.
class TzvDnsCookieJar {
 public:
  // The COOKIE option's data for the next question to `server` (any text that names one
  // server and port): our client cookie for it, drawn at the first question, then the
  // server's cookie once one was learnt.
  std::vector<std::uint8_t> Offer(const std::string& server);
  // The same, unless the user gave a cookie to send as it stands (`fixed`, not empty).
  std::vector<std::uint8_t> Offer(const std::string& server,
                                  const std::vector<std::uint8_t>& fixed) {
    return fixed.empty() ? Offer(server) : fixed;
  }
  // Keeps the server cookie of an answer from `server` whose verdict is good.
  void Learn(const std::string& server, const TzvEdnsOption& answer);
  // The server cookie kept for `server` (empty: none yet).
  std::vector<std::uint8_t> ServerCookie(const std::string& server) const;

 private:
  struct TEntry {
    std::array<std::uint8_t, kzvClientCookieSize> Client{};
    std::vector<std::uint8_t> Server;
  };
  std::map<std::string, TEntry> entries_;
};
