// The command line of pellamar-cli, read into plain settings. Both today's form
// ("-s SERVER TYPE NAME") and dig's ("@SERVER NAME TYPE", "-t TYPE", "-x ADDRESS") are
// understood. Numbers (port, time-out, referral depth) and the type are checked here, so
// a command line that could not be sent is a usage error before anything is looked up;
// the name itself is checked by the runner, which knows how it will be encoded.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/DigText.h"
#include "dns/zvDnsExchange.h"
#include "dns/zvDnsTsig.h"

// One question of the command line: dig's "NAME [TYPE] [CLASS]", several in turn.
struct TCliQuestion {
  std::string Name;
  std::int32_t Type = 1;
  std::int32_t Class = 1;
};

enum class TCliMode { cmLookup, cmBatch, cmTrace, cmListDns, cmHelp, cmVersion };

// How a lookup's outcome is written on standard output.
enum class TCliOutput {
  coSections,  // the window's headings and lines
  coShort,     // the answer records' data, one per line
  coJson,      // one JSON object
  coDig,       // dig's full output, trimmed by its display switches
  coYaml       // dig's YAML layout
};

struct TCliOptions {
  TCliMode Mode = TCliMode::cmLookup;
  std::optional<std::string> Server;  // none: the first server --list-dns finds
  // Every server given (@a @b, -s repeated), in order; with two or more, each is asked
  // the question at once and their answers are compared. Server is the first.
  std::vector<std::string> Servers;
  // A batch (-f): the questions of this file ("-": standard input), QueryType for the
  // lines without a type, Concurrency of them in flight at once.
  std::string BatchFile;
  std::int32_t Concurrency = 100;
  // A trace from the root servers (those of RootHintsFile, else the system's or the
  // built-in ones) down to the answer, every step printed.
  bool Trace = false;
  std::optional<std::string> RootHintsFile;
  std::int32_t Port = 53;
  std::int32_t TimeOutSeconds = 5;
  bool FollowReferrals = false;
  int MaxRecursiveQueries = 4;
  bool RecursionDesired = true;
  // The question's type code (kzvDnsTypeA, ...); A when only a name is given, as in dig.
  std::int32_t QueryType = 1;
  std::string Name;
  TCliOutput Output = TCliOutput::coSections;
  // What dig's display switches leave in the dig and YAML outputs.
  TDigDisplay Dig;
  // The arguments as given, one space apart: dig's output repeats them.
  std::string CommandLine;
  // The exchange's details (server, time, response code, flags, records with TTLs) on
  // standard error.
  bool Verbose = false;
  // Datagrams one question may take within the time-out.
  int Tries = 3;
  // EDNS: an OPT record offering BufferSize bytes; with it, NSID and the DO bit on request.
  bool Edns = true;
  std::int32_t BufferSize = 1232;
  bool Nsid = false;
  // DNSSEC: the DO and CD bits, and the answer checked from the trust anchors down (the
  // root's built-in keys, or those of the file).
  bool Dnssec = false;
  std::optional<std::string> TrustAnchorFile;
  // --graph FILE: the chain of trust behind the DNSSEC verdict, written as Graphviz DOT.
  std::optional<std::string> GraphFile;
  // Over TCP from the start.
  bool Tcp = false;
  // DNS over TLS (port 853 unless one is given): the certificate checked against
  // TlsHostName, else the server's name, else its address; against the CAs of TlsCaFile,
  // else the system's. TlsInsecure checks nothing, and says so.
  bool Tls = false;
  std::optional<std::string> TlsHostName;
  std::optional<std::string> TlsCaFile;
  bool TlsInsecure = false;
  // DNS over HTTPS (port 443 unless one is given) to HttpsPath, POST or with HttpsGet GET;
  // its certificate checked as over TLS.
  bool Https = false;
  std::string HttpsPath = "/dns-query";
  bool HttpsGet = false;
  // 4 or 6 to restrict the addresses of a server given by name; 0 for any.
  int Family = 0;
  // The question's class code: IN (1), CH (3) or HS (4).
  std::int32_t QueryClass = 1;
  // The questions after the first (Name, QueryType, QueryClass), asked in turn, each
  // its own lookup.
  std::vector<TCliQuestion> MoreQuestions;
  // The local address questions are sent from (-b); empty: the system's choice.
  std::string SourceAddress;
  // A truncated answer kept as it came, not asked again over TCP (+ignore).
  bool IgnoreTruncation = false;
  // The question's hand-set controls, as the exchange's settings carry them: CD alone
  // (+cd; --dnssec sets it too), AD (+noadflag clears it), the client subnet (--subnet),
  // EXPIRE and ZONEVERSION asked for, the OPT flags other than DO (+ednsflags) and
  // options of any code (+ednsopt, repeatable).
  bool CheckingDisabled = false;
  bool AuthenticData = true;
  std::optional<TzvClientSubnet> ClientSubnet;
  bool Expire = false;
  bool ZoneVersion = false;
  std::uint16_t EdnsFlags = 0;
  std::vector<TzvEdnsOption> EdnsOptions;
  // TSIG: the key every question is signed with (-y, -k), every answer checked against.
  std::shared_ptr<const TzvTsigKey> Tsig;
  // Zone transfers (the type axfr, or ixfr=SERIAL): the serial an IXFR starts from, the
  // whole transfer's time-out in seconds (0: none; -W bounds each message's wait) and
  // the most records it may take (0: unlimited).
  std::uint32_t IxfrSerial = 0;
  std::int32_t XfrTimeOutSeconds = 0;
  std::int64_t XfrMaxRecords = 0;
  // +notcp was given: an IXFR goes over UDP first.
  bool NoTcp = false;
  // The exchange's own EDNS options: a cookie over UDP and TCP (over TLS and HTTPS too
  // when +cookie is given; CookieBytes, when given, sent as they stand), questions padded to a
  // multiple of Padding bytes (-1: 128 over TLS and HTTPS only; 0: none), the TCP keepalive, and
  // the EDNS version with its negotiation on BADVERS.
  bool Cookie = true;
  bool CookieOverTls = false;
  std::vector<std::uint8_t> CookieBytes;
  std::int32_t Padding = -1;
  bool Keepalive = false;
  std::int32_t EdnsVersion = 0;
  bool EdnsNegotiation = true;
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

// What the options say every question is asked with: the one place they become the
// library's settings, which lookups, chains of trust, traces and batches copy. Server is
// the first of --server (empty without one); TimeOut is -W's, whole (+time=N without -W
// has made it tries x N already).
TzvDnsExchangeSettings ExchangeSettingsOf(const TCliOptions& options);

// The type word in any letter case: mx, a, ptr, ns, aaaa, txt, soa, cname, srv, caa, any
// or TYPEnnn; none for any other word.
std::optional<std::int32_t> ParseQueryType(const std::string& word);

// Every spelling of every option read ("-p", "--port", "+short", "+norec", ...), which
// --help, the manual page and the shell completion all show.
std::vector<std::string> CliOptionSpellings();

// The one-line synopsis shown with usage errors, and the full manual-style help.
std::string CliUsage();
std::string CliHelp();
std::string CliVersion();
