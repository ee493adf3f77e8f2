// The exchange's own EDNS options against a server played without sockets: cookies that
// are not ours (every wrong length, another client's), the server's cookie sent back and
// BADCOOKIE asked once more, questions padded as the transport asks, answers' padding of
// any length, and a kept connection not used past the server's keepalive time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>

#include "dns/zvDnsExchange.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsSessionOptions.h"
#include "net/zvSocketUtils.h"
#include "tests/support/MessageBytes.h"

namespace {

using namespace std::chrono_literals;

class TestClock : public TzvDnsClock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  std::chrono::steady_clock::time_point now{};
};

// The option `code` of a message's bytes (empty when it has none).
Bytes OptionOf(const Bytes& message, std::uint16_t code) {
  TzvDnsExtendedMessage parsed;
  ParseBytes(parsed, message);
  const TzvDnsOPTRecord* opt = FindOptRecord(parsed);
  const TzvEdnsOption* option = opt != nullptr ? opt->FindOption(code) : nullptr;
  return option != nullptr ? option->Data : Bytes{};
}

bool HasOption(const Bytes& message, std::uint16_t code) {
  TzvDnsExtendedMessage parsed;
  ParseBytes(parsed, message);
  const TzvDnsOPTRecord* opt = FindOptRecord(parsed);
  return opt != nullptr && opt->FindOption(code) != nullptr;
}

