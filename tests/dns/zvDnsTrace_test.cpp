// The trace from the root without sockets: root hints read from named.root's form, and
// walks over servers played by a scripted asker (referrals with and without glue, silent
// and failing servers, loops, walks too long, aliases, Abort, the DNSSEC hook).
#include "dns/zvDnsTrace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "dns/zvDnsRecordTypes.h"

namespace {

using Lines = std::vector<std::string>;

// ---- root hints ----

TEST(RootHints, TheBuiltInOnesAreIanasThirteen) {
  const TzvRootHints hints = BuiltInRootHints();
  ASSERT_EQ(hints.size(), 13u);
  for (std::size_t i = 0; i < hints.size(); ++i) {
    EXPECT_EQ(hints[i].Name, std::string(1, static_cast<char>('a' + i)) + ".root-servers.net.");
    ASSERT_EQ(hints[i].Addresses.size(), 2u) << hints[i].Name;
    EXPECT_EQ(hints[i].Addresses[0].find(':'), std::string::npos) << "IPv4 first";
    EXPECT_NE(hints[i].Addresses[1].find(':'), std::string::npos);
  }
  EXPECT_EQ(hints[0].Addresses, (Lines{"198.41.0.4", "2001:503:ba3e::2:30"}));
  EXPECT_EQ(hints[12].Addresses, (Lines{"202.12.27.33", "2001:dc3::35"}));
  // Debian's copy of named.root, read as data only: nothing is sent to these servers.
  if (!std::filesystem::exists(kzvDebianRootHintsFile))
    GTEST_SKIP() << kzvDebianRootHintsFile << " is not installed";
  EXPECT_EQ(ReadRootHintsFile(kzvDebianRootHintsFile), hints);
  EXPECT_EQ(DefaultRootHints(), hints);
}

TEST(RootHints, ReadsNamedRootsForm) {
  const char* text =
      ";       This file holds the information on root name servers\n"
      "\n"
      ".                        3600000      NS    A.ROOT-SERVERS.NET.\n"
      "A.ROOT-SERVERS.NET.      3600000      AAAA  2001:503:ba3e::2:30\n"
      "A.ROOT-SERVERS.NET.      3600000      A     198.41.0.4   ; IPv4\n"
      ".                                     NS    b.root.test\n"
      "b.root.test.             IN           A     127.0.0.10\n"
      ".                        1 IN         NS    a.root-servers.net.\n";  // a repeat
  const TzvRootHints hints = ReadRootHints(text);
  EXPECT_EQ(hints, (TzvRootHints{{"a.root-servers.net.", {"198.41.0.4", "2001:503:ba3e::2:30"}},
                                 {"b.root.test.", {"127.0.0.10"}}}));
}

TEST(RootHints, BadFilesNameTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {". NS a.test.\na.test. A 127.0.0.300\n", "line 2: '127.0.0.300' is not an IPv4 address"},
      {". NS a.test.\na.test. AAAA 127.0.0.1\n", "line 2: '127.0.0.1' is not an IPv6 address"},
      {". NS a.test.\na.test. A\n", "line 2: expected"},
      {"; only\n. NS a.test.\na.test. 300 IN A 127.0.0.1 extra\n", "line 3: expected"},
      {"example. NS a.test.\n", "line 1: an NS record of 'example.', not of the root"},
      {". MX a.test.\n", "line 1: type MX has no place"},
      {". NS a.test.\nb.test. A 127.0.0.1\n", "line 2: b.test. is not named by an NS record"},
      {"\n. NS a.test.\n. NS b.test.\na.test. A 127.0.0.1\n",
       "line 3: the root server b.test. has no address"},
      {"; nothing but comments\n\n", "name no root server"},
  };
  for (const auto& [text, why] : cases) {
    try {
      ReadRootHints(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const EzvDnsError& error) {
      EXPECT_NE(std::string(error.what()).find(why), std::string::npos)
          << error.what() << "\nexpected: " << why;
      EXPECT_EQ(error.ErrorCode(), kzvDnsErrInvalidSize);
    }
  }
  EXPECT_THROW(ReadRootHintsFile("/nonexistent/root.hints"), EzvDnsError);
  EXPECT_EQ(DefaultRootHints("/nonexistent/root.hints"), BuiltInRootHints());
}

// ---- scripted servers ----

std::unique_ptr<TzvDnsMessage> Reply(const TzvTraceQuestion& q, bool authoritative,
                                     std::int32_t rcode = 0) {
  auto m = std::make_unique<TzvDnsExtendedMessage>();
  m->Header().IsAuthoritativeAnswer = authoritative;
  m->Header().ResponseCode = rcode;
  auto question = std::make_unique<TzvDnsRecord>();
  question->Name = q.Name;
  question->RecordType = q.Type;
  m->Queries().Add(std::move(question));
  return m;
}

void AddNs(TzvDnsRecordList& list, const std::string& zone, const std::string& server) {
  auto ns = std::make_unique<TzvDnsNSRecord>();
  ns->Name = zone;
  ns->NameServer = server;
  list.Add(std::move(ns));
}

void AddAddress(TzvDnsRecordList& list, const std::string& name, const std::string& address) {
  if (address.find(':') != std::string::npos) {
    auto aaaa = std::make_unique<TzvDnsAAAARecord>();
    aaaa->Name = name;
    aaaa->IPAddress = address;
    list.Add(std::move(aaaa));
  } else {
    auto a = std::make_unique<TzvDnsARecord>();
    a->Name = name;
    a->IPAddress = address;
    list.Add(std::move(a));
  }
}

// What one server does with a question: reply, or throw as a silent one does.
using TServer = std::function<std::unique_ptr<TzvDnsMessage>(const TzvTraceQuestion&)>;

// A referral to zone, served by the named servers, with glue as "name=address" pairs.
TServer Refers(const std::string& zone, Lines servers, std::map<std::string, Lines> glue = {}) {
  return [=](const TzvTraceQuestion& q) {
    auto m = Reply(q, false);
    for (const auto& server : servers) AddNs(m->Authorities(), zone, server);
    for (const auto& [name, addresses] : glue)
      for (const auto& address : addresses) AddAddress(m->AdditionalRecords(), name, address);
    return m;
  };
}

// An authoritative server holding A records (name -> address) and CNAMEs (name -> target);
// other names do not exist.
TServer Holds(std::map<std::string, std::string> addresses,
              std::map<std::string, std::string> aliases = {}) {
  return [=](const TzvTraceQuestion& q) {
    if (auto alias = aliases.find(q.Name); alias != aliases.end()) {
      auto m = Reply(q, true);
      auto cname = std::make_unique<TzvDnsCNAMERecord>();
      cname->Name = q.Name;
      cname->CanonicalName = alias->second;
      m->Answers().Add(std::move(cname));
      return m;
    }
    auto found = addresses.find(q.Name);
    if (found == addresses.end()) return Reply(q, true, kzvDnsResponseNameError);
    auto m = Reply(q, true);
    if (q.Type == kzvDnsTypeA) AddAddress(m->Answers(), q.Name, found->second);
    return m;  // another type: NODATA
  };
}

TServer Silent() {
  return [](const TzvTraceQuestion&) -> std::unique_ptr<TzvDnsMessage> {
    RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
  };
}

TServer Fails(std::int32_t rcode) {
  return [rcode](const TzvTraceQuestion& q) { return Reply(q, false, rcode); };
}

// A trace over scripted servers, keyed by address; every question is logged as
// "ADDRESS NAME".
struct TScriptedTrace {
  TzvDnsTrace trace;
  std::map<std::string, TServer> servers;
  Lines asked;

