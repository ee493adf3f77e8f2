// pellamar-cli's runs that need no network: help, version, usage errors, the server
// listing (from a registry laid out in memory) and a lookup without any server to ask.
#include "cli/CliRunner.h"
#include "tests/cli/CliTestSupport.h"

#include <gtest/gtest.h>

#include "tests/support/FailingRandomSource.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "cli/CliOptions.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvRegistry.h"

namespace {

CliRun RunWith(const std::vector<std::string>& arguments, const TzvRegistryProvider& registry) {
  return RunCliCaptured(arguments,
                        [&](TStrings& servers) { GetSystemDnsServers(servers, registry); });
}

CliRun RunWithNoServers(const std::vector<std::string>& arguments) {
  const TzvMemoryRegistry empty;
  return RunWith(arguments, empty);
}

std::string Interface(const char* name) {
  return std::string(kDnsInterfacesKey) + name;
}

TEST(CliRunner, HelpAndVersionGoToStandardOutput) {
  CliRun run = RunWithNoServers({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, CliHelp());
  EXPECT_EQ(run.err, "");
  run = RunWithNoServers({"-V"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, CliVersion());
  EXPECT_EQ(run.err, "");
}

TEST(CliRunner, UsageErrorsPrintNothingOnStandardOutput) {
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"--bogus", "mx", "pellamar.test"},
      {"--list-dns", "pellamar.test"},
  };
  for (const auto& arguments : lines) {
    const CliRun run = RunWithNoServers(arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("pellamar-cli: ", 0), 0u) << run.err;
    ASSERT_GE(run.err.size(), CliUsage().size());
    EXPECT_EQ(run.err.substr(run.err.size() - CliUsage().size()), CliUsage());
  }
  // A zone transfer is asked of a server named on the command line.
  const CliRun run = RunWithNoServers({"axfr", "pellamar.test"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err,
            "pellamar-cli: a zone transfer asks one server, named with @SERVER, over TCP or TLS\n" +
                CliUsage());
}

TEST(CliRunner, ListDnsWritesTheHeadingAndOneLinePerServer) {
  TzvMemoryRegistry registry;
  registry.WriteString(Interface("eth0"), "DhcpNameServer", "127.0.0.1 127.0.0.2");
  registry.WriteString(Interface("eth1"), "NameServer", "127.0.0.2,::1");
  CliRun run = RunWith({"--list-dns"}, registry);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "====== Servidores DNS Locales ======\n"
            " - 127.0.0.1\n"
            " - 127.0.0.2\n"
            " - ::1\n");
  EXPECT_EQ(run.err, "");

  run = RunWithNoServers({"--list-dns"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "====== Servidores DNS Locales ======\n");
}

TEST(CliRunner, ListDnsFailureKeepsTheHeadingAndExitsWithThree) {
  TzvMemoryRegistry registry;
  registry.WriteString(Interface("eth0"), "DhcpNameServer", "127.0.0.1");
  registry.WriteInteger(Interface("eth1"), "DhcpNameServer", 7);
  const CliRun run = RunWith({"--list-dns"}, registry);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "====== Servidores DNS Locales ======\n");
  EXPECT_EQ(run.err, "pellamar-cli: Invalid data type for 'DhcpNameServer'\n");
}

TEST(CliRunner, NamesThatCannotBeSentAreUsageErrors) {
  // Checked before the configuration is read: nothing is sent, nothing printed on
  // standard output.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"a", "caf\xE9.test"}, "Invalid international name 'caf\\233.test'"},
      {{"a", std::string(64, 'x') + ".test"}, "Label longer than 63 bytes"},
      {{"mx", "user@" + std::string(63, 'x') + "." + std::string(63, 'x') + "." +
                  std::string(63, 'x') + "." + std::string(63, 'x')},
       "Name longer than 255 bytes"},
  };
  for (const auto& [arguments, message] : cases) {
    const CliRun run = RunWithNoServers(arguments);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("pellamar-cli: " + message, 0), 0u) << run.err;
  }
}

TEST(CliRunner, LookupWithoutAnyConfiguredServerFails) {
  const CliRun run = RunWithNoServers({"mx", "pellamar.test"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "====== Error ======\n - El servidor no responde.\n");
  EXPECT_EQ(run.err, "pellamar-cli: no DNS server configured\n");
}

TEST(CliRunner, UnreadableConfigurationFailsTheLookup) {
  TzvMemoryRegistry registry;
  registry.WriteInteger(Interface("eth0"), "NameServer", 7);
  const CliRun run = RunWith({"a", "pellamar.test"}, registry);
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "====== Error ======\n - El servidor no responde.\n");
  EXPECT_EQ(run.err, "pellamar-cli: Invalid data type for 'NameServer'\n");
}

TEST(CliRunner, JsonReportsAFailureBeforeAnyServerIsAsked) {
  const CliRun run = RunWithNoServers({"--json", "a", "x.test"});
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out,
            "{\"question\":{\"name\":\"x.test\",\"type\":\"A\",\"class\":\"IN\"},"
            "\"server\":null,\"port\":53,\"transport\":\"UDP\",\"truncated\":false,"
            "\"tries\":0,\"edns_fallback\":false,\"time_ms\":0.000,\"rcode\":null,"
            "\"flags\":[],\"edns\":null,\"error\":\"no DNS server configured\",\"answer\":[],"
            "\"authority\":[],\"additional\":[],\"dnssec\":null,\"dnssec_reason\":null,"
            "\"failed_servers\":[]}\n");
  EXPECT_EQ(run.err, "pellamar-cli: no DNS server configured\n");
}

// With neither the system call nor the device file to draw message IDs from, the lookup
// fails as one that got no answer, with the reason: it must not abort.
TEST(CliRunnerDeathTest, NoRandomNumbersAtAllIsALookupFailure) {
  if (!CanHideUrandom()) GTEST_SKIP() << "hiding /dev/urandom takes root";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        MessageIdRandomSource() = NoRandomSystemCall;
        if (!HideUrandom()) std::_Exit(3);
        const CliRun run = RunCliCaptured({"-s", "127.0.0.1", "--json", "a", "x.test"});
        const bool reported =
            run.err.find("pellamar-cli: No random numbers from the system") == 0 &&
            run.out.find("\"error\":\"No random numbers from the system") != std::string::npos;
        std::_Exit(run.status == 4 && reported ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
