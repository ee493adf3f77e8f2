#include "net/zvMessages.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace {

// ---------------------------------------------------------------------------------------
// The handle table. Objects are shared so that a wait keeps its objects alive even when
// another thread closes a handle meanwhile.

struct THandleTable {
  std::mutex lock;
  std::unordered_map<THandle, std::shared_ptr<TzvWaitObject>> objects;
  THandle next = 1;
};

THandleTable& Handles() {
  static THandleTable table;
  return table;
}

// An event is an eventfd whose counter is non-zero while the event is set.
class TzvEventObject : public TzvWaitObject {
 public:
  TzvEventObject(int fd, bool manual_reset) : fd_(fd), manual_reset_(manual_reset) {}
  ~TzvEventObject() override { ::close(fd_); }
  TzvEventObject(const TzvEventObject&) = delete;
  TzvEventObject& operator=(const TzvEventObject&) = delete;

  bool Consume() override {
    if (manual_reset_) {
      pollfd p{fd_, POLLIN, 0};
      return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
    }
    // Reading takes the whole counter: the wait that sees the event resets it.
    eventfd_t value = 0;
    return ::eventfd_read(fd_, &value) == 0;
  }
  void AddPollFds(std::vector<pollfd>& fds) const override { fds.push_back({fd_, POLLIN, 0}); }
  bool ConsumePolled(const pollfd* fds, std::size_t count) override {
    // Not readable at the poll: not set then, and a set since then wakes the next poll.
    if (count == 1 && (fds[0].revents & (POLLIN | POLLERR)) == 0) return false;
    return Consume();
  }

  bool Set() {
    // A counter already at its limit is still set; nothing is lost by failing to add.
    if (::eventfd_write(fd_, 1) == 0 || errno == EAGAIN) return true;
    return false;
  }
  void Reset() {
    eventfd_t value = 0;
    ::eventfd_read(fd_, &value);
  }

 private:
  int fd_;
  bool manual_reset_;
};

std::shared_ptr<TzvEventObject> FindEvent(THandle handle) {
  auto event = std::dynamic_pointer_cast<TzvEventObject>(FindWaitObject(handle));
  if (!event) errno = EBADF;
  return event;
}

// ---------------------------------------------------------------------------------------
// Thread queues. Each thread's queue is made on first use; windows hold a share of their
// owner's queue, so a post from another thread never reaches a freed queue.

class TzvMessageQueue {
 public:
  explicit TzvMessageQueue(int wake_fd) : wake_fd_(wake_fd) {}
  ~TzvMessageQueue() { ::close(wake_fd_); }
  TzvMessageQueue(const TzvMessageQueue&) = delete;
  TzvMessageQueue& operator=(const TzvMessageQueue&) = delete;

  int WakeFd() const { return wake_fd_; }

  void Post(const TMsg& message) {
    std::lock_guard guard(lock_);
    const bool was_empty = messages_.empty();
    messages_.push_back(message);
    // The descriptor is readable exactly while the queue holds something.
    if (was_empty) ::eventfd_write(wake_fd_, 1);
  }

  bool Peek(TMsg& message, HWND window, std::uint32_t min, std::uint32_t max, bool remove) {
    std::lock_guard guard(lock_);
    for (auto it = messages_.begin(); it != messages_.end(); ++it) {
      if (window != 0 && it->hwnd != window) continue;
      if ((min != 0 || max != 0) && (it->message < min || it->message > max)) continue;
      message = *it;
      if (remove) {
        messages_.erase(it);
        if (messages_.empty()) {
          eventfd_t value = 0;
          ::eventfd_read(wake_fd_, &value);
        }
      }
      return true;
    }
    return false;
  }

  bool Empty() {
    std::lock_guard guard(lock_);
    return messages_.empty();
  }

  // How many live windows take their messages from this queue.
  std::atomic<int> windows{0};

 private:
  std::mutex lock_;
  std::deque<TMsg> messages_;
  int wake_fd_;
};

std::shared_ptr<TzvMessageQueue>& ThreadQueueSlot() {
  thread_local std::shared_ptr<TzvMessageQueue> queue;
  return queue;
}

// The calling thread's queue, or none (errno set) when no descriptor could be made.
std::shared_ptr<TzvMessageQueue> CurrentQueue() {
  std::shared_ptr<TzvMessageQueue>& queue = ThreadQueueSlot();
  if (!queue) {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return nullptr;
    queue = std::make_shared<TzvMessageQueue>(fd);
  }
  return queue;
}

// ---------------------------------------------------------------------------------------
// Windows

struct TzvWindowRecord {
  std::shared_ptr<TzvMessageQueue> queue;
  std::shared_ptr<const TzvWndMethod> handler;
};

struct TWindowTable {
  std::mutex lock;
  std::unordered_map<HWND, TzvWindowRecord> windows;
  HWND next = 1;
};

TWindowTable& Windows() {
  static TWindowTable table;
  return table;
}

// ---------------------------------------------------------------------------------------
// Waiters

