#include "dns/zvDnsExchange.h"

#include <algorithm>
#include <map>
#include <optional>

#include "base/ScopeExit.h"
#include "dns/zvDnsAnswerMatch.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsSessionOptions.h"
#include "dns/zvDnsTsig.h"
#include "dns/zvIdn.h"
#include "dns/zvMessageId.h"
#include "net/zvHttps.h"
#include "net/zvHttpsSession.h"
#include "net/zvIpAddress.h"
#include "net/zvSocketUtils.h"

std::string DnsTransportName(TzvDnsTransport transport) {
  switch (transport) {
    case TzvDnsTransport::dtTcp:
      return "TCP";
    case TzvDnsTransport::dtTls:
      return "TLS";
    case TzvDnsTransport::dtHttps:
      return "HTTPS";
    case TzvDnsTransport::dtUdp:
      break;
  }
  return "UDP";
}

std::chrono::steady_clock::time_point TzvDnsClock::Now() const {
  return std::chrono::steady_clock::now();
}

std::chrono::milliseconds RetransmitOffset(int index) {
  // 0, 400, 1200, 2800 ...: each wait twice the one before.
  std::chrono::milliseconds offset{0}, wait = kzvFirstRetransmitWait;
  for (int i = 0; i < index; ++i, wait *= 2) offset += wait;
  return offset;
}

std::int32_t CeilMilliseconds(std::chrono::steady_clock::duration duration) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
  return ms <= 0 ? 0 : static_cast<std::int32_t>(std::min<std::int64_t>(ms, INT32_MAX));
}

std::int32_t MillisecondsLeft(std::int32_t time_out, std::chrono::steady_clock::duration spent) {
  if (time_out == -1) return -1;
  const std::int64_t left_us = std::int64_t{std::max(time_out, 0)} * 1000 -
                               std::chrono::duration_cast<std::chrono::microseconds>(spent).count();
  return left_us <= 0 ? 0 : static_cast<std::int32_t>((left_us + 999) / 1000);
}

void AppendStreamMessage(std::span<const std::uint8_t> message, std::vector<std::uint8_t>& out) {
  out.push_back(static_cast<std::uint8_t>(message.size() >> 8));
  out.push_back(static_cast<std::uint8_t>(message.size() & 0xFF));
  out.insert(out.end(), message.begin(), message.end());
}

namespace {

std::span<const std::uint8_t> StreamBytes(TMemoryStream& stream) {
  return {stream.Memory(), static_cast<std::size_t>(stream.Size())};
}

bool HasOptRecord(const TzvDnsRecordList& section) {
  return std::any_of(section.begin(), section.end(),
                     [](const auto& record) { return record->RecordType == kzvDnsTypeOPT; });
}

// Takes the section's OPT records out, the others kept in order; `removed`, when given,
// receives copies of what was taken.
void RemoveOptRecords(TzvDnsRecordList& section, TzvDnsRecordList* removed = nullptr) {
  if (!HasOptRecord(section)) return;
  TzvDnsRecordList kept;
  for (const auto& record : section) {
    auto copy = record->Create();
    copy->Assign(record.get());
    if (record->RecordType != kzvDnsTypeOPT)
      kept.Add(std::move(copy));
    else if (removed != nullptr)
      removed->Add(std::move(copy));
  }
  section.Assign(&kept);
}

// Response codes with which servers that do not speak EDNS refuse a question that
// carries it (they answer without an OPT record).
bool RefusesEdns(std::int32_t response_code) {
  return response_code == 1 || response_code == 2 || response_code == 4;
}

constexpr const char* kTruncatedRetryFailed =
    "The answer was truncated and its retry over TCP failed: %s";

bool IsStreamTransport(TzvDnsTransport transport) {
  return transport == TzvDnsTransport::dtTcp || transport == TzvDnsTransport::dtTls;
}

std::vector<std::uint8_t> Encoded(TzvDnsMessage& req) {
  TMemoryStream stream;
  req.Build(stream);
  const auto bytes = StreamBytes(stream);
  return {bytes.begin(), bytes.end()};
}

bool IsStop(const EzvSocketError& error) {
  return error.ErrorCode() == kzvErrAborted;
}

// The server a cookie is kept for: as the settings name it, with its port.
std::string CookieKey(const TzvDnsExchangeSettings& settings) {
  return settings.Server + ' ' + std::to_string(settings.Port);
}

}  // namespace

