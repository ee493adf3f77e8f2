// The whole of pellamar-cli short of its entry point: reads the command line, runs the
// lookup or the server listing, writes on `out` exactly the lines the window would append
// to its result pane, reports failures on `err`, and gives the exit status. Tests run it
// in-process; cli/main.cpp hands it the process's arguments and standard streams.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "base/Classes.h"

// Exit statuses.
inline constexpr int kCliSuccess = 0;        // also when the lookup found nothing
inline constexpr int kCliLookupFailed = 1;   // the lookup failed, for whatever reason
inline constexpr int kCliUsageError = 2;     // the command line was not understood
inline constexpr int kCliListingFailed = 3;  // the configured DNS servers could not be read

// Appends the machine's configured DNS servers to the list; failures pass to the caller.
using TCliServerSource = std::function<void(TStrings& servers)>;

// `arguments` are those after the program name. The second form takes the configured
// servers from `system_servers` (for --list-dns and the default of -s) instead of the
// machine's configuration.
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const TCliServerSource& system_servers);
