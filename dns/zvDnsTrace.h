// A trace from the root, as `dig +trace` shows one: the question goes without recursion to
// a root server, then to a server of each zone the referrals lead to, until a zone answers
// it or denies it. Every step is kept (zone, servers, the one that answered, time, response
// code, the decoded answer) for a caller that prints the walk. Exchanges go through
// TzvDnsQuery, so EDNS, retransmission and TCP on truncation are those of a lookup; a test
// gives the trace an asker of its own instead and plays the servers without sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/zvDnsMessage.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnssecChain.h"

// What ends a trace early, as EzvDnsError codes beside the codec's own.
// A referral to a zone already visited, or to one not closer to the name.
inline constexpr std::int32_t kzvDnsErrTraceLoop = -21;
// More steps than MaxSteps, more questions than MaxQuestions, or longer than TotalTimeOut.
inline constexpr std::int32_t kzvDnsErrTraceTooLong = -22;
// No server of a zone gave a usable answer.
inline constexpr std::int32_t kzvDnsErrTraceNoServer = -23;

// A name server: its name (dig's form, "a.root-servers.net.") and the addresses known for
// it, IPv4 before IPv6. A root hint is one of these.
struct TzvTraceServer {
  std::string Name;
  std::vector<std::string> Addresses;
  bool operator==(const TzvTraceServer&) const = default;
};
using TzvRootHints = std::vector<TzvTraceServer>;

// The thirteen root servers with the IPv4 and IPv6 addresses IANA publishes in named.root.
TzvRootHints BuiltInRootHints();
// What root hints may hold: IANA's named.root is 3 KB with 13 servers and 26 addresses, so
// a file far beyond that is a mistake or an attack, refused before it costs anything.
inline constexpr std::size_t kzvMaxRootHintsBytes = 1024 * 1024;
inline constexpr std::size_t kzvMaxRootServers = 256;
inline constexpr std::size_t kzvMaxRootHintsAddresses = 1024;
// Root hints in named.root's form: ". 3600000 NS A.ROOT-SERVERS.NET." and
// "A.ROOT-SERVERS.NET. 3600000 A 198.41.0.4" / "... AAAA 2001:503:ba3e::2:30" (TTL and
// class IN optional); ";" starts a comment. A line of another form, an address of a name no
// NS line names, a server without an address, or more than kzvMaxRootServers servers or
// kzvMaxRootHintsAddresses addresses fails with EzvDnsError naming the line.
TzvRootHints ReadRootHints(const std::string& text);
// The root hints in a file of that form; also fails when it cannot be read or is longer
// than kzvMaxRootHintsBytes (of which no more is read).
TzvRootHints ReadRootHintsFile(const std::string& path);
// Where Debian keeps IANA's named.root (package dns-root-data).
inline constexpr const char* kzvDebianRootHintsFile = "/usr/share/dns/root.hints";

// Where a trace's root hints came from: a file the user named, the system's copy, the
// answer of a resolver (priming), or the built-in list.
enum class TzvRootHintsSource { File, SystemFile, Resolver, BuiltIn };

// The root hints a trace starts from and their source. From: the file's path or the
// resolver's address ("" when built in). Failures: the sources tried first and why each
// gave nothing ("/usr/share/dns/root.hints: No such file or directory", "the resolver
// 127.0.0.1: REFUSED").
struct TzvRootHintsChoice {
  TzvRootHints Hints;
  TzvRootHintsSource Source = TzvRootHintsSource::BuiltIn;
  std::string From;
  std::vector<std::string> Failures;
};

// "root hints from FILE", "root hints from the resolver ADDRESS", "root hints built in".
std::string RootHintsSourceText(const TzvRootHintsChoice& choice);

// The question of one exchange. Dnssec: with the DO and CD bits, for the DNSSEC check.
// Recursive: with the RD bit, for a resolver (the root servers asked of it).
struct TzvTraceQuestion {
  std::string Name;
  std::int32_t Type = 0;
  bool Dnssec = false;
  bool Recursive = false;
};

// Asks one server one question (without recursion unless asked) and gives the decoded answer, error
// replies included (their response code in the header); throws EzvSocketError when no
// usable answer came (time-out, refused port, malformed answer, Abort).
using TzvTraceAsk = std::function<std::unique_ptr<TzvDnsMessage>(const std::string& server_address,
                                                                 const TzvTraceQuestion& question)>;

// How a step ended. Referral: the zone sent us on to NextZone. Answer: records of the
// type for the name. Alias: a CNAME for the name and nothing of the type after it
// (AliasTarget). NameError: NXDOMAIN. NoData: the zone holds the name but not the type.
// NoAnswer: no server of the zone gave a usable answer.
enum class TzvTraceOutcome { Referral, Answer, Alias, NameError, NoData, NoAnswer };

// "referral", "answer", "alias", "NXDOMAIN", "NODATA", "no answer".
std::string TraceOutcomeText(TzvTraceOutcome outcome);