  explicit TScriptedTrace(TzvRootHints hints = {{"root.test.", {"10.0.0.1"}}}) {
    trace.SetRootHints(std::move(hints));
    trace.SetAsker([this](const std::string& address, const TzvTraceQuestion& q) {
      asked.push_back(address + " " + q.Name);
      auto server = servers.find(address);
      if (server == servers.end()) RaiseSocketErrorText("Connection refused", 111);
      return server->second(q);
    });
  }
};

Lines Zones(const std::vector<TzvTraceStep>& steps) {
  Lines zones;
  for (const auto& step : steps) zones.push_back(step.Zone);
  return zones;
}

// The error a Run fails with: its code and text.
std::pair<std::int32_t, std::string> RunError(TzvDnsTrace& trace, const std::string& name,
                                              std::int32_t type = kzvDnsTypeA) {
  try {
    trace.Run(name, type);
  } catch (const EzvSocketError& error) {
    return {error.ErrorCode(), error.what()};
  }
  return {0, "no error"};
}

// ---- the walk ----

TEST(Trace, WalksFromTheRootThroughEachReferral) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}});
  t.servers["10.0.0.2"] =
      Refers("b.test", {"ns1.b.test", "ns2.b.test"},
             {{"ns1.b.test", {"10.0.0.3", "2001:db8::3"}}, {"ns2.b.test", {"10.0.0.4"}}});
  t.servers["10.0.0.3"] = Holds({{"www.b.test", "192.0.2.1"}});
  std::vector<std::string> told;
  const auto steps = t.trace.Run("WWW.b.test.", kzvDnsTypeA,
                                 [&](const TzvTraceStep& s) { told.push_back(s.Zone); });
  EXPECT_EQ(Zones(steps), (Lines{".", "test.", "b.test."}));
  EXPECT_EQ(told, Zones(steps));
  EXPECT_EQ(t.asked, (Lines{"10.0.0.1 www.b.test", "10.0.0.2 www.b.test", "10.0.0.3 www.b.test"}));
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].Outcome, TzvTraceOutcome::Referral);
  EXPECT_EQ(steps[0].NextZone, "test.");
  EXPECT_EQ(steps[0].ServerName, "root.test.");
  EXPECT_EQ(steps[1].NextZone, "b.test.");
  EXPECT_EQ(steps[2].Servers,
            (std::vector<TzvTraceServer>{{"ns1.b.test.", {"10.0.0.3", "2001:db8::3"}},
                                         {"ns2.b.test.", {"10.0.0.4"}}}));
  EXPECT_EQ(steps[2].ServerAddress, "10.0.0.3");
  EXPECT_EQ(steps[2].Outcome, TzvTraceOutcome::Answer);
  EXPECT_EQ(steps[2].ResponseCode, 0);
  ASSERT_NE(steps[2].Response, nullptr);
  EXPECT_EQ(steps[2].Response->Answers().Count(), 1);
  for (const auto& step : steps) {
    EXPECT_EQ(step.Level, 0);
    EXPECT_EQ(step.Name, "www.b.test.");
    EXPECT_TRUE(step.Failures.empty());
    EXPECT_FALSE(step.Dnssec.has_value());
  }
  EXPECT_EQ(t.trace.Steps().size(), 3u);
}

