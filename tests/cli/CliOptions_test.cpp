#include "cli/CliOptions.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "dns/zvDnsRecordTypes.h"

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
  EXPECT_EQ(options.Port, 53);
  EXPECT_EQ(options.TimeOutSeconds, 5);
  EXPECT_FALSE(options.FollowReferrals);
  EXPECT_EQ(options.MaxRecursiveQueries, 4);
  EXPECT_TRUE(options.RecursionDesired);
  EXPECT_EQ(options.QueryType, kzvDnsTypeMX);
  EXPECT_EQ(options.Name, "pellamar.test");
  EXPECT_EQ(options.Output, TCliOutput::coSections);
  EXPECT_FALSE(options.Verbose);
}

TEST(CliArguments, TypesInAnyLetterCaseAndEitherOrder) {
  const std::pair<const char*, std::int32_t> types[] = {{"a", kzvDnsTypeA},
                                                        {"Ptr", kzvDnsTypePTR},
                                                        {"nS", kzvDnsTypeNS},
                                                        {"AAAA", kzvDnsTypeAAAA},
                                                        {"txt", kzvDnsTypeTXT},
                                                        {"soa", kzvDnsTypeSOA},
                                                        {"cname", kzvDnsTypeCNAME},
                                                        {"srv", kzvDnsTypeSRV},
                                                        {"caa", kzvDnsTypeCAA},
                                                        {"any", kzvDnsTypeANY},
                                                        {"type65400", 65400},
                                                        {"TYPE1", kzvDnsTypeA},
                                                        {"https", kzvDnsTypeHTTPS},
                                                        {"Svcb", kzvDnsTypeSVCB},
                                                        {"TLSA", kzvDnsTypeTLSA},
                                                        {"sshfp", kzvDnsTypeSSHFP},
                                                        {"naptr", kzvDnsTypeNAPTR},
                                                        {"cds", kzvDnsTypeCDS},
                                                        {"cdnskey", kzvDnsTypeCDNSKEY},
                                                        {"uri", kzvDnsTypeURI},
                                                        {"EUI64", kzvDnsTypeEUI64}};
  for (const auto& [word, code] : types) {
    EXPECT_EQ(ParseOk({word, "x.test"}).QueryType, code) << word;  // TYPE NAME
    EXPECT_EQ(ParseOk({"x.test", word}).QueryType, code) << word;  // dig's NAME TYPE
    EXPECT_EQ(ParseOk({"-t", word, "x.test"}).QueryType, code) << word;
  }
  // A name alone asks for its IPv4 addresses, as dig does; a name that is a type word
  // still goes first in today's form.
  EXPECT_EQ(ParseOk({"x.test"}).QueryType, kzvDnsTypeA);
  EXPECT_EQ(ParseOk({"mx", "a"}).Name, "a");
  EXPECT_EQ(ParseOk({"--type=aaaa", "mx"}).Name, "mx");
  // The transfer words are types too; ixfr without its serial is refused, named.
  EXPECT_EQ(ParseOk({"axfr", "x"}).QueryType, 252);
  EXPECT_EQ(ParseOk({"x", "ixfr=7"}).QueryType, 251);
  EXPECT_NE(ParseError({"ixfr", "x"}).find("ixfr=SERIAL"), std::string::npos);
  // The word that reads as a type is named, in either order, never the name beside it.
  EXPECT_EQ(ParseError({"svc.example", "frob"}).rfind("unknown TYPE 'frob'", 0), 0u);
  EXPECT_EQ(ParseError({"frob", "svc.example"}).rfind("unknown TYPE 'frob'", 0), 0u);
  EXPECT_NE(ParseError({"-t", "type0", "x"}).find("'type0'"), std::string::npos);
  EXPECT_NE(ParseError({"-t", "TYPE65536", "x"}).find("TYPEnnn"), std::string::npos);
  EXPECT_FALSE(ParseError({"-t", "mx", "a", "x"}).empty());
}

