#include "dns/zvDnsQuery.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::unique_ptr<TzvMailServerInfo> Mx(const char* name, std::int32_t preference) {
  auto item = std::make_unique<TzvMailServerInfo>();
  item->Name = name;
  item->Preference = preference;
  return item;
}

std::unique_ptr<TzvHostInfo> Host(const char* name, const char* address = "") {
  auto item = std::make_unique<TzvHostInfo>();
  item->Name = name;
  item->IPAddress = address;
  return item;
}

std::vector<std::string> Names(const TzvHostList& list) {
  std::vector<std::string> names;
  for (int i = 0; i < list.Count(); ++i) names.push_back(list.Items(i)->Name);
  return names;
}

using Order = std::vector<std::string>;

TEST(MailServerList, HighestPreferenceFirst) {
  TzvMailServerList list;
  list.Add(Mx("ten", 10));
  list.Add(Mx("twenty", 20));
  list.Add(Mx("five", 5));
  EXPECT_EQ(Names(list), (Order{"twenty", "ten", "five"}));
  EXPECT_EQ(list.Items(0)->Preference, 20);
  EXPECT_EQ(list.Items(2)->Preference, 5);
}

TEST(MailServerList, EqualPreferencesKeepOrderOfAdding) {
  TzvMailServerList list;
  list.Add(Mx("a", 10));
  list.Add(Mx("b", 10));
  list.Add(Mx("c", 10));
  EXPECT_EQ(Names(list), (Order{"a", "b", "c"}));

  // A newcomer goes after the items of its own preference, before the lower ones.
  list.Add(Mx("high", 30));
  list.Add(Mx("low", 1));
  list.Add(Mx("d", 10));
  list.Add(Mx("high2", 30));
  EXPECT_EQ(Names(list), (Order{"high", "high2", "a", "b", "c", "d", "low"}));
}

TEST(MailServerList, ChangingPreferenceLaterDoesNotReorder) {
  TzvMailServerList list;
  list.Add(Mx("a", 10));
  list.Add(Mx("b", 5));
  list.Items(1)->Preference = 50;
  EXPECT_EQ(Names(list), (Order{"a", "b"}));
  // The next Add compares with the stored values as they now are.
  list.Add(Mx("c", 20));
  EXPECT_EQ(Names(list), (Order{"c", "a", "b"}));
}

TEST(MailServerList, ItemOfAnotherClassFailsAsInvalidTypecast) {
  TzvMailServerList list;
  list.Add(Mx("mx", 10));
  TzvHostList& as_hosts = list;
  as_hosts.Insert(0, Host("plain"));
  EXPECT_EQ(list.Items(1)->Name, "mx");
  try {
    list.Items(0);
    FAIL() << "no error";
  } catch (const EInvalidCast& e) {
    EXPECT_STREQ(e.what(), "Invalid class typecast");
  }
  // The ordered Add meets the foreign item and fails the same way without leaking.
  EXPECT_THROW(list.Add(Mx("another", 20)), EInvalidCast);
  EXPECT_EQ(list.Count(), 2);
}

TEST(HostList, InsertAcceptsZeroToCountAndAddAppends) {
  TzvHostList list;
  list.Insert(0, Host("b"));
  list.Insert(0, Host("a"));
  list.Insert(2, Host("c"));
  EXPECT_EQ(Names(list), (Order{"a", "b", "c"}));
  try {
    list.Insert(4, Host("x"));
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (4)");
  }
  EXPECT_THROW(list.Insert(-1, Host("x")), EListError);
  EXPECT_EQ(list.Add(Host("d")), 3);
  EXPECT_EQ(Names(list), (Order{"a", "b", "c", "d"}));
}

TEST(HostList, IndexOutsideFailsWithListError) {
  TzvHostList list;
  try {
    list.Items(0);
    FAIL() << "no error";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (0)");
  }
  list.Add(Host("a"));
  EXPECT_THROW(list.Items(-1), EListError);
  EXPECT_THROW(list.Items(1), EListError);
  TzvMailServerList mail;
  EXPECT_THROW(mail.Items(0), EListError);
}

TEST(HostList, NullItemIsRefused) {
  TzvHostList hosts;
  EXPECT_THROW(hosts.Add(nullptr), EListError);
  EXPECT_THROW(hosts.Insert(0, nullptr), EListError);
  TzvMailServerList mail;
  EXPECT_THROW(mail.Add(nullptr), EListError);
  EXPECT_EQ(hosts.Count(), 0);
  EXPECT_EQ(mail.Count(), 0);
}

TEST(HostList, FindByNameIgnoresAsciiCaseAndTakesLowestIndex) {
  TzvHostList list;
  EXPECT_EQ(list.FindByName("a"), nullptr);
  list.Add(Host("mail.Example.ORG", "127.0.0.1"));
  list.Add(Host("MAIL.example.org", "127.0.0.2"));
  TzvHostInfo* found = list.FindByName("Mail.Example.Org");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->IPAddress, "127.0.0.1");
  EXPECT_EQ(list.FindByName("mail.example"), nullptr);
  EXPECT_EQ(list.FindByName(""), nullptr);
}

