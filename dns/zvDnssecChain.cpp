#include "dns/zvDnssecChain.h"

#include <algorithm>

#include "base/Base64.h"
#include "base/ScopeExit.h"
#include "base/SysUtils.h"
#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnsRrsigRecord.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Records = std::vector<const TzvDnsRecord*>;
using Signatures = std::vector<const TzvDnsRRSIGRecord*>;
using Keys = std::vector<const TzvDnsDNSKEYRecord*>;

// No chain of zones is longer than a name has labels; this bounds a hostile one.
constexpr int kMaxChainDepth = 32;
// Nor does a chain need more questions than two (DS, DNSKEY) per label of the longest name.
constexpr std::size_t kMaxQuestions = 2 * 127;

std::string ShownZone(const std::string& zone) {
  return zone.empty() ? "." : zone;
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

Keys KeysIn(const Records& records) {
  Keys keys;
  for (const TzvDnsRecord* record : records)
    if (const auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(record)) keys.push_back(key);
  return keys;
}

// The first signature that a key verifies, or the most telling failure.
TzvRRsetVerdict VerifyWithAny(const Records& rrset, const Signatures& signatures, const Keys& keys,
                              std::uint32_t now) {
  if (signatures.empty()) return {TzvRRsetCheck::NoKey, "no RRSIG found", nullptr};
  TzvRRsetVerdict last;
  int tried = 0;
  for (const TzvDnsRRSIGRecord* rrsig : signatures) {
    if (++tried > kzvMaxSignaturesPerRRset) {
      last = {TzvRRsetCheck::Invalid, "too many RRSIGs over one record set", nullptr};
      break;
    }
    TzvRRsetVerdict verdict = VerifyRRset(rrset, *rrsig, keys, now);
    if (verdict.Check == TzvRRsetCheck::Valid) return verdict;
    // A key that fits and fails says more than a key not found.
    if (last.Reason.empty() || verdict.Check != TzvRRsetCheck::NoKey) last = std::move(verdict);
  }
  return last;
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

// A canonical wire name's labels, the root's zero byte left out.
std::vector<Bytes> LabelsOf(const Bytes& wire) {
  std::vector<Bytes> labels;
  for (std::size_t at = 0; at < wire.size() && wire[at] != 0; at += 1 + wire[at])
    labels.emplace_back(wire.begin() + static_cast<long>(at) + 1,
                        wire.begin() + static_cast<long>(at) + 1 + wire[at]);
  return labels;
}

// The name made of the last `count` labels of `labels`.
Bytes NameOf(const std::vector<Bytes>& labels, std::size_t count) {
  Bytes wire;
  for (std::size_t i = labels.size() - count; i < labels.size(); ++i) {
    wire.push_back(static_cast<std::uint8_t>(labels[i].size()));
    wire.insert(wire.end(), labels[i].begin(), labels[i].end());
  }
  wire.push_back(0);
  return wire;
}

Bytes WildcardOf(const Bytes& name) {
  Bytes wildcard(name.size() + 2);
  wildcard[0] = 1;
  wildcard[1] = '*';
  std::copy(name.begin(), name.end(), wildcard.begin() + 2);
  return wildcard;
}

// RFC 4034 §6.1's order: label by label from the root, each compared as bytes.
bool CanonicalLess(const Bytes& a, const Bytes& b) {
  const auto la = LabelsOf(a), lb = LabelsOf(b);
  return std::lexicographical_compare(la.rbegin(), la.rend(), lb.rbegin(), lb.rend());
}

// Whether `value` falls strictly between `owner` and `next` (the last record of a zone
// wraps round to its first name).
template <class Less>
bool Between(const auto& owner, const auto& next, const auto& value, Less less) {
  if (less(owner, next)) return less(owner, value) && less(value, next);
  return less(owner, value) || less(value, next);
}

std::size_t CommonLabels(const Bytes& a, const Bytes& b) {
  const auto la = LabelsOf(a), lb = LabelsOf(b);
  std::size_t n = 0;
  while (n < la.size() && n < lb.size() && la[la.size() - 1 - n] == lb[lb.size() - 1 - n]) ++n;
  return n;
}

bool Holds(const std::vector<std::uint16_t>& types, std::int32_t type) {
  return std::find(types.begin(), types.end(), static_cast<std::uint16_t>(type)) != types.end();
}

// RFC 9276: NSEC3 chains hashed more often than this are too costly to check; validators
// treat them as insecure.
constexpr std::uint16_t kMaxNsec3Iterations = 150;

// A CNAME a server made from a DNAME carries no signature of its own (RFC 6672 §5.3.1): it
// is proven by the DNAME's, when it says exactly what the DNAME makes of `owner`. The
// DNAME's target is an uncompressed wire name, compared as canonical (lower-case) bytes.
bool MadeFromDname(const TzvDnsMessage& answer, const Bytes& owner, const TzvDnsRecord& cname) {
  const auto* alias = dynamic_cast<const TzvDnsCNAMERecord*>(&cname);
  if (alias == nullptr) return false;
  const Bytes target = DnssecCanonicalName(alias->CanonicalName);
  for (const auto& record : answer.Answers()) {
    const auto* dname = dynamic_cast<const TzvDnsGenericRecord*>(record.get());
    if (dname == nullptr || dname->RecordType != kzvDnsTypeDNAME) continue;
    const Bytes from = DnssecCanonicalName(dname->Name);
    if (from == owner || !IsDnsNameWithin(owner, from)) continue;
    Bytes made(owner.begin(), owner.end() - static_cast<long>(from.size()));
    for (std::uint8_t byte : dname->Data)
      made.push_back(byte >= 'A' && byte <= 'Z' ? static_cast<std::uint8_t>(byte + 32) : byte);
    if (made == target) return true;
  }
  return false;
}

std::string KeyText(const TzvDnsDNSKEYRecord& key) {
  return "DNSKEY " + std::to_string(key.KeyTag()) + "/" + std::to_string(key.Algorithm);
}

}  // namespace

struct TzvDnssecValidator::TZone {
  std::vector<const TzvDnsDNSKEYRecord*> Keys;
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

TzvDnssecAsk DnssecAskLike(const TzvDnsQuery& lookup, std::function<void(TzvDnsQuery*)> asking) {
  const std::string server = lookup.LastExchange().ServerAddress.empty()
                                 ? lookup.Server()
                                 : lookup.LastExchange().ServerAddress;
  const std::int32_t port = lookup.Port(), time_out = lookup.TimeOut();
  const int tries = lookup.Tries();
  const bool edns = lookup.UseEdns(), tcp = lookup.UseTcp();
  const std::uint16_t buffer = lookup.EdnsBufferSize();
  const TzvAddressFamily family = lookup.AddressFamily();
  // An encrypted lookup's chain goes the same way, its certificate checked for the same
  // name: the server's name when it was given one, though the chain asks its address.
  const bool tls = lookup.UseTls(), https = lookup.UseHttps(), https_get = lookup.HttpsGet();
  const std::string https_path = lookup.HttpsPath();
  TzvTlsSettings tls_settings = lookup.TlsSettings();
  if (tls_settings.HostName.empty() && lookup.Server() != server)
    tls_settings.HostName = lookup.Server();
  return [=](const std::string& name, std::int32_t type) {
    TzvDnsQuery query(nullptr);
    query.SetServer(server);
    query.SetPort(port);
    query.SetTimeOut(time_out);
    query.SetTries(tries);
    query.SetUseEdns(edns);
    query.SetEdnsBufferSize(buffer);
    query.SetUseTcp(tcp);
    query.SetUseTls(tls);
    query.SetUseHttps(https);
    query.SetHttpsPath(https_path);
    query.SetHttpsGet(https_get);
    query.SetTlsSettings(tls_settings);
    query.SetAddressFamily(family);
    query.SetDnssecOK(true);
    query.SetCheckingDisabled(true);
    if (asking) asking(&query);
    auto done = ScopeExit([&] {
      if (asking) asking(nullptr);
    });
    try {
      query.ResolveRecords(name, type);
    } catch (const EzvDnsError& e) {
      // An error reply still carries what proves it.
      if (e.ErrorCode() < 1) throw;
    }
    auto answer = std::make_unique<TzvDnsExtendedMessage>();
    answer->Header() = query.Response().Header();
    answer->Queries().Assign(&query.Response().Queries());
    answer->Answers().Assign(&query.Response().Answers());
    answer->Authorities().Assign(&query.Response().Authorities());
    answer->AdditionalRecords().Assign(&query.Response().AdditionalRecords());
    return std::unique_ptr<TzvDnsMessage>(std::move(answer));
  };
}

TzvDnssecValidator::TzvDnssecValidator(TzvDnssecAsk ask,
                                       std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                                       std::uint32_t now)
    : ask_(std::move(ask)), anchors_(std::move(anchors)), now_(now) {}

TzvDnssecValidator::~TzvDnssecValidator() = default;

const TzvDnsMessage& TzvDnssecValidator::Ask(const std::string& name, std::int32_t type) {
  // A hostile server can make the proof of one zone's insecurity ask about the next one
  // up, and so on without end; a real chain asks a few questions per zone.
  if (answers_.size() >= kMaxQuestions)
    throw EzvDnsError(
        "the chain of trust needs more than " + std::to_string(kMaxQuestions) + " questions",
        kzvDnsErrInvalidSize);
  answers_.push_back(ask_(name, type));
  return *answers_.back();
}

TzvDnssecResult TzvDnssecValidator::ValidateAnswer(const TzvDnsMessage& answer) {
  chain_.clear();
  TzvDnssecResult overall = Result(TzvDnssecVerdict::Secure, "");
  try {
    // The answer's record sets, each once (RRSIGs go with the set they cover). An owner
    // name without a canonical form (a label over 63 bytes) ends in the catch below.
    std::vector<std::pair<Bytes, std::int32_t>> sets;
    for (const auto& record : answer.Answers()) {
      if (record->RecordType == kzvDnsTypeRRSIG) continue;
      std::pair<Bytes, std::int32_t> set{DnssecCanonicalName(record->Name), record->RecordType};
      if (std::find(sets.begin(), sets.end(), set) == sets.end()) sets.push_back(std::move(set));
    }
    if (sets.empty() && answer.Answers().Count() > 0)
      return Result(TzvDnssecVerdict::Indeterminate,
                    "signatures alone prove nothing: RRSIG records are not signed themselves");
    if (sets.empty()) {
      // A denial: of the question's name, or of its type at that name.
      if (answer.Queries().Count() == 0)
        return Result(TzvDnssecVerdict::Indeterminate, "the answer holds no question");
      const TzvDnsRecord& question = *answer.Queries().Items(0);
      TzvDnssecResult result =
          DenialOf(answer, DnssecCanonicalName(question.Name), question.RecordType,
                   answer.Header().ResponseCode == kzvDnsResponseNameError);
      result.Chain = chain_;
      return result;
    }
    for (const auto& [owner, type] : sets) {
      const Records rrset = RRsetIn(answer.Answers(), owner, type);
      const Signatures signatures = SignaturesIn(answer.Answers(), owner, type);
      TzvDnssecResult result;
      if (signatures.empty() && rrset.size() == 1 && MadeFromDname(answer, owner, *rrset.front())) {
        // Stands or falls with the DNAME's own record set, judged in this loop too.
        chain_.push_back(rrset.front()->Name + "/CNAME: made from a DNAME");
        result = Result(TzvDnssecVerdict::Secure, "");
      } else if (signatures.empty()) {
        result = InsecurityOf(rrset.front()->Name);
      } else {
        const std::string signer = signatures.front()->SignerName;
        const TZone* zone = ProvenZone(signer, result, 0);
        if (zone != nullptr) {
          const TzvRRsetVerdict verdict = VerifyWithAny(rrset, signatures, zone->Keys, now_);
          const std::string what = rrset.front()->Name + "/" + DnsTypeText(type);
          const std::size_t labels =
              LabelsOf(owner).size() - (owner.size() > 1 && owner[0] == 1 && owner[1] == '*');
          if (verdict.Check == TzvRRsetCheck::Valid && signatures.front()->Labels < labels) {
            // Made from a wildcard: only if no closer name exists.
            result = DenialOf(answer, owner, type, false, signatures.front()->Labels);
            if (result.Verdict == TzvDnssecVerdict::Secure)
              chain_.push_back(what + ": signed by " + KeyText(*verdict.Key) + " (wildcard)");
          } else if (verdict.Check == TzvRRsetCheck::Valid) {
            result = Result(TzvDnssecVerdict::Secure, "");
            chain_.push_back(what + ": signed by " + KeyText(*verdict.Key));
          } else {
            result = Result(TzvDnssecVerdict::Bogus, what + ": " + verdict.Reason);
          }
        }
      }
      if (Weight(result.Verdict) > Weight(overall.Verdict)) overall = result;
    }
  } catch (const std::exception& e) {
    // A question that got no answer, or no library to check signatures with.
    overall = Result(TzvDnssecVerdict::Indeterminate, e.what());
  }
  overall.Chain = chain_;
  return overall;
}

const TzvDnssecValidator::TZone* TzvDnssecValidator::ProvenZone(const std::string& zone,
                                                                TzvDnssecResult& result,
                                                                int depth) {
  const Bytes name = DnssecCanonicalName(zone);
  const std::string key(name.begin(), name.end());
  if (auto found = zones_.find(key); found != zones_.end()) return found->second.get();
  if (depth > kMaxChainDepth) {
    result = Result(TzvDnssecVerdict::Bogus, "the chain of trust is too long");
    return nullptr;
  }
  const TzvDnsMessage& keys_answer = Ask(zone, kzvDnsTypeDNSKEY);
  const Records key_set = RRsetIn(keys_answer.Answers(), name, kzvDnsTypeDNSKEY);
  const Keys keys = KeysIn(key_set);
  const std::string shown = ShownZone(zone);
  if (keys.empty()) {
    result = Result(TzvDnssecVerdict::Bogus, shown + ": no DNSKEY records");
    return nullptr;
  }

  // The keys the parent (or a trust anchor) vouches for.
  Keys entry;
  bool anchored = false;
  for (const auto& anchor : anchors_) {
    if (DnssecCanonicalName(anchor->Name) != name) continue;
    anchored = true;
    for (const TzvDnsDNSKEYRecord* key : keys) {
      if (const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(anchor.get())) {
        if (DsMatchesKey(*ds, *key, zone)) entry.push_back(key);
      } else if (const auto* trusted = dynamic_cast<const TzvDnsDNSKEYRecord*>(anchor.get())) {
        if (trusted->Algorithm == key->Algorithm && trusted->PublicKey == key->PublicKey)
          entry.push_back(key);
      }
    }
  }
  if (anchored) {
    if (entry.empty()) {
      result = Result(TzvDnssecVerdict::Bogus, shown + ": no DNSKEY matches the trust anchor");
      return nullptr;
    }
    chain_.push_back(shown + ": " + KeyText(*entry.front()) + " is a trust anchor");
  } else {
    const TzvDnsMessage& ds_answer = Ask(zone, kzvDnsTypeDS);
    const Records ds_set = RRsetIn(ds_answer.Answers(), name, kzvDnsTypeDS);
    if (ds_set.empty()) {
      result = InsecurityOf(zone);
      if (result.Verdict == TzvDnssecVerdict::Bogus &&
          result.Reason.find("not signed") != std::string::npos)
        result.Reason = shown + ": no DS records at its parent";
      return nullptr;
    }
    const Signatures ds_signatures = SignaturesIn(ds_answer.Answers(), name, kzvDnsTypeDS);
    if (ds_signatures.empty()) {
      result = Result(TzvDnssecVerdict::Bogus, shown + ": its DS records are not signed");
      return nullptr;
    }
    const std::string parent = ds_signatures.front()->SignerName;
    const Bytes parent_name = DnssecCanonicalName(parent);
    if (parent_name == name || !IsDnsNameWithin(name, parent_name)) {
      result = Result(TzvDnssecVerdict::Bogus, shown + ": its DS records are signed by " +
                                                   ShownZone(parent) + ", not a parent");
      return nullptr;
    }
    const TZone* parent_zone = ProvenZone(parent, result, depth + 1);
    if (parent_zone == nullptr) return nullptr;
    const TzvRRsetVerdict ds_verdict =
        VerifyWithAny(ds_set, ds_signatures, parent_zone->Keys, now_);
    if (ds_verdict.Check != TzvRRsetCheck::Valid) {
      result = Result(TzvDnssecVerdict::Bogus, shown + "/DS: " + ds_verdict.Reason);
      return nullptr;
    }
    bool usable = false;
    for (const TzvDnsRecord* record : ds_set) {
      const auto* ds = dynamic_cast<const TzvDnsDSRecord*>(record);
      if (ds == nullptr || !IsSupportedDnssecAlgorithm(ds->Algorithm) ||
          !DnssecDigest(ds->DigestType, {}).has_value())
        continue;
      usable = true;
      for (const TzvDnsDNSKEYRecord* key : keys)
        if (DsMatchesKey(*ds, *key, zone) &&
            std::find(entry.begin(), entry.end(), key) == entry.end())
          entry.push_back(key);
    }
    if (!usable) {
      // No DS this validator can use: the zone counts as unsigned (RFC 4035 §5.2).
      result = Result(TzvDnssecVerdict::Insecure, "");
      return nullptr;
    }
    if (entry.empty()) {
      result = Result(TzvDnssecVerdict::Bogus, shown + ": DS does not match any DNSKEY");
      return nullptr;
    }
    chain_.push_back(shown + ": " + KeyText(*entry.front()) + " matches a DS of " +
                     ShownZone(parent));
  }
  const Signatures key_signatures = SignaturesIn(keys_answer.Answers(), name, kzvDnsTypeDNSKEY);
  const TzvRRsetVerdict verdict = VerifyWithAny(key_set, key_signatures, entry, now_);
  if (verdict.Check != TzvRRsetCheck::Valid) {
    result = Result(TzvDnssecVerdict::Bogus, shown + "/DNSKEY: " + verdict.Reason);
    return nullptr;
  }
  chain_.push_back(shown + ": DNSKEY set signed by " + KeyText(*verdict.Key));
  auto proven = std::make_unique<TZone>();
  proven->Keys = keys;
  return (zones_[key] = std::move(proven)).get();
}

TzvDnssecResult TzvDnssecValidator::InsecurityOf(const std::string& name) {
  // From the top down: the first delegation whose parent proves it has no DS makes
  // everything below it unsigned.
  const Bytes wire = DnssecCanonicalName(name);
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at < wire.size() && wire[at] != 0; at += 1 + wire[at])
    starts.push_back(at);
  for (auto start = starts.rbegin(); start != starts.rend(); ++start) {
    // The ancestor's text: the name's labels from this one on.
    std::string ancestor;
    for (std::size_t at = *start; at < wire.size() && wire[at] != 0; at += 1 + wire[at]) {
      if (!ancestor.empty()) ancestor += '.';
      ancestor.append(reinterpret_cast<const char*>(&wire[at + 1]), wire[at]);
    }
    const Bytes ancestor_name(wire.begin() + static_cast<long>(*start), wire.end());
    const TzvDnsMessage& ds_answer = Ask(ancestor, kzvDnsTypeDS);
    if (!RRsetIn(ds_answer.Answers(), ancestor_name, kzvDnsTypeDS).empty()) {
      TzvDnssecResult result;
      if (ProvenZone(ancestor, result, 0) == nullptr) return result;
      continue;
    }
    // No DS: the parent's NSEC or NSEC3 for this very name tells a delegation (NS, no DS)
    // from a name inside the zone.
    for (const auto& record : ds_answer.Authorities()) {
      std::vector<std::uint16_t> types;
      bool matches = false;
      if (const auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(record.get())) {
        matches = DnssecCanonicalName(nsec->Name) == ancestor_name;
        types = nsec->Types;
      } else if (const auto* nsec3 = dynamic_cast<const TzvDnsNSEC3Record*>(record.get())) {
        const auto hash =
            Nsec3Hash(nsec3->HashAlgorithm, nsec3->Iterations, nsec3->Salt, ancestor_name);
        const Bytes owner = DnssecCanonicalName(nsec3->Name);
        matches = hash.has_value() && !owner.empty() &&
                  SameText(std::string(owner.begin() + 1, owner.begin() + 1 + owner[0]),
                           Base32HexEncode(*hash));
        types = nsec3->Types;
      }
      if (!matches) continue;
      const Bytes owner = DnssecCanonicalName(record->Name);
      const Signatures signatures =
          SignaturesIn(ds_answer.Authorities(), owner, record->RecordType);
      if (signatures.empty())
        return Result(TzvDnssecVerdict::Bogus, "the proof of no DS is not signed");
      TzvDnssecResult result;
      const TZone* parent = ProvenZone(signatures.front()->SignerName, result, 0);
      if (parent == nullptr) return result;
      const TzvRRsetVerdict verdict =
          VerifyWithAny(RRsetIn(ds_answer.Authorities(), owner, record->RecordType), signatures,
                        parent->Keys, now_);
      if (verdict.Check != TzvRRsetCheck::Valid)
        return Result(TzvDnssecVerdict::Bogus, "the proof of no DS: " + verdict.Reason);
      const auto holds = [&types](std::int32_t type) {
        return std::find(types.begin(), types.end(), static_cast<std::uint16_t>(type)) !=
               types.end();
      };
      if (holds(kzvDnsTypeNS) && !holds(kzvDnsTypeDS) && !holds(kzvDnsTypeSOA)) {
        chain_.push_back(ancestor + ": no DS, proven by its parent: unsigned delegation");
        return Result(TzvDnssecVerdict::Insecure, "");
      }
      break;  // a name inside the zone: go on down
    }
    // No NSEC3 for the name itself: an opt-out span over it proves it insecure.
    const bool has_nsec3 =
        std::any_of(ds_answer.Authorities().begin(), ds_answer.Authorities().end(),
                    [](const auto& record) { return record->RecordType == kzvDnsTypeNSEC3; });
    if (has_nsec3 && DenialOf(ds_answer, ancestor_name, kzvDnsTypeDS, false).Verdict ==
                         TzvDnssecVerdict::Insecure) {
      chain_.push_back(ancestor + ": no DS, under an NSEC3 opt-out span: unsigned delegation");
      return Result(TzvDnssecVerdict::Insecure, "");
    }
  }
  return Result(TzvDnssecVerdict::Bogus, name + ": the records are not signed");
}

TzvDnssecResult TzvDnssecValidator::DenialOf(const TzvDnsMessage& answer, const Bytes& name,
                                             std::int32_t type, bool nxdomain,
                                             int wildcard_labels) {
  // The authority section's NSEC and NSEC3 sets, each checked with its signer's keys.
  std::vector<const TzvDnsNSECRecord*> nsecs;
  std::vector<const TzvDnsNSEC3Record*> nsec3s;
  Bytes zone;
  for (const auto& record : answer.Authorities()) {
    const auto* nsec = dynamic_cast<const TzvDnsNSECRecord*>(record.get());
    const auto* nsec3 = dynamic_cast<const TzvDnsNSEC3Record*>(record.get());
    if (nsec == nullptr && nsec3 == nullptr) continue;
    const Bytes owner = DnssecCanonicalName(record->Name);
    const Signatures signatures = SignaturesIn(answer.Authorities(), owner, record->RecordType);
    if (signatures.empty())
      return Result(TzvDnssecVerdict::Bogus,
                    "the denial's " + DnsTypeText(record->RecordType) + " records are not signed");
    TzvDnssecResult result;
    const TZone* signer = ProvenZone(signatures.front()->SignerName, result, 0);
    if (signer == nullptr) return result;
    const TzvRRsetVerdict verdict = VerifyWithAny(
        RRsetIn(answer.Authorities(), owner, record->RecordType), signatures, signer->Keys, now_);
    if (verdict.Check != TzvRRsetCheck::Valid)
      return Result(TzvDnssecVerdict::Bogus,
                    "the denial's " + DnsTypeText(record->RecordType) + ": " + verdict.Reason);
    zone = DnssecCanonicalName(signatures.front()->SignerName);
    if (nsec != nullptr) nsecs.push_back(nsec);
    if (nsec3 != nullptr) nsec3s.push_back(nsec3);
  }
  if (nsecs.empty() && nsec3s.empty()) {
    // No proof at all: right for a name in an unsigned zone, and only there.
    std::string text;
    for (const Bytes& label : LabelsOf(name))
      text += (text.empty() ? "" : ".") + std::string(label.begin(), label.end());
    TzvDnssecResult result = InsecurityOf(text);
    if (result.Verdict == TzvDnssecVerdict::Bogus)
      result.Reason = "no NSEC or NSEC3 record proves the denial";
    return result;
  }
  const auto secure = [this](const std::string& proof) {
    chain_.push_back("denial proven by " + proof);
    return Result(TzvDnssecVerdict::Secure, "");
  };
  const std::vector<Bytes> labels = LabelsOf(name);

  if (!nsecs.empty()) {
    const auto matching = [&](const Bytes& wanted) -> const TzvDnsNSECRecord* {
      for (const auto* nsec : nsecs)
        if (DnssecCanonicalName(nsec->Name) == wanted) return nsec;
      return nullptr;
    };
    const auto covering = [&](const Bytes& wanted) -> const TzvDnsNSECRecord* {
      for (const auto* nsec : nsecs)
        if (Between(DnssecCanonicalName(nsec->Name), DnssecCanonicalName(nsec->NextDomainName),
                    wanted, CanonicalLess))
          return nsec;
      return nullptr;
    };
    if (wildcard_labels >= 0)
      return covering(name) != nullptr
                 ? secure("NSEC (no closer name than the wildcard)")
                 : Result(TzvDnssecVerdict::Bogus, "no NSEC proves the name itself does not exist");
    if (!nxdomain) {
      if (const auto* nsec = matching(name)) {
        if (!Holds(nsec->Types, type) && !Holds(nsec->Types, kzvDnsTypeCNAME))
          return secure("NSEC (no such type)");
        return Result(TzvDnssecVerdict::Bogus, "the NSEC says the type exists");
      }
    }
    const auto* cover = covering(name);
    if (cover == nullptr)
      return Result(TzvDnssecVerdict::Bogus, "no NSEC proves the name does not exist");
    // A name with nothing of its own but names below it (an empty non-terminal): the
    // covering NSEC leads to one of them.
    const Bytes next = DnssecCanonicalName(cover->NextDomainName);
    if (!nxdomain && next != name && IsDnsNameWithin(next, name))
      return secure("NSEC (a name with only names below it)");
    // The closest encloser, and its wildcard, which must not exist (or, for NODATA made
    // from a wildcard, must lack the type).
    const std::size_t common =
        std::max(CommonLabels(name, DnssecCanonicalName(cover->Name)),
                 CommonLabels(name, DnssecCanonicalName(cover->NextDomainName)));
    const Bytes wildcard = WildcardOf(NameOf(labels, std::min(common, labels.size())));
    if (const auto* star = matching(wildcard)) {
      if (!nxdomain && !Holds(star->Types, type) && !Holds(star->Types, kzvDnsTypeCNAME))
        return secure("NSEC (no such type at the wildcard)");
      return Result(TzvDnssecVerdict::Bogus, "a wildcard would have answered");
    }
    if (covering(wildcard) == nullptr)
      return Result(TzvDnssecVerdict::Bogus, "no NSEC proves the wildcard does not exist");
    return nxdomain ? secure("NSEC (no such name, no wildcard)")
                    : Result(TzvDnssecVerdict::Bogus, "NODATA for a name that does not exist");
  }

  // NSEC3: names are compared by their hashes.
  const TzvDnsNSEC3Record& params = *nsec3s.front();
  if (params.Iterations > kMaxNsec3Iterations) return Result(TzvDnssecVerdict::Insecure, "");
  const auto hash_of = [&](const Bytes& wanted) {
    const auto hash = Nsec3Hash(params.HashAlgorithm, params.Iterations, params.Salt, wanted);
    return hash ? LowerCase(Base32HexEncode(*hash)) : std::string();
  };
  const auto owner_hash = [](const TzvDnsNSEC3Record* nsec3) {
    const Bytes owner = DnssecCanonicalName(nsec3->Name);
    return owner.empty() ? std::string()
                         : std::string(owner.begin() + 1, owner.begin() + 1 + owner[0]);
  };
  const auto matching = [&](const Bytes& wanted) -> const TzvDnsNSEC3Record* {
    const std::string hash = hash_of(wanted);
    for (const auto* nsec3 : nsec3s)
      if (!hash.empty() && owner_hash(nsec3) == hash) return nsec3;
    return nullptr;
  };
  const auto covering = [&](const Bytes& wanted) -> const TzvDnsNSEC3Record* {
    const std::string hash = hash_of(wanted);
    for (const auto* nsec3 : nsec3s)
      if (!hash.empty() &&
          Between(owner_hash(nsec3), LowerCase(Base32HexEncode(nsec3->NextHashedOwner)), hash,
                  std::less<std::string>()))
        return nsec3;
    return nullptr;
  };
  if (!nxdomain && wildcard_labels < 0) {
    if (const auto* nsec3 = matching(name)) {
      if (!Holds(nsec3->Types, type) && !Holds(nsec3->Types, kzvDnsTypeCNAME))
        return secure("NSEC3 (no such type)");
      return Result(TzvDnssecVerdict::Bogus, "the NSEC3 says the type exists");
    }
  }
  // The closest encloser proof: an ancestor that exists, the next closer name that does
  // not, and (for no such name) no wildcard at the encloser.
  const std::size_t zone_labels = LabelsOf(zone).size();
  for (std::size_t count = labels.size() - 1; count >= zone_labels && count < labels.size();
       --count) {
    const Bytes encloser = NameOf(labels, count);
    if (wildcard_labels >= 0 && count != static_cast<std::size_t>(wildcard_labels)) continue;
    if (wildcard_labels < 0 && matching(encloser) == nullptr) continue;
    const auto* next_closer = covering(NameOf(labels, count + 1));
    if (next_closer == nullptr)
      return Result(TzvDnssecVerdict::Bogus, "no NSEC3 proves the next closer name does not exist");
    if (wildcard_labels >= 0) return secure("NSEC3 (no closer name than the wildcard)");
    // No DS at a delegation an opt-out span covers: an unsigned delegation may be there.
    if (!nxdomain && type == kzvDnsTypeDS && (next_closer->Flags & kzvNsec3OptOut) != 0)
      return Result(TzvDnssecVerdict::Insecure, "");
    const Bytes wildcard = WildcardOf(encloser);
    if (const auto* star = matching(wildcard)) {
      if (!nxdomain && !Holds(star->Types, type) && !Holds(star->Types, kzvDnsTypeCNAME))
        return secure("NSEC3 (no such type at the wildcard)");
      return Result(TzvDnssecVerdict::Bogus, "a wildcard would have answered");
    }
    if (covering(wildcard) != nullptr)
      return nxdomain ? secure("NSEC3 (no such name, no wildcard)")
                      : Result(TzvDnssecVerdict::Bogus, "NODATA for a name that does not exist");
    // An opt-out span may hide unsigned delegations: their absence is not proven.
    if ((next_closer->Flags & kzvNsec3OptOut) != 0) return Result(TzvDnssecVerdict::Insecure, "");
    return Result(TzvDnssecVerdict::Bogus, "no NSEC3 proves the wildcard does not exist");
  }
  return Result(TzvDnssecVerdict::Bogus, "no NSEC3 proves a closest encloser");
}
