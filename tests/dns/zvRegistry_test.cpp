#include "dns/zvRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

Lines Entries(const TStrings& list) {
  return Lines(list.begin(), list.end());
}

const std::string kInterfaces(kDnsInterfacesKey);

std::string Interface(const std::string& name) {
  return kInterfaces + name;
}

// ---- ParseDnsServers ----

TEST(ParseDnsServers, SplitsAtBlanksAndCommas) {
  struct Case {
    const char* value;
    Lines expected;
  };
  const Case cases[] = {
      {"10.0.0.1 10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
      {"10.0.0.1,10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
      {"10.0.0.1, 10.0.0.2", {"10.0.0.1", "10.0.0.2"}},
      {"10.0.0.1,", {"10.0.0.1"}},
      {" ,, 10.0.0.1  ,", {"10.0.0.1"}},
      {"   ", {}},
      {",", {}},
      {"", {}},
      {"fe80::1%eth0 ::1", {"fe80::1%eth0", "::1"}},
      {"10.0.0.1\t10.0.0.2;10.0.0.3", {"10.0.0.1\t10.0.0.2;10.0.0.3"}},  // only blank and comma
  };
  for (const Case& c : cases) {
    TStrings list;
    ParseDnsServers(c.value, list);
    EXPECT_EQ(Entries(list), c.expected) << "value '" << c.value << "'";
  }
}

TEST(ParseDnsServers, AppendsWithoutRepeatingIgnoringCase) {
  TStrings list;
  list.Add("already");
  list.Add("FE80::A");
  ParseDnsServers("new ALREADY fe80::a new other", list);
  EXPECT_EQ(Entries(list), (Lines{"already", "FE80::A", "new", "other"}));

  // Case is ignored even when the list itself compares with case.
  TStrings strict;
  strict.SetCaseSensitive(true);
  strict.Add("Host");
  ParseDnsServers("HOST host", strict);
  EXPECT_EQ(Entries(strict), (Lines{"Host"}));
}

// ---- the reader over the in-memory tree ----

TEST(RegistryRead, StringValuesReadUpToFirstNul) {
  TzvMemoryRegistry tree;
  tree.WriteString("A\\B", "Plain", "text");
  tree.WriteExpandString("A\\B", "Expand", "%SystemRoot%");
  tree.WriteValue("A\\B", "Embedded", TzvRegDataType::rdString, std::string("one\0two", 7));
  tree.WriteValue("A\\B", "Unterminated", TzvRegDataType::rdString, "abc");
  TzvRegistry reader(tree);
  ASSERT_TRUE(reader.OpenKeyReadOnly("A\\B"));
  EXPECT_EQ(reader.ReadString("Plain"), "text");
  EXPECT_EQ(reader.ReadString("plain"), "text");
  EXPECT_EQ(reader.ReadString("Expand"), "%SystemRoot%");
  EXPECT_EQ(reader.ReadString("Embedded"), "one");
  EXPECT_EQ(reader.ReadString("Unterminated"), "abc");
}

TEST(RegistryRead, MissingOrEmptyValueReadsEmpty) {
  TzvMemoryRegistry tree;
  tree.WriteValue("K", "Empty", TzvRegDataType::rdString, "");
  // Size 0 reads as empty whatever the type says.
  tree.WriteValue("K", "EmptyBinary", TzvRegDataType::rdBinary, "");
  TzvRegistry reader(tree);
  ASSERT_TRUE(reader.OpenKeyReadOnly("K"));
  EXPECT_EQ(reader.ReadString("Missing"), "");
  EXPECT_EQ(reader.ReadString("Empty"), "");
  EXPECT_EQ(reader.ReadString("EmptyBinary"), "");
  reader.CloseKey();
  EXPECT_EQ(reader.ReadString("Empty"), "");
}

TEST(RegistryRead, NonStringValueFailsNamingIt) {
  TzvMemoryRegistry tree;
  tree.WriteInteger("K", "Count", 7);
  tree.WriteValue("K", "Blob", TzvRegDataType::rdBinary, "\x01\x02");
  tree.WriteValue("K", "Odd", TzvRegDataType::rdUnknown, "x");
  TzvRegistry reader(tree);
  ASSERT_TRUE(reader.OpenKeyReadOnly("K"));
  try {
    reader.ReadString("Count");
    FAIL() << "no error";
  } catch (const EzvRegistryError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'Count'");
  }
  EXPECT_THROW(reader.ReadString("Blob"), EzvRegistryError);
  EXPECT_THROW(reader.ReadString("Odd"), EzvRegistryError);
  TzvRegDataInfo info;
  ASSERT_TRUE(reader.GetDataInfo("Count", info));
  EXPECT_EQ(info.RegData, TzvRegDataType::rdInteger);
  EXPECT_EQ(info.DataSize, 4u);
}

TEST(RegistryRead, FailedDataReadNamesTheValue) {
  TzvMemoryRegistry tree;
  tree.WriteString("K", "Servers", "10.0.0.1");
  tree.FailDataRead("K", "Servers");
  TzvRegistry reader(tree);
  ASSERT_TRUE(reader.OpenKeyReadOnly("K"));
  try {
    reader.ReadString("Servers");
    FAIL() << "no error";
  } catch (const EzvRegistryError& e) {
    EXPECT_STREQ(e.what(), "Failed to get data for 'Servers'");
  }
}

TEST(RegistryRead, PathsIgnoreCaseAndEmptyParts) {
  TzvMemoryRegistry tree;
  tree.WriteString("Top\\Mid\\Leaf", "V", "x");
  TzvRegistry reader(tree);
  EXPECT_TRUE(reader.OpenKeyReadOnly("top\\MID\\leaf\\"));
  EXPECT_EQ(reader.ReadString("V"), "x");
  EXPECT_TRUE(reader.OpenKeyReadOnly("\\Top\\\\Mid"));
  EXPECT_FALSE(reader.OpenKeyReadOnly("Top\\Other"));
  EXPECT_FALSE(reader.HasOpenKey());
  EXPECT_FALSE(reader.OpenKeyReadOnly("Top\\Mid\\Leaf\\Deeper"));
}

TEST(RegistryRead, KeyNamesInCreationOrder) {
  TzvMemoryRegistry tree;
  tree.CreateKey("Root\\zeta");
  tree.CreateKey("Root\\alpha\\inner");
  tree.CreateKey("Root\\Mid");
  tree.CreateKey("ROOT\\ALPHA");  // already there: not listed twice
  TzvRegistry reader(tree);
  ASSERT_TRUE(reader.OpenKeyReadOnly("Root"));
  TStrings names;
  reader.GetKeyNames(names);
  EXPECT_EQ(Entries(names), (Lines{"zeta", "alpha", "Mid"}));
}

TEST(RegistryRead, OpenKeyIsASnapshot) {
  TzvMemoryRegistry tree;
  tree.WriteString("K", "V", "before");
  TzvRegistry reader(tree);
  ASSERT_TRUE(reader.OpenKeyReadOnly("K"));
  tree.WriteString("K", "V", "after");
  tree.CreateKey("K\\Child");
  EXPECT_EQ(reader.ReadString("V"), "before");
  TStrings names;
  reader.GetKeyNames(names);
  EXPECT_EQ(names.Count(), 0);
}

// ---- GetSystemDnsServers over the in-memory tree ----

TEST(SystemDnsServers, DhcpValueWinsOverStaticOne) {
  TzvMemoryRegistry tree;
  tree.WriteString(Interface("{one}"), "DhcpNameServer", "10.0.0.1 10.0.0.2");
  tree.WriteString(Interface("{one}"), "NameServer", "10.9.9.9");
  tree.WriteString(Interface("{two}"), "NameServer", "10.0.0.3,10.0.0.4");
  tree.WriteString(Interface("{three}"), "NameServer", "10.0.0.5, 10.0.0.6,");
  TStrings list;
  GetSystemDnsServers(list, tree);
  EXPECT_EQ(Entries(list),
            (Lines{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6"}));
}

TEST(SystemDnsServers, BlankDhcpValueHidesStaticOne) {
  TzvMemoryRegistry tree;
  tree.WriteString(Interface("{blank}"), "DhcpNameServer", "   ");
  tree.WriteString(Interface("{blank}"), "NameServer", "10.0.0.1");
  // The static value is not even read: a wrong type there goes unnoticed.
  tree.WriteString(Interface("{blank2}"), "DhcpNameServer", " , ");
  tree.WriteInteger(Interface("{blank2}"), "NameServer", 1);
  // An empty DHCP value does not count: the static one is read.
  tree.WriteString(Interface("{empty}"), "DhcpNameServer", "");
  tree.WriteString(Interface("{empty}"), "NameServer", "10.0.0.2");
  TStrings list;
  GetSystemDnsServers(list, tree);
  EXPECT_EQ(Entries(list), (Lines{"10.0.0.2"}));
}

TEST(SystemDnsServers, ServerOnTwoInterfacesListedOnceAtFirstPlace) {
  TzvMemoryRegistry tree;
  tree.WriteString(Interface("a"), "DhcpNameServer", "10.0.0.1 fe80::1");
  tree.WriteString(Interface("b"), "NameServer", "FE80::1 10.0.0.2 10.0.0.1");
  TStrings list;
  list.Add("10.0.0.2");
  GetSystemDnsServers(list, tree);
  EXPECT_EQ(Entries(list), (Lines{"10.0.0.2", "10.0.0.1", "fe80::1"}));
}

TEST(SystemDnsServers, MissingKeysLeaveListAsItWas) {
  TStrings list;
  list.Add("kept");
  TzvMemoryRegistry nothing;
  GetSystemDnsServers(list, nothing);
  TzvMemoryRegistry no_interfaces;
  no_interfaces.CreateKey(kInterfaces);
  GetSystemDnsServers(list, no_interfaces);
  TzvMemoryRegistry denied;
  denied.WriteString(Interface("x"), "NameServer", "10.0.0.1");
  denied.DenyOpen(kInterfaces);
  GetSystemDnsServers(list, denied);
  EXPECT_EQ(Entries(list), (Lines{"kept"}));
}

TEST(SystemDnsServers, InterfaceThatCannotBeOpenedIsSkipped) {
  TzvMemoryRegistry tree;
  tree.WriteString(Interface("a"), "NameServer", "10.0.0.1");
  tree.WriteString(Interface("b"), "NameServer", "10.0.0.2");
  tree.DenyOpen(Interface("b"));
  tree.CreateKey(Interface("c"));  // no values at all
  tree.WriteString(Interface("d"), "NameServer", "10.0.0.4");
  TStrings list;
  GetSystemDnsServers(list, tree);
  EXPECT_EQ(Entries(list), (Lines{"10.0.0.1", "10.0.0.4"}));
}

TEST(SystemDnsServers, WrongTypeEndsTheWalkKeepingEarlierEntries) {
  TzvMemoryRegistry tree;
  tree.WriteString(Interface("a"), "NameServer", "10.0.0.1");
  tree.WriteValue(Interface("b"), "DhcpNameServer", TzvRegDataType::rdBinary, "\x0a\x00");
  tree.WriteString(Interface("c"), "NameServer", "10.0.0.3");
  TStrings list;
  try {
    GetSystemDnsServers(list, tree);
    FAIL() << "no error";
  } catch (const EzvRegistryError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'DhcpNameServer'");
  }
  EXPECT_EQ(Entries(list), (Lines{"10.0.0.1"}));

  TzvMemoryRegistry static_wrong;
  static_wrong.WriteInteger(Interface("a"), "NameServer", 5);
  try {
    GetSystemDnsServers(list, static_wrong);
    FAIL() << "no error";
  } catch (const EzvRegistryError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'NameServer'");
  }
}

// ---- the machine's configuration, laid out in a scratch tree ----

class FakeSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ =
        std::filesystem::temp_directory_path() /
        ("pellamar-registry-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "run");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void Write(const std::string& relative, const std::string& text) {
    const std::filesystem::path path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  TzvSystemRegistry System() const {
    return TzvSystemRegistry((root_ / "run").string(), (root_ / "resolv.conf").string());
  }
  Lines Servers() const {
    TStrings list;
    GetSystemDnsServers(list, System());
    return Entries(list);
  }

  std::filesystem::path root_;
};

TEST_F(FakeSystem, ResolvConfReadAsTheCLibraryReadsIt) {
  // Only addresses count, up to a blank or tab; comment lines start with # or ;; the
  // keyword must open the line.
  Write("resolv.conf",
        "# a comment\n"
        "search example.org\n"
        "nameserver 4.4.4.4;x\n"
        "nameserver 999.1.1.1\n"
        "nameserver foo.example\n"
        "; nameserver 10.0.0.9\n"
        "nameserverx 10.0.0.8\n"
        "  nameserver 10.0.0.7\n"
        "nameserver\n"
        "nameserver\tfe80::1%eth0   # scoped\r\n"
        "nameserver 127.1\n"
        "options timeout:2\n");
  EXPECT_EQ(Servers(), (Lines{"fe80::1%eth0", "127.0.0.1"}));
  // The resolver uses the first three servers only.
  Write("resolv.conf",
        "nameserver 10.0.0.1\nnameserver ::2\nnameserver 10.0.0.3\nnameserver 10.0.0.4\n");
  EXPECT_EQ(Servers(), (Lines{"10.0.0.1", "::2", "10.0.0.3"}));
}

// Each file's servers as the C library's resolver (glibc's res_init) takes them. It cuts
// the address at the first blank, tab or line feed and wants all of what is left to be an
// address, so a carriage return, vertical tab or form feed after it (or in place of the
// blank before it) leaves the line unused. After "%" any text is taken, but one that is
// no 32-bit number and, on a link-local address, could name no interface gives no scope.
TEST_F(FakeSystem, ResolvConfLinesAsTheCLibraryCutsThem) {
  struct Case {
    std::string file;
    Lines expected;
  };
  const Lines none{"127.0.0.1"};  // the fallback: no line was usable
  const Case cases[] = {
      {"nameserver 10.0.0.1\r\nnameserver 10.0.0.2\n", {"10.0.0.2"}},
      {"nameserver 10.0.0.1\r\n", none},
      {"nameserver 10.0.0.1\r", none},
      {"nameserver 10.0.0.1\r\r\n", none},
      {"nameserver 10.0.0.1\v\n", none},
      {"nameserver 10.0.0.1\f\n", none},
      {"nameserver 10.0.0.1\f# comment\n", none},
      {"nameserver 10.0.0.1\r 10.0.0.2\n", none},
      {"nameserver ::1\r\nnameserver ::2\n", {"::2"}},
      {"nameserver 10.0.0.1 \r\n", {"10.0.0.1"}},
      {"nameserver 10.0.0.1\t\r\n", {"10.0.0.1"}},
      {"nameserver\r10.0.0.1\n", none},
      {"nameserver\v10.0.0.1\n", none},
      {"nameserver \r10.0.0.1\n", none},
      {"nameserver \f 10.0.0.1\n", none},
      {"\rnameserver 10.0.0.1\n", none},
      {"#x\r\nnameserver 10.0.0.1\n", {"10.0.0.1"}},
      {"nameserver 10.0.0.1", {"10.0.0.1"}},
      {std::string("nameserver 10.0.0.1\0junk\n", 25), {"10.0.0.1"}},
      {std::string("nameserver\0 10.0.0.1\n", 21), none},
      {"nameserver 10.0.0.1#c\n", none},
      {"nameserver 1.2.3.4.\n", none},
      {"nameserver 10.1\n", {"10.0.0.1"}},
      {"nameserver 010.0.0.1\n", {"8.0.0.1"}},
      {"nameserver 0x7e.1\n", {"126.0.0.1"}},
      {"nameserver 10.0.0.1%3\n", none},
      {"NAMESERVER 10.0.0.1\n", none},
      {"nameserver 10.0.0.9\nnameserver 10.0.0.1\r\nnameserver ::1\f\nnameserver 10.0.0.2\n",
       {"10.0.0.9", "10.0.0.2"}},
      // Scopes: kept when the resolver can use them, dropped when it cannot.
      {"nameserver fe80::1%eth0\r\n", {"fe80::1"}},
      {"nameserver fe80::1%2\r\n", {"fe80::1"}},
      {"nameserver fe80::1%2\n", {"fe80::1%2"}},
      {"nameserver fe80::1%003\n", {"fe80::1%003"}},
      {"nameserver fe80::1%4294967295\n", {"fe80::1%4294967295"}},
      {"nameserver ::1%4294967296\n", {"::1"}},
      {"nameserver ::1%0x3\n", {"::1"}},
      {"nameserver fe80::1%\n", {"fe80::1"}},
      {"nameserver fe80::1%lo\n", {"fe80::1%lo"}},
      {"nameserver ff02::1%lo\n", {"ff02::1%lo"}},
      {"nameserver ff05::1%lo\n", {"ff05::1"}},
      {"nameserver ::1%7\n", {"::1%7"}},
      {"nameserver ::1%lo\n", {"::1"}},
      {"nameserver fe80::1%a/b\n", {"fe80::1"}},
      {"nameserver fe80::1%fifteen-letters\n", {"fe80::1%fifteen-letters"}},
      {"nameserver fe80::1%sixteen-letters0\n", {"fe80::1"}},
      // On a link-local address any text might name an interface.
      {"nameserver fe80::1%4294967296\n", {"fe80::1%4294967296"}},
  };
  for (const Case& c : cases) {
    Write("resolv.conf", c.file);
    EXPECT_EQ(Servers(), c.expected) << "file '" << c.file << "'";
  }
}

TEST_F(FakeSystem, ResolvConfReadPastItsFirstMebibyte) {
  // The resolver reads the whole file, however long; so does this reader, a line at a time.
  std::string file;
  while (file.size() <= (std::size_t{1} << 20)) file += "# " + std::string(98, 'c') + "\n";
  file += "nameserver 10.0.0.1\n";
  Write("resolv.conf", file);
  EXPECT_EQ(Servers(), Lines{"10.0.0.1"});
  // One line longer than a mebibyte, its nameserver after it.
  Write("resolv.conf", "#" + std::string(3 << 20, 'x') + "\nnameserver ::1\n");
  EXPECT_EQ(Servers(), Lines{"::1"});
  // Blanks before the address may be as many as they like.
  Write("resolv.conf", "nameserver" + std::string(2 << 20, ' ') + "10.0.0.2\n");
  EXPECT_EQ(Servers(), Lines{"10.0.0.2"});
  // Three servers early, a fourth late: still only the first three.
  Write("resolv.conf", "nameserver 10.0.0.1\nnameserver 10.0.0.2\nnameserver 10.0.0.3\n" + file);
  EXPECT_EQ(Servers(), (Lines{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
}

TEST_F(FakeSystem, WithoutUsableServersTheResolverAsksThisMachine) {
  EXPECT_EQ(Servers(), Lines{"127.0.0.1"});  // no file at all
  Write("resolv.conf", "nameserver dns.example\n");
  EXPECT_EQ(Servers(), Lines{"127.0.0.1"});
}

TEST_F(FakeSystem, AResolvConfThatCannotBeReadIsAnError) {
  std::filesystem::create_directories(root_ / "resolv.conf");
  TStrings list;
  try {
    GetSystemDnsServers(list, System());
    ADD_FAILURE() << "read";
  } catch (const EzvRegistryError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot read " + (root_ / "resolv.conf").string() + ": Is a directory");
  }
}

TEST_F(FakeSystem, LinkServersAreGivenAsTheServerFieldTakesThem) {
  Write("resolv.conf", "nameserver 127.0.0.53\n");
  Write("run/systemd/resolve/netif/4",
        "SERVERS=9.9.9.9#dns.quad9.net 1.1.1.1:5353 [fe80::1%4]:5353#x [::1]:53 9.9.9.9:53\n");
  EXPECT_EQ(Servers(),
            (Lines{"127.0.0.53", "9.9.9.9", "1.1.1.1 -p 5353", "fe80::1%4 -p 5353", "::1"}));
}

TEST_F(FakeSystem, ResolvConfShownAsItsOwnKey) {
  Write("resolv.conf", "nameserver 127.0.0.53\n");
  TzvSystemRegistry system = System();
  TzvRegistry reader(system);
  ASSERT_TRUE(reader.OpenKeyReadOnly(kInterfaces));
  TStrings names;
  reader.GetKeyNames(names);
  EXPECT_EQ(Entries(names), (Lines{"resolv.conf"}));
  ASSERT_TRUE(reader.OpenKeyReadOnly(Interface("RESOLV.CONF")));
  EXPECT_EQ(reader.ReadString("NameServer"), "127.0.0.53");
  EXPECT_EQ(reader.ReadString("DhcpNameServer"), "");
  // Nothing else of the tree exists.
  EXPECT_FALSE(reader.OpenKeyReadOnly("SYSTEM"));
  EXPECT_FALSE(reader.OpenKeyReadOnly(Interface("resolv.conf\\deeper")));
  EXPECT_FALSE(reader.OpenKeyReadOnly(Interface("eth0")));
}

TEST_F(FakeSystem, LinksFromNetworkdAndResolved) {
  Write("resolv.conf", "nameserver 127.0.0.53\n");
  // Link 2 learned 10.0.0.1 and 10.0.0.2 by DHCP and has 10.0.0.9 configured: only the
  // DHCP ones count for it.
  Write("run/systemd/netif/links/2",
        "# This is private data. Do not parse.\nADMIN_STATE=configured\n"
        "DNS=10.0.0.9 10.0.0.1 10.0.0.2\nNTP=\n");
  Write("run/systemd/netif/leases/2", "ADDRESS=10.0.0.50\nDNS=10.0.0.1 10.0.0.2\n");
  // Link 10: configured only, by networkd and through resolved.
  Write("run/systemd/netif/links/10", "DNS=10.0.1.1\n");
  Write("run/systemd/resolve/netif/10", "LLMNR=yes\nSERVERS=10.0.1.2 fe80::5%10\n");
  // Link 3: known to resolved only, without servers.
  Write("run/systemd/resolve/netif/3", "LLMNR=yes\n");
  // Not a link.
  Write("run/systemd/netif/links/lo", "DNS=10.6.6.6\n");

  TzvSystemRegistry system = System();
  TzvRegistry reader(system);
  ASSERT_TRUE(reader.OpenKeyReadOnly(kInterfaces));
  TStrings names;
  reader.GetKeyNames(names);
  EXPECT_EQ(Entries(names), (Lines{"resolv.conf", "2", "3", "10"}));

  ASSERT_TRUE(reader.OpenKeyReadOnly(Interface("2")));
  EXPECT_EQ(reader.ReadString("DhcpNameServer"), "10.0.0.1 10.0.0.2");
  EXPECT_EQ(reader.ReadString("NameServer"), "10.0.0.9");
  ASSERT_TRUE(reader.OpenKeyReadOnly(Interface("10")));
  EXPECT_EQ(reader.ReadString("DhcpNameServer"), "");
  EXPECT_EQ(reader.ReadString("NameServer"), "10.0.1.1 10.0.1.2 fe80::5%10");
  EXPECT_FALSE(reader.OpenKeyReadOnly(Interface("lo")));
  EXPECT_FALSE(reader.OpenKeyReadOnly(Interface("..")));

  EXPECT_EQ(Servers(),
            (Lines{"127.0.0.53", "10.0.0.1", "10.0.0.2", "10.0.1.1", "10.0.1.2", "fe80::5%10"}));
}

TEST_F(FakeSystem, LinkWithTwentyThousandServers) {
  // A link may list thousands of servers: each is listed once, where it first appears,
  // whatever the case of its letters.
  constexpr int kCount = 20000;
  auto server = [](const char* prefix, int i) {
    return prefix + std::to_string(i / 1000) + ":" + std::to_string(i % 1000);
  };
  auto joined = [](const Lines& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : " ") + line;
    return text;
  };
  Lines lower, upper, learned, configured, configured_upper;
  for (int i = 0; i < kCount; ++i) {
    lower.push_back(server("fd00::", i));
    upper.push_back(server("FD00::", i));
    (i % 3 == 0 ? learned : configured).push_back(lower.back());
    if (i % 3 != 0) configured_upper.push_back(upper.back());
  }
  Write("resolv.conf", "nameserver 127.0.0.53\n");
  Write("run/systemd/netif/links/2", "DNS=" + joined(lower) + " " + joined(upper) + "\n");
  Lines expected{"127.0.0.53"};
  expected.insert(expected.end(), lower.begin(), lower.end());
  EXPECT_EQ(Servers(), expected);

  // A lease with every third of them: those were learned by DHCP, the others (in either
  // case) configured by hand. Link 3 lists them all again; only the ones not yet seen
  // are added.
  Write("run/systemd/netif/leases/2", "DNS=" + joined(learned) + "\n");
  Write("run/systemd/netif/links/3", "DNS=" + joined(lower) + "\n");
  TzvSystemRegistry system = System();
  TzvRegistry reader(system);
  ASSERT_TRUE(reader.OpenKeyReadOnly(Interface("2")));
  EXPECT_EQ(reader.ReadString("DhcpNameServer"), joined(learned));
  EXPECT_EQ(reader.ReadString("NameServer"), joined(configured) + " " + joined(configured_upper));
  expected = Lines{"127.0.0.53"};
  expected.insert(expected.end(), learned.begin(), learned.end());
  expected.insert(expected.end(), configured.begin(), configured.end());
  EXPECT_EQ(Servers(), expected);
}

TEST_F(FakeSystem, LinksWithoutServersAddNothing) {
  Write("resolv.conf", "");
  Write("run/systemd/netif/links/2", "ADMIN_STATE=configured\n");
  EXPECT_EQ(Servers(), Lines{"127.0.0.1"});
}

TEST(SystemRegistry, MachineConfigurationReadsWithoutFailing) {
  // Whatever this machine holds, reading it must not fail (nothing is sent).
  TStrings list;
  EXPECT_NO_THROW(GetSystemDnsServers(list));
  for (const std::string& server : list) EXPECT_FALSE(server.empty());
}

}  // namespace
