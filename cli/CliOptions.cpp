#include "cli/CliOptions.h"

#include <string_view>

#include "base/SysUtils.h"
#include "base/Version.h"

namespace {

// Options that take a value accept "-s VALUE", "-sVALUE", "--server VALUE" and
// "--server=VALUE"; returns true and the value when `argument` is one of them.
bool TakeValue(const std::vector<std::string>& arguments, std::size_t& i, char short_name,
               std::string_view long_name, std::string& value, std::string& error) {
  const std::string& argument = arguments[i];
  const std::string short_form = std::string("-") + short_name;
  const std::string long_form = "--" + std::string(long_name);
  std::string attached;
  bool matched = false;
  bool has_attached = false;
  if (argument == short_form || argument == long_form) {
    matched = true;
  } else if (argument.size() > 2 && argument.compare(0, 2, short_form) == 0 && argument[1] != '-') {
    matched = has_attached = true;
    attached = argument.substr(2);
  } else if (argument.compare(0, long_form.size() + 1, long_form + "=") == 0) {
    matched = has_attached = true;
    attached = argument.substr(long_form.size() + 1);
  }
  if (!matched) return false;
  if (has_attached) {
    value = attached;
  } else if (i + 1 < arguments.size()) {
    value = arguments[++i];
  } else {
    error = "option " + argument + " needs a value";
  }
  return true;
}

}  // namespace

std::optional<TCliQueryType> ParseQueryType(const std::string& word) {
  if (SameText(word, "mx")) return TCliQueryType::qtMX;
  if (SameText(word, "a")) return TCliQueryType::qtA;
  if (SameText(word, "ptr")) return TCliQueryType::qtPTR;
  if (SameText(word, "ns")) return TCliQueryType::qtNS;
  return std::nullopt;
}

TCliParseResult ParseCliArguments(const std::vector<std::string>& arguments) {
  TCliOptions options;
  std::vector<std::string> positional;
  bool list_dns = false;
  bool help = false;
  bool version = false;
  bool options_ended = false;
  auto fail = [](std::string message) {
    return TCliParseResult{std::nullopt, TCliUsageError{std::move(message)}};
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (options_ended || argument.empty() || argument[0] != '-' || argument == "-") {
      positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      options_ended = true;
      continue;
    }
    std::string value;
    std::string error;
    if (TakeValue(arguments, i, 's', "server", value, error)) {
      if (!error.empty()) return fail(error);
      options.Server = value;
    } else if (TakeValue(arguments, i, 'p', "port", value, error)) {
      if (!error.empty()) return fail(error);
      options.Port = value;
    } else if (TakeValue(arguments, i, 't', "timeout", value, error)) {
      if (!error.empty()) return fail(error);
      options.TimeOut = value;
    } else if (argument == "--follow-referrals") {
      options.FollowReferrals = true;
    } else if (argument.rfind("--follow-referrals=", 0) == 0) {
      const auto depth = TryStrToInt(std::string_view(argument).substr(19));
      if (!depth) return fail("--follow-referrals takes a whole number of steps");
      options.FollowReferrals = true;
      options.MaxRecursiveQueries = *depth;
    } else if (argument == "--no-recursion") {
      options.RecursionDesired = false;
    } else if (argument == "--list-dns") {
      list_dns = true;
    } else if (argument == "-h" || argument == "--help") {
      help = true;
    } else if (argument == "-V" || argument == "--version") {
      version = true;
    } else {
      return fail("unknown option " + argument);
    }
  }

  if (help) {
    options.Mode = TCliMode::cmHelp;
    return {options, std::nullopt};
  }
  if (version) {
    options.Mode = TCliMode::cmVersion;
    return {options, std::nullopt};
  }
  if (list_dns) {
    if (!positional.empty()) return fail("--list-dns takes no TYPE or NAME");
    options.Mode = TCliMode::cmListDns;
    return {options, std::nullopt};
  }
  if (positional.size() != 2) return fail("expected TYPE and NAME");
  const auto type = ParseQueryType(positional[0]);
  if (!type) return fail("unknown TYPE '" + positional[0] + "' (mx, a, ptr or ns)");
  options.QueryType = *type;
  options.Name = positional[1];
  return {options, std::nullopt};
}

std::string CliUsage() {
  return "usage: pellamar-cli [-s SERVER] [-p PORT] [-t SECONDS] [--follow-referrals[=DEPTH]]\n"
         "                    [--no-recursion] TYPE NAME\n"
         "       pellamar-cli --list-dns\n"
         "       pellamar-cli --help | --version\n";
}

std::string CliVersion() {
  return std::string("pellamar-cli ") + kPellamarVersion + " (build " + kPellamarBuild + ")\n";
}

std::string CliHelp() {
  return R"(NAME
    pellamar-cli - ask one DNS server one question, the way the Pellamar window does

SYNOPSIS
    pellamar-cli [-s SERVER] [-p PORT] [-t SECONDS] [--follow-referrals[=DEPTH]]
                 [--no-recursion] TYPE NAME
    pellamar-cli --list-dns
    pellamar-cli --help | --version

DESCRIPTION
    Sends one question of TYPE for NAME to SERVER over UDP, waits for one answer and
    prints what it holds under the same headings, in the same order and format, as the
    Pellamar window appends to its result pane:

        ====== Servidores de Correo ======   mail servers: name, Preference n, address
        ====== Hosts ======                  host name, address
        ====== Nombre Servidores ======      name servers
        ====== Alias ======                  aliases (names that are CNAMEs)

    Each section is followed by one empty line; empty sections are not printed. When
    the lookup fails, the window's two lines are printed instead:

        ====== Error ======
         - El servidor no responde.

    and one line on standard error gives the failure's own message and code.

TYPES (any letter case)
    mx     mail servers of a domain; a mail address asks for its domain
    a      addresses of a host name
    ptr    host names of an IPv4 address (reversed under in-addr.arpa)
    ns     name servers of a domain

OPTIONS
    -s, --server SERVER    the DNS server, as an address or a host name
                           (default: the first server --list-dns finds)
    -p, --port PORT        the server's UDP port (default 53)
    -t, --timeout SECONDS  how long one wait for the answer may last (default 5)
    --follow-referrals[=DEPTH]
                           follow referrals to other name servers, at most DEPTH
                           steps deep (default 4)
    --no-recursion         do not ask the server to recurse (clears RD)
    --list-dns             list the DNS servers this machine is configured to use
    -h, --help             this text
    -V, --version          the version

EXIT STATUS
    0  the lookup succeeded (also when it found nothing)
    1  the lookup failed
    2  the command line was not understood (nothing is printed on standard output)
    3  the configured DNS servers could not be read
)";
}