void BuildDnsQuestion(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                      std::unique_ptr<TzvDnsRecord> question, const std::string& name) {
  req.Header().IsQuery = true;
  req.Header().IsRecursionDesired = settings.RecursionDesired;
  req.Header().IsCheckingDisabled = settings.CheckingDisabled;
  req.Header().IsAuthenticData = settings.AuthenticData;
  // The name goes out in its A-label form; a name that has none stops the lookup here.
  question->Name = IdnToAscii(name);
  question->RecordClass = settings.QuestionClass;
  // Exactly one question, whatever the message held before; the ID stays as drawn.
  req.Queries().Clear();
  req.Queries().Add(std::move(question));
  RemoveOptRecords(req.AdditionalRecords());
  if (!settings.UseEdns) return;
  auto opt = std::make_unique<TzvDnsOPTRecord>();
  opt->UDPPayloadSize = std::max<std::uint16_t>(settings.EdnsBufferSize, 512);
  opt->DnssecOK = settings.DnssecOK;
  opt->Version = settings.EdnsVersion;
  if (settings.RequestNsid) opt->Options.push_back(TzvEdnsOption{kzvEdnsOptionNSID, {}});
  opt->OtherFlags = settings.EdnsFlags;
  if (settings.ClientSubnet) opt->Options.push_back(ClientSubnetOption(*settings.ClientSubnet));
  if (settings.RequestExpire) opt->Options.push_back(TzvEdnsOption{kzvEdnsOptionExpire, {}});
  if (settings.RequestZoneVersion)
    opt->Options.push_back(TzvEdnsOption{kzvEdnsOptionZoneVersion, {}});
  for (const TzvEdnsOption& option : settings.ExtraEdnsOptions) opt->Options.push_back(option);
  req.AdditionalRecords().Add(std::move(opt));
}

std::unique_ptr<TzvDnsMessage> MakeDnsQuestion(const TzvDnsExchangeSettings& settings,
                                               const std::string& name, std::int32_t type) {
  auto req = std::make_unique<TzvDnsExtendedMessage>();
  std::unique_ptr<TzvDnsRecord> question = req->CreateRecord(type);
  // A type without a class of its own gets the plain record, whose type must be set.
  question->RecordType = type;
  BuildDnsQuestion(settings, *req, std::move(question), name);
  return req;
}

// ---------------------------------------------------------------------------------------
// TzvDnsExchange

// The connection kept open for the next question, and what it was opened for.
struct TzvDnsExchange::TKept {
  bool Open = false;
  std::string Server;   // as the settings gave it
  std::string Address;  // as it was reached
  std::int32_t Port = 0;
  TzvDnsTransport Transport = TzvDnsTransport::dtTcp;
  std::string TlsName;
  std::string CaFile;
  bool Insecure = false;
  TzvTlsInfo Tls;
  // Over HTTPS: the HTTP session on the connection.
  std::unique_ptr<TzvHttpsSession> Http;
  // When the idle time-out the server gave runs out: the connection is not used after.
  std::optional<std::chrono::steady_clock::time_point> IdleUntil;
};

TzvDnsExchange::TzvDnsExchange(TzvDnsWire& wire)
    : wire_(wire), clock_(nullptr), kept_(std::make_unique<TKept>()) {
  SetClock(nullptr);
}

TzvDnsExchange::~TzvDnsExchange() = default;

void TzvDnsExchange::SetClock(const TzvDnsClock* clock) {
  static const TzvDnsClock steady;
  clock_ = clock != nullptr ? clock : &steady;
}

std::int64_t TzvDnsExchange::MicrosecondsSince(TimePoint started) const {
  return std::chrono::duration_cast<std::chrono::microseconds>(clock_->Now() - started).count();
}

std::int32_t TzvDnsExchange::MillisecondsLeft(std::int32_t time_out, TimePoint started) const {
  return ::MillisecondsLeft(time_out, clock_->Now() - started);
}

std::int32_t TzvDnsExchange::TimeLeft(std::int32_t time_out, TimePoint started) const {
  const std::int32_t left = MillisecondsLeft(time_out, started);
  if (left == 0) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
  return left;
}

