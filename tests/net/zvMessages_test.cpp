#include "net/zvMessages.h"
#include "tests/support/MessageQueue.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "net/zvWUtils.h"

namespace {

using Clock = std::chrono::steady_clock;

// Closes a handle at the end of a test.
struct HandleGuard {
  THandle handle;
  ~HandleGuard() {
    if (handle != kzvNoHandle) CloseHandle(handle);
  }
};

// Destroys a window at the end of a test.
struct WindowGuard {
  HWND window;
  ~WindowGuard() { DeallocateMessageWindow(window); }
};

bool FdReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

TEST(EventWait, SignalSetBeforeTheWaitReturnsAtOnce) {
  HandleGuard event{CreateEvent()};
  ASSERT_NE(event.handle, kzvNoHandle);
  ASSERT_TRUE(SetEvent(event.handle));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, INFINITE, kzvWakeMask),
            WAIT_OBJECT_0);
}

TEST(EventWait, TheWaitThatReportsAnAutoResetEventResetsIt) {
  HandleGuard event{CreateEvent()};
  SetEvent(event.handle);
  SetEvent(event.handle);  // two signals still make one
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_TIMEOUT);
}

TEST(EventWait, ManualResetEventStaysSetUntilReset) {
  HandleGuard event{CreateEvent(true, true)};
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, 0), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.handle));
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, 0), WAIT_TIMEOUT);
}

TEST(EventWait, TimeOutZeroFailsAtOnceWhenNothingIsSet) {
  DrainQueue();
  HandleGuard event{CreateEvent()};
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_TIMEOUT);
}

TEST(EventWait, ShortTimeOutWaitsAtLeastItsLength) {
  DrainQueue();
  HandleGuard event{CreateEvent()};
  const auto start = Clock::now();
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 60, kzvWakeMask), WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(55));
}

TEST(EventWait, ReportsTheIndexOfTheSignalledHandle) {
  HandleGuard first{CreateEvent()};
  HandleGuard second{CreateEvent()};
  const THandle handles[] = {first.handle, second.handle};
  SetEvent(second.handle);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, false, 0, kzvWakeMask), WAIT_OBJECT_0 + 1);
  SetEvent(first.handle);
  SetEvent(second.handle);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, false, 0, kzvWakeMask), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, handles, false, 0, kzvWakeMask), WAIT_OBJECT_0 + 1);
}

TEST(EventWait, ManyHandlesAreAllWatchedAndAClosedOneAmongThemFails) {
  // More handles than a wait keeps room for on the stack.
  std::vector<THandle> made;
  struct CloseAll {
    std::vector<THandle>& handles;
    ~CloseAll() {
      for (THandle handle : handles) CloseHandle(handle);
    }
  } close_all{made};
  for (int i = 0; i < 9; ++i) made.push_back(CreateEvent());
  std::vector<THandle> handles = made;
  SetEvent(handles[7]);
  EXPECT_EQ(MsgWaitForMultipleObjects(9, handles.data(), false, 0, kzvWakeMask), WAIT_OBJECT_0 + 7);
  EXPECT_EQ(MsgWaitForMultipleObjects(9, handles.data(), false, 0, kzvWakeMask), WAIT_TIMEOUT);

  const THandle closed = CreateEvent();
  ASSERT_TRUE(CloseHandle(closed));
  handles[6] = closed;
  SetEvent(handles[8]);
  errno = 0;
  EXPECT_EQ(MsgWaitForMultipleObjects(9, handles.data(), false, 0, kzvWakeMask), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), EBADF);
}

TEST(EventWait, EventSetByAnotherThreadWakesTheWait) {
  HandleGuard event{CreateEvent()};
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(event.handle);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 30000, 0), WAIT_OBJECT_0);
  setter.join();
}

TEST(EventWait, BadRequestsFailWithTheErrorSet) {
  HandleGuard event{CreateEvent()};
  const THandle closed = CreateEvent();
  ASSERT_TRUE(CloseHandle(closed));

  errno = 0;
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &closed, false, 0, kzvWakeMask), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), EBADF);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, true, 0, kzvWakeMask), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), EINVAL);
  EXPECT_EQ(MsgWaitForMultipleObjects(2, nullptr, false, 0, kzvWakeMask), WAIT_FAILED);

  EXPECT_FALSE(SetEvent(closed));
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_FALSE(SetEvent(kzvNoHandle));
}

