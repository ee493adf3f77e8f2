#include "net/zvStop.h"

#include <cerrno>

#include "net/zvSocketUtils.h"

TzvStopSource::TzvStopSource() {
  signal_ = CreateEvent(true);
  if (signal_ == kzvNoHandle) RaiseSocketError(errno);
}

TzvStopSource::~TzvStopSource() {
  CloseHandle(signal_);
}

void TzvStopSource::RequestStop() {
  requested_.store(true, std::memory_order_release);
  SetEvent(signal_);
}

void TzvStopSource::Reset() {
  // Only RequestStop sets the event, so without one there is no system call to make at
  // the start of every lookup.
  if (!requested_.exchange(false)) return;
  ResetEvent(signal_);
}
