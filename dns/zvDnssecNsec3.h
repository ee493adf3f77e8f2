// Denials proven by NSEC3 records (RFC 5155 §8), each proof a function of its own, as
// for NSEC (dns/zvDnssecNsec.h): names are compared by their hashes, and a name that does
// not exist is proven so by its closest encloser. An opt-out span may hold unsigned
// delegations, so what it covers is proven only insecure.
//
// The records given must have had their signatures verified and be of the one zone whose
// denial is judged. Only those that share the first one's hash parameters are used, and
// none hashed more than RFC 9276's 150 times: the names a proof needs are hashed once
// each, at a cost a hostile zone cannot raise.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dns/zvDnsNsecRecords.h"
#include "dns/zvDnssecNsec.h"

// RFC 9276: NSEC3 chains hashed more often than this are too costly to check; validators
// treat them as insecure, and never hash them.
inline constexpr std::uint16_t kzvMaxNsec3Iterations = 150;

enum class TzvNsec3Proof {
  Proven,  // what was asked is proven
  OptOut,  // only that an opt-out span covers it: insecure
  None     // nothing is proven
};

// The NSEC3 records of one zone and the hashes of the names looked up in them.
class TzvNsec3Records {
 public:
  TzvNsec3Records(const std::vector<const TzvDnsNSEC3Record*>& records, TzvWireName zone);

  bool Empty() const { return records_.empty(); }
  const TzvWireName& Zone() const { return zone_; }
  // The record whose owner is the hash of `name`, and the one whose span holds it.
  const TzvDnsNSEC3Record* Matching(const TzvWireName& name);
  const TzvDnsNSEC3Record* Covering(const TzvWireName& name);

 private:
  const std::string& HashOf(const TzvWireName& name);

  std::vector<const TzvDnsNSEC3Record*> records_;
  TzvWireName zone_;
  std::map<TzvWireName, std::string> hashes_;
};

// RFC 5155 §8.3: the longest ancestor of `name` inside the zone that exists (its own
// NSEC3, neither a delegation nor a DNAME), and the NSEC3 covering the next closer name.
struct TzvClosestEncloser {
  TzvWireName Encloser;
  const TzvDnsNSEC3Record* NextCloser = nullptr;
};
std::optional<TzvClosestEncloser> Nsec3ClosestEncloser(TzvNsec3Records& records,
                                                       const TzvWireName& name);

// No name: its closest encloser, and no wildcard there.
TzvNsec3Proof Nsec3ProvesNameError(TzvNsec3Records& records, const TzvWireName& name);
// No records of the type: the name's own NSEC3 without it (the parent's at a delegation
// only for the DS, the child's apex never for it); for the DS, an opt-out span over the
// name; or the wildcard at the closest encloser without the type.
TzvNsec3Proof Nsec3ProvesNoData(TzvNsec3Records& records, const TzvWireName& name,
                                std::int32_t type);
// An answer made from the wildcard below the last `labels` labels of `name`: the next
// closer name does not exist (only insecure under an opt-out span).
TzvNsec3Proof Nsec3ProvesWildcardExpansion(TzvNsec3Records& records, const TzvWireName& name,
                                           std::size_t labels);
// `name` is a delegation without DS: its own NSEC3 says so, or an opt-out span covers it.
TzvNsec3Proof Nsec3ProvesInsecureDelegation(TzvNsec3Records& records, const TzvWireName& name);
