// Empties the calling thread's message queue, so that one test's leftovers cannot reach
// the next.
#pragma once

#include "net/zvMessages.h"

inline void DrainQueue() {
  TMsg message;
  while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) {
  }
}
