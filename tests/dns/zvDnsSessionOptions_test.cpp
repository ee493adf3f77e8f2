// What no real server sends on demand, against a server played without sockets: cookies
// that are not ours (every wrong length, another client's), a server that answers
// BADCOOKIE for ever, and answers padded to any length.
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "base/ScopeExit.h"
#include "dns/zvDnsExchange.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsSessionOptions.h"
#include "net/zvSocketUtils.h"
#include "tests/support/MessageBytes.h"

namespace {

const TzvEdnsOption* OptionOf(const TzvDnsMessage& message, std::uint16_t code) {
  const TzvDnsOPTRecord* opt = FindOptRecord(message);
  return opt != nullptr ? opt->FindOption(code) : nullptr;
}

// The answer to `request`, with one A record, the response code and these options.
Bytes Answer(const Bytes& request, std::vector<TzvEdnsOption> options, int rcode = 0) {
  TzvDnsExtendedMessage message;
  ParseBytes(message, request);
  message.Header().IsQuery = false;
  message.Header().ResponseCode = rcode & 0x0F;
  MutableOptRecord(message)->Options = std::move(options);
  MutableOptRecord(message)->ExtendedRCode = static_cast<std::uint8_t>(rcode >> 4);
  auto a = std::make_unique<TzvDnsARecord>();
  a->Name = message.Queries().Items(0)->Name;
  a->IPAddress = "192.0.2.7";
  message.Answers().Add(std::move(a));
  return BuildBytes(message);
}

// Each question (a datagram, or a message on a connection) gets the messages `script`
// makes of it from its client cookie; over UDP, silence after them until the time-out.
class ScriptedWire : public TzvDnsWire {
 public:
  using Script = std::function<std::vector<Bytes>(const Bytes& request, const Bytes& client)>;
  Script script;
  int questions = 0;

  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    address = "192.0.2.1";
    port = 53;
  }
  void SendDatagram(TMemoryStream& request) override {
    for (Bytes& reply : Play(Bytes(request.Memory(), request.Memory() + request.Size())))
      queue_.push_back(std::move(reply));
  }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t, std::string& from,
                       std::int32_t& port) override {
    if (queue_.empty()) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    answer.WriteBuffer(queue_.front().data(), static_cast<std::int64_t>(queue_.front().size()));
    queue_.pop_front();
    OpenDatagramExchange(from, port);
  }
  void CloseDatagramExchange() override { queue_.clear(); }
  void FindStreamServer(std::string& address, std::int32_t& port) override {
    OpenDatagramExchange(address, port);
  }
  void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t) override {}
  void RestartStreamExchange(std::int32_t) override {}
  void SendStream(TMemoryStream& request) override {
    const Bytes framed(request.Memory() + request.Position(), request.Memory() + request.Size());
    for (const Bytes& reply : Play(Bytes(framed.begin() + 2, framed.end())))
      AppendStreamMessage(reply, unread_);
  }
  bool ReceiveStream(TMemoryStream& answer, std::int64_t) override {
    answer.Seek(0, TSeekOrigin::soEnd);
    answer.WriteBuffer(unread_.data(), static_cast<std::int64_t>(unread_.size()));
    unread_.clear();
    return true;
  }
  void CloseStreamExchange() override {}

 private:
  std::vector<Bytes> Play(const Bytes& request) {
    ++questions;
    TzvDnsExtendedMessage parsed;
    ParseBytes(parsed, request);
    // Never padded over UDP and TCP unless asked.
    EXPECT_EQ(OptionOf(parsed, kzvEdnsOptionPadding), nullptr);
    Bytes client = OptionOf(parsed, kzvEdnsOptionCookie)->Data;
    client.resize(8);
    return script(request, client);
  }
  std::deque<Bytes> queue_;
  Bytes unread_;
};

