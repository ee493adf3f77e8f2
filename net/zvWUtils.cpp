#include "net/zvWUtils.h"

#include <cerrno>

#include "net/zvSocketUtils.h"

std::mutex& WindowLock() {
  static std::mutex lock;
  return lock;
}

HWND AllocateMessageWindow(TzvWndMethod handler) {
  HWND window = 0;
  {
    std::lock_guard guard(WindowLock());
    window = CreateMessageWindow(std::move(handler));
  }
  if (window == 0) RaiseSocketError(errno);
  return window;
}

void DeallocateMessageWindow(HWND window) {
  std::lock_guard guard(WindowLock());
  DestroyMessageWindow(window);
}
