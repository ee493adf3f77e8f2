// Message identifiers: 16 bits from the system's cryptographic random source for every
// question sent, so that no number of identifiers seen predicts the next (a forger must
// guess 16 bits afresh for every question).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// A fresh identifier. Thread-safe. Taken from getrandom, or from /dev/urandom where the
// system call is refused (an old kernel, a sandbox); when neither gives bytes it fails with
// EzvSocketError "No random numbers from the system: ..." and the system's error number.
std::uint16_t NewMessageID();

// Where NewMessageID takes its random bytes: getrandom unless a test replaced it (and
// then it must put it back). Bytes already drawn from an earlier source are not used.
using TzvRandomBytesFn = ssize_t (*)(void* buffer, size_t length, unsigned int flags);
TzvRandomBytesFn& MessageIdRandomSource();
