#include "cli/CliOptions.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>
#include <utility>

#include "base/Base64.h"
#include "base/Version.h"
#include "cli/SeveralServers.h"
#include "dns/zvDnsCookieJar.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsSessionOptions.h"
#include "dns/zvDnsTsig.h"

namespace {

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

// The common ones; --help lists every type word.
constexpr const char* kTypeList =
    "mx, a, aaaa, ptr, ns, txt, soa, cname, srv, caa, ds, dnskey, rrsig, nsec, nsec3, "
    "nsec3param, any or TYPEnnn";

std::string UnknownType(const std::string& word) {
  std::string message = "unknown TYPE '" + word + "' (" + kTypeList + ")";
  // -t once gave the time-out; a number after it is most likely one.
  if (NumberIn(word, 0, INT32_MAX)) message += "; the time-out is -W SECONDS or --timeout SECONDS";
  return message;
}

// What the options say. The type and the address of -x are judged once the other words
// are known, and the modes and outputs against each other, so they wait here.
struct TParsed {
  TCliOptions Options;
  std::optional<std::string> Type;
  std::optional<std::string> Reverse;
  bool Help = false, Version = false, ListDns = false;  // the modes, the first one wins
  bool Short = false, Json = false;                     // the outputs, never both
  bool DigSwitch = false;                   // one of dig's display switches: the output is dig's
  bool Dig = false, Yaml = false;           // --dig, --yaml: never beside --short or --json
  bool NoEdns = false, BufferSize = false;  // judged against --nsid, --dnssec
  bool Four = false, Six = false;           // never both
  bool PortGiven = false;                   // else DNS over TLS takes 853
  bool TlsSettings = false;                 // a TLS option: DNS over TLS, unless HTTPS was asked
  std::optional<std::string> Batch;         // -f FILE
  // The words that are not options, in order; -q's are names whatever they spell.
  struct TWord {
    std::string Text;
    bool Name = false;
  };
  std::vector<TWord> Words;
  bool TimeOutGiven = false;               // -W, which +time=N does not override
  std::optional<std::int32_t> TimePerTry;  // +time=N
  std::optional<std::int32_t> ServerPort;  // the port of @HOST#PORT and its kin
};

enum class TArgKind {
  None,          // --json
  Value,         // -p 53, -p53, --port 53, --port=53
  OptionalValue  // --follow-referrals or --follow-referrals=3; the next word is never taken
};

using TValue = const std::optional<std::string>&;  // none for an option given without one
using TError = std::optional<std::string>;

// Sets `target`; the options that cannot go wrong say so with this.
template <typename T, typename V>
TError Set(T& target, const V& value) {
  target = value;
  return {};
}

// The number `text` into `target`, or the error: `what` the number must be.
TError ReadNumber(const std::string& text, std::int64_t low, std::int64_t high,
                  std::int32_t& target, const std::string& what) {
  const auto number = NumberIn(text, low, high);
  if (!number) return what + ", not '" + text + "'";
  target = *number;
  return {};
}

// The path of a DNS over HTTPS URL: absolute, and nothing a request line could not carry.
TError SetHttpsPath(TParsed& p, const std::string& path) {
  if (path.empty() || path[0] != '/' ||
      std::any_of(path.begin(), path.end(), [](unsigned char c) { return c <= ' ' || c >= 0x7F; }))
    return "the HTTPS path must start with '/' and hold no blanks or control characters, not '" +
           path + "'";
  p.Options.HttpsPath = path;
  return {};
}

// tls://HOST[:PORT] and https://HOST[:PORT]/PATH name the server and the transport at
// once: `server` becomes the host alone, and the transport, port and path are set.
TError ReadServerUrl(TParsed& parsed, std::string& server) {
  TCliOptions& options = parsed.Options;
  constexpr std::string_view kTlsScheme = "tls://", kHttpsScheme = "https://";
  const bool tls_url = server.rfind(kTlsScheme, 0) == 0;
  const bool https_url = server.rfind(kHttpsScheme, 0) == 0;
  if (!tls_url && !https_url) return {};
  std::string host = server.substr(tls_url ? kTlsScheme.size() : kHttpsScheme.size());
  if (https_url) {
    options.Https = true;
    if (const std::size_t slash = host.find('/'); slash != std::string::npos) {
      if (TError error = SetHttpsPath(parsed, host.substr(slash))) return error;
      host.resize(slash);
    }
  } else {
    options.Tls = true;
  }
  // [::1]:853, host:853 or an address of IPv6 alone.
  std::string port;
  if (!host.empty() && host[0] == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return "unclosed '[' in the server " + server;
    if (close + 1 < host.size()) {
      if (host[close + 1] != ':') return "unexpected text after ']' in " + server;
      port = host.substr(close + 2);
    }
    host = host.substr(1, close - 1);
  } else if (host.find(':') == host.rfind(':') && host.find(':') != std::string::npos) {
    port = host.substr(host.find(':') + 1);
    host.resize(host.find(':'));
  }
  if (!port.empty()) {
    parsed.PortGiven = true;
    if (TError error = ReadNumber(port, 1, 65535, options.Port,
                                  "the port must be a whole number from 1 to 65535"))
      return error;
  }
  server = host;
  return {};
}

// A port written into a server's word: its text and where it starts.
TError ReadServerPort(TParsed& parsed, const std::string& port, const std::string& server) {
  std::int32_t number = 0;
  if (TError error =
          ReadNumber(port, 1, 65535, number, "the port must be a whole number from 1 to 65535"))
    return *error + " (in the server " + server + ")";
  // One port for every server: they are asked alike.
  if (parsed.ServerPort && *parsed.ServerPort != number)
    return "the servers are asked on one port, not on " + std::to_string(*parsed.ServerPort) +
           " and " + std::to_string(number);
  parsed.ServerPort = number;
  return {};
}

// dig's HOST#PORT, kdig's HOST@PORT, [V6]:PORT or [V6]#PORT, and V4:PORT or NAME:PORT:
// `server` becomes the host alone. An IPv6 address without brackets is an address
// whole, its colons no port's.
TError SplitServerPort(TParsed& parsed, std::string& server) {
  const std::string given = server;
  if (!server.empty() && server[0] == '[') {
    const std::size_t close = server.find(']');
    if (close == std::string::npos) return "unclosed '[' in the server " + given;
    std::string rest = server.substr(close + 1);
    server = server.substr(1, close - 1);
    if (rest.empty()) return {};
    if (rest.size() < 2 || (rest[0] != ':' && rest[0] != '#' && rest[0] != '@'))
      return "unexpected text after ']' in the server " + given;
    return ReadServerPort(parsed, rest.substr(1), given);
  }
  std::size_t cut = server.find_last_of("#@");
  if (cut == std::string::npos && server.find(':') == server.rfind(':')) cut = server.find(':');
  if (cut == std::string::npos) return {};
  const std::string port = server.substr(cut + 1);
  server.resize(cut);
  return ReadServerPort(parsed, port, given);
}

// -b ADDRESS[#PORT]: the address questions are sent from. The sockets are bound with the
// port the system picks, so no other can be asked for.
TError SetSource(TParsed& parsed, const std::string& value) {
  std::string address = value;
  if (const std::size_t hash = address.rfind('#'); hash != std::string::npos) {
    const std::string port = address.substr(hash + 1);
    address.resize(hash);
    if (port != "0")
      return "-b cannot choose the source port (the system picks one): give -b " + address +
             " alone, not port '" + port + "'";
  }
  if (!address.empty() && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  if (!IsIPAddressText(address))
    return "-b takes a local IPv4 or IPv6 address, not '" + address + "'";
  parsed.Options.SourceAddress = address;
  return {};
}

// --subnet ADDRESS[/PREFIX]: the client subnet a resolver may pass on; 0/0 for none.
TError SetSubnet(TParsed& parsed, const std::string& value) {
  parsed.Options.ClientSubnet = ParseClientSubnet(value);
  if (!parsed.Options.ClientSubnet)
    return "--subnet takes an IPv4 or IPv6 address with an optional /PREFIX of its bits "
           "(0/0 for none), not '" +
           value + "'";
  return {};
}

// +ednsopt=CODE[:HEX]: an option of any code, with the bytes of HEX (none without).
TError AddEdnsOption(TParsed& parsed, const std::string& value) {
  const std::size_t colon = value.find(':');
  const std::string code = value.substr(0, colon);
  std::int32_t number = 0;
  if (TError error =
          ReadNumber(code, 0, 65535, number,
                     "+ednsopt takes CODE[:HEX], a code from 0 to 65535, not '" + value + "'"))
    return error;
  TzvEdnsOption option{static_cast<std::uint16_t>(number), {}};
  if (colon != std::string::npos) {
    const std::string hex = value.substr(colon + 1);
    const bool digits = std::all_of(hex.begin(), hex.end(), [](char c) {
      return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    });
    // Whatever else the question holds must fit beside it in one message.
    if (!digits || hex.size() % 2 != 0 || hex.size() > 2 * 60000)
      return "+ednsopt's data must be an even number of hex digits (at most 60000 bytes), "
             "not '" +
             hex + "'";
    option.Data = HexDecode(hex);
  }
  parsed.Options.EdnsOptions.push_back(std::move(option));
  return {};
}

// +ednsflags=N: the OPT record's flag bits other than DO, decimal or 0x hex.
TError SetEdnsFlags(TParsed& parsed, const std::string& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long flags = std::strtoul(value.c_str(), &end, 0);
  if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' ||
      errno != 0 || flags > 0xFFFF)
    return "+ednsflags takes a number from 0 to 0xffff, not '" + value + "'";
  parsed.Options.EdnsFlags = static_cast<std::uint16_t>(flags);
  return {};
}

// One option: its spellings, whether it takes a value, and what it sets. A value that
// cannot be used is refused where it stands, so the first mistake on the line is named.
struct TOptionRow {
  const char* Spellings;  // "-p --port", "--no-recursion +norecurse +norec" (dig's name first)
  TArgKind Kind;
  TError (*Apply)(TParsed&, TValue);
  // One of dig's display switches, which a refusal of an unknown +option does not list;
  // nor does it list the EDNS controls of today's resolvers (+cd, +subnet, ...), which
  // --help names.
  bool Display = false;
};

// One of dig's display switches: sets its part of dig's output, and asks for that output.
template <bool TDigDisplay::*Part, bool On>
TError DigPart(TParsed& p, TValue) {
  p.DigSwitch = true;
  p.Options.Dig.*Part = On;
  return {};
}

// +cookie: a cookie over TLS and HTTPS too; +cookie=HEX sends that one (a client cookie of 8
// bytes, or one with a server cookie after it: 16 to 40 bytes).
TError SetCookie(TParsed& p, TValue v) {
  p.Options.Cookie = p.Options.CookieOverTls = true;
  if (!v) return {};
  const std::string what = "+cookie= takes 8 bytes of hex, or 16 to 40, not '" + *v + "'";
  std::vector<std::uint8_t> bytes;
  try {
    bytes = HexDecode(*v);
  } catch (const EConvertError&) {
    return what;
  }
  if (bytes.size() != kzvClientCookieSize &&
      (bytes.size() < kzvClientCookieSize + kzvServerCookieMin ||
       bytes.size() > kzvClientCookieSize + kzvServerCookieMax))
    return what;
  p.Options.CookieBytes = std::move(bytes);
  return {};
}

TError SetQueryClass(TParsed& p, TValue v) {
  const std::int32_t code = DnsClassFromText(*v);
  if (code != rcInternet && code != rcChaos && code != rcHesiod)
    return TError("unknown CLASS '" + *v + "' (in, ch or hs)");
  return Set(p.Options.QueryClass, code);
}

// -y and -k: the key, read now so that one that cannot be used is the command line's
// mistake. The message never repeats the secret.
TError SetTsigKey(TParsed& p, const std::string& value, bool file) {
  try {
    TzvTsigKey key = file ? ReadTsigKeyFile(value) : ParseTsigKeyText(value);
    // The clock a signature is dated by may be set off, for the tests of a server's check.
    if (const char* offset = std::getenv("PELLAMAR_TSIG_CLOCK_OFFSET"))
      key.ClockOffset = std::strtoll(offset, nullptr, 10);
    p.Options.Tsig = std::make_shared<const TzvTsigKey>(std::move(key));
  } catch (const EzvDnsError& error) {
    return TError(error.Message());
  }
  return {};
}

// The zone transfers' type words, axfr and ixfr=SERIAL, as the type codes the question
// reads; the serial is kept apart.
TError ReadTransferWord(TParsed& p, std::string& word) {
  std::string lower = word;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "axfr") word = "TYPE252";
  if (lower == "ixfr") return TError("ixfr takes the serial the copy has: ixfr=SERIAL");
  if (!lower.starts_with("ixfr=")) return {};
  const std::string serial = lower.substr(5);
  std::uint32_t value = 0;
  if (serial.empty() || serial.size() > 10 ||
      serial.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(serial) > UINT32_MAX)
    return TError("ixfr=SERIAL takes a serial from 0 to 4294967295, not '" + serial + "'");
  value = static_cast<std::uint32_t>(std::stoull(serial));
  p.Options.IxfrSerial = value;
  word = "TYPE251";
  return {};
}

