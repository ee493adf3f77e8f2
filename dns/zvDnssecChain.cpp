#include "dns/zvDnssecChain.h"

#include <algorithm>
#include <climits>

#include "base/ScopeExit.h"
#include "dns/zvDnsFieldRecords.h"
#include "dns/zvDnsName.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecGraph.h"
#include "dns/zvDnssecNsec.h"
#include "dns/zvDnssecNsec3.h"
#include "dns/zvDnssecVerify.h"
#include "net/zvIpAddress.h"
#include "net/zvSocketUtils.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Records = std::vector<const TzvDnsRecord*>;
using Signatures = std::vector<const TzvDnsRRSIGRecord*>;
using Keys = std::vector<const TzvDnsDNSKEYRecord*>;

// Nor does a chain need more questions than two (DS, DNSKEY) per label of the longest name.
constexpr std::size_t kMaxQuestions = 2 * 127;
// The most questions asked together before an answer is judged: those of a chain eight
// zones deep.
constexpr std::size_t kMaxForeseen = 16;
// The longest chain of CNAME and DNAME records followed from the question's name.
constexpr int kMaxAliases = 16;

// A canonical wire name in our text form (dig's escapes; the root is the empty name).
std::string TextOf(const Bytes& wire) {
  std::string text;
  DecodeDnsName(wire, 0, text);
  return text;
}

// A zone as the chain's lines show it: the root as ".".
std::string ShownZone(const Bytes& zone) {
  return zone.size() <= 1 ? "." : TextOf(zone);
}

Records RRsetIn(const TzvDnsRecordList& section, const Bytes& owner, std::int32_t type) {
  Records records;
  for (const auto& record : section)
    if (record->RecordType == type && DnssecCanonicalName(record->Name) == owner)
      records.push_back(record.get());
  return records;
}

Signatures SignaturesIn(const TzvDnsRecordList& section, const Bytes& owner, std::int32_t type) {
  Signatures signatures;
  for (const auto& record : section) {
    const auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get());
    if (rrsig != nullptr && rrsig->TypeCovered == type && DnssecCanonicalName(rrsig->Name) == owner)
      signatures.push_back(rrsig);
  }
  return signatures;
}

// The deepest signer at or above `owner` that the signatures name, and its signatures
// alone: the zone the records lie in. One naming a signer elsewhere is no signature of
// this set.
std::pair<Bytes, Signatures> SignerOf(const Signatures& signatures, const Bytes& owner) {
  Bytes signer;
  for (const TzvDnsRRSIGRecord* rrsig : signatures) {
    const Bytes name = DnssecCanonicalName(rrsig->SignerName);
    if (IsDnsNameWithin(owner, name) && name.size() > signer.size()) signer = name;
  }
  Signatures own;
  for (const TzvDnsRRSIGRecord* rrsig : signatures)
    if (!signer.empty() && DnssecCanonicalName(rrsig->SignerName) == signer) own.push_back(rrsig);
  return {signer, own};
}

Keys KeysIn(const Records& records) {
  Keys keys;
  for (const TzvDnsRecord* record : records)
    if (const auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(record)) keys.push_back(key);
  return keys;
}

TzvDnssecResult Result(TzvDnssecVerdict verdict, std::string reason) {
  TzvDnssecResult result;
  result.Verdict = verdict;
  result.Reason = std::move(reason);
  return result;
}

// What one record set is worth: bogus outweighs indeterminate, which outweighs insecure.
int Weight(TzvDnssecVerdict verdict) {
  switch (verdict) {
    case TzvDnssecVerdict::Secure:
      return 0;
    case TzvDnssecVerdict::Insecure:
      return 1;
    case TzvDnssecVerdict::Indeterminate:
      return 2;
    case TzvDnssecVerdict::Bogus:
      return 3;
  }
  return 3;
}

// RFC 4034's label count of an owner: a leading "*" is not one.
std::size_t LabelCount(const Bytes& owner) {
  return DnssecLabelsOf(owner).size() - (owner.size() > 1 && owner[0] == 1 && owner[1] == '*');
}

// What a DNAME at `from` makes of `name` (below it): its target in place of `from`.
Bytes MadeByDname(const Bytes& name, const Bytes& from, const TzvDnsFieldRecord& dname) {
  Bytes made(name.begin(), name.end() - static_cast<long>(from.size()));
  const Bytes target = DnssecCanonicalName(dname.Fields.at(0).Text);
  made.insert(made.end(), target.begin(), target.end());
  return made;
}

std::string KeyText(const TzvDnsDNSKEYRecord& key) {
  return "DNSKEY " + std::to_string(key.KeyTag()) + "/" + std::to_string(key.Algorithm);
}

bool IsErrorReply(const TzvDnsMessage& answer) {
  const auto code = answer.Header().ResponseCode;
  return code != 0 && code != kzvDnsResponseNameError;
}

// Whether the reply is its server's own for `zone`: its SOA, or a proof signed by it.
bool IsOwnReply(const TzvDnsMessage& answer, const Bytes& zone) {
  for (const auto& record : answer.Authorities()) {
    if (record->RecordType == kzvDnsTypeSOA && DnssecCanonicalName(record->Name) == zone)
      return true;
    const auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get());
    if (rrsig != nullptr && DnssecCanonicalName(rrsig->SignerName) == zone) return true;
  }
  return false;
}

// The delegation a reply without answers points to (NS records and no SOA), if it is one.
const TzvDnsRecord* ReferralIn(const TzvDnsMessage& answer) {
  if (answer.Answers().Count() != 0) return nullptr;
  const TzvDnsRecord* cut = nullptr;
  for (const auto& record : answer.Authorities()) {
    if (record->RecordType == kzvDnsTypeSOA) return nullptr;
    if (record->RecordType == kzvDnsTypeNS) cut = record.get();
  }
  return cut;
}

std::string ReferralText(const TzvDnsRecord& cut) {
  return "referral to " + ShownZone(DnssecCanonicalName(cut.Name)) + (cut.Name.empty() ? "" : ".");
}

// Whether the answer says anything of the chain's end: NXDOMAIN, the SOA of a zone the end
// lies in, or NSEC or NSEC3 records signed by such a zone beside no referral towards it
// (a referral's proofs speak of the delegation's DS). A server that does not serve the
// end's zone answers with the CNAME alone: that is no claim that the target is empty.
bool ClaimsDenialOf(const TzvDnsMessage& answer, const Bytes& end) {
  if (answer.Header().ResponseCode == kzvDnsResponseNameError) return true;
  bool proofs = false, referral = false;
  for (const auto& record : answer.Authorities()) {
    const Bytes owner = DnssecCanonicalName(record->Name);
    if (record->RecordType == kzvDnsTypeSOA && IsDnsNameWithin(end, owner)) return true;
    if (record->RecordType == kzvDnsTypeNS && IsDnsNameWithin(end, owner)) referral = true;
    const auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get());
    if (rrsig != nullptr &&
        (rrsig->TypeCovered == kzvDnsTypeNSEC || rrsig->TypeCovered == kzvDnsTypeNSEC3) &&
        IsDnsNameWithin(end, DnssecCanonicalName(rrsig->SignerName)))
      proofs = true;
  }
  return proofs && !referral;
}

