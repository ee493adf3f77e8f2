// Zone transfers and TSIG from the command line against the namespace's servers: NSD on
// 127.0.0.40 (xfr.test open, signed.xfr.test for the keys of tests/netns/nsd/xfr.keys,
// closed.xfr.test refused, big.xfr.test of 100,000 records), Knot on 127.0.0.41
// (ixfr.test with a journal) and the misbehaving servers of xfr-hostile.py on 127.0.0.42.
// Transfers are held to dig's copy of the same server, record for record.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/cli/CliTestSupport.h"
#include "tests/support/NetNamespace.h"

namespace {

struct TKey {
  std::string Algorithm, Name, Secret;
};

// The keys NSD knows, by algorithm.
std::map<std::string, TKey> Keys() {
  std::map<std::string, TKey> keys;
  std::ifstream file(NetnsRunDir() + "/xfr.keys");
  for (TKey key; file >> key.Algorithm >> key.Name >> key.Secret;) keys[key.Algorithm] = key;
  return keys;
}

std::string YArgument(const TKey& key) {
  return key.Algorithm + ":" + key.Name + ":" + key.Secret;
}

// The record lines of a transfer, comments and blank lines left out.
std::string Records(const std::string& text) {
  std::istringstream lines(text);
  std::string records;
  for (std::string line; std::getline(lines, line);)
    if (!line.empty() && line[0] != ';') records += line + '\n';
  return records;
}

std::size_t Lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(CliTransfer, EveryAlgorithmSignsLookupsAndTransfers) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const auto keys = Keys();
  ASSERT_EQ(keys.size(), 6u);
  for (const auto& [algorithm, key] : keys) {
    SCOPED_TRACE(algorithm);
    const CliRun lookup =
        RunCliCaptured({"@127.0.0.40", "www.signed.xfr.test", "-y", YArgument(key), "--short"});
    EXPECT_EQ(lookup.status, 0) << lookup.err;
    EXPECT_EQ(lookup.out, "192.0.2.10\n");
    const CliRun transfer = RunCliCaptured(
        {"@127.0.0.40", "axfr", "signed.xfr.test", "-y", YArgument(key), "+nocmd", "+nostats"});
    EXPECT_EQ(transfer.status, 0) << transfer.err;
    EXPECT_EQ(Lines(Records(transfer.out)), 10u);
  }
}

TEST(CliTransfer, KeyFilesInBindsAndKnotsForms) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const TKey key = Keys().at("hmac-sha512");
  const std::string forms[] = {"key \"" + key.Name + "\" {\n\talgorithm " + key.Algorithm +
                                   ";\n\tsecret \"" + key.Secret + "\";\n};\n",
                               "# made by keymgr\nkey:\n  - id: " + key.Name + "\n    algorithm: " +
                                   key.Algorithm + "\n    secret: " + key.Secret + "\n",
                               YArgument(key) + "\n"};
  const std::string path = NetnsRunDir() + "/pellamar-test.key";
  for (const std::string& form : forms) {
    std::ofstream(path) << form;
    const CliRun run =
        RunCliCaptured({"@127.0.0.40", "-k", path, "axfr", "signed.xfr.test", "+short"});
    EXPECT_EQ(run.status, 0) << form << run.err;
    EXPECT_EQ(Lines(run.out), 10u) << form;
  }
}

TEST(CliTransfer, FailuresAreNamedAndStopTheOutput) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const auto keys = Keys();
  const TKey key = keys.at("hmac-sha256");
  const std::string wrong = key.Algorithm + ":" + key.Name + ":" + keys.at("hmac-sha384").Secret;
  const std::string unknown = "hmac-sha256:nobody.key:" + key.Secret;
  struct TCase {
    std::vector<std::string> Arguments;
    const char* ClockOffset;  // PELLAMAR_TSIG_CLOCK_OFFSET, or null
    int Status;
    std::string Error;        // in standard error
    std::size_t RecordLines;  // printed before the failure
  };
  const TCase cases[] = {
      {{"@127.0.0.40", "www.xfr.test", "-y", wrong}, nullptr, 4, "BADSIG", 0},
      {{"@127.0.0.40", "www.xfr.test", "-y", unknown}, nullptr, 4, "BADKEY", 0},
      {{"@127.0.0.40", "www.xfr.test", "-y", YArgument(key)}, "3600", 4, "BADTIME", 0},
      {{"@127.0.0.40", "axfr", "signed.xfr.test", "-y", wrong}, nullptr, 4, "BADSIG", 0},
      {{"@127.0.0.40", "axfr", "closed.xfr.test"}, nullptr, 1, "Refused", 0},
      {{"@127.0.0.40", "axfr", "signed.xfr.test"}, nullptr, 1, "Refused", 0},
      // The second message's MAC is forged: the first one's records only.
      {{"@127.0.0.42", "-p", "5301", "axfr", "hostile.test", "-y", YArgument(key)},
       nullptr,
       4,
       "Message 2 of the answer carries a signature that does not hold",
       2},
      {{"@127.0.0.42", "-p", "5302", "axfr", "hostile.test"},
       nullptr,
       4,
       "from outside the zone: h2.other.test",
       2},
      {{"@127.0.0.42", "-p", "5303", "axfr", "hostile.test"},
       nullptr,
       4,
       "closed the connection before the transfer's end (after 51 records)",
       51},
      {{"@127.0.0.42", "-p", "5304", "axfr", "hostile.test", "-W", "2"}, nullptr, 4, "Timeout", 0},
      {{"@127.0.0.42", "-p", "5305", "axfr", "hostile.test", "--xfr-max-records", "1000"},
       nullptr,
       4,
       "--xfr-max-records (1000 records)",
       901},
      {{"@127.0.0.42", "-p", "5305", "axfr", "hostile.test", "--xfr-timeout", "1"},
       nullptr,
       4,
       "Timeout",
       std::string::npos},
      {{"@127.0.0.42", "-p", "5306", "axfr", "hostile.test", "-y", YArgument(key)},
       nullptr,
       4,
       "not signed, though the question was",
       0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Arguments[0] + " " + c.Arguments[1] + " " + c.Arguments[2]);
    if (c.ClockOffset != nullptr) setenv("PELLAMAR_TSIG_CLOCK_OFFSET", c.ClockOffset, 1);
    std::vector<std::string> arguments = c.Arguments;
    arguments.insert(arguments.end(), {"+nocmd", "+nostats"});
    const CliRun run = RunCliCaptured(arguments);
    unsetenv("PELLAMAR_TSIG_CLOCK_OFFSET");
    EXPECT_EQ(run.status, c.Status) << run.err;
    EXPECT_NE(run.err.find(c.Error), std::string::npos) << run.err;
    if (c.RecordLines != std::string::npos) {
      EXPECT_EQ(Lines(Records(run.out)), c.RecordLines);
    }
    // The secret is never written, whatever fails.
    EXPECT_EQ((run.out + run.err).find(key.Secret), std::string::npos);
  }
}

