// One step of DNSSEC validation: whether a set of records (one owner, class and type) is
// signed by one of a zone's keys, and whether a DS record names a key. The records are
// put in the canonical form and order the signer used (RFC 4034 §6, as RFC 6840 amends
// it), the RRSIG's window is held against the clock, and the signature is checked with
// GnuTLS (dns/zvDnssecCrypto.h). The chain of trust is built from these steps.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dns/zvDnsDsRecords.h"
#include "dns/zvDnsKeyRecords.h"
#include "dns/zvDnsRrsigRecord.h"

enum class TzvRRsetCheck {
  Valid,        // a key of the zone made this signature over these records
  Expired,      // the signature's window ended before now
  NotYetValid,  // the signature's window begins after now
  NoKey,        // no key of the zone has the signature's tag, algorithm and zone flag
  Invalid,      // a key fits, but the signature does not verify
  Unsupported,  // the algorithm cannot be checked here
  Malformed     // the RRSIG does not fit the records (type, labels, signer) or a key is bad
};

struct TzvRRsetVerdict {
  TzvRRsetCheck Check = TzvRRsetCheck::Invalid;
  // In the words validators use ("RRSIG has expired", "no valid signature found", ...).
  std::string Reason;
  // The key that verified the signature (null unless Valid); valid as long as `keys` is.
  const TzvDnsDNSKEYRecord* Key = nullptr;
};

// The bytes the RRSIG's signature covers: its own data up to the signer's name, then each
// record of the set in canonical form (lower-case owner, the wildcard owner when the
// RRSIG's labels say the records were made from one, the original TTL, names in the data
// of the classic types in lower case), ordered by their data, duplicates once. Fails with
// the codec's error for a record that cannot be encoded.
std::vector<std::uint8_t> RRsetSignedData(const TzvDnsRRSIGRecord& rrsig,
                                          std::span<const TzvDnsRecord* const> rrset);

// The most keys of one tag tried for one signature, and the most signatures tried for one
// RRset: bounds on the work a hostile zone can ask of a validator.
inline constexpr int kzvMaxKeysPerTag = 4;
inline constexpr int kzvMaxSignaturesPerRRset = 8;

// Checks the RRset against one RRSIG with the zone's keys at `now` (seconds since 1970,
// compared as RFC 4034's serial numbers). The records must be one set (one owner, class and
// type), the RRSIG of that owner and class and of that type; its signer must be the owner or
// an ancestor of it (the owner itself for DNSKEY, an ancestor for DS), and its labels no more
// than the owner has and no fewer than the signer has.
TzvRRsetVerdict VerifyRRset(std::span<const TzvDnsRecord* const> rrset,
                            const TzvDnsRRSIGRecord& rrsig,
                            std::span<const TzvDnsDNSKEYRecord* const> keys, std::uint32_t now);

// Whether the DS record's digest is that of the key (of the zone `owner`).
bool DsMatchesKey(const TzvDnsDSRecord& ds, const TzvDnsDNSKEYRecord& key, std::string_view owner);

// A name in canonical wire form (labels in lower case), and whether `name` is `ancestor`
// or below it; both in that form.
std::vector<std::uint8_t> DnssecCanonicalName(std::string_view name);
bool IsDnsNameWithin(const std::vector<std::uint8_t>& name,
                     const std::vector<std::uint8_t>& ancestor);
