#include "dns/zvDnsTrace.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <sstream>

#include "base/ScopeExit.h"
#include "base/SysUtils.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvIdn.h"
#include "net/zvSocketUtils.h"

namespace {

// ---- names ----
// Names are compared in the codec's text form without the last dot, ASCII letters in
// lower case: "" is the root.

std::string Canonical(const std::string& name) {
  std::string text = LowerCase(name);
  if (!text.empty() && text.back() == '.' && (text.size() < 2 || text[text.size() - 2] != '\\'))
    text.pop_back();
  return text;
}

// The labels, the last (the top-level one) first; "\." inside a label does not split it.
std::vector<std::string> LabelsFromTop(const std::string& name) {
  std::vector<std::string> labels;
  std::string label;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      label += name.substr(i, 2);
      ++i;
    } else if (name[i] == '.') {
      labels.push_back(label);
      label.clear();
    } else {
      label += name[i];
    }
  }
  if (!name.empty()) labels.push_back(label);
  std::reverse(labels.begin(), labels.end());
  return labels;
}

// Whether name is zone or lies below it (both canonical).
bool IsWithin(const std::string& name, const std::string& zone) {
  const auto name_labels = LabelsFromTop(name), zone_labels = LabelsFromTop(zone);
  return zone_labels.size() <= name_labels.size() &&
         std::equal(zone_labels.begin(), zone_labels.end(), name_labels.begin());
}

bool IsBelow(const std::string& name, const std::string& zone) {
  return name != zone && IsWithin(name, zone);
}

// dig's form: "." for the root, a dot after any other name.
std::string Shown(const std::string& canonical) {
  return canonical.empty() ? "." : canonical + ".";
}

