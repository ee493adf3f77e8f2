// The cryptography DNSSEC needs, through GnuTLS (net/zvGnutls.h, the library TLS uses too):
// checking a signature made with a zone's key (RFC 4034's RRSIG over the data the validator
// puts together) and the digest a DS record holds of a key. Keys and signatures come in the
// wire forms of DNSKEY and RRSIG records (RFC 3110 for RSA, RFC 6605 for ECDSA, RFC 8080 for
// EdDSA); they are turned into GnuTLS's forms here and nowhere else. Nothing in this unit is
// hand-written cryptography: every check and digest is GnuTLS's (nettle's, beneath it).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// DNSSEC algorithm numbers (the IANA registry) that can be checked here.
inline constexpr std::uint8_t kzvDnssecRsaSha1 = 5;
inline constexpr std::uint8_t kzvDnssecRsaSha1Nsec3 = 7;
inline constexpr std::uint8_t kzvDnssecRsaSha256 = 8;
inline constexpr std::uint8_t kzvDnssecRsaSha512 = 10;
inline constexpr std::uint8_t kzvDnssecEcdsaP256 = 13;
inline constexpr std::uint8_t kzvDnssecEcdsaP384 = 14;
inline constexpr std::uint8_t kzvDnssecEd25519 = 15;
inline constexpr std::uint8_t kzvDnssecEd448 = 16;

// DS digest types.
inline constexpr std::uint8_t kzvDsDigestSha1 = 1;
inline constexpr std::uint8_t kzvDsDigestSha256 = 2;
inline constexpr std::uint8_t kzvDsDigestSha384 = 4;

enum class TzvSignatureCheck {
  Valid,        // the signature was made over the data with the key's private half
  Invalid,      // it was not (or the data was changed)
  Unsupported,  // an algorithm this build cannot check
  BadKey,       // the key is malformed for its algorithm (a wrong length, an empty modulus)
  BadSignature  // the signature is malformed for its algorithm (a wrong length)
};

// Whether signatures of the algorithm can be checked (GnuTLS offers it, and it is one a
// validator should accept: the SHA-1 ones only as RFC 8624 still allows validating them).
bool IsSupportedDnssecAlgorithm(std::uint8_t algorithm);

// Checks `signature` (an RRSIG's signature field) over `data` with `public_key` (a
// DNSKEY's public key field) of `algorithm`.
TzvSignatureCheck CheckDnssecSignature(std::uint8_t algorithm,
                                       std::span<const std::uint8_t> public_key,
                                       std::span<const std::uint8_t> data,
                                       std::span<const std::uint8_t> signature);

// The digest of `data` (a key owner's wire name followed by the DNSKEY's data) that a DS
// record of `digest_type` holds; none for a type this build does not know.
std::optional<std::vector<std::uint8_t>> DnssecDigest(std::uint8_t digest_type,
                                                      std::span<const std::uint8_t> data);

// RFC 5155's hash of a name (its canonical wire form): SHA-1 of the name and the salt,
// then `iterations` more times of the hash and the salt. None for another algorithm.
std::optional<std::vector<std::uint8_t>> Nsec3Hash(std::uint8_t algorithm, std::uint16_t iterations,
                                                   std::span<const std::uint8_t> salt,
                                                   std::span<const std::uint8_t> name);
