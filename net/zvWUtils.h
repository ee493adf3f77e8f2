// Hidden message windows made under the process-wide window lock. The IPv4 host-name
// resolver receives the completion of its lookups through such a window.
#pragma once

#include <mutex>

#include "net/zvMessages.h"

// Serialises the creation and destruction of hidden message windows across threads.
std::mutex& WindowLock();

// A hidden window of the calling thread whose dispatched messages reach `handler`. Raises
// EzvSocketError with the system's error when no window can be made.
HWND AllocateMessageWindow(TzvWndMethod handler);
// Destroys the window; nothing reaches its handler afterwards. An unknown window is ignored.
void DeallocateMessageWindow(HWND window);