TzvDnssecNode KeyNode(const std::string& zone, const TzvDnsDNSKEYRecord& key) {
  TzvDnssecNode node;
  node.Id = DnssecKeyId(zone, key.KeyTag(), key.Algorithm);
  node.Kind = TzvDnssecNodeKind::Key;
  node.Zone = zone;
  node.Tag = key.KeyTag();
  node.Algorithm = key.Algorithm;
  node.Ksk = (key.Flags & 1) != 0;  // the SEP bit
  return node;
}

TzvDnssecNode DsNode(const std::string& zone, const TzvDnsDSRecord& ds) {
  TzvDnssecNode node;
  node.Id = DnssecDsId(zone, ds.KeyTag, ds.Algorithm, ds.DigestType);
  node.Kind = TzvDnssecNodeKind::Ds;
  node.Zone = zone;
  node.Tag = ds.KeyTag;
  node.Algorithm = ds.Algorithm;
  node.DigestType = ds.DigestType;
  return node;
}

TzvDnssecNode SetNode(const std::string& owner, std::int32_t type, const std::string& zone) {
  TzvDnssecNode node;
  node.Id = "rrset:" + owner + "/" + DnsTypeText(type);
  node.Kind = TzvDnssecNodeKind::RRset;
  node.Zone = zone;
  node.Owner = owner;
  node.Type = DnsTypeText(type);
  return node;
}

// The keys a set's signatures name, as the graph knows them.
std::vector<std::string> SigningKeyIds(const std::string& zone, const Signatures& signatures) {
  std::vector<std::string> ids;
  for (const TzvDnsRRSIGRecord* rrsig : signatures) {
    std::string id = DnssecKeyId(zone, rrsig->KeyTag, rrsig->Algorithm);
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
  }
  return ids;
}

// A DNSKEY set signed (or not) by `signers`: an arrow from each to each other key, or to
// itself when it is the only one.
void LinkKeySet(TzvDnssecGraph& graph, const std::vector<std::string>& signers,
                const std::vector<std::string>& keys, TzvDnssecVerdict verdict,
                const std::string& reason) {
  for (const std::string& signer : signers) {
    bool linked = false;
    for (const std::string& key : keys)
      if (key != signer)
        graph.Link(signer, key, TzvDnssecEdgeKind::KeySignsSet, verdict, reason), linked = true;
    if (!linked) graph.Link(signer, signer, TzvDnssecEdgeKind::KeySignsSet, verdict, reason);
  }
}

std::size_t ZoneDepth(const std::string& zone) {
  return zone == "." ? 0 : 1 + std::count(zone.begin(), zone.end(), '.');
}

TzvDnssecResult NotAnsweredFor(const Bytes& zone) {
  return Result(TzvDnssecVerdict::Indeterminate,
                "this server does not answer for the parent zone of " + ShownZone(zone));
}

}  // namespace

struct TzvDnssecValidator::TZone {
  TzvDnssecResult Result = ::Result(TzvDnssecVerdict::Indeterminate, "");
  std::vector<const TzvDnsDNSKEYRecord*> Keys;
  // Its box: its keys, the DS records for it and the arrows that prove them.
  TzvDnssecGraph Graph;
  // Being proven: a chain that comes back to it is a loop.
  bool Busy = true;
};

struct TzvDnssecValidator::TProofs {
  Bytes Zone;  // the signer of the records below; empty when none was found
  std::vector<const TzvDnsNSECRecord*> Nsecs;
  std::vector<const TzvDnsNSEC3Record*> Nsec3s;
  const TzvDnsDNSKEYRecord* Key = nullptr;  // one that signed them
  // Why the records cannot be used (the zone not proven, a signature that fails).
  std::optional<TzvDnssecResult> Failure;
};

struct TzvDnssecValidator::TVerified {
  TzvRRsetVerdict Verdict;
  const TzvDnsRRSIGRecord* Signature = nullptr;  // the one that verified
};

std::string DnssecVerdictText(TzvDnssecVerdict verdict) {
  switch (verdict) {
    case TzvDnssecVerdict::Secure:
      return "secure";
    case TzvDnssecVerdict::Insecure:
      return "insecure";
    case TzvDnssecVerdict::Bogus:
      return "bogus";
    case TzvDnssecVerdict::Indeterminate:
      break;
  }
  return "indeterminate";
}

TzvDnssecQueryAsker::TzvDnssecQueryAsker(
    TzvDnsQuery& query, std::optional<std::chrono::steady_clock::time_point> deadline)
    : query_(query), settings_(query.Settings()), deadline_(deadline) {
  // Sent where the lookup's answer came from; an encrypted lookup's chain has the
  // certificate checked for the same name, the server's when it was given one, though
  // the chain asks its address.
  const std::string& reached = query.LastExchange().ServerAddress;
  if (!reached.empty()) {
    if (settings_.Tls.HostName.empty() && !TzvIPAddress::IsIPAddress(settings_.Server))
      settings_.Tls.HostName = settings_.Server;
    settings_.Server = reached;
  }
  settings_.DnssecOK = true;
  settings_.CheckingDisabled = true;
}

std::int32_t TzvDnssecQueryAsker::TimeOutNow() const {
  if (query_.Stop()->StopRequested()) throw EzvSocketError(SzvAborted, kzvErrAborted);
  if (!deadline_) return settings_.TimeOut;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        *deadline_ - std::chrono::steady_clock::now())
                        .count();
  if (left <= 0) RaiseSocketErrorText(SzvTimeoutError, kzvErrTimeout);
  const std::int64_t wait =
      settings_.TimeOut < 0 ? left : std::min<std::int64_t>(settings_.TimeOut, left);
  return static_cast<std::int32_t>(std::min<std::int64_t>(wait, INT32_MAX));
}

std::unique_ptr<TzvDnsMessage> TzvDnssecQueryAsker::Ask(const std::string& name,
                                                        std::int32_t type) {
  TzvDnsExchangeSettings settings = settings_;
  settings.TimeOut = TimeOutNow();
  return std::move(query_.Ask(settings, name, type).Message);
}

