// The Qt waiter: library waits on the user-interface thread that end for a signalled
// event, a posted message or the time-out, while Qt's own events go on being handled.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QElapsedTimer>
#include <QPaintEvent>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/QtThreadWaiter.h"
#include "net/zvMessages.h"
#include "tests/app/AppTestSupport.h"

namespace {

using namespace std::chrono_literals;

// An auto-reset event that closes itself.
struct TEvent {
  THandle handle = CreateEvent();
  ~TEvent() { CloseHandle(handle); }
};

// A hidden message window whose handler notes what reached it and on which thread.
struct TReceiver {
  std::vector<std::uint32_t> messages;
  std::thread::id thread;
  HWND window = CreateMessageWindow([this](const TMsg& message) {
    messages.push_back(message.message);
    thread = std::this_thread::get_id();
  });
  ~TReceiver() { DestroyMessageWindow(window); }
};

// Runs `action` on another thread after `delay`; joins when it goes.
struct TLater {
  std::thread thread;
  TLater(std::chrono::milliseconds delay, std::function<void()> action)
      : thread([delay, action = std::move(action)] {
          std::this_thread::sleep_for(delay);
          action();
        }) {}
  ~TLater() { thread.join(); }
};

std::uint32_t WaitOn(THandle handle, std::uint32_t milliseconds) {
  return MsgWaitForMultipleObjects(1, &handle, false, milliseconds, kzvWakeMask);
}

class TPaintCounter : public QWidget {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent*) override { ++paints; }
};

}  // namespace

TEST(QtWaiter, ASignalAlreadySetOrNoTimeLeftEndsTheWaitAtOnce) {
  TQtWaiterInstallation installation;
  TEvent event;
  SetEvent(event.handle);
  EXPECT_EQ(WaitOn(event.handle, 5000), WAIT_OBJECT_0);
  // The wait consumed the signal of the self-resetting event.
  EXPECT_EQ(WaitOn(event.handle, 0), WAIT_TIMEOUT);
}

TEST(QtWaiter, AnEventSignalledFromAnotherThreadEndsTheWait) {
  TQtWaiterInstallation installation;
  TEvent event;
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  std::uint32_t result;
  {
    TLater signal(300ms, [&] { SetEvent(event.handle); });
    result = WaitOn(event.handle, 20000);
  }
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_GT(ticks, 0) << "Qt's timers did not run during the wait";
  EXPECT_EQ(installation.Waiter().ActiveWaits(), 0);
}

TEST(QtWaiter, APostedMessageEndsTheWaitAndIsDispatchedOnTheWaitingThread) {
  TQtWaiterInstallation installation;  // with the idle dispatch, which must stay out of it
  TEvent event;
  TReceiver receiver;
  std::uint32_t result;
  {
    TLater post(100ms, [&] { PostMessage(receiver.window, 0x4A1, 1, 2); });
    result = WaitOn(event.handle, 20000);
  }
  EXPECT_EQ(result, 1u) << "a waiting message is reported as the handle count";
  EXPECT_TRUE(receiver.messages.empty()) << "dispatched behind the wait's back";

  TMsg message;
  ASSERT_TRUE(PeekMessage(message, 0, 0, 0, PM_REMOVE));
  DispatchMessage(message);
  ASSERT_EQ(receiver.messages.size(), 1u);
  EXPECT_EQ(receiver.messages[0], 0x4A1u);
  EXPECT_EQ(receiver.thread, std::this_thread::get_id());
}

TEST(QtWaiter, NothingArrivingMeansATimeOut) {
  TQtWaiterInstallation installation;
  TEvent event;
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(WaitOn(event.handle, 200), WAIT_TIMEOUT);
  EXPECT_GE(clock.elapsed(), 190);
  EXPECT_EQ(WaitOn(event.handle, 0), WAIT_TIMEOUT);
}

TEST(QtWaiter, TheWindowRepaintsWhileAWaitRuns) {
  TQtWaiterInstallation installation;
  TPaintCounter window;
  window.resize(120, 80);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  const int paintsBefore = window.paints;
  QTimer repaint;
  QObject::connect(&repaint, &QTimer::timeout, [&] { window.update(); });
  repaint.start(20);
  TEvent event;
  EXPECT_EQ(WaitOn(event.handle, 500), WAIT_TIMEOUT);
  EXPECT_GE(window.paints - paintsBefore, 2);
}

// A waitable object over a pipe: each byte written makes the descriptor readable, but
// only the second byte signals it, as a socket may wake a wait for an event the waiter
// does not count.
class TSecondByte : public TzvWaitObject {
 public:
  TSecondByte() { EXPECT_EQ(pipe(fds_), 0); }
  ~TSecondByte() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  void Write() { EXPECT_EQ(write(fds_[1], "x", 1), 1); }
  bool Consume() override {
    char byte;
    while (pending_ < 2 && Readable() && read(fds_[0], &byte, 1) == 1) ++pending_;
    if (pending_ < 2) return false;
    pending_ = 0;
    return true;
  }
  void AddPollFds(std::vector<pollfd>& fds) const override {
    fds.push_back(pollfd{fds_[0], POLLIN, 0});
  }

 private:
  bool Readable() const {
    pollfd fd{fds_[0], POLLIN, 0};
    return poll(&fd, 1, 0) == 1;
  }
  int fds_[2] = {-1, -1};
  int pending_ = 0;
};

TEST(QtWaiter, AReadyDescriptorIsOnlyAHintAndTheWaitGoesOn) {
  TQtThreadWaiter waiter(false);
  TSecondByte object;
  TzvWaitObject* objects[] = {&object};
  TzvWaitRequest request;
  request.Objects = objects;
  request.TimeoutMs = 20000;
  request.WakeOnMessage = false;
  std::uint32_t result;
  {
    TLater first(50ms, [&] { object.Write(); });
    TLater second(300ms, [&] { object.Write(); });
    result = waiter.Wait(request);
  }
  EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(QtWaiter, MessagesPostedBetweenWaitsReachTheirReceiverFromQtsLoop) {
  TReceiver receiver;
  {
    TQtWaiterInstallation installation(true);
    PostMessage(receiver.window, 0x4A2, 0, 0);
    EXPECT_TRUE(WaitUntil([&] { return !receiver.messages.empty(); }));
  }
  {
    // Without the idle dispatch they stay queued for the next wait.
    TQtWaiterInstallation installation(false);
    PostMessage(receiver.window, 0x4A3, 0, 0);
    QTest::qWait(50);
    EXPECT_EQ(receiver.messages.size(), 1u);
    EXPECT_TRUE(HasThreadMessages());
    TEvent event;
    EXPECT_EQ(WaitOn(event.handle, 0), 1u);
    TMsg message;
    while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
    EXPECT_EQ(receiver.messages.size(), 2u);
  }
}