struct TzvTraceStep;

// The DNSSEC verdict on a step's zone: given the step, the steps before it and an asker
// that sends through the trace (dns/zvDnssecTrace.h makes one over the validator).
using TzvTraceZoneCheck = std::function<TzvDnssecResult(
    const TzvTraceStep& step, const std::vector<TzvTraceStep>& steps, const TzvTraceAsk& ask)>;

// One question asked of one zone's servers.
struct TzvTraceStep {
  // 0 for the name traced; 1 for a trace nested in it that looks for the address of a name
  // server the referral gave without glue; 2 for one nested in that.
  int Level = 0;
  // The question of this step: the name traced, a CNAME's target, or a name server's name.
  std::string Name;
  std::int32_t Type = 0;
  // The zone whose servers were asked, in dig's form: ".", "example.".
  std::string Zone;
  // Its servers as the referral (or the root hints) gave them; a server found by a nested
  // trace has its addresses here too.
  std::vector<TzvTraceServer> Servers;
  // The server that answered; empty with NoAnswer.
  std::string ServerName;
  std::string ServerAddress;
  // The servers that were asked first and failed: "ADDRESS (NAME): reason".
  std::vector<std::string> Failures;
  // Of the exchange that was answered.
  std::int64_t ElapsedMicroseconds = 0;
  // The answer's response code; -1 with NoAnswer.
  std::int32_t ResponseCode = -1;
  TzvTraceOutcome Outcome = TzvTraceOutcome::NoAnswer;
  // Referral: the zone referred to ("example."). Alias: the name the CNAME chain leads to.
  std::string NextZone;
  std::string AliasTarget;
  // The answer as it was decoded (shared, never changed afterwards); null with NoAnswer.
  std::shared_ptr<const TzvDnsMessage> Response;
  // With a ZoneCheck: its verdict on Zone (steps of level 0 that were answered).
  std::optional<TzvDnssecResult> Dnssec;
};

class TzvDnsTrace {
 public:
  static constexpr int kDefaultMaxSteps = 30;
  static constexpr int kDefaultMaxQuestions = 100;
  // Traces for glue-less name servers nest at most this deep; a server deeper down counts
  // as one without an address.
  static constexpr int kMaxNesting = 2;
  // CNAMEs followed for one trace.
  static constexpr int kMaxAliases = 8;
  // Servers of one zone asked before the step fails, and addresses of each server asked: a
  // referral to a hundred silent servers costs four time-outs, not a hundred.
  static constexpr int kMaxServersPerZone = 4;
  static constexpr std::size_t kMaxAddressesPerServer = 2;
  // The whole trace's bound by default, in ms.
  static constexpr std::int32_t kDefaultTotalTimeOut = 30000;
  // Resolvers asked for the root servers, in turn, at most (resolv.conf's three).
  static constexpr int kMaxPrimingResolvers = 3;

  TzvDnsTrace();
  ~TzvDnsTrace();
  TzvDnsTrace(const TzvDnsTrace&) = delete;
  TzvDnsTrace& operator=(const TzvDnsTrace&) = delete;

  // Traces name's records of type from the root. Returns every step (on_step is told of
  // each as it is made); a loop, a walk too long (in steps, questions or TotalTimeOut), no
  // answer from a zone's servers or Abort fail with EzvDnsError / EzvSocketError, the steps
  // up to there kept in Steps().
  std::vector<TzvTraceStep> Run(const std::string& name, std::int32_t type,
                                std::function<void(const TzvTraceStep&)> on_step = {});
  // The steps of the last Run, also when it failed.
  const std::vector<TzvTraceStep>& Steps() const { return steps_; }
  // Ends the running trace from any thread: its waiting exchange at once (with the
  // default asker), and before the next question otherwise; it fails with kzvErrAborted.
  // A Run started afterwards runs normally.
  void Abort();
  // One question through the asker, counted in MaxQuestions; fails with kzvErrAborted
  // once Abort was called.
  std::unique_ptr<TzvDnsMessage> Ask(const std::string& server_address,
                                     const TzvTraceQuestion& question);

  // The root hints when the user named no file, in this order: the system's file when it
  // can be read; else the root servers as a resolver knows them, as dig +trace and
  // resolvers prime: ". NS" asked with recursion of each resolver in turn (at most
  // kMaxPrimingResolvers) until one answers with the root's NS records, their addresses
  // from its additional section or, when it gave none, asked of it for the first
  // kMaxServersPerZone names (servers left without an address are dropped); else the
  // built-in list. The asking counts in TotalTimeOut of the Run that follows.
  TzvRootHintsChoice ChooseRootHints(const std::vector<std::string>& resolvers,
                                     const std::string& system_file = kzvDebianRootHintsFile);

