// DNSSEC's chain of trust, built by us: from the root's trust anchors down to the zone that
// signed an answer, each zone's keys proven by its parent's DS records, each DS set by the
// parent's keys. A zone whose parent proves (by NSEC or NSEC3) that it has no DS is
// insecure, and so is everything below it. Questions for keys and DS records go through
// a function the caller gives (the same server and exchange as the lookup's). Before it
// judges an answer the validator asks, all at once, the questions it can foresee: the
// keys of every zone from the trust anchor down to each signer the answer names, and
// their DS records; what it then needs and did not foresee is asked as it comes.
//
// An answer is followed along its CNAME and DNAME records from the question's name to the
// end of the chain; each record set on the way is judged, and the end's denial when it has
// no records of the type asked. An end the answer says nothing of (a server that does not
// serve the target's zone gives the CNAME alone) is asked for itself, and that answer is
// judged in turn; left unanswered, the end gets no verdict rather than a bogus one. Denials
// (NXDOMAIN, NODATA) are judged by the NSEC or NSEC3 records of the authority section signed by the
// zone the name lies in (dns/zvDnssecNsec.h, dns/zvDnssecNsec3.h), and an answer made from a
// wildcard by the proof that no closer name existed. Without a trust anchor at or above a name, an
// error reply or a referral, there is nothing to judge: the verdict is indeterminate.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsExchange.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvDnssecAnchors.h"

enum class TzvDnssecVerdict { Secure, Insecure, Bogus, Indeterminate };

// The chain behind a verdict as a graph (dns/zvDnssecGraph.h).
struct TzvDnssecGraph;

// "secure", "insecure", "bogus", "indeterminate".
std::string DnssecVerdictText(TzvDnssecVerdict verdict);

struct TzvDnssecResult {
  TzvDnssecVerdict Verdict = TzvDnssecVerdict::Indeterminate;
  std::string Reason;  // empty when secure or insecure
  // What was proven, a line each: "ed.example: DNSKEY 10265/15 matches DS", ...
  std::vector<std::string> Chain;
  // A trust anchor covers the answer's name, so it had to be proven secure or insecure:
  // left indeterminate (a chain question that got no answer, a server that does not
  // answer for a parent zone) it is a failed check, not a success.
  bool Covered = false;
  // The zones, keys, DS records and signatures that were proven or failed, as a graph;
  // null when nothing was there to judge (no trust anchor, an error reply).
  std::shared_ptr<const TzvDnssecGraph> Graph = nullptr;
};

// Asks one question with the DNSSEC OK bit and gives the decoded answer (error replies
// included); throws when no answer came.
using TzvDnssecAsk =
    std::function<std::unique_ptr<TzvDnsMessage>(const std::string& name, std::int32_t type)>;

// One of the chain's questions: a name in text form (the root is "") and a type.
struct TzvDnssecQuestion {
  std::string Name;
  std::int32_t Type = 0;
};

// Asks several questions at once and gives an answer for each, in their order: null where
// none came. Throws only for a stop.
using TzvDnssecAskAll = std::function<std::vector<std::unique_ptr<TzvDnsMessage>>(
    const std::vector<TzvDnssecQuestion>& questions)>;

class TzvDnsQuery;

// Asks the chain's questions through the lookup's own query component, over its kept
// connection: a chain after a lookup over TCP, TLS or HTTPS goes over the connection the
// lookup opened, its predicted questions several at once where the transport allows.
// The settings are the lookup's, read when the asker is made: sent to the address its
// last exchange reached (when it has one), the certificate checked for the server's name
// when it was asked by name, with the DO and CD bits. The component's stop (Abort)
// ends every wait, and no question is asked once it is requested. With a `deadline` (the
// lookup's own, so that one time-out bounds the lookup and its chain together) each
// question waits at most what is left of it, and none is asked once it has passed.
// `query` must outlive the asker.
class TzvDnssecQueryAsker {
 public:
  explicit TzvDnssecQueryAsker(
      TzvDnsQuery& query,
      std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);

  // One question; fails as the exchange fails (no answer, a stop, the deadline passed).
  std::unique_ptr<TzvDnsMessage> Ask(const std::string& name, std::int32_t type);
  // Several questions together (see TzvDnssecAskAll). They wait at most one question's
  // time-out in all, so that a server that answers none of them costs no more than one
  // question would; one left unanswered is asked again on its own when it is needed.
  std::vector<std::unique_ptr<TzvDnsMessage>> AskAll(
      const std::vector<TzvDnssecQuestion>& questions);
  // What the questions are asked with.
  const TzvDnsExchangeSettings& Settings() const { return settings_; }

 private:
  // The time-out a question may wait now: the settings' one, or what is left of the
  // deadline when that is less. Raises the time-out once the deadline has passed and the
  // stop once it is requested.
  std::int32_t TimeOutNow() const;

  TzvDnsQuery& query_;
  TzvDnsExchangeSettings settings_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
};