// A server that fails in any way is passed over for the zone's next one; the step names
// what each failure was.
TEST(Trace, FallsBackToTheZonesNextServer) {
  const std::pair<const char*, TServer> failures[] = {
      {"Timeout", Silent()},           {"SERVFAIL", Fails(2)},
      {"REFUSED", Fails(5)},           {"neither an answer nor a referral", Fails(0)},
      {"Connection refused", nullptr},  // nobody at that address
  };
  for (const auto& [why, first] : failures) {
    TScriptedTrace t({{"a.root.", {"10.0.0.1"}}, {"b.root.", {"10.0.0.9", "10.0.0.2"}}});
    if (first) t.servers["10.0.0.1"] = first;
    t.servers["10.0.0.2"] = Holds({{"x.test", "192.0.2.7"}});
    const auto steps = t.trace.Run("x.test", kzvDnsTypeA);
    ASSERT_EQ(steps.size(), 1u) << why;
    EXPECT_EQ(steps[0].Outcome, TzvTraceOutcome::Answer) << why;
    EXPECT_EQ(steps[0].ServerName, "b.root.");
    EXPECT_EQ(steps[0].ServerAddress, "10.0.0.2");
    ASSERT_EQ(steps[0].Failures.size(), 2u) << why;
    EXPECT_NE(steps[0].Failures[0].find(why), std::string::npos) << steps[0].Failures[0];
    EXPECT_EQ(steps[0].Failures[0].rfind("10.0.0.1 (a.root.): ", 0), 0u);
    EXPECT_EQ(steps[0].Failures[1].rfind("10.0.0.9 (b.root.): ", 0), 0u);
  }
}

TEST(Trace, NoServerAnsweringEndsWithTheReasons) {
  TScriptedTrace t({{"a.root.", {"10.0.0.1"}}, {"b.root.", {"10.0.0.2"}}});
  t.servers["10.0.0.1"] = Silent();
  t.servers["10.0.0.2"] = Fails(5);
  const auto [code, what] = RunError(t.trace, "x.test");
  EXPECT_EQ(code, kzvDnsErrTraceNoServer);
  EXPECT_NE(what.find("no server of . answered for x.test."), std::string::npos) << what;
  EXPECT_NE(what.find("REFUSED"), std::string::npos) << what;
  ASSERT_EQ(t.trace.Steps().size(), 1u);  // the failed step is kept
  EXPECT_EQ(t.trace.Steps()[0].Outcome, TzvTraceOutcome::NoAnswer);
  EXPECT_EQ(t.trace.Steps()[0].ResponseCode, -1);
  EXPECT_EQ(t.trace.Steps()[0].Failures.size(), 2u);
}

