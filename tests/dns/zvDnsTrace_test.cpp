// The trace from the root without sockets: root hints read from named.root's form, and
// walks over servers played by a scripted asker (fallback to a zone's next server, loops,
// walks too long, aliases, glue-less servers, the address family). The walk over real
// servers, each final outcome, the DNSSEC verdicts and Abort are in the loopback file.
#include "dns/zvDnsTrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "dns/zvDnsRecordTypes.h"

namespace {

using Lines = std::vector<std::string>;

// ---- root hints ----

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
  EXPECT_EQ(ReadRootHints(text),
            (TzvRootHints{{"a.root-servers.net.", {"198.41.0.4", "2001:503:ba3e::2:30"}},
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
}

// Hostile hints and anchor files are refused without being read whole: nothing past 1 MiB
// is read (so /dev/zero ends), and hints naming too many servers stop there.
TEST(RootHints, HostileFilesAreRefusedWithinTheirBounds) {
  const std::string big = ::testing::TempDir() + "/pellamar-comments.txt";
  {
    std::ofstream out(big);
    for (int i = 0; i < 40000; ++i) out << "; a file of 2 MB that holds nothing but comments\n";
  }
  std::string servers;
  for (int i = 0; i < 300; ++i) servers += ". NS r" + std::to_string(i) + ".test.\n";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { ReadRootHintsFile("/dev/zero"); }, "root hints in /dev/zero: longer than 1 MiB"},
      {[] { ReadTrustAnchorFile("/dev/zero"); }, "trust anchors in /dev/zero: longer than 1 MiB"},
      {[&] { ReadTrustAnchorFile(big); }, "trust anchors in " + big + ": longer than 1 MiB"},
      {[&] { ReadRootHints(servers); }, "line 257: more than 256 root servers"},
  };
  for (const auto& [read, why] : cases) {
    try {
      read();
      ADD_FAILURE() << "accepted: " << why;
    } catch (const EzvDnsError& error) {
      EXPECT_NE(std::string(error.what()).find(why), std::string::npos) << error.what();
    }
  }
  std::remove(big.c_str());
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

void AddAddress(TzvDnsRecordList& list, const std::string& name, const std::string& address) {
  std::unique_ptr<TzvDnsRecord> record;
  if (address.find(':') != std::string::npos) {
    auto aaaa = std::make_unique<TzvDnsAAAARecord>();
    aaaa->IPAddress = address;
    record = std::move(aaaa);
  } else {
    auto a = std::make_unique<TzvDnsARecord>();
    a->IPAddress = address;
    record = std::move(a);
  }
  record->Name = name;
  list.Add(std::move(record));
}

// What one server does with a question: reply, or throw as a silent one does.
using TServer = std::function<std::unique_ptr<TzvDnsMessage>(const TzvTraceQuestion&)>;

// A referral to zone, served by the named servers, with glue (name -> addresses).
TServer Refers(const std::string& zone, Lines servers, std::map<std::string, Lines> glue = {}) {
  return [=](const TzvTraceQuestion& q) {
    auto m = Reply(q, false);
    for (const auto& server : servers) {
      auto ns = std::make_unique<TzvDnsNSRecord>();
      ns->Name = zone;
      ns->NameServer = server;
      m->Authorities().Add(std::move(ns));
    }
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
    auto m = Reply(q, true);
    if (auto alias = aliases.find(q.Name); alias != aliases.end()) {
      auto cname = std::make_unique<TzvDnsCNAMERecord>();
      cname->Name = q.Name;
      cname->CanonicalName = alias->second;
      m->Answers().Add(std::move(cname));
    } else if (auto found = addresses.find(q.Name); found == addresses.end()) {
      m->Header().ResponseCode = kzvDnsResponseNameError;
    } else if (q.Type == kzvDnsTypeA) {
      AddAddress(m->Answers(), q.Name, found->second);
    }
    return m;
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

// A trace over scripted servers, keyed by address (10.0.0.1 is the root unless the hints
// say otherwise); every question is logged as "ADDRESS NAME".
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
  // The error Run fails with: its code and text.
  std::pair<std::int32_t, std::string> RunError(const std::string& name) {
    try {
      trace.Run(name, kzvDnsTypeA);
    } catch (const EzvSocketError& error) {
      return {error.ErrorCode(), error.what()};
    }
    return {0, "no error"};
  }
};

Lines Zones(const std::vector<TzvTraceStep>& steps) {
  Lines zones;
  for (const auto& step : steps) zones.push_back(step.Zone);
  return zones;
}

const TServer kTestReferral = Refers("test", {"ns.test"}, {{"ns.test", {"10.0.0.2"}}});

// ---- the walk ----

// A server that fails in any way is passed over for the zone's next one; the step names
// what each failure was. When none is left the trace ends with all the reasons.
TEST(Trace, FallsBackToTheZonesNextServer) {
  const std::pair<const char*, TServer> failures[] = {
      {"Timeout", Silent()},           {"SERVFAIL", Fails(2)},
      {"REFUSED", Fails(5)},           {"neither an answer nor a referral", Fails(0)},
      {"Connection refused", nullptr},  // nobody at that address
  };
  for (const auto& [why, first] : failures) {
    SCOPED_TRACE(why);
    TScriptedTrace t({{"a.root.", {"10.0.0.1"}}, {"b.root.", {"10.0.0.9", "10.0.0.2"}}});
    if (first) t.servers["10.0.0.1"] = first;
    t.servers["10.0.0.2"] = Holds({{"x.test", "192.0.2.7"}});
    const auto steps = t.trace.Run("x.test", kzvDnsTypeA);
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].Outcome, TzvTraceOutcome::Answer);
    EXPECT_EQ(steps[0].ServerName, "b.root.");
    EXPECT_EQ(steps[0].ServerAddress, "10.0.0.2");
    ASSERT_EQ(steps[0].Failures.size(), 2u);
    EXPECT_NE(steps[0].Failures[0].find(why), std::string::npos) << steps[0].Failures[0];
    EXPECT_EQ(steps[0].Failures[0].rfind("10.0.0.1 (a.root.): ", 0), 0u);
    EXPECT_EQ(steps[0].Failures[1].rfind("10.0.0.9 (b.root.): ", 0), 0u);

    t.servers["10.0.0.2"] = Fails(5);
    const auto [code, what] = t.RunError("x.test");
    EXPECT_EQ(code, kzvDnsErrTraceNoServer);
    EXPECT_NE(what.find("no server of . answered for x.test."), std::string::npos) << what;
    EXPECT_NE(what.find(why), std::string::npos) << what;
    EXPECT_NE(what.find("REFUSED"), std::string::npos) << what;
    ASSERT_EQ(t.trace.Steps().size(), 1u);  // the failed step is kept
    EXPECT_EQ(t.trace.Steps()[0].Outcome, TzvTraceOutcome::NoAnswer);
    EXPECT_EQ(t.trace.Steps()[0].ResponseCode, -1);
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
  const auto [code, what] = t.RunError("loop.test");
  EXPECT_EQ(code, kzvDnsErrTraceLoop);
  EXPECT_NE(what.find("alias loop: back.other. leads back to loop.test."), std::string::npos)
      << what;
}

// ---- loops and bounds ----

TEST(Trace, ReferralLoopsEndWithAnError) {
  const std::tuple<const char*, TServer, const char*> cases[] = {
      {"to itself", kTestReferral,
       "the servers of test. refer www.b.test. to test., which the trace has visited already"},
      {"back up", Refers("", {"root.test"}, {{"root.test", {"10.0.0.1"}}}),
       "refer www.b.test. to ., which the trace has visited already"},
      {"sideways", Refers("other", {"ns.other"}, {{"ns.other", {"10.0.0.3"}}}),
       "the servers of test. refer www.b.test. to other., which is not closer to it"},
      {"to another branch", Refers("a.test", {"ns.a.test"}, {{"ns.a.test", {"10.0.0.3"}}}),
       "refer www.b.test. to a.test., which is not closer to it"},
  };
  for (const auto& [name, second, error] : cases) {
    SCOPED_TRACE(name);
    TScriptedTrace t;
    t.servers["10.0.0.1"] = kTestReferral;
    t.servers["10.0.0.2"] = second;
    const auto [code, what] = t.RunError("www.b.test");
    EXPECT_EQ(code, kzvDnsErrTraceLoop);
    EXPECT_NE(what.find(error), std::string::npos) << what;
    EXPECT_EQ(what.rfind("referral loop: ", 0), 0u) << what;
    // The step that referred is kept, and nothing more was asked.
    EXPECT_EQ(t.trace.Steps().size(), 2u);
    EXPECT_EQ(t.asked.size(), 2u);
  }
}

TEST(Trace, StopsAfterMaxStepsAndMaxQuestions) {
  // The root's server plays every zone of l11. ... .l0.n, each answer a delegation one label
  // closer to the name than the last: a chain longer than MaxSteps.
  TScriptedTrace t;
  Lines zones = {"n"};
  for (int i = 0; i < 12; ++i) zones.push_back("l" + std::to_string(i) + "." + zones.back());
  std::size_t step = 0;
  t.servers["10.0.0.1"] = [&](const TzvTraceQuestion& q) {
    const std::string& zone = zones[step++];
    return Refers(zone, {"ns." + zone}, {{"ns." + zone, {"10.0.0.1"}}})(q);
  };
  t.trace.SetMaxSteps(5);
  auto [code, what] = t.RunError(zones.back());
  EXPECT_EQ(code, kzvDnsErrTraceTooLong);
  EXPECT_NE(what.find("takes more than 5 steps"), std::string::npos) << what;
  EXPECT_EQ(t.trace.Steps().size(), 5u);

  // Servers that all fail: the questions run out before the servers do.
  TzvRootHints many;
  for (int i = 0; i < 40; ++i) many.push_back({"r" + std::to_string(i) + ".", {"10.9.0.1"}});
  TScriptedTrace silent(many);
  silent.servers["10.9.0.1"] = Silent();
  silent.trace.SetMaxQuestions(3);
  std::tie(code, what) = silent.RunError("x.test");
  EXPECT_EQ(code, kzvDnsErrTraceTooLong);
  EXPECT_NE(what.find("needs more than 3 questions"), std::string::npos) << what;
  EXPECT_EQ(silent.asked.size(), 3u);
}

// The whole walk has its own bound: servers that each answer late, every referral one
// label deeper, end the trace once TotalTimeOut is spent, long before MaxSteps.
TEST(Trace, EndsWithinItsTotalTimeOut) {
  TScriptedTrace t;
  Lines zones = {"n"};
  for (int i = 0; i < 40; ++i) zones.push_back("l" + std::to_string(i) + "." + zones.back());
  std::size_t step = 0;
  t.servers["10.0.0.1"] = [&](const TzvTraceQuestion& q) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string& zone = zones[step++];
    return Refers(zone, {"ns." + zone}, {{"ns." + zone, {"10.0.0.1"}}})(q);
  };
  t.trace.SetTotalTimeOut(400);
  const auto started = std::chrono::steady_clock::now();
  const auto [code, what] = t.RunError(zones.back());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));  // no hang
  EXPECT_EQ(code, kzvDnsErrTraceTooLong);
  EXPECT_NE(what.find("longer than its bound of 0.4 s"), std::string::npos) << what;
  EXPECT_LT(t.asked.size(), 10u);
}

