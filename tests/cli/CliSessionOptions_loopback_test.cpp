// The exchange's own EDNS options as the companion shows them, held to dig asking the same
// BIND servers (tests/netns/start-named.sh): the answer's cookie with its verdict, the
// keepalive time-out, and no cookie when none is sent.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "tests/cli/CliTestSupport.h"
#include "tests/support/JsonSyntax.h"
#include "tests/support/NetNamespace.h"

namespace {

// The OPT pseudo-section's lines of a dig-form output, each cookie's hex (random, and the
// server's time in it) masked.
std::string OptLines(const std::string& text) {
  static const std::regex hex("; COOKIE: [0-9a-f]+");
  std::string lines;
  std::istringstream in(text);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line == ";; OPT PSEUDOSECTION:") inside = true;
    if (inside && line.rfind(";; QUESTION", 0) == 0) break;
    if (inside) lines += std::regex_replace(line, hex, "; COOKIE: <hex>") + '\n';
  }
  return lines;
}

TEST(CliSessionOptions, TheCookieAndKeepaliveLinesAreDigs) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const char* cases[] = {
      "@127.0.0.60 +norec www.cookie.test",  // a BADCOOKIE first, then good
      "@127.0.0.61 +norec www.cookie.test +cookie=0102030405060708",
      "@127.0.0.61 +norec www.cookie.test +nocookie",
      "@127.0.0.61 +norec www.cookie.test +tcp +keepalive",
  };
  for (const char* c : cases) {
    std::vector<std::string> arguments{"--dig"};
    std::istringstream words(c);
    for (std::string word; words >> word;) arguments.push_back(word);
    const CliRun run = RunCliCaptured(arguments);
    EXPECT_EQ(run.status, kCliSuccess) << c << "\n" << run.err;
    const std::string dig = OptLines(CommandOutput(std::string("dig ") + c + " 2>/dev/null"));
    EXPECT_NE(dig, "") << c;
    EXPECT_EQ(OptLines(run.out), dig) << c;
  }
}

TEST(CliSessionOptions, JsonAndVerboseTellTheCookiesVerdictAndTheRetry) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun json = RunCliCaptured({"@127.0.0.60", "+norec", "--json", "www.cookie.test"});
  EXPECT_EQ(json.status, kCliSuccess) << json.err;
  EXPECT_TRUE(json_syntax::IsValidJson(json.out)) << json.out;
  EXPECT_NE(json.out.find("\"verdict\":\"good\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"retried\":true"), std::string::npos) << json.out;
  const CliRun verbose = RunCliCaptured({"@127.0.0.60", "+norec", "--verbose", "www.cookie.test"});
  EXPECT_NE(verbose.err.find(";; BADCOOKIE: asked again"), std::string::npos) << verbose.err;
  EXPECT_TRUE(std::regex_search(verbose.err, std::regex("; COOKIE: [0-9a-f]{48} \\(good\\)\n")))
      << verbose.err;
}

}  // namespace
