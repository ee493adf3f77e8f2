#include "cli/CliOptions.h"

#include <gtest/gtest.h>

namespace {

TCliOptions ParseOk(const std::vector<std::string>& arguments) {
  const TCliParseResult result = ParseCliArguments(arguments);
  EXPECT_FALSE(result.Error.has_value()) << (result.Error ? result.Error->Message : "");
  return result.Options.value_or(TCliOptions{});
}

std::string ParseError(const std::vector<std::string>& arguments) {
  const TCliParseResult result = ParseCliArguments(arguments);
  EXPECT_FALSE(result.Options.has_value());
  return result.Error ? result.Error->Message : "";
}

TEST(CliArguments, LookupDefaultsMatchTheWindow) {
  const TCliOptions options = ParseOk({"MX", "pellamar.test"});
  EXPECT_EQ(options.Mode, TCliMode::cmLookup);
  EXPECT_FALSE(options.Server.has_value());
  EXPECT_EQ(options.Port, "53");
  EXPECT_EQ(options.TimeOut, "5");
  EXPECT_FALSE(options.FollowReferrals);
  EXPECT_EQ(options.MaxRecursiveQueries, 4);
  EXPECT_TRUE(options.RecursionDesired);
  EXPECT_EQ(options.QueryType, TCliQueryType::qtMX);
  EXPECT_EQ(options.Name, "pellamar.test");
}

TEST(CliArguments, TypesInAnyLetterCase) {
  EXPECT_EQ(ParseOk({"a", "x"}).QueryType, TCliQueryType::qtA);
  EXPECT_EQ(ParseOk({"Ptr", "x"}).QueryType, TCliQueryType::qtPTR);
  EXPECT_EQ(ParseOk({"nS", "x"}).QueryType, TCliQueryType::qtNS);
  EXPECT_NE(ParseError({"aaaa", "x"}).find("aaaa"), std::string::npos);
}

TEST(CliArguments, ValueOptionsInEveryForm) {
  const TCliOptions options =
      ParseOk({"-s", "127.0.0.1", "--port=5353", "-t10", "--no-recursion", "ns", "a.test"});
  EXPECT_EQ(options.Server, "127.0.0.1");
  EXPECT_EQ(options.Port, "5353");
  EXPECT_EQ(options.TimeOut, "10");
  EXPECT_FALSE(options.RecursionDesired);
  EXPECT_EQ(ParseOk({"--server", "ns.test", "a", "x"}).Server, "ns.test");
  // Port and time-out stay texts: a bad one fails the lookup later, as in the window.
  EXPECT_EQ(ParseOk({"-p", "abc", "a", "x"}).Port, "abc");
  EXPECT_EQ(ParseOk({"-t", "", "a", "x"}).TimeOut, "");
  EXPECT_NE(ParseError({"a", "x", "-p"}).find("needs a value"), std::string::npos);
}

TEST(CliArguments, FollowReferralsWithAndWithoutDepth) {
  const TCliOptions plain = ParseOk({"--follow-referrals", "a", "x"});
  EXPECT_TRUE(plain.FollowReferrals);
  EXPECT_EQ(plain.MaxRecursiveQueries, 4);
  const TCliOptions deep = ParseOk({"--follow-referrals=0", "a", "x"});
  EXPECT_TRUE(deep.FollowReferrals);
  EXPECT_EQ(deep.MaxRecursiveQueries, 0);
  EXPECT_EQ(ParseOk({"--follow-referrals=-1", "a", "x"}).MaxRecursiveQueries, -1);
  EXPECT_FALSE(ParseError({"--follow-referrals=two", "a", "x"}).empty());
}

TEST(CliArguments, ModesAndMistakes) {
  EXPECT_EQ(ParseOk({"--list-dns"}).Mode, TCliMode::cmListDns);
  EXPECT_EQ(ParseOk({"--help"}).Mode, TCliMode::cmHelp);
  EXPECT_EQ(ParseOk({"a", "--version"}).Mode, TCliMode::cmVersion);
  EXPECT_FALSE(ParseError({"--list-dns", "mx", "x"}).empty());
  EXPECT_FALSE(ParseError({}).empty());
  EXPECT_FALSE(ParseError({"mx"}).empty());
  EXPECT_FALSE(ParseError({"mx", "a", "b"}).empty());
  EXPECT_NE(ParseError({"--bogus", "mx", "x"}).find("--bogus"), std::string::npos);
  // After "--" a name may start with a dash.
  EXPECT_EQ(ParseOk({"a", "--", "-odd.test"}).Name, "-odd.test");
}

}  // namespace