// In the order of --help, which is also the order dig's names are listed in a refusal.
constexpr TOptionRow kOptions[] = {
    {"-s --server", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.Options.Servers.push_back(*v);
       return TError();
     }},
    {"-f --file", TArgKind::Value,
     [](TParsed& p, TValue v) {
       if (v->empty()) return TError("-f takes a file name, or - for standard input");
       return Set(p.Batch, *v);
     }},
    {"--trace +trace", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.Trace, true); }},
    {"--root-hints", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.Options.Trace = true;
       return Set(p.Options.RootHintsFile, *v);
     }},
    {"--concurrency", TArgKind::Value,
     [](TParsed& p, TValue v) {
       return ReadNumber(*v, 1, 10000, p.Options.Concurrency,
                         "the concurrency must be a whole number from 1 to 10000");
     }},
    {"-p --port", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.PortGiven = true;
       return ReadNumber(*v, 1, 65535, p.Options.Port,
                         "the port must be a whole number from 1 to 65535");
     }},
    // The component takes milliseconds in 32 bits.
    {"-W --timeout", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.TimeOutGiven = true;
       return ReadNumber(*v, 0, INT32_MAX / 1000, p.Options.TimeOutSeconds,
                         "the time-out must be a whole number of seconds from 0 to " +
                             std::to_string(INT32_MAX / 1000));
     }},
    {"-t --type", TArgKind::Value, [](TParsed& p, TValue v) { return Set(p.Type, *v); }},
    {"-x --reverse", TArgKind::Value, [](TParsed& p, TValue v) { return Set(p.Reverse, *v); }},
    {"--short +short", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Short, true); }},
    {"--json", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Json, true); }},
    // dig's full output and the switches that trim it.
    {"--dig", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Dig, true); }},
    {"--yaml +yaml", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Yaml, true); }, true},
    {"+noyaml", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Yaml, false); }, true},
    {"+all", TArgKind::None,
     [](TParsed& p, TValue) {
       p.DigSwitch = true;
       p.Options.Dig.All(true);
       return TError();
     },
     true},
    {"+noall", TArgKind::None,
     [](TParsed& p, TValue) {
       p.DigSwitch = true;
       p.Options.Dig.All(false);
       return TError();
     },
     true},
    {"+answer", TArgKind::None, DigPart<&TDigDisplay::Answer, true>, true},
    {"+noanswer", TArgKind::None, DigPart<&TDigDisplay::Answer, false>, true},
    {"+authority", TArgKind::None, DigPart<&TDigDisplay::Authority, true>, true},
    {"+noauthority", TArgKind::None, DigPart<&TDigDisplay::Authority, false>, true},
    {"+additional", TArgKind::None, DigPart<&TDigDisplay::Additional, true>, true},
    {"+noadditional", TArgKind::None, DigPart<&TDigDisplay::Additional, false>, true},
    {"+question", TArgKind::None, DigPart<&TDigDisplay::Question, true>, true},
    {"+noquestion", TArgKind::None, DigPart<&TDigDisplay::Question, false>, true},
    {"+comments", TArgKind::None, DigPart<&TDigDisplay::Comments, true>, true},
    {"+nocomments", TArgKind::None, DigPart<&TDigDisplay::Comments, false>, true},
    {"+cmd", TArgKind::None, DigPart<&TDigDisplay::Cmd, true>, true},
    {"+nocmd", TArgKind::None, DigPart<&TDigDisplay::Cmd, false>, true},
    {"+stats", TArgKind::None, DigPart<&TDigDisplay::Stats, true>, true},
    {"+nostats", TArgKind::None, DigPart<&TDigDisplay::Stats, false>, true},
    {"+qr", TArgKind::None, DigPart<&TDigDisplay::Qr, true>, true},
    {"+noqr", TArgKind::None, DigPart<&TDigDisplay::Qr, false>, true},
    {"+multi +multiline", TArgKind::None, DigPart<&TDigDisplay::Multi, true>, true},
    {"+nomulti +nomultiline", TArgKind::None, DigPart<&TDigDisplay::Multi, false>, true},
    {"+ttlunits", TArgKind::None, DigPart<&TDigDisplay::TtlUnits, true>, true},
    {"+nottlunits", TArgKind::None, DigPart<&TDigDisplay::TtlUnits, false>, true},
    {"+ttlid", TArgKind::None, DigPart<&TDigDisplay::TtlId, true>, true},
    {"+nottlid", TArgKind::None, DigPart<&TDigDisplay::TtlId, false>, true},
    {"+noclass", TArgKind::None, DigPart<&TDigDisplay::Class, false>, true},
    {"+identify", TArgKind::None, DigPart<&TDigDisplay::Identify, true>, true},
    {"+noidentify", TArgKind::None, DigPart<&TDigDisplay::Identify, false>, true},
    {"+onesoa", TArgKind::None, DigPart<&TDigDisplay::OneSoa, true>, true},
    {"+noonesoa", TArgKind::None, DigPart<&TDigDisplay::OneSoa, false>, true},
    {"--verbose", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Options.Verbose, true); }},
    {"--follow-referrals", TArgKind::OptionalValue,
     [](TParsed& p, TValue v) {
       p.Options.FollowReferrals = true;
       if (!v) return TError();
       return ReadNumber(*v, 0, INT32_MAX, p.Options.MaxRecursiveQueries,
                         "--follow-referrals takes a whole number of steps from 0 up");
     }},
    {"--no-recursion +norecurse +norec", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.RecursionDesired, false); }},
    {"+recurse +rec", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.RecursionDesired, true); }},
    {"--tries +tries", TArgKind::Value,
     [](TParsed& p, TValue v) {
       return ReadNumber(*v, 1, 100, p.Options.Tries,
                         "the tries must be a whole number from 1 to 100");
     }},
    {"--tcp +tcp +vc", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Options.Tcp, true); }},
    {"+notcp +novc", TArgKind::None,
     [](TParsed& p, TValue) {
       p.Options.NoTcp = true;
       return Set(p.Options.Tcp, false);
     }},
    {"--tls +tls", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Options.Tls, true); }},
    {"--https +https", TArgKind::OptionalValue,
     [](TParsed& p, TValue v) {
       p.Options.Https = true;
       return v ? SetHttpsPath(p, *v) : TError();
     }},
    {"--https-get +https-get", TArgKind::OptionalValue,
     [](TParsed& p, TValue v) {
       p.Options.Https = p.Options.HttpsGet = true;
       return v ? SetHttpsPath(p, *v) : TError();
     }},
    {"--tls-hostname +tls-hostname", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.TlsSettings = true;
       return Set(p.Options.TlsHostName, *v);
     }},
    {"--tls-ca +tls-ca", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.TlsSettings = true;
       return Set(p.Options.TlsCaFile, *v);
     }},
    {"--tls-insecure", TArgKind::None,
     [](TParsed& p, TValue) {
       p.TlsSettings = true;
       return Set(p.Options.TlsInsecure, true);
     }},
    {"--no-edns +noedns", TArgKind::None, [](TParsed& p, TValue) { return Set(p.NoEdns, true); }},
    {"--bufsize +bufsize", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.BufferSize = true;
       return ReadNumber(*v, 512, 65535, p.Options.BufferSize,
                         "the EDNS buffer size must be a whole number from 512 to 65535");
     }},
    {"--nsid +nsid", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Options.Nsid, true); }},
    {"--dnssec +dnssec", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.Dnssec, true); }},
    {"--trust-anchor", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.Options.Dnssec = true;
       return Set(p.Options.TrustAnchorFile, *v);
     }},
    // The question's controls of today's resolvers.
    {"+cdflag +cd", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.CheckingDisabled, true); }, true},
    {"+nocdflag +nocd", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.CheckingDisabled, false); }, true},
    {"+adflag", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.AuthenticData, true); }, true},
    {"+noadflag", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.AuthenticData, false); }, true},
    {"--subnet +subnet", TArgKind::Value, [](TParsed& p, TValue v) { return SetSubnet(p, *v); },
     true},
    {"+expire", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Options.Expire, true); },
     true},
    {"+zoneversion", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.ZoneVersion, true); }, true},
    {"+ednsflags", TArgKind::Value, [](TParsed& p, TValue v) { return SetEdnsFlags(p, *v); }, true},
    {"+ednsopt", TArgKind::Value, [](TParsed& p, TValue v) { return AddEdnsOption(p, *v); }, true},
    {"--graph", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.Options.Dnssec = true;
       return Set(p.Options.GraphFile, *v);
     }},
    {"-4", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Four, true); }},
    {"-6", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Six, true); }},
    {"-c --class", TArgKind::Value, SetQueryClass},
    // "+class=CH" is the question's class, as -c; bare, dig's class column.
    {"+class", TArgKind::OptionalValue,
     [](TParsed& p, TValue v) {
       return v ? SetQueryClass(p, v) : DigPart<&TDigDisplay::Class, true>(p, v);
     }},
    // dig's and kdig's ways of giving the question and how it is sent.
    {"-q --query", TArgKind::Value,
     [](TParsed& p, TValue v) {
       p.Words.push_back({*v, true});
       return TError();
     }},
    {"-b --source", TArgKind::Value, [](TParsed& p, TValue v) { return SetSource(p, *v); }},
    {"+time", TArgKind::Value,
     [](TParsed& p, TValue v) {
       std::int32_t seconds = 0;
       TError error = ReadNumber(*v, 1, INT32_MAX / 1000, seconds,
                                 "+time takes a whole number of seconds a try from 1 to " +
                                     std::to_string(INT32_MAX / 1000));
       if (!error) p.TimePerTry = seconds;
       return error;
     }},
    {"+retry", TArgKind::Value,
     [](TParsed& p, TValue v) {
       TError error = ReadNumber(*v, 0, 99, p.Options.Tries,
                                 "+retry takes a whole number of retries from 0 to 99");
       if (!error) ++p.Options.Tries;
       return error;
     }},
    {"+ignore", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.IgnoreTruncation, true); }},
    {"+noignore", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.IgnoreTruncation, false); }},
    {"-y --tsig-key", TArgKind::Value,
     [](TParsed& p, TValue v) { return SetTsigKey(p, *v, false); }},
    {"-k --tsig-key-file", TArgKind::Value,
     [](TParsed& p, TValue v) { return SetTsigKey(p, *v, true); }},
    {"--xfr-timeout", TArgKind::Value,
     [](TParsed& p, TValue v) {
       return ReadNumber(*v, 0, INT32_MAX / 1000, p.Options.XfrTimeOutSeconds,
                         "--xfr-timeout takes a whole number of seconds from 0 up");
     }},
    {"--xfr-max-records", TArgKind::Value,
     [](TParsed& p, TValue v) {
       std::int32_t most = 0;
       TError error = ReadNumber(*v, 0, INT32_MAX, most,
                                 "--xfr-max-records takes a whole number of records from 0 up");
       p.Options.XfrMaxRecords = most;
       return error;
     }},
    // The exchange's own EDNS options.
    {"+cookie", TArgKind::OptionalValue, SetCookie},
    {"--no-cookie +nocookie", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.Cookie, false); }},
    {"--padding +padding", TArgKind::Value,
     [](TParsed& p, TValue v) {
       return ReadNumber(*v, 0, kzvMostPaddingBlock, p.Options.Padding,
                         "the padding block must be a whole number of bytes from 0 to " +
                             std::to_string(kzvMostPaddingBlock));
     }},
    {"+nopadding", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Options.Padding, 0); }},
    {"+keepalive", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.Keepalive, true); }},
    {"+nokeepalive", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.Keepalive, false); }},
    {"+edns", TArgKind::OptionalValue,
     [](TParsed& p, TValue v) {
       p.NoEdns = false;
       return v ? ReadNumber(*v, 0, 255, p.Options.EdnsVersion,
                             "the EDNS version must be a whole number from 0 to 255")
                : TError();
     }},
    {"+ednsnegotiation", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.EdnsNegotiation, true); }},
    {"+noednsnegotiation", TArgKind::None,
     [](TParsed& p, TValue) { return Set(p.Options.EdnsNegotiation, false); }},
    {"--list-dns", TArgKind::None, [](TParsed& p, TValue) { return Set(p.ListDns, true); }},
    {"-h --help", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Help, true); }},
    {"-V --version", TArgKind::None, [](TParsed& p, TValue) { return Set(p.Version, true); }},
};

