// The query component end to end: against the loopback NSD servers of the test namespace
// (results compared with what tests/netns/nsd/*.zone hold) and against the scripted
// responder for the faults a real server does not produce.
#include "dns/zvDnsQuery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

#include "tests/support/NetNamespace.h"
#include "tests/support/QueryResults.h"
#include "tests/support/ScriptedDnsResponder.h"
#include "tests/support/TcpPeers.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
using Kind = ScriptedDnsResponder::Kind;
using Responder = ScriptedDnsResponder;

// Long enough that an answer on loopback always arrives, also under sanitizers.
constexpr std::int32_t kAnswerTimeOut = 5000;
// For servers that are meant to stay silent.
constexpr std::int32_t kSilentTimeOut = 400;

std::unique_ptr<TzvDnsQuery> QueryOf(const std::string& server, int port = 53,
                                     std::int32_t time_out = kAnswerTimeOut) {
  auto query = std::make_unique<TzvDnsQuery>(nullptr);
  query->SetServer(server);
  query->SetPort(port);
  query->SetTimeOut(time_out);
  return query;
}

Lines MailServers(const TzvDnsQuery& query) {
  Lines lines;
  for (int i = 0; i < query.MailServers().Count(); ++i) {
    const TzvMailServerInfo* server = query.MailServers().Items(i);
    lines.push_back(server->Name + " " + std::to_string(server->Preference) + " " +
                    server->IPAddress);
  }
  return lines;
}

Lines Strings(const TStrings& strings) {
  return Lines(strings.begin(), strings.end());
}

void ExpectNoResults(const TzvDnsQuery& query) {
  EXPECT_EQ(query.MailServers().Count(), 0);
  EXPECT_EQ(query.Hosts().Count(), 0);
  EXPECT_EQ(query.NameServers().Count(), 0);
  EXPECT_EQ(query.Aliases().Count(), 0);
}

// Runs a lookup that must fail with an EzvSocketError (or a kind of it) and returns it.
template <class Lookup>
EzvSocketError FailureOf(Lookup lookup) {
  try {
    lookup();
  } catch (const EzvSocketError& e) {
    return e;
  }
  ADD_FAILURE() << "the lookup did not fail";
  return EzvSocketError("", 0);
}

// A one-shot responder for datagrams the scripted one does not make: it answers the first
// request with the datagrams `make` builds from it, from the address and port asked.
class RawResponder {
 public:
  using Make = std::function<std::vector<Bytes>(const Bytes& request)>;

  RawResponder(const char* address, Make make) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    inet_pton(AF_INET, address, &bound.sin_addr);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0)
      throw std::runtime_error("RawResponder cannot bind");
    socklen_t size = sizeof bound;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &size);
    port_ = ntohs(bound.sin_port);
    thread_ = std::thread([this, make] {
      pollfd wait{fd_, POLLIN, 0};
      if (poll(&wait, 1, 10000) <= 0) return;
      Bytes request(512);
      sockaddr_in peer{};
      socklen_t peer_size = sizeof peer;
      const ssize_t got = recvfrom(fd_, request.data(), request.size(), 0,
                                   reinterpret_cast<sockaddr*>(&peer), &peer_size);
      if (got < 0) return;
      request.resize(static_cast<std::size_t>(got));
      for (const Bytes& datagram : make(request))
        sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&peer),
               peer_size);
    });
  }
  ~RawResponder() {
    thread_.join();
    close(fd_);
  }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// The request's ID and the given flags and counts, then the bytes after the header.
Bytes ReplyHeader(const Bytes& request, std::uint8_t flags_high, std::uint8_t flags_low,
                  std::uint16_t questions) {
  return {request[0],
          request[1],
          flags_high,
          flags_low,
          static_cast<std::uint8_t>(questions >> 8),
          static_cast<std::uint8_t>(questions),
          0,
          0,
          0,
          0,
          0,
          0};
}

// ---- lookups against NSD ----

