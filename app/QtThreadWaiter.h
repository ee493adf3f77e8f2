// The library's waits, done the Qt way on the user-interface thread. A lookup blocks the
// window's handler until its answer comes or its time-out passes; this waiter runs a
// nested Qt event loop meanwhile, so the window repaints, moves and takes input, and
// the library's own posted messages still reach their hidden receivers.
#pragma once

#include <cstdint>
#include <memory>

#include "net/zvMessages.h"

class QSocketNotifier;

class TQtThreadWaiter : public TzvThreadWaiter {
 public:
  // With `dispatchWhenIdle`, messages posted to this thread's library queue while no
  // library wait runs are dispatched from Qt's own event loop, the way a desktop's main
  // loop delivers every message of its thread; otherwise they wait for the next wait.
  explicit TQtThreadWaiter(bool dispatchWhenIdle = true);
  ~TQtThreadWaiter() override;
  TQtThreadWaiter(const TQtThreadWaiter&) = delete;
  TQtThreadWaiter& operator=(const TQtThreadWaiter&) = delete;

  // Waits in a nested QEventLoop, watching the objects' descriptors and the thread
  // queue's wake descriptor with socket notifiers and the time-out with a timer.
  std::uint32_t Wait(const TzvWaitRequest& request) override;

  // How many library waits are running on this thread now (nested waits count each).
  int ActiveWaits() const { return active_waits_; }

 private:
  void DispatchPending();

  std::unique_ptr<QSocketNotifier> idle_notifier_;
  int active_waits_ = 0;
};

// Installs a TQtThreadWaiter for the calling thread for as long as it lives, and puts
// back the waiter that was there before when it goes.
class TQtWaiterInstallation {
 public:
  explicit TQtWaiterInstallation(bool dispatchWhenIdle = true);
  ~TQtWaiterInstallation();
  TQtWaiterInstallation(const TQtWaiterInstallation&) = delete;
  TQtWaiterInstallation& operator=(const TQtWaiterInstallation&) = delete;

  TQtThreadWaiter& Waiter() { return waiter_; }

 private:
  TQtThreadWaiter waiter_;
  TzvThreadWaiter* previous_;
};
