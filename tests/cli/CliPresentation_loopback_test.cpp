// How records come out of pellamar-cli against the loopback NSD's types.test zone (a name
// for every record type, tests/netns/nsd/types.test.zone): --short byte for byte as dig
// +short, run beside it as the reference, and one record's JSON object alike in every
// mode that prints records.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/CliRunner.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/NetNamespace.h"

namespace {

// What python3 prints of `expression` over the JSON objects of `text`, one a line, read
// as the list `d`.
std::string PythonReads(const std::string& text, const std::string& expression) {
  const auto stem =
      std::filesystem::temp_directory_path() / ("pellamar-present-" + std::to_string(::getpid()));
  std::ofstream(stem.string() + ".json") << text;
  std::ofstream(stem.string() + ".py")
      << "import json, sys\nd = [json.loads(l) for l in sys.stdin if l.strip()]\nprint("
      << expression << ")\n";
  std::string printed =
      CommandOutput("python3 " + stem.string() + ".py < " + stem.string() + ".json 2>&1");
  std::filesystem::remove(stem.string() + ".json");
  std::filesystem::remove(stem.string() + ".py");
  if (!printed.empty() && printed.back() == '\n') printed.pop_back();
  return printed;
}

TEST(CliPresentation, ShortAndTheAnswerSectionAreDigsByteForByteOnEveryType) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::pair<const char*, const char*> questions[] = {
      {"soa", "types.test"}, {"ns", "types.test"},
      {"mx", "mx"},          {"mx", "nullmx"},
      {"srv", "srv"},        {"ptr", "ptr"},
      {"cname", "cname"},    {"txt", "txt"},
      {"a", "cname"},  // an alias to a name that does not exist
      {"caa", "caa"},        {"hinfo", "hinfo"},
      {"rp", "rp"},          {"loc", "loc"},
      {"loc", "loc2"},       {"naptr", "naptr"},
      {"naptr", "naptr2"},   {"kx", "kx"},
      {"cert", "cert"},      {"cert", "cert2"},
      {"dname", "dname"},    {"apl", "apl"},
      {"sshfp", "sshfp"},    {"ipseckey", "ipseckey"},
      {"dhcid", "dhcid"},    {"tlsa", "_443._tcp"},
      {"smimea", "smimea"},  {"openpgpkey", "openpgp"},
      {"cds", "cds"},        {"cdnskey", "cdnskey"},
      {"csync", "csync"},    {"zonemd", "zonemd"},
      {"svcb", "svcb"},      {"https", "https"},
      {"https", "https0"},   {"nid", "nid"},
      {"l32", "l32"},        {"l64", "l64"},
      {"eui48", "eui48"},    {"eui64", "eui64"},
      {"uri", "uri"}};
  for (const auto& [type, label] : questions) {
    const std::string name =
        std::string(label) == "types.test" ? label : std::string(label) + ".types.test";
    // dig's NAME TYPE order, for both; --short, then dig's zone-file form of the answer.
    const CliRun run = RunCliCaptured({"@127.0.0.1", "+short", name, type});
    const std::string dig = CommandOutput("dig @127.0.0.1 +short " + name + " " + type + " 2>&1");
    EXPECT_FALSE(dig.empty()) << type << " " << name;
    EXPECT_EQ(run.out, dig) << type << " " << name << "\n" << run.err;
    const CliRun answer = RunCliCaptured({"@127.0.0.1", "+noall", "+answer", name, type});
    EXPECT_EQ(answer.out,
              CommandOutput("dig @127.0.0.1 +noall +answer " + name + " " + type + " 2>&1"))
        << "+noall +answer " << type << " " << name << "\n"
        << answer.err;
  }
}

// The sections output keeps its own forms: UTF-8 text as it is, the new types under
// "Registros" as the window shows them.
TEST(CliPresentation, TheSectionsOutputKeepsItsOwnForms) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"https", "https.types.test"},
       "====== Registros ======\nhttps.types.test, HTTPS, 1 . alpn=\"h3\" no-default-alpn "
       "port=443\n\n"},
      {{"naptr", "naptr2.types.test"},
       "====== Registros ======\nnaptr2.types.test, NAPTR, 10 0 \"u\" \"E2U+sip\" "
       "\"!^.*$!sip:info@types.test!\" .\n\n"},
      {{"txt", "txt.types.test"},
       "====== Textos ======\ntxt.types.test, \"caf\xC3\xA9\" \"say \\\"hi\\\"\" "
       "\"back\\\\slash\" \"tab\\009end\\255\"\n\n"}};
  for (const auto& [arguments, expected] : cases) {
    std::vector<std::string> all = {"@127.0.0.1"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(RunCliCaptured(all).out, expected) << arguments[1];
  }
}

TEST(CliPresentation, OneRecordIsTheSameJsonObjectInEveryMode) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string dir = ::testing::TempDir();
  const std::string hints = dir + "/pellamar-present.hints", batch = dir + "/pellamar-present.txt";
  // The "root" is types.test's own server, which answers the question itself.
  std::ofstream(hints) << ". 3600000 NS ns1.types.test.\nns1.types.test. 3600000 A 127.0.0.1\n";
  std::ofstream(batch) << "types.test SOA\n";
  const std::string soa = "[r for r in %s if r['type'] == 'SOA'][0]";
  const std::pair<std::vector<std::string>, std::string> modes[] = {
      {{"@127.0.0.1", "--json", "soa", "types.test"}, "d[0]['answer']"},
      {{"@127.0.0.1", "--json", "-f", batch}, "d[0]['answer']"},
      {{"@127.0.0.1", "@127.0.0.1", "--json", "soa", "types.test"}, "d[1]['answer']"},
      {{"--trace", "--root-hints", hints, "--json", "soa", "types.test"},
       "d[0]['steps'][-1]['records']"},
  };
  const std::string expected =
      "{'name': 'types.test', 'type': 'SOA', 'class': 'IN', 'ttl': 300, 'data': "
      "'ns1.types.test hostmaster.types.test 7 3600 600 86400 300'}";
  for (const auto& [arguments, records] : modes) {
    const CliRun run = RunCliCaptured(arguments);
    char expression[200];
    std::snprintf(expression, sizeof expression, soa.c_str(), records.c_str());
    EXPECT_EQ(PythonReads(run.out, expression), expected) << arguments[2] << "\n" << run.out;
  }
  std::remove(hints.c_str());
  std::remove(batch.c_str());

  // A record's own fields, named: the service bindings' parameters.
  const CliRun svcb = RunCliCaptured({"@127.0.0.1", "--json", "svcb", "svcb.types.test"});
  EXPECT_EQ(
      PythonReads(svcb.out, "{k: d[0]['answer'][0][k] for k in ('priority', 'target', 'params')}"),
      "{'priority': 1, 'target': 'svc.types.test', 'params': {'mandatory': ['alpn', "
      "'port'], 'alpn': ['h2', 'h3'], 'port': 8443, 'ipv4hint': ['192.0.2.1', "
      "'192.0.2.2'], 'ech': 'AEX+DQA=', 'ipv6hint': ['2001:db8::1'], 'key65000': "
      "'616263'}}");
  const CliRun https = RunCliCaptured({"@127.0.0.1", "--json", "https", "https.types.test"});
  EXPECT_EQ(PythonReads(https.out, "d[0]['answer'][0]['params']"),
            "{'alpn': ['h3'], 'no-default-alpn': True, 'port': 443}");
}

}  // namespace
