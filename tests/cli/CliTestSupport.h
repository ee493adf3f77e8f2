// Shared by the companion's test binaries: one run of pellamar-cli's entry point with
// what it wrote to standard output and standard error captured.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliRunner.h"

struct CliRun {
  int status = -1;
  std::string out;
  std::string err;
};

// With the machine's configuration as the source of servers, or with `servers`.
inline CliRun RunCliCaptured(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  CliRun run;
  run.status = RunCli(arguments, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

inline CliRun RunCliCaptured(const std::vector<std::string>& arguments,
                             const TCliServerSource& servers) {
  std::ostringstream out, err;
  CliRun run;
  run.status = RunCli(arguments, out, err, servers);
  run.out = out.str();
  run.err = err.str();
  return run;
}

// What a shell command (dig, python3) printed on standard output.
inline std::string CommandOutput(const std::string& command) {
  std::string printed;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[512];
  while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) printed += buffer;
  if (pipe != nullptr) pclose(pipe);
  return printed;
}