  // The servers' port (53) and the time-out of each question in ms (5000), also for the
  // servers of one zone tried one after another (at most kMaxServersPerZone of them).
  std::int32_t Port() const { return settings_.Port; }
  void SetPort(std::int32_t value) { settings_.Port = value; }
  std::int32_t TimeOut() const { return settings_.TimeOut; }
  void SetTimeOut(std::int32_t value) { settings_.TimeOut = value; }
  // What every question is asked with (the server, time-out, RD, DO and CD bits are the
  // trace's own for each question; the rest, EDNS and its buffer above all, the user's).
  const TzvDnsExchangeSettings& Settings() const { return settings_; }
  void SetSettings(const TzvDnsExchangeSettings& value) { settings_ = value; }
  // The stop Abort requests; one handed in is cleared only by its maker.
  const TzvStop& Stop() const { return stop_; }
  void SetStop(TzvStop stop);
  // The bound of one Run in ms, every question and DNSSEC check in it together (and the
  // resolver's priming just before it): no question outlasts it, and none is asked once it
  // is over (the trace fails with kzvDnsErrTraceTooLong). kDefaultTotalTimeOut by default.
  std::int32_t TotalTimeOut() const { return total_time_out_; }
  void SetTotalTimeOut(std::int32_t value) { total_time_out_ = value; }
  // Which addresses of the servers are asked: IPv4 only, IPv6 only, or IPv4 first.
  TzvAddressFamily AddressFamily() const { return settings_.Family; }
  void SetAddressFamily(TzvAddressFamily value) { settings_.Family = value; }
  // Where the trace starts; built-in hints by default.
  const TzvRootHints& RootHints() const { return root_hints_; }
  void SetRootHints(TzvRootHints value) { root_hints_ = std::move(value); }
  // Steps, and questions (servers that failed included), one Run may take.
  int MaxSteps() const { return max_steps_; }
  void SetMaxSteps(int value) { max_steps_ = value; }
  int MaxQuestions() const { return max_questions_; }
  void SetMaxQuestions(int value) { max_questions_ = value; }
  // Whether a CNAME answer is traced on from the root for its target. Default true.
  bool FollowAliases() const { return follow_aliases_; }
  void SetFollowAliases(bool value) { follow_aliases_ = value; }
  // Replaces the exchanges (for tests); null restores TzvDnsQuery's.
  void SetAsker(TzvTraceAsk asker) { asker_ = std::move(asker); }
  // The DNSSEC verdict for each answered step of level 0; none by default.
  void SetZoneCheck(TzvTraceZoneCheck check) { zone_check_ = std::move(check); }

 private:
  // The walk for one name from the root; the final step's answer.
  std::shared_ptr<const TzvDnsMessage> TraceName(const std::string& name, std::int32_t type,
                                                 int level);
  // Asks the question of the zone's servers in turn until one gives a usable answer, and
  // records the step (also when none did, failing then).
  TzvTraceStep AskZone(const std::string& zone, std::vector<TzvTraceServer>& servers,
                       const std::string& name, std::int32_t type, int level);
  // The addresses of a name server given without glue, by traces nested at level.
  std::vector<std::string> AddressesOf(const std::string& server, int level);
  // Adds the step to Steps(), with its DNSSEC verdict, and tells on_step.
  void Record(TzvTraceStep& step);
  std::vector<std::string> UsableAddresses(const std::vector<std::string>& addresses) const;
  std::unique_ptr<TzvDnsMessage> AskWithQuery(const std::string& server_address,
                                              const TzvTraceQuestion& question);
  // Starts a trace's count of questions and its clock, and forgets an earlier Abort.
  void StartClock();
  // The root servers one resolver gives; fails with the reason.
  TzvRootHints PrimeFrom(const std::string& resolver);
  // The first resolver's that gives root servers (from names it), each failure before it
  // added to failures; none when every one failed.
  std::optional<TzvRootHints> PrimeFromEach(const std::vector<std::string>& resolvers,
                                            std::string& from, std::vector<std::string>& failures);
  // What is left of TotalTimeOut since the trace started, in ms (at most the time-out of
  // one question); fails with kzvDnsErrTraceTooLong once nothing is.
  std::int32_t QuestionTimeOut() const;

  TzvDnsExchangeSettings settings_;
  std::int32_t total_time_out_ = kDefaultTotalTimeOut;
  TzvRootHints root_hints_;
  int max_steps_ = kDefaultMaxSteps;
  int max_questions_ = kDefaultMaxQuestions;
  bool follow_aliases_ = true;
  TzvTraceAsk asker_;
  TzvTraceZoneCheck zone_check_;

  std::vector<TzvTraceStep> steps_;
  std::function<void(const TzvTraceStep&)> on_step_;
  int questions_ = 0;
  // When the running trace started; priming starts it for the Run that follows.
  std::chrono::steady_clock::time_point started_;
  bool primed_ = false;
  TzvStop stop_;
  bool owns_stop_ = true;
  std::unique_ptr<TzvDnsQuery> query_;
};
