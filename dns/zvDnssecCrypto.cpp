#include "dns/zvDnssecCrypto.h"

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <string>

#include "dns/zvUtils.h"

namespace {

// libcrypto is loaded the first time a signature or digest is needed: a lookup without
// --dnssec never does, and loading it at start-up would more than double the companion's
// start-up work.
#define PELLAMAR_CRYPTO_FUNCTIONS(X)  \
  X(BN_bin2bn)                        \
  X(BN_free)                          \
  X(OSSL_PARAM_BLD_new)               \
  X(OSSL_PARAM_BLD_free)              \
  X(OSSL_PARAM_BLD_push_BN)           \
  X(OSSL_PARAM_BLD_push_utf8_string)  \
  X(OSSL_PARAM_BLD_push_octet_string) \
  X(OSSL_PARAM_BLD_to_param)          \
  X(OSSL_PARAM_free)                  \
  X(EVP_PKEY_CTX_new_from_name)       \
  X(EVP_PKEY_CTX_free)                \
  X(EVP_PKEY_fromdata_init)           \
  X(EVP_PKEY_fromdata)                \
  X(EVP_PKEY_free)                    \
  X(EVP_PKEY_new_raw_public_key)      \
  X(ECDSA_SIG_new)                    \
  X(ECDSA_SIG_free)                   \
  X(ECDSA_SIG_set0)                   \
  X(i2d_ECDSA_SIG)                    \
  X(EVP_MD_CTX_new)                   \
  X(EVP_MD_CTX_free)                  \
  X(EVP_DigestVerifyInit)             \
  X(EVP_DigestVerify)                 \
  X(EVP_sha1)                         \
  X(EVP_sha256)                       \
  X(EVP_sha384)                       \
  X(EVP_sha512)                       \
  X(EVP_MD_get_size)                  \
  X(EVP_Digest)

struct TCrypto {
#define PELLAMAR_DECLARE(name) decltype(&::name) name = nullptr;
  PELLAMAR_CRYPTO_FUNCTIONS(PELLAMAR_DECLARE)
#undef PELLAMAR_DECLARE
  std::string failure;  // why it could not be loaded, when it could not
};

const TCrypto& Crypto() {
  static const TCrypto loaded = [] {
    TCrypto crypto;
    void* library = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);  // kept for good
    bool complete = library != nullptr;
#define PELLAMAR_BIND(name) \
  if (complete)             \
    complete =              \
        (crypto.name = reinterpret_cast<decltype(&::name)>(::dlsym(library, #name))) != nullptr;
    PELLAMAR_CRYPTO_FUNCTIONS(PELLAMAR_BIND)
#undef PELLAMAR_BIND
    if (!complete) {
      const char* reason = ::dlerror();
      crypto.failure = reason != nullptr ? reason : "libcrypto.so.3 is incomplete";
    }
    return crypto;
  }();
  if (!loaded.failure.empty())
    throw EzvDnsError("DNSSEC needs OpenSSL's libcrypto.so.3: " + loaded.failure,
                      kzvDnsErrInvalidSize);
  return loaded;
}

// OpenSSL's objects, freed however a check ends.
#define PELLAMAR_DELETER(Type, name)                               \
  struct T##name##Free {                                           \
    void operator()(Type* object) const { Crypto().name(object); } \
  };
PELLAMAR_DELETER(EVP_PKEY, EVP_PKEY_free)
PELLAMAR_DELETER(EVP_PKEY_CTX, EVP_PKEY_CTX_free)
PELLAMAR_DELETER(EVP_MD_CTX, EVP_MD_CTX_free)
PELLAMAR_DELETER(OSSL_PARAM_BLD, OSSL_PARAM_BLD_free)
PELLAMAR_DELETER(OSSL_PARAM, OSSL_PARAM_free)
PELLAMAR_DELETER(BIGNUM, BN_free)
PELLAMAR_DELETER(ECDSA_SIG, ECDSA_SIG_free)
#undef PELLAMAR_DELETER
using TPkey = std::unique_ptr<EVP_PKEY, TEVP_PKEY_freeFree>;
using TPkeyContext = std::unique_ptr<EVP_PKEY_CTX, TEVP_PKEY_CTX_freeFree>;
using TDigestContext = std::unique_ptr<EVP_MD_CTX, TEVP_MD_CTX_freeFree>;
using TParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, TOSSL_PARAM_BLD_freeFree>;
using TParams = std::unique_ptr<OSSL_PARAM, TOSSL_PARAM_freeFree>;
using TBignum = std::unique_ptr<BIGNUM, TBN_freeFree>;
using TEcdsaSignature = std::unique_ptr<ECDSA_SIG, TECDSA_SIG_freeFree>;

using Bytes = std::span<const std::uint8_t>;

// The largest RSA modulus and exponent a zone may sign with (RFC 3110 limits both to 4096
// bits); larger ones would only make a hostile answer cost more to check.
constexpr std::size_t kMaxRsaModulusBytes = 4096 / 8;
constexpr std::size_t kMaxRsaExponentBytes = 4096 / 8;

TBignum Bignum(Bytes bytes) {
  return TBignum(Crypto().BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

// A public key from the parameters `build` puts together, for the key type `name`.
template <class Build>
TPkey KeyFromParameters(const char* name, Build build) {
  TParamBuilder builder(Crypto().OSSL_PARAM_BLD_new());
  if (!builder || !build(builder.get())) return nullptr;
  TParams params(Crypto().OSSL_PARAM_BLD_to_param(builder.get()));
  TPkeyContext context(Crypto().EVP_PKEY_CTX_new_from_name(nullptr, name, nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !context || Crypto().EVP_PKEY_fromdata_init(context.get()) != 1 ||
      Crypto().EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return TPkey(key);
}

// RFC 3110: the exponent's length in one byte (or, after a zero, in two), the exponent,
// then the modulus. `modulus_size` receives the modulus's length, which a signature
// must match.
TPkey RsaKey(Bytes wire, std::size_t& modulus_size) {
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
  // Refused before OpenSSL sees them: with a long exponent every check of a signature costs
  // as much as making one. Leading zeros are malformed (RFC 3110), so the length is the size.
  if (exponent.size() > kMaxRsaExponentBytes || exponent[0] == 0) return nullptr;
  if (modulus.size() > kMaxRsaModulusBytes || modulus[0] == 0) return nullptr;
  modulus_size = modulus.size();
  const TBignum n = Bignum(modulus);
  const TBignum e = Bignum(exponent);
  if (!n || !e) return nullptr;
  return KeyFromParameters("RSA", [&](OSSL_PARAM_BLD* builder) {
    return Crypto().OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
           Crypto().OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e.get()) == 1;
  });
}

// RFC 6605: the point's two coordinates, each as long as the curve's field.
TPkey EcdsaKey(Bytes wire, const char* group, std::size_t coordinate_size) {
  if (wire.size() != 2 * coordinate_size) return nullptr;
  std::string point(1, '\x04');  // uncompressed
  point.append(reinterpret_cast<const char*>(wire.data()), wire.size());
  return KeyFromParameters("EC", [&](OSSL_PARAM_BLD* builder) {
    return Crypto().OSSL_PARAM_BLD_push_utf8_string(builder, OSSL_PKEY_PARAM_GROUP_NAME, group,
                                                    0) == 1 &&
           Crypto().OSSL_PARAM_BLD_push_octet_string(builder, OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                                     point.size()) == 1;
  });
}

// RFC 6605's signature is r and s side by side; OpenSSL takes them DER-encoded.
std::vector<std::uint8_t> EcdsaDer(Bytes signature) {
  const std::size_t half = signature.size() / 2;
  TEcdsaSignature pair(Crypto().ECDSA_SIG_new());
  BIGNUM* r = Crypto().BN_bin2bn(signature.data(), static_cast<int>(half), nullptr);
  BIGNUM* s = Crypto().BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr);
  if (!pair || r == nullptr || s == nullptr || Crypto().ECDSA_SIG_set0(pair.get(), r, s) != 1) {
    Crypto().BN_free(r);
    Crypto().BN_free(s);
    return {};
  }
  const int size = Crypto().i2d_ECDSA_SIG(pair.get(), nullptr);
  if (size <= 0) return {};
  std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
  std::uint8_t* out = der.data();
  if (Crypto().i2d_ECDSA_SIG(pair.get(), &out) != size) return {};
  return der;
}

TzvSignatureCheck Verify(EVP_PKEY* key, const EVP_MD* digest, Bytes data, Bytes signature) {
  TDigestContext context(Crypto().EVP_MD_CTX_new());
  if (!context || Crypto().EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr, key) != 1)
    return TzvSignatureCheck::BadKey;
  // One call: EdDSA takes the whole message at once, and the others do not mind.
  const int result = Crypto().EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                                               data.data(), data.size());
  return result == 1 ? TzvSignatureCheck::Valid : TzvSignatureCheck::Invalid;
}

TzvSignatureCheck CheckRsa(const EVP_MD* digest, Bytes public_key, Bytes data, Bytes signature) {
  std::size_t modulus_size = 0;
  const TPkey key = RsaKey(public_key, modulus_size);
  if (!key) return TzvSignatureCheck::BadKey;
  if (signature.size() != modulus_size) return TzvSignatureCheck::BadSignature;
  return Verify(key.get(), digest, data, signature);
}

TzvSignatureCheck CheckEcdsa(const char* group, std::size_t size, const EVP_MD* digest,
                             Bytes public_key, Bytes data, Bytes signature) {
  const TPkey key = EcdsaKey(public_key, group, size);
  if (!key) return TzvSignatureCheck::BadKey;
  if (signature.size() != 2 * size) return TzvSignatureCheck::BadSignature;
  const std::vector<std::uint8_t> der = EcdsaDer(signature);
  if (der.empty()) return TzvSignatureCheck::BadSignature;
  return Verify(key.get(), digest, data, der);
}

TzvSignatureCheck CheckEddsa(int type, std::size_t key_size, std::size_t signature_size,
                             Bytes public_key, Bytes data, Bytes signature) {
  if (public_key.size() != key_size) return TzvSignatureCheck::BadKey;
  const TPkey key(
      Crypto().EVP_PKEY_new_raw_public_key(type, nullptr, public_key.data(), public_key.size()));
  if (!key) return TzvSignatureCheck::BadKey;
  if (signature.size() != signature_size) return TzvSignatureCheck::BadSignature;
  return Verify(key.get(), nullptr, data, signature);
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
      return CheckRsa(Crypto().EVP_sha1(), public_key, data, signature);
    case kzvDnssecRsaSha256:
      return CheckRsa(Crypto().EVP_sha256(), public_key, data, signature);
    case kzvDnssecRsaSha512:
      return CheckRsa(Crypto().EVP_sha512(), public_key, data, signature);
    case kzvDnssecEcdsaP256:
      return CheckEcdsa("P-256", 32, Crypto().EVP_sha256(), public_key, data, signature);
    case kzvDnssecEcdsaP384:
      return CheckEcdsa("P-384", 48, Crypto().EVP_sha384(), public_key, data, signature);
    case kzvDnssecEd25519:
      return CheckEddsa(EVP_PKEY_ED25519, 32, 64, public_key, data, signature);
    case kzvDnssecEd448:
      return CheckEddsa(EVP_PKEY_ED448, 57, 114, public_key, data, signature);
    default:
      return TzvSignatureCheck::Unsupported;
  }
}

std::optional<std::vector<std::uint8_t>> DnssecDigest(std::uint8_t digest_type, Bytes data) {
  const EVP_MD* digest = digest_type == kzvDsDigestSha1     ? Crypto().EVP_sha1()
                         : digest_type == kzvDsDigestSha256 ? Crypto().EVP_sha256()
                         : digest_type == kzvDsDigestSha384 ? Crypto().EVP_sha384()
                                                            : nullptr;
  if (digest == nullptr) return std::nullopt;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(Crypto().EVP_MD_get_size(digest)));
  unsigned int size = 0;
  if (Crypto().EVP_Digest(data.data(), data.size(), out.data(), &size, digest, nullptr) != 1)
    return std::nullopt;
  out.resize(size);
  return out;
}

std::optional<std::vector<std::uint8_t>> Nsec3Hash(std::uint8_t algorithm, std::uint16_t iterations,
                                                   Bytes salt, Bytes name) {
  if (algorithm != 1) return std::nullopt;
  std::vector<std::uint8_t> input(name.begin(), name.end());
  std::optional<std::vector<std::uint8_t>> hash;
  for (int round = 0; round <= iterations; ++round) {
    input.insert(input.end(), salt.begin(), salt.end());
    hash = DnssecDigest(kzvDsDigestSha1, input);
    if (!hash) return std::nullopt;
    input = *hash;
  }
  return hash;
}