bool IsIPv6Text(const std::string& text) {
  in6_addr address;
  return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

bool IsIPv4Text(const std::string& text) {
  in_addr address;
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// The address an A or AAAA record holds, or "".
std::string AddressIn(const TzvDnsRecord& record) {
  if (const auto* a = dynamic_cast<const TzvDnsARecord*>(&record)) return a->IPAddress;
  if (const auto* aaaa = dynamic_cast<const TzvDnsAAAARecord*>(&record)) return aaaa->IPAddress;
  return "";
}

// The addresses of name among the records (A before AAAA).
std::vector<std::string> AddressesIn(const TzvDnsRecordList& records, const std::string& name) {
  std::vector<std::string> v4, v6;
  for (const auto& record : records) {
    if (Canonical(record->Name) != name) continue;
    const std::string address = AddressIn(*record);
    if (address.empty()) continue;
    (record->RecordType == kzvDnsTypeA ? v4 : v6).push_back(address);
  }
  v4.insert(v4.end(), v6.begin(), v6.end());
  return v4;
}

[[noreturn]] void RaiseAborted() {
  RaiseSocketErrorText(SzvAborted, kzvErrAborted);
}

}  // namespace

// ---- root hints ----

TzvRootHints BuiltInRootHints() {
  // IANA's named.root (last changed 2023-11, b.root-servers.net's new addresses).
  return {
      {"a.root-servers.net.", {"198.41.0.4", "2001:503:ba3e::2:30"}},
      {"b.root-servers.net.", {"170.247.170.2", "2801:1b8:10::b"}},
      {"c.root-servers.net.", {"192.33.4.12", "2001:500:2::c"}},
      {"d.root-servers.net.", {"199.7.91.13", "2001:500:2d::d"}},
      {"e.root-servers.net.", {"192.203.230.10", "2001:500:a8::e"}},
      {"f.root-servers.net.", {"192.5.5.241", "2001:500:2f::f"}},
      {"g.root-servers.net.", {"192.112.36.4", "2001:500:12::d0d"}},
      {"h.root-servers.net.", {"198.97.190.53", "2001:500:1::53"}},
      {"i.root-servers.net.", {"192.36.148.17", "2001:7fe::53"}},
      {"j.root-servers.net.", {"192.58.128.30", "2001:503:c27::2:30"}},
      {"k.root-servers.net.", {"193.0.14.129", "2001:7fd::1"}},
      {"l.root-servers.net.", {"199.7.83.42", "2001:500:9f::42"}},
      {"m.root-servers.net.", {"202.12.27.33", "2001:dc3::35"}},
  };
}

TzvRootHints ReadRootHints(const std::string& text) {
  TzvRootHints hints;
  // An address line may come before the NS line that names its server; each waits here
  // with its line number until the end.
  struct TPending {
    std::string name, address;
    int line;
  };
  std::vector<TPending> addresses;
  std::vector<int> ns_lines;
  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const auto fail = [number](const std::string& why) {
      return EzvDnsError("root hints line " + std::to_string(number) + ": " + why,
                         kzvDnsErrInvalidSize);
    };
    line = line.substr(0, line.find(';'));
    std::istringstream words(line);
    std::vector<std::string> fields;
    for (std::string word; words >> word;) fields.push_back(word);
    if (fields.empty()) continue;
    // OWNER [TTL] [IN] TYPE DATA
    std::size_t at = 1;
    if (at < fields.size() && !fields[at].empty() &&
        std::all_of(fields[at].begin(), fields[at].end(),
                    [](char c) { return c >= '0' && c <= '9'; }))
      ++at;
    if (at < fields.size() && SameText(fields[at], "IN")) ++at;
    if (at + 2 != fields.size())
      throw fail("expected 'OWNER [TTL] [IN] NS|A|AAAA DATA', got '" + line + "'");
    const std::string owner = Canonical(fields[0]);
    std::string type = fields[at];
    std::transform(type.begin(), type.end(), type.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const std::string& data = fields[at + 1];
    if (type == "NS") {
      if (!owner.empty()) throw fail("an NS record of '" + fields[0] + "', not of the root");
      const std::string server = Canonical(data);
      if (server.empty()) throw fail("the root cannot be a root server's name");
      if (std::none_of(hints.begin(), hints.end(),
                       [&](const TzvTraceServer& s) { return Canonical(s.Name) == server; })) {
        if (hints.size() == kzvMaxRootServers)
          throw fail("more than " + std::to_string(kzvMaxRootServers) +
                     " root servers; root hints name a few (IANA's 13)");
        hints.push_back({Shown(server), {}});
        ns_lines.push_back(number);
      }
    } else if (type == "A" || type == "AAAA") {
      if (type == "A" ? !IsIPv4Text(data) : !IsIPv6Text(data))
        throw fail("'" + data + "' is not an " + (type == "A" ? "IPv4" : "IPv6") + " address");
      if (addresses.size() == kzvMaxRootHintsAddresses)
        throw fail("more than " + std::to_string(kzvMaxRootHintsAddresses) +
                   " addresses; root hints hold a few (IANA's 26)");
      addresses.push_back({owner, data, number});
    } else {
      throw fail("type " + fields[at] + " has no place in root hints (NS, A, AAAA)");
    }
  }
  // IPv4 first, as the trace tries them.
  for (const bool v6 : {false, true}) {
    for (const TPending& pending : addresses) {
      if (IsIPv6Text(pending.address) != v6) continue;
      auto server = std::find_if(hints.begin(), hints.end(), [&](const TzvTraceServer& s) {
        return Canonical(s.Name) == pending.name;
      });
      if (server == hints.end())
        throw EzvDnsError("root hints line " + std::to_string(pending.line) + ": " +
                              Shown(pending.name) + " is not named by an NS record of the root",
                          kzvDnsErrInvalidSize);
      server->Addresses.push_back(pending.address);
    }
  }
  for (std::size_t i = 0; i < hints.size(); ++i) {
    if (hints[i].Addresses.empty())
      throw EzvDnsError("root hints line " + std::to_string(ns_lines[i]) + ": the root server " +
                            hints[i].Name + " has no address",
                        kzvDnsErrInvalidSize);
  }
  if (hints.empty()) throw EzvDnsError("the root hints name no root server", kzvDnsErrInvalidSize);
  return hints;
}

TzvRootHints ReadRootHintsFile(const std::string& path) {
  std::string text;
  try {
    text = ReadFileAtMost(path, kzvMaxRootHintsBytes);
  } catch (const EFileError& error) {
    throw EzvDnsError("cannot read the root hints in " + error.Message(), kzvDnsErrInvalidSize);
  }
  try {
    return ReadRootHints(text);
  } catch (const EzvDnsError& error) {
    throw EzvDnsError(path + ": " + error.what(), error.ErrorCode());
  }
}

std::string RootHintsSourceText(const TzvRootHintsChoice& choice) {
  switch (choice.Source) {
    case TzvRootHintsSource::File:
    case TzvRootHintsSource::SystemFile:
      return "root hints from " + choice.From;
    case TzvRootHintsSource::Resolver:
      return "root hints from the resolver " + choice.From;
    case TzvRootHintsSource::BuiltIn:
      break;
  }
  return "root hints built in";
}

std::string TraceOutcomeText(TzvTraceOutcome outcome) {
  switch (outcome) {
    case TzvTraceOutcome::Referral:
      return "referral";
    case TzvTraceOutcome::Answer:
      return "answer";
    case TzvTraceOutcome::Alias:
      return "alias";
    case TzvTraceOutcome::NameError:
      return "NXDOMAIN";
    case TzvTraceOutcome::NoData:
      return "NODATA";
    case TzvTraceOutcome::NoAnswer:
      break;
  }
  return "no answer";
}

// ---- the exchanges ----

TzvDnsTrace::TzvDnsTrace()
    : root_hints_(BuiltInRootHints()),
      stop_(MakeStop()),
      query_(std::make_unique<TzvDnsQuery>(nullptr)) {
  query_->SetStop(stop_);
}

TzvDnsTrace::~TzvDnsTrace() = default;

void TzvDnsTrace::SetStop(TzvStop stop) {
  owns_stop_ = stop == nullptr;
  stop_ = stop != nullptr ? std::move(stop) : MakeStop();
  query_->SetStop(stop_);
}

void TzvDnsTrace::Abort() {
  stop_->RequestStop();
}

std::int32_t TzvDnsTrace::QuestionTimeOut() const {
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - started_)
                         .count();
  const std::int64_t left = std::int64_t{total_time_out_} - spent;
  if (left <= 0)
    throw EzvDnsError("the trace took longer than its bound of " +
                          Format("%.1f", total_time_out_ / 1000.0) + " s",
                      kzvDnsErrTraceTooLong);
  return static_cast<std::int32_t>(std::min<std::int64_t>(left, settings_.TimeOut));
}

