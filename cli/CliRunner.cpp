#include "cli/CliRunner.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>

#include "base/Base64.h"
#include "cli/CliBatch.h"
#include "cli/CliOptions.h"
#include "cli/CliTrace.h"
#include "cli/CliTransfer.h"
#include "cli/DigText.h"
#include "cli/JsonText.h"
#include "cli/RecordJson.h"
#include "cli/ResultText.h"
#include "cli/SessionOptionText.h"
#include "cli/SeveralServers.h"
#include "dns/zvDnsBatch.h"
#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsEdnsOptions.h"
#include "dns/zvDnsExchange.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsOptRecord.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvDnssecChain.h"
#include "dns/zvDnssecGraph.h"
#include "dns/zvIdn.h"

namespace {

constexpr const char* kProgram = "pellamar-cli: ";

void WriteLines(std::ostream& out, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) out << line << '\n';
}

// The types whose answers the component gathers into its four result lists; the others
// are printed from the answer's records.
bool HasResultLists(std::int32_t type) {
  return type == kzvDnsTypeMX || type == kzvDnsTypeA || type == kzvDnsTypePTR ||
         type == kzvDnsTypeNS || type == kzvDnsTypeAAAA;
}

// The name the question will carry, prepared as the lookup prepares it, and encoded once
// into a message that is thrown away: a name the wire cannot carry (a label over 63
// bytes, a name over 255, no A-label form) fails here, before any server is asked.
void CheckQuestion(const TCliOptions& options) {
  const std::string name = TzvDnsQuery::NameAsked(options.Name, options.QueryType);
  TzvDnsExtendedMessage message;
  std::unique_ptr<TzvDnsRecord> question = message.CreateRecord(options.QueryType);
  question->RecordType = options.QueryType;
  question->RecordClass = static_cast<TzvDnsRecordClass>(options.QueryClass);
  question->Name = IdnToAscii(name);
  message.Queries().Add(std::move(question));
  TMemoryStream stream;
  message.Build(stream);
}

// What the options say every question of the command is asked with, of `server`.
TzvDnsExchangeSettings ExchangeSettingsOf(const TCliOptions& options, const std::string& server,
                                          std::int32_t time_out) {
  TzvDnsExchangeSettings settings = ExchangeSettingsOf(options);
  settings.Server = server;
  settings.TimeOut = time_out;
  return settings;
}

void Lookup(TzvDnsQuery& query, const TCliOptions& options, const std::string& server,
            std::int32_t time_out) {
  query.SetSettings(ExchangeSettingsOf(options, server, time_out));
  if (options.FollowReferrals) {
    query.SetUseRecursiveQueries(true);
    query.SetMaxRecursiveQueries(options.MaxRecursiveQueries);
  }
  switch (options.QueryType) {
    case kzvDnsTypeMX:
      query.ResolveMX(options.Name);
      break;
    case kzvDnsTypeA:
      query.ResolveIP(options.Name);
      break;
    case kzvDnsTypePTR:
      query.ResolveHostName(options.Name);
      break;
    case kzvDnsTypeNS: {
      std::string first_name_server;
      query.ResolveNS(options.Name, first_name_server);
      break;
    }
    case kzvDnsTypeAAAA:
      query.ResolveAAAA(options.Name);
      break;
    default:
      query.ResolveRecords(options.Name, options.QueryType);
  }
}

// What became of a lookup, for the outputs and the exit status.
struct TOutcome {
  int Status = kCliSuccess;
  // A reply was decoded into Response (with or without an error code).
  bool Answered = false;
  std::string Failure;  // the failure's message and code; empty on success
  std::string Server;
  std::int32_t Port = 0;
  std::string Transport = "UDP";
  TzvTlsInfo Tls;    // over TLS: what the session agreed
  std::string Http;  // over HTTPS: the HTTP version of the answer
  bool Truncated = false;
  double Milliseconds = 0;
  int Tries = 0;
  bool EdnsFallback = false;
  // The error reply's response code, 0 without one.
  std::int32_t ResponseCode = 0;
  // The reply's size in bytes, 0 without one.
  std::int32_t MessageSize = 0;
  // The answer's cookie as judged, a BADCOOKIE or BADVERS answer asked again, the
  // question's padding (-1: none).
  TzvCookieVerdict Cookie = TzvCookieVerdict::cvNotSent;
  bool BadCookieRetry = false;
  bool EdnsNegotiated = false;
  std::int32_t Padding = -1;
};

// A configured server that was passed over, and why.
struct TFailedServer {
  std::string Server;
  std::string Failure;
};

