#include "cli/CliOptions.h"

#include <arpa/inet.h>

#include <cstdint>
#include <string_view>

#include "base/Version.h"
#include "dns/zvDnsRecordTypes.h"

namespace {

// Options that take a value accept "-s VALUE", "-sVALUE", "--server VALUE" and
// "--server=VALUE"; returns true and the value when `argument` is one of them. A short
// name of 0 means the option has only its long form.
bool TakeValue(const std::vector<std::string>& arguments, std::size_t& i, char short_name,
               std::string_view long_name, std::string& value, std::string& error) {
  const std::string& argument = arguments[i];
  const std::string short_form = short_name != 0 ? std::string("-") + short_name : std::string();
  const std::string long_form = "--" + std::string(long_name);
  std::string attached;
  bool matched = false;
  bool has_attached = false;
  if ((!short_form.empty() && argument == short_form) || argument == long_form) {
    matched = true;
  } else if (!short_form.empty() && argument.size() > 2 &&
             argument.compare(0, 2, short_form) == 0 && argument[1] != '-') {
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

// -x takes an address, as dig's does: its reverse name is what is asked.
bool IsIPAddressText(const std::string& text) {
  unsigned char octets[16];
  return inet_pton(AF_INET, text.c_str(), octets) == 1 ||
         inet_pton(AF_INET6, text.c_str(), octets) == 1;
}

// A whole number within [low, high], or none. Only plain decimal digits are read: a
// command line is typed by people and scripts who mean "0x35" or "$35" as a mistake, not
// as hexadecimal, and a sign, blank or empty text is never a port, time-out or depth.
std::optional<std::int32_t> NumberIn(const std::string& text, std::int64_t low, std::int64_t high) {
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    // Past the widest range asked for the number can only be refused; stopping here keeps
    // a long run of digits from overflowing.
    if (value > high) return std::nullopt;
  }
  if (value < low) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

constexpr const char* kTypeList = "mx, a, aaaa, ptr, ns, txt, soa, cname, srv or caa";

std::string UnknownType(const std::string& word) {
  std::string message = "unknown TYPE '" + word + "' (" + kTypeList + ")";
  // -t once gave the time-out; a number after it is most likely one.
  if (NumberIn(word, 0, INT32_MAX)) message += "; the time-out is -W SECONDS or --timeout SECONDS";
  return message;
}

}  // namespace

std::optional<std::int32_t> ParseQueryType(const std::string& word) {
  const std::int32_t type = DnsTypeFromText(word);
  if (type == 0) return std::nullopt;
  return type;
}

TCliParseResult ParseCliArguments(const std::vector<std::string>& arguments) {
  TCliOptions options;
  std::vector<std::string> positional;
  std::optional<std::string> type_option;
  std::optional<std::string> reverse;
  bool list_dns = false;
  bool help = false;
  bool version = false;
  bool options_ended = false;
  bool short_output = false;
  bool json_output = false;
  auto fail = [](std::string message) {
    return TCliParseResult{std::nullopt, TCliUsageError{std::move(message)}};
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!options_ended && argument.size() > 1 && argument[0] == '@') {
      options.Server = argument.substr(1);
      continue;
    }
    // dig's spelling of the options its users type most; a name starting with "+" goes
    // after "--".
    if (!options_ended && argument.size() > 1 && argument[0] == '+') {
      if (argument == "+short") {
        short_output = true;
      } else if (argument == "+norecurse" || argument == "+norec") {
        options.RecursionDesired = false;
      } else if (argument == "+recurse" || argument == "+rec") {
        options.RecursionDesired = true;
      } else {
        return fail("unknown option " + argument +
                    " (of dig's +options, pellamar-cli reads +short, +norecurse and +recurse)");
      }
      continue;
    }
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
      const auto port = NumberIn(value, 1, 65535);
      if (!port)
        return fail("the port must be a whole number from 1 to 65535, not '" + value + "'");
      options.Port = *port;
    } else if (TakeValue(arguments, i, 'W', "timeout", value, error)) {
      if (!error.empty()) return fail(error);
      // The component takes milliseconds in 32 bits.
      const auto seconds = NumberIn(value, 0, INT32_MAX / 1000);
      if (!seconds)
        return fail("the time-out must be a whole number of seconds from 0 to " +
                    std::to_string(INT32_MAX / 1000) + ", not '" + value + "'");
      options.TimeOutSeconds = *seconds;
    } else if (TakeValue(arguments, i, 't', "type", value, error)) {
      if (!error.empty()) return fail(error);
      type_option = value;
    } else if (TakeValue(arguments, i, 'x', "reverse", value, error)) {
      if (!error.empty()) return fail(error);
      reverse = value;
    } else if (argument == "--follow-referrals") {
      options.FollowReferrals = true;
    } else if (argument.rfind("--follow-referrals=", 0) == 0) {
      const std::string depth_text = argument.substr(19);
      const auto depth = NumberIn(depth_text, 0, INT32_MAX);
      if (!depth)
        return fail("--follow-referrals takes a whole number of steps from 0 up, not '" +
                    depth_text + "'");
      options.FollowReferrals = true;
      options.MaxRecursiveQueries = *depth;
    } else if (argument == "--no-recursion") {
      options.RecursionDesired = false;
    } else if (argument == "--short") {
      short_output = true;
    } else if (argument == "--json") {
      json_output = true;
    } else if (argument == "--verbose") {
      options.Verbose = true;
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
    if (!positional.empty() || type_option || reverse)
      return fail("--list-dns takes no TYPE or NAME");
    options.Mode = TCliMode::cmListDns;
    return {options, std::nullopt};
  }
  if (short_output && json_output) return fail("--short and --json cannot be combined");
  // No server could be asked at an empty address.
  if (options.Server && options.Server->empty()) return fail("the server must not be empty");
  if (short_output) options.Output = TCliOutput::coShort;
  if (json_output) options.Output = TCliOutput::coJson;

  if (reverse) {
    if (!positional.empty() || type_option) return fail("-x ADDRESS takes no TYPE or NAME");
    if (!IsIPAddressText(*reverse))
      return fail("-x takes an IPv4 or IPv6 address, not '" + *reverse + "'");
    options.QueryType = kzvDnsTypePTR;
    options.Name = *reverse;
    return {options, std::nullopt};
  }
  std::optional<std::int32_t> type;
  if (type_option) {
    type = ParseQueryType(*type_option);
    if (!type) return fail(UnknownType(*type_option));
  }
  if (positional.size() == 1) {
    options.Name = positional[0];
  } else if (positional.size() == 2 && !type_option) {
    // Today's "TYPE NAME", or dig's "NAME TYPE" when only the second word is a type.
    if ((type = ParseQueryType(positional[0]))) {
      options.Name = positional[1];
    } else if ((type = ParseQueryType(positional[1]))) {
      options.Name = positional[0];
    } else {
      return fail(UnknownType(positional[0]));
    }
  } else {
    return fail(type_option ? "expected one NAME after -t TYPE"
                            : "expected NAME, or TYPE and NAME");
  }
  if (type) options.QueryType = *type;
  return {options, std::nullopt};
}

std::string CliUsage() {
  return "usage: pellamar-cli [@SERVER | -s SERVER] [-p PORT] [-W SECONDS] [-t TYPE]\n"
         "                    [--short | --json] [--verbose] [--follow-referrals[=DEPTH]]\n"
         "                    [--no-recursion] [TYPE] NAME [TYPE]\n"
         "       pellamar-cli [options] -x ADDRESS\n"
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
    pellamar-cli [@SERVER | -s SERVER] [-p PORT] [-W SECONDS] [-t TYPE]
                 [--short | --json] [--verbose] [--follow-referrals[=DEPTH]]
                 [--no-recursion] [TYPE] NAME [TYPE]
    pellamar-cli [options] -x ADDRESS
    pellamar-cli --list-dns
    pellamar-cli --help | --version

DESCRIPTION
    Sends one question of TYPE (A when none is given) for NAME to SERVER over UDP,
    waits for one answer and prints what it holds under the same headings, in the same
    order and format, as the Pellamar window appends to its result pane:

        ====== Servidores de Correo ======   mail servers: name, Preference n, address
        ====== Hosts ======                  host name, address (IPv4 first, then IPv6)
        ====== Nombre Servidores ======      name servers
        ====== Alias ======                  aliases (names that are CNAMEs)

    and, for the types the window does not ask:

        ====== Textos ======                 name, "text" ...
        ====== Inicio de Autoridad ======    zone, primary server, mailbox, Serial n,
                                             Refresh n, Retry n, Expire n, Minimum n
        ====== Nombres Canónicos ======      alias, canonical name
        ====== Servicios ======              service, Priority n, Weight n, Port n, host
        ====== Autoridades de Certificación ======
                                             name, Flags n, tag "value"

    Each section is followed by one empty line; empty sections are not printed. When
    the lookup fails, the window's two lines are printed instead:

        ====== Error ======
         - El servidor no responde.

    and one line on standard error gives the failure's own message and code.

    TYPE NAME (the form of earlier versions) and NAME TYPE (dig's) are both read.
    Names with letters beyond ASCII (café.example) are sent in their A-label form
    (xn--caf-dma.example); answers' names in that form are shown with their Unicode
    form beside them. A byte of a name that is not printable is shown as \DDD, as dig
    does, unless the name is valid UTF-8 text.

TYPES (any letter case)
    a      IPv4 addresses of a host name
    aaaa   IPv6 addresses of a host name
    mx     mail servers of a domain; a mail address asks for its domain
    ns     name servers of a domain
    ptr    host names of an address: IPv4 under in-addr.arpa, IPv6 under ip6.arpa
    txt    texts of a name
    soa    the zone's start of authority
    cname  the canonical name of an alias
    srv    services (_service._proto.domain)
    caa    the certification authorities allowed to issue for a domain

OPTIONS
    @SERVER, -s, --server SERVER
                           the DNS server, as an address or a host name
                           (default: the first server --list-dns finds)
    -p, --port PORT        the server's port, 1 to 65535 (default 53)
    -W, --timeout SECONDS  how long one wait for the answer may last (default 5)
    -t, --type TYPE        the question's type (instead of the TYPE word)
    -x, --reverse ADDRESS  the host names of an IPv4 or IPv6 address (type ptr)
    --short, +short        only the answer records' data, one per line
    --json                 one JSON object: question, server, port, transport,
                           truncated, time_ms, rcode, flags, error, and the answer,
                           authority and additional records (name, type, class,
                           ttl, data)
    --verbose              on standard error: the server, transport and time taken,
                           the response code and flags, every record with its TTL
    --follow-referrals[=DEPTH]
                           follow referrals to other name servers, at most DEPTH
                           steps deep (0 or more; default 4)
    --no-recursion, +norecurse
                           do not ask the server to recurse (clears RD);
                           +recurse asks it again
    --list-dns             list the DNS servers this machine is configured to use
    -h, --help             this text
    -V, --version          the version

EXIT STATUS
    0  answered without error (also when the answer holds nothing)
    1  the server answered with an error code (NXDOMAIN, SERVFAIL, REFUSED, ...)
    2  usage error, or an input that cannot be sent (port, time-out, depth, type,
       name): nothing is sent and nothing is printed on standard output
    3  the system's DNS configuration cannot be read (or names no server)
    4  no usable answer: time-out, connection refused, unreachable, a malformed answer
       or a truncated one that could not be completed
)";
}