std::unique_ptr<TzvDnsMessage> TzvDnsTrace::Ask(const std::string& server_address,
                                                const TzvTraceQuestion& question) {
  if (stop_->StopRequested()) RaiseAborted();
  QuestionTimeOut();
  ++questions_;
  auto answer = asker_ ? asker_(server_address, question) : AskWithQuery(server_address, question);
  if (stop_->StopRequested()) RaiseAborted();
  if (answer == nullptr) RaiseSocketErrorText("no answer", kzvErrTimeout);
  return answer;
}

std::unique_ptr<TzvDnsMessage> TzvDnsTrace::AskWithQuery(const std::string& server_address,
                                                         const TzvTraceQuestion& question) {
  TzvDnsExchangeSettings settings = settings_;
  settings.Server = server_address;
  // An address the trace chose by its family already.
  settings.Family = TzvAddressFamily::afAny;
  settings.TimeOut = QuestionTimeOut();
  // Each zone's servers are asked as a resolver asks them: for what they hold themselves.
  settings.RecursionDesired = question.Recursive;
  settings.DnssecOK = settings.CheckingDisabled = question.Dnssec;
  // An error reply (NXDOMAIN above all) is a reply: the step shows it.
  return std::move(query_->Ask(settings, question.Name, question.Type).Message);
}

// ---- priming ----

