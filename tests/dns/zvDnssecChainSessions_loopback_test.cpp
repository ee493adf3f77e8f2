// The chain of trust over the lookup's own connection, against the signed tree's resolver
// on 127.0.0.87 (tests/netns/start-tls.sh) behind a proxy that counts the connections:
// over TCP, TLS and HTTPS two lookups and their chains share one connection, answers to
// pipelined questions are matched whatever their order, a server that closes the
// connection is asked again over a new one within the lookup's time-out, and a stop
// before the chain ends it without another connection. The lookup's own exchange stays
// what it reports.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <iostream>
#include <string>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecChain.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SignedTree.h"
#include "tests/support/StreamProxy.h"

namespace {

TEST(DnssecChainSessions, TheChainRidesTheLookupsConnection) {
  REQUIRE_LOOPBACK_NAMESPACE();
  using T = TzvDnsTransport;
  struct TCase {
    const char* what;
    T transport;
    std::uint16_t port;
    StreamProxy::Options proxy;
    bool stop;        // the lookup is stopped before its chain is checked
    int connections;  // through the proxy for both lookups; 0: only told
    int burst;        // at least this many questions together
  };
  const TCase cases[] = {
      {"TCP", T::dtTcp, 53, {true, false, 0}, false, 1, 2},
      {"TLS", T::dtTls, 853, {}, false, 1, 0},
      {"HTTPS", T::dtHttps, 443, {}, false, 1, 0},
      {"TCP, answers last first", T::dtTcp, 53, {true, true, 0}, false, 1, 2},
      {"TCP, closed after each answer", T::dtTcp, 53, {true, false, 1}, false, 0, 0},
      {"TCP, closed after three answers", T::dtTcp, 53, {true, true, 3}, false, 0, 2},
      {"TLS, stopped", T::dtTls, 853, {}, true, 1, 0},
  };
  constexpr std::int32_t kTimeOut = 3000;
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    StreamProxy proxy("127.0.0.97", c.port, "127.0.0.87", c.port, c.proxy);
    TzvDnsQuery lookup(nullptr);
    lookup.SetServer("127.0.0.97");
    lookup.SetPort(c.port);
    lookup.SetTimeOut(kTimeOut);
    lookup.SetTransport(c.transport);
    lookup.SetDnssecOK(true);
    lookup.SetCheckingDisabled(true);
    TzvTlsSettings tls;
    tls.CaFile = NetnsRunDir() + "/tls/ca.pem";
    lookup.SetTlsSettings(tls);
    // A secure answer three zones deep, and a denial proven in another zone.
    for (const char* name : {"www.ed.example", "nothing.ec.example"}) {
      SCOPED_TRACE(name);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeOut);
      try {
        lookup.ResolveRecords(name, kzvDnsTypeA);
      } catch (const EzvDnsError& e) {
        ASSERT_EQ(e.ErrorCode(), kzvDnsResponseNameError) << e.what();
      }
      // What the lookup reports of its exchange stays its own.
      const std::int32_t code = lookup.LastExchange().ResponseCode;
      if (c.stop) lookup.Abort();
      TzvDnssecQueryAsker asker(lookup, deadline);
      TzvDnssecValidator validator(asker, TreeAnchors(), now);
      const TzvDnssecResult result = validator.ValidateAnswer(lookup.Response());
      EXPECT_EQ(DnssecVerdictText(result.Verdict), c.stop ? "indeterminate" : "secure")
          << result.Reason;
      EXPECT_EQ(lookup.LastExchange().ResponseCode, code);
      if (c.stop) {
        EXPECT_EQ(result.Reason, "The lookup was stopped");
        break;
      }
    }
    if (c.connections > 0)
      EXPECT_EQ(proxy.Connections(), c.connections);
    else
      std::cout << c.what << ": " << proxy.Connections() << " connections\n";
    EXPECT_GE(proxy.LargestBurst(), c.burst);
  }
}

}  // namespace