TEST(Trace, EndsAtEachKindOfFinalAnswer) {
  struct TCase {
    const char* name;
    std::int32_t type;
    TzvTraceOutcome outcome;
    std::int32_t rcode;
  };
  const TCase cases[] = {
      {"www.test", kzvDnsTypeA, TzvTraceOutcome::Answer, 0},
      {"nothing.test", kzvDnsTypeA, TzvTraceOutcome::NameError, kzvDnsResponseNameError},
      {"www.test", kzvDnsTypeMX, TzvTraceOutcome::NoData, 0},
      {"alias.test", kzvDnsTypeCNAME, TzvTraceOutcome::NoData, 0},  // Holds answers none
  };
  for (const auto& c : cases) {
    TScriptedTrace t;
    t.servers["10.0.0.1"] = Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}});
    t.servers["10.0.0.2"] = Holds({{"www.test", "192.0.2.1"}, {"alias.test", "192.0.2.2"}});
    const auto steps = t.trace.Run(c.name, c.type);
    ASSERT_EQ(steps.size(), 2u) << c.name;
    EXPECT_EQ(steps[1].Outcome, c.outcome) << c.name;
    EXPECT_EQ(steps[1].ResponseCode, c.rcode) << c.name;
  }
}

// A CNAME's target is traced from the root again; without FollowAliases the trace ends at
// the alias; an alias that leads back is a loop.
TEST(Trace, FollowsAliasesFromTheRoot) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = [](const TzvTraceQuestion& q) {
    const bool other = q.Name.find("other") != std::string::npos;
    return Refers(other ? "other" : "test", {other ? "ns.other" : "ns.test"},
                  {{"ns.test", {"10.0.0.2"}}, {"ns.other", {"10.0.0.3"}}})(q);
  };
  t.servers["10.0.0.2"] = Holds({}, {{"www.test", "web.other"}, {"loop.test", "back.other"}});
  t.servers["10.0.0.3"] = Holds({{"web.other", "192.0.2.9"}}, {{"back.other", "loop.test"}});
  auto steps = t.trace.Run("www.test", kzvDnsTypeA);
  EXPECT_EQ(Zones(steps), (Lines{".", "test.", ".", "other."}));
  EXPECT_EQ(steps[1].Outcome, TzvTraceOutcome::Alias);
  EXPECT_EQ(steps[1].AliasTarget, "web.other.");
  EXPECT_EQ(steps[2].Name, "web.other.");
  EXPECT_EQ(steps.back().Outcome, TzvTraceOutcome::Answer);

  t.trace.SetFollowAliases(false);
  steps = t.trace.Run("www.test", kzvDnsTypeA);
  EXPECT_EQ(Zones(steps), (Lines{".", "test."}));
  EXPECT_EQ(steps.back().Outcome, TzvTraceOutcome::Alias);

  t.trace.SetFollowAliases(true);
  const auto [code, what] = RunError(t.trace, "loop.test");
  EXPECT_EQ(code, kzvDnsErrTraceLoop);
  EXPECT_NE(what.find("alias loop: back.other. leads back to loop.test."), std::string::npos)
      << what;
}

// ---- loops and bounds ----

TEST(Trace, ReferralLoopsEndWithAnError) {
  struct TCase {
    const char* what;
    TServer second;  // the servers of test.
    const char* error;
  };
  const TCase cases[] = {
      {"to itself", Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}}),
       "the servers of test. refer www.b.test. to test., which the trace has visited already"},
      {"back up", Refers("", {"root.test"}, {{"root.test", {"10.0.0.1"}}}),
       "refer www.b.test. to ., which the trace has visited already"},
      {"sideways", Refers("other", {"ns.other"}, {{"ns.other", {"10.0.0.3"}}}),
       "the servers of test. refer www.b.test. to other., which is not closer to it"},
      {"to another branch", Refers("a.test", {"ns.a.test"}, {{"ns.a.test", {"10.0.0.3"}}}),
       "refer www.b.test. to a.test., which is not closer to it"},
  };
  for (const auto& c : cases) {
    TScriptedTrace t;
    t.servers["10.0.0.1"] = Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}});
    t.servers["10.0.0.2"] = c.second;
    const auto [code, what] = RunError(t.trace, "www.b.test");
    EXPECT_EQ(code, kzvDnsErrTraceLoop) << c.what;
    EXPECT_NE(what.find(c.error), std::string::npos) << c.what << ": " << what;
    EXPECT_EQ(what.rfind("referral loop: ", 0), 0u) << what;
    // The step that referred is kept, and nothing more was asked.
    EXPECT_EQ(t.trace.Steps().size(), 2u) << c.what;
    EXPECT_EQ(t.asked.size(), 2u) << c.what;
  }
}

