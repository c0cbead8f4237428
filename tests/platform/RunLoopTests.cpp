#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <thread>

#include "platform/RunLoop.h"

using namespace std::chrono;

namespace {
double secondsSince(steady_clock::time_point start) { return duration<double>(steady_clock::now() - start).count(); }
}  // namespace

TEST(RecursiveWait, FalsePredicateCompletesAfterOneSliceNotBefore) {
  bool done = false;
  int predicateCalls = 0;
  RunLoop::waitUsingRecursiveRunloop([&] { ++predicateCalls; return false; }, 10, [&] { done = true; });
  EXPECT_TRUE(done);  // the wait returns only when its completion has run
  EXPECT_EQ(predicateCalls, 1);
}

TEST(RecursiveWait, ZeroTimeoutCompletesAfterFirstSliceWhilePredicateHolds) {
  int completions = 0;
  RunLoop::waitUsingRecursiveRunloop([] { return true; }, 0, [&] { ++completions; });
  EXPECT_EQ(completions, 1);
}

TEST(RecursiveWait, TimeoutEndsAWaitWhosePredicateNeverTurns) {
  auto start = steady_clock::now();
  int completions = 0;
  RunLoop::waitUsingRecursiveRunloop([] { return true; }, 0.1, [&] { ++completions; });
  EXPECT_EQ(completions, 1);
  EXPECT_GE(secondsSince(start), 0.1);
}

TEST(RecursiveWait, MainQueueWorkRunsWhileWaiting) {
  bool answered = false;
  MainQueue::asyncAfter(0.02, [&] { answered = true; });
  bool completed = false;
  RunLoop::waitUsingRecursiveRunloop([&] { return !answered; }, 10, [&] { completed = true; });
  EXPECT_TRUE(answered);
  EXPECT_TRUE(completed);
}

TEST(RecursiveWait, WaitStartedInsideTheLoopIsServedByTheOuterLoop) {
  bool innerDone = false, outerDone = false, innerReturned = false;
  int step = 0;
  MainQueue::async([&] {
    // Started from a main-queue callback while the outer wait runs its slice.
    RunLoop::waitUsingRecursiveRunloop([&] { return step < 3; }, 10, [&] { innerDone = true; });
    innerReturned = true;  // returns at once: the outer loop now serves it
  });
  RunLoop::waitUsingRecursiveRunloop([&] { ++step; return !innerDone; }, 10, [&] { outerDone = true; });
  EXPECT_TRUE(innerReturned);
  EXPECT_TRUE(innerDone);
  EXPECT_TRUE(outerDone);
}

TEST(RecursiveWait, WaitNestedInACompletionRunsEveryCompletionExactlyOnce) {
  int first = 0, second = 0, nested = 0, appended = 0;
  bool nestedReturnedAfterCompleting = false;
  // Three records finish in the same slice; the first one's completion starts its own wait,
  // whose loop walks the list while the outer walk is still going on.
  auto inFirst = [&] {
    ++first;
    RunLoop::waitUsingRecursiveRunloop([] { return false; }, 10, [&] { ++nested; });
    nestedReturnedAfterCompleting = nested == 1;
  };
  bool release = false;
  MainQueue::async([&] {
    RunLoop::waitUsingRecursiveRunloop([&] { return !release; }, 10, inFirst);
    RunLoop::waitUsingRecursiveRunloop([&] { return !release; }, 10, [&] { ++second; });
    release = true;
  });
  RunLoop::waitUsingRecursiveRunloop(
      [&] { return first == 0 || second == 0; }, 10, [&] {
        // Appended during a walk: must not be dropped.
        RunLoop::waitUsingRecursiveRunloop([] { return false; }, 10, [&] { ++appended; });
      });
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
  EXPECT_EQ(nested, 1);
  EXPECT_EQ(appended, 1);
  EXPECT_TRUE(nestedReturnedAfterCompleting);
}

TEST(RecursiveWait, RecordAppendedDuringAWalkIsKept) {
  int late = 0;
  bool earlyDone = false;
  RunLoop::waitUsingRecursiveRunloop(
      [&] {
        // A predicate that starts a wait: it runs its own loop, which must not lose the record.
        if (!earlyDone) {
          earlyDone = true;
          RunLoop::waitUsingRecursiveRunloop([] { return false; }, 10, [&] { ++late; });
        }
        return false;
      },
      10, [] {});
  EXPECT_EQ(late, 1);
}

TEST(Queues, MainQueueRunsInOrderAndNeverSynchronously) {
  std::vector<int> order;
  MainQueue::async([&] { order.push_back(1); });
  MainQueue::async([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());
  RunLoop::runUntil([&] { return order.size() == 2; }, 5);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Queues, GlobalQueueWorkJoinsTheMainThroughAGroup) {
  auto group = DispatchGroup::create();
  std::atomic<int> done{0};
  bool ranOnMain = false;
  for (int i = 0; i < 8; ++i) {
    group->enter();
    GlobalQueue::async([&, group] {
      EXPECT_FALSE(RunLoop::isMainThread());
      std::this_thread::sleep_for(milliseconds(5));
      ++done;
      group->leave();
    });
  }
  bool notified = false;
  group->notify([&] {
    notified = true;
    ranOnMain = RunLoop::isMainThread();
  });
  ASSERT_TRUE(RunLoop::runUntil([&] { return notified; }, 10));
  EXPECT_EQ(done.load(), 8);
  EXPECT_TRUE(ranOnMain);
}

TEST(Queues, GroupWaitTimesOutWhileWorkIsOutstanding) {
  auto group = DispatchGroup::create();
  group->enter();
  EXPECT_FALSE(group->wait(0.02));
  group->leave();
  EXPECT_TRUE(group->wait(0.02));
}

TEST(Timers, RepeatingTimerFiresUntilInvalidatedFromItsOwnCallback) {
  int fired = 0;
  std::unique_ptr<Timer> timer;
  timer = Timer::scheduled(0.005, true, [&] {
    if (++fired == 3) timer.reset();  // destroying the timer inside its callback is allowed
  });
  RunLoop::runUntil([&] { return !timer; }, 5);
  RunLoop::runUntil([] { return false; }, 0.03);
  EXPECT_EQ(fired, 3);
}

TEST(Timers, DestroyedTimerNeverFires) {
  bool fired = false;
  { auto timer = Timer::scheduled(0.01, false, [&] { fired = true; }); }
  RunLoop::runUntil([] { return false; }, 0.05);
  EXPECT_FALSE(fired);
}

TEST(Timers, IntervalsPastWhatTheLoopHoldsWaitTheLongestItHolds) {
  // A peer may name any interval; none converts past the loop's range.
  bool fired = false;
  for (double seconds : {1e300, 5e6, std::numeric_limits<double>::infinity()}) {
    auto timer = Timer::scheduled(seconds, false, [&] { fired = true; });
    MainQueue::asyncAfter(seconds, [&] { fired = true; });
    RunLoop::runUntil([] { return false; }, 0.02);
    EXPECT_FALSE(fired) << seconds;
  }
  int now = 0;
  auto timer = Timer::scheduled(std::numeric_limits<double>::quiet_NaN(), false, [&] { ++now; });
  RunLoop::runUntil([&] { return now == 1; }, 5);
  EXPECT_EQ(now, 1);
}
