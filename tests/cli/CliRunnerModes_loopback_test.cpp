// pellamar-cli's further types, output modes and exit statuses against the loopback NSD
// servers (tests/netns/nsd/*.zone) and the scripted responder. JSON output is checked by
// Python's own parser, not by reading it back with our writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "cli/CliRunner.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

CliRun RunAt127(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "@127.0.0.1");
  return RunCliCaptured(arguments);
}

// Runs python3 on the JSON text with a script that reads it as `d` and prints one
// value; returns what it printed, or "invalid JSON" when the parser refused the text.
std::string PythonReads(const std::string& json, const std::string& expression) {
  const auto stem =
      std::filesystem::temp_directory_path() / ("pellamar-json-" + std::to_string(::getpid()));
  const auto data = stem.string() + ".json";
  const auto script = stem.string() + ".py";
  std::ofstream(data) << json;
  std::ofstream(script) << "import json, sys\n"
                           "try:\n"
                           "    d = json.load(sys.stdin)\n"
                           "except ValueError:\n"
                           "    print('invalid JSON')\n"
                           "    sys.exit()\n"
                           "print("
                        << expression << ")\n";
  std::string printed = CommandOutput("python3 " + script + " < " + data);
  std::filesystem::remove(data);
  std::filesystem::remove(script);
  if (!printed.empty() && printed.back() == '\n') printed.pop_back();
  return printed;
}

TEST(CliTypes, EachNewTypePrintsItsSection) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"aaaa", "dual.pellamar.test"}, "====== Hosts ======\ndual.pellamar.test, 2001:db8::50\n\n"},
      {{"txt2.pellamar.test", "txt"},
       "====== Textos ======\ntxt2.pellamar.test, \"uno\" \"dos\"\n\n"},
      {{"-t", "soa", "pellamar.test"},
       "====== Inicio de Autoridad ======\npellamar.test, ns1.pellamar.test, "
       "hostmaster.pellamar.test, Serial 1, Refresh 3600, Retry 600, Expire 86400, Minimum "
       "300\n\n"},
      {{"cname", "www.pellamar.test"},
       "====== Nombres Canónicos ======\nwww.pellamar.test, host4.pellamar.test\n\n"},
      {{"srv", "_ldap._tcp.pellamar.test"},
       "====== Servicios ======\n_ldap._tcp.pellamar.test, Priority 10, Weight 60, Port 389, "
       "host4.pellamar.test\n\n"},
      {{"caa", "pellamar.test"},
       "====== Autoridades de Certificación ======\npellamar.test, Flags 0, issue "
       "\"ca.pellamar.test\"\n\n"},
      {{"-x", "::1"}, "====== Hosts ======\nhost6.pellamar.test, ::1\n\n"},
      {{"café.pellamar.test"},
       "====== Hosts ======\nxn--caf-dma.pellamar.test (café.pellamar.test), 127.0.0.60\n\n"},
      {{"ptr", "odd.pellamar.test"},
       "====== Hosts ======\nb\\007l\\233.pellamar.test, odd.pellamar.test\n"},
      // An alias met on the way is listed after the type's own section.
      {{"txt", "alias2.pellamar.test"}, "====== Alias ======\nalias2.pellamar.test\n"},
  };
  for (const auto& [arguments, start] : cases) {
    const CliRun run = RunAt127(arguments);
    EXPECT_EQ(run.status, 0) << arguments.back() << run.err;
    EXPECT_EQ(run.out.rfind(start, 0), 0u) << run.out;
  }
}