std::vector<std::string> FlagNames(const TzvDnsMessageHeader& header) {
  std::vector<std::string> flags;
  if (!header.IsQuery) flags.emplace_back("qr");
  if (header.IsAuthoritativeAnswer) flags.emplace_back("aa");
  if (header.IsTruncated) flags.emplace_back("tc");
  if (header.IsRecursionDesired) flags.emplace_back("rd");
  if (header.IsRecursionAvailable) flags.emplace_back("ra");
  if (header.IsAuthenticData) flags.emplace_back("ad");
  if (header.IsCheckingDisabled) flags.emplace_back("cd");
  return flags;
}

void WriteJsonSection(TJsonWriter& json, const char* key, const TzvDnsRecordList& records) {
  json.Key(key);
  json.BeginArray();
  for (const auto& record : records) {
    // EDNS's pseudo-record has an object of its own.
    if (record->RecordType == kzvDnsTypeOPT) continue;
    WriteRecordJson(json, *record);
  }
  json.EndArray();
}

// `response` is the decoded answer, or null when there is none.
// The answer's OPT record as an object, null when the answer carried none.
void WriteJsonEdns(TJsonWriter& json, const TzvDnsOPTRecord* opt, const TOutcome& outcome) {
  json.Key("edns");
  if (opt == nullptr) {
    json.Null();
    return;
  }
  json.BeginObject();
  json.Key("version");
  json.Number(opt->Version);
  json.Key("udp");
  json.Number(opt->UDPPayloadSize);
  json.Key("flags");
  json.BeginArray();
  if (opt->DnssecOK) json.String("do");
  json.EndArray();
  if (const TzvEdnsOption* nsid = opt->FindOption(kzvEdnsOptionNSID)) {
    json.Key("nsid");
    json.BeginObject();
    json.Key("text");
    json.String(OptionText(*nsid));
    json.Key("hex");
    json.String(OptionHex(*nsid, ""));
    json.EndObject();
  }
  for (const TzvEdnsOption& option : opt->Options) {
    if (const auto subnet = DecodeClientSubnet(option)) {
      json.Key("client_subnet");
      json.String(ClientSubnetText(*subnet));
      break;
    }
  }
  WriteJsonSessionOptions(json, *opt, outcome.Cookie, outcome.BadCookieRetry);
  json.Key("options");
  json.BeginArray();
  for (const TzvEdnsOption& option : opt->Options) {
    if (option.Code == kzvEdnsOptionPadding) continue;  // not data
    json.BeginObject();
    json.Key("code");
    json.Number(option.Code);
    json.Key("hex");
    json.String(OptionHex(option, ""));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
}

std::string JsonReport(const TzvDnsMessage* response, const TCliOptions& options,
                       const TOutcome& outcome,
                       const std::vector<TFailedServer>& failed_servers = {},
                       const TzvDnssecResult* dnssec = nullptr) {
  TJsonWriter json;
  json.BeginObject();
  json.Key("question");
  json.BeginObject();
  json.Key("name");
  json.String(EscapedName(options.Name));
  json.Key("type");
  json.String(DnsTypeText(options.QueryType));
  json.Key("class");
  json.String(DnsClassText(options.QueryClass));
  json.EndObject();
  json.Key("server");
  if (outcome.Server.empty())
    json.Null();  // none was configured
  else
    json.String(EscapedName(outcome.Server));
  json.Key("port");
  json.Number(outcome.Port);
  json.Key("transport");
  json.String(outcome.Transport);
  if (options.Https) {
    json.Key("https");
    json.BeginObject();
    json.Key("method");
    json.String(options.HttpsGet ? "GET" : "POST");
    json.Key("path");
    json.String(EscapedName(options.HttpsPath));
    json.Key("http");
    json.String(outcome.Http);
    json.EndObject();
  }
  if (options.Tls || options.Https) {
    json.Key("tls");
    json.BeginObject();
    json.Key("version");
    json.String(outcome.Tls.Version);
    json.Key("cipher");
    json.String(outcome.Tls.Cipher);
    json.Key("certificate");
    json.String(EscapedName(outcome.Tls.Subject));
    json.Key("certificate_checked");
    json.Bool(!options.TlsInsecure);
    json.EndObject();
  }
  json.Key("truncated");
  json.Bool(outcome.Truncated);
  json.Key("tries");
  json.Number(outcome.Tries);
  json.Key("edns_fallback");
  json.Bool(outcome.EdnsFallback);
  json.Key("time_ms");
  json.Fixed(outcome.Milliseconds, 3);
  if (!outcome.Answered) response = nullptr;
  json.Key("rcode");
  if (response != nullptr)
    json.String(DnsResponseCodeName(response->Header().ResponseCode));
  else
    json.Null();
  json.Key("flags");
  json.BeginArray();
  if (response != nullptr) {
    for (const std::string& flag : FlagNames(response->Header())) json.String(flag);
  }
  json.EndArray();
  // The header's other facts, as dig's header line gives them, when there is a header.
  if (response != nullptr) {
    json.Key("id");
    json.Number(response->Header().ID);
    json.Key("opcode");
    json.Number(response->Header().OpCode);
    json.Key("counts");
    json.BeginObject();
    const std::pair<const char*, const TzvDnsRecordList*> counts[] = {
        {"question", &response->Queries()},
        {"answer", &response->Answers()},
        {"authority", &response->Authorities()},
        {"additional", &response->AdditionalRecords()}};
    for (const auto& [key, records] : counts) {
      json.Key(key);
      json.Number(records->Count());
    }
    json.EndObject();
    json.Key("message_size");
    json.Number(outcome.MessageSize);
  }
  WriteJsonEdns(json, response != nullptr ? FindOptRecord(*response) : nullptr, outcome);
  // Like the header's facts, only when there is a reply.
  if (response != nullptr) {
    json.Key("ede");
    WriteExtendedErrorsJson(json, response);
  }
  json.Key("error");
  if (outcome.Failure.empty())
    json.Null();
  else
    json.String(EscapedName(outcome.Failure));
  const TzvDnsRecordList empty;
  WriteJsonSection(json, "answer", response != nullptr ? response->Answers() : empty);
  WriteJsonSection(json, "authority", response != nullptr ? response->Authorities() : empty);
  WriteJsonSection(json, "additional", response != nullptr ? response->AdditionalRecords() : empty);
  json.Key("dnssec");
  if (dnssec != nullptr)
    json.String(DnssecVerdictText(dnssec->Verdict));
  else
    json.Null();
  json.Key("dnssec_reason");
  if (dnssec != nullptr && !dnssec->Reason.empty())
    json.String(EscapedName(dnssec->Reason));
  else
    json.Null();
  json.Key("failed_servers");
  json.BeginArray();
  for (const TFailedServer& failed : failed_servers) {
    json.BeginObject();
    json.Key("server");
    json.String(EscapedName(failed.Server));
    json.Key("error");
    json.String(EscapedName(failed.Failure));
    json.EndObject();
  }
  json.EndArray();
  json.EndObject();
  return json.Text();
}

void WriteVerbose(std::ostream& err, const TzvDnsQuery& query, const TOutcome& outcome,
                  const std::vector<TFailedServer>& failed_servers) {
  for (const TFailedServer& failed : failed_servers)
    err << ";; server " << EscapedName(failed.Server) << ": " << EscapedName(failed.Failure)
        << "; trying the next one\n";
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", outcome.Milliseconds);
  err << ";; server " << EscapedName(outcome.Server) << " port " << outcome.Port << " over "
      << outcome.Transport << (outcome.Truncated ? " (UDP answer truncated)" : "") << ", " << time
      << " ms";
  // Tries count datagrams: a question asked over a connection alone has none to count.
  if (outcome.Tries > 0) err << ", " << outcome.Tries << (outcome.Tries == 1 ? " try" : " tries");
  err << '\n';
  if (!outcome.Tls.Version.empty())
    err << ";; " << outcome.Tls.Version << ", " << outcome.Tls.Cipher << ", certificate "
        << EscapedName(outcome.Tls.Subject) << '\n';
  if (!outcome.Http.empty())
    err << ";; " << outcome.Http << ' ' << (query.HttpsGet() ? "GET " : "POST ")
        << EscapedName(query.HttpsPath()) << '\n';
  if (outcome.EdnsFallback)
    err << ";; the server refused the question with EDNS; asked again without it\n";
  if (!outcome.Answered) {
    err << ";; no answer\n";
    return;
  }
  const TzvDnsMessage& response = query.Response();
  err << ";; response " << DnsResponseCodeName(response.Header().ResponseCode) << ", flags:";
  for (const std::string& flag : FlagNames(response.Header())) err << ' ' << flag;
  err << '\n';
  if (outcome.BadCookieRetry) err << ";; BADCOOKIE: asked again with the server's cookie\n";
  if (outcome.EdnsNegotiated) err << ";; BADVERS: asked again with the server's EDNS version\n";
  if (outcome.Padding >= 0)
    err << ";; the question was padded with " << outcome.Padding << " bytes\n";
  if (const TzvDnsOPTRecord* opt = FindOptRecord(response))
    WriteLines(err, OptPseudoSection(*opt, outcome.Cookie));
  const std::pair<const char*, const TzvDnsRecordList*> sections[] = {
      {"answer", &response.Answers()},
      {"authority", &response.Authorities()},
      {"additional", &response.AdditionalRecords()}};
  for (const auto& [title, records] : sections) {
    const bool shown = std::any_of(records->begin(), records->end(), [](const auto& record) {
      return record->RecordType != kzvDnsTypeOPT;
    });
    if (!shown) continue;
    err << ";; " << title << ":\n";
    for (const auto& record : *records) {
      if (record->RecordType == kzvDnsTypeOPT) continue;
      err << RecordLine(*record) << '\n';
    }
  }
}

void WriteResults(std::ostream& out, const TzvDnsQuery& query, const TCliOptions& options) {
  switch (options.Output) {
    case TCliOutput::coShort:
      for (const auto& record : query.Response().Answers()) {
        const std::string data = record->DataText(TzvDnsTextStyle::Dig);
        if (!data.empty()) out << data << '\n';
      }
      return;
    case TCliOutput::coJson:
    case TCliOutput::coDig:
    case TCliOutput::coYaml:
      return;  // written with the outcome
    case TCliOutput::coSections:
      break;
  }
  if (HasResultLists(options.QueryType)) {
    WriteLines(out, LookupResultLines(query.MailServers(), query.Hosts(), query.NameServers(),
                                      query.Aliases()));
  } else {
    WriteLines(out,
               RecordResultLines(query.Response().Answers(), options.QueryType, query.Aliases()));
  }
  if (options.Nsid) WriteLines(out, NsidLines(query.Response()));
}

// The lookup as dig writes it, from the facts of its exchange.
void WriteDig(std::ostream& out, const TzvDnsMessage* response, const TCliOptions& options,
              const TOutcome& outcome) {
  TDigLookup lookup;
  lookup.CommandLine = options.CommandLine;
  lookup.ServerName = options.Server.value_or(outcome.Server);
  lookup.ServerGiven = options.Server.has_value();
  lookup.ServerAddress = outcome.Server;
  lookup.Port = outcome.Port;
  lookup.Transport = outcome.Transport;
  lookup.Microseconds = static_cast<std::int64_t>(outcome.Milliseconds * 1000.0);
  lookup.WhenMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
  lookup.MessageSize = outcome.MessageSize;
  lookup.RecursionDesired = options.RecursionDesired;
  lookup.Edns = options.Edns && !outcome.EdnsFallback;
  lookup.BufferSize = static_cast<std::uint16_t>(options.BufferSize);
  lookup.DnssecOk = lookup.CheckingDisabled = options.Dnssec;
  // The rest of the question as it was built: AD, CD alone, the OPT flags and options.
  {
    TzvDnsExtendedMessage sent;
    // Only the header and OPT record are taken: any plain name will do.
    BuildDnsQuestion(ExchangeSettingsOf(options), sent, sent.CreateRecord(1), "a");
    lookup.CheckingDisabled = sent.Header().IsCheckingDisabled;
    lookup.AuthenticData = sent.Header().IsAuthenticData;
    if (const TzvDnsOPTRecord* opt = FindOptRecord(sent)) {
      lookup.EdnsFlags = opt->OtherFlags;
      lookup.EdnsOptions = opt->Options;
    }
  }
  lookup.Cookie = outcome.Cookie;
  if (options.Output == TCliOutput::coYaml && response != nullptr)
    out << DigYaml(*response, lookup, options.Dig);
  else
    out << DigText(response, lookup, options.Dig);
}

// Whether a failure with one configured server sends the question on to the next, as the
// system's resolver does: no answer at all, or a server that cannot or will not answer.
bool MovesOn(const TOutcome& outcome) {
  if (outcome.Status == kCliNoAnswer) return true;
  return outcome.Status == kCliServerError &&
         (outcome.ResponseCode == 2 || outcome.ResponseCode == 4 || outcome.ResponseCode == 5);
}

// One lookup of the question with one server within time_out ms, and what became of it.
TOutcome LookupWith(TzvDnsQuery& query, const TCliOptions& options, const std::string& server,
                    std::int32_t time_out) {
  TOutcome outcome;
  const auto started = std::chrono::steady_clock::now();
  try {
    Lookup(query, options, server, time_out);
    outcome.Answered = true;
  } catch (const EzvDnsError& e) {
    const std::int32_t code = e.ErrorCode();
    outcome.Answered = code >= 1 && code <= 4095;
    if (outcome.Answered) outcome.ResponseCode = code;
    outcome.Status = outcome.Answered               ? kCliServerError
                     : code == kzvDnsErrInvalidName ? kCliUsageError
                                                    : kCliNoAnswer;
    outcome.Failure = e.Message() + " (" + std::to_string(code) + ")";
  } catch (const EzvSocketError& e) {
    outcome.Status = kCliNoAnswer;
    outcome.Failure = e.Message() + " (" + std::to_string(e.ErrorCode()) + ")";
  } catch (const std::exception& e) {
    outcome.Status = kCliNoAnswer;
    outcome.Failure = e.what();
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;

  // The exchange as the component saw it (the address a host name was resolved to, TCP
  // after a truncated answer); before any exchange took place, the settings.
  const TzvDnsExchangeInfo& exchange = query.LastExchange();
  outcome.Tries = exchange.Tries;
  outcome.EdnsFallback = exchange.EdnsFallback;
  outcome.MessageSize = exchange.MessageSize;
  outcome.Cookie = exchange.Cookie;
  outcome.BadCookieRetry = exchange.BadCookieRetry;
  outcome.EdnsNegotiated = exchange.EdnsNegotiated;
  outcome.Padding = exchange.Padding;
  if (!exchange.ServerAddress.empty()) {
    outcome.Server = exchange.ServerAddress;
    outcome.Port = exchange.Port;
    outcome.Transport = DnsTransportName(exchange.Transport);
    outcome.Tls = exchange.Tls;
    outcome.Http = exchange.Http;
    outcome.Truncated = exchange.Truncated;
    outcome.Milliseconds = static_cast<double>(exchange.ElapsedMicroseconds) / 1000.0;
  } else {
    outcome.Server = server;
    outcome.Port = options.Port;
    outcome.Milliseconds =
        static_cast<double>(
            std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count()) /
        1000.0;
  }
  return outcome;
}

// The keys DNSSEC checks start from: those of --trust-anchor's file, else the system's or
// the built-in ones; none without --dnssec.
std::vector<std::unique_ptr<TzvDnsRecord>> TrustAnchors(const TCliOptions& options) {
  if (options.TrustAnchorFile) return ReadTrustAnchorFile(*options.TrustAnchorFile);
  if (options.Dnssec) return DefaultTrustAnchors();
  return {};
}

// Reports a lookup that failed before any server was asked: in the chosen output, and its
// reason on standard error.
int ReportEarlyFailure(const TCliOptions& options, std::ostream& out, std::ostream& err, int status,
                       const std::string& failure) {
  TOutcome outcome;
  outcome.Status = status;
  outcome.Failure = failure;
  outcome.Server = options.Server.value_or("");
  outcome.Port = options.Port;
  if (options.Output == TCliOutput::coJson)
    out << JsonReport(nullptr, options, outcome) << '\n';
  else if (options.Output == TCliOutput::coSections)
    WriteLines(out, LookupErrorLines());
  err << kProgram << EscapedName(failure) << '\n';
  return status;
}

// `deadline`: the end of the lookup's time-out, which its chain of trust shares.
int ReportLookup(TzvDnsQuery& query, const TCliOptions& options, TOutcome& outcome,
                 const std::vector<TFailedServer>& failed_servers,
                 std::vector<std::unique_ptr<TzvDnsRecord>> anchors, std::ostream& out,
                 std::ostream& err,
                 std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) {
  if (outcome.Status == kCliUsageError) {
    err << kProgram << EscapedName(outcome.Failure) << '\n';
    return outcome.Status;
  }
  // The answer's chain of trust, asked of the server that answered, as it was asked.
  std::optional<TzvDnssecResult> dnssec;
  if (options.Dnssec && outcome.Answered) {
    TzvDnssecQueryAsker asker(query, deadline);
    TzvDnssecValidator validator(asker, std::move(anchors),
                                 static_cast<std::uint32_t>(std::time(nullptr)));
    dnssec = validator.ValidateAnswer(query.Response());
    // Under a trust anchor, an answer that could not be checked fails the check too.
    if (dnssec->Verdict == TzvDnssecVerdict::Bogus ||
        (dnssec->Verdict == TzvDnssecVerdict::Indeterminate && dnssec->Covered))
      outcome.Status = kCliBogus;
    if (options.GraphFile) {
      std::ofstream graph(*options.GraphFile, std::ios::binary | std::ios::trunc);
      graph << (dnssec->Graph
                    ? DnssecGraphDot(*dnssec->Graph)
                    : DnssecGraphDot(TzvDnssecGraph{{}, {}, {}, dnssec->Verdict, dnssec->Reason}));
      graph.close();
      if (!graph) {
        err << kProgram << "cannot write the graph to " << EscapedName(*options.GraphFile) << '\n';
        if (outcome.Status == kCliSuccess) outcome.Status = kCliUsageError;
      }
    }
  }
  if (options.Output == TCliOutput::coJson) {
    out << JsonReport(&query.Response(), options, outcome, failed_servers,
                      dnssec ? &*dnssec : nullptr)
        << '\n';
  } else if (options.Output == TCliOutput::coDig || options.Output == TCliOutput::coYaml) {
    WriteDig(out, outcome.Answered ? &query.Response() : nullptr, options, outcome);
  } else if (outcome.Status == kCliSuccess || outcome.Status == kCliBogus ||
             (options.Output == TCliOutput::coShort && outcome.Answered)) {
    // --short writes an error reply's answers too, as dig +short does: the aliases that
    // led to a name that does not exist.
    WriteResults(out, query, options);
  } else if (options.Output == TCliOutput::coSections) {
    WriteLines(out, LookupErrorLines());
  }
  // Why the resolver failed, or what it did instead, whatever the response code.
  if (options.Output == TCliOutput::coSections && outcome.Answered)
    WriteLines(out, ExtendedErrorLines(query.Response()));
  if (dnssec && options.Output == TCliOutput::coSections)
    out << ";; DNSSEC: " << DnssecVerdictText(dnssec->Verdict)
        << (dnssec->Reason.empty() ? "" : " (" + EscapedName(dnssec->Reason) + ")") << '\n';
  if (options.Verbose) {
    WriteVerbose(err, query, outcome, failed_servers);
    if (dnssec)
      for (const std::string& step : dnssec->Chain)
        err << ";; DNSSEC " << EscapedName(step) << '\n';
  }
  if (options.TlsInsecure && !outcome.Tls.Version.empty())
    err << kProgram << "the server's TLS certificate was not checked (--tls-insecure)\n";
  if (!outcome.Failure.empty()) err << kProgram << EscapedName(outcome.Failure) << '\n';
  return outcome.Status;
}

// Prefixes each "pellamar-cli: " line of `text` with `what` and writes it to err.
void WriteFailures(std::ostream& err, const std::string& text, const std::string& what) {
  std::istringstream failures(text);
  for (std::string line; std::getline(failures, line);) {
    if (line.rfind(kProgram, 0) == 0) line.insert(std::strlen(kProgram), what + ": ");
    err << line << '\n';
  }
}

// The same question of every server given, all at once (up to kServersAtOnce), so that a
// silent server costs one time-out rather than one each; each server's report in the
// order given, under a line naming it, then whether the answers agree. Exits with the
// worst server's status.
int RunSeveral(const TCliOptions& options, std::ostream& out, std::ostream& err) {
  struct TRun {
    std::ostringstream out, err;
    int status = kCliNoAnswer;
    TServerAnswer answer;
  };
  std::vector<TRun> runs(options.Servers.size());
  const std::int64_t total_ms = std::int64_t{options.TimeOutSeconds} * 1000;
  AskEachServer(runs.size(), [&options, &runs, total_ms](std::size_t i) {
    TRun& run = runs[i];
    const std::string& server = options.Servers[i];
    try {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total_ms);
      TzvDnsQuery query(nullptr);
      TOutcome outcome = LookupWith(query, options, server, static_cast<std::int32_t>(total_ms));
      run.answer = ServerAnswerOf(server, outcome.Answered ? &query.Response() : nullptr);
      // The anchors were read once already: a second reading of the same file holds.
      run.status = ReportLookup(query, options, outcome, {}, TrustAnchors(options), run.out,
                                run.err, deadline);
    } catch (const std::exception& e) {
      run.err << kProgram << EscapedName(e.what()) << '\n';
    }
  });
  std::vector<TServerAnswer> answers;
  for (const TRun& run : runs) answers.push_back(run.answer);
  const bool agree = AnswersAgree(answers);
  int status = kCliSuccess;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    std::string report = runs[i].out.str();
    if (options.Output == TCliOutput::coJson) {
      // One object a server, each saying whether all the servers agree.
      if (report.size() >= 2 && report.compare(report.size() - 2, 2, "}\n") == 0)
        report.insert(report.size() - 2, std::string(",\"agree\":") + (agree ? "true" : "false"));
    } else {
      out << ";; server " << EscapedName(options.Servers[i]) << '\n';
    }
    out << report;
    // Each failure says which server it is about.
    WriteFailures(err, runs[i].err.str(), EscapedName(options.Servers[i]));
    status = std::max(status, runs[i].status);
  }
  if (options.Output != TCliOutput::coJson) WriteLines(out, AgreementLines(answers));
  return status;
}