TzvRootHints TzvDnsTrace::PrimeFrom(const std::string& resolver) {
  const auto answer = Ask(resolver, {"", kzvDnsTypeNS, false, true});
  if (answer->Header().ResponseCode != 0)
    throw EzvDnsError(DnsResponseCodeName(answer->Header().ResponseCode), kzvDnsErrTraceNoServer);
  TzvRootHints hints;
  for (const auto& record : answer->Answers()) {
    const auto* ns = dynamic_cast<const TzvDnsNSRecord*>(record.get());
    if (ns == nullptr || !Canonical(ns->Name).empty()) continue;
    const std::string server = Canonical(ns->NameServer);
    if (server.empty() || hints.size() == kzvMaxRootServers ||
        std::any_of(hints.begin(), hints.end(),
                    [&](const TzvTraceServer& s) { return Canonical(s.Name) == server; }))
      continue;
    hints.push_back({Shown(server), AddressesIn(answer->AdditionalRecords(), server)});
  }
  if (hints.empty()) throw EzvDnsError("no NS records of the root", kzvDnsErrTraceNoServer);
  const bool any_address = std::any_of(
      hints.begin(), hints.end(), [](const TzvTraceServer& s) { return !s.Addresses.empty(); });
  if (!any_address) {
    // The addresses asked of the same resolver, of as many servers as a zone's step tries.
    const std::int32_t type =
        settings_.Family == TzvAddressFamily::afIPv6 ? kzvDnsTypeAAAA : kzvDnsTypeA;
    for (std::size_t i = 0; i < hints.size() && i < kMaxServersPerZone; ++i) {
      try {
        const auto addresses = Ask(resolver, {Canonical(hints[i].Name), type, false, true});
        if (addresses->Header().ResponseCode == 0)
          hints[i].Addresses = AddressesIn(addresses->Answers(), Canonical(hints[i].Name));
      } catch (const EzvSocketError& error) {
        if (error.ErrorCode() == kzvErrAborted || error.ErrorCode() == kzvDnsErrTraceTooLong) throw;
      }
    }
  }
  std::erase_if(hints, [](const TzvTraceServer& s) { return s.Addresses.empty(); });
  if (hints.empty()) throw EzvDnsError("no address of a root server", kzvDnsErrTraceNoServer);
  return hints;
}

void TzvDnsTrace::StartClock() {
  questions_ = 0;
  // A stop handed in is its maker's to clear.
  if (owns_stop_) stop_->Reset();
  started_ = std::chrono::steady_clock::now();
}

std::optional<TzvRootHints> TzvDnsTrace::PrimeFromEach(const std::vector<std::string>& resolvers,
                                                       std::string& from,
                                                       std::vector<std::string>& failures) {
  StartClock();
  primed_ = true;
  for (std::size_t i = 0; i < resolvers.size() && i < kMaxPrimingResolvers; ++i) {
    try {
      auto hints = PrimeFrom(resolvers[i]);
      from = resolvers[i];
      return hints;
    } catch (const EzvSocketError& error) {
      if (error.ErrorCode() == kzvErrAborted || error.ErrorCode() == kzvDnsErrTraceTooLong) throw;
      failures.push_back("the resolver " + resolvers[i] + ": " + error.what());
    }
  }
  if (resolvers.empty()) failures.push_back("no resolver to ask for the root servers");
  return std::nullopt;
}

TzvRootHintsChoice TzvDnsTrace::ChooseRootHints(const std::vector<std::string>& resolvers,
                                                const std::string& system_file) {
  TzvRootHintsChoice choice;
  try {
    choice.Hints = ReadRootHintsFile(system_file);
    choice.Source = TzvRootHintsSource::SystemFile;
    choice.From = system_file;
    return choice;
  } catch (const EzvDnsError& error) {
    choice.Failures.push_back(error.what());
  }
  if (auto hints = PrimeFromEach(resolvers, choice.From, choice.Failures)) {
    choice.Hints = std::move(*hints);
    choice.Source = TzvRootHintsSource::Resolver;
    return choice;
  }
  choice.Hints = BuiltInRootHints();
  choice.Source = TzvRootHintsSource::BuiltIn;
  return choice;
}

// ---- the walk ----