TEST(CliModes, ShortPrintsTheAnswerDataOnly) {
  REQUIRE_LOOPBACK_NAMESPACE();
  EXPECT_EQ(RunAt127({"--short", "multi.pellamar.test"}).out, "127.0.0.45\n127.0.0.46\n");
  EXPECT_EQ(RunAt127({"--short", "alias2.pellamar.test"}).out,
            "www.pellamar.test.\nhost4.pellamar.test.\n127.0.0.44\n");
  // A null MX and a service that is not there name the root.
  EXPECT_EQ(RunAt127({"--short", "mx", "nullmx.pellamar.test"}).out, "0 .\n");
  EXPECT_EQ(RunAt127({"--short", "srv", "_none._tcp.pellamar.test"}).out, "0 0 0 .\n");
  const CliRun failed = RunAt127({"--short", "nosuch.pellamar.test"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out, "");
}

TEST(CliModes, JsonIsOneObjectAPythonParserReads) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun run = RunAt127({"--json", "mx", "mx6.pellamar.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(PythonReads(run.out, "d['question']"),
            "{'name': 'mx6.pellamar.test', 'type': 'MX', 'class': 'IN'}");
  EXPECT_EQ(
      PythonReads(run.out, "(d['server'], d['port'], d['transport'], d['rcode'], d['error'])"),
      "('127.0.0.1', 53, 'UDP', 'NOERROR', None)");
  EXPECT_EQ(PythonReads(run.out, "d['answer']"),
            "[{'name': 'mx6.pellamar.test', 'type': 'MX', 'class': 'IN', 'ttl': 300, "
            "'data': '10 host6.pellamar.test'}]");
  EXPECT_EQ(PythonReads(run.out, "[r['type'] for r in d['authority'] + d['additional']]"),
            "['NS', 'NS', 'A', 'A', 'AAAA']");

  // Names with escapes and Unicode forms, and an error reply, still parse.
  EXPECT_EQ(
      PythonReads(RunAt127({"--json", "ptr", "odd.pellamar.test"}).out, "d['answer'][0]['data']"),
      "b\\007l\\233.pellamar.test");
  EXPECT_EQ(
      PythonReads(RunAt127({"--json", "café.pellamar.test"}).out, "d['answer'][0]['name_unicode']"),
      "café.pellamar.test");
  const CliRun nx = RunAt127({"--json", "nosuch.pellamar.test"});
  EXPECT_EQ(nx.status, 1);
  EXPECT_EQ(PythonReads(nx.out, "(d['rcode'], d['error'], d['authority'][0]['type'])"),
            "('NXDOMAIN', 'No such name (3)', 'SOA')");
}

TEST(CliModes, VerboseWritesTheExchangeOnStandardError) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun run = RunAt127({"--verbose", "host4.pellamar.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("====== Hosts ======\nhost4.pellamar.test, 127.0.0.44\n\n", 0), 0u);
  EXPECT_EQ(run.err.rfind(";; server 127.0.0.1 port 53 over UDP, ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(" ms, 1 try\n;; response NOERROR, flags: qr aa rd\n"
                         ";; OPT PSEUDOSECTION:\n; EDNS: version: 0, flags:; udp: 1232\n"
                         ";; answer:\nhost4.pellamar.test\t300\tIN\tA\t127.0.0.44\n"),
            std::string::npos)
      << run.err;
  // Over TCP alone no datagram was sent: no count of tries ("0 tries" read as a failure).
  const CliRun tcp = RunAt127({"--verbose", "--tcp", "host4.pellamar.test"});
  EXPECT_EQ(tcp.err.find(" try"), std::string::npos) << tcp.err;
  EXPECT_NE(tcp.err.find(" over TCP, "), std::string::npos) << tcp.err;
}

TEST(CliExchange, NsidGenericTypesClassesAndTcpAgainstNsd) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string nsid = RunAt127({"--nsid", "host4.pellamar.test"}).out;
  const std::string section =
      "====== Identificador del Servidor (NSID) ======\n"
      "6e 73 64 2e 70 65 6c 6c 61 6d 61 72 2e 74 65 73 74 (\"nsd.pellamar.test\")\n\n";
  EXPECT_EQ(nsid.substr(nsid.size() - std::min(nsid.size(), section.size())), section) << nsid;
  EXPECT_EQ(PythonReads(RunAt127({"--json", "+nsid", "host4.pellamar.test"}).out,
                        "(d['edns']['nsid'], d['edns']['udp'], d['tries'])"),
            "({'text': 'nsd.pellamar.test', 'hex': '6e73642e70656c6c616d61722e74657374'}, "
            "1232, 1)");

  EXPECT_EQ(RunAt127({"generic.pellamar.test", "TYPE65400"}).out,
            "====== Registros ======\ngeneric.pellamar.test, TYPE65400, \\# 4 0A000001\n\n");
  EXPECT_EQ(RunAt127({"+short", "type65400", "generic.pellamar.test"}).out, "\\# 4 0A000001\n");
  EXPECT_EQ(PythonReads(RunAt127({"--json", "generic.pellamar.test", "TYPE65400"}).out,
                        "(d['answer'][0]['data'], d['answer'][0]['rdata_hex'])"),
            "('\\\\# 4 0a000001', '0a000001')");

  EXPECT_EQ(RunAt127({"-c", "ch", "txt", "version.bind"}).out,
            "====== Textos ======\nversion.bind, \"pellamar-test-nsd\"\n\n");
  EXPECT_EQ(PythonReads(RunAt127({"--json", "--tcp", "host4.pellamar.test"}).out,
                        "(d['transport'], d['tries'], d['answer'][0]['data'])"),
            "('TCP', 0, '127.0.0.44')");
}

TEST(CliExchange, TheConfiguredServersAreAskedInTurn) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Nothing listens at .67; .65 is silent; .66 answers. All on one port.
  ScriptedDnsResponder silent("127.0.0.65");
  ScriptedDnsResponder answering("127.0.0.66", silent.Port());
  silent.SetDefaultReply(ScriptedDnsResponder::Silence());
  const auto configured = [](TStrings& servers) {
    for (const char* server : {"127.0.0.67", "127.0.0.65", "127.0.0.66"}) servers.Add(server);
  };
  const std::string port = std::to_string(silent.Port());
  const CliRun run =
      RunCliCaptured({"-p", port, "-W", "3", "--json", "--verbose", "x.test"}, configured);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(PythonReads(run.out, "(d['server'], d['answer'][0]['data'], d['failed_servers'])"),
            "('127.0.0.66', '127.0.0.99', [{'server': '127.0.0.67', 'error': 'Connection "
            "refused (111)'}, {'server': '127.0.0.65', 'error': 'Timeout error occured (-1)'}])");
  EXPECT_NE(run.err.find(";; server 127.0.0.65: Timeout error occured (-1); trying the next one"),
            std::string::npos)
      << run.err;
  // The refused server gave its time to the others: .65 had half of the 3 s, so all
  // three tries.
  EXPECT_EQ(silent.RequestCount(), 3);
  EXPECT_EQ(answering.RequestCount(), 1);
}

