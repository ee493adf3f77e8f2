// Times a DNSSEC signature check per algorithm, so that what our entry points (on GnuTLS and
// nettle) cost beside OpenSSL's own verification can be stated (bench/compare-verify.sh
// sets these figures beside `openssl speed`). Three rows per algorithm, and one for the canonical
// form alone:
//
//   BM_CheckDnssecSignature  CheckDnssecSignature on an A RRset's signed data (120 bytes):
//                            the key in DNSKEY wire form made into GnuTLS's, then verified.
//   BM_VerifyRRset           the whole step a validator takes: the RRset (two A records) put
//                            in canonical form, the key found by tag, then the check above.
//   BM_OpenSslDigestVerify   another library's figure: OpenSSL alone on the same data and
//                            signature with a key object made once, outside the loop.
//   BM_RRsetSignedData       the canonical form of the RRset, without any cryptography.
//
// Keys and signatures are made with OpenSSL when the program starts; nothing is read from
// disk and nothing is sent anywhere.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dns/zvDnsMessage.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecCrypto.h"
#include "dns/zvDnssecVerify.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct TKeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using TKey = std::unique_ptr<EVP_PKEY, TKeyFree>;
struct TDigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using TDigestContext = std::unique_ptr<EVP_MD_CTX, TDigestContextFree>;

bool IsRsa(std::uint8_t algorithm) {
  return algorithm == kzvDnssecRsaSha256 || algorithm == kzvDnssecRsaSha512;
}
bool IsEcdsa(std::uint8_t algorithm) {
  return algorithm == kzvDnssecEcdsaP256 || algorithm == kzvDnssecEcdsaP384;
}

// The digest the algorithm signs with; none for EdDSA, which hashes inside.
const EVP_MD* SigningDigest(std::uint8_t algorithm) {
  switch (algorithm) {
    case kzvDnssecRsaSha256:
    case kzvDnssecEcdsaP256:
      return EVP_sha256();
    case kzvDnssecRsaSha512:
      return EVP_sha512();
    case kzvDnssecEcdsaP384:
      return EVP_sha384();
    default:
      return nullptr;
  }
}

const char* AlgorithmName(std::uint8_t algorithm) {
  switch (algorithm) {
    case kzvDnssecRsaSha256:
      return "RSASHA256-2048";
    case kzvDnssecRsaSha512:
      return "RSASHA512-2048";
    case kzvDnssecEcdsaP256:
      return "ECDSAP256SHA256";
    case kzvDnssecEcdsaP384:
      return "ECDSAP384SHA384";
    case kzvDnssecEd25519:
      return "ED25519";
    case kzvDnssecEd448:
      return "ED448";
    default:
      return "?";
  }
}

TKey MakeKey(std::uint8_t algorithm) {
  switch (algorithm) {
    case kzvDnssecRsaSha256:
    case kzvDnssecRsaSha512:
      return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{2048}));
    case kzvDnssecEcdsaP256:
      return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    case kzvDnssecEcdsaP384:
      return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384"));
    case kzvDnssecEd25519:
      return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    case kzvDnssecEd448:
      return TKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED448"));
    default:
      return nullptr;
  }
}

Bytes BignumParam(EVP_PKEY* key, const char* name) {
  BIGNUM* value = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &value) != 1) return {};
  Bytes bytes(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, bytes.data());
  BN_free(value);
  return bytes;
}

// The public half as a DNSKEY record carries it: RSA as the exponent's length, the exponent
// and the modulus; ECDSA as X and Y without the uncompressed-point byte; EdDSA raw.
Bytes WireKey(EVP_PKEY* key, std::uint8_t algorithm) {
  if (IsRsa(algorithm)) {
    const Bytes e = BignumParam(key, OSSL_PKEY_PARAM_RSA_E);
    Bytes wire{static_cast<std::uint8_t>(e.size())};
    wire.insert(wire.end(), e.begin(), e.end());
    const Bytes n = BignumParam(key, OSSL_PKEY_PARAM_RSA_N);
    wire.insert(wire.end(), n.begin(), n.end());
    return wire;
  }
  if (IsEcdsa(algorithm)) {
    Bytes point(1 + 2 * 48);
    std::size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                        point.size(), &size) != 1 ||
        size < 1)
      return {};
    return Bytes(point.begin() + 1, point.begin() + static_cast<long>(size));
  }
  std::size_t size = 0;
  if (EVP_PKEY_get_raw_public_key(key, nullptr, &size) != 1) return {};
  Bytes raw(size);
  if (EVP_PKEY_get_raw_public_key(key, raw.data(), &size) != 1) return {};
  return raw;
}

