// One exchange of DNS questions with one server, whatever carries them: the settings a
// lookup is made with (one value, copied by one assignment), the reply it gets (an error
// reply is a reply: its response code is data), and the engine that runs UDP, TCP, TLS
// and HTTPS behind one interface, with the retransmission schedule, the retry over TCP of
// a truncated answer and the fallback without EDNS written once.
//
// A connection-oriented transport keeps its connection for the next question to the same
// server: a chain of trust's questions, or a batch's, go over one connection, several at
// once where the transport allows (pipelined over TCP and TLS, answers matched by ID in
// whatever order they come). A server that closed the kept connection is asked again
// over a new one, within the same time-out.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Classes.h"
#include "dns/zvDnsEdnsOptions.h"
#include "dns/zvDnsCookieJar.h"
#include "dns/zvDnsMessage.h"
#include "net/zvTls.h"

struct TzvTsigKey;

// How the answer of an exchange travelled.
enum class TzvDnsTransport { dtUdp, dtTcp, dtTls, dtHttps };

// "UDP", "TCP", "TLS" or "HTTPS".
std::string DnsTransportName(TzvDnsTransport transport);

// Which addresses of a server given by host name may be used.
enum class TzvAddressFamily { afAny, afIPv4, afIPv6 };

// Everything a lookup's questions are asked with. Components hold one and hand it on:
// the chain of trust, a trace or a batch asks as the lookup does by copying it.
struct TzvDnsExchangeSettings {
  // An IPv4 or IPv6 address, or a host name (looked up within the time-out).
  std::string Server;
  std::int32_t Port = 53;
  TzvAddressFamily Family = TzvAddressFamily::afAny;
  // Milliseconds for one exchange, from its first send to its reply (the lookup of the
  // server's name, a retry over TCP and the fallback without EDNS included); -1: none.
  std::int32_t TimeOut = 5000;
  // Datagrams a UDP question may take within the time-out: the same question goes again
  // after 400 ms, then after twice the wait before. At least 1.
  int Tries = 3;
  TzvDnsTransport Transport = TzvDnsTransport::dtUdp;
  // An OPT record offering EdnsBufferSize bytes for an answer over UDP (at least 512),
  // with the NSID option and the DNSSEC OK bit as asked.
  bool UseEdns = true;
  std::uint16_t EdnsBufferSize = 1232;
  bool RequestNsid = false;
  bool DnssecOK = false;
  // The CD and RD bits of every question.
  bool CheckingDisabled = false;
  bool RecursionDesired = true;
  TzvDnsRecordClass QuestionClass = rcInternet;
  // Over TLS and HTTPS: how the certificate is checked (HostName empty: the server's
  // name when it was given as one, else its address).
  TzvTlsSettings Tls;
  // Over HTTPS: the path the question is sent to, by POST or by GET.
  std::string HttpsPath = "/dns-query";
  bool HttpsGet = false;
  // The local address questions are sent from; empty: the system's choice.
  std::string LocalBinding;
  // A truncated answer over UDP is taken as it came instead of being asked again over
  // TCP (dig's +ignore): to see what the server puts in a datagram.
  bool IgnoreTruncation = false;
  // The question's controls a person sets by hand, dig's +adflag, +subnet, +expire,
  // +zoneversion, +ednsflags and +ednsopt: the AD bit (set by default, as dig sets it, so
  // a validating resolver says whether it found the answer secure), the client subnet a
  // resolver may pass on (none: the resolver's choice), EXPIRE and ZONEVERSION asked
  // for, the OPT record's flag bits other than DO, and options of any code sent as given
  // after the others. All but AD ride in the OPT record, so without EDNS they go unsent.
  bool AuthenticData = true;
  std::optional<TzvClientSubnet> ClientSubnet;
  bool RequestExpire = false;
  bool RequestZoneVersion = false;
  std::uint16_t EdnsFlags = 0;
  std::vector<TzvEdnsOption> ExtraEdnsOptions;
  // A key every question is signed with (TSIG), and every answer checked against: an
  // answer that is not signed, or whose signature does not hold, fails. Null: unsigned.
  std::shared_ptr<const TzvTsigKey> Tsig;
  // The options a question carries for the exchange's sake (with EDNS only):
  // - a DNS cookie over UDP and TCP (SendCookie; over TLS and HTTPS, whose channel
  //   proves the server already, only with CookieOverTls; off unless a program asks, as
  //   the command line and the window do): our client cookie for the server, drawn
  //   once per server for the engine's life, and the server's cookie once it gave one; FixedCookie,
  //   when given (8 bytes, or 16 to 40), is sent as it stands instead;
  // - padding to a multiple of PaddingBlock bytes (-1: 128 over TLS and HTTPS, none over
  //   UDP and TCP; 0: none);
  // - the keepalive option over TCP and TLS (TcpKeepalive), so that the server says how
  //   long it keeps an idle connection, and the kept connection is not used past that;
  // - the EDNS version (EdnsVersion), and with EdnsNegotiation a BADVERS answer asked
  //   once more with the version the server speaks.
  bool SendCookie = false;
  bool CookieOverTls = false;
  std::vector<std::uint8_t> FixedCookie;
  std::int32_t PaddingBlock = -1;
  bool TcpKeepalive = false;
  std::uint8_t EdnsVersion = 0;
  bool EdnsNegotiation = true;
};

