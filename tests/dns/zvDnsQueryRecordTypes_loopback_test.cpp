// The query component's IPv6, international-name and further record-type lookups against
// the loopback NSD servers (tests/netns/nsd/*.zone), and the name preparation they use.
#include <gtest/gtest.h>

#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

using Lines = std::vector<std::string>;

std::unique_ptr<TzvDnsQuery> MainServer() {
  auto query = std::make_unique<TzvDnsQuery>(nullptr);
  query->SetServer("127.0.0.1");
  query->SetTimeOut(5000);
  return query;
}

Lines Hosts(const TzvDnsQuery& query) {
  Lines lines;
  for (int i = 0; i < query.Hosts().Count(); ++i)
    lines.push_back(query.Hosts().Items(i)->Name + " " + query.Hosts().Items(i)->IPAddress);
  return lines;
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

TEST(QueryRecordTypes, AaaaLookupListsIPv6Hosts) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = MainServer();
  const TzvHostInfo* host = query->ResolveAAAA("dual.pellamar.test");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(Hosts(*query), (Lines{"dual.pellamar.test 2001:DB8::50"}));
  // Through an alias to a name that has only an IPv4 address: no host, the alias kept.
  query->ResolveAAAA("www.pellamar.test");
  EXPECT_EQ(query->Hosts().Count(), 0);
  EXPECT_EQ(query->Aliases().Count(), 1);
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

TEST(QueryRecordTypes, ReverseLookupOfIPv6AsksIp6Arpa) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = MainServer();
  const TzvHostInfo* host = query->ResolveHostName("::1");
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(host->Name, "host6.pellamar.test");
  EXPECT_EQ(host->IPAddress, "::1");
  try {
    query->ResolveHostName("::2");
    ADD_FAILURE() << "::2 has no reverse name";
  } catch (const EzvDnsError& e) {
    EXPECT_EQ(e.ErrorCode(), 3);
  }
}

TEST(QueryRecordTypes, InternationalNamesGoOutAsALabels) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = MainServer();
  query->ResolveIP("café.pellamar.test");
  EXPECT_EQ(Hosts(*query), (Lines{"xn--caf-dma.pellamar.test 127.0.0.60"}));
  EXPECT_EQ(query->Request().Queries()[0]->Name, "xn--caf-dma.pellamar.test");
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

TEST(QueryRecordTypes, AnyTypeLeavesTypedRecordsInTheResponse) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto query = MainServer();
  ASSERT_EQ(query->ResolveRecords("_ldap._tcp.pellamar.test", kzvDnsTypeSRV), 1);
  const auto* srv = dynamic_cast<const TzvDnsSRVRecord*>(query->Response().Answers()[0]);
  ASSERT_NE(srv, nullptr);
  EXPECT_EQ(srv->Port, 389);
  EXPECT_EQ(srv->Target, "host4.pellamar.test");

  ASSERT_EQ(query->ResolveRecords("pellamar.test", kzvDnsTypeCAA), 1);
  const auto* caa = dynamic_cast<const TzvDnsCAARecord*>(query->Response().Answers()[0]);
  ASSERT_NE(caa, nullptr);
  EXPECT_EQ(caa->Value, "ca.pellamar.test");

  ASSERT_EQ(query->ResolveRecords("txt2.pellamar.test", kzvDnsTypeTXT), 1);
  const auto* txt = dynamic_cast<const TzvDnsTXTStringsRecord*>(query->Response().Answers()[0]);
  ASSERT_NE(txt, nullptr);
  EXPECT_EQ(txt->Strings, (Lines{"uno", "dos"}));

  // An alias answers for its target: the CNAME is in the answer, no record of the type.
  EXPECT_EQ(query->ResolveRecords("www.pellamar.test", kzvDnsTypeTXT), 0);
  EXPECT_EQ(query->Aliases().Count(), 1);
}

}  // namespace