std::vector<std::uint8_t> TzvDnsExchange::Encode(const TzvDnsExchangeSettings& settings,
                                                 TzvDnsMessage& req) {
  std::vector<std::uint8_t> message = Encoded(req);
  if (settings.Tsig == nullptr) return message;
  const auto id = static_cast<std::uint16_t>(req.Header().ID);
  // Only the questions of one exchange are in flight at once.
  if (request_macs_.size() > 4096) request_macs_.clear();
  request_macs_[id] = SignTsigMessage(*settings.Tsig, message, TsigNow(*settings.Tsig));
  return message;
}

void TzvDnsExchange::CheckSignature(const TzvDnsExchangeSettings& settings,
                                    std::span<const std::uint8_t> answer) const {
  if (settings.Tsig == nullptr) return;
  const std::uint16_t id = answer.size() >= 2 ? ComposeWord(answer[0], answer[1]) : 0;
  const auto found = request_macs_.find(id);
  TzvTsigVerifier verifier(
      *settings.Tsig, found != request_macs_.end() ? found->second : std::vector<std::uint8_t>());
  verifier.Verify(answer, TsigNow(*settings.Tsig));
}

void TzvDnsExchange::CloseSessions() {
  if (!kept_->Open) return;
  kept_->Open = false;
  kept_->Http.reset();
  wire_.CloseStreamExchange();
}

TzvDnsReply TzvDnsExchange::Ask(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req) {
  const TimePoint started = clock_->Now();
  wire_.BeginExchange(settings);
  TzvDnsReply reply;
  // Kept up to date as the exchange goes, so that a caller (a transport step) can read
  // what is being sent; and what it reads of a failed exchange too.
  TzvDnsExchangeInfo& info = last_;
  info = TzvDnsExchangeInfo{};
  // A fallback without EDNS is for this server only: the request gets its OPT record
  // back afterwards, so the next server of a referral walk is offered EDNS again.
  TzvDnsRecordList taken_out;
  auto put_back = ScopeExit([&] {
    for (const auto& record : taken_out) {
      auto copy = record->Create();
      copy->Assign(record.get());
      req.AdditionalRecords().Add(std::move(copy));
    }
  });
  auto message = std::make_unique<TzvDnsExtendedMessage>();
  // A BADCOOKIE answer is asked again once with the server's cookie, a BADVERS one once
  // with the server's version (which req gives back afterwards).
  const TzvDnsExchangeSettings* asking = &settings;
  std::optional<TzvDnsExchangeSettings> with_cookie;
  bool cookie_retry = false, negotiated = false;
  const TzvDnsOPTRecord* sent_opt = FindOptRecord(req);
  const std::uint8_t version = sent_opt != nullptr ? sent_opt->Version : 0;
  auto put_version_back = ScopeExit([&] {
    if (TzvDnsOPTRecord* opt = MutableOptRecord(req)) opt->Version = version;
  });
  for (;;) {
    const bool fallback = info.EdnsFallback;
    info = TzvDnsExchangeInfo{};
    info.EdnsFallback = fallback;
    info.BadCookieRetry = cookie_retry;
    info.EdnsNegotiated = negotiated;
    info.Edns = HasOptRecord(req.AdditionalRecords());
    PrepareOptions(*asking, req, info);
    {
      // The time the exchange took, whether it succeeded or not; decoding is not part of it.
      auto note_elapsed = ScopeExit([&] { info.ElapsedMicroseconds = MicrosecondsSince(started); });
      ExchangeOnce(settings, req, reply.Bytes, info, started);
    }
    CheckSignature(settings, reply.Bytes);
    info.Answered = true;
    info.MessageSize = static_cast<std::int32_t>(reply.Bytes.size());
    if (reply.Bytes.size() >= 4) info.ResponseCode = reply.Bytes[3] & 0x0F;
    TMemoryStream bytes;
    bytes.WriteBuffer(reply.Bytes.data(), static_cast<std::int64_t>(reply.Bytes.size()));
    bytes.SetPosition(0);
    message->Decode(bytes);
    info.ResponseCode = message->Header().ResponseCode;
    info.AuthenticData = message->Header().IsAuthenticData;
    info.ExtendedErrors = ExtendedErrors(*message);
    TakeOptions(*asking, *message, info);
    const TzvDnsOPTRecord* answer_opt = FindOptRecord(*message);
    if (info.ResponseCode == kzvDnsResponseBadCookie && info.Cookie == TzvCookieVerdict::cvGood &&
        !cookie_retry) {
      cookie_retry = true;
      // A cookie of the user's goes again with the server's part the server gave.
      if (!settings.FixedCookie.empty()) {
        with_cookie = settings;
        with_cookie->FixedCookie = info.AnswerCookie;
        asking = &*with_cookie;
      }
      continue;
    }
    if (info.ResponseCode == kzvDnsResponseBadVersion && settings.EdnsNegotiation && !negotiated &&
        answer_opt != nullptr && MutableOptRecord(req) != nullptr &&
        answer_opt->Version < MutableOptRecord(req)->Version) {
      negotiated = true;
      MutableOptRecord(req)->Version = answer_opt->Version;
      continue;
    }
    if (info.EdnsFallback || !info.Edns || !RefusesEdns(info.ResponseCode) ||
        HasOptRecord(message->AdditionalRecords()))
      break;
    // The same question once more, without EDNS, within what is left of the time-out.
    RemoveOptRecords(req.AdditionalRecords(), &taken_out);
    info.EdnsFallback = true;
  }
  reply.ResponseCode = info.ResponseCode;
  reply.Message = std::move(message);
  reply.Info = info;
  return reply;
}

