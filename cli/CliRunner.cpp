#include "cli/CliRunner.h"

#include <cstdint>
#include <memory>
#include <ostream>

#include "cli/CliOptions.h"
#include "cli/ResultText.h"
#include "dns/zvDnsQuery.h"

namespace {

constexpr const char* kProgram = "pellamar-cli: ";

void WriteLines(std::ostream& out, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) out << line << '\n';
}

// The time-out text holds seconds and the component takes milliseconds. As in the
// window, a number of seconds whose milliseconds do not fit the 32-bit setting is refused
// like any other text that is not a usable integer, instead of wrapping round.
std::int32_t TimeOutMilliseconds(const std::string& seconds_text) {
  const std::int64_t milliseconds = std::int64_t{StrToInt(seconds_text)} * 1000;
  if (milliseconds > INT32_MAX || milliseconds < INT32_MIN)
    throw EConvertError(Format("'%s' is not a valid time-out in seconds", seconds_text.c_str()));
  return static_cast<std::int32_t>(milliseconds);
}

// The settings are copied into the component in the window's order, so that the same
// texts fail at the same step.
void Lookup(TzvDnsQuery& query, const TCliOptions& options, const std::string& server) {
  query.SetServer(server);
  query.SetPort(StrToInt(options.Port));
  query.SetTimeOut(TimeOutMilliseconds(options.TimeOut));
  query.SetIsRecursiveDesired(options.RecursionDesired);
  if (options.FollowReferrals) {
    query.SetUseRecursiveQueries(true);
    query.SetMaxRecursiveQueries(options.MaxRecursiveQueries);
  }
  switch (options.QueryType) {
    case TCliQueryType::qtMX:
      query.ResolveMX(options.Name);
      break;
    case TCliQueryType::qtA:
      query.ResolveIP(options.Name);
      break;
    case TCliQueryType::qtPTR:
      query.ResolveHostName(options.Name);
      break;
    case TCliQueryType::qtNS: {
      std::string first_name_server;
      query.ResolveNS(options.Name, first_name_server);
      break;
    }
  }
}

int LookupFailed(std::ostream& out, std::ostream& err, const std::string& report) {
  WriteLines(out, LookupErrorLines());
  err << kProgram << report << '\n';
  return kCliLookupFailed;
}

int RunLookup(const TCliOptions& options, std::ostream& out, std::ostream& err,
              const TCliServerSource& system_servers) {
  try {
    std::string server;
    if (options.Server) {
      server = *options.Server;
    } else {
      TStringList servers;
      system_servers(servers);
      if (servers.Count() == 0) return LookupFailed(out, err, "no DNS server configured");
      server = servers[0];
    }
    TzvDnsQuery query(nullptr);
    Lookup(query, options, server);
    WriteLines(out, LookupResultLines(query.MailServers(), query.Hosts(), query.NameServers(),
                                      query.Aliases()));
    return kCliSuccess;
  } catch (const EzvSocketError& e) {
    // Transport failures and DNS errors carry a code worth showing.
    return LookupFailed(out, err, e.Message() + " (" + std::to_string(e.ErrorCode()) + ")");
  } catch (const std::exception& e) {
    return LookupFailed(out, err, e.what());
  }
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
    err << kProgram << e.what() << '\n';
    return kCliListingFailed;
  }
}

}  // namespace

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
  return RunCli(arguments, out, err,
                [](TStrings& servers) { TzvDnsQuery::GetSystemDnsServers(servers); });
}

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const TCliServerSource& system_servers) {
  const TCliParseResult parsed = ParseCliArguments(arguments);
  if (parsed.Error) {
    err << kProgram << parsed.Error->Message << '\n' << CliUsage();
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
