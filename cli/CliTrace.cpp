#include "cli/CliTrace.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "cli/CliRunner.h"
#include "cli/JsonText.h"
#include "cli/RecordJson.h"
#include "cli/ResultText.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsTrace.h"
#include "dns/zvDnssecChain.h"
#include "dns/zvDnssecTrace.h"
#include "dns/zvUtils.h"

namespace {

constexpr const char* kProgram = "pellamar-cli: ";

// The records a step shows: a referral's delegation (NS, DS and their signatures), the
// answer, or the denial's SOA.
const TzvDnsRecordList& ShownRecords(const TzvTraceStep& step) {
  if (step.Outcome == TzvTraceOutcome::Answer || step.Outcome == TzvTraceOutcome::Alias)
    return step.Response->Answers();
  return step.Response->Authorities();
}

std::string Milliseconds(std::int64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(microseconds) / 1000.0);
  return text;
}

std::string StepSummary(const TzvTraceStep& step) {
  std::string summary = TraceOutcomeText(step.Outcome);
  if (step.Outcome == TzvTraceOutcome::Referral) summary += " to " + EscapedName(step.NextZone);
  if (step.Outcome == TzvTraceOutcome::Alias) summary += " for " + EscapedName(step.AliasTarget);
  return summary;
}

void WriteStepText(std::ostream& out, const TzvTraceStep& step) {
  // A trace nested for a name server's address is set in, under its own question.
  const std::string indent(static_cast<std::size_t>(step.Level) * 2, ' ');
  if (step.Level > 0) out << indent << ";; (the address of " << EscapedName(step.Name) << ")\n";
  if (step.Response != nullptr)
    for (const auto& record : ShownRecords(step))
      if (record->RecordType != kzvDnsTypeOPT) out << indent << RecordLine(*record) << '\n';
  for (const std::string& failure : step.Failures)
    out << indent << ";; " << EscapedName(failure) << '\n';
  out << indent << ";; zone " << EscapedName(step.Zone);
  if (step.ServerAddress.empty())
    out << ": no server answered\n";
  else
    out << ": " << EscapedName(step.ServerAddress) << " (" << EscapedName(step.ServerName)
        << ") in " << Milliseconds(step.ElapsedMicroseconds) << " ms: " << StepSummary(step)
        << '\n';
  if (step.Dnssec)
    out << indent << ";; DNSSEC " << EscapedName(step.Zone) << ": "
        << DnssecVerdictText(step.Dnssec->Verdict)
        << (step.Dnssec->Reason.empty() ? "" : " (" + EscapedName(step.Dnssec->Reason) + ")")
        << '\n';
  out << '\n';
}

void WriteStepJson(TJsonWriter& json, const TzvTraceStep& step) {
  json.BeginObject();
  json.Key("level");
  json.Number(step.Level);
  json.Key("name");
  json.String(EscapedName(step.Name));
  json.Key("type");
  json.String(DnsTypeText(step.Type));
  json.Key("zone");
  json.String(EscapedName(step.Zone));
  json.Key("servers");
  json.BeginArray();
  for (const TzvTraceServer& server : step.Servers) json.String(EscapedName(server.Name));
  json.EndArray();
  json.Key("server");
  step.ServerAddress.empty() ? json.Null() : json.String(EscapedName(step.ServerAddress));
  json.Key("server_name");
  step.ServerName.empty() ? json.Null() : json.String(EscapedName(step.ServerName));
  json.Key("failures");
  json.BeginArray();
  for (const std::string& failure : step.Failures) json.String(EscapedName(failure));
  json.EndArray();
  json.Key("time_ms");
  json.Fixed(static_cast<double>(step.ElapsedMicroseconds) / 1000.0, 3);
  json.Key("rcode");
  step.ResponseCode < 0 ? json.Null() : json.String(DnsResponseCodeName(step.ResponseCode));
  json.Key("outcome");
  json.String(TraceOutcomeText(step.Outcome));
  json.Key("next_zone");
  step.NextZone.empty() ? json.Null() : json.String(EscapedName(step.NextZone));
  json.Key("records");
  json.BeginArray();
  if (step.Response != nullptr)
    for (const auto& record : ShownRecords(step)) {
      if (record->RecordType == kzvDnsTypeOPT) continue;
      WriteRecordJson(json, *record);
    }
  json.EndArray();
  json.Key("dnssec");
  step.Dnssec ? json.String(DnssecVerdictText(step.Dnssec->Verdict)) : json.Null();
  json.EndObject();
}

bool IsAddressText(const std::string& text) {
  unsigned char octets[16];
  return inet_pton(AF_INET, text.c_str(), octets) == 1 ||
         inet_pton(AF_INET6, text.c_str(), octets) == 1;
}

