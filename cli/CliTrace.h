// pellamar-cli --trace: the question followed from the root servers down, each step
// printed as it is made (the zone, the server that answered and its time, what it
// answered), as dig +trace shows a walk.
#pragma once

#include <ostream>

#include "cli/CliOptions.h"
#include "cli/CliRunner.h"

// The whole trace, the resolver's priming included, ends within this many -W: a walk of a
// few steps has room for a silent server in each, and no more.
inline constexpr int kCliTraceTimeOuts = 6;

// Runs the trace the options describe and returns the exit status: 0 for an answer (or
// NODATA), 1 for NXDOMAIN, 2 for root hints or trust anchors that cannot be read, 4 when
// the walk could not be completed (a loop, too many steps, its time bound, a zone whose
// servers all failed), 5 when --dnssec found a zone bogus. Without --root-hints the root
// servers come from /usr/share/dns/root.hints, else from the resolvers (the @ servers or
// system_servers), else the built-in list; the output says which.
int RunTrace(const TCliOptions& options, const TCliServerSource& system_servers, std::ostream& out,
             std::ostream& err);
