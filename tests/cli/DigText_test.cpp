// The dig form's pieces that no run against a server shows: dig's TTL units, the
// question as sent (+qr), a lookup without reply, YAML's quoting, and which command lines
// ask for the dig form and with which parts.
#include "cli/DigText.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/Version.h"
#include "cli/CliOptions.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsRecordTypes.h"

namespace {

TEST(DigText, TtlUnitsShortAndInWords) {
  const struct {
    std::uint32_t seconds;
    const char* brief;
    const char* words;
  } cases[] = {
      {0, "0s", "0 seconds"},    {1, "1s", "1 second"},
      {300, "5m", "5 minutes"},  {5400, "1h30m", "1 hour 30 minutes"},
      {86400, "1d", "1 day"},    {694861, "1w1d1h1m1s", "1 week 1 day 1 hour 1 minute 1 second"},
      {1209600, "2w", "2 weeks"}};
  for (const auto& c : cases) {
    EXPECT_EQ(DigTtlText(c.seconds, false), c.brief) << c.seconds;
    EXPECT_EQ(DigTtlText(c.seconds, true), c.words) << c.seconds;
  }
}

// A reply of one A record for `owner`, ID 4242, with an OPT record.
std::unique_ptr<TzvDnsExtendedMessage> Reply(const std::string& owner) {
  auto reply = std::make_unique<TzvDnsExtendedMessage>();
  reply->Header().ID = 4242;
  reply->Header().IsRecursionDesired = reply->Header().IsRecursionAvailable = true;
  auto question = reply->CreateRecord(kzvDnsTypeA);
  question->Name = owner;
  reply->Queries().Add(std::move(question));
  auto answer = std::make_unique<TzvDnsARecord>();
  answer->Name = owner;
  answer->TTL = 60;
  answer->IPAddress = "192.0.2.1";
  reply->Answers().Add(std::move(answer));
  reply->AdditionalRecords().Add(std::make_unique<TzvDnsOPTRecord>());
  return reply;
}

TDigLookup Facts() {
  TDigLookup lookup;
  lookup.CommandLine = "@::1 o'brien.test";
  lookup.ServerName = lookup.ServerAddress = "::1";
  lookup.ServerGiven = true;
  lookup.Microseconds = 2500;
  lookup.WhenMicroseconds = 1796803200123456;  // 2026-12-09 08:00:00.123456 UTC
  lookup.MessageSize = 60;
  lookup.BufferSize = 4096;
  return lookup;
}

TEST(DigText, TheQuestionAsSentComesBeforeTheAnswer) {
  TDigDisplay display;
  display.Qr = true;
  display.Stats = display.Cmd = display.Answer = display.Additional = false;
  const std::string text = DigText(Reply("o'brien.test").get(), Facts(), display);
  EXPECT_EQ(text,
            ";; Sending:\n"
            ";; ->>HEADER<<- opcode: QUERY, status: NOERROR, id: 4242\n"
            ";; flags: rd; QUERY: 1, ANSWER: 0, AUTHORITY: 0, ADDITIONAL: 1\n\n"
            ";; OPT PSEUDOSECTION:\n; EDNS: version: 0, flags:; udp: 4096\n"
            ";; QUESTION SECTION:\n;o'brien.test.\t\t\tIN\tA\n\n"
            ";; Got answer:\n"
            ";; ->>HEADER<<- opcode: QUERY, status: NOERROR, id: 4242\n"
            ";; flags: qr rd ra; QUERY: 1, ANSWER: 1, AUTHORITY: 0, ADDITIONAL: 1\n\n"
            ";; OPT PSEUDOSECTION:\n; EDNS: version: 0, flags:; udp: 1232\n"
            ";; QUESTION SECTION:\n;o'brien.test.\t\t\tIN\tA\n\n");
}

TEST(DigText, NoReplyLeavesTheCommandLineAndSaysSo) {
  EXPECT_EQ(DigText(nullptr, Facts(), TDigDisplay{}),
            "\n; <<>> pellamar-cli " + std::string(kPellamarVersion) +
                " <<>> @::1 o'brien.test\n; (1 server found)\n;; global options: +cmd\n"
                ";; no answer from ::1#53(::1)\n");
}

TEST(DigText, YamlQuotesTheRecordsAndNamesTheSocket) {
  const std::string yaml = DigYaml(*Reply("o'brien.test"), Facts(), TDigDisplay{});
  for (const char* line : {"    query_time: !!timestamp 2026-12-09T08:00:00.120Z\n",
                           "    response_time: !!timestamp 2026-12-09T08:00:00.123Z\n",
                           "    message_size: 60b\n", "    socket_family: INET6\n",
                           "    query_address: \"::\"\n", "    type: RECURSIVE_RESPONSE\n",
                           "      QUESTION_SECTION:\n        - 'o''brien.test. IN A'\n",
                           "      ANSWER_SECTION:\n        - 'o''brien.test. 60 IN A 192.0.2.1'\n"})
    EXPECT_NE(yaml.find(line), std::string::npos) << line << yaml;
  EXPECT_EQ(yaml.find("ADDITIONAL_SECTION"), std::string::npos) << "the OPT record is no record";
}

// Any display switch asks for dig's form; +short outweighs them; --dig and --yaml do not
// go with --short, --json or --trace; bare +class is the column, +class=CH the class.
TEST(DigText, DisplaySwitchesAskForTheDigForm) {
  const struct {
    std::vector<std::string> arguments;
    TCliOutput output;
  } cases[] = {{{"+noall", "+answer", "x"}, TCliOutput::coDig},
               {{"+nocmd", "x"}, TCliOutput::coDig},
               {{"--dig", "x"}, TCliOutput::coDig},
               {{"+yaml", "x"}, TCliOutput::coYaml},
               {{"+noall", "+answer", "+short", "x"}, TCliOutput::coShort},
               {{"+multi", "--json", "x"}, TCliOutput::coJson},
               {{"x"}, TCliOutput::coSections}};
  for (const auto& c : cases) {
    const TCliParseResult read = ParseCliArguments(c.arguments);
    ASSERT_TRUE(read.Options) << c.arguments[0] << " " << read.Error->Message;
    EXPECT_EQ(read.Options->Output, c.output) << c.arguments[0];
  }
  const TCliParseResult trimmed =
      ParseCliArguments({"+noall", "+answer", "+nottlid", "+noclass", "x"});
  ASSERT_TRUE(trimmed.Options);
  const TDigDisplay& shown = trimmed.Options->Dig;
  EXPECT_TRUE(shown.Answer && !shown.Question && !shown.Cmd && !shown.Stats && !shown.Comments);
  EXPECT_FALSE(shown.TtlId || shown.Class);
  EXPECT_EQ(trimmed.Options->CommandLine, "+noall +answer +nottlid +noclass x");

  const TCliParseResult classes = ParseCliArguments({"+noclass", "+class", "+class=CH", "x"});
  ASSERT_TRUE(classes.Options);
  EXPECT_TRUE(classes.Options->Dig.Class);
  EXPECT_EQ(classes.Options->QueryClass, 3);
  EXPECT_EQ(classes.Options->Name, "x");

  for (const std::vector<std::string>& refused : {std::vector<std::string>{"--dig", "--json", "x"},
                                                  {"--yaml", "--short", "x"},
                                                  {"--trace", "+noall", "+answer", "x"}})
    EXPECT_TRUE(ParseCliArguments(refused).Error) << refused[0] << " " << refused[1];
}

}  // namespace
