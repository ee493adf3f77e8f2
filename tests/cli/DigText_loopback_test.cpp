// pellamar-cli's dig form against dig itself, run beside it as the reference on the
// loopback NSD (types.test: a name for every type; example.: signed), byte for byte once
// what differs between two runs (the ID, the times) is masked.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/Version.h"
#include "tests/cli/CliTestSupport.h"
#include "tests/support/NetNamespace.h"

namespace {

// The message ID, the times and the date, which no two runs share.
std::string Masked(std::string text) {
  const std::pair<const char*, const char*> masks[] = {
      {"id: [0-9]+", "id: N"},
      {"Query time: [0-9]+ msec", "Query time: T msec"},
      {"WHEN: [^\n]*", "WHEN: W"},
      {" in [0-9]+ ms\n", " in T ms\n"},
      {"timestamp [^\n]*", "timestamp S"}};
  for (const auto& [pattern, replacement] : masks)
    text = std::regex_replace(text, std::regex(pattern), replacement);
  return text;
}

TEST(DigText, TrimmedFormsAreDigsByteForByte) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Each: the switches, the server, then NAME TYPE (dig's order, for both).
  const std::vector<std::string> cases[] = {
      {"+noall +answer", "127.0.0.1", "types.test soa"},
      {"+noall +answer", "127.0.0.1", "mx.types.test mx"},
      {"+noall +answer", "127.0.0.1", "txt.types.test txt"},
      {"+noall +answer", "127.0.0.1", "https.types.test https"},
      {"+noall +answer", "127.0.0.1", "ipseckey.types.test ipseckey"},
      {"+noall +answer", "127.0.0.1", "cdnskey.types.test cdnskey"},
      {"+noall +answer", "127.0.0.1", "_443._tcp.types.test tlsa"},
      {"+noall +answer", "127.0.0.1", "types.test any"},
      {"+noall +answer +multi", "127.0.0.1", "types.test soa"},
      {"+noall +answer +multi", "127.0.0.1", "cdnskey.types.test cdnskey"},
      {"+noall +answer +multi +dnssec", "127.0.0.11", "example dnskey"},
      {"+noall +answer +multi", "127.0.0.1", "mx.types.test mx"},
      {"+noall +answer +multi", "127.0.0.1", "cds.types.test cds"},
      {"+noall +answer +multi", "127.0.0.1", "_443._tcp.types.test tlsa"},
      {"+noall +answer +multi", "127.0.0.1", "sshfp.types.test sshfp"},
      {"+noall +answer +multi", "127.0.0.1", "zonemd.types.test zonemd"},
      {"+noall +answer +multi", "127.0.0.1", "cert.types.test cert"},
      {"+noall +answer +multi", "127.0.0.1", "ipseckey.types.test ipseckey"},
      {"+noall +answer +multi", "127.0.0.1", "dhcid.types.test dhcid"},
      {"+noall +answer +multi", "127.0.0.1", "openpgp.types.test openpgpkey"},
      {"+noall +answer +multi +dnssec", "127.0.0.11", "ed.example ds"},
      {"+noall +answer +ttlunits", "127.0.0.1", "types.test soa"},
      {"+noall +answer +nottlid", "127.0.0.1", "types.test soa"},
      {"+noall +answer +noclass", "127.0.0.1", "types.test soa"},
      {"+noall +answer +nottlid +noclass", "127.0.0.1", "types.test soa"},
      {"+noall +authority", "127.0.0.1", "nope.types.test a"},
      {"+noall +answer +additional", "127.0.0.1", "mx.types.test mx"},
      {"+noall +answer +identify", "127.0.0.1", "mx.types.test mx"},
      {"+nocmd +nocomments +nostats +question", "127.0.0.1", "txt.types.test txt"},
      // Names that reach or pass dig's columns (23 to 40 characters with the dot).
      {"+noall +question +nottlid", "127.0.0.1", "aaaaaaaaaaa.types.test a"},
      {"+noall +question", "127.0.0.1", "aaaaaaaaaaaa.types.test a"},
      {"+noall +question", "127.0.0.1", "aaaaaaaaaaaaaaaaaa.types.test a"},
      {"+noall +question", "127.0.0.1", "aaaaaaaaaaaaaaaaaaa.types.test a"},
      {"+noall +question +multi", "127.0.0.1", "aaaaaaaaaaaaaaaaaaaa.types.test a"},
      {"+noall +question", "127.0.0.1", "aaaaaaaaaaaaaaaaaaaaaaaaaaaa.types.test a"},
      {"+noall +comments", "127.0.0.1", "mx.types.test mx"},
      // The whole form but the command line, which names the program.
      {"+nocmd", "127.0.0.1", "mx.types.test mx"},
      {"+nocmd", "127.0.0.1", "nope.types.test a"},
      {"+nocmd +norec", "127.0.0.1", "types.test ns"},
      {"+nocmd +noedns", "127.0.0.1", "types.test soa"},
      {"+yaml", "127.0.0.1", "mx.types.test mx"},
  };
  for (const std::vector<std::string>& c : cases) {
    const std::string line = "@" + c[1] + " " + c[0] + " " + c[2];
    std::vector<std::string> arguments;
    std::istringstream words(line);
    for (std::string word; words >> word;) arguments.push_back(word);
    const CliRun run = RunCliCaptured(arguments);
    const std::string dig = CommandOutput("dig " + line + " 2>&1");
    EXPECT_FALSE(dig.empty()) << line;
    EXPECT_EQ(Masked(run.out), Masked(dig)) << line << "\n" << run.err;
  }
}

// --dig's own first lines and its statistics, and the JSON report's header facts.
TEST(DigText, TheFullFormNamesItsCommandAndTheReplysSize) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun run = RunCliCaptured({"@127.0.0.1", "--dig", "mx.types.test", "mx"});
  EXPECT_EQ(run.status, kCliSuccess) << run.err;
  const std::string expected = std::string("\n; <<>> pellamar-cli ") + kPellamarVersion +
                               " <<>> @127.0.0.1 --dig mx.types.test mx\n"
                               "; (1 server found)\n"
                               ";; global options: +cmd\n" +
                               Masked(CommandOutput("dig @127.0.0.1 +nocmd mx.types.test mx"));
  EXPECT_EQ(Masked(run.out), expected);

  const CliRun json = RunCliCaptured({"@127.0.0.1", "--json", "mx.types.test", "mx"});
  EXPECT_NE(json.out.find("\"counts\":{\"question\":1,\"answer\":1,\"authority\":1,"
                          "\"additional\":2},\"message_size\":97"),
            std::string::npos)
      << json.out;
  EXPECT_TRUE(std::regex_search(json.out, std::regex("\"id\":[0-9]+,\"opcode\":0,"))) << json.out;
}

}  // namespace