TEST(NsdLookups, ResolveMXOrdersMailServersAndGivesThemTheirAddresses) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.1");
  TzvMailServerInfo* first = query->ResolveMX("postmaster@pellamar.test");
  EXPECT_EQ(query->Request().Queries().Items(0)->Name, "pellamar.test");
  // Highest preference value first; mail1 and mail3 keep the order of the answer; nomail
  // has no A record among the additional ones.
  EXPECT_EQ(MailServers(*query),
            (Lines{"mail2.pellamar.test 20 127.0.0.12", "mail1.pellamar.test 10 127.0.0.11",
                   "mail3.pellamar.test 10 127.0.0.13", "nomail.pellamar.test 5 "}));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, query->MailServers().Items(0));
  EXPECT_EQ(Hosts(*query),
            (Lines{"mail1.pellamar.test 127.0.0.11", "mail2.pellamar.test 127.0.0.12",
                   "mail3.pellamar.test 127.0.0.13", "ns1.pellamar.test 127.0.0.1",
                   "ns2.pellamar.test 127.0.0.1"}));
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns1.pellamar.test", "ns2.pellamar.test"}));
  EXPECT_EQ(query->Aliases().Count(), 0);
  EXPECT_EQ(query->Server(), "127.0.0.1");
  EXPECT_FALSE(query->Connection().IsOpen());
}

TEST(NsdLookups, ResolveIPGivesEveryAddressOfAName) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.1");
  TzvHostInfo* first = query->ResolveIP("multi.pellamar.test");
  EXPECT_EQ(Hosts(*query),
            (Lines{"multi.pellamar.test 127.0.0.45", "multi.pellamar.test 127.0.0.46"}));
  EXPECT_EQ(first, query->Hosts().Items(0));
  // A records of the additional section (the name servers' glue) are not hosts here.
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns1.pellamar.test", "ns2.pellamar.test"}));
}

TEST(NsdLookups, ResolveIPListsTheAliasesItPassed) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.1");
  query->ResolveIP("www.pellamar.test");
  EXPECT_EQ(Hosts(*query), (Lines{"host4.pellamar.test 127.0.0.44"}));
  EXPECT_EQ(Strings(query->Aliases()), (Lines{"www.pellamar.test"}));

  query->ResolveIP("alias2.pellamar.test");
  EXPECT_EQ(Hosts(*query), (Lines{"host4.pellamar.test 127.0.0.44"}));
  EXPECT_EQ(Strings(query->Aliases()), (Lines{"alias2.pellamar.test", "www.pellamar.test"}));
}

TEST(NsdLookups, ResolveHostNameWithTwoPtrRecordsGivesBothTheTextAskedAndReturnsTheSecond) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.1");
  TzvHostInfo* host = query->ResolveHostName("127.0.0.47");
  EXPECT_EQ(query->Request().Queries().Items(0)->Name, "47.0.0.127.in-addr.arpa");
  EXPECT_EQ(Hosts(*query),
            (Lines{"first.pellamar.test 127.0.0.47", "second.pellamar.test 127.0.0.47"}));
  EXPECT_EQ(host, query->Hosts().Items(1));
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns1.pellamar.test"}));

  host = query->ResolveHostName("1.0.0.127.IN-ADDR.ARPA");
  EXPECT_EQ(query->Request().Queries().Items(0)->Name, "1.0.0.127.IN-ADDR.ARPA");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->Name, "localhost");
  EXPECT_EQ(host->IPAddress, "1.0.0.127.IN-ADDR.ARPA");
}

TEST(NsdLookups, ResolveNSListsTheServersAndTheirGlue) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.1");
  std::string first = "stale";
  query->ResolveNS("pellamar.test", first);
  EXPECT_EQ(first, "ns1.pellamar.test");
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns1.pellamar.test", "ns2.pellamar.test"}));
  EXPECT_EQ(Hosts(*query), (Lines{"ns1.pellamar.test 127.0.0.1", "ns2.pellamar.test 127.0.0.1"}));

  // An answer without NS answers: the authority section's records are not used.
  query->ResolveNS("www.pellamar.test", first);
  EXPECT_EQ(first, "");
  EXPECT_EQ(query->NameServers().Count(), 0);
  EXPECT_EQ(Strings(query->Aliases()), (Lines{"www.pellamar.test"}));
}

TEST(NsdLookups, ServerGivenByNameIsResolvedForReal) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // ns1.pellamar.test is 127.0.0.1, looked up through the namespace's resolver.
  auto query = QueryOf("ns1.pellamar.test");
  query->ResolveMX("pellamar.test");
  EXPECT_EQ(query->MailServers().Count(), 4);
  EXPECT_EQ(query->Server(), "ns1.pellamar.test");
}

// ---- referrals against NSD ----

TEST(NsdReferrals, AreNotFollowedUnlessAskedFor) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.2");
  EXPECT_EQ(query->ResolveIP("www.glued.parent.test"), nullptr);
  EXPECT_EQ(query->Hosts().Count(), 0);
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns.glued.parent.test"}));
}