TEST(HostList, ClearEmptiesAndListStaysUsable) {
  TzvHostList list;
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  list.Add(Host("a"));
  list.Add(Host("b"));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.FindByName("a"), nullptr);
  EXPECT_EQ(list.Add(Host("c")), 0);

  TzvMailServerList mail;
  mail.Add(Mx("x", 1));
  mail.Clear();
  EXPECT_EQ(mail.Count(), 0);
  mail.Add(Mx("y", 1));
  EXPECT_EQ(mail.Items(0)->Name, "y");
}

TEST(HostList, ItemsStayPutWhileOthersAreAdded) {
  // Pointers handed out stay valid until the next Clear, whatever is added meanwhile.
  TzvMailServerList list;
  list.Add(Mx("first", 10));
  TzvMailServerInfo* first = list.Items(0);
  for (int i = 0; i < 100; ++i) list.Add(Mx("more", 20));
  EXPECT_EQ(first->Name, "first");
  EXPECT_EQ(list.Items(100), first);
}

}  // namespace

// ---- the query component, without the network ----

namespace {

struct NameCase {
  const char* input;
  const char* expected;
};

TEST(DnsQueryNames, MailDomainIsWhatFollowsTheFirstAt) {
  const NameCase cases[] = {
      {"postmaster@pellamar.test", "pellamar.test"},
      {"a@b@pellamar.test", "b@pellamar.test"},
      {"pellamar.test", "pellamar.test"},
      {"@pellamar.test", "pellamar.test"},
      {"nobody@", ""},
      {"", ""},
  };
  for (const NameCase& c : cases)
    EXPECT_EQ(TzvDnsQuery::GetMailDomain(c.input), c.expected) << c.input;
}

TEST(DnsQueryNames, ArpaNameReversesExactlyFourWords) {
  const NameCase cases[] = {
      {"10.0.0.1", "1.0.0.10.in-addr.arpa"},
      {"a.b.c.d", "d.c.b.a.in-addr.arpa"},
      {"A.b.C.d", "d.C.b.A.in-addr.arpa"},  // letter case kept
      {"10..0.0.1", "1.0.0.10.in-addr.arpa"},
      {".10.0.0.1.", "1.0.0.10.in-addr.arpa"},
      {"1.0.0.10.IN-ADDR.ARPA", "1.0.0.10.IN-ADDR.ARPA"},
      {"x.in-addr.arpa.y", "x.in-addr.arpa.y"},
      {"10.0.1", "10.0.1"},
      {"10.0.0.0.1", "10.0.0.0.1"},
      {"", ""},
      {"....", "...."},
  };
  for (const NameCase& c : cases)
    EXPECT_EQ(TzvDnsQuery::GetArpaName(c.input), c.expected) << c.input;
}

TEST(DnsQueryComponent, StartsWithTheDnsDefaults) {
  TzvDnsQuery query(nullptr);
  EXPECT_EQ(query.ClassName(), "TzvDnsQuery");
  EXPECT_EQ(query.DatagramSize(), 512);
  EXPECT_EQ(query.Port(), 53);
  EXPECT_EQ(query.TimeOut(), 5000);
  EXPECT_EQ(query.BitsPerSec(), 0);
  EXPECT_EQ(query.Server(), "");
  EXPECT_TRUE(query.IsRecursiveDesired());
  EXPECT_FALSE(query.UseRecursiveQueries());
  EXPECT_EQ(query.MaxRecursiveQueries(), 4);
  EXPECT_EQ(query.MailServers().Count(), 0);
  EXPECT_EQ(query.Hosts().Count(), 0);
  EXPECT_EQ(query.NameServers().Count(), 0);
  EXPECT_EQ(query.Aliases().Count(), 0);
  EXPECT_EQ(query.Request().Queries().Count(), 0);
}

TEST(DnsQueryComponent, PortOutsideTheWireRangeIsRefusedBeforeAnythingOpens) {
  // Checked before the server is resolved or a socket made, so nothing is sent.
  for (const std::int32_t port : {65536, 70000, -1}) {
    TzvDnsQuery query(nullptr);
    query.SetServer("127.0.0.1");
    query.SetPort(port);
    try {
      query.ResolveMX("pellamar.test");
      ADD_FAILURE() << "port " << port << " accepted";
    } catch (const EzvSocketError& e) {
      EXPECT_EQ(e.ErrorCode(), -3) << port;
      EXPECT_STREQ(e.what(), "Invalid port number");
    }
    EXPECT_FALSE(query.Connection().IsOpen());
    EXPECT_EQ(query.Server(), "127.0.0.1");
  }
}

}  // namespace