TEST(CliArguments, DigFormsForServerTypeTimeOutAndReverse) {
  TCliOptions options = ParseOk({"@127.0.0.1", "pellamar.test", "mx", "-W", "2", "-p", "5353"});
  EXPECT_EQ(options.Server, "127.0.0.1");
  EXPECT_EQ(options.QueryType, kzvDnsTypeMX);
  EXPECT_EQ(options.TimeOutSeconds, 2);
  EXPECT_EQ(options.Port, 5353);
  options = ParseOk({"-s", "ns.test", "--port=1", "--timeout", "0", "--no-recursion", "ns", "a"});
  EXPECT_EQ(options.Server, "ns.test");
  EXPECT_EQ(options.Port, 1);
  EXPECT_EQ(options.TimeOutSeconds, 0);
  EXPECT_FALSE(options.RecursionDesired);
  options = ParseOk({"-x", "::1"});
  EXPECT_EQ(options.QueryType, kzvDnsTypePTR);
  EXPECT_EQ(options.Name, "::1");
  EXPECT_EQ(ParseOk({"-x10.0.0.1"}).Name, "10.0.0.1");
  // -t used to be the time-out: a number after it says where the time-out went.
  EXPECT_NE(ParseError({"-t", "10", "a", "x"}).find("-W SECONDS"), std::string::npos);
}

TEST(CliArguments, InputsThatCannotBeSentAreUsageErrors) {
  for (const char* port : {"abc", "0", "65536", "-1", ""})
    EXPECT_NE(ParseError({"-p", port, "a", "x"}).find("port"), std::string::npos) << port;
  for (const char* seconds : {"five", "-1", "2147484", ""})
    EXPECT_NE(ParseError({"-W", seconds, "a", "x"}).find("time-out"), std::string::npos) << seconds;
  for (const char* depth : {"--follow-referrals=-1", "--follow-referrals=two"})
    EXPECT_NE(ParseError({depth, "a", "x"}).find("--follow-referrals"), std::string::npos);
  EXPECT_EQ(ParseOk({"--follow-referrals=0", "a", "x"}).MaxRecursiveQueries, 0);
  EXPECT_TRUE(ParseOk({"--follow-referrals", "a", "x"}).FollowReferrals);
  EXPECT_FALSE(ParseError({"-x", "host.test"}).empty());
  EXPECT_FALSE(ParseError({"-s", "", "a", "x"}).empty());
  EXPECT_FALSE(ParseError({"-x", "::1", "ptr", "x"}).empty());
  EXPECT_NE(ParseError({"a", "x", "-p"}).find("needs a value"), std::string::npos);
}