void TzvDnsExchange::ExchangeOnce(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                                  std::vector<std::uint8_t>& answer, TzvDnsExchangeInfo& info,
                                  TimePoint started) {
  info.Transport = settings.Transport;
  info.Truncated = false;
  info.Tries = 0;
  answer.clear();
  TzvDnsMessage* const one[] = {&req};
  std::vector<std::vector<std::uint8_t>> answers(1);
  if (settings.Transport == TzvDnsTransport::dtHttps) {
    std::vector<std::string> failures;
    ExchangeHttps(settings, one, answers, failures, info, started);
    if (!failures[0].empty()) throw EzvSocketError(failures[0], kzvErrHttp);
    answer = std::move(answers[0]);
    return;
  }
  if (IsStreamTransport(settings.Transport)) {
    ExchangeStreams(settings, one, answers, info, started);
    answer = std::move(answers[0]);
    return;
  }
  // A new ID for every question sent, so that an answer to one exchange cannot pass for
  // the answer to another. Encoded first: a name that cannot be sent opens nothing.
  req.Header().ID = NewMessageID();
  TMemoryStream request;
  const std::vector<std::uint8_t> encoded = Encode(settings, req);
  request.WriteBuffer(encoded.data(), static_cast<std::int64_t>(encoded.size()));
  request.SetPosition(0);
  std::string address;
  std::int32_t port = 0;
  {
    auto close = ScopeExit([this] { wire_.CloseDatagramExchange(); });
    wire_.OpenDatagramExchange(address, port);
    info.ServerAddress = address;
    info.Port = port;
    dropped_cookie_ = false;
    try {
      ExchangeDatagram(settings, request, answer, info, address, port, started);
    } catch (const EzvSocketError& error) {
      // A time-out after answers with another client cookie says so: an attacker's, or
      // a server that mangles cookies.
      if (!dropped_cookie_ || error.ErrorCode() != kzvErrTimeout) throw;
      throw EzvSocketError(
          std::string(error.what()) + " (answers that carried another client cookie were dropped)",
          kzvErrTimeout);
    }
  }
  if (!IsTruncatedAnswer(answer)) return;
  info.Truncated = true;
  if (settings.IgnoreTruncation) return;
  info.Transport = TzvDnsTransport::dtTcp;
  TzvDnsExchangeSettings over_tcp = settings;
  over_tcp.Transport = TzvDnsTransport::dtTcp;
  try {
    // To the address the datagram went to: a link-local server keeps its scope.
    ExchangeStreams(over_tcp, one, answers, info, started, address);
    answer = std::move(answers[0]);
  } catch (const EzvDnsError& error) {
    throw EzvDnsError(Format(kTruncatedRetryFailed, error.what()), error.ErrorCode());
  } catch (const EzvSocketError& error) {
    // A stop stays a stop, whatever it interrupted.
    if (IsStop(error)) throw;
    throw EzvSocketError(Format(kTruncatedRetryFailed, error.what()), error.ErrorCode());
  }
}