TEST(NsdReferrals, GluedChildIsAskedAtItsGlueAddress) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.2");
  query->SetUseRecursiveQueries(true);
  TzvHostInfo* host = query->ResolveIP("www.glued.parent.test");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(Hosts(*query), (Lines{"www.glued.parent.test 127.0.0.31"}));
  EXPECT_EQ(query->Server(), "127.0.0.2");

  query->ResolveMX("glued.parent.test");
  EXPECT_EQ(MailServers(*query), (Lines{"mail.glued.parent.test 10 127.0.0.33"}));
  EXPECT_EQ(query->Server(), "127.0.0.2");
}

TEST(NsdReferrals, GluelessChildsAddressIsAskedOfTheParent) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.2");
  query->SetUseRecursiveQueries(true);
  query->ResolveIP("www.unglued.parent.test");
  EXPECT_EQ(Hosts(*query), (Lines{"www.unglued.parent.test 127.0.0.32"}));
  query->ResolveMX("unglued.parent.test");
  EXPECT_EQ(MailServers(*query), (Lines{"mail.unglued.parent.test 10 127.0.0.34"}));
  EXPECT_EQ(query->Server(), "127.0.0.2");
}

TEST(NsdReferrals, DepthZeroStopsAtTheReferral) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = QueryOf("127.0.0.2");
  query->SetUseRecursiveQueries(true);
  query->SetMaxRecursiveQueries(0);
  EXPECT_EQ(query->ResolveMX("glued.parent.test"), nullptr);
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns.glued.parent.test"}));
  EXPECT_EQ(Hosts(*query), (Lines{"ns.glued.parent.test 127.0.0.3"}));
  EXPECT_EQ(query->Server(), "127.0.0.2");
}

// ---- referrals against scripted servers ----

TEST(ScriptedReferrals, NegativeMaxRecursiveQueriesSendsNothing) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.70");
  auto query = QueryOf("127.0.0.70", responder.Port());
  query->SetMaxRecursiveQueries(-1);
  EXPECT_EQ(query->ResolveMX("pellamar.test"), nullptr);
  EXPECT_EQ(query->ResolveIP("pellamar.test"), nullptr);
  EXPECT_EQ(query->ResolveHostName("127.0.0.1"), nullptr);
  std::string first = "stale";
  query->ResolveNS("pellamar.test", first);
  EXPECT_EQ(first, "");
  ExpectNoResults(*query);
  EXPECT_FALSE(responder.WaitForRequests(1, 300ms));
}

TEST(ScriptedReferrals, SilentFirstServerGivesWayToTheSecond) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder parent("127.0.0.71");
  Responder silent("127.0.0.72", parent.Port());
  Responder child("127.0.0.73", parent.Port());
  parent.SetDefaultReply(
      Responder::Referral({{"ns1.child.test", "127.0.0.72"}, {"ns2.child.test", "127.0.0.73"}}));
  silent.SetDefaultReply(Responder::Silence());
  child.SetAnswerAddresses({"127.0.0.74"});
  auto query = QueryOf("127.0.0.71", parent.Port(), 1500);
  query->SetUseRecursiveQueries(true);
  query->ResolveIP("www.child.test");
  EXPECT_EQ(Hosts(*query), (Lines{"www.child.test 127.0.0.74"}));
  EXPECT_EQ(parent.RequestCount(), 1);
  EXPECT_EQ(silent.RequestCount(), 3);  // every try of its exchange
  EXPECT_EQ(child.RequestCount(), 1);
  EXPECT_EQ(query->Server(), "127.0.0.71");
}

TEST(ScriptedReferrals, AllGluedServersSilentEndsWithTheReferral) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder parent("127.0.0.75");
  Responder first("127.0.0.76", parent.Port());
  Responder second("127.0.0.77", parent.Port());
  parent.SetDefaultReply(
      Responder::Referral({{"ns1.child.test", "127.0.0.76"}, {"ns2.child.test", "127.0.0.77"}}));
  first.SetDefaultReply(Responder::Silence());
  second.SetDefaultReply(Responder::Silence());
  auto query = QueryOf("127.0.0.75", parent.Port(), kSilentTimeOut);
  query->SetUseRecursiveQueries(true);
  EXPECT_EQ(query->ResolveMX("child.test"), nullptr);
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns1.child.test", "ns2.child.test"}));
  EXPECT_EQ(Hosts(*query), (Lines{"ns1.child.test 127.0.0.76", "ns2.child.test 127.0.0.77"}));
  EXPECT_EQ(first.RequestCount(), 1);
  EXPECT_EQ(second.RequestCount(), 1);
  EXPECT_EQ(query->Server(), "127.0.0.75");
}