TzvPollWaiter& DefaultWaiter() {
  static TzvPollWaiter waiter;  // stateless, shared by every thread
  return waiter;
}

thread_local TzvThreadWaiter* installed_waiter = nullptr;

}  // namespace

// ---------------------------------------------------------------------------------------
// Handles and events

THandle RegisterWaitObject(std::shared_ptr<TzvWaitObject> object) {
  if (!object) {
    errno = EINVAL;
    return kzvNoHandle;
  }
  auto& table = Handles();
  std::lock_guard guard(table.lock);
  const THandle handle = table.next++;
  table.objects.emplace(handle, std::move(object));
  return handle;
}

namespace {

// The objects of `count` handles, found under one hold of the table's lock; false (errno
// EBADF) when any handle is not open.
bool HoldWaitObjects(const THandle* handles, std::size_t count,
                     std::shared_ptr<TzvWaitObject>* held) {
  auto& table = Handles();
  std::lock_guard guard(table.lock);
  for (std::size_t i = 0; i < count; ++i) {
    auto it = table.objects.find(handles[i]);
    if (it == table.objects.end()) {
      errno = EBADF;
      return false;
    }
    held[i] = it->second;
  }
  return true;
}

}  // namespace

std::shared_ptr<TzvWaitObject> FindWaitObject(THandle handle) {
  std::shared_ptr<TzvWaitObject> object;
  HoldWaitObjects(&handle, 1, &object);
  return object;
}

THandle CreateEvent(bool manual_reset, bool initial_state) {
  const int fd = ::eventfd(initial_state ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return kzvNoHandle;
  return RegisterWaitObject(std::make_shared<TzvEventObject>(fd, manual_reset));
}

bool SetEvent(THandle event) {
  auto object = FindEvent(event);
  return object && object->Set();
}

bool ResetEvent(THandle event) {
  auto object = FindEvent(event);
  if (!object) return false;
  object->Reset();
  return true;
}

bool CloseHandle(THandle handle) {
  std::shared_ptr<TzvWaitObject> released;  // freed after the lock is let go
  auto& table = Handles();
  std::lock_guard guard(table.lock);
  auto it = table.objects.find(handle);
  if (it == table.objects.end()) {
    errno = EBADF;
    return false;
  }
  released = std::move(it->second);
  table.objects.erase(it);
  return true;
}

// ---------------------------------------------------------------------------------------
// Messages

HWND CreateMessageWindow(TzvWndMethod handler) {
  auto queue = CurrentQueue();
  if (!queue) return 0;
  auto& table = Windows();
  std::lock_guard guard(table.lock);
  const HWND window = table.next++;
  ++queue->windows;
  table.windows.emplace(
      window,
      TzvWindowRecord{std::move(queue), std::make_shared<const TzvWndMethod>(std::move(handler))});
  return window;
}

bool DestroyMessageWindow(HWND window) {
  TzvWindowRecord released;
  auto& table = Windows();
  std::lock_guard guard(table.lock);
  auto it = table.windows.find(window);
  if (it == table.windows.end()) {
    errno = EBADF;
    return false;
  }
  released = std::move(it->second);
  table.windows.erase(it);
  --released.queue->windows;
  return true;
}

bool PostMessage(HWND window, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
  auto& table = Windows();
  // Posting under the table's lock means that once DestroyMessageWindow has returned,
  // nothing more can be queued for the window.
  std::lock_guard guard(table.lock);
  auto it = table.windows.find(window);
  if (it == table.windows.end()) {
    errno = EBADF;
    return false;
  }
  it->second.queue->Post(TMsg{window, message, wparam, lparam});
  return true;
}

bool PeekMessage(TMsg& message, HWND window, std::uint32_t filter_min, std::uint32_t filter_max,
                 std::uint32_t remove_flags) {
  auto queue = CurrentQueue();
  return queue &&
         queue->Peek(message, window, filter_min, filter_max, (remove_flags & PM_REMOVE) != 0);
}

bool TranslateMessage(const TMsg&) {
  return false;
}

void DispatchMessage(const TMsg& message) {
  std::shared_ptr<const TzvWndMethod> handler;
  {
    auto& table = Windows();
    std::lock_guard guard(table.lock);
    auto it = table.windows.find(message.hwnd);
    if (it == table.windows.end()) return;  // the window is gone: the message is dropped
    handler = it->second.handler;
  }
  // Called without the lock: a handler may make or destroy windows itself.
  if (*handler) ThreadWaiter().Dispatch(*handler, message);
}

bool HasThreadMessages() {
  auto queue = CurrentQueue();
  return queue && !queue->Empty();
}

bool ThreadMayReceiveMessages() {
  const std::shared_ptr<TzvMessageQueue>& queue = ThreadQueueSlot();
  return queue && (queue->windows.load() > 0 || !queue->Empty());
}

int ThreadMessageFd() {
  auto queue = CurrentQueue();
  return queue ? queue->WakeFd() : -1;
}

// ---------------------------------------------------------------------------------------
// The wait

std::uint32_t TzvPollWaiter::Wait(const TzvWaitRequest& request) {
  using Clock = std::chrono::steady_clock;
  const bool limited = request.TimeoutMs >= 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limited ? request.TimeoutMs : 0);
  // Kept per thread and reused: a wait is made for every datagram.
  thread_local std::vector<pollfd> fds;
  thread_local std::vector<std::size_t> owned;  // how many of `fds` each object gave
  fds.clear();
  owned.clear();
  bool polled = false;  // `fds` holds the answer of a poll that found something
  bool asked = false;   // a poll was made
  for (;;) {
    // Before the first poll only what the objects already know counts: a signal set
    // meanwhile makes that poll return at once, so it is found all the same, and the
    // usual wait costs one system call instead of one per object and the poll.
    std::size_t at = 0;
    for (std::size_t i = 0; i < request.Objects.size(); ++i) {
      TzvWaitObject* object = request.Objects[i];
      const bool signalled =
          polled ? object->ConsumePolled(fds.data() + at, owned[i]) : object->ConsumeKnown();
      if (signalled) return static_cast<std::uint32_t>(i);
      if (polled) at += owned[i];
    }
    // A waiting message keeps the wake descriptor readable, so the first poll returns at
    // once for it, and a handle signalled as well still comes first.
    if (asked && request.WakeOnMessage && HasThreadMessages())
      return static_cast<std::uint32_t>(request.Objects.size());

    int wait_ms = -1;
    if (limited) {
      const auto left = deadline - Clock::now();
      // At least one poll is made, so that a signal set before a wait without time is
      // still seen.
      if (left <= Clock::duration::zero() && asked) return WAIT_TIMEOUT;
      // Rounded up, so that the wait never ends just before the deadline and spins.
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
      wait_ms = static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT_MAX));
    }
    fds.clear();
    owned.clear();
    for (TzvWaitObject* object : request.Objects) {
      const std::size_t before = fds.size();
      object->AddPollFds(fds);
      owned.push_back(fds.size() - before);
    }
    if (request.WakeOnMessage && request.MessageFd >= 0)
      fds.push_back({request.MessageFd, POLLIN, 0});
    const int ready = ::poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0 && errno != EINTR) return WAIT_FAILED;
    polled = ready > 0;
    asked = true;
  }
}

