#include "app/QtThreadWaiter.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <cerrno>
#include <exception>
#include <limits>
#include <optional>
#include <vector>

namespace {

// Messages handled per wake-up of the idle dispatch: a handler that posts again cannot
// keep Qt's loop from its own events (the descriptor stays readable, so the rest follow).
constexpr int kIdleDispatchBatch = 64;

// What ended one round of the nested loop.
enum class TWake { None, Ready, TimedOut };

// The objects' descriptors and the queue's, one entry per descriptor with the events of
// every request for it merged: Qt allows one notifier of each kind per descriptor.
std::vector<pollfd> WatchList(const TzvWaitRequest& request) {
  std::vector<pollfd> asked;
  for (TzvWaitObject* object : request.Objects) object->AddPollFds(asked);
  if (request.WakeOnMessage) {
    const int fd = request.MessageFd >= 0 ? request.MessageFd : ThreadMessageFd();
    asked.push_back(pollfd{fd, POLLIN, 0});
  }
  std::vector<pollfd> merged;
  for (const pollfd& entry : asked) {
    auto same = std::find_if(merged.begin(), merged.end(),
                             [&](const pollfd& m) { return m.fd == entry.fd; });
    if (same == merged.end())
      merged.push_back(entry);
    else
      same->events = static_cast<short>(same->events | entry.events);
  }
  return merged;
}

// The result a wait can give without sleeping, if any: a signalled object (its signal
// consumed), then a waiting message.
std::optional<std::uint32_t> Ready(const TzvWaitRequest& request) {
  for (std::size_t i = 0; i < request.Objects.size(); ++i)
    if (request.Objects[i]->Consume()) return static_cast<std::uint32_t>(WAIT_OBJECT_0 + i);
  if (request.WakeOnMessage && HasThreadMessages())
    return static_cast<std::uint32_t>(request.Objects.size());
  return std::nullopt;
}

}  // namespace

TQtThreadWaiter::TQtThreadWaiter(bool dispatchWhenIdle) {
  if (!dispatchWhenIdle) return;
  const int fd = ThreadMessageFd();
  if (fd < 0) return;
  idle_notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(idle_notifier_.get(), &QSocketNotifier::activated,
                   [this] { DispatchPending(); });
}

TQtThreadWaiter::~TQtThreadWaiter() = default;

void TQtThreadWaiter::DispatchPending() {
  TMsg message;
  for (int handled = 0; handled < kIdleDispatchBatch; ++handled) {
    if (!PeekMessage(message, 0, 0, 0, PM_REMOVE)) return;
    TranslateMessage(message);
    // Qt's event loop must not be crossed by an exception; a receiver that fails outside
    // any wait has no caller to report to.
    try {
      DispatchMessage(message);
    } catch (const std::exception& failure) {
      qWarning("pellamar: a message handler failed: %s", failure.what());
    }
  }
}

std::uint32_t TQtThreadWaiter::Wait(const TzvWaitRequest& request) {
  // While a library wait runs, its own notifier watches the queue: the idle dispatch
  // must not take away the message the wait is there to report.
  const bool idleWasOn = idle_notifier_ && idle_notifier_->isEnabled();
  if (idle_notifier_) idle_notifier_->setEnabled(false);
  ++active_waits_;
  struct TRestore {
    TQtThreadWaiter& waiter;
    bool idleWasOn;
    ~TRestore() {
      --waiter.active_waits_;
      if (waiter.idle_notifier_) waiter.idle_notifier_->setEnabled(idleWasOn);
    }
  } restore{*this, idleWasOn};

  QElapsedTimer clock;
  clock.start();
  for (;;) {
    if (auto result = Ready(request)) return *result;

    std::int64_t remaining = -1;
    if (request.TimeoutMs >= 0) {
      remaining = request.TimeoutMs - clock.elapsed();
      if (remaining <= 0) return WAIT_TIMEOUT;
    }

    const std::vector<pollfd> watches = WatchList(request);
    QEventLoop loop;
    TWake wake = TWake::None;
    std::vector<std::unique_ptr<QSocketNotifier>> notifiers;
    const auto ready = [&] {
      wake = TWake::Ready;
      loop.exit();
    };
    for (const pollfd& watch : watches) {
      if (watch.fd < 0) {
        errno = EBADF;
        return WAIT_FAILED;
      }
      const std::pair<short, QSocketNotifier::Type> kinds[] = {
          {POLLIN, QSocketNotifier::Read},
          {POLLOUT, QSocketNotifier::Write},
          {POLLPRI, QSocketNotifier::Exception}};
      for (const auto& [bits, type] : kinds) {
        if ((watch.events & bits) == 0) continue;
        notifiers.push_back(std::make_unique<QSocketNotifier>(watch.fd, type));
        QObject::connect(notifiers.back().get(), &QSocketNotifier::activated, &loop, ready);
      }
    }

    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    if (remaining >= 0) {
      QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        wake = TWake::TimedOut;
        loop.exit();
      });
      timer.start(
          static_cast<int>(std::min<std::int64_t>(remaining, std::numeric_limits<int>::max())));
    }

    loop.exec(QEventLoop::AllEvents);
    notifiers.clear();
    if (wake == TWake::TimedOut) return WAIT_TIMEOUT;
    if (wake == TWake::None) {
      // The application is quitting: Qt ends every nested loop at once from now on, so
      // the rest of this wait blocks the plain way instead of spinning.
      TzvWaitRequest rest = request;
      if (rest.TimeoutMs >= 0)
        rest.TimeoutMs = std::max<std::int64_t>(0, request.TimeoutMs - clock.elapsed());
      return TzvPollWaiter().Wait(rest);
    }
    // A ready descriptor is only a hint, and the loop may also have been ended by the
    // application quitting: look again and keep waiting for what is left of the time.
  }
}

TQtWaiterInstallation::TQtWaiterInstallation(bool dispatchWhenIdle)
    : waiter_(dispatchWhenIdle), previous_(InstallThreadWaiter(&waiter_)) {}

TQtWaiterInstallation::~TQtWaiterInstallation() {
  if (previous_ != nullptr)
    InstallThreadWaiter(previous_);
  else
    UninstallThreadWaiter();
}
