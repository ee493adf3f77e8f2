// pellamar-cli end to end against the loopback NSD servers and the scripted responder:
// the runner in-process, and once the built program itself.
#include "cli/CliRunner.h"
#include "tests/cli/CliTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <system_error>

#include "base/SysUtils.h"
#include "dns/zvDnsQuery.h"
#include "tests/support/JsonSyntax.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

using Responder = ScriptedDnsResponder;

const char* const kErrorText = "====== Error ======\n - El servidor no responde.\n";

TEST(CliAgainstNsd, MxLookupPrintsTheWindowsSections) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun run = RunCliCaptured({"-s", "127.0.0.1", "mx", "pellamar.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "====== Servidores de Correo ======\n"
            "mail2.pellamar.test, Preference 20, 127.0.0.12\n"
            "mail1.pellamar.test, Preference 10, 127.0.0.11\n"
            "mail3.pellamar.test, Preference 10, 127.0.0.13\n"
            "nomail.pellamar.test, Preference 5, \n"
            "\n"
            "====== Hosts ======\n"
            "mail1.pellamar.test, 127.0.0.11\n"
            "mail2.pellamar.test, 127.0.0.12\n"
            "mail3.pellamar.test, 127.0.0.13\n"
            "ns1.pellamar.test, 127.0.0.1\n"
            "ns2.pellamar.test, 127.0.0.1\n"
            "\n"
            "====== Nombre Servidores ======\n"
            "ns1.pellamar.test\n"
            "ns2.pellamar.test\n"
            "\n");
  EXPECT_EQ(run.err, "");
}

TEST(CliAgainstNsd, EachTypeRunsItsLookup) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::pair<const char*, const char*> cases[] = {
      {"A", "====== Hosts ======\nhost4.pellamar.test, 127.0.0.44\n"},
      {"Ptr", "====== Hosts ======\nhost4.pellamar.test, 127.0.0.44\n"},
      {"NS", "====== Hosts ======\nns1.pellamar.test, 127.0.0.1\n"},
      {"mX", "====== Servidores de Correo ======\nmail2.pellamar.test, Preference 20, "}};
  const char* const names[] = {"host4.pellamar.test", "127.0.0.44", "pellamar.test",
                               "pellamar.test"};
  for (int i = 0; i < 4; ++i) {
    const CliRun run = RunCliCaptured({"-s", "127.0.0.1", cases[i].first, names[i]});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind(cases[i].second, 0), 0u) << run.out;
  }
}