// Numbers are plain decimal digits: every other spelling a number might take elsewhere
// (hexadecimal, signs, blanks) is refused with the option's own message, whichever
// option reads it.
TEST(CliArguments, NumbersAreDecimalDigitsOnly) {
  struct Case {
    const char* text;
    std::int32_t port;  // 0: refused
  };
  const Case cases[] = {
      {"53", 53},
      {"053", 53},
      {"1", 1},
      {"65535", 65535},
      {"0x35", 0},
      {"0X35", 0},
      {"$35", 0},
      {"+53", 0},
      {"-53", 0},
      {" 53", 0},
      {"53 ", 0},
      {"5 3", 0},
      {"\t53", 0},
      {"", 0},
      {"35h", 0},
      {"5e1", 0},
      {"٥٣", 0},
      {"0", 0},
      {"65536", 0},
      {"99999999999999999999", 0},
      {"00000000000000000053", 53},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    const std::vector<std::string> arguments = {"-p", text, "a", "x"};
    if (c.port != 0) {
      EXPECT_EQ(ParseOk(arguments).Port, c.port) << text;
      EXPECT_EQ(ParseOk({"--port=" + text, "x"}).Port, c.port) << text;
    } else {
      EXPECT_EQ(ParseError(arguments),
                "the port must be a whole number from 1 to 65535, not '" + text + "'");
      EXPECT_EQ(ParseError({"--port=" + text, "x"}),
                "the port must be a whole number from 1 to 65535, not '" + text + "'");
    }
  }
  // The same rule for the time-out and the referral depth, whose ranges start at 0.
  for (const char* text : {"0x2", "$2", "+2", "-0", " 2", "2 ", ""}) {
    EXPECT_EQ(ParseError({"-W", text, "x"}),
              std::string("the time-out must be a whole number of seconds from 0 to 2147483, "
                          "not '") +
                  text + "'");
    EXPECT_EQ(ParseError({std::string("--follow-referrals=") + text, "x"}),
              std::string("--follow-referrals takes a whole number of steps from 0 up, not '") +
                  text + "'");
  }
  EXPECT_EQ(ParseOk({"-W", "0", "x"}).TimeOutSeconds, 0);
  EXPECT_EQ(ParseOk({"--timeout=2147483", "x"}).TimeOutSeconds, 2147483);
  EXPECT_EQ(ParseOk({"--follow-referrals=010", "x"}).MaxRecursiveQueries, 10);
  EXPECT_EQ(ParseOk({"--follow-referrals=2147483647", "x"}).MaxRecursiveQueries, INT32_MAX);
  EXPECT_FALSE(ParseError({"--follow-referrals=2147483648", "x"}).empty());
  // Only a decimal number after -t points to the time-out's new option.
  EXPECT_EQ(ParseError({"-t", "0x10", "x"}).find("-W SECONDS"), std::string::npos);
}

TEST(CliArguments, OutputModes) {
  EXPECT_EQ(ParseOk({"--short", "x"}).Output, TCliOutput::coShort);
  EXPECT_EQ(ParseOk({"x", "--json"}).Output, TCliOutput::coJson);
  EXPECT_TRUE(ParseOk({"--verbose", "--json", "x"}).Verbose);
  EXPECT_FALSE(ParseError({"--short", "--json", "x"}).empty());
}

// dig users' habits: @server NAME TYPE +short; other +options are named in the error.
TEST(CliArguments, DigPlusOptions) {
  const TCliOptions dig = ParseOk({"@127.0.0.1", "x.test", "mx", "+short", "+norec"});
  EXPECT_EQ(dig.Output, TCliOutput::coShort);
  EXPECT_FALSE(dig.RecursionDesired);
  EXPECT_EQ(dig.QueryType, kzvDnsTypeMX);
  EXPECT_TRUE(ParseOk({"--no-recursion", "+recurse", "x"}).RecursionDesired);
  EXPECT_NE(ParseError({"x", "+nssearch"}).find("unknown option +nssearch"), std::string::npos);
  EXPECT_FALSE(ParseError({"+short", "--json", "x"}).empty());
  EXPECT_EQ(ParseOk({"--", "+odd.test"}).Name, "+odd.test");
}

