#include "cli/ResultText.h"

#include <gtest/gtest.h>

#include "base/SysUtils.h"
#include "cli/JsonText.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"

namespace {

using Lines = std::vector<std::string>;

void AddMx(TzvMailServerList& list, const char* name, int preference, const char* address) {
  auto item = std::make_unique<TzvMailServerInfo>();
  item->Name = name;
  item->Preference = preference;
  item->IPAddress = address;
  list.Add(std::move(item));
}

void AddHost(TzvHostList& list, const char* name, const char* address) {
  auto item = std::make_unique<TzvHostInfo>();
  item->Name = name;
  item->IPAddress = address;
  list.Add(std::move(item));
}

TEST(ResultText, NothingFoundWritesNothing) {
  TzvMailServerList mail;
  TzvHostList hosts;
  TStrings name_servers, aliases;
  EXPECT_EQ(LookupResultLines(mail, hosts, name_servers, aliases), Lines{});
  EXPECT_EQ(MailServerLines(mail), Lines{});
  EXPECT_EQ(HostLines(hosts), Lines{});
  EXPECT_EQ(NameServerLines(name_servers), Lines{});
  EXPECT_EQ(AliasLines(aliases), Lines{});
}

TEST(ResultText, MailServersInListOrderWithEmptyAddressKept) {
  TzvMailServerList mail;
  AddMx(mail, "mx10.example.org", 10, "127.0.0.10");
  AddMx(mail, "mx20.example.org", 20, "");
  EXPECT_EQ(MailServerLines(mail),
            (Lines{"====== Servidores de Correo ======", "mx20.example.org, Preference 20, ",
                   "mx10.example.org, Preference 10, 127.0.0.10", ""}));
}

TEST(ResultText, AllSectionsInWindowOrder) {
  TzvMailServerList mail;
  AddMx(mail, "mail.example.org", 65535, "127.0.0.1");
  TzvHostList hosts;
  AddHost(hosts, "a.example.org", "127.0.0.1");
  AddHost(hosts, "b.example.org", "");
  TStrings name_servers;
  name_servers.Add("ns1.example.org");
  name_servers.Add("ns1.example.org");  // listed as often as met
  TStrings aliases;
  aliases.Add("www.example.org");
  EXPECT_EQ(
      LookupResultLines(mail, hosts, name_servers, aliases),
      (Lines{"====== Servidores de Correo ======", "mail.example.org, Preference 65535, 127.0.0.1",
             "", "====== Hosts ======", "a.example.org, 127.0.0.1", "b.example.org, ", "",
             "====== Nombre Servidores ======", "ns1.example.org", "ns1.example.org", "",
             "====== Alias ======", "www.example.org", ""}));
}

TEST(ResultText, EmptySectionsAreLeftOutBetweenOthers) {
  TzvMailServerList mail;
  TzvHostList hosts;
  TStrings name_servers, aliases;
  AddHost(hosts, "h", "127.0.0.1");
  aliases.Add("alias");
  EXPECT_EQ(LookupResultLines(mail, hosts, name_servers, aliases),
            (Lines{"====== Hosts ======", "h, 127.0.0.1", "", "====== Alias ======", "alias", ""}));
}

TEST(ResultText, TextsPassThroughUnchanged) {
  // Names are printed as they are: no printf directive in them is interpreted and no
  // byte is dropped (a NUL is shown, escaped).
  TzvMailServerList mail;
  AddMx(mail, "%s%n.example", 5, "%d");
  TzvHostList hosts;
  auto host = std::make_unique<TzvHostInfo>();
  host->Name = std::string("nul\0byte", 8);
  host->IPAddress = "::1";
  hosts.Add(std::move(host));
  EXPECT_EQ(MailServerLines(mail)[1], "%s%n.example, Preference 5, %d");
  EXPECT_EQ(HostLines(hosts)[1], "nul\\000byte, ::1");
}

TEST(ShownNames, BytesOutsidePrintableAsciiAsDigDoes) {
  const std::pair<std::string, std::string> table[] = {
      {"host4.pellamar.test", "host4.pellamar.test"},
      {"b\x07l\xE9.test", "b\\007l\\233.test"},             // BEL, and a byte that is not UTF-8
      {"caf\xC3\xA9.test", "caf\xC3\xA9.test"},             // valid UTF-8 is text
      {"caf\xC3\xA9\xFF.test", "caf\\195\\169\\255.test"},  // one bad byte: all escaped
      {"\xC2\x85x\x7F", "\\194\\133x\\127"},                // C1 control and DEL
      {"\xED\xA0\x80", "\\237\\160\\128"},                  // a surrogate is not UTF-8
      {"a\\\\b", "a\\\\b"},  // a backslash in a label, escaped by the codec already
  };
  for (const auto& [name, shown] : table) EXPECT_EQ(EscapedName(name), shown) << shown;
  EXPECT_EQ(ShownName("xn--caf-dma.pellamar.test"),
            "xn--caf-dma.pellamar.test (caf\xC3\xA9.pellamar.test)");
  EXPECT_EQ(QuotedText("say \"hi\"\n"), "\"say \\\"hi\\\"\\010\"");

  TStrings aliases;
  aliases.Add("xn--caf-dma.test");
  aliases.Add("\x1B[31mred");
  EXPECT_EQ(
      AliasLines(aliases),
      (Lines{"====== Alias ======", "xn--caf-dma.test (caf\xC3\xA9.test)", "\\027[31mred", ""}));
}

TEST(ResultText, ErrorLines) {
  EXPECT_EQ(LookupErrorLines(), (Lines{"====== Error ======", " - El servidor no responde."}));
}

TEST(ResultText, DnsServerListing) {
  EXPECT_EQ(DnsServerListHeading(), "====== Servidores DNS Locales ======");
  TStrings servers;
  EXPECT_EQ(DnsServerLines(servers), Lines{});
  servers.Add("127.0.0.53");
  servers.Add("fe80::1%eth0");
  EXPECT_EQ(DnsServerLines(servers), (Lines{" - 127.0.0.53", " - fe80::1%eth0"}));
}

// Names and texts an answer can carry to fool a reader: terminal controls next to an
// "xn--" label, labels that decode to controls, bidirectional overrides and characters of
// no width, a dot inside a label. None reaches the output raw, in any formatter.
TEST(HostileNames, NoFormatterLetsAControlThrough) {
  struct Case {
    std::string name;   // as the codec gives it
    std::string shown;  // ShownName, as the text output shows it
  };
  const Case cases[] = {
      {"m\x1B[2J\"x.xn--1a.t", "m\\027[2J\"x.xn--1a.t"},            // xn--1a would be U+009B (CSI)
      {"xn--abc-4q0a.t", "xn--abc-4q0a.t"},                         // would be U+202E + "abc"
      {"xn--xy-g1t.t", "xn--xy-g1t.t"},                             // would be "x" U+200B "y"
      {"\xE2\x80\xAEmoc.elgoog.t", "\\226\\128\\174moc.elgoog.t"},  // right-to-left override
      {"a\xE2\x81\xA6"
       "b\xEF\xBB\xBF.t",
       "a\\226\\129\\166b\\239\\187\\191.t"},  // isolate, BOM
      {"a\\.b.t", "a\\.b.t"},                  // one label "a.b"
      {"xn--caf-dma.m\x1B.t", "xn--caf-dma.m\\027.t (caf\xC3\xA9.m\\027.t)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShownName(c.name), c.shown) << c.shown;
    TzvDnsMXRecord mx;
    mx.MailServer = c.name;
    TzvDnsTXTRecord txt;
    txt.Text = c.name;
    TStrings servers;
    servers.Add(c.name);
    for (const std::string& out :
         {ShownName(c.name), RecordDataText(mx), RecordDataText(txt), JsonQuoted(c.name),
          JsonQuoted(IdnToUnicode(c.name)), DnsServerLines(servers)[0]}) {
      for (std::size_t i = 0; i < out.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(out[i]);
        ASSERT_TRUE(b >= 0x20 && b != 0x7F) << c.shown << " gives " << out;
        if (b >= 0x80) {
          const std::size_t length = Utf8SequenceLength(out, i);
          ASSERT_NE(length, 0u) << out;
          ASSERT_FALSE(IsHiddenCharacter(Utf8CodePoint(out, i, length))) << out;
          i += length - 1;
        }
      }
    }
  }
  EXPECT_EQ(JsonQuoted("\xE2\x80\xAE"
                       "x"),
            R"("\u202ex")");
  EXPECT_EQ(QuotedText("\xE2\x80\x8B\\\""), R"("\226\128\139\\\"")");
}

TEST(ResultText, TheRootIsWrittenAsADotWhereverANameIsShown) {
  TzvDnsNSRecord ns;
  ns.Name = "";
  ns.TTL = 518400;
  ns.NameServer = "a.root-servers.net";
  EXPECT_EQ(RecordLine(ns), ".\t518400\tIN\tNS\ta.root-servers.net");
  // A null MX and an SRV record saying there is no such service name the root.
  EXPECT_EQ(RecordDataText(TzvDnsMXRecord()), "0 .");
  EXPECT_EQ(RecordDataText(TzvDnsSRVRecord()), "0 0 0 .");
  EXPECT_EQ(RecordDataText(TzvDnsSOARecord()), ". . 0 0 0 0 0");
  TzvMailServerList mail;
  AddMx(mail, "", 0, "");
  EXPECT_EQ(MailServerLines(mail)[1], "., Preference 0, ");
}

}  // namespace

// An answer's EDNS options in dig's pseudo-section: each known code decoded, one of the
// wrong length and any other code as bytes, padding by its length alone, whatever it is.
TEST(OptPseudoSection, EachOptionAsDigWritesItAndPaddingOfAnyLengthAsItsLength) {
  const struct {
    TzvEdnsOption option;
    const char* line;
  } cases[] = {
      {{15, {0, 9, 'n', 'o', ' ', 'S', 'E', 'P'}}, "; EDE: 9 (DNSKEY Missing): (no SEP)"},
      {{15, {0}}, "; OPT=15: 00 (\"\\000\")"},
      {{8, {0, 1, 24, 20, 192, 0, 2}}, "; CLIENT-SUBNET: 192.0.2.0/24/20"},
      {{8, {0, 1, 24, 0, 192}}, "; OPT=8: 00 01 18 00 c0 (\"\\000\\001\\024\\000\\192\")"},
      {{9, {0, 1, 0x51, 0x80}}, "; EXPIRE: 86400 (1 day)"},
      {{19, {2, 0, 0x78, 0x9a, 0xbc, 0xde}}, "; ZONEVERSION: 2023406814 (SOA-SERIAL, 2 labels)"},
      {{19, {2, 1, 0, 0, 0, 1}},
       "; OPT=19: 02 01 00 00 00 01 (\"\\002\\001\\000\\000\\000\\001\")"},
      {{65001, {'h', 'i'}}, "; OPT=65001: 68 69 (\"hi\")"},
  };
  TzvDnsOPTRecord opt;
  opt.OtherFlags = 0x10;
  for (const auto& c : cases) opt.Options.push_back(c.option);
  const Lines lines = OptPseudoSection(opt);
  ASSERT_EQ(lines.size(), std::size(cases) + 2);
  EXPECT_EQ(lines[1], "; EDNS: version: 0, flags:; MBZ: 0x0010, udp: 1232");
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(lines[i + 2], cases[i].line);
  for (std::size_t length = 0; length <= 600; ++length) {
    TzvDnsOPTRecord padded;
    padded.Options.push_back({12, std::vector<std::uint8_t>(length, length % 2 ? 0x1b : 0)});
    EXPECT_EQ(OptPseudoSection(padded).back(), "; PAD: (" + std::to_string(length) + " bytes)");
  }
}