// Every argument is looked up in every row, so the words are split in place rather than
// through a stream (which cost a sixth of a whole plain lookup).
std::vector<std::string_view> SpellingsOf(const TOptionRow& row) {
  std::vector<std::string_view> spellings;
  std::string_view rest(row.Spellings);
  while (!rest.empty()) {
    const std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    spellings.push_back(rest.substr(0, end));
    rest.remove_prefix(end);
  }
  return spellings;
}

// The row `argument` spells, and the value written into the same word; no row when it
// spells none.
std::pair<const TOptionRow*, std::optional<std::string>> FindOption(const std::string& argument) {
  for (const TOptionRow& row : kOptions) {
    for (const std::string_view spelling : SpellingsOf(row)) {
      if (argument == spelling) return {&row, std::nullopt};
      if (row.Kind == TArgKind::None) continue;
      // A short name takes the rest of its word ("-p53"), the others what follows "=".
      const std::string prefix = std::string(spelling) + (spelling.size() == 2 ? "" : "=");
      if (argument.starts_with(prefix)) return {&row, argument.substr(prefix.size())};
    }
  }
  return {};
}

// dig's names that are read, for the refusal of the others: "+short, +norecurse and
// +recurse".
std::string PlusNames() {
  std::string names;
  for (const TOptionRow& row : kOptions) {
    const char* plus = std::strchr(row.Spellings, '+');
    if (plus == nullptr || row.Display) continue;
    if (!names.empty()) names += ", ";
    names.append(plus, std::strcspn(plus, " "));
  }
  const std::size_t last = names.rfind(", ");
  return last == std::string::npos ? names : names.replace(last, 2, " and ");
}