// Without a hints file: the system's file when it can be read, else the root servers a
// resolver gives (". NS" asked with recursion; their addresses from its additional section,
// or asked of it), else the built-in list. The choice says which.
TEST(RootHints, ChosenFromTheSystemFileThenAResolverThenBuiltIn) {
  const std::string system = ::testing::TempDir() + "/pellamar-system.hints";
  std::ofstream(system) << ". NS sys.test.\nsys.test. A 127.0.0.30\n";
  const auto resolver = [](bool glued) -> TServer {
    return [glued](const TzvTraceQuestion& q) {
      EXPECT_TRUE(q.Recursive);
      auto m = Reply(q, false);
      auto ns = std::make_unique<TzvDnsNSRecord>();
      ns->Name = ".";
      ns->NameServer = "a.lab.test";
      if (q.Type == kzvDnsTypeNS) m->Answers().Add(std::move(ns));
      if (q.Type == kzvDnsTypeA) AddAddress(m->Answers(), q.Name, "127.0.0.10");
      if (glued) AddAddress(m->AdditionalRecords(), "a.lab.test", "127.0.0.10");
      return m;
    };
  };
  struct TCase {
    std::string file;
    std::map<std::string, TServer> servers;  // of the resolvers 10.0.0.1 and 10.0.0.53
    std::string said;
    Lines asked;
  };
  const std::string via_53 = "root hints from the resolver 10.0.0.53";
  const TCase cases[] = {
      {system, {}, "root hints from " + system, {}},
      {"/none", {{"10.0.0.53", resolver(true)}}, via_53, {"10.0.0.1 ", "10.0.0.53 "}},
      {"/none",
       {{"10.0.0.1", Fails(5)}, {"10.0.0.53", resolver(false)}},
       via_53,
       {"10.0.0.1 ", "10.0.0.53 ", "10.0.0.53 a.lab.test"}},
      {"/none",
       {{"10.0.0.1", Silent()}, {"10.0.0.53", Fails(0)}},
       "root hints built in",
       {"10.0.0.1 ", "10.0.0.53 "}},
  };
  for (const auto& c : cases) {
    TScriptedTrace t;
    t.servers = c.servers;
    const TzvRootHintsChoice choice = t.trace.ChooseRootHints({"10.0.0.1", "10.0.0.53"}, c.file);
    EXPECT_EQ(RootHintsSourceText(choice), c.said);
    EXPECT_EQ(t.asked, c.asked) << c.said;
    if (c.said == via_53) {
      EXPECT_EQ(choice.Hints, (TzvRootHints{{"a.lab.test.", {"127.0.0.10"}}}));
    }
  }
  std::remove(system.c_str());
}