// A batch: the file's questions asked of one server, many at once, each reported in the
// file's order as a lookup of its own would be (under a line naming the question in the
// text outputs); a bad line is reported on standard error with its number and the rest
// go on. Exits with the worst question's status.
int RunBatch(const TCliOptions& options, std::ostream& out, std::ostream& err,
             const TCliServerSource& system_servers) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (options.BatchFile != "-") {
    file.open(options.BatchFile, std::ios::binary);
    if (!file) {
      err << kProgram << "cannot read " << EscapedName(options.BatchFile) << '\n';
      return kCliUsageError;
    }
    in = &file;
  }
  std::string server = options.Server.value_or("");
  if (server.empty()) {
    try {
      TStringList configured;
      system_servers(configured);
      for (const std::string& candidate : configured)
        if (server.empty() && !candidate.empty()) server = candidate;
    } catch (const std::exception& e) {
      err << kProgram << EscapedName(e.what()) << '\n';
      return kCliConfigFailed;
    }
    if (server.empty()) {
      err << kProgram << "no DNS server configured\n";
      return kCliConfigFailed;
    }
  }

  TzvDnsBatch batch;
  batch.SetSettings(
      ExchangeSettingsOf(options, server,
                         static_cast<std::int32_t>(std::min<std::int64_t>(
                             std::int64_t{options.TimeOutSeconds} * 1000, INT32_MAX))));
  batch.SetConcurrency(options.Concurrency);

  // The lines of the questions in flight, oldest first: never more than the window.
  std::deque<TBatchLine> asked;
  TBatchReader reader(*in, options.QueryType);
  int status = kCliSuccess;
  auto next = [&](TzvBatchQuestion& question) {
    while (std::optional<TBatchLine> line = reader.Next()) {
      if (!line->Question) continue;
      if (!line->Problem.empty()) {
        err << kProgram << "line " << line->Number << ": " << line->Problem << '\n';
        status = std::max(status, kCliUsageError);
        continue;
      }
      // Asked as the lookup of its type asks it: a mail address's domain, an address's
      // reverse name.
      question.Type = line->Type;
      question.Name = TzvDnsQuery::NameAsked(line->Name, line->Type);
      asked.push_back(std::move(*line));
      return true;
    }
    return false;
  };
  TzvDnsQuery results(nullptr);  // holds each answer while it is written out
  TCliOptions each = options;
  std::ostringstream failures, short_lines;
  auto done = [&](const TzvBatchAnswer& answer) {
    const TBatchLine line = std::move(asked.front());
    asked.pop_front();
    const std::string where = "line " + std::to_string(line.Number);
    if (answer.ErrorCode == kzvDnsErrInvalidName) {
      err << kProgram << where << ": " << EscapedName(answer.ErrorText) << '\n';
      status = std::max(status, kCliUsageError);
      return;
    }
    each.Name = line.Name;
    each.QueryType = line.Type;
    TOutcome outcome;
    outcome.Server = server;
    outcome.Port = options.Port;
    outcome.Transport =
        DnsTransportName(answer.Truncated ? TzvDnsTransport::dtTcp : batch.Settings().Transport);
    outcome.Truncated = answer.Truncated;
    outcome.Tries = answer.Tries;
    outcome.Milliseconds = static_cast<double>(answer.ElapsedMicroseconds) / 1000.0;
    outcome.Answered = answer.Answered;
    outcome.MessageSize = static_cast<std::int32_t>(answer.Bytes.size());
    outcome.Status = kCliNoAnswer;
    if (answer.Answered) {
      // Decoded once already by the batch: an error reply is a reply, its code data.
      const std::int32_t code = results.TakeReply(answer.Bytes, line.Type, line.Name);
      outcome.Status = code == 0 ? kCliSuccess : kCliServerError;
      if (code != 0) {
        outcome.ResponseCode = code;
        outcome.Failure = EzvDnsError(code).Message() + " (" + std::to_string(code) + ")";
      }
    } else {
      outcome.Failure = answer.ErrorText + " (" + std::to_string(answer.ErrorCode) + ")";
    }
    const std::string question = EscapedName(line.Name) + ' ' + DnsTypeText(line.Type);
    failures.str("");
    if (options.Output == TCliOutput::coShort) {
      // One line a question: the question, then its answers' data (or why there is none).
      short_lines.str("");
      status =
          std::max(status, ReportLookup(results, each, outcome, {}, {}, short_lines, failures));
      out << question;
      std::istringstream data(short_lines.str());
      for (std::string item; std::getline(data, item);) out << ' ' << item;
      if (!outcome.Failure.empty())
        out << " ;; "
            << (outcome.Answered ? DnsResponseCodeName(outcome.ResponseCode) : "no answer");
      out << '\n';
    } else {
      if (options.Output != TCliOutput::coJson) out << ";; " << question << '\n';
      status = std::max(status, ReportLookup(results, each, outcome, {}, {}, out, failures));
    }
    WriteFailures(err, failures.str(), where);
  };
  try {
    batch.Run(next, done);
  } catch (const std::exception& e) {
    err << kProgram << EscapedName(e.what()) << '\n';
    return kCliNoAnswer;
  }
  if (in->bad()) {
    err << kProgram << "reading " << EscapedName(options.BatchFile) << " failed\n";
    status = std::max(status, kCliUsageError);
  }
  return status;
}