void TzvDnsExchange::ExchangeDatagram(const TzvDnsExchangeSettings& settings,
                                      TMemoryStream& request, std::vector<std::uint8_t>& answer,
                                      TzvDnsExchangeInfo& info, const std::string& address,
                                      std::int32_t port, TimePoint started) {
  const TzvExpectedAnswer expected = ExpectedAnswerOf(StreamBytes(request));
  const int tries = std::max(settings.Tries, 1);
  // Every datagram is the same question under the same ID, so an answer to any of them
  // is the answer, however late it comes.
  auto send = [&] {
    request.SetPosition(0);
    wire_.SendDatagram(request);
    ++info.Tries;
  };
  send();
  const TimePoint first_sent = clock_->Now();
  TMemoryStream received;
  for (;;) {
    // The last datagram waits for whatever is left; so a silent server fails after
    // exactly the time-out, and a stream of stray datagrams cannot prolong it.
    std::int32_t step = TimeLeft(settings.TimeOut, started);
    bool until_next_send = false;
    if (info.Tries < tries) {
      const std::int32_t until_next =
          CeilMilliseconds(first_sent + RetransmitOffset(info.Tries) - clock_->Now());
      if (until_next == 0) {
        send();
        continue;
      }
      if (step == -1 || until_next < step) {
        step = until_next;
        until_next_send = true;
      }
    }
    std::string from_address;
    std::int32_t from_port = 0;
    received.Clear();
    try {
      wire_.ReceiveDatagram(received, step, from_address, from_port);
    } catch (const EzvSocketError& error) {
      if (until_next_send && error.ErrorCode() == kzvErrTimeout) continue;
      throw;
    }
    const auto bytes = StreamBytes(received);
    if (from_address == address && from_port == port && IsAnswerTo(bytes, expected)) {
      // An answer that carries another client cookie was not sent to us.
      const std::optional<TzvEdnsOption> cookie =
          cookie_sent_.empty() ? std::nullopt : AnswerCookieOf(bytes).Cookie;
      if (!cookie || !IsStrangersCookie(JudgeCookie(cookie_sent_, &*cookie))) {
        answer.assign(bytes.begin(), bytes.end());
        return;
      }
      dropped_cookie_ = true;
    }
    // Not the answer: dropped.
  }
}

namespace {

// The name a TLS session checks the certificate for: the one given, else the server's
// when it was given by name.
std::string CheckedName(const TzvDnsExchangeSettings& settings) {
  if (!settings.Tls.HostName.empty()) return settings.Tls.HostName;
  return TzvIPAddress::IsIPAddress(settings.Server) ? std::string() : settings.Server;
}

}  // namespace

bool TzvDnsExchange::UseStream(const TzvDnsExchangeSettings& settings, std::int32_t time_left,
                               TzvDnsExchangeInfo& info, const std::string& known_address) {
  TKept& kept = *kept_;
  // The same server (by the name or the address it was reached at), port, transport and
  // certificate check: the connection serves this question too.
  if (kept.Open && kept.Port == settings.Port && kept.Transport == settings.Transport &&
      kept.TlsName == CheckedName(settings) && kept.CaFile == settings.Tls.CaFile &&
      kept.Insecure == settings.Tls.Insecure &&
      (!kept.IdleUntil || clock_->Now() < *kept.IdleUntil) &&
      (kept.Server == settings.Server || kept.Address == settings.Server)) {
    wire_.RestartStreamExchange(time_left);
    info.ServerAddress = kept.Address;
    info.Port = kept.Port;
    info.Tls = kept.Tls;
    info.Reused = true;
    return true;
  }
  CloseSessions();
  std::string address = known_address;
  std::int32_t port = settings.Port;
  if (address.empty()) wire_.FindStreamServer(address, port);
  info.ServerAddress = address;
  info.Port = port;
  wire_.OpenStreamExchange(address, port, time_left);
  kept = TKept{true,
               settings.Server,
               address,
               port,
               settings.Transport,
               CheckedName(settings),
               settings.Tls.CaFile,
               settings.Tls.Insecure,
               wire_.StreamTls(),
               nullptr,
               std::nullopt};
  info.Tls = kept.Tls;
  return false;
}