std::uint32_t MsgWaitForMultipleObjects(std::uint32_t count, const THandle* handles, bool wait_all,
                                        std::uint32_t milliseconds, std::uint32_t wake_mask) {
  // Waiting for all handles is never needed by the library and is not offered.
  constexpr std::uint32_t kMaxHandles = 63;
  if (wait_all || count > kMaxHandles || (count > 0 && handles == nullptr)) {
    errno = EINVAL;
    return WAIT_FAILED;
  }
  // Every lookup waits several times, and the bookkeeping of a wait should cost no
  // allocation of its own: the usual one or two objects are held on the stack.
  constexpr std::uint32_t kHeldInline = 4;
  std::array<std::shared_ptr<TzvWaitObject>, kHeldInline> held_inline;
  std::vector<std::shared_ptr<TzvWaitObject>> held_more;
  std::shared_ptr<TzvWaitObject>* held = held_inline.data();
  if (count > kHeldInline) {
    held_more.resize(count);
    held = held_more.data();
  }
  if (!HoldWaitObjects(handles, count, held)) return WAIT_FAILED;
  std::array<TzvWaitObject*, kMaxHandles> objects;
  for (std::uint32_t i = 0; i < count; ++i) objects[i] = held[i].get();
  TzvWaitRequest request;
  request.Objects = std::span<TzvWaitObject* const>(objects.data(), count);
  request.TimeoutMs = milliseconds == INFINITE ? -1 : static_cast<std::int64_t>(milliseconds);
  // Messages reach a thread only through windows it made itself, and a thread sleeping in
  // the plain poll waiter runs nothing that could make one: without a window or a message
  // already queued there is nothing to watch for, and the poll is spared the queue's
  // descriptor. An installed waiter runs other code while it waits, so it always watches.
  request.WakeOnMessage = (wake_mask & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) != 0 &&
                          (installed_waiter != nullptr || ThreadMayReceiveMessages());
  if (request.WakeOnMessage) {
    request.MessageFd = ThreadMessageFd();
    if (request.MessageFd < 0) return WAIT_FAILED;
  }
  return ThreadWaiter().Wait(request);
}

TzvThreadWaiter* InstallThreadWaiter(TzvThreadWaiter* waiter) {
  TzvThreadWaiter* previous = installed_waiter;
  installed_waiter = waiter;
  return previous;
}

void UninstallThreadWaiter() {
  installed_waiter = nullptr;
}

TzvThreadWaiter& ThreadWaiter() {
  return installed_waiter != nullptr ? *installed_waiter : DefaultWaiter();
}

// ---------------------------------------------------------------------------------------
// Time and errors

std::uint32_t GetTickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps like the 32-bit counter it stands for
}

void SetLastError(int error) {
  errno = error;
}

int GetLastError() {
  return errno;
}