class TzvDnssecValidator {
 public:
  // `anchors`: DS or DNSKEY records (of any zone, the root's usually); `now` in seconds since
  // 1970. `ask_all`, when given, asks the foreseen questions together.
  TzvDnssecValidator(TzvDnssecAsk ask, std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                     std::uint32_t now, TzvDnssecAskAll ask_all = {});
  // Asks through `asker`, which must outlive the validator.
  TzvDnssecValidator(TzvDnssecQueryAsker& asker, std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                     std::uint32_t now);
  ~TzvDnssecValidator();
  TzvDnssecValidator(const TzvDnssecValidator&) = delete;
  TzvDnssecValidator& operator=(const TzvDnssecValidator&) = delete;

  // The verdict on the answer: every record set of its chain from the question's name,
  // and the denial at the chain's end when it ends without the type asked (one bogus set
  // makes it bogus). Each set is verified once; a validation checks at most
  // kMaxChecks signatures.
  TzvDnssecResult ValidateAnswer(const TzvDnsMessage& answer);

  static constexpr int kMaxChecks = 64;
  // The most times a chain's end is asked for itself in a validation.
  static constexpr int kMaxChases = 8;

 private:
  struct TZone;
  struct TProofs;
  using TName = std::vector<std::uint8_t>;

  // The answer's chain from `name` (its question's, or the end it was asked for) to its
  // end, and what it holds for `type` there.
  TzvDnssecResult Judge(const TzvDnsMessage& answer, const TName& name, std::int32_t type);
  // The chain's end asked for itself, and its answer judged; indeterminate when the
  // question gets no usable answer.
  TzvDnssecResult ChaseTo(const TName& end, std::int32_t type);
  TzvDnssecResult JudgeSet(const TzvDnsMessage& answer, const TName& owner, std::int32_t type,
                           bool from_dname);
  // The zone's keys once proven, or why not (bogus, insecure or indeterminate); remembered
  // either way, so no zone is proven twice in a validation.
  const TZone& ProvenZone(const TName& zone);
  TzvDnssecResult ProveZone(const TName& zone, TZone& proven);
  // Whether `name` is proven to sit in or below an unsigned delegation: from the trust
  // anchor down, each zone's own signed denial of the next one's DS.
  TzvDnssecResult InsecurityOf(const TName& name);
  // The authority section's NSEC and NSEC3 sets of the deepest zone at or above `name`
  // that signed any, each verified once with that zone's keys.
  TProofs ProofsIn(const TzvDnsMessage& answer, const TName& name);
  TzvDnssecResult DenialOf(const TzvDnsMessage& answer, const TName& name, std::int32_t type,
                           bool nxdomain);
  TzvDnssecResult WildcardExpansionIsProven(const TzvDnsMessage& answer, const TName& owner,
                                            const TName& zone, std::size_t labels);
  // The one place signatures are checked: at most kzvMaxSignaturesPerRRset a set, and
  // kMaxChecks a validation.
  struct TVerified;
  TVerified Verify(const std::vector<const TzvDnsRecord*>& rrset,
                   const std::vector<const TzvDnsRRSIGRecord*>& signatures,
                   const std::vector<const TzvDnsDNSKEYRecord*>& keys);
  const TzvDnsMessage& Ask(const TName& name, std::int32_t type);
  // Asks together what judging `answer` will foreseeably ask (see the top of this file),
  // keeping the answers for Ask; each counts as a question asked.
  void Prefetch(const TzvDnsMessage& answer);
  // The graph of what this validation proved, for its result.
  std::shared_ptr<const TzvDnssecGraph> GraphOf(const TzvDnssecResult& found,
                                                const TzvDnsMessage& answer);
  // The deepest zone with a trust anchor at or above `name`, if any.
  std::optional<TName> AnchorOver(const TName& name) const;

  TzvDnssecAsk ask_;
  TzvDnssecAskAll ask_all_;
  // Questions sent, foreseen ones included: a hostile server cannot make the chain ask
  // without end.
  std::size_t asked_ = 0;
  std::vector<std::unique_ptr<TzvDnsRecord>> anchors_;
  std::uint32_t now_;
  int checks_left_ = kMaxChecks;
  // CNAME and DNAME records still to be followed, over the answer and those of its ends.
  int aliases_left_ = 0;
  // The question's name and each end asked for: a chain that comes back to one loops.
  std::vector<TName> chased_;
  // Every answer asked for, by name and type: no question is asked twice.
  std::map<std::pair<TName, std::int32_t>, std::unique_ptr<TzvDnsMessage>> answers_;
  std::map<TName, std::unique_ptr<TZone>> zones_;
  std::vector<std::string> chain_;
  // This validation's graph beyond the zones' own (the answer's sets, the unsigned
  // delegations), and the zones it reached, whose graphs are kept with their keys.
  std::unique_ptr<TzvDnssecGraph> graph_;
  std::vector<TName> reached_;
};