TEST(ScriptedReferrals, AfterAFailedStepTheNextAddressIsAskedOfTheReferringServer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Two name servers without glue, both at 127.0.0.81 by the parent's answers. The first
  // step there fails (silence, or an error reply); the address of the second name server
  // must then be asked of the parent again, not of 127.0.0.81.
  for (const Responder::Reply& failure : {Responder::Silence(), Responder::ResponseCode(2)}) {
    Responder parent("127.0.0.80");
    Responder child("127.0.0.81", parent.Port());
    parent.SetAnswerAddresses({"127.0.0.81"});
    parent.Script({Responder::Referral({{"ns1.child.test", ""}, {"ns2.child.test", ""}}),
                   Responder::Answer(), Responder::Answer()});
    child.SetAnswerAddresses({"127.0.0.82"});
    child.Script({failure, Responder::Answer()});
    auto query = QueryOf("127.0.0.80", parent.Port(), 1500);
    query->SetUseRecursiveQueries(true);
    // A second datagram, or the question again without EDNS, would be answered.
    query->SetTries(1);
    query->SetUseEdns(false);
    query->ResolveIP("www.child.test");
    EXPECT_EQ(Hosts(*query), (Lines{"www.child.test 127.0.0.82"}));
    const auto asked = parent.Requests();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(QuestionName(asked[1]), "ns1.child.test");
    EXPECT_EQ(QuestionName(asked[2]), "ns2.child.test");
    EXPECT_EQ(child.RequestCount(), 2);
    EXPECT_EQ(query->Server(), "127.0.0.80");
  }
}

TEST(ScriptedReferrals, ALoopOfGluedReferralsStopsAtTheExchangeBudget) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.83");
  responder.SetDefaultReply(Responder::Referral({{"ns.loop.test", "127.0.0.83"}}));
  auto query = QueryOf("127.0.0.83", responder.Port());
  query->SetUseRecursiveQueries(true);
  query->SetMaxRecursiveQueries(1000000);
  EXPECT_EQ(query->ResolveIP("www.loop.test"), nullptr);
  EXPECT_EQ(responder.RequestCount(), TzvDnsQuery::kMaxExchangesPerLookup);
  EXPECT_EQ(Strings(query->NameServers()), (Lines{"ns.loop.test"}));
  // The next lookup has a budget of its own.
  query->ResolveIP("www.loop.test");
  EXPECT_EQ(responder.RequestCount(), 2 * TzvDnsQuery::kMaxExchangesPerLookup);
}

TEST(ScriptedReferrals, NestedAddressQuestionsStopAtTheExchangeBudget) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Every question, the address questions for the name server too, gets a referral to a
  // name server without glue: each address question starts a chain of its own at depth 0.
  Responder responder("127.0.0.84");
  responder.SetDefaultReply(Responder::Referral({{"ns.loop.test", ""}}));
  auto query = QueryOf("127.0.0.84", responder.Port());
  query->SetUseRecursiveQueries(true);
  EXPECT_EQ(query->ResolveMX("loop.test"), nullptr);
  EXPECT_EQ(responder.RequestCount(), TzvDnsQuery::kMaxExchangesPerLookup);
  EXPECT_EQ(query->Server(), "127.0.0.84");
}

// ---- faults from the scripted responder ----

TEST(ScriptedFaults, NoAnswerTimesOut) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.85");
  responder.SetDefaultReply(Responder::Silence());
  auto query = QueryOf("127.0.0.85", responder.Port(), kSilentTimeOut);
  const EzvSocketError e = FailureOf([&] { query->ResolveMX("pellamar.test"); });
  EXPECT_EQ(e.ErrorCode(), -1);
  EXPECT_STREQ(e.what(), "Timeout error occured");
  ExpectNoResults(*query);
  EXPECT_EQ(query->Server(), "127.0.0.85");
  EXPECT_EQ(query->TimeOut(), kSilentTimeOut);
  EXPECT_FALSE(query->Connection().IsOpen());
}