// DNS over TLS: the options, the server's URL form, and port 853 unless one is given.
TEST(CliArguments, TlsOptionsAndServerUrls) {
  struct TCase {
    std::vector<std::string> arguments;
    const char* server;
    int port;
    const char* https_path;  // empty: over TLS
    bool get;
  };
  const TCase cases[] = {
      {{"--tls", "@127.0.0.80", "x"}, "127.0.0.80", 853, "", false},
      {{"+tls", "-p", "8853", "@127.0.0.80", "x"}, "127.0.0.80", 8853, "", false},
      {{"@tls://dns.pellamar.test", "x"}, "dns.pellamar.test", 853, "", false},
      {{"-s", "tls://dns.pellamar.test:8853", "x"}, "dns.pellamar.test", 8853, "", false},
      {{"@tls://[::1]:854", "x"}, "::1", 854, "", false},
      {{"@tls://::1", "x"}, "::1", 853, "", false},
      {{"--https", "@127.0.0.80", "x"}, "127.0.0.80", 443, "/dns-query", false},
      {{"+https=/q", "--tls-ca", "ca.pem", "@h", "x"}, "h", 443, "/q", false},
      {{"--https-get", "-p", "8443", "@h", "x"}, "h", 8443, "/dns-query", true},
      {{"@https://dns.pellamar.test", "x"}, "dns.pellamar.test", 443, "/dns-query", false},
      {{"@https://[::1]:8443/a/b?c=d", "+https-get", "x"}, "::1", 8443, "/a/b?c=d", true},
  };
  for (const TCase& c : cases) {
    const TCliOptions options = ParseOk(c.arguments);
    EXPECT_EQ(options.Tls, *c.https_path == '\0');
    EXPECT_EQ(options.Https, *c.https_path != '\0');
    if (options.Https) {
      EXPECT_EQ(options.HttpsPath, c.https_path);
    }
    EXPECT_EQ(options.HttpsGet, c.get);
    EXPECT_EQ(options.Server, c.server);
    EXPECT_EQ(options.Port, c.port) << c.server;
  }
  const TCliOptions options =
      ParseOk({"+tls-hostname=dns.pellamar.test", "--tls-ca", "ca.pem", "--tls-insecure", "x"});
  EXPECT_TRUE(options.Tls && options.TlsInsecure);
  EXPECT_EQ(options.TlsHostName, "dns.pellamar.test");
  EXPECT_EQ(options.TlsCaFile, "ca.pem");
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"--tls", "--tcp", "x"}, "--tls and --tcp cannot be combined"},
      {{"--https", "--tls", "x"}, "--tls and --https cannot be combined"},
      {{"@https://h", "+tcp", "x"}, "--https and --tcp cannot be combined"},
      {{"--https=dns-query", "x"}, "must start with '/'"},
      {{"@https://h/a b", "x"}, "no blanks"},
      {{"@tls://[::1", "x"}, "unclosed '['"},
      {{"@tls://host:0", "x"}, "from 1 to 65535"},
      {{"@tls://", "x"}, "the server must not be empty"}};
  for (const auto& [arguments, message] : refused)
    EXPECT_NE(ParseError(arguments).find(message), std::string::npos) << message;
}

TEST(CliArguments, ABatchAndATraceTakeTheirQuestionsAlone) {
  const TCliOptions options = ParseOk({"-f", "names.txt", "-t", "mx", "--concurrency", "7"});
  EXPECT_EQ(options.Mode, TCliMode::cmBatch);
  EXPECT_EQ(options.BatchFile, "names.txt");
  EXPECT_EQ(options.QueryType, kzvDnsTypeMX);
  EXPECT_EQ(options.Concurrency, 7);
  // A batch goes over every transport.
  EXPECT_TRUE(ParseOk({"-f", "names.txt", "--tls"}).Tls);
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"-f", "names.txt", "www.example"}, "not from the command line"},
      {{"-f", "names.txt", "--nsid"}, "cannot be combined with -f"},
      {{"-f", "names.txt", "@a", "@b"}, "several servers cannot be combined with -f"},
      {{"-f", "names.txt", "--concurrency", "0"}, "from 1 to 10000"},
      {{"-f", ""}, "-f takes a file name"},
      {{"-f", "names.txt", "--trace"}, "--trace cannot be combined with -f"},
      {{"--trace", "@127.0.0.1", "--root-hints", "h", "x"}, "--root-hints FILE or from @SERVER"},
      {{"+trace", "--tls", "x"}, "--tcp, --tls and --https cannot be combined"},
      {{"--root-hints", "h", "--short", "x"}, "--trace cannot be combined with --nsid or --short"}};
  EXPECT_EQ(ParseOk({"--root-hints", "h", "-x", "::1"}).Mode, TCliMode::cmTrace);
  for (const auto& [arguments, message] : refused)
    EXPECT_NE(ParseError(arguments).find(message), std::string::npos) << message;
}

