// The exchange's own EDNS options against real servers of the namespace: BIND's cookies
// and BADCOOKIE (tests/netns/start-named.sh), its keepalive time-out and its BADVERS, and
// the length of padded questions as a TLS and an HTTPS server receive them
// (tests/netns/tls/tls-hostile.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "tests/support/NetNamespace.h"

namespace {

TzvDnsExchangeSettings BindSettings(const char* server) {
  TzvDnsExchangeSettings settings;
  settings.Server = server;
  settings.TimeOut = 3000;
  settings.RecursionDesired = false;
  settings.SendCookie = true;
  return settings;
}

TEST(SessionOptionsWithBind, BadCookieIsAskedOnceMoreAndTheServersCookieKeptForTheCommand) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TzvDnsQuery query(nullptr);
  // 127.0.0.60 wants its own cookie back before it answers over UDP.
  TzvDnsExchangeSettings settings = BindSettings("127.0.0.60");
  const TzvDnsReply first = query.Ask(settings, "www.cookie.test", kzvDnsTypeA);
  EXPECT_EQ(first.ResponseCode, 0);
  EXPECT_TRUE(first.Info.BadCookieRetry);
  EXPECT_EQ(first.Info.Cookie, TzvCookieVerdict::cvGood);
  const TzvDnsReply second = query.Ask(settings, "other.cookie.test", kzvDnsTypeA);
  EXPECT_EQ(second.ResponseCode, 0);
  EXPECT_FALSE(second.Info.BadCookieRetry);
  // Another command, another client cookie.
  const TzvDnsReply next = TzvDnsQuery(nullptr).Ask(settings, "www.cookie.test", kzvDnsTypeA);
  ASSERT_EQ(next.Info.AnswerCookie.size(), first.Info.AnswerCookie.size());
  EXPECT_FALSE(std::equal(first.Info.AnswerCookie.begin(), first.Info.AnswerCookie.begin() + 8,
                          next.Info.AnswerCookie.begin()));
  // Without cookies the server answers as to any client that has none.
  settings.SendCookie = false;
  const TzvDnsReply plain = TzvDnsQuery(nullptr).Ask(settings, "www.cookie.test", kzvDnsTypeA);
  EXPECT_EQ(plain.ResponseCode, 0);
  EXPECT_EQ(plain.Info.Cookie, TzvCookieVerdict::cvNotSent);
}

TEST(SessionOptionsWithBind, AConnectionIsNotKeptPastTheServersKeepaliveTimeOut) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const struct {
    const char* server;
    bool keepalive;
    std::int32_t given_ms;  // what the server says
    bool reused;
  } cases[] = {
      {"127.0.0.61", true, 0, false},     // "close at once"
      {"127.0.0.60", true, 30000, true},  // BIND's default, 30 s
      {"127.0.0.61", false, -1, true},    // not asked: the server says nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.server) + (c.keepalive ? " +keepalive" : ""));
    TzvDnsQuery query(nullptr);
    TzvDnsExchangeSettings settings = BindSettings(c.server);
    settings.Transport = TzvDnsTransport::dtTcp;
    settings.TcpKeepalive = c.keepalive;
    EXPECT_EQ(query.Ask(settings, "www.cookie.test", kzvDnsTypeA).Info.KeepaliveMs, c.given_ms);
    EXPECT_EQ(query.Ask(settings, "other.cookie.test", kzvDnsTypeA).Info.Reused, c.reused);
  }
}

TEST(SessionOptionsWithBind, BadVersIsAskedAgainWithTheServersVersionUnlessTurnedOff) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const bool negotiate : {true, false}) {
    TzvDnsExchangeSettings settings = BindSettings("127.0.0.61");
    settings.EdnsVersion = 1;
    settings.EdnsNegotiation = negotiate;
    const TzvDnsReply reply = TzvDnsQuery(nullptr).Ask(settings, "www.cookie.test", kzvDnsTypeA);
    EXPECT_EQ(reply.ResponseCode, negotiate ? 0 : kzvDnsResponseBadVersion);
    EXPECT_EQ(reply.Info.EdnsNegotiated, negotiate);
  }
}

TEST(SessionOptionsOverTls, QuestionsReachTheServerPaddedToBlocksOf128Bytes) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const struct {
    TzvDnsTransport transport;
    std::int32_t port, block;
    std::size_t multiple;  // 0: not padded
  } cases[] = {
      {TzvDnsTransport::dtTls, 853, -1, 128},
      {TzvDnsTransport::dtHttps, 443, -1, 128},
      {TzvDnsTransport::dtTls, 853, 0, 0},
      {TzvDnsTransport::dtTls, 853, 200, 200},
  };
  for (const auto& c : cases) {
    for (const char* name : {"size.enc.test", "size.a-much-longer-name-than-the-first.enc.test"}) {
      SCOPED_TRACE(DnsTransportName(c.transport) + " " + name + " block " +
                   std::to_string(c.block));
      TzvDnsExchangeSettings settings;
      settings.Server = "127.0.0.85";
      settings.Port = c.port;
      settings.Transport = c.transport;
      settings.PaddingBlock = c.block;
      settings.Tls.HostName = "san.enc.test";
      settings.Tls.CaFile = NetnsRunDir() + "/tls/ca.pem";
      settings.TimeOut = 3000;
      const TzvDnsReply reply = TzvDnsQuery(nullptr).Ask(settings, name, kzvDnsTypeTXT);
      ASSERT_EQ(reply.Message->Answers().Count(), 1);
      const auto* txt = dynamic_cast<const TzvDnsTXTRecord*>(reply.Message->Answers().Items(0));
      ASSERT_NE(txt, nullptr);
      const std::size_t received = std::stoul(txt->Text);
      if (c.multiple != 0)
        EXPECT_EQ(received % c.multiple, 0u) << received;
      else
        EXPECT_EQ(reply.Info.Padding, -1);
    }
  }
}

}  // namespace