TEST(CliTransfer, SecretNeverShownInTheVerboseDigOutput) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const TKey key = Keys().at("hmac-sha256");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"@127.0.0.40", "www.xfr.test", "--dig", "--verbose", "-y",
                                 YArgument(key)},
        std::vector<std::string>{"@127.0.0.40", "axfr", "signed.xfr.test", "--verbose",
                                 "--tsig-key=" + YArgument(key)}}) {
    const CliRun run = RunCliCaptured(arguments);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ((run.out + run.err).find(key.Secret), std::string::npos) << run.out << run.err;
    EXPECT_NE(run.out.find(key.Name + ":..."), std::string::npos) << run.out;
  }
}

TEST(CliTransfer, TransfersMatchDigRecordForRecord) {
  REQUIRE_LOOPBACK_NAMESPACE();
  struct TCase {
    std::vector<std::string> Ours;
    std::string Dig;
    std::size_t Records;
  };
  const TCase cases[] = {
      {{"@127.0.0.40", "axfr", "big.xfr.test"}, "@127.0.0.40 axfr big.xfr.test", 100001},
      {{"@127.0.0.40", "-t", "axfr", "xfr.test"}, "@127.0.0.40 axfr xfr.test", 10},
      // Two changes back: both difference sequences; from the current serial: one SOA.
      {{"@127.0.0.41", "ixfr=1", "ixfr.test"}, "@127.0.0.41 ixfr=1 ixfr.test", 10},
      {{"@127.0.0.41", "ixfr=3", "ixfr.test"}, "@127.0.0.41 ixfr=3 ixfr.test", 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Dig);
    const CliRun run = RunCliCaptured(c.Ours);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string ours = Records(run.out);
    EXPECT_EQ(Lines(ours), c.Records);
    EXPECT_EQ(ours, Records(CommandOutput("dig " + c.Dig + " 2>&1")));
    EXPECT_NE(run.out.find(";; XFR size: " + std::to_string(c.Records) + " records (messages "),
              std::string::npos);
  }
  // +notcp: over UDP first. Knot answers a lone SOA, which for a copy behind means "ask
  // over TCP" (the same sequences then come), and for an up-to-date one is the answer.
  const CliRun behind = RunCliCaptured({"@127.0.0.41", "ixfr=1", "ixfr.test", "+notcp"});
  EXPECT_EQ(Records(behind.out),
            Records(RunCliCaptured({"@127.0.0.41", "ixfr=1", "ixfr.test"}).out));
  EXPECT_NE(behind.out.find("(TCP)\n"), std::string::npos) << behind.out;
  const CliRun current = RunCliCaptured({"@127.0.0.41", "ixfr=3", "ixfr.test", "+notcp"});
  EXPECT_EQ(Lines(Records(current.out)), 1u);
  EXPECT_NE(current.out.find("(UDP)\n"), std::string::npos) << current.out;
  // Signed: each of the large zone's messages checked, chained to the one before.
  const CliRun is_signed = RunCliCaptured({"@127.0.0.40", "axfr", "big.xfr.test", "--verbose", "-y",
                                           YArgument(Keys().at("hmac-sha256"))});
  ASSERT_EQ(is_signed.status, 0) << is_signed.err;
  EXPECT_EQ(Lines(Records(is_signed.out)), 100001u);
  const std::size_t messages = is_signed.err.find(" messages, ");
  ASSERT_NE(messages, std::string::npos) << is_signed.err;
  const std::size_t count = is_signed.err.rfind(' ', messages - 1) + 1;
  EXPECT_NE(is_signed.err.find(is_signed.err.substr(count, messages - count) + " signed"),
            std::string::npos)
      << is_signed.err;
  // JSON Lines: one object a record, each IXFR sequence behind its mark.
  const CliRun json = RunCliCaptured({"@127.0.0.41", "ixfr=1", "ixfr.test", "--json"});
  EXPECT_EQ(Lines(json.out), 14u);
  EXPECT_NE(json.out.find("{\"ixfr\":\"added\",\"serial\":3}\n"), std::string::npos) << json.out;
}

}  // namespace
