// A random source that refuses every call, as getrandom does under an old kernel or a
// sandbox that forbids it, and a way to take /dev/urandom away too, for the tests of
// message IDs drawn without them.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

inline ssize_t NoRandomSystemCall(void*, size_t, unsigned) {
  errno = ENOSYS;
  return -1;
}

// Whether /dev/urandom can be hidden here (it takes root, for a mount namespace).
inline bool CanHideUrandom() {
  return ::geteuid() == 0;
}

// In this process only (its own mount namespace), /dev/urandom becomes /dev/null, which
// gives no bytes at all. For a child process: the parent's view is left as it was.
inline bool HideUrandom() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("/dev/null", "/dev/urandom", nullptr, MS_BIND, nullptr) == 0;
}