std::vector<std::unique_ptr<TzvDnsMessage>> TzvDnssecQueryAsker::AskAll(
    const std::vector<TzvDnssecQuestion>& questions) {
  std::vector<std::unique_ptr<TzvDnsMessage>> answers(questions.size());
  TzvDnsExchangeSettings settings = settings_;
  try {
    settings.TimeOut = TimeOutNow();
  } catch (const EzvSocketError& error) {
    if (error.ErrorCode() == kzvErrAborted) throw;
    return answers;  // past the deadline: nothing is asked
  }
  // The exchange may ask each again alone after a round that failed: one share each, and
  // one for the round.
  if (settings.TimeOut >= 0)
    settings.TimeOut = std::max<std::int32_t>(
        1, static_cast<std::int32_t>(settings.TimeOut / (std::int64_t{1} + questions.size())));
  std::vector<std::unique_ptr<TzvDnsMessage>> requests;
  std::vector<TzvDnsMessage*> sent;
  std::vector<std::size_t> places;
  for (std::size_t i = 0; i < questions.size(); ++i) {
    try {
      requests.push_back(MakeDnsQuestion(settings, questions[i].Name, questions[i].Type));
    } catch (const EzvDnsError&) {
      continue;  // a name that cannot be sent is left to be refused when it is asked alone
    }
    sent.push_back(requests.back().get());
    places.push_back(i);
  }
  std::vector<TzvDnsOutcome> outcomes = query_.AskAll(settings, sent);
  for (std::size_t i = 0; i < outcomes.size() && i < places.size(); ++i)
    if (outcomes[i].Answered) answers[places[i]] = std::move(outcomes[i].Reply.Message);
  return answers;
}

TzvDnssecValidator::TzvDnssecValidator(TzvDnssecAsk ask,
                                       std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                                       std::uint32_t now, TzvDnssecAskAll ask_all)
    : ask_(std::move(ask)), ask_all_(std::move(ask_all)), anchors_(std::move(anchors)), now_(now) {}

TzvDnssecValidator::TzvDnssecValidator(TzvDnssecQueryAsker& asker,
                                       std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                                       std::uint32_t now)
    : TzvDnssecValidator(
          [&asker](const std::string& name, std::int32_t type) { return asker.Ask(name, type); },
          std::move(anchors), now,
          [&asker](const std::vector<TzvDnssecQuestion>& questions) {
            return asker.AskAll(questions);
          }) {}

TzvDnssecValidator::~TzvDnssecValidator() = default;

const TzvDnsMessage& TzvDnssecValidator::Ask(const Bytes& name, std::int32_t type) {
  auto& answer = answers_[{name, type}];
  if (answer != nullptr) return *answer;
  // A hostile server can make the proof of one zone's insecurity ask about the next one
  // up, and so on; a real chain asks a few questions per zone.
  if (asked_ >= kMaxQuestions)
    throw EzvDnsError(
        "the chain of trust needs more than " + std::to_string(kMaxQuestions) + " questions",
        kzvDnsErrInvalidSize);
  ++asked_;
  answer = ask_(TextOf(name), type);
  return *answer;
}

void TzvDnssecValidator::Prefetch(const TzvDnsMessage& answer) {
  if (!ask_all_) return;
  std::vector<std::pair<Bytes, std::int32_t>> foreseen;
  const auto foresee = [&](Bytes name, std::int32_t type) {
    std::pair<Bytes, std::int32_t> question{std::move(name), type};
    if (answers_.count(question) == 0 &&
        std::find(foreseen.begin(), foreseen.end(), question) == foreseen.end())
      foreseen.push_back(std::move(question));
  };
  for (const TzvDnsRecordList* section : {&answer.Answers(), &answer.Authorities()})
    for (const auto& record : *section) {
      const auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get());
      if (rrsig == nullptr) continue;
      Bytes signer;
      try {
        signer = DnssecCanonicalName(rrsig->SignerName);
      } catch (const EzvDnsError&) {
        continue;  // judged where it matters
      }
      const std::optional<Bytes> anchor = AnchorOver(signer);
      if (!anchor) continue;
      // Each zone's keys, as ProveZone asks them, and below the anchor its DS; a name on
      // the way that is no zone of its own costs a question, never a verdict.
      const auto labels = DnssecLabelsOf(signer);
      for (std::size_t count = DnssecLabelsOf(*anchor).size(); count <= labels.size(); ++count) {
        const Bytes zone = DnssecNameOf(labels, count);
        foresee(zone, kzvDnsTypeDNSKEY);
        if (zone != *anchor) foresee(zone, kzvDnsTypeDS);
      }
    }
  const std::size_t room = kMaxQuestions - std::min(asked_, kMaxQuestions);
  if (foreseen.size() > std::min(kMaxForeseen, room)) foreseen.resize(std::min(kMaxForeseen, room));
  if (foreseen.empty()) return;
  std::vector<TzvDnssecQuestion> questions;
  for (const auto& [name, type] : foreseen) questions.push_back({TextOf(name), type});
  asked_ += questions.size();
  std::vector<std::unique_ptr<TzvDnsMessage>> answers = ask_all_(questions);
  for (std::size_t i = 0; i < answers.size() && i < foreseen.size(); ++i)
    if (answers[i] != nullptr) answers_[foreseen[i]] = std::move(answers[i]);
}

std::optional<Bytes> TzvDnssecValidator::AnchorOver(const Bytes& name) const {
  std::optional<Bytes> deepest;
  for (const auto& anchor : anchors_) {
    const Bytes zone = DnssecCanonicalName(anchor->Name);
    if (IsDnsNameWithin(name, zone) && (!deepest || zone.size() > deepest->size())) deepest = zone;
  }
  return deepest;
}

TzvDnssecValidator::TVerified TzvDnssecValidator::Verify(const Records& rrset,
                                                         const Signatures& signatures,
                                                         const Keys& keys) {
  if (signatures.empty()) return {{TzvRRsetCheck::NoKey, "no RRSIG found", nullptr}, nullptr};
  TVerified last;
  int tried = 0;
  for (const TzvDnsRRSIGRecord* rrsig : signatures) {
    if (tried++ == kzvMaxSignaturesPerRRset) {
      last.Verdict = {TzvRRsetCheck::Invalid, "too many RRSIGs over one record set", nullptr};
      break;
    }
    if (checks_left_ == 0) {
      last.Verdict = {TzvRRsetCheck::Invalid,
                      "more than " + std::to_string(kMaxChecks) + " signatures to check", nullptr};
      break;
    }
    --checks_left_;
    TzvRRsetVerdict verdict = VerifyRRset(rrset, *rrsig, keys, now_);
    if (verdict.Check == TzvRRsetCheck::Valid) return {std::move(verdict), rrsig};
    // A key that fits and fails says more than a key not found.
    if (last.Verdict.Reason.empty() || verdict.Check != TzvRRsetCheck::NoKey)
      last.Verdict = std::move(verdict);
  }
  return last;
}

