// Feeds the DNSSEC validator a whole chain of answers: the input is a run of DNS messages,
// each after its length in two bytes (big-endian). The first is the answer to judge; every
// question the validator asks (a zone's DNSKEY or DS records) gets the next message, and
// when none is left, or the next one does not decode, the question fails as a lookup that
// got no answer does. So the fuzzer decides what each zone of the chain serves, from the
// answer's signatures up to the root, whose key (an Ed25519 key made from a fixed seed, the
// one the seeds are signed with) is the trust anchor.
//
// Beyond "no crash, no hang": nothing escapes ValidateAnswer (a failed question makes the
// verdict indeterminate); the validator asks only for keys and DS records; a secure verdict
// was reached from the trust anchor and, for records, through a signature; an insecure one
// has no reason, a bogus or indeterminate one always has. And a secure chain stays secure
// after a change only where no signature reaches: a few bytes of the messages it read are
// changed in turn (where is drawn from the input), and a verdict still secure means that
// every record set of their answer and authority sections that a signature of the chain's
// keys verified is still there, record for record in canonical form, under such a signature.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecChain.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"
#include "fuzz/FuzzCheck.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Inside the window of the seeds' signatures (2023-11-14 to 2027-01-15).
constexpr std::uint32_t kNow = 1750000000;

// The root's key: 257 3 15, tag 1789.
constexpr std::uint8_t kRootKey[] = {
    0xED, 0x2A, 0xA7, 0xBE, 0x90, 0xB6, 0x39, 0x7F, 0xC2, 0xF7, 0xCC, 0x2C, 0x24, 0x6D, 0x0F, 0x80,
    0x10, 0x78, 0xD5, 0x21, 0xD4, 0x2D, 0x19, 0xBD, 0xE1, 0x10, 0x48, 0x32, 0xFF, 0xC5, 0xE4, 0x2D};

// The same key as a DNSKEY and as a DS anchor, so both ways a chain starts are taken.
std::vector<std::unique_ptr<TzvDnsRecord>> Anchors() {
  auto key = std::make_unique<TzvDnsDNSKEYRecord>();
  key->Flags = kzvDnskeyZoneKey | kzvDnskeySecureEntryPoint;
  key->Algorithm = kzvDnssecEd25519;
  key->PublicKey.assign(std::begin(kRootKey), std::end(kRootKey));
  // The digest is of the root's name (one zero byte) and the key's data.
  std::vector<std::uint8_t> data = {0x00, 0x01, 0x01, 0x03, kzvDnssecEd25519};
  data.insert(data.end(), std::begin(kRootKey), std::end(kRootKey));
  static const auto digest = DnssecDigest(kzvDsDigestSha256, data);
  FUZZ_CHECK(digest.has_value());
  auto ds = std::make_unique<TzvDnsDSRecord>();
  ds->KeyTag = key->KeyTag();
  ds->Algorithm = kzvDnssecEd25519;
  ds->DigestType = kzvDsDigestSha256;
  ds->Digest = *digest;
  FUZZ_CHECK(DsMatchesKey(*ds, *key, ""));
  std::vector<std::unique_ptr<TzvDnsRecord>> anchors;
  anchors.push_back(std::move(key));
  anchors.push_back(std::move(ds));
  return anchors;
}

std::vector<std::span<const std::uint8_t>> SplitMessages(std::span<const std::uint8_t> input) {
  std::vector<std::span<const std::uint8_t>> messages;
  while (input.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(input[0] << 8 | input[1], input.size() - 2);
    messages.push_back(input.subspan(2, length));
    input = input.subspan(2 + length);
  }
  return messages;
}