TEST(CliArguments, TheExchangesOptionsInBothSpellings) {
  TCliOptions options = ParseOk({"x"});
  EXPECT_EQ(options.Tries, 3);
  EXPECT_TRUE(options.Edns);
  EXPECT_EQ(options.BufferSize, 1232);
  EXPECT_EQ(options.QueryClass, rcInternet);
  options =
      ParseOk({"x", "+tries=1", "+tcp", "+bufsize=4096", "+nsid", "+dnssec", "-6", "+class=CH"});
  EXPECT_EQ(options.Tries, 1);
  EXPECT_TRUE(options.Tcp && options.Nsid && options.Dnssec);
  EXPECT_EQ(options.BufferSize, 4096);
  EXPECT_EQ(options.Family, 6);
  EXPECT_EQ(options.QueryClass, rcChaos);
  options = ParseOk({"--tries", "5", "--no-edns", "-4", "-c", "hs", "--tcp", "+notcp", "x"});
  EXPECT_EQ(options.Tries, 5);
  EXPECT_FALSE(options.Edns || options.Tcp);
  EXPECT_EQ(options.Family, 4);
  EXPECT_EQ(options.QueryClass, rcHesiod);
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"--tries=0", "x"}, "tries must be a whole number from 1 to 100"},
      {{"+bufsize=511", "x"}, "from 512 to 65535"},
      {{"-c", "any", "x"}, "unknown CLASS 'any'"},
      {{"-4", "-6", "x"}, "cannot be combined"},
      {{"-6", "@127.0.0.1", "x"}, "-6 cannot reach the server 127.0.0.1"},
      {{"-4", "-s", "::1", "x"}, "-4 cannot reach the server ::1"},
      {{"+noedns", "+nsid", "x"}, "need EDNS"},
      {{"--dnssec", "--no-edns", "x"}, "need EDNS"},
      {{"--no-edns", "--bufsize=4096", "x"}, "need EDNS"}};
  for (const auto& [arguments, message] : refused)
    EXPECT_NE(ParseError(arguments).find(message), std::string::npos) << message;
}

TEST(CliArguments, ModesAndMistakes) {
  EXPECT_EQ(ParseOk({"--list-dns"}).Mode, TCliMode::cmListDns);
  EXPECT_EQ(ParseOk({"--help"}).Mode, TCliMode::cmHelp);
  EXPECT_EQ(ParseOk({"a", "--version"}).Mode, TCliMode::cmVersion);
  EXPECT_FALSE(ParseError({"--list-dns", "mx", "x"}).empty());
  EXPECT_FALSE(ParseError({}).empty());
  EXPECT_FALSE(ParseError({"mx", "a", "b"}).empty());
  EXPECT_NE(ParseError({"--bogus", "mx", "x"}).find("--bogus"), std::string::npos);
  // After "--" a name may start with a dash or an at-sign.
  EXPECT_EQ(ParseOk({"a", "--", "-odd.test"}).Name, "-odd.test");
  EXPECT_EQ(ParseOk({"a", "--", "@odd.test"}).Name, "@odd.test");
}

// Every field, to compare whole outcomes.
auto Fields(const TCliOptions& o) {
  return std::tie(o.Mode, o.Server, o.Port, o.TimeOutSeconds, o.FollowReferrals,
                  o.MaxRecursiveQueries, o.RecursionDesired, o.QueryType, o.Name, o.Output,
                  o.Verbose);
}

