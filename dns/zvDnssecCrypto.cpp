#include "dns/zvDnssecCrypto.h"

#include <memory>
#include <string>

#include "dns/zvUtils.h"
#include "net/zvGnutls.h"

namespace {

// GnuTLS is loaded the first time a signature or digest is needed: a lookup without
// --dnssec never does.
const TzvGnutls& Crypto() {
  const TzvGnutls& gnutls = Gnutls();
  if (!gnutls.Failure.empty())
    throw EzvDnsError("DNSSEC needs GnuTLS's libgnutls.so.30: " + gnutls.Failure,
                      kzvDnsErrInvalidSize);
  return gnutls;
}

using Bytes = std::span<const std::uint8_t>;

gnutls_datum_t Datum(Bytes bytes) {
  return {const_cast<unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size())};
}

// A public key, freed however a check ends.
struct TPublicKeyFree {
  void operator()(gnutls_pubkey_st* key) const { Crypto().gnutls_pubkey_deinit(key); }
};
using TPublicKey = std::unique_ptr<gnutls_pubkey_st, TPublicKeyFree>;

TPublicKey NewKey() {
  gnutls_pubkey_t key = nullptr;
  if (Crypto().gnutls_pubkey_init(&key) < 0) return nullptr;
  return TPublicKey(key);
}

// The largest RSA modulus and exponent a zone may sign with (RFC 3110 limits both to 4096
// bits); larger ones would only make a hostile answer cost more to check.
constexpr std::size_t kMaxRsaModulusBytes = 4096 / 8;
constexpr std::size_t kMaxRsaExponentBytes = 4096 / 8;

// RFC 3110: the exponent's length in one byte (or, after a zero, in two), the exponent,
// then the modulus. `modulus_size` receives the modulus's length, which a signature
// must match.
TPublicKey RsaKey(Bytes wire, std::size_t& modulus_size) {
  std::size_t at = 0;
  if (wire.empty()) return nullptr;
  std::size_t exponent_size = wire[0];
  at = 1;
  if (exponent_size == 0) {
    if (wire.size() < 3) return nullptr;
    exponent_size = std::size_t{wire[1]} << 8 | wire[2];
    at = 3;
  }
  if (exponent_size == 0 || wire.size() - at <= exponent_size) return nullptr;
  const Bytes exponent = wire.subspan(at, exponent_size);
  const Bytes modulus = wire.subspan(at + exponent_size);
  // Refused before GnuTLS sees them: with a long exponent every check of a signature costs
  // as much as making one. Leading zeros are malformed (RFC 3110), so the length is the size.
  if (exponent.size() > kMaxRsaExponentBytes || exponent[0] == 0) return nullptr;
  if (modulus.size() > kMaxRsaModulusBytes || modulus[0] == 0) return nullptr;
  modulus_size = modulus.size();
  TPublicKey key = NewKey();
  const gnutls_datum_t n = Datum(modulus);
  const gnutls_datum_t e = Datum(exponent);
  if (!key || Crypto().gnutls_pubkey_import_rsa_raw(key.get(), &n, &e) < 0) return nullptr;
  return key;
}

// RFC 6605: the point's two coordinates, each as long as the curve's field; RFC 8080: the
// point's one encoding.
TPublicKey CurveKey(gnutls_ecc_curve_t curve, Bytes x, Bytes y) {
  TPublicKey key = NewKey();
  const gnutls_datum_t x_datum = Datum(x);
  const gnutls_datum_t y_datum = Datum(y);
  if (!key || Crypto().gnutls_pubkey_import_ecc_raw(key.get(), curve, &x_datum,
                                                    y.empty() ? nullptr : &y_datum) < 0)
    return nullptr;
  return key;
}

TzvSignatureCheck Verify(gnutls_pubkey_t key, gnutls_sign_algorithm_t algorithm, Bytes data,
                         Bytes signature) {
  const gnutls_datum_t message = Datum(data);
  const gnutls_datum_t signed_value = Datum(signature);
  // RSA/SHA-1 zones are still validated, as RFC 8624 allows; GnuTLS refuses SHA-1
  // signatures unless told.
  const int result = Crypto().gnutls_pubkey_verify_data2(
      key, algorithm, GNUTLS_VERIFY_ALLOW_SIGN_WITH_SHA1, &message, &signed_value);
  return result >= 0 ? TzvSignatureCheck::Valid : TzvSignatureCheck::Invalid;
}

TzvSignatureCheck CheckRsa(gnutls_sign_algorithm_t algorithm, Bytes public_key, Bytes data,
                           Bytes signature) {
  std::size_t modulus_size = 0;
  const TPublicKey key = RsaKey(public_key, modulus_size);
  if (!key) return TzvSignatureCheck::BadKey;
  if (signature.size() != modulus_size) return TzvSignatureCheck::BadSignature;
  return Verify(key.get(), algorithm, data, signature);
}

TzvSignatureCheck CheckEcdsa(gnutls_ecc_curve_t curve, std::size_t size,
                             gnutls_sign_algorithm_t algorithm, Bytes public_key, Bytes data,
                             Bytes signature) {
  if (public_key.size() != 2 * size) return TzvSignatureCheck::BadKey;
  const TPublicKey key = CurveKey(curve, public_key.first(size), public_key.subspan(size));
  if (!key) return TzvSignatureCheck::BadKey;
  if (signature.size() != 2 * size) return TzvSignatureCheck::BadSignature;
  // RFC 6605's signature is r and s side by side; GnuTLS takes them DER-encoded.
  const gnutls_datum_t r = Datum(signature.first(size));
  const gnutls_datum_t s = Datum(signature.subspan(size));
  gnutls_datum_t der{};
  if (Crypto().gnutls_encode_rs_value(&der, &r, &s) < 0) return TzvSignatureCheck::BadSignature;
  const TzvSignatureCheck check = Verify(key.get(), algorithm, data, Bytes(der.data, der.size));
  Crypto().Free(der.data);
  return check;
}

