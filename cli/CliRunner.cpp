#include "cli/CliRunner.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>

#include "cli/CliOptions.h"
#include "cli/JsonText.h"
#include "cli/ResultText.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
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
  std::string name = options.Name;
  if (options.QueryType == kzvDnsTypeMX) name = TzvDnsQuery::GetMailDomain(name);
  if (options.QueryType == kzvDnsTypePTR) name = TzvDnsQuery::GetArpaName(name);
  TzvDnsExtendedMessage message;
  std::unique_ptr<TzvDnsRecord> question = message.CreateRecord(options.QueryType);
  question->RecordType = options.QueryType;
  question->Name = IdnToAscii(name);
  message.Queries().Add(std::move(question));
  TMemoryStream stream;
  message.Build(stream);
}

void Lookup(TzvDnsQuery& query, const TCliOptions& options, const std::string& server) {
  query.SetServer(server);
  query.SetPort(options.Port);
  query.SetTimeOut(options.TimeOutSeconds * 1000);
  query.SetIsRecursiveDesired(options.RecursionDesired);
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
  bool Truncated = false;
  double Milliseconds = 0;
};

std::string ResponseCodeName(std::int32_t code) {
  static const char* const kNames[] = {"NOERROR", "FORMERR", "SERVFAIL", "NXDOMAIN",
                                       "NOTIMP",  "REFUSED", "YXDOMAIN", "YXRRSET",
                                       "NXRRSET", "NOTAUTH", "NOTZONE"};
  if (code >= 0 && code < static_cast<std::int32_t>(std::size(kNames))) return kNames[code];
  return "RCODE" + std::to_string(code);
}

std::string ClassName(TzvDnsRecordClass record_class) {
  switch (record_class) {
    case rcChaos:
      return "CH";
    case rcHesiod:
      return "HS";
    default:
      return "IN";
  }
}

std::vector<std::string> FlagNames(const TzvDnsMessageHeader& header) {
  std::vector<std::string> flags;
  if (!header.IsQuery) flags.emplace_back("qr");
  if (header.IsAuthoritativeAnswer) flags.emplace_back("aa");
  if (header.IsTruncated) flags.emplace_back("tc");
  if (header.IsRecursionDesired) flags.emplace_back("rd");
  if (header.IsRecursionAvailable) flags.emplace_back("ra");
  return flags;
}

void WriteJsonSection(TJsonWriter& json, const char* key, const TzvDnsRecordList& records) {
  json.Key(key);
  json.BeginArray();
  for (const auto& record : records) {
    json.BeginObject();
    json.Key("name");
    json.String(EscapedName(record->Name));
    const std::string unicode = IdnToUnicode(record->Name);
    if (!unicode.empty()) {
      json.Key("name_unicode");
      json.String(EscapedName(unicode));
    }
    json.Key("type");
    json.String(DnsTypeText(record->RecordType));
    json.Key("class");
    json.String(ClassName(record->RecordClass));
    json.Key("ttl");
    json.Number(record->TTL);
    json.Key("data");
    json.String(RecordDataText(*record));
    json.EndObject();
  }
  json.EndArray();
}

// `response` is the decoded answer, or null when there is none.
std::string JsonReport(const TzvDnsMessage* response, const TCliOptions& options,
                       const TOutcome& outcome) {
  TJsonWriter json;
  json.BeginObject();
  json.Key("question");
  json.BeginObject();
  json.Key("name");
  json.String(EscapedName(options.Name));
  json.Key("type");
  json.String(DnsTypeText(options.QueryType));
  json.Key("class");
  json.String("IN");
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
  json.Key("truncated");
  json.Bool(outcome.Truncated);
  json.Key("time_ms");
  json.Fixed(outcome.Milliseconds, 3);
  if (!outcome.Answered) response = nullptr;
  json.Key("rcode");
  if (response != nullptr)
    json.String(ResponseCodeName(response->Header().ResponseCode));
  else
    json.Null();
  json.Key("flags");
  json.BeginArray();
  if (response != nullptr) {
    for (const std::string& flag : FlagNames(response->Header())) json.String(flag);
  }
  json.EndArray();
  json.Key("error");
  if (outcome.Failure.empty())
    json.Null();
  else
    json.String(EscapedName(outcome.Failure));
  const TzvDnsRecordList empty;
  WriteJsonSection(json, "answer", response != nullptr ? response->Answers() : empty);
  WriteJsonSection(json, "authority", response != nullptr ? response->Authorities() : empty);
  WriteJsonSection(json, "additional", response != nullptr ? response->AdditionalRecords() : empty);
  json.EndObject();
  return json.Text();
}