// The answer to `request`: one A record, the response code, and these options in place
// of the request's.
Bytes Answer(const Bytes& request, std::vector<TzvEdnsOption> options, int rcode = 0) {
  TzvDnsExtendedMessage message;
  ParseBytes(message, request);
  message.Header().IsQuery = false;
  message.Header().ResponseCode = rcode & 0x0F;
  TzvDnsOPTRecord* opt = MutableOptRecord(message);
  opt->Options = std::move(options);
  opt->ExtendedRCode = static_cast<std::uint8_t>(rcode >> 4);
  auto a = std::make_unique<TzvDnsARecord>();
  a->Name = message.Queries().Items(0)->Name;
  a->IPAddress = "192.0.2.7";
  message.Answers().Add(std::move(a));
  return BuildBytes(message);
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Each question (a datagram, or a message on a connection) gets the messages `script`
// makes of it, in order; over UDP, once they are out, silence until the time-out.
class ScriptedWire : public TzvDnsWire {
 public:
  explicit ScriptedWire(TestClock& clock) : clock_(clock) {}
  std::function<std::vector<Bytes>(const Bytes&)> script;
  std::vector<Bytes> sent;
  int connections = 0;

  void OpenDatagramExchange(std::string& address, std::int32_t& port) override {
    address = "192.0.2.1";
    port = 53;
  }
  void SendDatagram(TMemoryStream& request) override {
    sent.emplace_back(request.Memory(), request.Memory() + request.Size());
    for (Bytes& reply : script(sent.back())) queue_.push_back(std::move(reply));
  }
  void ReceiveDatagram(TMemoryStream& answer, std::int32_t time_out, std::string& from,
                       std::int32_t& port) override {
    if (queue_.empty()) {
      clock_.now += std::chrono::milliseconds(time_out);
      RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
    }
    answer.WriteBuffer(queue_.front().data(), static_cast<std::int64_t>(queue_.front().size()));
    queue_.pop_front();
    from = "192.0.2.1";
    port = 53;
  }
  void CloseDatagramExchange() override { queue_.clear(); }
  void FindStreamServer(std::string& address, std::int32_t& port) override {
    OpenDatagramExchange(address, port);
  }
  void OpenStreamExchange(const std::string&, std::int32_t, std::int32_t) override {
    ++connections;
    unread_.clear();
  }
  void RestartStreamExchange(std::int32_t) override {}
  void SendStream(TMemoryStream& request) override {
    const Bytes bytes(request.Memory() + request.Position(), request.Memory() + request.Size());
    for (std::size_t at = 0; at + 2 <= bytes.size();) {
      const std::size_t length = bytes[at] << 8 | bytes[at + 1];
      sent.emplace_back(bytes.begin() + at + 2, bytes.begin() + at + 2 + length);
      at += 2 + length;
      for (const Bytes& reply : script(sent.back())) AppendStreamMessage(reply, unread_);
    }
  }
  bool ReceiveStream(TMemoryStream& answer, std::int64_t) override {
    if (unread_.empty()) return false;
    answer.Seek(0, TSeekOrigin::soEnd);
    answer.WriteBuffer(unread_.data(), static_cast<std::int64_t>(unread_.size()));
    unread_.clear();
    return true;
  }
  void CloseStreamExchange() override {}

 private:
  TestClock& clock_;
  std::deque<Bytes> queue_;
  Bytes unread_;
};

struct Played {
  TestClock clock;
  ScriptedWire wire{clock};
  TzvDnsExchange exchange{wire};
  TzvDnsExchangeSettings settings;
  Played() { exchange.SetClock(&clock); }
  TzvDnsReply Ask(const std::string& name = "www.example") {
    auto req = MakeDnsQuestion(settings, name, kzvDnsTypeA);
    return exchange.Ask(settings, *req);
  }
};

const Bytes kServerCookie = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

TEST(SessionOptions, AnAnswerWithACookieNotOursIsAStrangersOverUdpAndAnErrorOnAConnection) {
  // What the answer's cookie is made of: our client cookie (or another) and a server
  // part of `server` bytes.
  const struct {
    bool ours;
    std::size_t server;  // bytes after the client part; for a short one, the client part's
    TzvCookieVerdict verdict;
  } cases[] = {
      {true, 0, TzvCookieVerdict::cvEchoed},     {true, 8, TzvCookieVerdict::cvGood},
      {true, 32, TzvCookieVerdict::cvGood},      {false, 0, TzvCookieVerdict::cvBad},
      {false, 16, TzvCookieVerdict::cvBad},      {true, 33, TzvCookieVerdict::cvMalformed},
      {true, 56, TzvCookieVerdict::cvMalformed},
  };
  auto cookie_of = [](const Bytes& request, bool ours, std::size_t server) {
    Bytes client = OptionOf(request, kzvEdnsOptionCookie);
    client.resize(8);
    if (!ours) client[0] ^= 0xFF;
    return Cat(client, Bytes(server, 0x5A));
  };
  std::vector<std::tuple<std::function<Bytes(const Bytes&)>, TzvCookieVerdict, std::string>> all;
  for (const auto& c : cases)
    all.emplace_back([=](const Bytes& r) { return cookie_of(r, c.ours, c.server); }, c.verdict,
                     "server part " + std::to_string(c.server) + (c.ours ? "" : ", not ours"));
  // A server cookie of 1 to 7 bytes, or a cookie shorter than a client cookie.
  for (std::size_t length : {1, 2, 3, 4, 5, 6, 7})
    all.emplace_back([=](const Bytes& r) { return Cat(cookie_of(r, true, 0), Bytes(length, 1)); },
                     TzvCookieVerdict::cvMalformed, std::to_string(8 + length) + " bytes");
  for (std::size_t length : {0, 1, 7})
    all.emplace_back(
        [=](const Bytes& r) {
          const Bytes client = OptionOf(r, kzvEdnsOptionCookie);
          return Bytes(client.begin(), client.begin() + length);
        },
        TzvCookieVerdict::cvMalformed, std::to_string(length) + " bytes");
  for (const auto& [make, verdict, what] : all) {
    SCOPED_TRACE(what);
    const bool strangers = IsStrangersCookie(verdict);
    {
      // Over UDP the wait goes on: the right answer after it is taken.
      Played played;
      played.wire.script = [&, make = make](const Bytes& r) {
        return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, make(r)}}),
                                  Answer(r, {{kzvEdnsOptionCookie, cookie_of(r, true, 16)}})};
      };
      const TzvDnsReply reply = played.Ask();
      EXPECT_EQ(reply.Info.Cookie, strangers ? TzvCookieVerdict::cvGood : verdict);
    }
    {
      // On a connection it is the only answer: a clear error, or the answer.
      Played played;
      played.settings.Transport = TzvDnsTransport::dtTcp;
      played.wire.script = [make = make](const Bytes& r) {
        return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, make(r)}})};
      };
      if (strangers) {
        try {
          played.Ask();
          ADD_FAILURE() << "taken";
        } catch (const EzvDnsError& e) {
          EXPECT_NE(std::string(e.what()).find("cookie"), std::string::npos) << e.what();
        }
      } else {
        EXPECT_EQ(played.Ask().Info.Cookie, verdict);
      }
    }
  }
  // Only strangers' answers over UDP: the time-out says what was dropped.
  Played played;
  played.wire.script = [&](const Bytes& r) {
    return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, cookie_of(r, false, 16)}})};
  };
  try {
    played.Ask();
    ADD_FAILURE() << "taken";
  } catch (const EzvSocketError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
    EXPECT_NE(std::string(e.what()).find("another client cookie"), std::string::npos);
  }
}

