// Feeds the DNSSEC validator a whole chain of answers: the input is a run of DNS messages,
// each after its length in two bytes (big-endian). The first is the answer to judge; every
// question the validator asks (a zone's DNSKEY or DS records) gets the next message, and
// when none is left, or the next one does not decode, the question fails as a lookup that
// got no answer does. So the fuzzer decides what each zone of the chain serves, from the
// answer's signatures up to the root, whose key (an Ed25519 key made from a fixed seed, the
// one the seeds are signed with) is the trust anchor.
//
// Beyond "no crash, no hang": nothing escapes ValidateAnswer but the codec's error for an
// answer whose owner names have no canonical form (a failed question makes the verdict
// indeterminate); the validator asks only for keys and DS records; a secure verdict
// was reached from the trust anchor and, for records, through a signature; an insecure one
// has no reason, a bogus or indeterminate one always has.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecChain.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"
#include "fuzz/FuzzCheck.h"

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto messages = SplitMessages({data, size});
  if (messages.empty()) return 0;
  const std::unique_ptr<TzvDnsMessage> answer = Decode(messages.front());
  if (answer == nullptr) return 0;

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
  const TzvDnssecResult result = validator.ValidateAnswer(*answer);

  switch (result.Verdict) {
    case TzvDnssecVerdict::Secure: {
      FUZZ_CHECK(result.Reason.empty());
      // Only signatures make an answer secure, and only from the anchor down.
      FUZZ_CHECK(!Holds(*answer, false) || Holds(*answer, true));
      bool anchored = false;
      for (const std::string& line : result.Chain)
        anchored = anchored || line.ends_with(" is a trust anchor");
      FUZZ_CHECK(anchored);
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
