// Pages nobody looks at yet start after the editor pages being opened, never before the turn
// of the main loop that asked ends, and at the latest after their bound.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "canvas/BackgroundPages.h"
#include "platform/RunLoop.h"

namespace {

TEST(BackgroundPages, StartInOrderOnceNoEditorHoldsThem) {
  std::string started;
  auto first = std::make_unique<BackgroundPages::Hold>();
  auto second = std::make_unique<BackgroundPages::Hold>();
  BackgroundPages::whenIdle([&] { started += "a"; });
  BackgroundPages::whenIdle([&] {
    started += "b";
    // Asked while starting: waits for a turn of its own.
    BackgroundPages::whenIdle([&] { started += "c"; });
  });
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(started, "");
  first.reset();
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(started, "") << "one editor still loads";
  second.reset();
  EXPECT_EQ(started, "") << "never within the turn that let them go";
  ASSERT_TRUE(RunLoop::runUntil([&] { return started == "abc"; }, 5));
  EXPECT_EQ(BackgroundPages::waiting(), 0);
}

TEST(BackgroundPages, WithoutAHoldStartAfterTheTurnThatAsked) {
  bool started = false;
  BackgroundPages::whenIdle([&] { started = true; });
  EXPECT_FALSE(started) << "a document handed over in the same turn must count";
  ASSERT_TRUE(RunLoop::runUntil([&] { return started; }, 5));
}

TEST(BackgroundPages, AnEditorThatNeverGetsReadyHoldsThemOnlyUntilTheirBound) {
  int started = 0;
  auto stuck = std::make_unique<BackgroundPages::Hold>();
  BackgroundPages::whenIdle([&] { ++started; }, 0.3);
  ASSERT_TRUE(RunLoop::runUntil([&] { return started == 1; }, 10));
  // Released later, it does not start the page again.
  stuck.reset();
  RunLoop::runUntil([] { return false; }, 0.1);
  EXPECT_EQ(started, 1);
  EXPECT_EQ(BackgroundPages::waiting(), 0);
}

}  // namespace
