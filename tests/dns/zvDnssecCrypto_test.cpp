// DNSSEC's signature checks and DS digests: keys made and data signed by OpenSSL here, in
// the test, then handed over in the wire forms of DNSKEY and RRSIG records, so that what
// is checked is our conversion of those forms; and the root's published key and DS.
#include "dns/zvDnssecCrypto.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Check = TzvSignatureCheck;

struct TKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;

TKey MakeKey(const char* type, const char* parameter = nullptr, int bits = 0) {
  EVP_PKEY* key = nullptr;
  if (bits != 0)
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, type, static_cast<size_t>(bits));
  else if (parameter != nullptr)
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, type, parameter);
  else
    key = EVP_PKEY_Q_keygen(nullptr, nullptr, type);
  return TKey(key);
}

Bytes BignumParam(EVP_PKEY* key, const char* name) {
  BIGNUM* value = nullptr;
  EVP_PKEY_get_bn_param(key, name, &value);
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, bytes.data());
  BN_free(value);
  return bytes;
}

// The key's public half as a DNSKEY record carries it.
Bytes WireKey(EVP_PKEY* key, std::uint8_t algorithm) {
  switch (algorithm) {
    case kzvDnssecRsaSha256:
    case kzvDnssecRsaSha512: {
      const Bytes e = BignumParam(key, OSSL_PKEY_PARAM_RSA_E);
      Bytes wire{static_cast<std::uint8_t>(e.size())};
      wire.insert(wire.end(), e.begin(), e.end());
      const Bytes n = BignumParam(key, OSSL_PKEY_PARAM_RSA_N);
      wire.insert(wire.end(), n.begin(), n.end());
      return wire;
    }
    case kzvDnssecEcdsaP256:
    case kzvDnssecEcdsaP384: {
      Bytes point(200);
      std::size_t size = 0;
      EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                      point.size(), &size);
      return Bytes(point.begin() + 1, point.begin() + static_cast<long>(size));  // no 0x04
    }
    default: {
      std::size_t size = 0;
      EVP_PKEY_get_raw_public_key(key, nullptr, &size);
      Bytes raw(size);
      EVP_PKEY_get_raw_public_key(key, raw.data(), &size);
      return raw;
    }
  }
}

// A signature over `data` as an RRSIG record carries it (ECDSA as r and s side by side).
Bytes WireSignature(EVP_PKEY* key, std::uint8_t algorithm, const Bytes& data) {
  const EVP_MD* digest = algorithm == kzvDnssecRsaSha256 || algorithm == kzvDnssecEcdsaP256
                             ? EVP_sha256()
                         : algorithm == kzvDnssecRsaSha512 ? EVP_sha512()
                         : algorithm == kzvDnssecEcdsaP384 ? EVP_sha384()
                                                           : nullptr;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestSignInit(context, nullptr, digest, nullptr, key);
  std::size_t size = 0;
  EVP_DigestSign(context, nullptr, &size, data.data(), data.size());
  Bytes signature(size);
  EVP_DigestSign(context, signature.data(), &size, data.data(), data.size());
  EVP_MD_CTX_free(context);
  signature.resize(size);
  if (algorithm != kzvDnssecEcdsaP256 && algorithm != kzvDnssecEcdsaP384) return signature;
  const std::size_t half = algorithm == kzvDnssecEcdsaP256 ? 32 : 48;
  const std::uint8_t* der = signature.data();
  ECDSA_SIG* pair = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(signature.size()));
  Bytes wire(2 * half);
  BN_bn2binpad(ECDSA_SIG_get0_r(pair), wire.data(), static_cast<int>(half));
  BN_bn2binpad(ECDSA_SIG_get0_s(pair), wire.data() + half, static_cast<int>(half));
  ECDSA_SIG_free(pair);
  return wire;
}

Bytes FromBase64(const std::string& text) {
  Bytes bytes(text.size());
  const int size =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  const std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
  bytes.resize(static_cast<std::size_t>(size) - padding);
  return bytes;
}

