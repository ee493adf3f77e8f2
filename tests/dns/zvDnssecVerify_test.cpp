// The bounds on the work one record set may ask of the validator: keys that share a tag
// (made here by swapping 16-bit words of one key, which keeps its tag) and piles of
// signatures are tried only so far.
#include "dns/zvDnssecVerify.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <ctime>
#include <functional>
#include <memory>

#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecCrypto.h"

namespace {

TEST(DnssecVerifyBounds, KeysSharingATagAreTriedOnlySoFar) {
  TzvDnsARecord address;
  address.Name = "www.example";
  address.IPAddress = "192.0.2.1";
  const TzvDnsRecord* rrset[] = {&address};

  std::vector<std::unique_ptr<TzvDnsDNSKEYRecord>> keys;
  std::vector<std::uint8_t> key_bytes(32);
  for (std::size_t i = 0; i < key_bytes.size(); ++i)
    key_bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (std::size_t swap = 0; swap < 8; ++swap) {
    auto key = std::make_unique<TzvDnsDNSKEYRecord>();
    key->Name = "example";
    key->Flags = kzvDnskeyZoneKey;
    key->Algorithm = kzvDnssecEd25519;
    key->PublicKey = key_bytes;
    // Words 0 and 1+swap trade places: the sum the tag is made of stays the same.
    std::swap(key->PublicKey[0], key->PublicKey[2 + 2 * swap]);
    std::swap(key->PublicKey[1], key->PublicKey[3 + 2 * swap]);
    keys.push_back(std::move(key));
  }
  ASSERT_EQ(keys.front()->KeyTag(), keys.back()->KeyTag());

  TzvDnsRRSIGRecord rrsig;
  rrsig.Name = "www.example";
  rrsig.TypeCovered = kzvDnsTypeA;
  rrsig.Algorithm = kzvDnssecEd25519;
  rrsig.Labels = 2;
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  rrsig.Inception = now - 3600;
  rrsig.Expiration = now + 3600;
  rrsig.KeyTag = keys.front()->KeyTag();
  rrsig.SignerName = "example";
  rrsig.Signature.assign(64, 0x5A);

  std::vector<const TzvDnsDNSKEYRecord*> few, many;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i < static_cast<std::size_t>(kzvMaxKeysPerTag)) few.push_back(keys[i].get());
    many.push_back(keys[i].get());
  }
  EXPECT_EQ(VerifyRRset(rrset, rrsig, few, now).Reason, "RRSIG failed to verify");
  const TzvRRsetVerdict crowded = VerifyRRset(rrset, rrsig, many, now);
  EXPECT_EQ(crowded.Check, TzvRRsetCheck::Invalid);
  EXPECT_EQ(crowded.Reason, "too many DNSKEYs share the key tag " + std::to_string(rrsig.KeyTag));
}

// Signatures made with the zone's real key over data they do not fit: each case changes one
// thing and signs again, so only the rule it breaks can refuse it.
TEST(DnssecVerifyHostile, SignaturesThatDoNotFitTheirRecordsAreRefused) {
  std::uint8_t seed[32];
  for (std::uint8_t i = 0; i < sizeof seed; ++i) seed[i] = static_cast<std::uint8_t>(0x31 + i);
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> secret(
      EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, sizeof seed), EVP_PKEY_free);
  TzvDnsDNSKEYRecord key;
  key.Name = "example";
  key.Flags = kzvDnskeyZoneKey;
  key.Algorithm = kzvDnssecEd25519;
  std::size_t size = 32;
  key.PublicKey.resize(size);
  EVP_PKEY_get_raw_public_key(secret.get(), key.PublicKey.data(), &size);
  const TzvDnsDNSKEYRecord* keys[] = {&key};
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));

  struct TCase {
    const char* reason;  // empty for a valid signature
    std::function<void(TzvDnsARecord&, TzvDnsARecord&, TzvDnsRRSIGRecord&)> change;
  };
  const TCase cases[] = {
      {"", [](auto&, auto&, auto&) {}},
      {"", [](auto&, auto&, auto& sig) { sig.Labels = 1; }},  // made from *.example
      {"RRSIG claims a wildcard above its signer", [](auto&, auto&, auto& sig) { sig.Labels = 0; }},
      {"RRSIG has more labels than its owner", [](auto&, auto&, auto& sig) { sig.Labels = 3; }},
      {"RRSIG signer is not the owner or above it",
       [](auto&, auto&, auto& sig) { sig.SignerName = "other"; }},
      {"RRSIG belongs to another owner or class",
       [](auto&, auto&, auto& sig) { sig.Name = "mail.example"; }},
      {"the records are not one RRset", [](auto&, auto& b, auto&) { b.Name = "mail.example"; }},
      {"the records are not one RRset", [](auto&, auto& b, auto&) { b.RecordClass = rcChaos; }},
      {"DS RRSIG is signed by the child zone",
       [](auto& a, auto& b, auto& sig) {
         a.Name = b.Name = sig.Name = "example";
         a.RecordType = b.RecordType = sig.TypeCovered = kzvDnsTypeDS;
         sig.Labels = 1;
       }},
      {"DNSKEY RRSIG is not signed by its own zone",
       [](auto& a, auto& b, auto& sig) {
         a.RecordType = b.RecordType = sig.TypeCovered = kzvDnsTypeDNSKEY;
       }},
  };
  for (const TCase& c : cases) {
    TzvDnsARecord a, b;
    a.Name = b.Name = "www.example";
    a.IPAddress = "192.0.2.1";
    b.IPAddress = "192.0.2.2";
    TzvDnsRRSIGRecord sig;
    sig.Name = "www.example";
    sig.TypeCovered = kzvDnsTypeA;
    sig.Algorithm = kzvDnssecEd25519;
    sig.Labels = 2;
    sig.Inception = now - 3600;
    sig.Expiration = now + 3600;
    sig.KeyTag = key.KeyTag();
    sig.SignerName = "example";
    c.change(a, b, sig);
    const TzvDnsRecord* rrset[] = {&a, &b};
    const auto data = RRsetSignedData(sig, rrset);
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, secret.get());
    sig.Signature.resize(size = 64);
    EVP_DigestSign(context, sig.Signature.data(), &size, data.data(), data.size());
    EVP_MD_CTX_free(context);
    const TzvRRsetVerdict verdict = VerifyRRset(rrset, sig, keys, now);
    EXPECT_EQ(verdict.Reason, c.reason);
    EXPECT_EQ(verdict.Check, *c.reason ? TzvRRsetCheck::Malformed : TzvRRsetCheck::Valid);
  }
}

}  // namespace
