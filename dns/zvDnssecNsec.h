// Denials proven by NSEC records (RFC 4035 §5.4, as RFC 6840 amends it), each proof a
// function of its own: that a name does not exist, that it has no records of a type,
// that an answer made from a wildcard had no closer name to come from, and that a
// delegation is unsigned. Every record given must have had its signature verified and be
// of the one zone whose denial is judged; names are in canonical wire form. And the
// canonical names' order and labels, which NSEC3's proofs share.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dns/zvDnsNsecRecords.h"

using TzvWireName = std::vector<std::uint8_t>;
using TzvNsecRecords = std::span<const TzvDnsNSECRecord* const>;

// A name's labels, the root's zero byte left out; the name made of the last `count`
// labels of `labels`; the wildcard "*.name".
std::vector<TzvWireName> DnssecLabelsOf(const TzvWireName& name);
TzvWireName DnssecNameOf(const std::vector<TzvWireName>& labels, std::size_t count);
TzvWireName DnssecWildcardOf(const TzvWireName& name);
// RFC 4034 §6.1's order: label by label from the root, each compared as bytes.
bool DnssecCanonicalLess(const TzvWireName& a, const TzvWireName& b);

bool HoldsType(const std::vector<std::uint16_t>& types, std::int32_t type);

// The NSEC that proves `name` absent by lying between its owner and next name; never one
// at a delegation or DNAME above the name, whose zone says nothing of names below it.
const TzvDnsNSECRecord* NsecCovering(TzvNsecRecords nsecs, const TzvWireName& name);

// No name, and no wildcard at its closest encloser that could have answered.
bool NsecProvesNameError(TzvNsecRecords nsecs, const TzvWireName& name);
// The name's own NSEC without the type (nor a CNAME), or a name with only names below it.
// The parent's NSEC at a delegation speaks for the DS alone; the child's apex NSEC never
// for the DS.
bool NsecProvesNoData(TzvNsecRecords nsecs, const TzvWireName& name, std::int32_t type);
// No data made from a wildcard: no name, the wildcard at its closest encloser without the
// type.
bool NsecProvesWildcardNoData(TzvNsecRecords nsecs, const TzvWireName& name, std::int32_t type);
// An answer made from the wildcard below the last `labels` labels of `name` (the RRSIG's
// label count): `name` does not exist and its closest encloser is that wildcard's parent.
bool NsecProvesWildcardExpansion(TzvNsecRecords nsecs, const TzvWireName& name, std::size_t labels);
// `name` is a delegation (NS) without DS and not a zone's apex.
bool NsecProvesInsecureDelegation(TzvNsecRecords nsecs, const TzvWireName& name);