int RunLookup(const TCliOptions& options, std::ostream& out, std::ostream& err,
              const TCliServerSource& system_servers) {
  try {
    CheckQuestion(options);
  } catch (const EzvDnsError& e) {
    err << kProgram << EscapedName(e.Message()) << '\n';
    return kCliUsageError;
  } catch (const std::exception& e) {
    // Not the name's fault (no random numbers for the message ID, say): nothing was sent.
    return ReportEarlyFailure(options, out, err, kCliNoAnswer, e.what());
  }

  // The trust anchors, read before anything is sent: a file that cannot be used is the
  // command line's mistake.
  std::vector<std::unique_ptr<TzvDnsRecord>> anchors;
  try {
    anchors = TrustAnchors(options);
  } catch (const EzvDnsError& e) {
    err << kProgram << EscapedName(e.Message()) << '\n';
    return kCliUsageError;
  }
  if (options.Servers.size() > 1) return RunSeveral(options, out, err);

  // The server named, or else those configured, in their order.
  std::vector<std::string> servers;
  if (options.Server) {
    servers.push_back(*options.Server);
  } else {
    std::string problem;
    try {
      TStringList configured;
      system_servers(configured);
      for (const std::string& server : configured)
        if (!server.empty()) servers.push_back(server);
      if (servers.empty()) problem = "no DNS server configured";
    } catch (const std::exception& e) {
      problem = e.what();
    }
    if (!problem.empty()) return ReportEarlyFailure(options, out, err, kCliConfigFailed, problem);
  }

  // The time-out is the whole lookup's: each configured server gets an equal share of
  // what is left when its turn comes, so one that fails at once leaves more to the next.
  TzvDnsQuery query(nullptr);
  TOutcome outcome;
  std::vector<TFailedServer> failed_servers;
  const auto started = std::chrono::steady_clock::now();
  const std::int64_t total_ms = std::int64_t{options.TimeOutSeconds} * 1000;
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const std::int64_t spent_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count();
    const std::int64_t share = std::max<std::int64_t>(total_ms - spent_ms, 0) /
                               static_cast<std::int64_t>(servers.size() - i);
    outcome = LookupWith(query, options, servers[i], static_cast<std::int32_t>(share));
    if (i + 1 == servers.size() || !MovesOn(outcome)) break;
    failed_servers.push_back({outcome.Server, outcome.Failure});
  }

  return ReportLookup(query, options, outcome, failed_servers, std::move(anchors), out, err,
                      started + std::chrono::milliseconds(total_ms));
}