// ---- name servers without glue ----

// Glue is taken only for names inside the referring zone: an address for another name could
// point the trace anywhere, so that server is looked up by a trace of its own (level 1).
TEST(Trace, LooksUpAServerWhoseGlueIsOutsideTheReferringZone) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = [](const TzvTraceQuestion& q) {
    if (q.Name == "ns.evil.net") return Holds({{"ns.evil.net", "10.0.0.7"}})(q);
    return kTestReferral(q);
  };
  t.servers["10.0.0.2"] = Refers("b.test", {"ns.evil.net"}, {{"ns.evil.net", {"10.6.6.6"}}});
  t.servers["10.0.0.7"] = Holds({{"www.b.test", "192.0.2.1"}});
  Lines told;
  const auto steps = t.trace.Run("www.b.test", kzvDnsTypeA, [&](const TzvTraceStep& s) {
    told.push_back(std::to_string(s.Level) + " " + s.Zone + " " + s.Name);
  });
  EXPECT_EQ(told, (Lines{"0 . www.b.test.", "0 test. www.b.test.", "1 . ns.evil.net.",
                         "0 b.test. www.b.test."}));
  EXPECT_EQ(steps.back().ServerAddress, "10.0.0.7");
  EXPECT_EQ(steps.back().Servers, (std::vector<TzvTraceServer>{{"ns.evil.net.", {"10.0.0.7"}}}));
  EXPECT_EQ(steps.back().Outcome, TzvTraceOutcome::Answer);
  for (const auto& line : t.asked) EXPECT_EQ(line.find("10.6.6.6"), std::string::npos);
}

// A server whose name lies in the zone it serves, given without glue, can never be found:
// the nested traces stop at their bound and the zone fails.
TEST(Trace, GluelessServersInsideTheirOwnZoneEndBounded) {
  TScriptedTrace t;
  t.servers["10.0.0.1"] = Refers("test", {"ns.test"});
  const auto [code, what] = t.RunError("www.test");
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
    t.RunError("x.test");  // nobody answers
    EXPECT_EQ(t.asked, asked);
  }
}

}  // namespace