TEST(ThreadMessages, PostFromAnotherThreadWakesTheWaitAndIsDispatchedOnTheWaitingThread) {
  DrainQueue();
  std::vector<TMsg> received;
  std::thread::id handled_on;
  WindowGuard window{AllocateMessageWindow([&](const TMsg& message) {
    received.push_back(message);
    handled_on = std::this_thread::get_id();
  })};
  HandleGuard event{CreateEvent()};

  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    PostMessage(window.window, 3134, 7, 0x20000);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 30000, kzvWakeMask), 1u);
  poster.join();

  EXPECT_TRUE(received.empty());  // waiting does not dispatch
  TMsg message;
  while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) {
    TranslateMessage(message);
    DispatchMessage(message);
  }
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].hwnd, window.window);
  EXPECT_EQ(received[0].message, 3134u);
  EXPECT_EQ(received[0].wParam, 7u);
  EXPECT_EQ(received[0].lParam, 0x20000);
  EXPECT_EQ(handled_on, std::this_thread::get_id());
}

TEST(ThreadMessages, SignalledHandleWinsOverAWaitingMessage) {
  DrainQueue();
  WindowGuard window{AllocateMessageWindow([](const TMsg&) {})};
  HandleGuard event{CreateEvent()};
  PostMessage(window.window, 1, 0, 0);
  SetEvent(event.handle);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_OBJECT_0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), 1u);
  DrainQueue();
}

TEST(ThreadMessages, WakeMaskWithoutPostedMessagesIgnoresTheQueue) {
  DrainQueue();
  WindowGuard window{AllocateMessageWindow([](const TMsg&) {})};
  HandleGuard event{CreateEvent()};
  PostMessage(window.window, 1, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, 0), WAIT_TIMEOUT);
  DrainQueue();
}

// A thread without windows gets no messages, so its waits leave the queue out; one still
// queued for a window destroyed since is reported all the same, and a window made later
// brings the queue back into the wait.
TEST(ThreadMessages, WaitsOfAThreadWithoutWindowsStillSeeWhatIsQueued) {
  std::thread([] {
    HandleGuard event{CreateEvent()};
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_TIMEOUT);
    HWND window = AllocateMessageWindow([](const TMsg&) {});
    ASSERT_TRUE(PostMessage(window, 1, 0, 0));
    DeallocateMessageWindow(window);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), 1u);
    DrainQueue();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_TIMEOUT);

    WindowGuard later{AllocateMessageWindow([](const TMsg&) {})};
    std::thread poster([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      PostMessage(later.window, 2, 0, 0);
    });
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 30000, kzvWakeMask), 1u);
    poster.join();
    DrainQueue();
  }).join();
}

TEST(ThreadMessages, WakeDescriptorIsReadableExactlyWhileMessagesWait) {
  DrainQueue();
  WindowGuard window{AllocateMessageWindow([](const TMsg&) {})};
  const int fd = ThreadMessageFd();
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(FdReadable(fd));
  PostMessage(window.window, 1, 0, 0);
  PostMessage(window.window, 2, 0, 0);
  EXPECT_TRUE(FdReadable(fd));
  EXPECT_TRUE(HasThreadMessages());
  TMsg message;
  ASSERT_TRUE(PeekMessage(message, 0, 0, 0, PM_REMOVE));
  EXPECT_TRUE(FdReadable(fd));
  ASSERT_TRUE(PeekMessage(message, 0, 0, 0, PM_REMOVE));
  EXPECT_FALSE(FdReadable(fd));
  EXPECT_FALSE(HasThreadMessages());
}

TEST(ThreadMessages, EachThreadHasItsOwnQueue) {
  DrainQueue();
  WindowGuard window{AllocateMessageWindow([](const TMsg&) {})};
  PostMessage(window.window, 1, 0, 0);
  bool other_sees_message = true;
  std::thread([&] { other_sees_message = HasThreadMessages(); }).join();
  EXPECT_FALSE(other_sees_message);
  EXPECT_TRUE(HasThreadMessages());
  DrainQueue();
}