// The edit distance of `a` and `b`: insertions, deletions, substitutions and swaps of
// two neighbours, each one step ("+tpc" is one step from "+tcp").
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

// The +option read that `argument` most likely meant, or nothing when none is near: one
// step away for a short name, two for a longer one. The value after "=" is not weighed.
std::string ClosestPlusOption(const std::string& argument) {
  std::string word = argument.substr(0, argument.find('='));
  std::transform(word.begin(), word.end(), word.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const std::size_t most = word.size() <= 5 ? 1 : 2;
  std::string closest;
  std::size_t best = most + 1;
  for (const TOptionRow& row : kOptions)
    for (const std::string_view spelling : SpellingsOf(row)) {
      if (spelling[0] != '+') continue;
      const std::size_t distance = EditDistance(word, std::string(spelling));
      if (distance < best) best = distance, closest = spelling;
    }
  return closest;
}

// The class words a question may carry beside its type.
std::optional<std::int32_t> ClassWord(const std::string& word) {
  const std::int32_t code = DnsClassFromText(word);
  if (code == rcInternet || code == rcChaos || code == rcHesiod) return code;
  return std::nullopt;
}

// The words after the options as questions, dig's way: a name starts a question, and a
// type or class word, before or after it, belongs to it ("CH TXT version.bind",
// "version.bind TXT CH", "a.test MX b.test"), A and IN unless one is given. A second
// type word where the first has no name yet is that name ("mx a" asks a's MX); with -t,
// every word but a class is a name.
TError ReadQuestions(const std::vector<TParsed::TWord>& words, const TParsed& parsed,
                     std::vector<TCliQuestion>& questions) {
  struct TGroup {
    std::optional<std::string> Name, Type, Class;
    bool NameGiven = false;  // by -q
  };
  std::vector<TGroup> groups(1);
  for (const TParsed::TWord& word : words) {
    const bool type = !word.Name && !parsed.Type && ParseQueryType(word.Text);
    const bool klass = !word.Name && !type && ClassWord(word.Text);
    TGroup* group = &groups.back();
    auto next = [&] { group = &groups.emplace_back(); };
    std::optional<std::string>* slot = type ? &group->Type : klass ? &group->Class : &group->Name;
    if (*slot && group->Name) {
      next();
      slot = type ? &group->Type : klass ? &group->Class : &group->Name;
    } else if (*slot) {
      slot = &group->Name;  // the second type (or class) word of a question without name
    }
    *slot = word.Text;
    if (slot == &group->Name) group->NameGiven = word.Name;
  }
  // A word alone is a name, whatever it spells ("pellamar-cli mx" asks mx's addresses).
  if (groups.size() == 1 && !groups[0].Name) {
    TGroup& only = groups[0];
    if (only.Type)
      only.Name.swap(only.Type);
    else if (only.Class)
      only.Name.swap(only.Class);
    else
      return parsed.Type ? "expected a NAME after -t TYPE" : "expected NAME, or TYPE and NAME";
  }
  for (const TGroup& group : groups) {
    if (!group.Name)
      return "'" + group.Type.value_or(group.Class.value_or("")) +
             "' has no NAME to go with (its question has a type and class already)";
    // Among several names, a word without a dot is a mistyped type far more often than a
    // name: "svc.example frob" is not two questions.
    if (groups.size() > 1 && !group.NameGiven && group.Name->find('.') == std::string::npos) {
      // Two words are the earlier "TYPE NAME" with the type misspelt, refused as before.
      const std::string hint =
          words.size() == 2
              ? std::string()
              : "; several NAMEs are each written with their last dot (" + *group.Name + ".)";
      if (ParseQueryType(*group.Name) || ClassWord(*group.Name))
        return "'" + *group.Name + "' is read as one of several NAMEs" + hint;
      return UnknownType(*group.Name) + hint;
    }
  }
  const std::int32_t default_type = parsed.Type ? *ParseQueryType(*parsed.Type) : kzvDnsTypeA;
  for (const TGroup& group : groups)
    questions.push_back({*group.Name, group.Type ? *ParseQueryType(*group.Type) : default_type,
                         group.Class ? *ClassWord(*group.Class) : parsed.Options.QueryClass});
  return {};
}

}  // namespace

std::optional<std::int32_t> ParseQueryType(const std::string& word) {
  const std::int32_t type = DnsTypeFromText(word);
  if (type == 0) return std::nullopt;
  return type;
}

std::vector<std::string> CliOptionSpellings() {
  std::vector<std::string> spellings;
  for (const TOptionRow& row : kOptions)
    for (const std::string_view spelling : SpellingsOf(row)) spellings.emplace_back(spelling);
  return spellings;
}

