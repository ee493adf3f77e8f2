// The bounds on the work one record set may ask of the validator: keys that share a tag
// (made here by swapping 16-bit words of one key, which keeps its tag) and piles of
// signatures are tried only so far.
#include "dns/zvDnssecVerify.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>

#include "dns/zvDnsMessage.h"
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

}  // namespace