TzvDnssecResult TzvDnssecValidator::ValidateAnswer(const TzvDnsMessage& answer) {
  chain_.clear();
  graph_ = std::make_unique<TzvDnssecGraph>();
  reached_.clear();
  checks_left_ = kMaxChecks;
  aliases_left_ = kMaxAliases;
  chased_.clear();
  TzvDnssecResult found = Result(TzvDnssecVerdict::Secure, "");
  bool covered = false;
  try {
    if (answer.Queries().Count() == 0)
      return Result(TzvDnssecVerdict::Indeterminate, "the answer holds no question");
    const TzvDnsRecord& question = *answer.Queries().Items(0);
    if (IsErrorReply(answer))
      return Result(TzvDnssecVerdict::Indeterminate,
                    "an error reply (" + DnsResponseCodeName(answer.Header().ResponseCode) +
                        ") carries nothing to validate");
    if (const TzvDnsRecord* cut = ReferralIn(answer))
      return Result(TzvDnssecVerdict::Indeterminate, ReferralText(*cut) + ", not an answer");
    if (question.RecordType == kzvDnsTypeRRSIG)
      return Result(TzvDnssecVerdict::Indeterminate,
                    "signatures alone prove nothing: RRSIG records are not signed themselves");
    const Bytes name = DnssecCanonicalName(question.Name);
    if (!AnchorOver(name))
      return Result(TzvDnssecVerdict::Indeterminate,
                    "no trust anchor at or above " + ShownZone(name));
    covered = true;
    chased_.push_back(name);
    Prefetch(answer);
    found = Judge(answer, name, question.RecordType);
  } catch (const std::exception& e) {
    // A question that got no answer, or no library to check signatures with: a bogus
    // finding stands, anything else is left undecided.
    if (found.Verdict != TzvDnssecVerdict::Bogus)
      found = Result(TzvDnssecVerdict::Indeterminate, e.what());
  }
  found.Chain = chain_;
  found.Covered = covered;
  found.Graph = GraphOf(found, answer);
  return found;
}

TzvDnssecResult TzvDnssecValidator::Judge(const TzvDnsMessage& answer, const Bytes& asked,
                                          std::int32_t type) {
  // The answer's record sets, each once (RRSIGs go with the set they cover). An owner
  // name without a canonical form (a label over 63 bytes) ends in the caller's catch.
  std::vector<std::pair<Bytes, std::int32_t>> sets;
  for (const auto& record : answer.Answers()) {
    if (record->RecordType == kzvDnsTypeRRSIG) continue;
    std::pair<Bytes, std::int32_t> set{DnssecCanonicalName(record->Name), record->RecordType};
    if (std::find(sets.begin(), sets.end(), set) == sets.end()) sets.push_back(std::move(set));
  }

  // From the question's name along its CNAME and DNAME records to the chain's end: the
  // sets met on the way are the answer, each with whether a DNAME made it.
  std::vector<std::pair<std::size_t, bool>> chain;
  const auto set_of = [&](const Bytes& owner, std::int32_t set_type) -> std::optional<std::size_t> {
    for (std::size_t i = 0; i < sets.size(); ++i)
      if (sets[i].first == owner && sets[i].second == set_type) return i;
    return std::nullopt;
  };
  Bytes name = asked;
  bool answered = false, too_long = false;
  while (!answered) {
    if (type == kzvDnsTypeANY) {
      for (std::size_t i = 0; i < sets.size(); ++i)
        if (sets[i].first == name) chain.emplace_back(i, false), answered = true;
      break;
    }
    if (const auto exact = set_of(name, type)) {
      chain.emplace_back(*exact, false);
      answered = true;
      break;
    }
    // A DNAME above the name, and the CNAME it makes (unsigned, proven by the DNAME).
    std::optional<Bytes> made;
    for (std::size_t i = 0; i < sets.size() && !made; ++i) {
      if (sets[i].second != kzvDnsTypeDNAME || sets[i].first == name ||
          !IsDnsNameWithin(name, sets[i].first))
        continue;
      for (const TzvDnsRecord* record : RRsetIn(answer.Answers(), sets[i].first, kzvDnsTypeDNAME))
        if (const auto* dname = dynamic_cast<const TzvDnsFieldRecord*>(record)) {
          made = MadeByDname(name, sets[i].first, *dname);
          if (std::find(chain.begin(), chain.end(), std::pair{i, false}) == chain.end())
            chain.emplace_back(i, false);
          break;
        }
    }
    const auto alias = set_of(name, kzvDnsTypeCNAME);
    if (!alias && !made) break;
    if (aliases_left_-- == 0) {
      too_long = true;
      break;
    }
    if (alias) {
      const Records cname = RRsetIn(answer.Answers(), name, kzvDnsTypeCNAME);
      const auto* record = dynamic_cast<const TzvDnsCNAMERecord*>(cname.front());
      if (cname.size() != 1 || record == nullptr)
        return Result(TzvDnssecVerdict::Bogus, TextOf(name) + ": more than one CNAME");
      const Bytes target = DnssecCanonicalName(record->CanonicalName);
      if (std::any_of(chain.begin(), chain.end(),
                      [&](const auto& link) { return link.first == *alias; }))
        return Result(TzvDnssecVerdict::Bogus, TextOf(name) + ": the CNAME chain loops");
      chain.emplace_back(*alias, made && *made == target);
      name = target;
    } else {
      name = *made;
    }
  }
  // Anything else in the answer section answers another question: taken as part of this
  // answer, a genuine set of another name would pass for this one's.
  for (std::size_t i = 0; i < sets.size(); ++i)
    if (std::none_of(chain.begin(), chain.end(), [i](const auto& link) { return link.first == i; }))
      return Result(TzvDnssecVerdict::Bogus, TextOf(sets[i].first) + "/" +
                                                 DnsTypeText(sets[i].second) +
                                                 " does not answer the question");
  TzvDnssecResult overall = Result(TzvDnssecVerdict::Secure, "");
  const auto weigh = [&overall](TzvDnssecResult result) {
    if (Weight(result.Verdict) > Weight(overall.Verdict)) overall = std::move(result);
  };
  for (const auto& [index, from_dname] : chain) {
    weigh(JudgeSet(answer, sets[index].first, sets[index].second, from_dname));
    if (overall.Verdict == TzvDnssecVerdict::Bogus) return overall;
  }
  // The chain's end without the type asked: its denial, judged in its own zone; or, when
  // the answer says nothing of an end it moved to, that end's own answer.
  if (too_long)
    weigh(Result(
        TzvDnssecVerdict::Indeterminate,
        "the chain of CNAME and DNAME records is longer than " + std::to_string(kMaxAliases)));
  else if (!answered && name != asked && !ClaimsDenialOf(answer, name))
    weigh(ChaseTo(name, type));
  else if (!answered) {
    TzvDnssecResult denial =
        DenialOf(answer, name, type, answer.Header().ResponseCode == kzvDnsResponseNameError);
    TzvDnssecNode node = SetNode(TextOf(name), type, "");
    node.Type +=
        answer.Header().ResponseCode == kzvDnsResponseNameError ? " (NXDOMAIN)" : " (NODATA)";
    node.Verdict = denial.Verdict;
    node.Reason = denial.Reason;
    graph_->Add(std::move(node));
    weigh(std::move(denial));
  }
  return overall;
}

