// The keyed digests that sign DNS messages (TSIG), computed by GnuTLS: the one place the
// DNS layer reaches the crypto library for them, so no digest is ever written by hand.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The HMAC algorithms TSIG names; MD5 and SHA-1 only for servers that still use them.
enum class TzvHmacAlgorithm { haMd5, haSha1, haSha224, haSha256, haSha384, haSha512 };

// The algorithm's name as TSIG carries it ("hmac-sha256", "hmac-md5.sig-alg.reg.int").
std::string HmacAlgorithmName(TzvHmacAlgorithm algorithm);
// The algorithm of a name in any letter case, with or without its trailing dot; also
// the short "hmac-md5". None for a name not listed.
std::optional<TzvHmacAlgorithm> HmacAlgorithmOf(std::string_view name);
// The digest's length in bytes.
std::size_t HmacSize(TzvHmacAlgorithm algorithm);
// The HMAC of `data` under `key`. Fails with EzvSocketError when the library refuses.
std::vector<std::uint8_t> ComputeHmac(TzvHmacAlgorithm algorithm, std::span<const std::uint8_t> key,
                                      std::span<const std::uint8_t> data);