TCliParseResult ParseCliArguments(const std::vector<std::string>& arguments) {
  TParsed parsed;
  TCliOptions& options = parsed.Options;
  std::vector<TParsed::TWord>& positional = parsed.Words;
  bool options_ended = false;
  auto fail = [](std::string message) {
    return TCliParseResult{std::nullopt, TCliUsageError{std::move(message)}};
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    // A lone "-", "+" or "@" is a word; a name starting with one of them goes after "--".
    if (options_ended || argument.size() < 2 ||
        (argument[0] != '-' && argument[0] != '+' && argument[0] != '@')) {
      positional.push_back({argument});
    } else if (argument[0] == '@') {
      options.Servers.push_back(argument.substr(1));
    } else if (argument == "--") {
      options_ended = true;
    } else {
      auto [row, value] = FindOption(argument);
      if (row == nullptr && argument[0] == '+') {
        const std::string closest = ClosestPlusOption(argument);
        return fail("unknown option " + argument +
                    (closest.empty() ? "" : "; did you mean " + closest + "?") +
                    " (of dig's +options, pellamar-cli reads " + PlusNames() + ")");
      }
      if (row == nullptr) return fail("unknown option " + argument);
      if (!value && row->Kind == TArgKind::Value) {
        if (i + 1 == arguments.size()) return fail("option " + argument + " needs a value");
        value = arguments[++i];
      }
      if (TError error = row->Apply(parsed, value)) return fail(std::move(*error));
    }
  }

  auto done = [&options](TCliMode mode) {
    options.Mode = mode == TCliMode::cmLookup && options.Trace ? TCliMode::cmTrace : mode;
    return TCliParseResult{options, std::nullopt};
  };
  if (parsed.Help) return done(TCliMode::cmHelp);
  if (parsed.Version) return done(TCliMode::cmVersion);
  if (parsed.ListDns && (!positional.empty() || parsed.Type || parsed.Reverse))
    return fail("--list-dns takes no TYPE or NAME");
  if (parsed.ListDns) return done(TCliMode::cmListDns);
  if (parsed.Short && parsed.Json) return fail("--short and --json cannot be combined");
  if ((parsed.Dig || parsed.Yaml) && (parsed.Short || parsed.Json))
    return fail("--dig and --yaml cannot be combined with --short or --json");
  for (std::string& server : options.Servers) {
    const bool url = server.starts_with("tls://") || server.starts_with("https://");
    if (TError error = url ? ReadServerUrl(parsed, server) : SplitServerPort(parsed, server))
      return fail(std::move(*error));
    // No server could be asked at an empty address.
    if (server.empty()) return fail("the server must not be empty");
  }
  if (options.Servers.size() > kMostServers)
    return fail("at most " + std::to_string(kMostServers) + " servers can be asked at once (" +
                std::to_string(options.Servers.size()) + " given)");
  if (!options.Servers.empty()) options.Server = options.Servers.front();
  if (parsed.ServerPort) {
    parsed.PortGiven = true;
    options.Port = *parsed.ServerPort;
  }
  // dig's +time is a try's; -W stays the whole lookup's, which tries x +time becomes
  // when -W is not given too.
  if (parsed.TimePerTry && !parsed.TimeOutGiven)
    options.TimeOutSeconds = static_cast<std::int32_t>(
        std::min<std::int64_t>(std::int64_t{options.Tries} * *parsed.TimePerTry, INT32_MAX / 1000));
  if (parsed.TlsSettings && !options.Https) options.Tls = true;
  if (options.Tls && options.Https) return fail("--tls and --https cannot be combined");
  if ((options.Tls || options.Https) && options.Tcp)
    return fail(std::string(options.Tls ? "--tls" : "--https") + " and --tcp cannot be combined");
  if (options.Tls && !parsed.PortGiven) options.Port = 853;
  if (options.Https && !parsed.PortGiven) options.Port = 443;
  if (parsed.Four && parsed.Six) return fail("-4 and -6 cannot be combined");
  if (parsed.Four || parsed.Six) {
    options.Family = parsed.Four ? 4 : 6;
    // A server given as an address has its family already.
    unsigned char octets[16];
    if (options.Server &&
        inet_pton(parsed.Four ? AF_INET6 : AF_INET, options.Server->c_str(), octets) == 1)
      return fail(std::string(parsed.Four ? "-4" : "-6") + " cannot reach the server " +
                  *options.Server);
  }
  if (!options.SourceAddress.empty()) {
    // Sent from an address of one family, a question reaches servers of that family only:
    // a server given by name is reached at its addresses of it.
    unsigned char octets[16];
    const int family = inet_pton(AF_INET, options.SourceAddress.c_str(), octets) == 1 ? 4 : 6;
    const std::string source =
        "-b " + options.SourceAddress + " (IPv" + std::to_string(family) + ")";
    if (options.Family != 0 && options.Family != family)
      return fail(source + " and -" + std::to_string(options.Family) + " cannot be combined");
    for (const std::string& server : options.Servers)
      if (inet_pton(family == 4 ? AF_INET6 : AF_INET, server.c_str(), octets) == 1)
        return fail(source + " cannot reach the server " + server);
    options.Family = family;
  }
  if (parsed.NoEdns && (options.Nsid || options.Dnssec || parsed.BufferSize))
    return fail("--nsid, --dnssec and --bufsize need EDNS, which --no-edns turns off");
  if (parsed.NoEdns && (options.ClientSubnet || options.Expire || options.ZoneVersion ||
                        options.EdnsFlags != 0 || !options.EdnsOptions.empty()))
    return fail(
        "--subnet, +expire, +zoneversion, +ednsflags and +ednsopt need EDNS, which "
        "--no-edns turns off");
  options.Edns = !parsed.NoEdns;
  // One lookup's chain is one graph: not one per server nor per zone of a trace.
  if (options.GraphFile && (options.Servers.size() > 1 || options.Trace))
    return fail("--graph draws the chain of one lookup: not with several servers or --trace");
  if (parsed.Short) options.Output = TCliOutput::coShort;
  if (parsed.Json) options.Output = TCliOutput::coJson;
  // As in dig, +short outweighs the display switches; without it they ask for dig's form.
  if (!parsed.Short && !parsed.Json && (parsed.Dig || parsed.DigSwitch))
    options.Output = TCliOutput::coDig;
  if (parsed.Yaml) options.Output = TCliOutput::coYaml;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string argument = arguments[i];
    // dig's output repeats the command line: a secret given with -y is left out of it.
    const bool tsig = argument.starts_with("-y") || argument.starts_with("--tsig-key=");
    if (tsig && argument != "-y" && argument.find(':') != std::string::npos)
      argument.resize(argument.rfind(':') + 1), argument += "...";
    else if ((argument == "-y" || argument == "--tsig-key") && i + 1 < arguments.size()) {
      const std::string& value = arguments[++i];
      argument += " " + value.substr(0, value.rfind(':') + 1) + "...";
    }
    options.CommandLine += (options.CommandLine.empty() ? "" : " ") + argument;
  }

  if (parsed.Batch) {
    if (!positional.empty() || parsed.Reverse)
      return fail("-f FILE takes its names from the file, not from the command line");
    // What a batch does not do: each of these needs a lookup's own exchange.
    const std::pair<bool, const char*> alone[] = {{options.Servers.size() > 1, "several servers"},
                                                  {options.Dnssec, "--dnssec"},
                                                  {options.Nsid, "--nsid"},
                                                  {options.FollowReferrals, "--follow-referrals"},
                                                  {options.Family != 0, "-4 and -6"},
                                                  {options.Trace, "--trace"},
                                                  {options.IgnoreTruncation, "+ignore"},
                                                  {!options.SourceAddress.empty(), "-b"}};
    for (const auto& [given, what] : alone)
      if (given) return fail(std::string(what) + " cannot be combined with -f");
    if (parsed.Type) {
      const auto type = ParseQueryType(*parsed.Type);
      if (!type) return fail(UnknownType(*parsed.Type));
      options.QueryType = *type;
    }
    options.BatchFile = *parsed.Batch;
    return done(TCliMode::cmBatch);
  }
  if (options.Trace) {
    // A server given is the resolver asked for the root servers, as dig @SERVER +trace.
    if (!options.Servers.empty() && options.RootHintsFile)
      return fail(
          "--trace takes the root servers from --root-hints FILE or from @SERVER, not both");
    if (options.Tcp || options.Tls || options.Https)
      return fail("--trace asks each server itself: --tcp, --tls and --https cannot be combined");
    if (options.Nsid || options.Output == TCliOutput::coShort)
      return fail("--trace cannot be combined with --nsid or --short");
    if (options.Output == TCliOutput::coDig || options.Output == TCliOutput::coYaml)
      return fail("--trace cannot be combined with --dig, --yaml or dig's display switches");
  }
  if (parsed.Reverse) {
    if (!positional.empty() || parsed.Type) return fail("-x ADDRESS takes no TYPE or NAME");
    if (!IsIPAddressText(*parsed.Reverse))
      return fail("-x takes an IPv4 or IPv6 address, not '" + *parsed.Reverse + "'");
    options.QueryType = kzvDnsTypePTR;
    options.Name = *parsed.Reverse;
    return done(TCliMode::cmLookup);
  }
  if (parsed.Type)
    if (TError error = ReadTransferWord(parsed, *parsed.Type)) return fail(std::move(*error));
  for (TParsed::TWord& word : positional)
    if (!word.Name)
      if (TError error = ReadTransferWord(parsed, word.Text)) return fail(std::move(*error));
  if (parsed.Type && !ParseQueryType(*parsed.Type)) return fail(UnknownType(*parsed.Type));
  std::vector<TCliQuestion> questions;
  if (TError error = ReadQuestions(positional, parsed, questions)) return fail(std::move(*error));
  if (options.Trace && questions.size() > 1) return fail("--trace follows one question");
  options.Name = questions[0].Name;
  options.QueryType = questions[0].Type;
  options.QueryClass = questions[0].Class;
  options.MoreQuestions.assign(questions.begin() + 1, questions.end());
  return done(TCliMode::cmLookup);
}

