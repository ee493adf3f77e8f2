#include "tests/support/NetNamespace.h"

#include <cstdlib>
#include <cstring>

bool InLoopbackNamespace() {
  const char* flag = std::getenv("PELLAMAR_NETNS");
  return flag != nullptr && std::strcmp(flag, "1") == 0;
}