TEST(ScriptedFaults, ForgedAndStrayDatagramsAreDroppedUntilTheAnswer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.86");
  auto query = QueryOf("127.0.0.86", responder.Port());
  int received = 0;
  int changes = 0;
  query->SetOnReceivePacket([&](TObject*, TStream*) { ++received; });
  query->SetOnChanged([&](TObject*) { ++changes; });
  for (const Kind forged :
       {Kind::kWrongId, Kind::kWrongSourcePort, Kind::kWrongSourceAddress, Kind::kWrongQuestionName,
        Kind::kWrongQuestionType, Kind::kWrongQuestionClass, Kind::kQrClear, Kind::kEmpty,
        Kind::kCaseChangedName}) {
    SCOPED_TRACE(static_cast<int>(forged));
    responder.Script({Responder::ForgedThenAnswer(forged)});
    received = 0;
    TzvHostInfo* host = query->ResolveIP("www.scripted.test");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(host->IPAddress, "127.0.0.99");
    // The question in other letter case is the answer itself; a datagram from another
    // port or address never reaches the connected socket; the others are dropped.
    const bool never_seen = forged == Kind::kCaseChangedName || forged == Kind::kWrongSourcePort ||
                            forged == Kind::kWrongSourceAddress;
    EXPECT_EQ(received, never_seen ? 1 : 2);
  }
  // The shortened waits are not changes of the component's settings.
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(query->TimeOut(), kAnswerTimeOut);
}

TEST(ScriptedFaults, StrayDatagramsCannotStretchTheWaitPastTheTimeOut) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // A stray datagram every 200 ms for six seconds, then the answer. Each one would start a
  // new wait of a second; the exchange must still end a second after the send.
  Responder::Reply reply;
  for (int i = 0; i < 30; ++i) {
    Responder::Datagram stray;
    stray.kind = Kind::kWrongId;
    stray.delay = 200ms;
    reply.datagrams.push_back(stray);
  }
  reply.datagrams.push_back(Responder::Datagram{});
  Responder responder("127.0.0.88");
  responder.Script({reply});
  auto query = QueryOf("127.0.0.88", responder.Port(), 1000);
  const auto start = std::chrono::steady_clock::now();
  const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
  EXPECT_EQ(e.ErrorCode(), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(query->TimeOut(), 1000);
}

TEST(ScriptedFaults, ErrorRepliesFailWithTheirCodeAndText) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.89");
  auto query = QueryOf("127.0.0.89", responder.Port());
  // Error replies without an OPT record would have an EDNS question asked again.
  query->SetUseEdns(false);
  const std::pair<int, const char*> cases[] = {{1, "Format error"}, {2, "Server failure"},
                                               {3, "No such name"}, {4, "Not implemented"},
                                               {5, "Refused"},      {9, "Unspecified error"}};
  for (const auto& [code, text] : cases) {
    SCOPED_TRACE(code);
    responder.Script({Responder::ResponseCode(code)});
    try {
      query->ResolveMX("pellamar.test");
      ADD_FAILURE() << "no failure";
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), code);
      EXPECT_STREQ(e.what(), text);
    }
    ExpectNoResults(*query);
    // A name error keeps the zone's SOA in the decoded answer.
    EXPECT_EQ(query->Response().Authorities().Count(), code == 3 ? 1 : 0);
  }
}

TEST(ScriptedFaults, TruncatedAnswerWithoutTcpFailsSayingSo) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // The scripted responder answers over UDP only: the retry over TCP is refused.
  Responder responder("127.0.0.90");
  responder.Script({Responder::Truncated()});
  auto query = QueryOf("127.0.0.90", responder.Port());
  const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
  EXPECT_EQ(e.ErrorCode(), kzvConnectionRefused);
  EXPECT_STREQ(e.what(),
               "The answer was truncated and its retry over TCP failed: Connection refused");
  EXPECT_TRUE(query->LastExchange().Truncated);
  EXPECT_FALSE(query->LastExchange().Answered);
  ExpectNoResults(*query);
}

TEST(ScriptedFaults, AnswerLongerThan512BytesWithoutEdnsFails) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.91");
  responder.Script({Responder::Oversized()});
  auto query = QueryOf("127.0.0.91", responder.Port());
  query->SetUseEdns(false);  // which offers 1232 bytes
  const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
  EXPECT_EQ(e.ErrorCode(), kzvMessageTooLong);
  ExpectNoResults(*query);
}

TEST(ScriptedFaults, MalformedAnswersFailAsInvalidSize) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.92");
  Responder::Datagram loop;
  loop.kind = Kind::kPointerLoop;
  responder.Script({Responder::Malformed(), Responder::Reply{{loop}}});
  auto query = QueryOf("127.0.0.92", responder.Port());
  for (int i = 0; i < 2; ++i) {
    try {
      query->ResolveIP("www.scripted.test");
      ADD_FAILURE() << "no failure";
    } catch (const EzvDnsError& e) {
      EXPECT_EQ(e.ErrorCode(), -1);
      EXPECT_STREQ(e.what(), "The size of the datagram is invalid");
    }
    ExpectNoResults(*query);
  }
}