// Two copies of batch.pellamar.test (serial 1 on .4, 2 on .5, other addresses) and a
// silent server, all asked at once.
TEST(CliSeveralServers, AskedAtOnceComparedAndASilentOneCostsOneTimeOut) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder silent("127.0.0.69", 53);
  silent.SetDefaultReply(ScriptedDnsResponder::Silence());
  const auto started = std::chrono::steady_clock::now();
  CliRun run = RunCliCaptured(
      {"@127.0.0.4", "@127.0.0.5", "-s", "127.0.0.69", "-W", "1", "batch.pellamar.test", "soa"});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1800));
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.out.find(";; server 127.0.0.4\n====== Inicio de Autoridad ======\n"
                         "batch.pellamar.test, ns.batch.pellamar.test, hostmaster.pellamar.test, "
                         "Serial 1,"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(";; server 127.0.0.69\n====== Error ======\n"), std::string::npos);
  const std::string differences =
      ";; the answers differ:\n"
      ";;   response: 127.0.0.4 NOERROR, 127.0.0.5 NOERROR, 127.0.0.69 no answer\n"
      ";;   batch.pellamar.test SOA ns.batch.pellamar.test hostmaster.pellamar.test 1 3600 "
      "600 86400 300  only from 127.0.0.4\n"
      ";;   batch.pellamar.test SOA ns.batch.pellamar.test hostmaster.pellamar.test 2 3600 "
      "600 86400 300  only from 127.0.0.5\n"
      ";;   SOA serial: 127.0.0.4 1, 127.0.0.5 2, 127.0.0.69 -\n";
  EXPECT_EQ(run.out.substr(run.out.find(";; the answers")), differences);
  EXPECT_NE(run.err.find("pellamar-cli: 127.0.0.69: Timeout"), std::string::npos) << run.err;

  run = RunCliCaptured({"@127.0.0.4", "@127.0.0.4", "--short", "h7.batch.pellamar.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            ";; server 127.0.0.4\n10.4.0.7\n;; server 127.0.0.4\n10.4.0.7\n;; the answers agree\n");
  run = RunCliCaptured({"@127.0.0.4", "@127.0.0.5", "--json", "h7.batch.pellamar.test"});
  EXPECT_EQ(PythonReads(run.out.substr(run.out.find('\n') + 1),
                        "(d['server'], d['answer'][0]['data'], d['agree'])"),
            "('127.0.0.5', '10.5.0.7', False)");
}

// Many copies of one server: up to the limit every one is asked (a few dozen at a time)
// and answers; one more is refused before anything is sent.
TEST(CliSeveralServers, AsManyAsTheLimitAreAllAskedAndOneMoreIsAUsageError) {
  REQUIRE_LOOPBACK_NAMESPACE();
  std::vector<std::string> arguments(1000, "@127.0.0.1");
  arguments.insert(arguments.end(), {"--short", "host4.pellamar.test"});
  CliRun run = RunCliCaptured(arguments);
  EXPECT_EQ(run.status, 0);
  std::string each;
  for (int i = 0; i < 1000; ++i) each += ";; server 127.0.0.1\n127.0.0.44\n";
  EXPECT_EQ(run.out, each + ";; the answers agree\n");
  arguments.push_back("@127.0.0.1");
  run = RunCliCaptured(arguments);
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("at most 1000 servers"), std::string::npos) << run.err;
}