// OpenSSL's signature (DER for ECDSA) over `data`.
Bytes NativeSignature(EVP_PKEY* key, std::uint8_t algorithm, const Bytes& data) {
  const TDigestContext context(EVP_MD_CTX_new());
  std::size_t size = 0;
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, SigningDigest(algorithm), nullptr, key) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, data.data(), data.size()) != 1)
    return {};
  Bytes signature(size);
  if (EVP_DigestSign(context.get(), signature.data(), &size, data.data(), data.size()) != 1)
    return {};
  signature.resize(size);
  return signature;
}

// The same signature as an RRSIG record carries it: ECDSA's r and s side by side, each as
// long as the curve's field; the others unchanged.
Bytes WireSignature(std::uint8_t algorithm, const Bytes& native) {
  if (!IsEcdsa(algorithm)) return native;
  const int half = algorithm == kzvDnssecEcdsaP256 ? 32 : 48;
  const std::uint8_t* der = native.data();
  ECDSA_SIG* pair = d2i_ECDSA_SIG(nullptr, &der, static_cast<long>(native.size()));
  if (pair == nullptr) return {};
  Bytes wire(2 * static_cast<std::size_t>(half));
  BN_bn2binpad(ECDSA_SIG_get0_r(pair), wire.data(), half);
  BN_bn2binpad(ECDSA_SIG_get0_s(pair), wire.data() + half, half);
  ECDSA_SIG_free(pair);
  return wire;
}

// One signed RRset as a validator receives it: two A records of www.signed.pellamar.test,
// their RRSIG and the zone's DNSKEY, with the signature OpenSSL made over the canonical
// form (120 bytes).
struct TSignedRRset {
  TKey Key;
  std::vector<std::unique_ptr<TzvDnsARecord>> Records;
  std::vector<const TzvDnsRecord*> RRset;
  TzvDnsDNSKEYRecord Dnskey;
  TzvDnsRRSIGRecord Rrsig;
  Bytes SignedData;
  Bytes NativeSignature;  // as OpenSSL makes and takes it
  std::uint32_t Now = 0;
  std::string Failure;  // why the fixture could not be made
};

std::unique_ptr<TSignedRRset> MakeSignedRRset(std::uint8_t algorithm) {
  auto fixture = std::make_unique<TSignedRRset>();
  fixture->Key = MakeKey(algorithm);
  if (!fixture->Key) {
    fixture->Failure = "OpenSSL could not make the key";
    return fixture;
  }
  for (const char* address : {"192.0.2.10", "192.0.2.1"}) {
    auto record = std::make_unique<TzvDnsARecord>();
    record->Name = "www.signed.pellamar.test";
    record->TTL = 3600;
    record->IPAddress = address;
    fixture->RRset.push_back(record.get());
    fixture->Records.push_back(std::move(record));
  }

  TzvDnsDNSKEYRecord& dnskey = fixture->Dnskey;
  dnskey.Name = "signed.pellamar.test";
  dnskey.Flags = kzvDnskeyZoneKey;
  dnskey.Algorithm = algorithm;
  dnskey.PublicKey = WireKey(fixture->Key.get(), algorithm);

  fixture->Now = static_cast<std::uint32_t>(std::time(nullptr));
  TzvDnsRRSIGRecord& rrsig = fixture->Rrsig;
  rrsig.Name = "www.signed.pellamar.test";
  rrsig.TypeCovered = kzvDnsTypeA;
  rrsig.Algorithm = algorithm;
  rrsig.Labels = 4;
  rrsig.OriginalTTL = 3600;
  rrsig.Inception = fixture->Now - 86400;
  rrsig.Expiration = fixture->Now + 30 * 86400;
  rrsig.KeyTag = dnskey.KeyTag();
  rrsig.SignerName = "signed.pellamar.test";

  fixture->SignedData = RRsetSignedData(rrsig, fixture->RRset);
  fixture->NativeSignature = NativeSignature(fixture->Key.get(), algorithm, fixture->SignedData);
  rrsig.Signature = WireSignature(algorithm, fixture->NativeSignature);
  if (dnskey.PublicKey.empty() || rrsig.Signature.empty())
    fixture->Failure = "OpenSSL could not export the key or sign";
  return fixture;
}

// Made once per algorithm: RSA key generation alone takes a good part of a second.
const TSignedRRset& SignedRRset(std::uint8_t algorithm) {
  static std::map<std::uint8_t, std::unique_ptr<TSignedRRset>> made;
  auto& fixture = made[algorithm];
  if (!fixture) fixture = MakeSignedRRset(algorithm);
  return *fixture;
}