// What an exchange did, for a caller that reports more than the answer: which server was
// asked, over what, how long it took and what came back.
struct TzvDnsExchangeInfo {
  // The server's address as the exchange used it (after a host name was looked up), and
  // its port. Empty before the first exchange.
  std::string ServerAddress;
  std::int32_t Port = 0;
  TzvDnsTransport Transport = TzvDnsTransport::dtUdp;
  // The answer over UDP came truncated (TC), so the question went again over TCP (unless
  // IgnoreTruncation kept it as it came).
  bool Truncated = false;
  // A reply was taken (whatever its response code).
  bool Answered = false;
  // The reply's response code (0 NOERROR, 3 NXDOMAIN, 5 REFUSED, ...); -1 without reply.
  std::int32_t ResponseCode = -1;
  // From the first send to the reply taken (TCP retry included), in microseconds.
  std::int64_t ElapsedMicroseconds = 0;
  // The reply's size in bytes, as it came (0 without reply).
  std::int32_t MessageSize = 0;
  // Datagrams sent for the question as it was last asked (1 when the first was
  // answered; 0 over TCP alone; after a fallback, those sent without EDNS).
  int Tries = 0;
  // The question carried an OPT record when it was last sent.
  bool Edns = false;
  // The server refused the question with EDNS (FORMERR, NOTIMP or SERVFAIL and no OPT in
  // its answer), so it was asked again without.
  bool EdnsFallback = false;
  // The answer came over a connection an earlier question had opened.
  bool Reused = false;
  // Over TLS: what the session agreed and whose certificate it checked.
  TzvTlsInfo Tls = {};
  // Over HTTPS: the HTTP version the answer came by ("HTTP/2", "HTTP/1.1").
  std::string Http = {};
  // The reply's AD bit and its Extended DNS Errors, for a caller that keeps only the
  // exchange's facts (the window's status bar).
  bool AuthenticData = false;
  std::vector<TzvExtendedError> ExtendedErrors = {};
  // The cookie of the answer taken and what it says (cvNotSent without one of ours); a
  // BADCOOKIE answer asked once more with the server's cookie.
  TzvCookieVerdict Cookie = TzvCookieVerdict::cvNotSent;
  std::vector<std::uint8_t> AnswerCookie = {};
  bool BadCookieRetry = false;
  // The bytes of padding the question carried (-1: none).
  std::int32_t Padding = -1;
  // The idle time-out the server gave in its keepalive option, in ms (-1: none given).
  std::int32_t KeepaliveMs = -1;
  // A BADVERS answer was asked once more with the server's EDNS version.
  bool EdnsNegotiated = false;
};

// The reply to one question: its bytes, the message they decode into (an error reply
// included: ResponseCode says which), and the facts of the exchange.
struct TzvDnsReply {
  std::vector<std::uint8_t> Bytes;
  std::unique_ptr<TzvDnsMessage> Message;
  // The whole response code, the OPT record's upper bits included.
  std::int32_t ResponseCode = -1;
  TzvDnsExchangeInfo Info;
};

// What became of one of several questions asked together: its reply, or why none came.
struct TzvDnsOutcome {
  TzvDnsReply Reply;
  bool Answered = false;
  // Without a reply: the error's code (kzvErrTimeout, kzvConnectionReset, ...) and text.
  std::int32_t ErrorCode = 0;
  std::string ErrorText;
};

// Where the exchange reads the time: the steady clock, or a test's clock that moves only
// when the test's transport lets time pass.
class TzvDnsClock {
 public:
  virtual ~TzvDnsClock() = default;
  virtual std::chrono::steady_clock::time_point Now() const;
};