TzvDnsReply AskPlayed(TzvDnsTransport transport, const ScriptedWire::Script& script,
                      int* questions = nullptr) {
  ScriptedWire wire;
  wire.script = script;
  TzvDnsExchange exchange(wire);
  TzvDnsExchangeSettings settings;
  settings.Transport = transport;
  settings.SendCookie = true;
  auto req = MakeDnsQuestion(settings, "www.example", kzvDnsTypeA);
  auto count = ScopeExit([&] {
    if (questions != nullptr) *questions = wire.questions;
  });
  return exchange.Ask(settings, *req);
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(SessionOptions, AnAnswerWithACookieNotOursIsAStrangersOverUdpAndAnErrorOnAConnection) {
  const Bytes server(16, 0x5A);
  // The answer's cookie from our client cookie; `strangers` when it is not our answer.
  std::vector<std::pair<std::function<Bytes(const Bytes&)>, bool>> cookies = {
      {[](const Bytes& c) { return c; }, false},                             // echoed
      {[](const Bytes& c) { return Cat(c, Bytes(32, 1)); }, false},          // longest
      {[](const Bytes& c) { return Cat(c, Bytes(33, 1)); }, true},           // server part > 32
      {[&](const Bytes& c) { return Cat(Bytes(8, ~c[0]), server); }, true},  // another client's
      {[](const Bytes& c) { return Bytes(8, ~c[0]); }, true},
  };
  for (std::size_t length = 0; length < 16; ++length)
    if (length != 8)  // a client cookie cut short, or a server cookie of 1 to 7 bytes
      cookies.emplace_back(
          [=](const Bytes& c) {
            const Bytes full = Cat(c, Bytes(7, 2));
            return Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
          },
          true);
  for (std::size_t i = 0; i < cookies.size(); ++i) {
    SCOPED_TRACE("cookie " + std::to_string(i));
    // Named one by one: a lambda may not capture a structured binding before C++20's fix.
    const auto& cookie = std::get<0>(cookies[i]);
    const bool strangers = std::get<1>(cookies[i]);
    // Over UDP the wait goes on, and the right answer after it is taken.
    const TzvDnsReply reply =
        AskPlayed(TzvDnsTransport::dtUdp, [&](const Bytes& r, const Bytes& c) {
          return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, cookie(c)}}),
                                    Answer(r, {{kzvEdnsOptionCookie, Cat(c, server)}})};
        });
    EXPECT_EQ(reply.Info.AnswerCookie.size(), strangers ? 24 : cookie(Bytes(8, 0)).size());
    // On a connection it is the only answer: a clear error, or the answer.
    try {
      AskPlayed(TzvDnsTransport::dtTcp, [&](const Bytes& r, const Bytes& c) {
        return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, cookie(c)}})};
      });
      EXPECT_FALSE(strangers);
    } catch (const EzvDnsError& e) {
      EXPECT_TRUE(strangers) << e.what();
      EXPECT_NE(std::string(e.what()).find("cookie"), std::string::npos) << e.what();
    }
  }
  // Only strangers' answers over UDP: the time-out says what was dropped.
  try {
    AskPlayed(TzvDnsTransport::dtUdp, [&](const Bytes& r, const Bytes&) {
      return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, Bytes(24, 1)}})};
    });
    ADD_FAILURE() << "taken";
  } catch (const EzvSocketError& e) {
    EXPECT_NE(std::string(e.what()).find("another client cookie"), std::string::npos);
  }
}

TEST(SessionOptions, BadCookieIsAskedOnceMoreOnlyAndAnswersPaddingOfAnyLengthIsTaken) {
  int questions = 0;
  const TzvDnsReply bad = AskPlayed(
      TzvDnsTransport::dtUdp,
      [](const Bytes& r, const Bytes& c) {
        return std::vector<Bytes>{
            Answer(r, {{kzvEdnsOptionCookie, Cat(c, Bytes(8, 3))}}, kzvDnsResponseBadCookie)};
      },
      &questions);
  EXPECT_EQ(bad.ResponseCode, kzvDnsResponseBadCookie);
  EXPECT_EQ(questions, 2);
  for (std::size_t length = 0; length < 440; length += 29) {
    const TzvDnsReply padded = AskPlayed(TzvDnsTransport::dtUdp, [&](const Bytes& r, const Bytes&) {
      return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionPadding, Bytes(length, 0xFF)}})};
    });
    EXPECT_EQ(padded.Message->Answers().Count(), 1) << length << " bytes of padding";
  }
}

}  // namespace
