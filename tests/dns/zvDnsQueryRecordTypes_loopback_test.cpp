// What the query component does for IPv6 and international names beyond what the
// companion's end-to-end tests show: reverse names of IPv6 addresses, IPv6 addresses of
// mail servers from the additional section, and names refused before anything is sent.
#include <gtest/gtest.h>

#include "dns/zvDnsQuery.h"
#include "dns/zvIdn.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/QueryResults.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

using Lines = std::vector<std::string>;

std::unique_ptr<TzvDnsQuery> MainServer() {
  auto query = std::make_unique<TzvDnsQuery>(nullptr);
  query->SetServer("127.0.0.1");
  query->SetTimeOut(5000);
  return query;
}

TEST(ArpaName, IPv6AddressesGiveTheirNibblesUnderIp6Arpa) {
  const std::string loopback = "1." + [] {
    std::string zeros;
    for (int i = 0; i < 31; ++i) zeros += "0.";
    return zeros;
  }() + "ip6.arpa";
  EXPECT_EQ(TzvDnsQuery::GetArpaName("::1"), loopback);
  EXPECT_EQ(TzvDnsQuery::GetArpaName("2001:DB8::abc"),
            "c.b.a.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.b.d.0.1.0.0.2.ip6.arpa");
  // Already reverse names, and texts that only look like addresses, are left alone; IPv4
  // keeps its in-addr.arpa form.
  EXPECT_EQ(TzvDnsQuery::GetArpaName(loopback), loopback);
  EXPECT_EQ(TzvDnsQuery::GetArpaName("1::2::3"), "1::2::3");
  EXPECT_EQ(TzvDnsQuery::GetArpaName("10.0.0.1"), "1.0.0.10.in-addr.arpa");
}

TEST(QueryRecordTypes, MailServerWithOnlyIPv6TakesItFromTheAdditionalSection) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = MainServer();
  const TzvMailServerInfo* server = query->ResolveMX("mx6.pellamar.test");
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(server->Name, "host6.pellamar.test");
  EXPECT_EQ(server->IPAddress, "::1");
  // The zone's NS glue (IPv4) comes before the IPv6 address.
  const Lines hosts = Hosts(*query);
  ASSERT_FALSE(hosts.empty());
  EXPECT_EQ(hosts.back(), "host6.pellamar.test ::1");
}

TEST(QueryRecordTypes, UnconvertibleNamesAreRefusedBeforeSending) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder responder("127.0.0.102");
  auto query = MainServer();
  query->SetServer("127.0.0.102");
  query->SetPort(responder.Port());
  try {
    query->ResolveIP("caf\xE9.test");
    ADD_FAILURE() << "a name that is not UTF-8 was accepted";
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), kzvDnsErrInvalidName);
  }
  EXPECT_TRUE(responder.Requests().empty());
}

}  // namespace