std::vector<TzvTraceStep> TzvDnsTrace::Run(const std::string& name, std::int32_t type,
                                           std::function<void(const TzvTraceStep&)> on_step) {
  steps_.clear();
  // Priming just before counts in the same bound; a Run of its own starts the clock.
  if (!primed_) StartClock();
  primed_ = false;
  on_step_ = std::move(on_step);
  auto forget = ScopeExit([this] { on_step_ = {}; });
  if (root_hints_.empty()) throw EzvDnsError("the trace has no root hints", kzvDnsErrTraceNoServer);
  TraceName(Canonical(IdnToAscii(name)), type, 0);
  return steps_;
}

std::shared_ptr<const TzvDnsMessage> TzvDnsTrace::TraceName(const std::string& traced,
                                                            std::int32_t type, int level) {
  std::string name = traced;
  std::vector<std::string> aliases_seen{name};
  for (;;) {
    std::string zone;
    std::vector<TzvTraceServer> servers = root_hints_;
    std::vector<std::string> visited{zone};
    for (;;) {
      TzvTraceStep step = AskZone(zone, servers, name, type, level);
      switch (step.Outcome) {
        case TzvTraceOutcome::Referral: {
          const std::string next = Canonical(step.NextZone);
          // The step is shown before the error it leads to.
          servers = [&] {
            std::vector<TzvTraceServer> next_servers;
            const TzvDnsMessage& response = *step.Response;
            for (const auto& record : response.Authorities()) {
              const auto* ns = dynamic_cast<const TzvDnsNSRecord*>(record.get());
              if (ns == nullptr || Canonical(ns->Name) != next) continue;
              const std::string server = Canonical(ns->NameServer);
              if (std::any_of(next_servers.begin(), next_servers.end(),
                              [&](const auto& s) { return Canonical(s.Name) == server; }))
                continue;
              // Glue is taken only from within the referring zone, whose servers may speak
              // for it; addresses of other names are looked up by a trace of their own.
              std::vector<std::string> glue;
              if (IsWithin(server, zone)) glue = AddressesIn(response.AdditionalRecords(), server);
              next_servers.push_back({Shown(server), glue});
            }
            return next_servers;
          }();
          Record(step);
          if (std::find(visited.begin(), visited.end(), next) != visited.end())
            throw EzvDnsError("referral loop: the servers of " + Shown(zone) + " refer " +
                                  Shown(name) + " to " + Shown(next) +
                                  ", which the trace has visited already",
                              kzvDnsErrTraceLoop);
          if (!IsBelow(next, zone) || !IsWithin(name, next))
            throw EzvDnsError("referral loop: the servers of " + Shown(zone) + " refer " +
                                  Shown(name) + " to " + Shown(next) +
                                  ", which is not closer to it",
                              kzvDnsErrTraceLoop);
          visited.push_back(next);
          zone = next;
          continue;
        }
        case TzvTraceOutcome::Alias: {
          Record(step);
          if (!follow_aliases_) return step.Response;
          const std::string target = Canonical(step.AliasTarget);
          if (std::find(aliases_seen.begin(), aliases_seen.end(), target) != aliases_seen.end())
            throw EzvDnsError("alias loop: " + Shown(name) + " leads back to " + Shown(target),
                              kzvDnsErrTraceLoop);
          if (static_cast<int>(aliases_seen.size()) > kMaxAliases)
            throw EzvDnsError("the trace of " + Shown(traced) + " follows more than " +
                                  std::to_string(kMaxAliases) + " aliases",
                              kzvDnsErrTraceTooLong);
          aliases_seen.push_back(target);
          name = target;
          break;  // from the root again, for the alias's target
        }
        default:
          Record(step);
          return step.Response;
      }
      break;
    }
  }
}