// One label further down at each step: a chain longer than MaxSteps stops there.
TEST(Trace, StopsAfterMaxStepsAndMaxQuestions) {
  TScriptedTrace t;
  std::string name = "n";
  for (int i = 0; i < 12; ++i) name = "l" + std::to_string(i) + "." + name;
  // The root's server plays every zone: each question is answered with the delegation one
  // label closer to the name than the last.
  int level = 0;
  const auto labels_of = [](const std::string& n) {
    Lines out;
    std::size_t start = 0;
    for (std::size_t dot; (dot = n.find('.', start)) != std::string::npos; start = dot + 1)
      out.push_back(n.substr(start, dot - start));
    out.push_back(n.substr(start));
    return out;
  };
  const Lines labels = labels_of(name);
  t.servers["10.0.0.1"] = [&](const TzvTraceQuestion& q) {
    ++level;
    std::string zone;
    for (std::size_t i = labels.size() - static_cast<std::size_t>(level); i < labels.size(); ++i)
      zone += (zone.empty() ? "" : ".") + labels[i];
    return Refers(zone, {"ns." + zone}, {{"ns." + zone, {"10.0.0.1"}}})(q);
  };
  t.trace.SetMaxSteps(5);
  auto [code, what] = RunError(t.trace, name);
  EXPECT_EQ(code, kzvDnsErrTraceTooLong);
  EXPECT_NE(what.find("takes more than 5 steps"), std::string::npos) << what;
  EXPECT_EQ(t.trace.Steps().size(), 5u);

  // Servers that all fail: the questions run out before the servers do.
  TzvRootHints many;
  for (int i = 0; i < 40; ++i) many.push_back({"r" + std::to_string(i) + ".", {"10.9.0.1"}});
  TScriptedTrace silent(many);
  silent.servers["10.9.0.1"] = Silent();
  silent.trace.SetMaxQuestions(7);
  std::tie(code, what) = RunError(silent.trace, "x.test");
  EXPECT_EQ(code, kzvDnsErrTraceTooLong);
  EXPECT_NE(what.find("needs more than 7 questions"), std::string::npos) << what;
  EXPECT_EQ(silent.asked.size(), 7u);
}

// ---- name servers without glue ----

TEST(Trace, TracesTheAddressOfAGluelessServer) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = [](const TzvTraceQuestion& q) {
    if (q.Name == "ns.host.net") return Refers("net", {"ns.net"}, {{"ns.net", {"10.0.0.5"}}})(q);
    return Refers("test", {"ns.host.net"})(q);
  };
  t.servers["10.0.0.5"] = Holds({{"ns.host.net", "10.0.0.6"}});
  t.servers["10.0.0.6"] = Holds({{"www.test", "192.0.2.1"}});
  std::vector<std::pair<int, std::string>> told;
  const auto steps = t.trace.Run("www.test", kzvDnsTypeA, [&](const TzvTraceStep& s) {
    told.push_back({s.Level, s.Zone + " " + s.Name});
  });
  EXPECT_EQ(told, (std::vector<std::pair<int, std::string>>{{0, ". www.test."},
                                                            {1, ". ns.host.net."},
                                                            {1, "net. ns.host.net."},
                                                            {0, "test. www.test."}}));
  EXPECT_EQ(steps.back().ServerAddress, "10.0.0.6");
  EXPECT_EQ(steps.back().Servers, (std::vector<TzvTraceServer>{{"ns.host.net.", {"10.0.0.6"}}}));
  EXPECT_EQ(steps.back().Outcome, TzvTraceOutcome::Answer);
}

// Glue is taken only for names inside the referring zone: an address for another name
// could point the trace anywhere, so that server is looked up by its own trace.
TEST(Trace, IgnoresGlueFromOutsideTheReferringZone) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = [](const TzvTraceQuestion& q) {
    if (q.Name == "ns.evil.net") return Holds({{"ns.evil.net", "10.0.0.7"}})(q);
    return Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}})(q);
  };
  t.servers["10.0.0.2"] = Refers("b.test", {"ns.evil.net"}, {{"ns.evil.net", {"10.6.6.6"}}});
  t.servers["10.0.0.7"] = Holds({{"www.b.test", "192.0.2.1"}});
  const auto steps = t.trace.Run("www.b.test", kzvDnsTypeA);
  EXPECT_EQ(steps.back().ServerAddress, "10.0.0.7");
  for (const auto& line : t.asked) EXPECT_EQ(line.find("10.6.6.6"), std::string::npos);
}