TEST(ScriptedFaults, OnlyAnErrorReplyMayLackTheQuestion) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // What servers send for a request they cannot parse: FORMERR, no question section.
  RawResponder formerr("127.0.0.93", [](const Bytes& request) {
    return std::vector<Bytes>{ReplyHeader(request, 0x80, 0x01, 0)};
  });
  auto query = QueryOf("127.0.0.93", formerr.Port());
  query->SetUseEdns(false);  // a FORMERR would have the question asked again without
  const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
  EXPECT_EQ(e.ErrorCode(), 1);
  EXPECT_STREQ(e.what(), "Format error");
  // A success without the question answers nothing that can be checked: waited past.
  RawResponder success("127.0.0.94", [](const Bytes& request) {
    return std::vector<Bytes>{ReplyHeader(request, 0x80, 0x00, 0)};
  });
  query = QueryOf("127.0.0.94", success.Port(), kSilentTimeOut);
  EXPECT_EQ(FailureOf([&] { query->ResolveIP("www.scripted.test"); }).ErrorCode(), -1);
}

TEST(ScriptedFaults, OwnIdWithAnUnreadableQuestionIsReportedAsMalformed) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // One question announced, its name cut off; and a header cut short. Both come from the
  // server with the request's ID: decoding tells what is wrong instead of a time-out.
  const std::function<Bytes(const Bytes&)> damaged[] = {
      [](const Bytes& request) {
        Bytes reply = ReplyHeader(request, 0x80, 0x00, 1);
        // A label announced as 7 bytes of which only 2 came (pushed one by one: g++ 12
        // misreads a range insert into a fresh vector as an overflow).
        for (std::uint8_t byte : {std::uint8_t{7}, std::uint8_t{'w'}, std::uint8_t{'w'}})
          reply.push_back(byte);
        return reply;
      },
      [](const Bytes& request) {
        Bytes reply = ReplyHeader(request, 0x80, 0x00, 1);
        reply.resize(5);
        return reply;
      },
  };
  for (const auto& make : damaged) {
    RawResponder responder("127.0.0.95",
                           [&](const Bytes& request) { return std::vector<Bytes>{make(request)}; });
    auto query = QueryOf("127.0.0.95", responder.Port());
    const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
    EXPECT_EQ(e.ErrorCode(), -1);
    EXPECT_STREQ(e.what(), "The size of the datagram is invalid");
  }
}

TEST(ScriptedFaults, NameThatCannotBeEncodedFailsBeforeSending) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.96");
  auto query = QueryOf("127.0.0.96", responder.Port());
  for (const std::string& name : {std::string(64, 'a') + ".test", std::string(300, 'a')}) {
    EXPECT_THROW(query->ResolveIP(name), EzvDnsError);
    ExpectNoResults(*query);
    EXPECT_FALSE(query->Connection().IsOpen());
  }
  EXPECT_FALSE(responder.WaitForRequests(1, 300ms));
  // The component stays usable.
  EXPECT_NE(query->ResolveIP("www.scripted.test"), nullptr);
}

TEST(ScriptedFaults, AnswerFromIPv6LoopbackIsAccepted) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("::1");
  auto query = QueryOf("::1", responder.Port());
  ASSERT_NE(query->ResolveIP("www.scripted.test"), nullptr);
  responder.Script({Responder::ForgedThenAnswer(Kind::kWrongSourcePort)});
  ASSERT_NE(query->ResolveIP("www.scripted.test"), nullptr);
}

}  // namespace

namespace {

TEST(ScriptedFaults, AbortEndsTheWaitAlsoAfterAStrayDatagram) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // A stray datagram, then silence; the handler stops the wait when the stray one comes.
  Responder::Datagram stray;
  stray.kind = Kind::kWrongId;
  Responder responder("127.0.0.98");
  responder.Script({Responder::Reply{{stray}}});
  auto query = QueryOf("127.0.0.98", responder.Port(), 60000);
  query->SetOnReceivePacket([&](TObject*, TStream*) { query->Abort(); });
  const auto start = std::chrono::steady_clock::now();
  const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
  EXPECT_EQ(e.ErrorCode(), kzvErrAborted);
  EXPECT_STREQ(e.what(), "The lookup was stopped");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  ExpectNoResults(*query);
}

}  // namespace

// ---- on real networks: long answers, closed ports, strangers ----