// A batch file of good, bad and failing lines against the 5,000-name zone on 127.0.0.4,
// a few in flight at once: every answer in the file's order, every bad line named.
TEST(CliBatch, AnswersInTheFilesOrderAndBadLinesByNumber) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string path = ::testing::TempDir() + "/pellamar-batch.txt";
  {
    std::ofstream file(path, std::ios::binary);
    file << "# hosts\nh1.batch.pellamar.test\n\nbatch.pellamar.test SOA\nFOO x.test\n";
    for (int i = 4990; i < 5000; ++i) file << "A h" << i << ".batch.pellamar.test\n";
    file << "nothere.batch.pellamar.test\n" << std::string(2000, 'x') << "\n";
    file << "h4.batch.pellamar.test aaaa\n" << std::string("\xff\x01\0", 3) << "\n";
  }
  std::string expected =
      "h1.batch.pellamar.test A 10.4.0.1\n"
      "batch.pellamar.test SOA ns.batch.pellamar.test. hostmaster.pellamar.test. 1 3600 600 "
      "86400 300\n";
  for (int i = 4990; i < 5000; ++i)
    expected += "h" + std::to_string(i) + ".batch.pellamar.test A 10.4." + std::to_string(i / 256) +
                "." + std::to_string(i % 256) + "\n";
  expected += "nothere.batch.pellamar.test A ;; NXDOMAIN\nh4.batch.pellamar.test AAAA\n";
  // From the zone's server over UDP, and through the namespace's Unbound over TLS.
  const std::string ca = NetnsRunDir() + "/tls/ca.pem";
  const std::vector<std::string> servers[] = {
      {"@127.0.0.4"}, {"@dns.pellamar.test", "-p", "853", "--tls", "--tls-ca", ca}};
  CliRun run;
  for (const auto& server : servers) {
    SCOPED_TRACE(server.back());
    std::vector<std::string> arguments = server;
    arguments.insert(arguments.end(), {"--concurrency", "3", "--short", "-f", path});
    run = RunCliCaptured(arguments);
    EXPECT_EQ(run.status, kCliUsageError);  // the bad lines; NXDOMAIN gives 1
    EXPECT_EQ(run.out, expected);
    for (const char* line :
         {"pellamar-cli: line 5: unknown TYPE 'x.test'", "pellamar-cli: line 16: No such name (3)",
          "pellamar-cli: line 17: longer than 1024 bytes",
          "pellamar-cli: line 19: holds a NUL byte"})
      EXPECT_NE(run.err.find(line), std::string::npos) << line << " in\n" << run.err;
  }

  // JSON Lines from standard input's stand-in, one object a question.
  run = RunCliCaptured({"@127.0.0.4", "--json", "-t", "soa", "-f", path});
  EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 14);
  EXPECT_EQ(PythonReads(run.out.substr(0, run.out.find('\n')),
                        "(d['question']['type'], d['authority'][0]['type'])"),
            "('SOA', 'SOA')");
  std::remove(path.c_str());
}

