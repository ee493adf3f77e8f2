// dig's and kdig's server and question syntax end to end: a port written with the
// server, several questions in turn, and a truncated answer kept with +ignore.
#include "tests/cli/CliTestSupport.h"

#include <gtest/gtest.h>

#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

TEST(CliDigSyntaxAgainstNsd, ServerPortFormsAndSeveralQuestionsInTurn) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Three questions, the class word before the type, one name that does not exist: each
  // answered in turn, the exit status the worst (NXDOMAIN).
  CliRun run = RunCliCaptured({"@127.0.0.1#53", "-b", "127.0.0.1", "--short", "CH", "TXT",
                               "version.bind", "host4.pellamar.test", "nosuch.pellamar.test"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "\"pellamar-test-nsd\"\n127.0.0.44\n");
  EXPECT_NE(run.err.find("(3)"), std::string::npos) << run.err;

  run = RunCliCaptured({"@127.0.0.1@53", "host4.pellamar.test", "version.bind", "txt", "ch"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            ";; host4.pellamar.test A\n"
            "====== Hosts ======\n"
            "host4.pellamar.test, 127.0.0.44\n"
            "\n"
            "====== Nombre Servidores ======\n"
            "ns1.pellamar.test\n"
            "ns2.pellamar.test\n"
            "\n"
            ";; version.bind TXT\n"
            "====== Textos ======\n"
            "version.bind, \"pellamar-test-nsd\"\n"
            "\n");

  // The port is the one written: nothing answers on 5.
  run = RunCliCaptured({"@127.0.0.1#5", "-W", "2", "--short", "host4.pellamar.test"});
  EXPECT_EQ(run.status, 4);
  EXPECT_EQ(run.out, "");
}

TEST(CliDigSyntaxScripted, IgnoreKeepsTheTruncatedAnswer) {
  REQUIRE_LOOPBACK_NAMESPACE();
  // Answers over UDP with TC set; nothing listens over TCP on its port.
  ScriptedDnsResponder server("127.0.0.141");
  ScriptedDnsResponder::Datagram truncated;
  truncated.truncated = true;
  server.SetDefaultReply({{truncated}});
  const std::string at = "@127.0.0.141#" + std::to_string(server.Port());

  CliRun run = RunCliCaptured({at, "-W", "2", "--short", "www.scripted.test"});
  EXPECT_EQ(run.status, 4);
  EXPECT_NE(run.err.find("truncated"), std::string::npos) << run.err;

  run = RunCliCaptured({at, "-W", "2", "+ignore", "--short", "www.scripted.test"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "127.0.0.99\n");
  run = RunCliCaptured({at, "-W", "2", "+ignore", "--json", "www.scripted.test"});
  EXPECT_NE(run.out.find("\"transport\":\"UDP\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"truncated\":true"), std::string::npos) << run.out;
}

}  // namespace