namespace {

// A loopback UDP port nobody listens on: bound once for its number, then closed.
int ClosedUdpPort(const char* address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  ::inet_pton(AF_INET, address, &in.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
  socklen_t length = sizeof in;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
  ::close(fd);
  return ntohs(in.sin_port);
}

TEST(RealNetworks, TruncatedAnswersAreAskedAgainOverTcp) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // NSD sets TC over UDP for answers past 512 bytes and answers in full over TCP.
  auto query = QueryOf("127.0.0.1");
  ASSERT_NE(query->ResolveMX("bigmx.pellamar.test"), nullptr);
  ASSERT_EQ(query->MailServers().Count(), 30);
  EXPECT_EQ(query->MailServers().Items(0)->Name,
            "mx-29-a-rather-long-mail-exchanger-name.pellamar.test");
  EXPECT_EQ(query->MailServers().Items(29)->IPAddress, "127.0.2.1");
  const TzvDnsExchangeInfo& info = query->LastExchange();
  EXPECT_EQ(info.Transport, TzvDnsTransport::dtTcp);
  EXPECT_TRUE(info.Truncated);
  EXPECT_TRUE(info.Answered);
  EXPECT_EQ(info.ResponseCode, 0);
  EXPECT_EQ(info.ServerAddress, "127.0.0.1");
  EXPECT_EQ(info.Port, 53);

  ASSERT_NE(query->ResolveIP("bighost.pellamar.test"), nullptr);
  EXPECT_EQ(query->Hosts().Count(), 40);
  EXPECT_EQ(query->Hosts().Items(39)->IPAddress, "127.0.1.40");
  // What fits stays on UDP.
  ASSERT_NE(query->ResolveIP("host4.pellamar.test"), nullptr);
  EXPECT_EQ(query->LastExchange().Transport, TzvDnsTransport::dtUdp);
  EXPECT_FALSE(query->LastExchange().Truncated);
}

TEST(RealNetworks, AClosedPortFailsAtOnceWithTheSystemsError) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // The ICMP "port unreachable" ends the exchange instead of the minute-long time-out.
  auto query = QueryOf("127.0.0.1", ClosedUdpPort("127.0.0.1"), 60000);
  const auto start = std::chrono::steady_clock::now();
  const EzvSocketError e = FailureOf([&] { query->ResolveIP("host4.pellamar.test"); });
  EXPECT_EQ(e.ErrorCode(), kzvConnectionRefused);
  EXPECT_STREQ(e.what(), "Connection refused");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_FALSE(query->LastExchange().Answered);
  EXPECT_EQ(query->Server(), "127.0.0.1");
  ExpectNoResults(*query);
}

TEST(RealNetworks, StrangersNeverDecideALookup) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.101");
  auto query = QueryOf("127.0.0.101", responder.Port());
  // Longer than the 512 bytes a receive takes, from another port, before the answer.
  Responder::Datagram oversized;
  oversized.kind = Kind::kWrongSourcePort;
  oversized.padding_records = 40;
  responder.Script({Responder::Reply{{oversized, Responder::Datagram{}}}});
  ASSERT_NE(query->ResolveIP("www.scripted.test"), nullptr);
  EXPECT_EQ(query->Hosts().Items(0)->IPAddress, "127.0.0.99");

  // A flood from another port just before each answer: on a socket that took every
  // datagram, the flood would fill the receive buffer and the answer would be lost.
  Responder::Datagram flood;
  flood.kind = Kind::kWrongSourcePort;
  flood.repeat = 10000;
  int answered = 0;
  for (int i = 0; i < 100; ++i) {
    responder.Script({Responder::Reply{{flood, Responder::Datagram{}}}});
    try {
      if (query->ResolveIP("www.scripted.test") != nullptr) ++answered;
    } catch (const EzvSocketError&) {
    }
  }
  EXPECT_GE(answered, 99);
}

TEST(RealNetworks, EveryExchangeGoesOutFromANewSocketUnderANewId) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.102");
  auto query = QueryOf("127.0.0.102", responder.Port());
  std::set<int> ports;
  query->SetOnSendPacket(
      [&](TObject*, TStream*) { ports.insert(query->Connection().LocalPort()); });
  for (int i = 0; i < 6; ++i) ASSERT_NE(query->ResolveIP("www.scripted.test"), nullptr);
  // The kernel picks each new socket's port at random: six alike would mean one socket.
  EXPECT_GT(ports.size(), 1u);
  std::set<int> ids;
  for (const Bytes& request : responder.Requests()) ids.insert(request[0] << 8 | request[1]);
  EXPECT_GT(ids.size(), 1u);
}

}  // namespace

// ---- the retry over TCP against a scripted TCP side ----

