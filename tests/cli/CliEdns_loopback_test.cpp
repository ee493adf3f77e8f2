// Extended DNS Errors, AD and client subnet against servers in the namespace: the
// validating Unbound of 127.0.0.54 (tests/netns/start-ede.sh) beside dig, and the scripted
// responder echoing a subnet with a scope or sending hostile options, which never reach
// the terminal raw and never break JSON.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "tests/cli/CliTestSupport.h"
#include "tests/support/JsonSyntax.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

bool Found(const std::string& text, const std::string& pattern) {
  return std::regex_search(text, std::regex(pattern));
}

}  // namespace

TEST(EdnsLoopback, AValidatingResolversErrorsAndAdInEveryOutputAsDigShowsThem) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string batch = NetnsRunDir() + "/ede-batch.txt";
  std::ofstream(batch) << "www.bogus-ds.example A\n";
  // What failed first, DNSSEC Bogus from the cache after: either is right.
  const std::string ede =
      "EDE: (6 \\(DNSSEC Bogus\\)|9 \\(DNSKEY Missing\\)|7 \\(Signature Expired\\))";
  const struct {
    std::vector<std::string> arguments;
    std::string out, err;
  } cases[] = {
      // The text is Unbound's to give: the first answer explains, one from its cache not.
      {{"www.bogus-ds.example"}, "\n;; " + ede + "(: |\n)", ""},
      {{"www.expired.example", "--dig"}, "\n; " + ede, ""},
      {{"www.expired.example", "--verbose"}, "\n;; " + ede, "\n; " + ede},
      {{"-b", "127.0.0.98", "ed.example"}, "\n;; EDE: 18 \\(Prohibited\\)\n", ""},
      {{"-f", batch}, ";; www.bogus-ds.example A\n(.*\n)*;; " + ede, ""},
      {{"@127.0.0.53", "www.bogus-ds.example"}, ";; server 127.0.0.54\n(.*\n)*;; " + ede, ""},
      {{"www.bogus-ds.example", "--yaml"}, "\n +EDE:\n +INFO-CODE: (6|9) ", ""},
      {{"www.bogus-ds.example", "--json"}, "\"ede\":\\[\\{\"code\":(6|9),\"name\":\"", ""},
      {{"ed.example", "--dig"}, ";; flags: qr rd ra ad;", ""},
      {{"ed.example", "--json", "+cd"}, "\"flags\":\\[\"qr\",\"rd\",\"ra\",\"ad\",\"cd\"\\]", ""},
      {{"ed.example", "--dig", "+noadflag"}, ";; flags: qr rd ra;", ""},
  };
  for (auto c : cases) {
    c.arguments.insert(c.arguments.begin(), "@127.0.0.54");
    const CliRun run = RunCliCaptured(c.arguments);
    EXPECT_TRUE(Found(run.out, c.out)) << c.out << " not in\n" << run.out;
    EXPECT_TRUE(Found(run.err, c.err)) << c.err << " not in\n" << run.err;
  }
  auto line = [](const std::string& text) {
    std::smatch m;
    return std::regex_search(text, m, std::regex("\n; EDE: [^\n]*")) ? m.str() : "(none)";
  };
  EXPECT_EQ(
      line(RunCliCaptured({"@127.0.0.54", "www.bogus-ds.example", "+noall", "+comments"}).out),
      line(CommandOutput("timeout 10 dig @127.0.0.54 +noall +comments www.bogus-ds.example")));
}

TEST(EdnsLoopback, AClientSubnetOfEitherFamilyGoesAsGivenAndItsScopeComesBack) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder responder;
  ScriptedDnsResponder::Datagram echo;
  echo.opt = true;
  echo.subnet_scope = 20;
  responder.SetDefaultReply({{echo}});
  const struct {
    const char* subnet;
    std::vector<std::uint8_t> sent;
    const char* shown;
  } cases[] = {
      {"--subnet=192.0.2.77/24", {0, 8, 0, 7, 0, 1, 24, 0, 192, 0, 2}, "192.0.2.0/24/20"},
      {"+subnet=2001:db8::1/40",
       {0, 8, 0, 9, 0, 2, 40, 0, 0x20, 1, 0xd, 0xb8, 0},
       "2001:db8::/40/20"},
      {"+subnet=0/0", {0, 8, 0, 4, 0, 1, 0, 0}, "0.0.0.0/0/20"},
  };
  for (const auto& c : cases) {
    for (const char* output : {"--dig", "--json"}) {
      const int before = responder.RequestCount();
      const CliRun run = RunCliCaptured(
          {"@127.0.0.1", "-p", std::to_string(responder.Port()), "x.test", c.subnet, output});
      EXPECT_TRUE(Found(run.out, std::string("(; CLIENT-SUBNET: |\"client_subnet\":\")") + c.shown))
          << run.out;
      const std::vector<std::uint8_t> sent = responder.Requests().at(before);
      EXPECT_NE(std::search(sent.begin(), sent.end(), c.sent.begin(), c.sent.end()), sent.end());
    }
  }
}

TEST(EdnsLoopback, HostileOptionsInAnAnswerAreShownEscapedOrAsBytesNeverRaw) {
  REQUIRE_LOOPBACK_NAMESPACE();
  auto option = [](char code, const std::string& data) {
    return std::string{0, code, static_cast<char>(data.size() >> 8),
                       static_cast<char>(data.size())} +
           data;
  };
  const std::string terminal = "\x1b]0;owned\x07\xff\xfe\r\n";
  std::vector<std::string> hostile = {
      option(15, std::string(2, '\0') + std::string(64000, '\x1b')),
      option(15, std::string("\0\x16", 2) + terminal),
      option(15, "\x1b"),
      option(8, std::string("\0\1\x18\0\x1b", 5)),
      option(8, std::string("\0\1\x18\0\xc0\0\2\x1b\x07", 9)),
      option(8, std::string("\0\x09\x1b\x1b", 4)),
      option(char(201), terminal),
  };
  for (std::size_t length : {0, 1, 127, 128, 1000})
    hostile.push_back(option(12, std::string(length, '\x1b')));
  ScriptedDnsResponder responder;
  for (const auto& bytes : hostile) {
    ScriptedDnsResponder::Datagram answer;
    answer.opt = true;
    answer.options.assign(bytes.begin(), bytes.end());
    responder.SetDefaultReply({{answer}});
    for (const char* output : {"--dig", "--json", "--verbose", "--yaml"}) {
      const CliRun run = RunCliCaptured({"@127.0.0.1", "-p", std::to_string(responder.Port()),
                                         "+bufsize=65535", "x.test", output});
      EXPECT_EQ(run.status, 0) << output << run.err;
      EXPECT_FALSE(Found(run.out + run.err, "[\\x00-\\x08\\x0b-\\x1f\\x7f]"))
          << output << int(bytes[1]);
      if (std::string(output) == "--json") {
        EXPECT_TRUE(json_syntax::IsValidJson(run.out));
      }
    }
  }
}