TzvDnssecResult TzvDnssecValidator::ChaseTo(const Bytes& end, std::int32_t type) {
  if (std::find(chased_.begin(), chased_.end(), end) != chased_.end())
    return Result(TzvDnssecVerdict::Bogus, TextOf(end) + ": the CNAME chain loops");
  const std::string unanswered = "the CNAME's target " + TextOf(end) + " was not answered";
  if (chased_.size() > static_cast<std::size_t>(kMaxChases))
    return Result(TzvDnssecVerdict::Indeterminate, unanswered +
                                                       " (the chain leaves its answers more than " +
                                                       std::to_string(kMaxChases) + " times)");
  chased_.push_back(end);
  const TzvDnsMessage* reply = nullptr;
  try {
    reply = &Ask(end, type);
  } catch (const std::exception& e) {
    // A time-out, or no questions left: nothing is known of the target, nothing is wrong.
    return Result(TzvDnssecVerdict::Indeterminate, unanswered + " (" + e.what() + ")");
  }
  if (IsErrorReply(*reply))
    return Result(TzvDnssecVerdict::Indeterminate,
                  unanswered + " (" + DnsResponseCodeName(reply->Header().ResponseCode) + ")");
  if (const TzvDnsRecord* cut = ReferralIn(*reply))
    return Result(TzvDnssecVerdict::Indeterminate, unanswered + " (" + ReferralText(*cut) + ")");
  chain_.push_back(TextOf(end) + "/" + DnsTypeText(type) + ": asked for itself");
  Prefetch(*reply);
  return Judge(*reply, end, type);
}

TzvDnssecResult TzvDnssecValidator::JudgeSet(const TzvDnsMessage& answer, const Bytes& owner,
                                             std::int32_t type, bool from_dname) {
  const Records rrset = RRsetIn(answer.Answers(), owner, type);
  const std::string what = rrset.front()->Name + "/" + DnsTypeText(type);
  const auto [signer, signatures] = SignerOf(SignaturesIn(answer.Answers(), owner, type), owner);
  // The set's node at the bottom of the graph, in its signer's box, with an arrow from each
  // key that signed it (or failed to).
  std::string signer_zone = signatures.empty() ? std::string() : ShownZone(signer);
  const auto drawn = [&](TzvDnssecResult result, std::vector<std::string> keys,
                         const std::string& edge_reason) {
    TzvDnssecNode node = SetNode(rrset.front()->Name, type, signer_zone);
    node.Verdict = result.Verdict;
    node.Reason = edge_reason.empty() ? result.Reason : edge_reason;
    const std::string id = graph_->Add(std::move(node)).Id;
    for (const std::string& key : keys)
      graph_->Link(key, id, TzvDnssecEdgeKind::KeySignsSet, result.Verdict, edge_reason);
    return result;
  };
  if (signatures.empty() && from_dname) {
    // Stands or falls with the DNAME's own record set, judged in the chain too.
    chain_.push_back(rrset.front()->Name + "/CNAME: made from a DNAME");
    return drawn(Result(TzvDnssecVerdict::Secure, ""), {}, "");
  }
  if (signatures.empty()) {
    TzvDnssecResult result = InsecurityOf(owner);
    if (result.Verdict == TzvDnssecVerdict::Bogus) result.Reason = what + ": " + result.Reason;
    // In the box of the unsigned zone it lies in, when one was found.
    if (result.Verdict == TzvDnssecVerdict::Insecure && !graph_->Zones.empty())
      signer_zone = graph_->Zones.back().Name;
    return drawn(std::move(result), {}, "");
  }
  const TZone& zone = ProvenZone(signer);
  if (zone.Result.Verdict != TzvDnssecVerdict::Secure) {
    // The zone's box says why; the set itself is not what broke.
    TzvDnssecResult untrusted = zone.Result;
    untrusted.Reason.clear();
    drawn(std::move(untrusted), SigningKeyIds(signer_zone, signatures), "");
    return zone.Result;
  }
  const TVerified verified = Verify(rrset, signatures, zone.Keys);
  if (verified.Verdict.Check != TzvRRsetCheck::Valid)
    return drawn(Result(TzvDnssecVerdict::Bogus, what + ": " + verified.Verdict.Reason),
                 SigningKeyIds(signer_zone, signatures), verified.Verdict.Reason);
  const std::vector<std::string> key = {
      DnssecKeyId(signer_zone, verified.Verdict.Key->KeyTag(), verified.Verdict.Key->Algorithm)};
  // Made from a wildcard, as the signature that verified says: only if no closer name
  // exists.
  if (verified.Signature->Labels < LabelCount(owner)) {
    TzvDnssecResult result =
        WildcardExpansionIsProven(answer, owner, signer, verified.Signature->Labels);
    if (result.Verdict == TzvDnssecVerdict::Secure)
      chain_.push_back(what + ": signed by " + KeyText(*verified.Verdict.Key) + " (wildcard)");
    return drawn(std::move(result), key, "");
  }
  chain_.push_back(what + ": signed by " + KeyText(*verified.Verdict.Key));
  return drawn(Result(TzvDnssecVerdict::Secure, ""), key, "");
}

const TzvDnssecValidator::TZone& TzvDnssecValidator::ProvenZone(const Bytes& zone) {
  if (std::find(reached_.begin(), reached_.end(), zone) == reached_.end()) reached_.push_back(zone);
  if (auto found = zones_.find(zone); found != zones_.end()) {
    if (found->second->Busy)
      found->second->Result =
          Result(TzvDnssecVerdict::Bogus, ShownZone(zone) + ": the chain of trust loops");
    return *found->second;
  }
  TZone& entry = *(zones_[zone] = std::make_unique<TZone>());
  auto done = ScopeExit([&entry] { entry.Busy = false; });
  entry.Result = ProveZone(zone, entry);
  return entry;
}