std::string CliUsage() {
  return "usage: pellamar-cli [@SERVER | -s SERVER] [-p PORT] [-W SECONDS] [-t TYPE]\n"
         "                    [-c CLASS] [--short | --json | --dig | --yaml] [--verbose]\n"
         "                    [+noall] [+answer] [+multi] [+nocmd] [+nostats] ...\n"
         "                    [--tries N] [--tcp | --tls | --https[=PATH] | --https-get[=PATH]]\n"
         "                    [--no-edns | --bufsize N] [--nsid]\n"
         "                    [--tls-hostname NAME] [--tls-ca FILE] [--tls-insecure]\n"
         "                    [--dnssec] [--trust-anchor FILE] [--graph FILE] [-4 | -6]\n"
         "                    [-y [ALG:]NAME:SECRET | -k FILE]\n"
         "                    [--follow-referrals[=DEPTH]]\n"
         "                    [--no-recursion] [+time=N] [+retry=N] [+ignore]\n"
         "                    [-b ADDRESS] [-q NAME] [TYPE] [CLASS] NAME [TYPE] [CLASS]\n"
         "                    [NAME [TYPE] [CLASS]]...\n"
         "       pellamar-cli [options] -x ADDRESS\n"
         "       pellamar-cli [options] @SERVER axfr | ixfr=SERIAL ZONE\n"
         "                    [--xfr-timeout SECONDS] [--xfr-max-records N]\n"
         "       pellamar-cli [options] [-t TYPE] [--concurrency N] -f FILE\n"
         "       pellamar-cli [options] --trace [@RESOLVER | --root-hints FILE]\n"
         "                    [TYPE] NAME [TYPE]\n"
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
                 [-c CLASS] [--short | --json | --dig | --yaml] [--verbose]
                 [+noall] [+answer] [+multi] [+nocmd] [+nostats] ...
                 [--tries N] [--tcp | --tls | --https[=PATH] | --https-get[=PATH]]
                 [--no-edns | --bufsize N] [--nsid]
                 [--tls-hostname NAME] [--tls-ca FILE] [--tls-insecure]
                 [--dnssec] [--trust-anchor FILE] [--graph FILE] [-4 | -6]
                 [-y [ALG:]NAME:SECRET | -k FILE]
                 [--follow-referrals[=DEPTH]] [--no-recursion]
                 [+time=N] [+retry=N] [+ignore] [-b ADDRESS] [-q NAME]
                 [TYPE] [CLASS] NAME [TYPE] [CLASS] [NAME [TYPE] [CLASS]]...
    pellamar-cli [options] -x ADDRESS
    pellamar-cli [options] @SERVER axfr | ixfr=SERIAL ZONE
                 [--xfr-timeout SECONDS] [--xfr-max-records N]
    pellamar-cli [options] [-t TYPE] [--concurrency N] -f FILE
    pellamar-cli [options] --trace [@RESOLVER | --root-hints FILE] [TYPE] NAME [TYPE]
    pellamar-cli --list-dns
    pellamar-cli --help | --version

DESCRIPTION
    Sends one question of TYPE (A when none is given) for NAME to SERVER over UDP
    with EDNS (an OPT record offering 1232 bytes), sends it again when no answer comes
    (after 0.4 s, then twice as long each time, at most --tries datagrams within the
    time-out), asks again over TCP when the answer comes truncated, and asks again
    without EDNS when the server refuses EDNS (FORMERR, NOTIMP or SERVFAIL without an
    OPT record). It prints what the answer holds under the same headings, in the same
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
        ====== Registros ======              name, TYPE, data (the other types)
        ====== Identificador del Servidor (NSID) ======
                                             the NSID as hex and text (--nsid)

    Each section is followed by one empty line; empty sections are not printed. When
    the lookup fails, the window's two lines are printed instead:

        ====== Error ======
         - El servidor no responde.

    and one line on standard error gives the failure's own message and code.

    TYPE NAME (the form of earlier versions) and NAME TYPE (dig's) are both read,
    and a CLASS word beside the TYPE in any order (CH TXT version.bind, version.bind
    TXT CH). Several questions, NAME [TYPE] [CLASS] each (a.test MX b.test AAAA), are
    asked in turn, as dig asks them, each printed as its own lookup (under a line
    ";; NAME TYPE" in the sections output); the exit status is the worst one's. Among
    several, every NAME is written with a dot (localhost.), or given with -q.
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
    ds     the delegation signer records of a zone (at its parent)
    dnskey the keys a zone signs with (DNSSEC)
    rrsig  the signatures of a name's records
    nsec   the next name of a signed zone and the types a name holds
    nsec3  the same, over hashed names
    nsec3param  the parameters of a zone's NSEC3 hashing
    cds    a child zone's DS records for its parent to take up
    cdnskey  a child zone's DNSKEY records for its parent to take up
    https  service bindings for the web: priority, target, alpn, port, hints, ech
    svcb   service bindings for other protocols (the same fields)
    tlsa   DANE: the certificates a TLS service may present (_443._tcp.host)
    smimea DANE: the certificates of a mail address for S/MIME
    sshfp  the fingerprints of a host's SSH keys
    naptr  name rewriting rules (ENUM, SIP)
    uri    the URIs of a service (_service._proto.domain)
    dname  the target a whole subtree is an alias of
    hinfo  a host's CPU and operating system
    rp     the person responsible for a name and where to read about them
    loc    a geographical location
    kx     key exchangers (IPsec)
    cert   certificates and revocation lists (PKIX, PGP, ...)
    apl    address prefix lists
    ipseckey  IPsec keys and their gateways
    dhcid  the DHCP client a name was given to
    openpgpkey  OpenPGP public keys of a mail address
    csync  the records a parent copies from a child zone
    zonemd the digest of a whole zone
    nid    ILNP node identifiers
    l32    ILNP 32-bit locators
    l64    ILNP 64-bit locators
    eui48  48-bit MAC addresses
    eui64  64-bit MAC addresses
    any    every record the server gives for the name
    axfr   the whole zone NAME (a zone transfer, see ZONE TRANSFERS)
    ixfr=SERIAL  the zone's changes since SERIAL (an incremental transfer)
    TYPEnnn
           (1 to 65535) the type numbered nnn; data without a form of its own
           (\# 4 0A000001) is shown as RFC 3597 writes it

OPTIONS
    @SERVER, -s, --server SERVER
                           the DNS server, as an address or a host name
                           (default: the first server --list-dns finds); given
                           more than once (at most 1000 servers), every server
                           is asked at once (64 at a time, the others as places
                           come free), each one's answer printed under
                           ";; server SERVER", then whether they agree (records
                           that differ, SOA serials side by side); --json gives
                           one object a server, with "agree"; the exit status is
                           the worst server's. A port may go with it as dig's
                           @HOST#PORT, kdig's @HOST@PORT, @[V6]:PORT or @V4:PORT (an
                           IPv6 address without brackets is an address whole); it
                           wins over -p, and several servers share one
    -p, --port PORT        the server's port, 1 to 65535 (default 53)
    -W, --timeout SECONDS  how long the whole lookup may last (default 5); with no
                           server named, it is shared out across the configured
                           servers, which are asked in turn until one answers
    -t, --type TYPE        the question's type (instead of the TYPE word)
    -c, --class, +class=CLASS
                           the question's class: in (default), ch (version.bind and
                           id.server) or hs
    --tries, +tries=N      datagrams one question may take, 1 to 100 (default 3)
    +retry=N               the same as +tries=N+1 (dig's retries after the first)
    +time=N                dig's seconds a try, 1 up: without -W, the whole lookup
                           may last tries x N seconds (-W, when given, wins)
    +ignore                keep a truncated answer as it came instead of asking again
                           over TCP (+noignore: ask again, the default)
    -q, --query NAME       a question's NAME, whatever it spells (a type word, a
                           leading dash); several -q ask several questions
    -b, --source ADDRESS[#PORT]
                           send from this local address, and so reach a server of
                           its family only (a host name at its addresses of it); the
                           system picks the port, so a port other than #0 is refused
    --tcp, +tcp, +vc       ask over TCP from the start (+notcp, +novc: over UDP)
    --tls, +tls            DNS over TLS (port 853 unless -p gives one), also with
                           @tls://HOST[:PORT]; the server's certificate must chain to
                           a trusted CA, be valid now and carry the server's name (or
                           address): a failed check is an error (exit status 4)
    --https[=PATH], +https[=PATH]
                           DNS over HTTPS (port 443 unless -p gives one): the question
                           (ID 0) is POSTed as application/dns-message to PATH (default
                           /dns-query), over HTTP/2 when the server offers it, else
                           HTTP/1.1, also with @https://HOST[:PORT]/PATH; the certificate
                           is checked as over TLS, and anything but a whole DNS answer
                           (another status, content type or size) is an error (exit 4)
    --https-get[=PATH], +https-get[=PATH]
                           the same with GET and the question in ?dns= (base64url)
    --tls-hostname, +tls-hostname=NAME
                           the name the certificate must carry (and SNI); implies --tls
                           unless --https is given
    --tls-ca, +tls-ca=FILE trust the CA certificates of FILE instead of the system's;
                           implies --tls unless --https is given
    --tls-insecure         DNS over TLS or HTTPS without checking the certificate at
                           all; a line on standard error says so
    --no-edns, +noedns     send no OPT record (a plain 512-byte question)
    --bufsize, +bufsize=N  the UDP answer size EDNS offers, 512 to 65535 (default 1232)
    --nsid, +nsid          ask for the server's NSID and print it
    +cookie[=HEX]          a DNS cookie with every question, over TLS and HTTPS too
                           (without it: over UDP and TCP, the default); HEX (8 bytes, or
                           16 to 40) is sent as it stands. A BADCOOKIE answer is asked
                           once more with the server's cookie; an answer with another
                           client cookie is not taken
    --no-cookie, +nocookie send no cookie
    --padding, +padding=N  pad every question to a multiple of N bytes (0 to 4096;
                           default: 128 over TLS and HTTPS, none over UDP and TCP)
    +nopadding             no padding, over TLS and HTTPS too
    +keepalive             ask over TCP and TLS how long the server keeps an idle
                           connection, and open a new one after that (+nokeepalive)
    +edns=N                the EDNS version asked with (0 to 255, default 0)
    +ednsnegotiation       on BADVERS, ask once more with the server's version (the
                           default; +noednsnegotiation: take the BADVERS answer)
    --dnssec, +dnssec      ask for DNSSEC records (the DO and CD bits) and check the
                           answer's chain of trust from the root's keys down: a line
                           ";; DNSSEC: secure", insecure, bogus (exit status 5) or
                           indeterminate, with the reason (exit status 5 too under
                           a trust anchor: the answer could not be checked)
    +cd, +cdflag           set CD alone: the resolver hands over what it cannot
                           validate (+nocd, +nocdflag; --dnssec sets it too)
    +adflag, +noadflag     set AD in the question (the default, as dig): a validating
                           resolver answers with AD when it found the answer secure,
                           shown in --dig's and --verbose's flags and JSON's flags
    --subnet, +subnet=ADDRESS[/PREFIX]
                           EDNS client subnet (RFC 7871), IPv4 or IPv6, the bits past
                           PREFIX zero (0/0: use none of my address); the answer's
                           scope shows as "; CLIENT-SUBNET: 192.0.2.0/24/0" and in
                           JSON's edns client_subnet
    +expire, +zoneversion  ask for the zone's EXPIRE (RFC 7314) or its ZONEVERSION
                           (RFC 9660)
    +ednsflags=N           the OPT record's flag bits other than DO, 0 to 0xffff
    +ednsopt=CODE[:HEX]    send an EDNS option of any code with the bytes of HEX
                           (repeatable); options an answer brings are shown as dig
                           shows them, unknown ones as dig's OPT=CODE: hex ("text"),
                           padding by its length. Every Extended DNS Error (RFC 8914) of an answer is shown:
                           ";; EDE: 9 (DNSKEY Missing): text" after the results (also
                           of an error reply), dig's "; EDE:" line in --dig and
                           --verbose, JSON's ede [{code, name, text}]; its text is
                           escaped as names are and cut after 512 bytes
    --trust-anchor FILE    trust the DS or DNSKEY records of FILE (zone-file lines, as
                           /usr/share/dns/root.key, at most 1 MiB) instead of the root's
                           keys, which come from /usr/share/dns/root.key or else are
                           built in; implies --dnssec
    --graph FILE           write the chain of trust behind the DNSSEC verdict to FILE
                           as a Graphviz DOT graph (zones, keys, DS records, which
                           link broke and why); implies --dnssec
    -4, -6                 use only the server's IPv4 or IPv6 addresses when it is
                           given as a host name
    -x, --reverse ADDRESS  the host names of an IPv4 or IPv6 address (type ptr)
    -f, --file FILE        a batch: one question a line of FILE (- for standard
                           input), NAME, NAME TYPE or TYPE NAME (-t gives the type
                           of a line without one; # starts a comment), asked of one
                           server over UDP (TCP after a truncated answer), many at
                           once; each answer in the file's order as a lookup of its
                           own prints it, after a line ";; NAME TYPE" (--json: one
                           object a line; --short: one line a question, NAME TYPE
                           and the data, or ";; NXDOMAIN" and such); a bad line is reported on standard error
                           with its number and the rest go on; the exit status is
                           the worst question's
    --concurrency N        questions of a batch in flight at once, 1 to 10000
                           (default 100)
    --trace, +trace        follow the question from the root servers down, asking
                           each zone's servers without recursion (the next server of a
                           zone when one fails; name servers without glue traced too),
                           and print each step: the referral or answer, then ";; zone
                           ZONE: ADDRESS (SERVER) in MS ms: referral to NEXT" (answer,
                           NXDOMAIN, NODATA); with --dnssec each zone's keys judged; at
                           most 4 servers of a zone are asked (2 addresses of each),
                           each within -W; a referral loop, a walk longer than 30
                           steps (or --follow-referrals=N) or than 6 x -W in all (30 s
                           with the default -W) is an error (exit 4). The root servers
                           come from --root-hints FILE, else /usr/share/dns/root.hints,
                           else the resolver (@RESOLVER, else the configured ones)
                           asked for ". NS" as dig does, else the built-in IANA list;
                           the first line (";; root hints from ...") says which
    --root-hints FILE      the root servers in named.root's form (at most 1 MiB, 256
                           servers and 1,024 addresses); implies --trace
    --short, +short        only the answer records' data, one per line, byte for
                           byte as dig +short writes it (names with their last dot,
                           \DDD for bytes outside printable ASCII)
    --dig                  the whole answer as dig writes it: the command line,
                           ";; ->>HEADER<<- opcode: QUERY, status: NOERROR, id: N",
                           the flags and counts, the OPT PSEUDOSECTION, the question,
                           answer, authority and additional sections in zone-file
                           form (name, TTL, class, type, data, tab apart), the query
                           time, the server as ;; SERVER: ADDRESS#PORT(SERVER) (UDP),
                           WHEN and MSG SIZE; any of dig's display switches below asks for it
    +all, +noall           every part of it on, or off (then name the parts wanted:
                           +noall +answer prints the answer records alone)
    +answer, +authority, +additional, +question
                           that section (+noanswer, +noauthority, +noadditional,
                           +noquestion: without it)
    +comments, +cmd, +stats
                           the header, pseudosection and section headings; the
                           command line; the statistics (+nocomments, +nocmd,
                           +nostats: without them)
    +qr                    the question as sent, before the answer (+noqr)
    +multi, +multiline     SOA, DNSKEY, CDNSKEY and RRSIG over several lines with
                           dig's comments (SOA's times in words, a key's tag)
                           (+nomulti, +nomultiline)
    +ttlunits              TTLs in units (5m, 1h30m) (+nottlunits)
    +ttlid, +class         the TTL and class columns (+nottlid, +noclass drop them)
    +identify              with +nostats, ";; Received N bytes from SERVER in T ms"
                           (+noidentify)
    +onesoa                read as dig reads it (one SOA of a zone transfer); a
                           lookup's answer holds one already (+noonesoa)
    --yaml, +yaml          the answer in dig's YAML layout ("- type: MESSAGE") for one
                           lookup (+noyaml)
    --json                 one JSON object: question, server, port, transport,
                           truncated, tries, edns_fallback, time_ms, rcode, flags,
                           id, opcode, counts (question, answer, authority,
                           additional), message_size,
                           edns (version, udp, flags, nsid, client_subnet,
                           cookie with hex, verdict and retried, keepalive_ms,
                           options), ede, error, the
                           answer, authority and additional records (name, type,
                           class, ttl, the type's own fields such as HTTPS's params,
                           data; rdata_hex for types shown as \#), and
                           failed_servers (configured servers passed over)
    -y, --tsig-key [ALG:]NAME:SECRET
                           sign the question with this TSIG key (ALG hmac-sha256 by
                           default; hmac-sha384, hmac-sha512, hmac-sha224, hmac-sha1 or
                           hmac-md5; SECRET in base64) and check the answer's signature:
                           an unsigned answer, one whose signature does not hold, or
                           the server's BADKEY, BADSIG or BADTIME is an error (exit 4).
                           The secret is never printed (dig's command line shows
                           NAME:...); -k keeps it out of the process list too
    -k, --tsig-key-file FILE
                           the same with the first key of FILE: BIND's key "NAME" {
                           algorithm ALG; secret "SECRET"; };, Knot's keymgr form
                           (key: - id: NAME, algorithm: ALG, secret: SECRET) or one
                           line ALG:NAME:SECRET
    --xfr-timeout SECONDS  how long a whole zone transfer may last (default: no
                           limit; -W bounds the wait for each of its messages)
    --xfr-max-records N    stop a zone transfer with an error past N records
                           (default 0: unlimited)
    --verbose              on standard error: the server, transport, time taken and
                           datagrams sent, the response code and flags, the OPT
                           pseudo-section, every record with its TTL
    --follow-referrals[=DEPTH]
                           follow referrals to other name servers, at most DEPTH
                           steps deep (0 or more; default 4)
    --no-recursion, +norecurse, +norec
                           do not ask the server to recurse (clears RD);
                           +recurse or +rec asks it again
    --list-dns             list the DNS servers this machine is configured to use
    -h, --help             this text
    -V, --version          the version

