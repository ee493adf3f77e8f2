#include "base/ScopeExit.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(ScopeExit, RunsOnReturnAndOnThrowUnlessDismissed) {
  int runs = 0;
  {
    auto guard = ScopeExit([&] { ++runs; });
  }
  EXPECT_EQ(runs, 1);
  EXPECT_THROW(
      {
        auto guard = ScopeExit([&] { ++runs; });
        throw std::runtime_error("failed");
      },
      std::runtime_error);
  EXPECT_EQ(runs, 2);
  {
    auto guard = ScopeExit([&] { ++runs; });
    guard.Dismiss();
  }
  EXPECT_EQ(runs, 2);
}

TEST(ScopeExit, TheFailureThatEndedTheScopeIsTheOneSeen) {
  // An undo that fails on a normal exit reports its failure; one that fails while another
  // failure is on its way is passed over.
  EXPECT_THROW({ auto guard = ScopeExit([] { throw std::logic_error("undo"); }); },
               std::logic_error);
  try {
    auto guard = ScopeExit([] { throw std::logic_error("undo"); });
    throw std::runtime_error("first");
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "first");
  }
}

}  // namespace
