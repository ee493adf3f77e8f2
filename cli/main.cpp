// pellamar-cli: the command-line companion of the Pellamar window (see cli/CliRunner.h).
#include <iostream>
#include <string>
#include <vector>

#include "cli/CliRunner.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const int status = RunCli(arguments, std::cout, std::cerr);
  std::cout.flush();
  return status;
}