void TzvDnsExchange::ExchangeStreams(const TzvDnsExchangeSettings& settings,
                                     std::span<TzvDnsMessage* const> requests,
                                     std::vector<std::vector<std::uint8_t>>& answers,
                                     TzvDnsExchangeInfo& info, TimePoint started,
                                     const std::string& known_address) {
  answers.assign(requests.size(), {});
  // Each question under an ID of its own among those in flight together.
  std::map<std::uint16_t, std::size_t> by_id;
  std::vector<TzvExpectedAnswer> expected(requests.size());
  std::vector<std::uint8_t> framed;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    std::uint16_t id = NewMessageID();
    while (by_id.count(id) != 0) id = NewMessageID();
    requests[i]->Header().ID = id;
    by_id[id] = i;
    const std::vector<std::uint8_t> message = Encode(settings, *requests[i]);
    expected[i] = ExpectedAnswerOf(message);
    AppendStreamMessage(message, framed);
  }
  auto read = [this](TMemoryStream& received, std::int64_t most) {
    return wire_.ReceiveStream(received, most);
  };
  std::size_t left = requests.size();
  // A kept connection the server has closed since is opened again, once.
  for (int attempt = 0;; ++attempt) {
    const bool kept = UseStream(settings, TimeLeft(settings.TimeOut, started), info, known_address);
    try {
      TMemoryStream request;
      for (std::size_t i = 0; i < requests.size(); ++i) {
        if (!answers[i].empty()) continue;
        // The unanswered ones again, after a reconnection.
        if (left != requests.size()) {
          const std::vector<std::uint8_t> message = Encode(settings, *requests[i]);
          std::vector<std::uint8_t> one;
          AppendStreamMessage(message, one);
          request.WriteBuffer(one.data(), static_cast<std::int64_t>(one.size()));
        }
      }
      if (left == requests.size())
        request.WriteBuffer(framed.data(), static_cast<std::int64_t>(framed.size()));
      request.SetPosition(0);
      wire_.SendStream(request);
      while (left > 0) {
        const std::vector<std::uint8_t> message = ReadStreamMessage(read);
        const std::uint16_t id =
            message.size() >= 2 ? static_cast<std::uint16_t>(message[0] << 8 | message[1]) : 0;
        const auto found = by_id.find(id);
        if (found == by_id.end() || !answers[found->second].empty() ||
            !IsAnswerTo(message, expected[found->second]))
          throw EzvDnsError("The answer over TCP does not answer the question",
                            kzvDnsErrInvalidSize);
        answers[found->second] = message;
        --left;
      }
      return;
    } catch (const EzvSocketError& error) {
      CloseSessions();
      // Only a connection that an earlier exchange left open may have been closed by the
      // server meanwhile; a fresh one that fails is the answer.
      if (IsStop(error) || !kept || attempt > 0 || error.ErrorCode() != kzvConnectionReset) throw;
    } catch (...) {
      CloseSessions();
      throw;
    }
  }
}

void TzvDnsExchange::ExchangeHttps(const TzvDnsExchangeSettings& settings,
                                   std::span<TzvDnsMessage* const> requests,
                                   std::vector<std::vector<std::uint8_t>>& answers,
                                   std::vector<std::string>& failures, TzvDnsExchangeInfo& info,
                                   TimePoint started) {
  answers.assign(requests.size(), {});
  failures.assign(requests.size(), {});
  std::vector<TzvHttpsRequest> http(requests.size());
  std::vector<TzvExpectedAnswer> expected(requests.size());
  // The URL's host: the name the certificate is checked for, else the server as given.
  const std::string host = settings.Tls.HostName.empty() ? settings.Server : settings.Tls.HostName;
  std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (settings.Port != 443) authority += ":" + std::to_string(settings.Port);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    // ID 0, so that the same question is the same request to an HTTP cache; TLS keeps
    // others from answering in its place.
    requests[i]->Header().ID = 0;
    http[i].Message = Encode(settings, *requests[i]);
    http[i].Authority = authority;
    http[i].Path = settings.HttpsPath;
    http[i].Get = settings.HttpsGet;
    expected[i] = ExpectedAnswerOf(http[i].Message);
  }
  std::vector<bool> finished(requests.size(), false);
  std::size_t left = requests.size();
  // A kept connection the server has closed since, or one that takes no more requests
  // (GOAWAY, "Connection: close"), is opened again, once.
  for (int attempt = 0; left > 0; ++attempt) {
    if (attempt == 2) throw EzvSocketError("The server closed the connection", kzvConnectionReset);
    if (kept_->Http != nullptr && !kept_->Http->CanSubmit()) CloseSessions();
    const bool kept = UseStream(settings, TimeLeft(settings.TimeOut, started), info);
    try {
      if (kept_->Http == nullptr) {
        TzvHttpsChannel channel;
        channel.Write = [this](const std::uint8_t* data, std::size_t size) {
          TMemoryStream piece;
          piece.WriteBuffer(data, static_cast<std::int64_t>(size));
          piece.SetPosition(0);
          wire_.SendStream(piece);
        };
        channel.Read = [this](TMemoryStream& received) {
          return wire_.ReceiveStream(received, 16384);
        };
        kept_->Http = std::make_unique<TzvHttpsSession>(std::move(channel), info.Tls.Alpn == "h2");
      }
      TzvHttpsSession& session = *kept_->Http;
      std::map<std::int32_t, std::size_t> by_handle;
      for (std::size_t i = 0; i < requests.size() && session.CanSubmit(); ++i)
        if (!finished[i]) by_handle[session.Submit(http[i])] = i;
      while (session.Pending() > 0) {
        TzvHttpsDone done = session.Next();
        const std::size_t i = by_handle.at(done.Handle);
        // Refused before it was answered: asked again over a new connection.
        if (!done.Response && done.ErrorCode == kzvConnectionReset) continue;
        if (!done.Response)
          failures[i] = done.Error;
        else if (!IsAnswerTo(done.Response->Body, expected[i]))
          failures[i] = "The answer over HTTPS does not answer the question";
        else
          answers[i] = std::move(done.Response->Body), info.Http = done.Response->Version;
        finished[i] = true;
        --left;
      }
      // What did not fit on this connection goes over the next.
      if (left > 0) CloseSessions();
    } catch (const EzvSocketError& error) {
      CloseSessions();
      if (IsStop(error) || !kept || attempt > 0 || error.ErrorCode() != kzvConnectionReset) throw;
    }
  }
}

