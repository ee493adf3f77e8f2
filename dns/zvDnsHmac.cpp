#include "dns/zvDnsHmac.h"

#include <algorithm>

#include "base/SysUtils.h"
#include "net/zvGnutls.h"
#include "net/zvSocketUtils.h"

namespace {

struct TAlgorithmRow {
  TzvHmacAlgorithm Algorithm;
  const char* Name;
  gnutls_mac_algorithm_t Mac;
  std::size_t Size;
};

constexpr TAlgorithmRow kAlgorithms[] = {
    {TzvHmacAlgorithm::haMd5, "hmac-md5.sig-alg.reg.int", GNUTLS_MAC_MD5, 16},
    {TzvHmacAlgorithm::haSha1, "hmac-sha1", GNUTLS_MAC_SHA1, 20},
    {TzvHmacAlgorithm::haSha224, "hmac-sha224", GNUTLS_MAC_SHA224, 28},
    {TzvHmacAlgorithm::haSha256, "hmac-sha256", GNUTLS_MAC_SHA256, 32},
    {TzvHmacAlgorithm::haSha384, "hmac-sha384", GNUTLS_MAC_SHA384, 48},
    {TzvHmacAlgorithm::haSha512, "hmac-sha512", GNUTLS_MAC_SHA512, 64},
};

const TAlgorithmRow& RowOf(TzvHmacAlgorithm algorithm) {
  return *std::find_if(
      std::begin(kAlgorithms), std::end(kAlgorithms),
      [algorithm](const TAlgorithmRow& row) { return row.Algorithm == algorithm; });
}

}  // namespace

std::string HmacAlgorithmName(TzvHmacAlgorithm algorithm) {
  return RowOf(algorithm).Name;
}

std::optional<TzvHmacAlgorithm> HmacAlgorithmOf(std::string_view name) {
  std::string lower = LowerCase(name);
  if (!lower.empty() && lower.back() == '.') lower.pop_back();
  if (lower == "hmac-md5") return TzvHmacAlgorithm::haMd5;
  for (const TAlgorithmRow& row : kAlgorithms)
    if (lower == row.Name) return row.Algorithm;
  return std::nullopt;
}

std::size_t HmacSize(TzvHmacAlgorithm algorithm) {
  return RowOf(algorithm).Size;
}

std::vector<std::uint8_t> ComputeHmac(TzvHmacAlgorithm algorithm, std::span<const std::uint8_t> key,
                                      std::span<const std::uint8_t> data) {
  const TAlgorithmRow& row = RowOf(algorithm);
  std::vector<std::uint8_t> digest(row.Size);
  // GnuTLS is loaded on the first signed question only: an unsigned lookup never pays for it.
  const TzvGnutls& gnutls = Gnutls();
  if (!gnutls.Failure.empty())
    throw EzvSocketError("TSIG needs GnuTLS's libgnutls.so.30: " + gnutls.Failure, -1);
  const int result = gnutls.gnutls_hmac_fast(row.Mac, key.data(), key.size(), data.data(),
                                             data.size(), digest.data());
  if (result < 0)
    throw EzvSocketError(std::string("HMAC failed: ") + gnutls.gnutls_strerror(result), -1);
  return digest;
}