// Every way of writing one option reads alike: the short name with the value attached or
// following, the long name with "=" or following, and dig's names.
TEST(CliArguments, EverySpellingOfAnOptionIsTheSame) {
  const std::vector<std::vector<std::string>> alike[] = {
      {{"-s", "ns"}, {"-sns"}, {"--server", "ns"}, {"--server=ns"}, {"@ns"}},
      {{"-p", "99"}, {"-p99"}, {"--port", "99"}, {"--port=99"}},
      {{"-W", "7"}, {"-W7"}, {"--timeout", "7"}, {"--timeout=7"}},
      {{"-t", "soa"}, {"-tsoa"}, {"--type", "soa"}, {"--type=soa"}},
      {{"--short"}, {"+short"}},
      {{"--no-recursion"}, {"+norecurse"}, {"+norec"}},
  };
  auto read = [](std::vector<std::string> arguments) {
    arguments.push_back("x.test");
    return ParseOk(arguments);
  };
  const TCliOptions plain = read({});
  for (const auto& spellings : alike) {
    const TCliOptions expected = read(spellings[0]);
    EXPECT_FALSE(Fields(expected) == Fields(plain)) << spellings[0][0];
    for (const auto& spelling : spellings) {
      const TCliOptions options = read(spelling);
      EXPECT_TRUE(Fields(options) == Fields(expected)) << spelling[0];
    }
  }
}

// What is not one of those spellings is refused with its own text, or read as a word.
TEST(CliArguments, NearSpellingsAreNotOptions) {
  for (const char* word : {"--verbose=1", "-hx", "-V2", "--serverx", "--short=yes", "---port",
                           "--follow-referralsx", "--Help", "-P"})
    EXPECT_EQ(ParseError({word, "x"}), std::string("unknown option ") + word);
  // The closest of dig's spellings read is named, when one is near.
  const std::pair<const char*, const char*> near[] = {
      {"+nssearch", ""},          {"+short=1", "+short"}, {"+Short", "+short"},
      {"+norecur", "+norecurse"}, {"++short", "+short"},  {"+nsid=1", "+nsid"}};
  for (const auto& [word, closest] : near)
    EXPECT_EQ(
        ParseError({"x", word}),
        std::string("unknown option ") + word +
            (*closest ? std::string("; did you mean ") + closest + "?" : std::string()) +
            " (of dig's +options, pellamar-cli reads +trace, +short, +norecurse, +recurse, "
            "+tries, +tcp, +notcp, +tls, +https, +https-get, +tls-hostname, +tls-ca, +noedns, "
            "+bufsize, "
            "+nsid, +dnssec, +class, +time, +retry, +ignore, +noignore, +cookie, +nocookie, "
            "+padding, +nopadding, +keepalive, +nokeepalive, +edns, +ednsnegotiation "
            "and +noednsnegotiation)");
  // A lone dash, plus or at-sign is a word, as is anything after "--".
  EXPECT_EQ(ParseOk({"mx", "-"}).Name, "-");
  EXPECT_EQ(ParseOk({"+"}).Name, "+");
  EXPECT_EQ(ParseOk({"@"}).Name, "@");
  // The depth is attached or absent: a following word is the name.
  const TCliOptions follow = ParseOk({"--follow-referrals", "7"});
  EXPECT_EQ(follow.Name, "7");
  EXPECT_EQ(follow.MaxRecursiveQueries, 4);
}

TEST(CliArguments, ValuesAndTheOrderOfOptions) {
  // A value is the next word whatever it looks like.
  EXPECT_EQ(ParseOk({"-s", "--json", "x"}).Server, "--json");
  // A short option with a value takes the rest of its word: "-port" is the port "ort".
  EXPECT_EQ(ParseError({"-port", "x"}),
            "the port must be a whole number from 1 to 65535, not 'ort'");
  for (const char* option :
       {"-s", "--server", "-p", "--port", "-W", "--timeout", "-t", "--type", "-x", "--reverse"})
    EXPECT_EQ(ParseError({"x", option}), std::string("option ") + option + " needs a value");
  // The last of repeated options counts; a later --follow-referrals keeps the depth.
  EXPECT_EQ(ParseOk({"-p", "1", "--port=2", "x"}).Port, 2);
  EXPECT_TRUE(ParseOk({"+norec", "+rec", "x"}).RecursionDesired);
  EXPECT_EQ(ParseOk({"--follow-referrals=2", "--follow-referrals", "x"}).MaxRecursiveQueries, 2);
  // The first mistake on the line is the one reported.
  EXPECT_EQ(ParseError({"--bogus", "-p", "0", "x"}), "unknown option --bogus");
  // Help, then version, then --list-dns win over everything read without error.
  EXPECT_EQ(ParseOk({"--version", "--help", "-x", "bad"}).Mode, TCliMode::cmHelp);
  EXPECT_EQ(ParseOk({"--list-dns", "-V", "--short", "--json"}).Mode, TCliMode::cmVersion);
  EXPECT_EQ(ParseError({"--list-dns", "-x", "::1"}), "--list-dns takes no TYPE or NAME");
}