// Traces through the signed tree (root 127.0.0.10, example. on .11, the children on .12)
// and into parent.test's delegation back to its own server, from hints files.
TEST(CliTrace, EachStepFromTheRootAndALoopEndsWithItsReason) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string hints = ::testing::TempDir() + "/pellamar-cli.hints";
  auto hints_for = [&](const char* server, const char* address) {
    std::ofstream(hints) << ". 3600000 NS " << server << "\n"
                         << server << " 3600000 A " << address << "\n";
  };
  hints_for("a.root-servers.example.", "127.0.0.10");
  CliRun run = RunCliCaptured({"--root-hints", hints, "www.ed.example"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<std::string> zones;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(";; zone ", 0) == 0) zones.push_back(line.substr(0, line.find(" in ")));
  EXPECT_EQ(zones, (std::vector<std::string>{";; zone .: 127.0.0.10 (a.root-servers.example.)",
                                             ";; zone example.: 127.0.0.11 (ns1.example.)",
                                             ";; zone ed.example.: 127.0.0.12 (ns2.example.)"}));
  EXPECT_NE(run.out.find("www.ed.example\t300\tIN\tA\t192.0.2.10\n;; zone ed.example."),
            std::string::npos)
      << run.out;

  hints_for("ns.parent.test.", "127.0.0.2");
  run = RunCliCaptured({"+trace", "--root-hints", hints, "--json", "www.loop.parent.test"});
  EXPECT_EQ(run.status, kCliNoAnswer);
  EXPECT_EQ(PythonReads(run.out, "([s['zone'] for s in d['steps']], d['error'][:14])"),
            "(['.', 'loop.parent.test.'], 'referral loop:')");
  EXPECT_NE(run.err.find("pellamar-cli: referral loop"), std::string::npos) << run.err;
  std::remove(hints.c_str());
}