TEST(SessionOptions, TheServersCookieGoesBackAndBadCookieIsAskedOnceMore) {
  for (const bool always_bad : {false, true}) {
    SCOPED_TRACE(always_bad ? "a server that always says BADCOOKIE" : "a server as RFC 7873");
    Played played;
    played.wire.script = [&](const Bytes& r) {
      const Bytes cookie = OptionOf(r, kzvEdnsOptionCookie);
      const Bytes client(cookie.begin(), cookie.begin() + 8);
      const bool known = Bytes(cookie.begin() + 8, cookie.end()) == kServerCookie;
      return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionCookie, Cat(client, kServerCookie)}},
                                       known && !always_bad ? 0 : kzvDnsResponseBadCookie)};
    };
    const TzvDnsReply first = played.Ask();
    EXPECT_TRUE(first.Info.BadCookieRetry);
    ASSERT_EQ(played.wire.sent.size(), 2u);
    EXPECT_EQ(first.ResponseCode, always_bad ? kzvDnsResponseBadCookie : 0);
    Bytes client = OptionOf(played.wire.sent[0], kzvEdnsOptionCookie);
    client.resize(8);
    EXPECT_EQ(OptionOf(played.wire.sent[1], 10), Cat(client, kServerCookie));
    // The next question carries the server's cookie from the start.
    const TzvDnsReply second = played.Ask("other.example");
    EXPECT_EQ(second.Info.BadCookieRetry, always_bad);
    EXPECT_EQ(OptionOf(played.wire.sent[2], 10), Cat(client, kServerCookie));
    // Another server, another client cookie; another engine (command), another too.
    played.settings.Server = "192.0.2.2";
    played.Ask();
    const Bytes other_server = OptionOf(played.wire.sent.back(), 10);
    Played next;
    next.wire.script = played.wire.script;
    next.Ask();
    for (const Bytes& other : {other_server, OptionOf(next.wire.sent[0], 10)}) {
      ASSERT_GE(other.size(), 8u);
      EXPECT_NE(Bytes(other.begin(), other.begin() + 8), client);
    }
  }
}

TEST(SessionOptions, QuestionsArePaddedAsTheTransportAsksAndAnswersPaddingIsTaken) {
  const struct {
    TzvDnsTransport transport;
    std::int32_t block;
    std::int32_t expected;  // the multiple, 0: no padding option
  } cases[] = {
      {TzvDnsTransport::dtTls, -1, 128},  {TzvDnsTransport::dtUdp, -1, 0},
      {TzvDnsTransport::dtTcp, -1, 0},    {TzvDnsTransport::dtTls, 0, 0},
      {TzvDnsTransport::dtUdp, 468, 468}, {TzvDnsTransport::dtTcp, 64, 64},
  };
  for (const auto& c : cases) {
    for (const std::string& name :
         {std::string("a.example"), std::string(63, 'b') + ".example.org"}) {
      SCOPED_TRACE(DnsTransportName(c.transport) + " block " + std::to_string(c.block) + " " +
                   name);
      Played played;
      played.settings.Transport = c.transport;
      played.settings.PaddingBlock = c.block;
      played.wire.script = [](const Bytes& r) { return std::vector<Bytes>{Answer(r, {})}; };
      played.Ask(name);
      const Bytes& sent = played.wire.sent.at(0);
      if (c.expected == 0) {
        EXPECT_FALSE(HasOption(sent, kzvEdnsOptionPadding));
        EXPECT_NE(sent.size() % 128, 0u);
      } else {
        EXPECT_EQ(sent.size() % static_cast<std::size_t>(c.expected), 0u) << sent.size();
      }
    }
  }
  // An answer's padding, of any length, is filler: the answer is taken.
  for (std::size_t length = 0; length < 440; length += 29) {
    Played played;
    played.wire.script = [&](const Bytes& r) {
      return std::vector<Bytes>{Answer(r, {{kzvEdnsOptionPadding, Bytes(length, 0xFF)}})};
    };
    EXPECT_EQ(played.Ask().Message->Answers().Count(), 1) << length << " bytes of padding";
  }
}

TEST(SessionOptions, AKeptConnectionIsNotUsedPastTheServersKeepaliveTimeOut) {
  for (const bool keepalive : {true, false}) {
    SCOPED_TRACE(keepalive ? "+keepalive" : "without");
    Played played;
    played.settings.Transport = TzvDnsTransport::dtTcp;
    played.settings.TcpKeepalive = keepalive;
    played.wire.script = [](const Bytes& r) {
      // 0.5 s, to a client that asked only.
      return std::vector<Bytes>{HasOption(r, kzvEdnsOptionKeepalive)
                                    ? Answer(r, {{kzvEdnsOptionKeepalive, {0, 5}}})
                                    : Answer(r, {})};
    };
    const TzvDnsReply first = played.Ask();
    played.clock.now += 400ms;
    played.Ask();
    EXPECT_EQ(played.wire.connections, 1);
    played.clock.now += 600ms;
    played.Ask();
    EXPECT_EQ(played.wire.connections, keepalive ? 2 : 1);
    EXPECT_EQ(first.Info.KeepaliveMs, keepalive ? 500 : -1);
  }
}

}  // namespace