TzvDnssecResult TzvDnssecValidator::ProveZone(const Bytes& zone, TZone& proven) {
  const std::string shown = ShownZone(zone);
  const std::optional<Bytes> anchor = AnchorOver(zone);
  if (!anchor)
    return Result(TzvDnssecVerdict::Indeterminate, "no trust anchor at or above " + shown);
  const TzvDnsMessage& keys_answer = Ask(zone, kzvDnsTypeDNSKEY);
  if (IsErrorReply(keys_answer))
    return Result(TzvDnssecVerdict::Indeterminate,
                  "this server does not answer for " + shown + " (" +
                      DnsResponseCodeName(keys_answer.Header().ResponseCode) + ")");
  const Records key_set = RRsetIn(keys_answer.Answers(), zone, kzvDnsTypeDNSKEY);
  const Keys keys = KeysIn(key_set);
  TzvDnssecGraph& graph = proven.Graph;
  std::vector<std::string> key_ids;
  for (const TzvDnsDNSKEYRecord* key : keys) key_ids.push_back(graph.Add(KeyNode(shown, *key)).Id);

  // The keys the parent (or a trust anchor) vouches for.
  Keys entry;
  if (*anchor == zone) {
    if (keys.empty()) return Result(TzvDnssecVerdict::Bogus, shown + ": no DNSKEY records");
    for (const auto& trusted : anchors_) {
      if (DnssecCanonicalName(trusted->Name) != zone) continue;
      for (const TzvDnsDNSKEYRecord* key : keys) {
        if (const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(trusted.get())) {
          if (DsMatchesKey(*ds, *key, TextOf(zone))) entry.push_back(key);
        } else if (const auto* anchor_key =
                       dynamic_cast<const TzvDnsDNSKEYRecord*>(trusted.get())) {
          if (anchor_key->Algorithm == key->Algorithm && anchor_key->PublicKey == key->PublicKey)
            entry.push_back(key);
        }
      }
    }
    TzvDnssecNode trusted;
    trusted.Id = "anchor:" + shown;
    trusted.Kind = TzvDnssecNodeKind::Anchor;
    trusted.Zone = shown;
    trusted.Verdict = TzvDnssecVerdict::Secure;
    graph.Add(trusted);
    for (const TzvDnsDNSKEYRecord* key : entry)
      graph.Link(trusted.Id, DnssecKeyId(shown, key->KeyTag(), key->Algorithm),
                 TzvDnssecEdgeKind::DsMatchesKey, TzvDnssecVerdict::Secure);
    if (entry.empty())
      return Result(TzvDnssecVerdict::Bogus, shown + ": no DNSKEY matches the trust anchor");
    chain_.push_back(shown + ": " + KeyText(*entry.front()) + " is a trust anchor");
  } else {
    const TzvDnsMessage& ds_answer = Ask(zone, kzvDnsTypeDS);
    const Records ds_set = RRsetIn(ds_answer.Answers(), zone, kzvDnsTypeDS);
    if (ds_set.empty()) {
      // A server of the zone alone answers for its DS with its own apex: the parent's
      // word is not there to be had.
      if (IsErrorReply(ds_answer) || IsOwnReply(ds_answer, zone)) return NotAnsweredFor(zone);
      TzvDnssecResult result = InsecurityOf(zone);
      if (result.Verdict == TzvDnssecVerdict::Bogus)
        result.Reason = shown + ": no DS records at its parent (" + result.Reason + ")";
      return result;
    }
    Bytes parent;
    Signatures ds_signatures;
    for (const TzvDnsRRSIGRecord* rrsig : SignaturesIn(ds_answer.Answers(), zone, kzvDnsTypeDS)) {
      const Bytes signer = DnssecCanonicalName(rrsig->SignerName);
      if (signer == zone || !IsDnsNameWithin(zone, signer) || !IsDnsNameWithin(signer, *anchor))
        continue;
      if (signer.size() > parent.size()) ds_signatures.clear(), parent = signer;
      if (signer == parent) ds_signatures.push_back(rrsig);
    }
    if (ds_signatures.empty())
      return Result(TzvDnssecVerdict::Bogus, shown + ": its DS records are not signed by a parent");
    std::vector<std::string> ds_ids;
    for (const TzvDnsRecord* record : ds_set)
      if (const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(record))
        ds_ids.push_back(graph.Add(DsNode(shown, *ds)).Id);
    const TZone& parent_zone = ProvenZone(parent);
    const std::vector<std::string> parent_keys = SigningKeyIds(ShownZone(parent), ds_signatures);
    const auto link_ds = [&](const std::vector<std::string>& signers, TzvDnssecVerdict verdict,
                             const std::string& reason) {
      for (const std::string& signer : signers)
        for (const std::string& ds : ds_ids)
          graph.Link(signer, ds, TzvDnssecEdgeKind::KeySignsSet, verdict, reason);
    };
    if (parent_zone.Result.Verdict != TzvDnssecVerdict::Secure) {
      link_ds(parent_keys, parent_zone.Result.Verdict, "");
      return parent_zone.Result;
    }
    const TVerified ds_verified = Verify(ds_set, ds_signatures, parent_zone.Keys);
    if (ds_verified.Verdict.Check != TzvRRsetCheck::Valid) {
      link_ds(parent_keys, TzvDnssecVerdict::Bogus, ds_verified.Verdict.Reason);
      return Result(TzvDnssecVerdict::Bogus, shown + "/DS: " + ds_verified.Verdict.Reason);
    }
    link_ds({DnssecKeyId(ShownZone(parent), ds_verified.Verdict.Key->KeyTag(),
                         ds_verified.Verdict.Key->Algorithm)},
            TzvDnssecVerdict::Secure, "");
    bool usable = false;
    for (const TzvDnsRecord* record : ds_set) {
      const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(record);
      if (ds == nullptr || !IsSupportedDnssecAlgorithm(ds->Algorithm) ||
          !DnssecDigest(ds->DigestType, {}).has_value())
        continue;
      usable = true;
      for (const TzvDnsDNSKEYRecord* key : keys)
        if (DsMatchesKey(*ds, *key, TextOf(zone))) {
          graph.Link(DnssecDsId(shown, ds->KeyTag, ds->Algorithm, ds->DigestType),
                     DnssecKeyId(shown, key->KeyTag(), key->Algorithm),
                     TzvDnssecEdgeKind::DsMatchesKey, TzvDnssecVerdict::Secure);
          if (std::find(entry.begin(), entry.end(), key) == entry.end()) entry.push_back(key);
        }
    }
    const auto mark_ds = [&](TzvDnssecVerdict verdict, const std::string& reason) {
      for (TzvDnssecNode& node : graph.Nodes)
        if (node.Kind == TzvDnssecNodeKind::Ds) node.Verdict = verdict, node.Reason = reason;
    };
    // No DS this validator can use: the zone counts as unsigned (RFC 4035 §5.2).
    if (!usable) {
      mark_ds(TzvDnssecVerdict::Insecure, "no DS of an algorithm checked here");
      chain_.push_back(shown + ": no DS of an algorithm checked here: unsigned");
      return Result(TzvDnssecVerdict::Insecure, "");
    }
    if (keys.empty()) return Result(TzvDnssecVerdict::Bogus, shown + ": no DNSKEY records");
    if (entry.empty()) {
      mark_ds(TzvDnssecVerdict::Bogus, "DS does not match any DNSKEY");
      return Result(TzvDnssecVerdict::Bogus, shown + ": DS does not match any DNSKEY");
    }
    chain_.push_back(shown + ": " + KeyText(*entry.front()) + " matches a DS of " +
                     ShownZone(parent));
  }
  const Signatures key_signatures = SignaturesIn(keys_answer.Answers(), zone, kzvDnsTypeDNSKEY);
  const TVerified verified = Verify(key_set, key_signatures, entry);
  if (verified.Verdict.Check != TzvRRsetCheck::Valid) {
    std::vector<std::string> signers;
    for (const TzvDnsDNSKEYRecord* key : entry)
      signers.push_back(DnssecKeyId(shown, key->KeyTag(), key->Algorithm));
    LinkKeySet(graph, signers, key_ids, TzvDnssecVerdict::Bogus, verified.Verdict.Reason);
    return Result(TzvDnssecVerdict::Bogus, shown + "/DNSKEY: " + verified.Verdict.Reason);
  }
  LinkKeySet(graph,
             {DnssecKeyId(shown, verified.Verdict.Key->KeyTag(), verified.Verdict.Key->Algorithm)},
             key_ids, TzvDnssecVerdict::Secure, "");
  chain_.push_back(shown + ": DNSKEY set signed by " + KeyText(*verified.Verdict.Key));
  proven.Keys = keys;
  return Result(TzvDnssecVerdict::Secure, "");
}