// The message as a lookup hands it over: error replies (NXDOMAIN...) decoded whole count,
// a malformed message does not.
std::unique_ptr<TzvDnsMessage> Decode(std::span<const std::uint8_t> bytes) {
  auto message = std::make_unique<TzvDnsExtendedMessage>();
  TMemoryStream stream;
  stream.WriteBuffer(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  stream.SetPosition(0);
  try {
    message->Parse(stream);
  } catch (const EzvDnsError& e) {
    if (e.ErrorCode() < 1) return nullptr;
  }
  return message;
}

// Whether the answer section holds a record of which kind: a signature or other data.
bool Holds(const TzvDnsMessage& answer, bool signature) {
  for (const auto& record : answer.Answers())
    if ((record->RecordType == kzvDnsTypeRRSIG) == signature) return true;
  return false;
}

using Messages = std::vector<std::span<const std::uint8_t>>;

// The verdict on the first message with the others as the answers to the validator's
// questions, in turn; `asked` receives how many of them it used.
TzvDnssecResult Validate(const TzvDnsMessage& answer, const Messages& messages,
                         std::size_t& asked) {
  std::size_t next = 1;
  TzvDnssecAsk ask = [&](const std::string&, std::int32_t type) -> std::unique_ptr<TzvDnsMessage> {
    FUZZ_CHECK(type == kzvDnsTypeDNSKEY || type == kzvDnsTypeDS);
    if (next >= messages.size()) throw EzvSocketError(SzvTimeoutError, kzvErrTimeout);
    auto reply = Decode(messages[next++]);
    if (reply == nullptr) throw EzvDnsError(SzvDnsInvalidSize, kzvDnsErrInvalidSize);
    return reply;
  };
  TzvDnssecValidator validator(ask, Anchors(), kNow);
  // Every failure of the validator's own becomes a verdict: nothing may escape.
  TzvDnssecResult result = validator.ValidateAnswer(answer);
  asked = next - 1;
  return result;
}

// One record set of a message: section, owner in canonical form, type and class.
using SetKey = std::tuple<int, Bytes, std::int32_t, int>;

// The canonical forms a message's record sets were verified in: for each set of the answer
// and authority sections, the data each RRSIG over it signed (its fields, then the set's
// records) that one of `keys` verifies. A record whose owner has no canonical form belongs
// to no set.
std::map<SetKey, std::vector<Bytes>> SignedSets(const TzvDnsMessage& message,
                                                const std::vector<const TzvDnsDNSKEYRecord*>& keys,
                                                bool verify) {
  std::map<SetKey, std::vector<Bytes>> signed_sets;
  const TzvDnsRecordList* sections[] = {&message.Answers(), &message.Authorities()};
  for (int section = 0; section < 2; ++section) {
    std::map<SetKey, std::vector<const TzvDnsRecord*>> sets;
    std::vector<std::pair<SetKey, const TzvDnsRRSIGRecord*>> signatures;
    for (const auto& record : *sections[section]) {
      try {
        const Bytes owner = DnssecCanonicalName(record->Name);
        if (const auto* rrsig = dynamic_cast<const TzvDnsRRSIGRecord*>(record.get())) {
          signatures.emplace_back(SetKey{section, owner, rrsig->TypeCovered, rrsig->RecordClass},
                                  rrsig);
        } else {
          sets[SetKey{section, owner, record->RecordType, record->RecordClass}].push_back(
              record.get());
        }
      } catch (const EzvDnsError&) {
      }
    }
    for (const auto& [set, rrsig] : signatures) {
      const auto records = sets.find(set);
      if (records == sets.end()) continue;
      try {
        if (verify &&
            VerifyRRset(records->second, *rrsig, keys, kNow).Check != TzvRRsetCheck::Valid)
          continue;
        Bytes data = RRsetSignedData(*rrsig, records->second);
        data.insert(data.end(), rrsig->Signature.begin(), rrsig->Signature.end());
        signed_sets[set].push_back(std::move(data));
      } catch (const EzvDnsError&) {
      }
    }
  }
  return signed_sets;
}

// Whether every set `before` holds is still signed as it was in `after` (the sets of the
// changed message under every RRSIG, verified or not): one of its signed forms is there.
bool StillSigned(const std::map<SetKey, std::vector<Bytes>>& before,
                 const std::map<SetKey, std::vector<Bytes>>& after) {
  for (const auto& [set, forms] : before) {
    const auto now = after.find(set);
    if (now == after.end()) return false;
    bool kept = false;
    for (const Bytes& form : forms)
      kept = kept || std::find(now->second.begin(), now->second.end(), form) != now->second.end();
    if (!kept) return false;
  }
  return true;
}

// FNV-1a, to draw the changes from the input itself (so a crash reproduces from it).
std::uint64_t Hash(std::span<const std::uint8_t> bytes) {
  std::uint64_t hash = 14695981039346656037u;
  for (const std::uint8_t b : bytes) hash = (hash ^ b) * 1099511628211u;
  return hash;
}

constexpr int kChangesPerSecureChain = 8;

// The secure chain of `messages` (of which the validator read `asked` replies) with one
// byte changed at a time: secure again only if no signed set was touched.
void CheckChangesAfterSigning(std::span<const std::uint8_t> input, const Messages& messages,
                              std::size_t asked) {
  std::vector<std::unique_ptr<TzvDnsMessage>> decoded;
  std::vector<const TzvDnsDNSKEYRecord*> keys;
  const auto anchors = Anchors();
  keys.push_back(dynamic_cast<const TzvDnsDNSKEYRecord*>(anchors.front().get()));
  for (std::size_t i = 0; i <= asked; ++i) {
    decoded.push_back(Decode(messages[i]));
    if (decoded.back() == nullptr) continue;
    for (const TzvDnsRecordList* list : {&decoded.back()->Answers(), &decoded.back()->Authorities(),
                                         &decoded.back()->AdditionalRecords()})
      for (const auto& record : *list)
        if (const auto* key = dynamic_cast<const TzvDnsDNSKEYRecord*>(record.get()))
          keys.push_back(key);
  }
  std::uint64_t draw = Hash(input);
  for (int change = 0; change < kChangesPerSecureChain; ++change) {
    draw = draw * 6364136223846793005u + 1442695040888963407u;
    const std::size_t which = static_cast<std::size_t>(draw >> 40) % (asked + 1);
    if (decoded[which] == nullptr || messages[which].empty()) continue;
    Bytes changed(messages[which].begin(), messages[which].end());
    changed[static_cast<std::size_t>(draw >> 8) % changed.size()] ^=
        static_cast<std::uint8_t>(1 + (draw >> 32) % 255);
    const std::unique_ptr<TzvDnsMessage> message = Decode(changed);
    if (message == nullptr) continue;
    Messages chain = messages;
    chain[which] = changed;
    std::size_t unused = 0;
    const TzvDnsMessage& answer = which == 0 ? *message : *decoded[0];
    if (Validate(answer, chain, unused).Verdict != TzvDnssecVerdict::Secure) continue;
    FUZZ_CHECK(
        StillSigned(SignedSets(*decoded[which], keys, true), SignedSets(*message, keys, false)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto messages = SplitMessages({data, size});
  if (messages.empty()) return 0;
  const std::unique_ptr<TzvDnsMessage> answer = Decode(messages.front());
  if (answer == nullptr) return 0;

  std::size_t asked = 0;
  const TzvDnssecResult result = Validate(*answer, messages, asked);
  switch (result.Verdict) {
    case TzvDnssecVerdict::Secure: {
      FUZZ_CHECK(result.Reason.empty());
      // Only signatures make an answer secure, and only from the anchor down.
      FUZZ_CHECK(!Holds(*answer, false) || Holds(*answer, true));
      bool anchored = false;
      for (const std::string& line : result.Chain)
        anchored = anchored || line.ends_with(" is a trust anchor");
      FUZZ_CHECK(anchored);
      CheckChangesAfterSigning({data, size}, messages, asked);
      break;
    }
    case TzvDnssecVerdict::Insecure:
      FUZZ_CHECK(result.Reason.empty());
      break;
    case TzvDnssecVerdict::Bogus:
    case TzvDnssecVerdict::Indeterminate:
      FUZZ_CHECK(!result.Reason.empty());
      break;
  }
  return 0;
}
