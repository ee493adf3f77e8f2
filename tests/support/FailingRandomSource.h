// A random source that refuses every call, as getrandom does under an old kernel or a
// sandbox that forbids it, for the tests of message IDs drawn without it.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

inline ssize_t NoRandomSystemCall(void*, size_t, unsigned) {
  errno = ENOSYS;
  return -1;
}