namespace {

using Peer = TcpLoopbackPeer;

// A server whose UDP side answers every question with TC set and whose TCP side, on the
// same address and port, plays the script.
struct TruncatingServer {
  TruncatingServer(const std::string& address, Peer::Script script)
      : tcp(address, 0, std::move(script)), udp(address, tcp.Port()) {
    udp.SetDefaultReply(Responder::Truncated());
  }
  Peer tcp;
  Responder udp;
};

// Sees how much of the TCP answer the exchange has read at its largest.
class ReadCountingQuery : public TzvDnsQuery {
 public:
  ReadCountingQuery() : TzvDnsQuery(nullptr) {}
  std::int64_t most_read = 0;

 protected:
  bool ReceiveStream(TMemoryStream& answer, std::int64_t most) override {
    const bool open = TzvDnsQuery::ReceiveStream(answer, most);
    most_read = std::max(most_read, answer.Size());
    return open;
  }
};

TEST(ScriptedTcpRetry, OneTimeOutCoversTheRetryHoweverSlowlyTheAnswerComes) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // A byte every half second, each well within the time-out on its own; or nothing.
  const std::vector<std::pair<const char*, Peer::Script>> cases = {
      {"drip",
       [](Peer::Session& session) {
         const Bytes answer = Peer::Framed(Peer::AnswerOf(session.Request(), {"127.0.0.77"}));
         for (std::uint8_t byte : answer)
           if (!session.Sleep(500ms) || !session.Send({byte})) return;
       }},
      {"hold", [](Peer::Session& session) { session.Sleep(10s); }}};
  for (const auto& [name, script] : cases) {
    SCOPED_TRACE(name);
    TruncatingServer server("127.0.0.130", script);
    auto query = QueryOf("127.0.0.130", server.udp.Port(), 1000);
    const auto start = std::chrono::steady_clock::now();
    const EzvSocketError e = FailureOf([&] { query->ResolveIP("www.scripted.test"); });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(e.ErrorCode(), kzvErrTimeout);
    EXPECT_STREQ(e.what(),
                 "The answer was truncated and its retry over TCP failed: Timeout error occured");
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 2000ms);
    EXPECT_EQ(server.tcp.Connections(), 1);
    EXPECT_TRUE(query->LastExchange().Truncated);
    EXPECT_FALSE(query->LastExchange().Answered);
    ExpectNoResults(*query);
  }
}

TEST(ScriptedTcpRetry, AFloodBehindTheLengthWordIsReadNoFurtherThanTheLengthSays) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // The longest length word, then zeros without end (up to 4 MB, to bound the test).
  TruncatingServer server("127.0.0.132", [](Peer::Session& session) {
    if (!session.Send({0xFF, 0xFF})) return;
    const Bytes chunk(64 * 1024, 0);
    for (int i = 0; i < 64 && session.Send(chunk); ++i) {
    }
  });
  ReadCountingQuery query;
  query.SetServer("127.0.0.132");
  query.SetPort(server.udp.Port());
  query.SetTimeOut(kAnswerTimeOut);
  // The 65,535 bytes announced are read, and found not to answer the question.
  const EzvSocketError e = FailureOf([&] { query.ResolveIP("www.scripted.test"); });
  EXPECT_EQ(e.ErrorCode(), kzvDnsErrInvalidSize);
  EXPECT_LE(query.most_read, 2 + 65535);
  EXPECT_GE(query.most_read, 2 + 65535);
  ExpectNoResults(query);
}

TEST(ScriptedTcpRetry, ALinkLocalServerKeepsItsScopeThroughTheRetry) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // tests/netns/run-in-netns.sh gives lo the link-local address fe80::53.
  std::unique_ptr<TruncatingServer> server;
  try {
    server = std::make_unique<TruncatingServer>("fe80::53%lo", [](Peer::Session& session) {
      session.Send(Peer::Framed(Peer::AnswerOf(session.Request(), {"127.0.0.78"})));
    });
  } catch (const std::system_error& e) {
    GTEST_SKIP() << "no link-local address fe80::53 on lo (" << e.what()
                 << "): run-in-netns.sh adds it when it runs as root";
  }
  auto query = QueryOf("fe80::53%lo", server->udp.Port());
  ASSERT_NE(query->ResolveIP("www.scripted.test"), nullptr);
  EXPECT_EQ(Hosts(*query), Lines{"www.scripted.test 127.0.0.78"});
  const TzvDnsExchangeInfo& info = query->LastExchange();
  EXPECT_EQ(info.Transport, TzvDnsTransport::dtTcp);
  EXPECT_EQ(info.ServerAddress, "FE80::53%lo");
  EXPECT_EQ(server->tcp.Connections(), 1);
  EXPECT_EQ(query->Server(), "fe80::53%lo");
}

}  // namespace
