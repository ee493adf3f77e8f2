// The command line of pellamar-cli, read into plain settings. Reading the command line
// never looks anything up: the port and time-out stay texts, read as integers later in
// the same way the window reads its fields, so a bad value fails the lookup, not the usage.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class TCliMode { cmLookup, cmListDns, cmHelp, cmVersion };

// The four lookups, in the order of the window's query-type list.
enum class TCliQueryType { qtMX = 0, qtA = 1, qtPTR = 2, qtNS = 3 };

struct TCliOptions {
  TCliMode Mode = TCliMode::cmLookup;
  std::optional<std::string> Server;  // none: the first server --list-dns finds
  std::string Port = "53";
  std::string TimeOut = "5";  // seconds
  bool FollowReferrals = false;
  int MaxRecursiveQueries = 4;
  bool RecursionDesired = true;
  TCliQueryType QueryType = TCliQueryType::qtMX;
  std::string Name;
};

// A command line that cannot be understood; the message says what is wrong.
struct TCliUsageError {
  std::string Message;
};

// Reads the arguments after the program name. Returns the options, or the usage error.
// (No exceptions: a usage error is an ordinary outcome of reading what a person typed.)
struct TCliParseResult {
  std::optional<TCliOptions> Options;
  std::optional<TCliUsageError> Error;
};
TCliParseResult ParseCliArguments(const std::vector<std::string>& arguments);

// The type word (mx, a, ptr, ns in any letter case), or none.
std::optional<TCliQueryType> ParseQueryType(const std::string& word);

// The one-line synopsis shown with usage errors, and the full manual-style help.
std::string CliUsage();
std::string CliHelp();
std::string CliVersion();