TzvDnssecResult TzvDnssecValidator::InsecurityOf(const Bytes& name) {
  // From the trust anchor down: the first delegation whose parent proves, itself, that it
  // has no DS makes everything below it unsigned.
  const std::optional<Bytes> anchor = AnchorOver(name);
  if (!anchor)
    return Result(TzvDnssecVerdict::Indeterminate,
                  "no trust anchor at or above " + ShownZone(name));
  Bytes zone = *anchor;
  if (const TZone& top = ProvenZone(zone); top.Result.Verdict != TzvDnssecVerdict::Secure)
    return top.Result;
  const auto labels = DnssecLabelsOf(name);
  for (std::size_t count = DnssecLabelsOf(zone).size() + 1; count <= labels.size(); ++count) {
    const Bytes below = DnssecNameOf(labels, count);
    const std::string shown = ShownZone(below);
    if (auto known = zones_.find(below); known != zones_.end() && !known->second->Busy) {
      if (known->second->Result.Verdict != TzvDnssecVerdict::Secure) return known->second->Result;
      zone = below;
      continue;
    }
    const TzvDnsMessage& ds_answer = Ask(below, kzvDnsTypeDS);
    if (IsErrorReply(ds_answer)) return NotAnsweredFor(below);
    if (!RRsetIn(ds_answer.Answers(), below, kzvDnsTypeDS).empty()) {
      const TZone& child = ProvenZone(below);
      if (child.Result.Verdict != TzvDnssecVerdict::Secure) return child.Result;
      zone = below;
      continue;
    }
    TProofs proofs = ProofsIn(ds_answer, below);
    if (proofs.Failure) return *proofs.Failure;
    if (proofs.Zone != zone) {
      if (IsOwnReply(ds_answer, below)) return NotAnsweredFor(below);
      return Result(TzvDnssecVerdict::Bogus,
                    "no proof signed by " + ShownZone(zone) + " that " + shown + " has no DS");
    }
    TzvNsec3Records nsec3s(proofs.Nsec3s, zone);
    if (NsecProvesInsecureDelegation(proofs.Nsecs, below) ||
        (!nsec3s.Empty() && Nsec3ProvesInsecureDelegation(nsec3s, below) != TzvNsec3Proof::None)) {
      graph_->Zones.push_back({shown, TzvDnssecVerdict::Insecure, ""});
      TzvDnssecNode unsigned_cut;
      unsigned_cut.Id = "nods:" + shown;
      unsigned_cut.Kind = TzvDnssecNodeKind::NoDs;
      unsigned_cut.Zone = shown;
      unsigned_cut.Verdict = TzvDnssecVerdict::Insecure;
      graph_->Add(unsigned_cut);
      if (proofs.Key != nullptr)
        graph_->Link(DnssecKeyId(ShownZone(zone), proofs.Key->KeyTag(), proofs.Key->Algorithm),
                     unsigned_cut.Id, TzvDnssecEdgeKind::KeySignsSet, TzvDnssecVerdict::Secure);
      chain_.push_back(shown + ": no DS, proven by " + ShownZone(zone) + ": unsigned delegation");
      return Result(TzvDnssecVerdict::Insecure, "");
    }
    if (nsec3s.Empty() && !proofs.Nsec3s.empty()) {
      chain_.push_back(shown + ": NSEC3 hashed more than 150 times (or not with SHA-1): unsigned");
      return Result(TzvDnssecVerdict::Insecure, "");
    }
    // A name inside the zone: no cut here, on down; a name that does not exist holds
    // nothing below it either.
    if (NsecProvesNameError(proofs.Nsecs, below) ||
        (!nsec3s.Empty() && Nsec3ProvesNameError(nsec3s, below) == TzvNsec3Proof::Proven))
      break;
    if (!NsecProvesNoData(proofs.Nsecs, below, kzvDnsTypeDS) &&
        (nsec3s.Empty() || Nsec3ProvesNoData(nsec3s, below, kzvDnsTypeDS) != TzvNsec3Proof::Proven))
      return Result(TzvDnssecVerdict::Bogus,
                    "no proof signed by " + ShownZone(zone) + " that " + shown + " has no DS");
  }
  return Result(TzvDnssecVerdict::Bogus,
                "the records are not signed, in the signed zone " + ShownZone(zone));
}

TzvDnssecValidator::TProofs TzvDnssecValidator::ProofsIn(const TzvDnsMessage& answer,
                                                         const Bytes& name) {
  // The sets, each once, and the zone that signed them: the deepest at or above the name.
  // A denial proves nothing outside the zone that signs it.
  TProofs proofs;
  std::vector<std::pair<Bytes, std::int32_t>> sets;
  for (const auto& record : answer.Authorities()) {
    if (record->RecordType != kzvDnsTypeNSEC && record->RecordType != kzvDnsTypeNSEC3) continue;
    std::pair<Bytes, std::int32_t> set{DnssecCanonicalName(record->Name), record->RecordType};
    if (std::find(sets.begin(), sets.end(), set) != sets.end()) continue;
    const Bytes signer =
        SignerOf(SignaturesIn(answer.Authorities(), set.first, set.second), name).first;
    // An NSEC3's owner is a hash directly below its zone.
    const bool placed = set.second == kzvDnsTypeNSEC ||
                        (set.first.size() > set.first[0] + 1u &&
                         Bytes(set.first.begin() + 1 + set.first[0], set.first.end()) == signer);
    if (signer.empty() || !placed) continue;
    if (signer.size() > proofs.Zone.size()) sets.clear(), proofs.Zone = signer;
    if (signer == proofs.Zone) sets.push_back(std::move(set));
  }
  if (proofs.Zone.empty()) return proofs;
  const TZone& zone = ProvenZone(proofs.Zone);
  if (zone.Result.Verdict != TzvDnssecVerdict::Secure) {
    proofs.Failure = zone.Result;
    return proofs;
  }
  for (const auto& [owner, type] : sets) {
    const Records rrset = RRsetIn(answer.Authorities(), owner, type);
    // A name has one NSEC (and a hash one NSEC3): a set of more is no zone's own.
    if (rrset.size() > 1) {
      proofs.Failure = Result(TzvDnssecVerdict::Bogus,
                              "the denial's " + DnsTypeText(type) + " set holds " +
                                  std::to_string(rrset.size()) + " records where a name has one");
      return proofs;
    }
    const auto [signer, signatures] =
        SignerOf(SignaturesIn(answer.Authorities(), owner, type), name);
    const TVerified verified = Verify(rrset, signatures, zone.Keys);
    if (verified.Verdict.Check != TzvRRsetCheck::Valid) {
      proofs.Failure = Result(TzvDnssecVerdict::Bogus,
                              "the denial's " + DnsTypeText(type) + ": " + verified.Verdict.Reason);
      return proofs;
    }
    // Made from a wildcard, its owner is not a name that was signed: it proves nothing.
    if (verified.Signature->Labels < LabelCount(owner)) continue;
    proofs.Key = verified.Verdict.Key;
    for (const TzvDnsRecord* record : rrset) {
      if (const auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(record))
        proofs.Nsecs.push_back(nsec);
      else if (const auto* nsec3 = dynamic_cast<const TzvDnsNSEC3Record*>(record))
        proofs.Nsec3s.push_back(nsec3);
    }
  }
  return proofs;
}