namespace {

// The answer classified for name and type at zone (all canonical).
TzvTraceOutcome Classify(const TzvDnsMessage& response, const std::string& name, std::int32_t type,
                         std::string& next_zone, std::string& alias_target, std::string& lame) {
  if (response.Header().ResponseCode == kzvDnsResponseNameError) return TzvTraceOutcome::NameError;
  if (response.Header().ResponseCode != 0) {
    lame = DnsResponseCodeName(response.Header().ResponseCode);
    return TzvTraceOutcome::NoAnswer;
  }
  // The records for the name, through the CNAMEs the answer holds (a bounded walk: a
  // CNAME chain inside one answer cannot be longer than its records).
  std::string at = name;
  for (int hops = 0; hops <= response.Answers().Count(); ++hops) {
    const TzvDnsRecord* cname = nullptr;
    bool found = false;
    for (const auto& record : response.Answers()) {
      if (Canonical(record->Name) != at) continue;
      if (record->RecordType == type || type == kzvDnsTypeANY) found = true;
      if (record->RecordType == kzvDnsTypeCNAME) cname = record.get();
    }
    if (found) return TzvTraceOutcome::Answer;
    if (cname == nullptr || type == kzvDnsTypeCNAME) break;
    at = Canonical(static_cast<const TzvDnsCNAMERecord*>(cname)->CanonicalName);
  }
  if (at != name) {
    alias_target = at;
    return TzvTraceOutcome::Alias;
  }
  if (response.Header().IsAuthoritativeAnswer) return TzvTraceOutcome::NoData;
  for (const auto& record : response.Authorities()) {
    if (record->RecordType == kzvDnsTypeNS && dynamic_cast<const TzvDnsNSRecord*>(record.get())) {
      next_zone = Canonical(record->Name);
      return TzvTraceOutcome::Referral;
    }
  }
  lame = "neither an answer nor a referral";
  return TzvTraceOutcome::NoAnswer;
}

}  // namespace

TzvTraceStep TzvDnsTrace::AskZone(const std::string& zone, std::vector<TzvTraceServer>& servers,
                                  const std::string& name, std::int32_t type, int level) {
  if (static_cast<int>(steps_.size()) >= max_steps_)
    throw EzvDnsError(
        "the trace of " + Shown(name) + " takes more than " + std::to_string(max_steps_) + " steps",
        kzvDnsErrTraceTooLong);
  TzvTraceStep step;
  step.Level = level;
  step.Name = Shown(name);
  step.Type = type;
  step.Zone = Shown(zone);
  // Servers with an address first; the others only when those fail, each looked up by a
  // trace of its own (and given its addresses here for the steps after).
  std::vector<std::size_t> order;
  for (const bool glued : {true, false})
    for (std::size_t i = 0; i < servers.size(); ++i)
      if (servers[i].Addresses.empty() != glued) order.push_back(i);
  // Servers that cost a question or a nested trace; one without an address of the family
  // asked costs nothing and is passed over.
  int tried = 0;
  for (std::size_t position = 0; position < order.size(); ++position) {
    const std::size_t index = order[position];
    if (tried == kMaxServersPerZone) {
      const std::size_t left = order.size() - position;
      step.Failures.push_back(std::to_string(left) + " more server" + (left == 1 ? "" : "s") +
                              " of " + step.Zone + " not asked: a zone's first " +
                              std::to_string(kMaxServersPerZone) + " are");
      break;
    }
    bool counted = false;
    if (servers[index].Addresses.empty()) {
      if (level >= kMaxNesting) {
        step.Failures.push_back(
            servers[index].Name +
            ": no glue, and its address would need a trace nested deeper than " +
            std::to_string(kMaxNesting));
        continue;
      }
      ++tried;
      counted = true;
      try {
        servers[index].Addresses = AddressesOf(Canonical(servers[index].Name), level + 1);
      } catch (const EzvSocketError& error) {
        if (error.ErrorCode() == kzvErrAborted || error.ErrorCode() == kzvDnsErrTraceTooLong) throw;
        step.Failures.push_back(servers[index].Name +
                                ": its address was not found: " + error.what());
        continue;
      }
      if (servers[index].Addresses.empty()) {
        step.Failures.push_back(servers[index].Name + ": it has no address");
        continue;
      }
    }
    const TzvTraceServer& server = servers[index];
    // A server's first addresses (IPv4 first): more of them are more time-outs of one
    // machine, however many the referral lists.
    std::vector<std::string> addresses = UsableAddresses(server.Addresses);
    if (addresses.size() > kMaxAddressesPerServer) addresses.resize(kMaxAddressesPerServer);
    if (!counted && !addresses.empty()) ++tried;
    for (const std::string& address : addresses) {
      if (questions_ >= max_questions_)
        throw EzvDnsError("the trace of " + Shown(name) + " needs more than " +
                              std::to_string(max_questions_) + " questions",
                          kzvDnsErrTraceTooLong);
      const std::string who = address + " (" + server.Name + ")";
      std::unique_ptr<TzvDnsMessage> response;
      const auto started = std::chrono::steady_clock::now();
      try {
        response = Ask(address, {name, type, false});
      } catch (const EzvSocketError& error) {
        if (error.ErrorCode() == kzvErrAborted || error.ErrorCode() == kzvDnsErrTraceTooLong) throw;
        step.Failures.push_back(who + ": " + error.what());
        continue;
      }
      const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - started);
      std::string next_zone, alias_target, lame;
      const TzvTraceOutcome outcome =
          Classify(*response, name, type, next_zone, alias_target, lame);
      if (outcome == TzvTraceOutcome::NoAnswer) {
        step.Failures.push_back(who + ": " + lame);
        continue;
      }
      step.ServerName = server.Name;
      step.ServerAddress = address;
      step.ElapsedMicroseconds = elapsed.count();
      step.ResponseCode = response->Header().ResponseCode;
      step.Outcome = outcome;
      if (outcome == TzvTraceOutcome::Referral) step.NextZone = Shown(next_zone);
      if (outcome == TzvTraceOutcome::Alias) step.AliasTarget = Shown(alias_target);
      step.Response = std::move(response);
      step.Servers = servers;
      return step;
    }
  }
  step.Servers = servers;
  Record(step);
  std::string why;
  for (const std::string& failure : step.Failures) why += (why.empty() ? "" : "; ") + failure;
  if (why.empty()) why = "no server has an address of the family asked for";
  throw EzvDnsError("no server of " + step.Zone + " answered for " + step.Name + ": " + why,
                    kzvDnsErrTraceNoServer);
}