// The fixture for the row's algorithm, or null (with the row marked failed) when it could
// not be made or does not verify: a figure for a check that fails early would mean nothing.
const TSignedRRset* Prepare(benchmark::State& state) {
  const auto algorithm = static_cast<std::uint8_t>(state.range(0));
  state.SetLabel(AlgorithmName(algorithm));
  const TSignedRRset& fixture = SignedRRset(algorithm);
  if (!fixture.Failure.empty()) {
    state.SkipWithError(fixture.Failure.c_str());
    return nullptr;
  }
  if (CheckDnssecSignature(algorithm, fixture.Dnskey.PublicKey, fixture.SignedData,
                           fixture.Rrsig.Signature) != TzvSignatureCheck::Valid) {
    state.SkipWithError("the signature does not verify");
    return nullptr;
  }
  return &fixture;
}

void BM_CheckDnssecSignature(benchmark::State& state) {
  const TSignedRRset* fixture = Prepare(state);
  if (fixture == nullptr) return;
  const std::uint8_t algorithm = fixture->Rrsig.Algorithm;
  for (auto _ : state) {
    benchmark::DoNotOptimize(CheckDnssecSignature(algorithm, fixture->Dnskey.PublicKey,
                                                  fixture->SignedData, fixture->Rrsig.Signature));
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_VerifyRRset(benchmark::State& state) {
  const TSignedRRset* fixture = Prepare(state);
  if (fixture == nullptr) return;
  const TzvDnsDNSKEYRecord* keys[] = {&fixture->Dnskey};
  if (VerifyRRset(fixture->RRset, fixture->Rrsig, keys, fixture->Now).Check !=
      TzvRRsetCheck::Valid) {
    state.SkipWithError("VerifyRRset does not find the RRset valid");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(VerifyRRset(fixture->RRset, fixture->Rrsig, keys, fixture->Now));
  }
  state.SetItemsProcessed(state.iterations());
}

// The canonical form alone (no cryptography): what VerifyRRset adds to the check beyond
// finding the key. The algorithm changes only the RRSIG's fields, so one row says it all.
void BM_RRsetSignedData(benchmark::State& state) {
  const TSignedRRset* fixture = Prepare(state);
  if (fixture == nullptr) return;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RRsetSignedData(fixture->Rrsig, fixture->RRset));
  }
  state.SetItemsProcessed(state.iterations());
}

// What any caller of OpenSSL pays per signature once it holds the key as OpenSSL's object:
// a digest context set up for the key, then the one-shot verification (hash included).
void BM_OpenSslDigestVerify(benchmark::State& state) {
  const TSignedRRset* fixture = Prepare(state);
  if (fixture == nullptr) return;
  const EVP_MD* digest = SigningDigest(fixture->Rrsig.Algorithm);
  EVP_PKEY* key = fixture->Key.get();
  for (auto _ : state) {
    const TDigestContext context(EVP_MD_CTX_new());
    int result = EVP_DigestVerifyInit(context.get(), nullptr, digest, nullptr, key);
    if (result == 1)
      result = EVP_DigestVerify(context.get(), fixture->NativeSignature.data(),
                                fixture->NativeSignature.size(), fixture->SignedData.data(),
                                fixture->SignedData.size());
    if (result != 1) {
      state.SkipWithError("OpenSSL does not verify its own signature");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// On a shared machine a repetition can only be slowed down, never sped up: the fastest of
// several (--benchmark_repetitions=N) is the best estimate of the undisturbed cost.
double Fastest(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

void EveryAlgorithm(benchmark::internal::Benchmark* bench) {
  bench->ArgName("alg")->ComputeStatistics("min", Fastest);
  for (const std::uint8_t algorithm : {kzvDnssecRsaSha256, kzvDnssecRsaSha512, kzvDnssecEcdsaP256,
                                       kzvDnssecEcdsaP384, kzvDnssecEd25519, kzvDnssecEd448})
    bench->Arg(algorithm);
}

BENCHMARK(BM_CheckDnssecSignature)->Apply(EveryAlgorithm);
BENCHMARK(BM_VerifyRRset)->Apply(EveryAlgorithm);
BENCHMARK(BM_RRsetSignedData)
    ->ArgName("alg")
    ->Arg(kzvDnssecEd25519)
    ->ComputeStatistics("min", Fastest);
BENCHMARK(BM_OpenSslDigestVerify)->Apply(EveryAlgorithm);

}  // namespace

BENCHMARK_MAIN();