// A server whose name lies in the zone it serves, given without glue, can never be found:
// the nested traces stop at their bound and the zone fails.
TEST(Trace, GluelessServersInsideTheirOwnZoneEndBounded) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = Refers("test", {"ns.test"});
  const auto [code, what] = RunError(t.trace, "www.test");
  EXPECT_EQ(code, kzvDnsErrTraceNoServer);
  EXPECT_NE(what.find("its address was not found"), std::string::npos) << what;
  EXPECT_LE(t.asked.size(), 10u);
  int deepest = 0;
  for (const auto& step : t.trace.Steps()) deepest = std::max(deepest, step.Level);
  EXPECT_EQ(deepest, TzvDnsTrace::kMaxNesting);
}

TEST(Trace, AsksOnlyAddressesOfTheFamilyChosen) {
  const std::pair<TzvAddressFamily, Lines> cases[] = {
      {TzvAddressFamily::afAny, {"10.0.0.1 x.test", "2001:db8::1 x.test"}},
      {TzvAddressFamily::afIPv4, {"10.0.0.1 x.test"}},
      {TzvAddressFamily::afIPv6, {"2001:db8::1 x.test"}},
  };
  for (const auto& [family, asked] : cases) {
    TScriptedTrace t({{"r.", {"2001:db8::1", "10.0.0.1"}}});
    t.trace.SetAddressFamily(family);
    t.servers["10.0.0.1"] = Silent();
    t.servers["2001:db8::1"] = Silent();
    RunError(t.trace, "x.test");
    EXPECT_EQ(t.asked, asked);
  }
}

// ---- Abort and the DNSSEC hook ----

TEST(Trace, AbortEndsTheTraceAndTheNextRunRunsNormally) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}});
  t.servers["10.0.0.2"] = [&](const TzvTraceQuestion& q) {
    t.trace.Abort();  // as another thread would, while this server is asked
    return Holds({{"www.test", "192.0.2.1"}})(q);
  };
  const auto [code, what] = RunError(t.trace, "www.test");
  EXPECT_EQ(code, kzvErrAborted);
  EXPECT_EQ(what, SzvAborted);
  EXPECT_EQ(t.asked.size(), 2u);

  t.servers["10.0.0.2"] = Holds({{"www.test", "192.0.2.1"}});
  EXPECT_EQ(t.trace.Run("www.test", kzvDnsTypeA).back().Outcome, TzvTraceOutcome::Answer);
}

TEST(Trace, TheZoneCheckJudgesEachStepOfTheNameTraced) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}});
  t.servers["10.0.0.2"] = Holds({{"www.test", "192.0.2.1"}});
  Lines checked;
  t.trace.SetZoneCheck([&](const TzvTraceStep& step, const std::vector<TzvTraceStep>& steps,
                           const TzvTraceAsk& ask) {
    checked.push_back(step.Zone + " after " + std::to_string(steps.size()));
    // Its questions go through the trace's asker, with the DNSSEC bits asked for.
    ask(step.ServerAddress, {"www.test", kzvDnsTypeA, true});
    TzvDnssecResult result;
    result.Verdict = TzvDnssecVerdict::Secure;
    return result;
  });
  const auto steps = t.trace.Run("www.test", kzvDnsTypeA);
  EXPECT_EQ(checked, (Lines{". after 1", "test. after 2"}));
  for (const auto& step : steps) {
    ASSERT_TRUE(step.Dnssec.has_value());
    EXPECT_EQ(step.Dnssec->Verdict, TzvDnssecVerdict::Secure);
  }
  EXPECT_EQ(t.asked.size(), 4u);
}

TEST(Trace, OutcomesHaveTexts) {
  EXPECT_EQ(TraceOutcomeText(TzvTraceOutcome::Referral), "referral");
  EXPECT_EQ(TraceOutcomeText(TzvTraceOutcome::NameError), "NXDOMAIN");
  EXPECT_EQ(TraceOutcomeText(TzvTraceOutcome::NoAnswer), "no answer");
}

}  // namespace
