// DNSSEC on a trace from the root: each zone the trace reaches gets the validator's verdict
// on its keys (DNSKEY set proven by the parent's DS, up to the trust anchors). The
// validator's questions go to the servers the trace found for each zone, through the
// trace's own asker, so a scripted trace is checked without sockets too.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dns/zvDnsTrace.h"

// A zone check for TzvDnsTrace::SetZoneCheck. `anchors` as TzvDnssecValidator takes them;
// `now` in seconds since 1970. Each step's verdict is that of the answer its zone's server
// gives to a DNSKEY question for the zone: secure when the keys are proven, insecure below
// a proven unsigned delegation, bogus or indeterminate with the reason.
TzvTraceZoneCheck DnssecTraceCheck(std::vector<std::unique_ptr<TzvDnsRecord>> anchors,
                                   std::uint32_t now);