std::vector<TzvDnsOutcome> TzvDnsExchange::AskAll(const TzvDnsExchangeSettings& settings,
                                                  std::span<TzvDnsMessage* const> requests) {
  std::vector<TzvDnsOutcome> outcomes(requests.size());
  auto fail = [](TzvDnsOutcome& outcome, const EzvSocketError& error) {
    outcome.ErrorCode = error.ErrorCode();
    outcome.ErrorText = error.what();
  };
  // Over TCP and TLS together; a question whose answer needs more (a fallback without
  // EDNS) or that the pipelined round left unanswered is asked alone below.
  std::vector<bool> done(requests.size(), false);
  const bool https = settings.Transport == TzvDnsTransport::dtHttps;
  if ((IsStreamTransport(settings.Transport) || https) && requests.size() > 1) {
    const TimePoint started = clock_->Now();
    wire_.BeginExchange(settings);
    TzvDnsExchangeInfo info;
    info.Transport = settings.Transport;
    std::vector<std::vector<std::uint8_t>> answers;
    try {
      for (TzvDnsMessage* req : requests) {
        info.Edns = HasOptRecord(req->AdditionalRecords());
        PrepareOptions(settings, *req, info);
      }
      std::vector<std::string> failures;
      if (https)
        ExchangeHttps(settings, requests, answers, failures, info, started);
      else
        ExchangeStreams(settings, requests, answers, info, started);
      info.ElapsedMicroseconds = MicrosecondsSince(started);
      for (std::size_t i = 0; i < requests.size(); ++i) {
        // A request the server answered badly is asked alone below, for its own error.
        if (answers[i].empty()) continue;
        TzvDnsReply& reply = outcomes[i].Reply;
        reply.Bytes = std::move(answers[i]);
        reply.Info = info;
        reply.Info.Answered = true;
        reply.Info.MessageSize = static_cast<std::int32_t>(reply.Bytes.size());
        auto message = std::make_unique<TzvDnsExtendedMessage>();
        TMemoryStream bytes;
        bytes.WriteBuffer(reply.Bytes.data(), static_cast<std::int64_t>(reply.Bytes.size()));
        bytes.SetPosition(0);
        try {
          CheckSignature(settings, reply.Bytes);
          message->Decode(bytes);
        } catch (const EzvDnsError& error) {
          fail(outcomes[i], error);
          done[i] = true;
          continue;
        }
        reply.ResponseCode = reply.Info.ResponseCode = message->Header().ResponseCode;
        reply.Info.AuthenticData = message->Header().IsAuthenticData;
        reply.Info.ExtendedErrors = ExtendedErrors(*message);
        try {
          TakeOptions(settings, *message, reply.Info);
        } catch (const EzvDnsError& error) {
          fail(outcomes[i], error);
          done[i] = true;
          continue;
        }
        reply.Message = std::move(message);
        // What needs asking again (without EDNS, with the server's cookie or version) is
        // asked alone below.
        const bool fallback = reply.Info.Edns && RefusesEdns(reply.ResponseCode) &&
                              !HasOptRecord(reply.Message->AdditionalRecords());
        const bool again = reply.ResponseCode == kzvDnsResponseBadCookie ||
                           reply.ResponseCode == kzvDnsResponseBadVersion;
        done[i] = outcomes[i].Answered = !fallback && !again;
      }
    } catch (const EzvDnsError&) {
      // Asked alone below, where the fault is the one question's.
    } catch (const EzvSocketError& error) {
      // No answer on the connection within the time-out: none of them gets one. Asking
      // each alone would spend a time-out apiece on a server that takes and never answers.
      if (IsStop(error)) throw;
      for (std::size_t i = 0; i < requests.size(); ++i) {
        if (done[i]) continue;
        fail(outcomes[i], error);
        done[i] = true;
      }
    }
  }
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (done[i]) continue;
    try {
      outcomes[i].Reply = Ask(settings, *requests[i]);
      outcomes[i].Answered = true;
    } catch (const EzvSocketError& error) {
      // The codec's faults and the transport's alike: this question's outcome.
      if (IsStop(error)) throw;
      fail(outcomes[i], error);
    }
  }
  return outcomes;
}