TEST(DnssecSignatures, EveryAlgorithmChecksWhatItsKeySignedAndNothingElse) {
  struct TCase {
    std::uint8_t algorithm;
    TKey key;
  };
  TCase cases[] = {{kzvDnssecRsaSha256, MakeKey("RSA", nullptr, 2048)},
                   {kzvDnssecRsaSha512, MakeKey("RSA", nullptr, 1024)},
                   {kzvDnssecEcdsaP256, MakeKey("EC", "P-256")},
                   {kzvDnssecEcdsaP384, MakeKey("EC", "P-384")},
                   {kzvDnssecEd25519, MakeKey("ED25519")},
                   {kzvDnssecEd448, MakeKey("ED448")}};
  const Bytes data = {0x00, 0x01, 0x0d, 0x02, 'r', 'r', 's', 'e', 't'};
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.algorithm));
    ASSERT_NE(c.key, nullptr);
    ASSERT_TRUE(IsSupportedDnssecAlgorithm(c.algorithm));
    const Bytes key = WireKey(c.key.get(), c.algorithm);
    const Bytes signature = WireSignature(c.key.get(), c.algorithm, data);
    EXPECT_EQ(CheckDnssecSignature(c.algorithm, key, data, signature), Check::Valid);
    Bytes changed = data;
    changed.back() ^= 1;
    EXPECT_EQ(CheckDnssecSignature(c.algorithm, key, changed, signature), Check::Invalid);
    Bytes forged = signature;
    forged[forged.size() / 2] ^= 0x80;
    EXPECT_EQ(CheckDnssecSignature(c.algorithm, key, data, forged), Check::Invalid);
    // Malformed for the algorithm: a byte short.
    const Bytes short_signature(signature.begin(), signature.end() - 1);
    EXPECT_EQ(CheckDnssecSignature(c.algorithm, key, data, short_signature), Check::BadSignature);
    const Bytes short_key(key.begin(), key.end() - 1);
    const Check cut = CheckDnssecSignature(c.algorithm, short_key, data, signature);
    EXPECT_TRUE(cut == Check::BadKey || cut == Check::BadSignature);
    EXPECT_EQ(CheckDnssecSignature(c.algorithm, {}, data, signature), Check::BadKey);
  }
  EXPECT_FALSE(IsSupportedDnssecAlgorithm(3));  // DSA: no longer validated
  EXPECT_EQ(CheckDnssecSignature(3, Bytes(20), data, Bytes(41)), Check::Unsupported);
  EXPECT_EQ(CheckDnssecSignature(253, Bytes(20), data, Bytes(41)), Check::Unsupported);
}

TEST(DnssecSignatures, MalformedRsaKeysAreRefused) {
  const Bytes data = {1, 2, 3};
  // A two-byte exponent length (after a zero), an exponent that leaves no modulus, and a
  // modulus past 4096 bits.
  EXPECT_EQ(CheckDnssecSignature(kzvDnssecRsaSha256, Bytes{0, 0}, data, Bytes(256)), Check::BadKey);
  EXPECT_EQ(CheckDnssecSignature(kzvDnssecRsaSha256, Bytes{3, 1, 0, 1}, data, Bytes(256)),
            Check::BadKey);
  Bytes huge{1, 3};
  huge.resize(2 + 513, 0xFF);
  EXPECT_EQ(CheckDnssecSignature(kzvDnssecRsaSha256, huge, data, Bytes(513)), Check::BadKey);
  // An exponent past 4096 bits, and one with a leading zero, before a 2048-bit modulus.
  Bytes long_exponent{0, 0x02, 0x01};
  long_exponent.resize(3 + 513 + 256, 0xFF);
  EXPECT_EQ(CheckDnssecSignature(kzvDnssecRsaSha256, long_exponent, data, Bytes(256)),
            Check::BadKey);
  Bytes padded_exponent{2, 0, 3};
  padded_exponent.resize(3 + 256, 0xFF);
  EXPECT_EQ(CheckDnssecSignature(kzvDnssecRsaSha256, padded_exponent, data, Bytes(256)),
            Check::BadKey);
}

TEST(DsDigests, TheRootKeysDigestIsTheOneIanaPublishes) {
  // KSK-2017 (tag 20326): owner "." (one zero byte), flags 257, protocol 3, algorithm 8.
  Bytes data = {0x00, 0x01, 0x01, 0x03, 0x08};
  const Bytes key = FromBase64(
      "AwEAAaz/tAm8yTn4Mfeh5eyI96WSVexTBAvkMgJzkKTOiW1vkIbzxeF3+/4RgWOq7HrxRixHlFlExOLAJr5emLvN"
      "7SWXgnLh4+B5xQlNVz8Og8kvArMtNROxVQuCaSnIDdD5LKyWbRd2n9WGe2R8PzgCmr3EgVLrjyBxWezF0jLHwVN8"
      "efS3rCj/EWgvIWgb9tarpVUDK/b58Da+sqqls3eNbuv7pr+eoZG+SrDK6nWeL3c6H5Apxz7LjVc1uTIdsIXxuOLY"
      "A4/ilBmSVIzuDWfdRUfhHdY6+cn8HFRm+2hM8AnXGXws9555KrUB5qihylGa8subX2Nn6UwNR1AkUTV74bU=");
  data.insert(data.end(), key.begin(), key.end());
  const auto digest = DnssecDigest(kzvDsDigestSha256, data);
  ASSERT_TRUE(digest.has_value());
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (const std::uint8_t byte : *digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  EXPECT_EQ(hex, "E06D44B80B8F1D39A95C0B0D7C65D08458E880409BBC683457104237C7F8EC8D");
  EXPECT_EQ(DnssecDigest(kzvDsDigestSha1, data)->size(), 20u);
  EXPECT_EQ(DnssecDigest(kzvDsDigestSha384, data)->size(), 48u);
  EXPECT_FALSE(DnssecDigest(3, data).has_value());  // GOST: not offered
}

}  // namespace
