// Runs an action when the scope it was made in ends, by a return or by an exception: the
// undoing of a temporary change stands next to the change, instead of in a catch block that
// rethrows.
//
//   const auto saved = Server();
//   auto restore = ScopeExit([&] { SetServer(saved); });
//   FollowReferral(...);
//
// Dismiss() keeps the action from running (for an undo needed only when something failed).
// An action that fails while an exception is already on its way is passed over: the
// failure that ended the scope is the one the caller must see.
#pragma once

#include <exception>
#include <utility>

template <class Action>
class TScopeExit {
 public:
  explicit TScopeExit(Action action)
      : action_(std::move(action)), exceptions_(std::uncaught_exceptions()) {}
  ~TScopeExit() noexcept(false) {
    if (!armed_) return;
    if (std::uncaught_exceptions() == exceptions_) {
      action_();
      return;
    }
    try {
      action_();
    } catch (...) {
    }
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

  void Dismiss() { armed_ = false; }

 private:
  Action action_;
  int exceptions_;
  bool armed_ = true;
};

template <class Action>
[[nodiscard]] TScopeExit<Action> ScopeExit(Action action) {
  return TScopeExit<Action>(std::move(action));
}