TEST(MessageWindows, MessagesOfADestroyedWindowAreDropped) {
  DrainQueue();
  int reached = 0;
  HWND window = AllocateMessageWindow([&](const TMsg&) { ++reached; });
  ASSERT_TRUE(PostMessage(window, 1, 0, 0));
  DeallocateMessageWindow(window);

  errno = 0;
  EXPECT_FALSE(PostMessage(window, 2, 0, 0));
  EXPECT_EQ(errno, EBADF);
  TMsg message;
  while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
  EXPECT_EQ(reached, 0);
}

TEST(MessageWindows, FilteredRemovalDiscardsWithoutDispatching) {
  DrainQueue();
  int reached_first = 0;
  int reached_second = 0;
  WindowGuard first{AllocateMessageWindow([&](const TMsg&) { ++reached_first; })};
  WindowGuard second{AllocateMessageWindow([&](const TMsg&) { ++reached_second; })};
  PostMessage(first.window, 1, 0, 0);
  PostMessage(second.window, 1, 0, 0);
  PostMessage(first.window, 2, 0, 0);

  TMsg message;
  int discarded = 0;
  while (PeekMessage(message, first.window, 0, 0, PM_REMOVE)) ++discarded;
  EXPECT_EQ(discarded, 2);
  EXPECT_EQ(reached_first, 0);

  while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
  EXPECT_EQ(reached_first, 0);
  EXPECT_EQ(reached_second, 1);
}

TEST(MessageWindows, HandlerMayDestroyItsOwnWindow) {
  DrainQueue();
  int reached = 0;
  HWND window = 0;
  window = AllocateMessageWindow([&](const TMsg&) {
    ++reached;
    DeallocateMessageWindow(window);
  });
  PostMessage(window, 1, 0, 0);
  PostMessage(window, 2, 0, 0);
  TMsg message;
  while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
  EXPECT_EQ(reached, 1);
}

// A waiter as a toolkit would write one: it follows the object protocol with its own loop.
class RecordingWaiter : public TzvThreadWaiter {
 public:
  std::uint32_t Wait(const TzvWaitRequest& request) override {
    ++waits;
    seen_message_fd = request.MessageFd;
    for (TzvWaitObject* object : request.Objects) {
      std::vector<pollfd> fds;
      object->AddPollFds(fds);
      fd_count += static_cast<int>(fds.size());
    }
    return fallback.Wait(request);
  }
  void Dispatch(const TzvWndMethod& handler, const TMsg& message) override {
    ++dispatches;
    handler(message);
  }
  TzvPollWaiter fallback;
  int waits = 0;
  int dispatches = 0;
  int fd_count = 0;
  int seen_message_fd = -1;
};

TEST(ThreadWaiter, InstalledWaiterServesWaitsAndDispatchOfItsThreadOnly) {
  DrainQueue();
  RecordingWaiter waiter;
  EXPECT_EQ(InstallThreadWaiter(&waiter), nullptr);
  EXPECT_EQ(&ThreadWaiter(), &waiter);

  HandleGuard event{CreateEvent()};
  SetEvent(event.handle);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask), WAIT_OBJECT_0);
  EXPECT_EQ(waiter.waits, 1);
  EXPECT_EQ(waiter.fd_count, 1);
  EXPECT_EQ(waiter.seen_message_fd, ThreadMessageFd());

  int reached = 0;
  WindowGuard window{AllocateMessageWindow([&](const TMsg&) { ++reached; })};
  PostMessage(window.window, 1, 0, 0);
  TMsg message;
  while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
  EXPECT_EQ(waiter.dispatches, 1);
  EXPECT_EQ(reached, 1);

  bool other_thread_uses_it = true;
  std::thread([&] { other_thread_uses_it = &ThreadWaiter() == &waiter; }).join();
  EXPECT_FALSE(other_thread_uses_it);

  UninstallThreadWaiter();
  EXPECT_NE(&ThreadWaiter(), &waiter);
  SetEvent(event.handle);
  MsgWaitForMultipleObjects(1, &event.handle, false, 0, kzvWakeMask);
  EXPECT_EQ(waiter.waits, 1);
}

}  // namespace