// The first wait for an answer before the question goes again; each later one is twice
// the wait before. Well above a round trip to any server a person picks by hand, and
// well below the seconds a lost datagram would otherwise cost.
inline constexpr std::chrono::milliseconds kzvFirstRetransmitWait{400};
// When datagram `index` (0 the first) of a question goes, counted from the first.
std::chrono::milliseconds RetransmitOffset(int index);

// A wait in whole ms, rounded up; 0 for one that is over.
std::int32_t CeilMilliseconds(std::chrono::steady_clock::duration duration);
// What is left of time_out ms once `spent` has passed, in whole ms rounded up; -1 stays
// "no limit", 0 when nothing is left.
std::int32_t MillisecondsLeft(std::int32_t time_out, std::chrono::steady_clock::duration spent);

// A message as it goes over a stream: behind its length as a 16-bit word.
void AppendStreamMessage(std::span<const std::uint8_t> message, std::vector<std::uint8_t>& out);

// Sets `req` up with one question for `name` (in its A-label form; a name that has none
// fails with kzvDnsErrInvalidName) of the record's kind, the class, RD and CD bits the
// settings give, and the OPT record EDNS asks for.
void BuildDnsQuestion(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                      std::unique_ptr<TzvDnsRecord> question, const std::string& name);
// The same for a type code: the type's record class, or the plain record.
std::unique_ptr<TzvDnsMessage> MakeDnsQuestion(const TzvDnsExchangeSettings& settings,
                                               const std::string& name, std::int32_t type);

// The transport steps of an exchange, each a thin call into a socket or a connection.
// The query component gives the real ones; tests and the fuzzer play a server.
class TzvDnsWire {
 public:
  virtual ~TzvDnsWire() = default;
  // An exchange with `settings` starts: the steps that follow aim at its server and draw
  // on its time-out from now.
  virtual void BeginExchange(const TzvDnsExchangeSettings& /*settings*/) {}
  // Opens the UDP socket towards the exchange's server; gives the address and port it
  // uses. Looking the server's name up waits at most what is left of the time-out.
  virtual void OpenDatagramExchange(std::string& address, std::int32_t& port) = 0;
  // Sends the request, waiting at most what is left of the time-out.
  virtual void SendDatagram(TMemoryStream& request) = 0;
  // The next datagram within time_out ms (-1: no limit) into `answer`, with its sender;
  // raises the time-out, the socket's error (a refused port) or kzvErrAborted.
  virtual void ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out,
                               std::string& from_address, std::int32_t& from_port) = 0;
  virtual void CloseDatagramExchange() = 0;
  // The server's address and port for a connection, without opening anything.
  virtual void FindStreamServer(std::string& address, std::int32_t& port) = 0;
  // Connects (with TLS when the exchange's transport has it); time_out ms count for the
  // whole exchange from here. Gives what TLS agreed.
  virtual void OpenStreamExchange(const std::string& address, std::int32_t port,
                                  std::int32_t time_out) = 0;
  // The kept connection's waits get time_out ms from now, for the next exchange on it.
  virtual void RestartStreamExchange(std::int32_t time_out) = 0;
  virtual void SendStream(TMemoryStream& request) = 0;
  // Appends what arrived to `answer`, at most `most` bytes (waiting for something
  // first); false when the server closed the connection.
  virtual bool ReceiveStream(TMemoryStream& answer, std::int64_t most) = 0;
  virtual void CloseStreamExchange() = 0;
  // What the open connection's TLS agreed (empty without TLS).
  virtual TzvTlsInfo StreamTls() const { return {}; }
};

// The engine: asks questions through a wire, keeping its connection between them.
class TzvDnsExchange {
 public:
  explicit TzvDnsExchange(TzvDnsWire& wire);
  ~TzvDnsExchange();
  TzvDnsExchange(const TzvDnsExchange&) = delete;
  TzvDnsExchange& operator=(const TzvDnsExchange&) = delete;

  // The clock every wait is measured with; null: the steady clock. Not owned.
  void SetClock(const TzvDnsClock* clock);
  const TzvDnsClock& Clock() const { return *clock_; }

