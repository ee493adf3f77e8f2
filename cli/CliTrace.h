// pellamar-cli --trace: the question followed from the root servers down, each step
// printed as it is made (the zone, the server that answered and its time, what it
// answered), as dig +trace shows a walk.
#pragma once

#include <ostream>

#include "cli/CliOptions.h"

// Runs the trace the options describe and returns the exit status: 0 for an answer (or
// NODATA), 1 for NXDOMAIN, 2 for root hints that cannot be read, 4 when the walk could
// not be completed (a loop, too many steps, a zone whose servers all failed), 5 when
// --dnssec found a zone bogus.
int RunTrace(const TCliOptions& options, std::ostream& out, std::ostream& err);