ZONE TRANSFERS
    pellamar-cli @SERVER axfr ZONE asks SERVER for the whole zone over TCP (over TLS
    with --tls, the certificate checked as for a lookup) and writes each record as
    it arrives in dig's zone-file form, between dig's command line and its closing
    lines (the last: ;; XFR size: N records (messages M, bytes B)); --json: JSON Lines,
    one record object a line; --short the records' data. Every message is checked:
    its ID, its question, its response code (an error reply stops the transfer, exit
    1, "; Transfer failed."), that each record lies inside the zone, and with a TSIG
    key its signature, chained to the one before (at most 99 unsigned messages
    between signed ones). Nothing of a message that fails a check is written. The
    transfer ends at the zone's second SOA record; a server that closes before it, or
    is silent longer than -W between messages, is an error (exit 4).
    ixfr=SERIAL asks for the changes since SERIAL (over UDP first with +notcp, then
    over TCP when the answer does not fit a datagram): the answer is one SOA (up to
    date), the difference sequences, each under a line ;; deleted (serial N) or
    ;; added (serial N) (JSON: {"ixfr":"deleted","serial":N}), or the whole zone.
    Memory stays the same whatever the zone's size.
EXIT STATUS
    0  answered without error (also when the answer holds nothing)
    1  the server answered with an error code (NXDOMAIN, SERVFAIL, REFUSED, ...)
    2  usage error, or an input that cannot be sent (port, time-out, depth, type,
       name): nothing is sent and nothing is printed on standard output
    3  the system's DNS configuration cannot be read (or names no server)
    4  no usable answer: time-out, connection refused, unreachable, a malformed answer
       or a truncated one that could not be completed
    5  --dnssec: the answer is bogus (signed, but the signatures or the chain of trust
       do not hold); it is still printed
)";
}

