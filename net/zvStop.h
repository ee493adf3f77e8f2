// The one way to stop work that waits on the network. The caller that starts a piece of
// work (a window lookup, a command) makes one stop and hands it to every component the
// work uses: the query component, the chain of trust's questions, a trace, a batch and
// its threads, the host lookups. RequestStop from any thread ends every wait at once, and
// the work fails with "The lookup was stopped" (kzvErrAborted). Only its maker resets it,
// when it starts the next piece of work: a stop made just before a step began is never
// forgotten by the step.
#pragma once

#include <atomic>
#include <memory>

#include "net/zvMessages.h"

class TzvStopSource {
 public:
  TzvStopSource();
  ~TzvStopSource();
  TzvStopSource(const TzvStopSource&) = delete;
  TzvStopSource& operator=(const TzvStopSource&) = delete;

  // Sets the stop and wakes every wait on Signal. Safe from any thread.
  void RequestStop();
  bool StopRequested() const { return requested_.load(std::memory_order_acquire); }
  // Clears the stop, for the next piece of work.
  void Reset();
  // A manual-reset event, set while the stop is requested: waits add it to what they
  // wait for.
  THandle Signal() const { return signal_; }

 private:
  std::atomic<bool> requested_{false};
  THandle signal_ = kzvNoHandle;
};

using TzvStop = std::shared_ptr<TzvStopSource>;

inline TzvStop MakeStop() {
  return std::make_shared<TzvStopSource>();
}
