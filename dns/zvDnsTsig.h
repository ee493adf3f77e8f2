// Transaction signatures (TSIG): a shared secret signs each question and proves that
// the answer, every message of a zone transfer included, came from the holder of the
// same key. Keys come from the command line ([ALG:]NAME:SECRET) or from key files in
// BIND's and Knot's forms. A key's secret appears in no message of this unit.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns/zvDnsHmac.h"

inline constexpr std::int32_t kzvDnsTypeTSIG = 250;
// The failure of a signature: a key that cannot be read, an answer that is not signed
// though the question was, one whose signature does not hold, or the server's refusal.
inline constexpr std::int32_t kzvDnsErrTsig = -40;

// TSIG's error codes, as the server puts them in its TSIG record.
inline constexpr std::uint16_t kzvTsigBadSig = 16;
inline constexpr std::uint16_t kzvTsigBadKey = 17;
inline constexpr std::uint16_t kzvTsigBadTime = 18;
inline constexpr std::uint16_t kzvTsigBadTrunc = 22;
// The seconds a signature's time may differ from the clock of the one who checks it.
inline constexpr std::uint16_t kzvTsigFudge = 300;
// Messages of a transfer that may follow each other unsigned (RFC 8945 5.3.1).
inline constexpr int kzvTsigMostUnsigned = 99;

struct TzvTsigKey {
  // Lower case, without the trailing dot.
  std::string Name;
  TzvHmacAlgorithm Algorithm = TzvHmacAlgorithm::haSha256;
  std::vector<std::uint8_t> Secret;
  // Seconds added to the system clock for signing and checking: a clock set wrong, for
  // the tests of a server's time check.
  std::int64_t ClockOffset = 0;
};

// "[ALG:]NAME:SECRET" (hmac-sha256 unless ALG is given), as dig's -y takes it.
TzvTsigKey ParseTsigKeyText(std::string_view text);
// The first key of a file: BIND's `key "NAME" { algorithm ALG; secret "SECRET"; };`,
// Knot's `key: - id: NAME / algorithm: ALG / secret: SECRET`, or one line of
// "ALG:NAME:SECRET" (knsupdate's and kdig's -k form).
TzvTsigKey ReadTsigKeyFile(const std::string& path);
TzvTsigKey ParseTsigKeyFileText(std::string_view text);
// The name of a TSIG error code ("BADSIG"), or "TSIG error N".
std::string TsigErrorName(std::uint16_t error);
// The time of signing: the system clock plus the key's offset, in seconds.
std::uint64_t TsigNow(const TzvTsigKey& key);

// Appends the key's TSIG record to an encoded question (its additional count raised),
// signed at `now`; gives the signature, which the answer's signature covers.
std::vector<std::uint8_t> SignTsigMessage(const TzvTsigKey& key, std::vector<std::uint8_t>& message,
                                          std::uint64_t now);

// Checks the answers to one signed question, in the order they come: the first must be
// signed; then at most kzvTsigMostUnsigned may come unsigned before one signed message
// covers them and chains on to the one before. Each failure raises EzvDnsError with
// kzvDnsErrTsig, naming the server's error (BADKEY, BADSIG, BADTIME) or ours.
class TzvTsigVerifier {
 public:
  TzvTsigVerifier(const TzvTsigKey& key, std::vector<std::uint8_t> request_mac);
  // One message; `now` in seconds as TsigNow gives it. Gives whether it was signed.
  bool Verify(std::span<const std::uint8_t> message, std::uint64_t now);
  // At the end of the answer: what came after the last signed message is not proven.
  void Finish() const;
  // Signed messages checked so far.
  int Signed() const { return signed_; }

 private:
  const TzvTsigKey& key_;
  std::vector<std::uint8_t> prior_mac_;
  // The unsigned messages since the last signed one, which its signature covers.
  std::vector<std::uint8_t> pending_;
  int unsigned_ = 0;
  int signed_ = 0;
};
