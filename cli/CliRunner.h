// The whole of pellamar-cli short of its entry point: reads the command line, runs the
// lookup or the server listing, writes on `out` the lines the window would append to its
// result pane (or the answers alone, or one JSON object), reports failures and, with
// --verbose, the exchange on `err`, and gives the exit status. Tests run it in-process;
// cli/main.cpp hands it the process's arguments and standard streams.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "base/Classes.h"

// Exit statuses.
inline constexpr int kCliSuccess = 0;       // answered without error, also when empty
inline constexpr int kCliServerError = 1;   // the server answered with an error code
inline constexpr int kCliUsageError = 2;    // nothing could be sent: bad command line,
                                            // port, time-out, depth, type or name
inline constexpr int kCliConfigFailed = 3;  // the DNS configuration cannot be read
inline constexpr int kCliNoAnswer = 4;      // time-out, refused, unreachable, malformed
                                            // or truncated answer, ...
inline constexpr int kCliBogus = 5;         // --dnssec: the answer is signed but wrong

// Appends the machine's configured DNS servers to the list; failures pass to the caller.
using TCliServerSource = std::function<void(TStrings& servers)>;

// `arguments` are those after the program name. The second form takes the configured
// servers from `system_servers` (for --list-dns and the default server) instead of the
// machine's configuration.
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
           const TCliServerSource& system_servers);