// The resolvers asked for the root servers: those given with @, else the configured ones
// (their addresses; a configuration that cannot be read leaves none, and says why).
std::vector<std::string> PrimingResolvers(const TCliOptions& options,
                                          const TCliServerSource& system_servers,
                                          std::vector<std::string>& failures) {
  if (!options.Servers.empty()) return options.Servers;
  std::vector<std::string> resolvers;
  try {
    TStringList configured;
    system_servers(configured);
    for (const std::string& server : configured)
      if (IsAddressText(server)) resolvers.push_back(server);
  } catch (const std::exception& e) {
    failures.push_back(std::string("the configured resolvers: ") + e.what());
  }
  return resolvers;
}

void WriteRootHintsJson(TJsonWriter& json, const TzvRootHintsChoice& choice) {
  static const char* const kSources[] = {"file", "system file", "resolver", "built-in"};
  json.BeginObject();
  json.Key("source");
  json.String(kSources[static_cast<int>(choice.Source)]);
  json.Key("from");
  choice.From.empty() ? json.Null() : json.String(EscapedName(choice.From));
  json.Key("servers");
  json.Number(static_cast<std::int64_t>(choice.Hints.size()));
  json.Key("failures");
  json.BeginArray();
  for (const std::string& failure : choice.Failures) json.String(EscapedName(failure));
  json.EndArray();
  json.EndObject();
}

}  // namespace

int RunTrace(const TCliOptions& options, const TCliServerSource& system_servers, std::ostream& out,
             std::ostream& err) {
  TzvDnsTrace trace;
  // Each server is asked as the user's lookup would be, the trace choosing the server,
  // the time-out left and the RD, DO and CD bits of each question.
  trace.SetSettings(ExchangeSettingsOf(options));
  trace.SetTotalTimeOut(static_cast<std::int32_t>(
      std::min<std::int64_t>(std::int64_t{trace.TimeOut()} * kCliTraceTimeOuts, INT32_MAX)));
  TzvRootHintsChoice hints;
  try {
    if (options.RootHintsFile) {
      hints.Hints = ReadRootHintsFile(*options.RootHintsFile);
      hints.Source = TzvRootHintsSource::File;
      hints.From = *options.RootHintsFile;
    } else {
      std::vector<std::string> failures;
      const auto resolvers = PrimingResolvers(options, system_servers, failures);
      hints = trace.ChooseRootHints(resolvers);
      hints.Failures.insert(hints.Failures.begin(), failures.begin(), failures.end());
    }
    trace.SetRootHints(hints.Hints);
    if (options.Dnssec)
      trace.SetZoneCheck(DnssecTraceCheck(options.TrustAnchorFile
                                              ? ReadTrustAnchorFile(*options.TrustAnchorFile)
                                              : DefaultTrustAnchors(),
                                          static_cast<std::uint32_t>(std::time(nullptr))));
  } catch (const EzvDnsError& e) {
    err << kProgram << EscapedName(e.Message()) << '\n';
    return kCliUsageError;
  }
  if (options.FollowReferrals) trace.SetMaxSteps(options.MaxRecursiveQueries);
  const bool json = options.Output == TCliOutput::coJson;
  // Where the walk starts is said first: a trace from the built-in list on a network
  // that cannot reach it is otherwise a puzzle.
  if (options.Verbose) {
    for (const std::string& failure : hints.Failures) err << ";; " << EscapedName(failure) << '\n';
    err << ";; " << EscapedName(RootHintsSourceText(hints)) << '\n';
  }
  if (!json) out << ";; " << EscapedName(RootHintsSourceText(hints)) << "\n\n";
  const std::string name = TzvDnsQuery::NameAsked(options.Name, options.QueryType);
  std::string failure;
  int status = kCliSuccess;
  try {
    // Each step goes out as it is made: a long walk shows where it is.
    trace.Run(name, options.QueryType, [&](const TzvTraceStep& step) {
      if (!json) {
        WriteStepText(out, step);
        out.flush();
      }
    });
  } catch (const std::exception& e) {
    failure = e.what();
    status = kCliNoAnswer;
  }
  const std::vector<TzvTraceStep>& steps = trace.Steps();
  if (status == kCliSuccess && !steps.empty() && steps.back().Outcome == TzvTraceOutcome::NameError)
    status = kCliServerError;
  for (const TzvTraceStep& step : steps)
    if (step.Dnssec && step.Dnssec->Verdict == TzvDnssecVerdict::Bogus) status = kCliBogus;
  if (json) {
    TJsonWriter writer;
    writer.BeginObject();
    writer.Key("question");
    writer.BeginObject();
    writer.Key("name");
    writer.String(EscapedName(name));
    writer.Key("type");
    writer.String(DnsTypeText(options.QueryType));
    writer.EndObject();
    writer.Key("root_hints");
    WriteRootHintsJson(writer, hints);
    writer.Key("steps");
    writer.BeginArray();
    for (const TzvTraceStep& step : steps) WriteStepJson(writer, step);
    writer.EndArray();
    writer.Key("error");
    failure.empty() ? writer.Null() : writer.String(EscapedName(failure));
    writer.EndObject();
    out << writer.Text() << '\n';
  }
  if (!failure.empty()) err << kProgram << EscapedName(failure) << '\n';
  return status;
}
