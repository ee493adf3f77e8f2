// Message waits for the library: self-resetting events, each thread's queue of posted
// messages, hidden message receivers ("windows") and the wait that wakes for a signalled
// handle or a waiting message. The connections, the throttle and the IPv4 resolver wait
// through it, so that the calling thread keeps handling its messages while it waits.
//
// A desktop toolkit that must keep its own events flowing during a wait installs a
// TzvThreadWaiter for its thread (InstallThreadWaiter); everything else, tests and the
// command-line companion included, uses the poll()-based default.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

// ---------------------------------------------------------------------------------------
// Handles

// A handle of a waitable object (an event, or a socket's network signal). 0 is no handle.
// Handles are never reused within a process, so a stale handle fails cleanly (EBADF).
using THandle = std::intptr_t;
inline constexpr THandle kzvNoHandle = 0;
inline constexpr THandle INVALID_HANDLE_VALUE = -1;

// Results of MsgWaitForMultipleObjects and of TzvThreadWaiter::Wait.
inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFF;

// Wake-mask bits. Only posted messages exist here; the other bits are accepted so that
// callers can pass the usual masks (0xBF), and wake for nothing.
inline constexpr std::uint32_t QS_KEY = 0x0001;
inline constexpr std::uint32_t QS_MOUSEMOVE = 0x0002;
inline constexpr std::uint32_t QS_MOUSEBUTTON = 0x0004;
inline constexpr std::uint32_t QS_POSTMESSAGE = 0x0008;
inline constexpr std::uint32_t QS_TIMER = 0x0010;
inline constexpr std::uint32_t QS_PAINT = 0x0020;
inline constexpr std::uint32_t QS_SENDMESSAGE = 0x0040;
inline constexpr std::uint32_t QS_HOTKEY = 0x0080;
inline constexpr std::uint32_t QS_ALLPOSTMESSAGE = 0x0100;
// Posted messages, input, timers, paint and hot keys; sent messages excluded.
inline constexpr std::uint32_t kzvWakeMask = 0xBF;

// Something a wait can wait for. The library's own kinds are the events below and a
// socket's network signal (net/zvWinSock2.h); both are reached through handles.
//
// How a waiter uses one (the default waiter and any toolkit waiter alike):
//   1. Call Consume(); true means the object is signalled now (and, for a self-resetting
//      object, has been reset by this call): the wait is over.
//   2. Otherwise watch the descriptors that AddPollFds() gives, with their poll events.
//   3. When any of them becomes ready, call Consume() again. Readiness is only a hint:
//      a socket's write event is reported once, not while the socket stays writable, so
//      a ready descriptor may still mean "not signalled". Then ask AddPollFds() again
//      (the set may have changed) and keep waiting.
// Consume() and AddPollFds() never block and may be called any number of times.
// In step 3 a waiter that still has the poll's answer may call ConsumePolled() instead,
// which may use that answer rather than ask the system again.
class TzvWaitObject {
 public:
  virtual ~TzvWaitObject() = default;
  // True when signalled; consumes the signal of a self-resetting object.
  virtual bool Consume() = 0;
  // Appends the descriptors (with the poll events in pollfd::events) to watch.
  virtual void AddPollFds(std::vector<pollfd>& fds) const = 0;
  // Consume() as far as it can be answered without asking the system: true only for a
  // signal the object already knows of (one a poll found earlier and nobody took).
  // Everything else shows in the poll that follows, so a wait need not ask each object
  // with a system call of its own before it sleeps.
  virtual bool ConsumeKnown() { return false; }
  // Consume() just after a poll over this object's AddPollFds() entries (`count` of them,
  // revents filled in) returned.
  virtual bool ConsumePolled(const pollfd* fds, std::size_t count) {
    (void)fds;
    (void)count;
    return Consume();
  }
};

// Puts an object into the handle table and returns its new handle (the table keeps the
// object alive until CloseHandle). Used by the units that make waitable objects.
THandle RegisterWaitObject(std::shared_ptr<TzvWaitObject> object);
// The object of a handle, or none (errno EBADF) when the handle is not open.
std::shared_ptr<TzvWaitObject> FindWaitObject(THandle handle);

// ---------------------------------------------------------------------------------------
// Events (an auto-reset event is reset by the wait that reports it)

// A new event (auto-reset unless asked otherwise). Returns kzvNoHandle with errno set on
// failure. The platform call's security attributes and name mean nothing here.
THandle CreateEvent(bool manual_reset = false, bool initial_state = false);
// Signals an event; false (errno EBADF) when the handle is not an open event.
bool SetEvent(THandle event);
// Clears an event without waiting.
bool ResetEvent(THandle event);
// Releases any handle of the table (event or network signal); false (EBADF) if not open.
bool CloseHandle(THandle handle);

// ---------------------------------------------------------------------------------------
// Messages and hidden message windows