// No hints file: the resolver named with @ (the signed tree's Unbound, which recurses from
// the lab root) gives the root servers, and the walk starts at the lab root, saying so.
// (The namespace covers any system root.hints, so the resolver is what is asked.)
TEST(CliTrace, WithoutHintsTheResolverGivesTheRootServers) {
  REQUIRE_LOOPBACK_NAMESPACE();
  CliRun run = RunCliCaptured({"@127.0.0.53", "--trace", "www.ed.example"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind(";; root hints from the resolver 127.0.0.53\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find(";; zone .: 127.0.0.10 (a.root-servers.example.)"), std::string::npos)
      << run.out;
  run = RunCliCaptured({"@127.0.0.53", "--trace", "--json", "www.ed.example"});
  EXPECT_EQ(PythonReads(run.out,
                        "(d['root_hints']['source'], d['root_hints']['from'], "
                        "[s['server'] for s in d['steps']])"),
            "('resolver', '127.0.0.53', ['127.0.0.10', '127.0.0.11', '127.0.0.12'])");
}

TEST(CliExchange, AServerThatRefusesEdnsIsAskedWithoutAndItIsSaid) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder server("127.0.0.68");
  server.Script({ScriptedDnsResponder::ResponseCode(1), ScriptedDnsResponder::Answer()});
  const CliRun run = RunCliCaptured(
      {"-s", "127.0.0.68", "-p", std::to_string(server.Port()), "--json", "--verbose", "x.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(PythonReads(run.out, "(d['edns_fallback'], d['edns'], d['tries'])"), "(True, None, 1)");
  EXPECT_NE(run.err.find("refused the question with EDNS; asked again without it"),
            std::string::npos);
}

TEST(CliDnssecTypes, ShowTheRecordsAsDigDoesWithTheirFieldsInJson) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // The signed tree's resolver, keys made afresh for every run: dig is the reference.
  const std::pair<const char*, const char*> questions[] = {{"dnskey", "ed.example"},
                                                           {"ds", "ec.example"},
                                                           {"rrsig", "www.rsa.example"},
                                                           {"nsec", "ed.example"},
                                                           {"nsec3param", "ec.example"}};
  for (const auto& [type, name] : questions) {
    const CliRun run = RunCliCaptured(
        {"@127.0.0.53", "+short", "--trust-anchor",
         std::string(std::getenv("PELLAMAR_NETNS_RUN")) + "/dnssec/root.anchor", type, name});
    EXPECT_EQ(run.status, 0) << type;
    EXPECT_FALSE(run.out.empty()) << type;
    const std::string dig = CommandOutput(std::string("dig @127.0.0.53 +short +dnssec ") + name +
                                          " " + type + " 2>/dev/null");
    // dig lists an RRset in no fixed order: compare the lines as sets.
    auto lines = [](const std::string& text) {
      std::multiset<std::string> set;
      std::istringstream in(text);
      for (std::string line; std::getline(in, line);) set.insert(line);
      return set;
    };
    EXPECT_EQ(lines(run.out), lines(dig)) << type << " " << name;
  }
  const CliRun keys = RunCliCaptured({"@127.0.0.53", "--json", "dnskey", "ed.example"});
  const CliRun ds = RunCliCaptured({"@127.0.0.53", "--json", "ds", "ed.example"});
  EXPECT_EQ(PythonReads(keys.out, "sorted(r['algorithm'] for r in d['answer'])"), "[15, 15]");
  // The DS names the key-signing key by its tag.
  EXPECT_EQ(PythonReads(ds.out, "d['answer'][0]['key_tag']"),
            PythonReads(keys.out, "[r['key_tag'] for r in d['answer'] if r['flags'] == 257][0]"));
  EXPECT_EQ(PythonReads(ds.out, "(d['answer'][0]['digest_type'], len(d['answer'][0]['digest']))"),
            "(2, 64)");
}

TEST(CliDnssec, TheVerdictFollowsTheAnswerAndBogusExitsWithFive) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string anchor = std::string(std::getenv("PELLAMAR_NETNS_RUN")) + "/dnssec/root.anchor";
  const std::tuple<const char*, int, const char*> cases[] = {
      {"www.ed.example", 0, ";; DNSSEC: secure\n"},
      {"www.insecure.example", 0, ";; DNSSEC: insecure\n"},
      {"nothing.ec.example", 1, ";; DNSSEC: secure\n"},
      {"www.bogus-ds.example", 5,
       ";; DNSSEC: bogus (bogus-ds.example: DS does not match any DNSKEY)\n"}};
  for (const auto& [name, status, line] : cases) {
    const CliRun run = RunCliCaptured({"@127.0.0.53", "--trust-anchor", anchor, name});
    EXPECT_EQ(run.status, status) << name;
    EXPECT_TRUE(run.out.ends_with(line)) << run.out;
  }
  // A bogus answer is still shown, flagged.
  const CliRun bogus =
      RunCliCaptured({"@127.0.0.53", "--json", "--trust-anchor", anchor, "www.edited.example"});
  EXPECT_EQ(bogus.status, 5);
  EXPECT_EQ(PythonReads(bogus.out, "(d['dnssec'], d['dnssec_reason'], d['answer'][0]['data'])"),
            "('bogus', 'www.edited.example/A: RRSIG failed to verify', '192.0.2.66')");
  // Without --dnssec nothing is judged; an anchor file that cannot be used is a usage error.
  EXPECT_EQ(PythonReads(RunCliCaptured({"@127.0.0.53", "--json", "www.ed.example"}).out,
                        "(d['dnssec'], 'cd' in d['flags'])"),
            "(None, False)");
  EXPECT_EQ(RunCliCaptured({"@127.0.0.53", "--trust-anchor", "/nonexistent", "x"}).status, 2);
}

TEST(CliExitStatus, TellsTheCausesApart) {
  REQUIRE_LOOPBACK_NAMESPACE();
  EXPECT_EQ(RunAt127({"mx", "host4.pellamar.test"}).status, 0);  // answered, nothing to show
  EXPECT_EQ(RunAt127({"nosuch.pellamar.test"}).status, 1);       // NXDOMAIN
  EXPECT_EQ(RunAt127({"-x", "::2"}).status, 1);                  // NXDOMAIN under ip6.arpa
  EXPECT_EQ(RunAt127({"not-served.example"}).status, 1);         // REFUSED: not NSD's zone
  const CliRun usage = RunAt127({"--timeout=-5", "host4.pellamar.test"});
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");

  // No usable answer: a server that stays silent, and one whose answer is malformed.
  for (const auto& reply : {ScriptedDnsResponder::Silence(), ScriptedDnsResponder::Malformed()}) {
    ScriptedDnsResponder responder("127.0.0.103");
    responder.SetDefaultReply(reply);
    const std::vector<std::string> arguments = {
        "-s", "127.0.0.103", "-p", std::to_string(responder.Port()), "-W", "1", "x.test"};
    std::ostringstream out, err;
    EXPECT_EQ(RunCli(arguments, out, err), 4) << err.str();
    EXPECT_EQ(out.str(), "====== Error ======\n - El servidor no responde.\n");
  }
}

}  // namespace
