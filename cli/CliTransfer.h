// A zone transfer from the command line (the types axfr and ixfr=SERIAL): the records
// written as they arrive, in dig's zone-file form with dig's closing lines, or as JSON
// Lines (one record a line), so that a zone of any size streams through.
#pragma once

#include <ostream>

#include "cli/CliOptions.h"

// Whether the options ask for a transfer.
bool IsTransferQuestion(const TCliOptions& options);
// Runs it; the exit status as the runner's (0, 1 for an error reply, 2 for a command line
// that cannot be sent, 4 for no or a bad answer, a signature failure included).
int RunTransfer(const TCliOptions& options, std::ostream& out, std::ostream& err);