TzvDnssecResult TzvDnssecValidator::DenialOf(const TzvDnsMessage& answer, const Bytes& name,
                                             std::int32_t type, bool nxdomain) {
  TProofs proofs = ProofsIn(answer, name);
  if (proofs.Failure) return *proofs.Failure;
  const std::string what = TextOf(name) + "/" + DnsTypeText(type);
  if (proofs.Nsecs.empty() && proofs.Nsec3s.empty()) {
    // No proof at all: right for a name in an unsigned zone, and only there.
    TzvDnssecResult result = InsecurityOf(name);
    if (result.Verdict == TzvDnssecVerdict::Bogus)
      result.Reason = what + ": no NSEC or NSEC3 record proves the denial";
    return result;
  }
  const auto secure = [this, &what](const std::string& proof) {
    chain_.push_back(what + ": denial proven by " + proof);
    return Result(TzvDnssecVerdict::Secure, "");
  };
  const auto bogus = [&what](const std::string& why) {
    return Result(TzvDnssecVerdict::Bogus, what + ": " + why);
  };
  if (!proofs.Nsecs.empty()) {
    if (nxdomain)
      return NsecProvesNameError(proofs.Nsecs, name)
                 ? secure("NSEC (no such name, no wildcard)")
                 : bogus("no NSEC proves the name and its wildcard do not exist");
    return NsecProvesNoData(proofs.Nsecs, name, type) ||
                   NsecProvesWildcardNoData(proofs.Nsecs, name, type)
               ? secure("NSEC (no such type)")
               : bogus("no NSEC proves the type does not exist");
  }
  TzvNsec3Records nsec3s(proofs.Nsec3s, proofs.Zone);
  if (nsec3s.Empty()) {
    chain_.push_back(what + ": NSEC3 hashed more than 150 times (or not with SHA-1): unsigned");
    return Result(TzvDnssecVerdict::Insecure, "");
  }
  const TzvNsec3Proof proof =
      nxdomain ? Nsec3ProvesNameError(nsec3s, name) : Nsec3ProvesNoData(nsec3s, name, type);
  if (proof == TzvNsec3Proof::OptOut) {
    chain_.push_back(what + ": under an NSEC3 opt-out span: unsigned");
    return Result(TzvDnssecVerdict::Insecure, "");
  }
  if (proof == TzvNsec3Proof::Proven)
    return secure(nxdomain ? "NSEC3 (no such name, no wildcard)" : "NSEC3 (no such type)");
  return bogus(nxdomain ? "no NSEC3 proves the name and its wildcard do not exist"
                        : "no NSEC3 proves the type does not exist");
}

TzvDnssecResult TzvDnssecValidator::WildcardExpansionIsProven(const TzvDnsMessage& answer,
                                                              const Bytes& owner, const Bytes& zone,
                                                              std::size_t labels) {
  TProofs proofs = ProofsIn(answer, owner);
  if (proofs.Failure) return *proofs.Failure;
  const std::string what = TextOf(owner) + ": made from a wildcard, ";
  if (proofs.Zone != zone)
    return Result(TzvDnssecVerdict::Bogus,
                  what + "no proof from its zone that no closer name exists");
  if (NsecProvesWildcardExpansion(proofs.Nsecs, owner, labels))
    return Result(TzvDnssecVerdict::Secure, "");
  TzvNsec3Records nsec3s(proofs.Nsec3s, zone);
  const TzvNsec3Proof proof =
      nsec3s.Empty() ? TzvNsec3Proof::None : Nsec3ProvesWildcardExpansion(nsec3s, owner, labels);
  if (proof == TzvNsec3Proof::OptOut) {
    chain_.push_back(what + "under an NSEC3 opt-out span: unsigned");
    return Result(TzvDnssecVerdict::Insecure, "");
  }
  if (proof == TzvNsec3Proof::Proven) return Result(TzvDnssecVerdict::Secure, "");
  return Result(TzvDnssecVerdict::Bogus, what + "no NSEC or NSEC3 proves no closer name exists");
}

std::shared_ptr<const TzvDnssecGraph> TzvDnssecValidator::GraphOf(const TzvDnssecResult& found,
                                                                  const TzvDnsMessage& answer) {
  if (!found.Covered) return nullptr;
  auto graph = std::make_shared<TzvDnssecGraph>();
  for (const TName& zone : reached_) {
    const TZone& proven = *zones_.at(zone);
    graph->Merge(proven.Graph);
    graph->Zones.push_back({ShownZone(zone), proven.Result.Verdict, proven.Result.Reason});
  }
  graph->Merge(*graph_);
  // The zones' own elements take their zone's verdict unless they have one of their own.
  for (TzvDnssecNode& node : graph->Nodes)
    if (node.Reason.empty() && node.Kind != TzvDnssecNodeKind::RRset &&
        node.Kind != TzvDnssecNodeKind::NoDs)
      for (const TzvDnssecZoneBox& zone : graph->Zones)
        if (zone.Name == node.Zone && node.Kind != TzvDnssecNodeKind::Anchor)
          node.Verdict = zone.Verdict;
  std::stable_sort(graph->Zones.begin(), graph->Zones.end(),
                   [](const TzvDnssecZoneBox& a, const TzvDnssecZoneBox& b) {
                     return ZoneDepth(a.Name) < ZoneDepth(b.Name);
                   });
  // A verdict reached before any set was judged (the chain broke above it) still ends in
  // the question's set.
  if (std::none_of(graph->Nodes.begin(), graph->Nodes.end(), [](const TzvDnssecNode& node) {
        return node.Kind == TzvDnssecNodeKind::RRset;
      })) {
    const TzvDnsRecord& question = *answer.Queries().Items(0);
    TzvDnssecNode node = SetNode(question.Name, question.RecordType, "");
    node.Verdict = found.Verdict;
    node.Reason = found.Reason;
    graph->Add(std::move(node));
  }
  graph->Verdict = found.Verdict;
  graph->Reason = found.Reason;
  return graph;
}