void WriteVerbose(std::ostream& err, const TzvDnsQuery& query, const TOutcome& outcome) {
  char time[32];
  std::snprintf(time, sizeof time, "%.3f", outcome.Milliseconds);
  err << ";; server " << EscapedName(outcome.Server) << " port " << outcome.Port << " over "
      << outcome.Transport << (outcome.Truncated ? " (UDP answer truncated)" : "") << ", " << time
      << " ms\n";
  if (!outcome.Answered) {
    err << ";; no answer\n";
    return;
  }
  const TzvDnsMessage& response = query.Response();
  err << ";; response " << ResponseCodeName(response.Header().ResponseCode) << ", flags:";
  for (const std::string& flag : FlagNames(response.Header())) err << ' ' << flag;
  err << '\n';
  const std::pair<const char*, const TzvDnsRecordList*> sections[] = {
      {"answer", &response.Answers()},
      {"authority", &response.Authorities()},
      {"additional", &response.AdditionalRecords()}};
  for (const auto& [title, records] : sections) {
    if (records->Count() == 0) continue;
    err << ";; " << title << ":\n";
    for (const auto& record : *records) {
      err << EscapedName(record->Name) << '\t' << record->TTL << '\t'
          << ClassName(record->RecordClass) << '\t' << DnsTypeText(record->RecordType) << '\t'
          << RecordDataText(*record) << '\n';
    }
  }
}

void WriteResults(std::ostream& out, const TzvDnsQuery& query, const TCliOptions& options) {
  switch (options.Output) {
    case TCliOutput::coShort:
      for (const auto& record : query.Response().Answers()) {
        const std::string data = RecordDataText(*record);
        if (!data.empty()) out << data << '\n';
      }
      return;
    case TCliOutput::coJson:
      return;  // written with the outcome
    case TCliOutput::coSections:
      break;
  }
  if (HasResultLists(options.QueryType)) {
    WriteLines(out, LookupResultLines(query.MailServers(), query.Hosts(), query.NameServers(),
                                      query.Aliases()));
    return;
  }
  WriteLines(out, RecordSectionLines(query.Response().Answers(), options.QueryType));
  // A CNAME question's own section already names every alias.
  if (options.QueryType != kzvDnsTypeCNAME) WriteLines(out, AliasLines(query.Aliases()));
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

  std::string server;
  if (options.Server) {
    server = *options.Server;
  } else {
    std::string problem;
    try {
      TStringList servers;
      system_servers(servers);
      if (servers.Count() > 0) server = servers[0];
      if (server.empty()) problem = "no DNS server configured";
    } catch (const std::exception& e) {
      problem = e.what();
    }
    if (!problem.empty()) return ReportEarlyFailure(options, out, err, kCliConfigFailed, problem);
  }

  TzvDnsQuery query(nullptr);
  TOutcome outcome;
  const auto started = std::chrono::steady_clock::now();
  try {
    Lookup(query, options, server);
    outcome.Answered = true;
  } catch (const EzvDnsError& e) {
    const std::int32_t code = e.ErrorCode();
    outcome.Answered = code >= 1 && code <= 15;
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
  if (!exchange.ServerAddress.empty()) {
    outcome.Server = exchange.ServerAddress;
    outcome.Port = exchange.Port;
    outcome.Transport = exchange.Transport == TzvDnsTransport::dtTcp ? "TCP" : "UDP";
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

  if (outcome.Status == kCliUsageError) {
    err << kProgram << EscapedName(outcome.Failure) << '\n';
    return outcome.Status;
  }
  if (options.Output == TCliOutput::coJson) {
    out << JsonReport(&query.Response(), options, outcome) << '\n';
  } else if (outcome.Status == kCliSuccess) {
    WriteResults(out, query, options);
  } else if (options.Output == TCliOutput::coSections) {
    WriteLines(out, LookupErrorLines());
  }
  if (options.Verbose) WriteVerbose(err, query, outcome);
  if (!outcome.Failure.empty()) err << kProgram << EscapedName(outcome.Failure) << '\n';
  return outcome.Status;
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
  switch (options.Mode) {
    case TCliMode::cmHelp:
      out << CliHelp();
      return kCliSuccess;
    case TCliMode::cmVersion:
      out << CliVersion();
      return kCliSuccess;
    case TCliMode::cmListDns:
      return RunListing(out, err, system_servers);
    case TCliMode::cmLookup:
      break;
  }
  return RunLookup(options, out, err, system_servers);
}

}  // namespace