TEST(CliAgainstNsd, AnAnswerWithNothingToShowPrintsNothing) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun run = RunCliCaptured({"-s", "127.0.0.1", "mx", "host4.pellamar.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
}

TEST(CliAgainstNsd, DefaultServerIsTheFirstConfiguredOne) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Inside the namespace resolv.conf names 127.0.0.1; anything else configured first (a
  // link's state under /run) is never asked.
  TStringList servers;
  TzvDnsQuery::GetSystemDnsServers(servers);
  if (servers.Count() == 0 || servers[0] != "127.0.0.1")
    GTEST_SKIP() << "the first configured server is not the namespace's 127.0.0.1";
  const CliRun run = RunCliCaptured({"a", "host4.pellamar.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("====== Hosts ======\nhost4.pellamar.test, 127.0.0.44\n\n", 0), 0u)
      << run.out;
}

TEST(CliAgainstNsd, FailedLookupPrintsTheErrorLinesAndTheReason) {
  REQUIRE_LOOPBACK_NAMESPACE();
  CliRun run = RunCliCaptured({"-s", "127.0.0.1", "a", "nosuch.pellamar.test"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, kErrorText);
  EXPECT_EQ(run.err, "pellamar-cli: No such name (3)\n");

  // A port that cannot be used is a usage error: nothing is sent or printed.
  run = RunCliCaptured({"-s", "127.0.0.1", "-p", "fifty-three", "a", "pellamar.test"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("pellamar-cli: the port must be a whole number", 0), 0u) << run.err;
}

TEST(CliAgainstScriptedServer, TimeOutOfZeroSecondsFailsAtOnce) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.100");
  responder.SetDefaultReply(Responder::Silence());
  const CliRun run = RunCliCaptured(
      {"-s", "127.0.0.100", "-p", std::to_string(responder.Port()), "-W", "0", "a", "x.test"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, kErrorText);
  EXPECT_EQ(run.err, "pellamar-cli: Timeout error occured (-1)\n");
}

TEST(CliAgainstScriptedServer, NoRecursionClearsTheRecursionDesiredFlag) {
  REQUIRE_LOOPBACK_NAMESPACE();
  Responder responder("127.0.0.101");
  const std::string port = std::to_string(responder.Port());
  EXPECT_EQ(RunCliCaptured({"-s", "127.0.0.101", "-p", port, "a", "x.test"}).status, 0);
  EXPECT_EQ(
      RunCliCaptured({"--no-recursion", "-s", "127.0.0.101", "-p", port, "a", "x.test"}).status, 0);
  const auto requests = responder.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0][2] & 0x01, 0x01);
  EXPECT_EQ(requests[1][2] & 0x01, 0x00);
}

TEST(CliAgainstNsd, FollowReferralsReachesTheChild) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string referral = "====== Nombre Servidores ======\nns.glued.parent.test\n\n";
  CliRun run = RunCliCaptured({"-s", "127.0.0.2", "a", "www.glued.parent.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, referral);
  run = RunCliCaptured({"-s", "127.0.0.2", "--follow-referrals=0", "a", "www.glued.parent.test"});
  EXPECT_EQ(run.out, referral);
  run = RunCliCaptured({"-s", "127.0.0.2", "--follow-referrals", "a", "www.glued.parent.test"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("====== Hosts ======\nwww.glued.parent.test, 127.0.0.31\n\n", 0), 0u)
      << run.out;
}

// Every byte a reader would see, checked: nothing that a terminal obeys or that reorders
// or hides text (see IsHiddenCharacter), in any output form, but the line ends and the
// tabs between --verbose's columns.
void ExpectNothingHidden(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == '\n' || b == '\t') continue;
    const std::size_t length = Utf8SequenceLength(text, i);
    ASSERT_NE(length, 0u) << text;
    ASSERT_FALSE(IsHiddenCharacter(Utf8CodePoint(text, i, length))) << text;
    i += length - 1;
  }
}

TEST(CliAgainstNsd, HostileNamesReachNoOutputRaw) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const CliRun text = RunCliCaptured({"-s", "127.0.0.1", "mx", "hostile.pellamar.test"});
  EXPECT_EQ(text.status, 0);
  EXPECT_EQ(text.out.rfind("====== Servidores de Correo ======\n"
                           "a\\.b.pellamar.test, Preference 40, 127.0.0.71\n"
                           "xn--xy-g1t.pellamar.test, Preference 30, \n"
                           "xn--abc-4q0a.pellamar.test, Preference 20, \n"
                           "m\\027[2j\"x.xn--1a.pellamar.test, Preference 10, \n\n",
                           0),
            0u)
      << text.out;
  const CliRun txt = RunCliCaptured({"-s", "127.0.0.1", "txt", "hostile.pellamar.test"});
  EXPECT_EQ(txt.out,
            "====== Textos ======\n"
            "hostile.pellamar.test, \"\\226\\128\\174moc.elgoog\" \"\\027]0;pwned\\007\"\n\n");
  for (const char* type : {"mx", "txt"}) {
    for (const char* form : {"--short", "--json", "--verbose"}) {
      const CliRun run = RunCliCaptured({"-s", "127.0.0.1", form, type, "hostile.pellamar.test"});
      EXPECT_EQ(run.status, 0);
      ExpectNothingHidden(run.out);
      ExpectNothingHidden(run.err);
      if (std::string(form) == "--json") {
        EXPECT_TRUE(json_syntax::IsValidJson(run.out)) << run.out;
      }
    }
  }
}

TEST(CliAgainstScriptedServer, ALinkLocalServerIsNamedWithItsScope) {
  REQUIRE_LOOPBACK_NAMESPACE();
  std::unique_ptr<Responder> responder;
  try {
    responder = std::make_unique<Responder>("fe80::53%lo");
  } catch (const std::system_error& e) {
    GTEST_SKIP() << "no link-local address fe80::53 on lo (" << e.what() << ")";
  }
  const CliRun run = RunCliCaptured({"--json", "--verbose", "-s", "fe80::53%lo", "-p",
                                     std::to_string(responder->Port()), "a", "x.test"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"server\":\"FE80::53%lo\""), std::string::npos) << run.out;
  EXPECT_NE(run.err.find(";; server FE80::53%lo port"), std::string::npos) << run.err;
}

TEST(CliAgainstNsd, TypedNamesTakeDigsEscapes) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // One label "a.b", typed with an escaped dot or as decimal escapes.
  for (const char* name : {"a\\.b.pellamar.test", "\\097\\046b.pellamar.test"}) {
    const CliRun run = RunCliCaptured({"-s", "127.0.0.1", "--short", "a", name});
    EXPECT_EQ(run.status, 0) << name;
    EXPECT_EQ(run.out, "127.0.0.71\n") << name;
  }
  EXPECT_EQ(RunCliCaptured({"-s", "127.0.0.1", "a", "a\\"}).status, 2);
}

// The built program, next to this test binary's directory: <build>/cli/pellamar-cli.
std::filesystem::path ProgramPath() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" /
         "pellamar-cli";
}

TEST(CliProgram, RunsAsAProcessWithTheSameOutput) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::filesystem::path program = ProgramPath();
  if (!std::filesystem::exists(program))
    GTEST_FAIL() << program << " is missing: build the pellamar-cli target";
  const std::string command = program.string() + " -s 127.0.0.1 ns pellamar.test 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buffer[256];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  const int status = pclose(pipe);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(out, RunCliCaptured({"-s", "127.0.0.1", "ns", "pellamar.test"}).out);
  EXPECT_NE(out, "");
}

}  // namespace