// A hidden receiver of messages, owned by the thread that made it. 0 is none.
using HWND = std::uintptr_t;

struct TMsg {
  HWND hwnd = 0;
  std::uint32_t message = 0;
  std::uintptr_t wParam = 0;
  std::intptr_t lParam = 0;
};

// The handler of a window: called on the owning thread when one of its messages is
// dispatched.
using TzvWndMethod = std::function<void(const TMsg& message)>;

// Creates a hidden window owned by the calling thread. Callers normally go through
// AllocateMessageWindow (net/zvWUtils.h), which holds WindowLock.
HWND CreateMessageWindow(TzvWndMethod handler);
// Destroys it: later posts to it fail, messages still queued for it are dropped when
// they are dispatched, and its handler is never reached again. False (EBADF) if unknown.
bool DestroyMessageWindow(HWND window);

// Queues a message for the thread that owns the window and wakes that thread's wait.
// Callable from any thread. False (errno EBADF) when the window does not exist.
bool PostMessage(HWND window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);

inline constexpr std::uint32_t PM_NOREMOVE = 0;
inline constexpr std::uint32_t PM_REMOVE = 1;

// Looks at the calling thread's queue for the first message of the window (0: any) whose
// number lies in [filter_min, filter_max] (both 0: any). True and a copy in `message`
// when there is one; it is removed when `remove_flags` holds PM_REMOVE.
bool PeekMessage(TMsg& message, HWND window, std::uint32_t filter_min, std::uint32_t filter_max,
                 std::uint32_t remove_flags);
// Nothing to translate without a keyboard; kept so the dispatch loops read as usual.
bool TranslateMessage(const TMsg& message);
// Delivers a message to its window's handler on the calling thread (through the
// thread's waiter). A message for a destroyed window is dropped.
void DispatchMessage(const TMsg& message);

// True when the calling thread's queue holds a message.
bool HasThreadMessages();
// The descriptor that is readable while the calling thread's queue holds a message
// (level-triggered; removing the last message makes it unreadable again).
int ThreadMessageFd();

// ---------------------------------------------------------------------------------------
// The wait

// Waits for any one of `count` handles (wait_all must be false) or, when the wake mask
// asks for posted messages, for a message in the calling thread's queue, at most
// `milliseconds` (INFINITE: no limit). Returns WAIT_OBJECT_0 + the index of a signalled
// handle (objects win over messages), `count` when a message is waiting, WAIT_TIMEOUT,
// or WAIT_FAILED with errno set (a bad handle, wait_all, too many handles, poll failure).
std::uint32_t MsgWaitForMultipleObjects(std::uint32_t count, const THandle* handles, bool wait_all,
                                        std::uint32_t milliseconds, std::uint32_t wake_mask);

// What a waiter is asked to wait for.
struct TzvWaitRequest {
  std::span<TzvWaitObject* const> Objects;  // kept alive by the caller during the wait
  std::int64_t TimeoutMs = -1;              // -1: no limit; otherwise 0 or more
  bool WakeOnMessage = true;                // also return when the thread's queue has one
  int MessageFd = -1;                       // ThreadMessageFd() of the calling thread
};

// The replaceable wait and dispatch of one thread.
class TzvThreadWaiter {
 public:
  virtual ~TzvThreadWaiter() = default;
  // Waits as the request says, following the protocol of TzvWaitObject. Returns the index
  // of the first signalled object (its signal consumed), Objects.size() when
  // WakeOnMessage is set and HasThreadMessages() is true, WAIT_TIMEOUT, or WAIT_FAILED
  // with errno set. Checks the objects, then the queue, once before sleeping, so a time-out
  // of 0 reports what is already there.
  virtual std::uint32_t Wait(const TzvWaitRequest& request) = 0;
  // Runs the handler of a dispatched message; the default just calls it. A toolkit may
  // wrap it (for instance to keep exceptions from crossing its own event loop).
  virtual void Dispatch(const TzvWndMethod& handler, const TMsg& message) { handler(message); }
};

// The default waiter: poll() on the objects' descriptors and the queue's descriptor.
class TzvPollWaiter : public TzvThreadWaiter {
 public:
  std::uint32_t Wait(const TzvWaitRequest& request) override;
};

// Makes `waiter` the calling thread's waiter (not owned; it must stay alive until
// UninstallThreadWaiter is called on the same thread). Returns the previous one (null
// when the default was in use).
TzvThreadWaiter* InstallThreadWaiter(TzvThreadWaiter* waiter);
// Goes back to the default waiter for the calling thread.
void UninstallThreadWaiter();
// The waiter in use on the calling thread (the default when none is installed).
TzvThreadWaiter& ThreadWaiter();

// ---------------------------------------------------------------------------------------
// Time and the thread's last error

// Milliseconds since an arbitrary start (monotonic), 32 bits, wrapping.
std::uint32_t GetTickCount();
// The calling thread's last error is errno.
void SetLastError(int error);
int GetLastError();