// dig's and kdig's ways of naming the server, its port, the source address, the
// questions and their timing, each read into the same options as the long form.
TEST(CliArguments, DigAndKdigServerAndQuerySyntax) {
  struct Case {
    std::vector<std::string> arguments;
    std::string server;
    std::int32_t port;
    std::vector<std::string> questions;  // "NAME TYPE CLASS" each
    std::string source = "";
    int tries = 3;
    std::int32_t seconds = 5;
    bool ignore = false;
  };
  const Case cases[] = {
      {{"@127.0.0.1#5353", "x.test"}, "127.0.0.1", 5353, {"x.test 1 1"}},
      {{"@ns.test@54", "x.test"}, "ns.test", 54, {"x.test 1 1"}},
      {{"@[::1]:55", "x.test"}, "::1", 55, {"x.test 1 1"}},
      {{"@[fe80::1%lo]#56", "x.test"}, "fe80::1%lo", 56, {"x.test 1 1"}},
      {{"@10.0.0.1:57", "-p", "9", "x.test"}, "10.0.0.1", 57, {"x.test 1 1"}},
      {{"@2001:db8::1", "x.test"}, "2001:db8::1", 53, {"x.test 1 1"}},
      {{"@a#59", "@b#59", "x.test"}, "a", 59, {"x.test 1 1"}},
      {{"CH", "TXT", "version.bind"}, "", 53, {"version.bind 16 3"}},
      {{"version.bind", "txt", "ch"}, "", 53, {"version.bind 16 3"}},
      {{"a.test", "mx", "b.test", "c.test", "aaaa", "hs"},
       "",
       53,
       {"a.test 15 1", "b.test 1 1", "c.test 28 4"}},
      {{"MX", "a.test", "NS", "b.test"}, "", 53, {"a.test 15 1", "b.test 2 1"}},
      {{"-q", "mx", "-q", "-odd", "ns"}, "", 53, {"mx 1 1", "-odd 2 1"}},
      {{"-t", "soa", "-qa", "b.test"}, "", 53, {"a 6 1", "b.test 6 1"}},
      {{"-b", "127.0.0.2", "x.test"}, "", 53, {"x.test 1 1"}, "127.0.0.2"},
      {{"--source=::1#0", "x.test"}, "", 53, {"x.test 1 1"}, "::1"},
      {{"+retry=0", "x.test"}, "", 53, {"x.test 1 1"}, "", 1},
      {{"+time=2", "+retry=4", "x.test"}, "", 53, {"x.test 1 1"}, "", 5, 10},
      {{"-W", "1", "+time=9", "x.test"}, "", 53, {"x.test 1 1"}, "", 3, 1},
      {{"+ignore", "x.test"}, "", 53, {"x.test 1 1"}, "", 3, 5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
    const TCliOptions options = ParseOk(c.arguments);
    EXPECT_EQ(options.Server.value_or(""), c.server);
    EXPECT_EQ(options.Port, c.port);
    std::vector<std::string> questions = {options.Name + " " + std::to_string(options.QueryType) +
                                          " " + std::to_string(options.QueryClass)};
    for (const TCliQuestion& q : options.MoreQuestions)
      questions.push_back(q.Name + " " + std::to_string(q.Type) + " " + std::to_string(q.Class));
    EXPECT_EQ(questions, c.questions);
    EXPECT_EQ(options.SourceAddress, c.source);
    EXPECT_EQ(options.Tries, c.tries);
    EXPECT_EQ(options.TimeOutSeconds, c.seconds);
    EXPECT_EQ(options.IgnoreTruncation, c.ignore);
    const TzvDnsExchangeSettings settings = ExchangeSettingsOf(options);
    EXPECT_EQ(settings.LocalBinding, c.source);
    EXPECT_EQ(settings.IgnoreTruncation, c.ignore);
    EXPECT_EQ(settings.TimeOut, c.seconds * 1000);
  }
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {{"@1.2.3.4#0", "x"}, "the port must be a whole number from 1 to 65535, not '0'"},
      {{"@[::1]53", "x"}, "unexpected text after ']'"},
      {{"@a#1", "@b#2", "x"}, "one port, not on 1 and 2"},
      {{"-b", "127.0.0.2#5300", "x"}, "-b cannot choose the source port"},
      {{"-b", "host.test", "x"}, "-b takes a local IPv4 or IPv6 address"},
      {{"-b", "::1", "@127.0.0.1", "x"}, "-b ::1 (IPv6) cannot reach the server 127.0.0.1"},
      {{"+time=0", "x"}, "+time takes"},
      {{"a.test", "localhost"}, "unknown TYPE 'localhost'"},
      {{"a.test", "mx", "aaaa"}, "'aaaa' has no NAME"},
      {{"mx", "a", "b"}, "'a' is read as one of several NAMEs"},
      {{"--trace", "a.test", "b.test"}, "--trace follows one question"},
      {{"-f", "-", "+ignore"}, "+ignore cannot be combined with -f"},
      {{"+tpc", "x"}, "did you mean +tcp?"},
      {{"+retyr=1", "x"}, "did you mean +retry?"},
  };
  for (const auto& [arguments, message] : refused)
    EXPECT_NE(ParseError(arguments).find(message), std::string::npos) << message;
}