  // Asks `req` of the settings' server under a fresh ID (ID 0 over HTTPS) and gives the
  // reply, whatever its response code. Only an answer that answers req (QR set, its ID,
  // its question) is taken; over UDP anything else is dropped and the wait goes on, but
  // never past the time-out from the start. An answer with TC set is asked again over
  // TCP within what is left of the same time-out. A question with an OPT record that the
  // server refuses with FORMERR, NOTIMP or SERVFAIL and no OPT of its own is asked once
  // more without it (req gets its OPT record back afterwards). Fails with EzvSocketError
  // (no answer, a refused port, a stop) or EzvDnsError (a malformed answer).
  TzvDnsReply Ask(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req);
  // Several questions to the settings' server, each as Ask asks it; over TCP and TLS
  // they go out together on the kept connection and the answers are matched by ID in
  // whatever order they come. The outcomes come in the questions' order; one failed
  // question does not fail the others, but a stop is raised.
  std::vector<TzvDnsOutcome> AskAll(const TzvDnsExchangeSettings& settings,
                                    std::span<TzvDnsMessage* const> requests);
  // Closes the kept connection, if any.
  void CloseSessions();
  // The facts of the last Ask, also when it failed.
  const TzvDnsExchangeInfo& LastInfo() const { return last_; }

 private:
  struct TKept;
  using TimePoint = std::chrono::steady_clock::time_point;

  // One send-and-receive of req as the transport asks, the answer's bytes left in
  // `answer`; no EDNS fallback, no decoding.
  void ExchangeOnce(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                    std::vector<std::uint8_t>& answer, TzvDnsExchangeInfo& info, TimePoint started);
  void ExchangeDatagram(const TzvDnsExchangeSettings& settings, TMemoryStream& request,
                        std::vector<std::uint8_t>& answer, TzvDnsExchangeInfo& info,
                        const std::string& address, std::int32_t port, TimePoint started);
  // The questions over the kept connection (opened or reopened as needed), each answer
  // into its place; a question left without an answer keeps an empty place.
  void ExchangeStreams(const TzvDnsExchangeSettings& settings,
                       std::span<TzvDnsMessage* const> requests,
                       std::vector<std::vector<std::uint8_t>>& answers, TzvDnsExchangeInfo& info,
                       TimePoint started, const std::string& known_address = {});
  // The questions over HTTPS on the kept connection: HTTP/2 streams at once, or one after
  // another over HTTP/1.1. A request the server answered badly keeps an empty answer and
  // the reason in `failures`.
  void ExchangeHttps(const TzvDnsExchangeSettings& settings,
                     std::span<TzvDnsMessage* const> requests,
                     std::vector<std::vector<std::uint8_t>>& answers,
                     std::vector<std::string>& failures, TzvDnsExchangeInfo& info,
                     TimePoint started);
  // Opens the connection for the settings, or keeps the one already open to the same
  // server over the same transport; true when it was kept. A known address (the one a
  // datagram went to) is used as it stands.
  bool UseStream(const TzvDnsExchangeSettings& settings, std::int32_t time_left,
                 TzvDnsExchangeInfo& info, const std::string& known_address = {});
  // The request's wire form, signed when the settings have a key (its signature kept
  // under its ID for the answer's check).
  std::vector<std::uint8_t> Encode(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req);
  // With a key: the answer's signature checked against its question's.
  void CheckSignature(const TzvDnsExchangeSettings& settings,
                      std::span<const std::uint8_t> answer) const;
  std::int32_t MillisecondsLeft(std::int32_t time_out, TimePoint started) const;
  std::int32_t TimeLeft(std::int32_t time_out, TimePoint started) const;
  std::int64_t MicrosecondsSince(TimePoint started) const;

  // Puts the cookie, keepalive and padding options of the settings into req for its next
  // sending; notes what was sent in `info`.
  void PrepareOptions(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                      TzvDnsExchangeInfo& info);
  // Reads the answer's cookie (keeping a good server cookie) and keepalive into `info`;
  // an answer whose cookie is not ours fails with EzvDnsError.
  void TakeOptions(const TzvDnsExchangeSettings& settings, const TzvDnsMessage& answer,
                   TzvDnsExchangeInfo& info);

  TzvDnsWire& wire_;
  const TzvDnsClock* clock_;
  TzvDnsCookieJar cookies_;
  // The client cookie the question being sent carries (empty: none), which an answer
  // over UDP must carry back to be taken.
  std::vector<std::uint8_t> cookie_sent_;
  // An answer over UDP was dropped for its cookie while waiting.
  bool dropped_cookie_ = false;
  std::unique_ptr<TKept> kept_;
  TzvDnsExchangeInfo last_;
  // The signatures of the signed questions in flight, by ID.
  std::map<std::uint16_t, std::vector<std::uint8_t>> request_macs_;
};