std::vector<std::string> TzvDnsTrace::UsableAddresses(
    const std::vector<std::string>& addresses) const {
  std::vector<std::string> usable;
  for (const bool v6 : {false, true}) {
    if (v6 ? settings_.Family == TzvAddressFamily::afIPv4
           : settings_.Family == TzvAddressFamily::afIPv6)
      continue;
    for (const std::string& address : addresses)
      if (IsIPv6Text(address) == v6) usable.push_back(address);
  }
  return usable;
}

std::vector<std::string> TzvDnsTrace::AddressesOf(const std::string& server, int level) {
  std::vector<std::string> addresses;
  std::string last_error;
  for (const std::int32_t type : {kzvDnsTypeA, kzvDnsTypeAAAA}) {
    if (type == kzvDnsTypeA ? settings_.Family == TzvAddressFamily::afIPv6
                            : settings_.Family == TzvAddressFamily::afIPv4)
      continue;
    // With any family, IPv6 is looked for only when there is no IPv4 address.
    if (!addresses.empty()) break;
    try {
      const auto response = TraceName(server, type, level);
      for (const auto& record : response->Answers())
        if (record->RecordType == type && !AddressIn(*record).empty())
          addresses.push_back(AddressIn(*record));
    } catch (const EzvSocketError& error) {
      if (error.ErrorCode() == kzvErrAborted || error.ErrorCode() == kzvDnsErrTraceTooLong) throw;
      last_error = error.what();
    }
  }
  if (addresses.empty() && !last_error.empty())
    throw EzvDnsError(last_error, kzvDnsErrTraceNoServer);
  return addresses;
}

void TzvDnsTrace::Record(TzvTraceStep& step) {
  if (zone_check_ && step.Level == 0 && step.Response != nullptr) {
    steps_.push_back(step);
    step.Dnssec = zone_check_(step, steps_,
                              [this](const std::string& address, const TzvTraceQuestion& question) {
                                return Ask(address, question);
                              });
    steps_.back().Dnssec = step.Dnssec;
  } else {
    steps_.push_back(step);
  }
  if (on_step_) on_step_(steps_.back());
}