// A file of the source tree, found from this test's own place in it (tests/cli/).
std::string SourceText(const std::string& relative) {
  std::ifstream file(std::filesystem::path(PELLAMAR_SOURCE_DIR) / relative);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Whether `word` stands in `text` on its own: "+norec" is not in "+norecurse", nor "-p"
// in "--port".
bool Mentions(const std::string& text, const std::string& word) {
  auto in_word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
  for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    const std::size_t end = at + word.size();
    if ((at == 0 || (!in_word(text[at - 1]) && text[at - 1] != '+')) &&
        (end == text.size() || !in_word(text[end])))
      return true;
  }
  return false;
}

// Each option read is one the parser knows, and one that --help, the manual page and the
// shell completion all offer, in every spelling.
TEST(CliArguments, EveryOptionIsReadDocumentedAndCompleted) {
  const std::vector<std::string> spellings = CliOptionSpellings();
  ASSERT_NE(std::find(spellings.begin(), spellings.end(), "+norec"), spellings.end());
  std::string man = SourceText("cli/pellamar-cli.1.in");
  // The manual page writes a hyphen as "\-".
  for (std::size_t at = man.find("\\-"); at != std::string::npos; at = man.find("\\-", at))
    man.replace(at, 2, "-");
  const std::string completion = SourceText("cli/pellamar-cli.bash-completion");
  ASSERT_NE(man.find(".SH OPTIONS"), std::string::npos);
  ASSERT_NE(completion.find("complete -F"), std::string::npos);
  for (const std::string& spelling : spellings) {
    const TCliParseResult read = ParseCliArguments({spelling, "::1"});
    if (read.Error) {
      EXPECT_NE(read.Error->Message.rfind("unknown option", 0), 0u) << spelling;
    }
    EXPECT_TRUE(Mentions(CliHelp(), spelling)) << spelling << " is not in --help";
    EXPECT_TRUE(Mentions(man, spelling)) << spelling << " is not in the manual page";
    EXPECT_TRUE(Mentions(completion, spelling)) << spelling << " is not in the completion";
  }
}

}  // namespace