TzvSignatureCheck CheckEddsa(gnutls_ecc_curve_t curve, gnutls_sign_algorithm_t algorithm,
                             std::size_t key_size, std::size_t signature_size, Bytes public_key,
                             Bytes data, Bytes signature) {
  if (public_key.size() != key_size) return TzvSignatureCheck::BadKey;
  const TPublicKey key = CurveKey(curve, public_key, {});
  if (!key) return TzvSignatureCheck::BadKey;
  if (signature.size() != signature_size) return TzvSignatureCheck::BadSignature;
  return Verify(key.get(), algorithm, data, signature);
}

gnutls_digest_algorithm_t DsDigest(std::uint8_t digest_type) {
  switch (digest_type) {
    case kzvDsDigestSha1:
      return GNUTLS_DIG_SHA1;
    case kzvDsDigestSha256:
      return GNUTLS_DIG_SHA256;
    case kzvDsDigestSha384:
      return GNUTLS_DIG_SHA384;
    default:
      return GNUTLS_DIG_UNKNOWN;
  }
}

}  // namespace

bool IsSupportedDnssecAlgorithm(std::uint8_t algorithm) {
  switch (algorithm) {
    case kzvDnssecRsaSha1:
    case kzvDnssecRsaSha1Nsec3:
    case kzvDnssecRsaSha256:
    case kzvDnssecRsaSha512:
    case kzvDnssecEcdsaP256:
    case kzvDnssecEcdsaP384:
    case kzvDnssecEd25519:
    case kzvDnssecEd448:
      return true;
    default:
      return false;
  }
}

TzvSignatureCheck CheckDnssecSignature(std::uint8_t algorithm, Bytes public_key, Bytes data,
                                       Bytes signature) {
  switch (algorithm) {
    case kzvDnssecRsaSha1:
    case kzvDnssecRsaSha1Nsec3:
      return CheckRsa(GNUTLS_SIGN_RSA_SHA1, public_key, data, signature);
    case kzvDnssecRsaSha256:
      return CheckRsa(GNUTLS_SIGN_RSA_SHA256, public_key, data, signature);
    case kzvDnssecRsaSha512:
      return CheckRsa(GNUTLS_SIGN_RSA_SHA512, public_key, data, signature);
    case kzvDnssecEcdsaP256:
      return CheckEcdsa(GNUTLS_ECC_CURVE_SECP256R1, 32, GNUTLS_SIGN_ECDSA_SHA256, public_key, data,
                        signature);
    case kzvDnssecEcdsaP384:
      return CheckEcdsa(GNUTLS_ECC_CURVE_SECP384R1, 48, GNUTLS_SIGN_ECDSA_SHA384, public_key, data,
                        signature);
    case kzvDnssecEd25519:
      return CheckEddsa(GNUTLS_ECC_CURVE_ED25519, GNUTLS_SIGN_EDDSA_ED25519, 32, 64, public_key,
                        data, signature);
    case kzvDnssecEd448:
      return CheckEddsa(GNUTLS_ECC_CURVE_ED448, GNUTLS_SIGN_EDDSA_ED448, 57, 114, public_key, data,
                        signature);
    default:
      return TzvSignatureCheck::Unsupported;
  }
}

std::optional<std::vector<std::uint8_t>> DnssecDigest(std::uint8_t digest_type, Bytes data) {
  const gnutls_digest_algorithm_t digest = DsDigest(digest_type);
  if (digest == GNUTLS_DIG_UNKNOWN) return std::nullopt;
  const TzvGnutls& crypto = Crypto();
  std::vector<std::uint8_t> out(crypto.gnutls_hash_get_len(digest));
  if (crypto.gnutls_hash_fast(digest, data.data(), data.size(), out.data()) < 0)
    return std::nullopt;
  return out;
}

std::optional<std::vector<std::uint8_t>> Nsec3Hash(std::uint8_t algorithm, std::uint16_t iterations,
                                                   Bytes salt, Bytes name) {
  if (algorithm != 1) return std::nullopt;
  const TzvGnutls& crypto = Crypto();
  gnutls_hash_hd_t hash = nullptr;
  if (crypto.gnutls_hash_init(&hash, GNUTLS_DIG_SHA1) < 0) return std::nullopt;
  // One context for every round: taking its output makes it new again.
  std::vector<std::uint8_t> digest(20);
  bool hashed = crypto.gnutls_hash(hash, name.data(), name.size()) >= 0 &&
                crypto.gnutls_hash(hash, salt.data(), salt.size()) >= 0;
  if (hashed) crypto.gnutls_hash_output(hash, digest.data());
  for (int round = 0; hashed && round < iterations; ++round) {
    hashed = crypto.gnutls_hash(hash, digest.data(), digest.size()) >= 0 &&
             crypto.gnutls_hash(hash, salt.data(), salt.size()) >= 0;
    if (hashed) crypto.gnutls_hash_output(hash, digest.data());
  }
  crypto.gnutls_hash_deinit(hash, nullptr);
  if (!hashed) return std::nullopt;
  return digest;
}