TzvDnsExchangeSettings ExchangeSettingsOf(const TCliOptions& options) {
  TzvDnsExchangeSettings settings;
  settings.Server = options.Server.value_or("");
  settings.Port = options.Port;
  const std::int64_t time_out_ms = std::int64_t{options.TimeOutSeconds} * 1000;
  settings.TimeOut = static_cast<std::int32_t>(std::min<std::int64_t>(time_out_ms, INT32_MAX));
  settings.Family = options.Family == 4   ? TzvAddressFamily::afIPv4
                    : options.Family == 6 ? TzvAddressFamily::afIPv6
                                          : TzvAddressFamily::afAny;
  settings.Tries = std::max(options.Tries, 1);
  settings.Transport = options.Https ? TzvDnsTransport::dtHttps
                       : options.Tls ? TzvDnsTransport::dtTls
                       : options.Tcp ? TzvDnsTransport::dtTcp
                                     : TzvDnsTransport::dtUdp;
  settings.UseEdns = options.Edns;
  settings.EdnsBufferSize = static_cast<std::uint16_t>(std::max(options.BufferSize, 512));
  settings.RequestNsid = options.Nsid;
  // With --dnssec, CD too: a validating resolver in between hands over what fails, for
  // our own check to judge.
  settings.DnssecOK = settings.CheckingDisabled = options.Dnssec;
  settings.RecursionDesired = options.RecursionDesired;
  settings.QuestionClass = static_cast<TzvDnsRecordClass>(options.QueryClass);
  settings.Tls.HostName = options.TlsHostName.value_or("");
  settings.Tls.CaFile = options.TlsCaFile.value_or("");
  settings.Tls.Insecure = options.TlsInsecure;
  settings.HttpsPath = options.HttpsPath;
  settings.HttpsGet = options.HttpsGet;
  settings.LocalBinding = options.SourceAddress;
  settings.IgnoreTruncation = options.IgnoreTruncation;
  settings.CheckingDisabled = settings.CheckingDisabled || options.CheckingDisabled;
  settings.AuthenticData = options.AuthenticData;
  settings.ClientSubnet = options.ClientSubnet;
  settings.RequestExpire = options.Expire;
  settings.RequestZoneVersion = options.ZoneVersion;
  settings.EdnsFlags = options.EdnsFlags;
  settings.ExtraEdnsOptions = options.EdnsOptions;
  settings.Tsig = options.Tsig;
  settings.SendCookie = options.Cookie;
  settings.CookieOverTls = options.CookieOverTls;
  settings.FixedCookie = options.CookieBytes;
  settings.PaddingBlock = options.Padding;
  settings.TcpKeepalive = options.Keepalive;
  settings.EdnsVersion = static_cast<std::uint8_t>(options.EdnsVersion);
  settings.EdnsNegotiation = options.EdnsNegotiation;
  return settings;
}
