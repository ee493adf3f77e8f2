// The window's own lookup against the namespace's TLS servers (tests/netns/start-tls.sh):
// what it keeps from one lookup to the next.
#include "app/DnsQueryLookup.h"

#include <gtest/gtest.h>

#include "tests/support/NetNamespace.h"

namespace {

TEST(WindowLookup, TheNextLookupOverTlsOrHttpsToTheSameServerResumesItsSession) {
  REQUIRE_LOOPBACK_NAMESPACE();
  for (const auto& [transport, port] :
       {std::pair{TzvDnsTransport::dtTls, 853}, std::pair{TzvDnsTransport::dtHttps, 443}}) {
    SCOPED_TRACE(DnsTransportName(transport));
    std::unique_ptr<TDnsLookup> lookup = CreateDnsQueryLookup();
    TzvDnsExchangeSettings settings;
    settings.Server = "dns.pellamar.test";
    settings.Port = port;
    settings.Transport = transport;
    settings.Tls.CaFile = NetnsRunDir() + "/tls/ca.pem";
    for (const bool resumed : {false, true}) {
      // As the window does: its fields copied in, the lookup, its connection closed.
      lookup->SetSettings(settings);
      lookup->ResolveIP("www.pellamar.test");
      lookup->CloseSessions();
      EXPECT_EQ(lookup->LastExchange().Tls.Resumed, resumed);
      EXPECT_EQ(lookup->LastExchange().Reused, false);
    }
  }
}

}  // namespace
