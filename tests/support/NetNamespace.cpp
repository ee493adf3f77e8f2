#include "tests/support/NetNamespace.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool InLoopbackNamespace() {
  const char* flag = std::getenv("PELLAMAR_NETNS");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}

std::string NetnsRunDir() {
  const char* dir = std::getenv("PELLAMAR_NETNS_RUN");
  return dir != nullptr ? dir : "";
}

std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer{};
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  pclose(pipe);
  return out;
}