void TzvDnsExchange::PrepareOptions(const TzvDnsExchangeSettings& settings, TzvDnsMessage& req,
                                    TzvDnsExchangeInfo& info) {
  cookie_sent_.clear();
  info.Padding = -1;
  if (MutableOptRecord(req) == nullptr) return;
  const bool encrypted = settings.Transport == TzvDnsTransport::dtTls ||
                         settings.Transport == TzvDnsTransport::dtHttps;
  std::optional<std::vector<std::uint8_t>> cookie;
  if (settings.SendCookie && (!encrypted || settings.CookieOverTls)) {
    cookie = cookies_.Offer(CookieKey(settings), settings.FixedCookie);
    if (cookie->size() >= kzvClientCookieSize)
      cookie_sent_.assign(cookie->begin(), cookie->begin() + kzvClientCookieSize);
  }
  PutEdnsOption(req, kzvEdnsOptionCookie, cookie);
  std::optional<std::vector<std::uint8_t>> keepalive;
  if (settings.TcpKeepalive && IsStreamTransport(settings.Transport)) keepalive.emplace();
  PutEdnsOption(req, kzvEdnsOptionKeepalive, keepalive);
  const std::int32_t block = settings.PaddingBlock >= 0 ? settings.PaddingBlock
                             : encrypted                ? kzvDefaultPaddingBlock
                                                        : 0;
  PadMessage(req, block);
  if (const TzvEdnsOption* padding = MutableOptRecord(req)->FindOption(kzvEdnsOptionPadding))
    info.Padding = static_cast<std::int32_t>(padding->Data.size());
}

void TzvDnsExchange::TakeOptions(const TzvDnsExchangeSettings& settings,
                                 const TzvDnsMessage& answer, TzvDnsExchangeInfo& info) {
  const TzvDnsOPTRecord* opt = FindOptRecord(answer);
  const TzvEdnsOption* cookie = opt != nullptr ? opt->FindOption(kzvEdnsOptionCookie) : nullptr;
  info.Cookie = JudgeCookie(cookie_sent_, cookie);
  if (cookie != nullptr) info.AnswerCookie = cookie->Data;
  // Over UDP such an answer was dropped while waiting; on a connection of our own it is
  // the only one that comes.
  if (IsStrangersCookie(info.Cookie))
    throw EzvDnsError(
        Format("The answer's cookie (%d bytes) is not the one sent (%s)",
               static_cast<int>(cookie->Data.size()), CookieVerdictName(info.Cookie).c_str()),
        kzvDnsErrInvalidSize);
  if (info.Cookie == TzvCookieVerdict::cvGood && settings.FixedCookie.empty())
    cookies_.Learn(CookieKey(settings), *cookie);
  // The idle time-out is the server's answer to our keepalive option: one it sends
  // unasked is not taken (a server may send it only to a client that offered it).
  const auto idle = settings.TcpKeepalive ? KeepaliveTimeOut(answer) : std::nullopt;
  if (!idle) return;
  info.KeepaliveMs = static_cast<std::int32_t>(idle->count());
  if (kept_->Open && IsStreamTransport(info.Transport)) kept_->IdleUntil = clock_->Now() + *idle;
}