int RunListing(std::ostream& out, std::ostream& err, const TCliServerSource& system_servers) {
  // The heading goes out first and stays there when reading fails, as in the window.
  out << DnsServerListHeading() << '\n';
  try {
    TStringList servers;
    system_servers(servers);
    WriteLines(out, DnsServerLines(servers));
    return kCliSuccess;
  } catch (const std::exception& e) {
    out.flush();
    err << kProgram << EscapedName(e.what()) << '\n';
    return kCliConfigFailed;
  }
}

int RunCliCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                  const TCliServerSource& system_servers);

}  // namespace

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  return RunCli(arguments, out, err,
                [](TStrings& servers) { TzvDnsQuery::GetSystemDnsServers(servers); });
}

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const TCliServerSource& system_servers) {
  // Whatever escapes a lookup ends it as a lookup that got no answer, with its message:
  // never as an abort.
  try {
    return RunCliCommand(arguments, out, err, system_servers);
  } catch (const std::exception& e) {
    err << kProgram << EscapedName(e.what()) << '\n';
  } catch (...) {
    err << kProgram << "unexpected failure\n";
  }
  return kCliNoAnswer;
}

namespace {

int RunCliCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                  const TCliServerSource& system_servers) {
  const TCliParseResult parsed = ParseCliArguments(arguments);
  if (parsed.Error) {
    err << kProgram << EscapedName(parsed.Error->Message) << '\n' << CliUsage();
    return kCliUsageError;
  }
  const TCliOptions& options = *parsed.Options;
  // HMAC-MD5 is kept for the servers that know nothing newer.
  if (options.Tsig && options.Tsig->Algorithm == TzvHmacAlgorithm::haMd5)
    err << kProgram
        << "warning: hmac-md5 is deprecated; use it only with a server that "
           "knows no newer algorithm\n";
  switch (options.Mode) {
    case TCliMode::cmHelp:
      out << CliHelp();
      return kCliSuccess;
    case TCliMode::cmVersion:
      out << CliVersion();
      return kCliSuccess;
    case TCliMode::cmListDns:
      return RunListing(out, err, system_servers);
    case TCliMode::cmBatch:
      return RunBatch(options, out, err, system_servers);
    case TCliMode::cmTrace:
      return RunTrace(options, system_servers, out, err);
    case TCliMode::cmLookup:
      break;
  }
  if (IsTransferQuestion(options) && options.MoreQuestions.empty())
    return RunTransfer(options, out, err);
  if (options.MoreQuestions.empty()) return RunLookup(options, out, err, system_servers);
  // Several questions are asked in turn, as dig asks them, each its own lookup (under a
  // line ";; NAME TYPE" in the sections output); the exit status is the worst.
  std::vector<TCliQuestion> questions = {{options.Name, options.QueryType, options.QueryClass}};
  questions.insert(questions.end(), options.MoreQuestions.begin(), options.MoreQuestions.end());
  int status = kCliSuccess;
  for (const TCliQuestion& question : questions) {
    TCliOptions each = options;
    each.MoreQuestions.clear();
    each.Name = question.Name;
    each.QueryType = question.Type;
    each.QueryClass = question.Class;
    if (options.Output == TCliOutput::coSections)
      out << ";; " << EscapedName(question.Name) << ' ' << DnsTypeText(question.Type) << '\n';
    status = std::max(status, RunLookup(each, out, err, system_servers));
  }
  return status;
}

}  // namespace
