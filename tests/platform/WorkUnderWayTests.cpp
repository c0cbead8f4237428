// The record of work under way: what counts, what a given-up piece of work sees, who waits for
// an end, and work let go beside the main loop.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/RunLoop.h"
#include "platform/WorkUnderWay.h"
#include "support/TestEnvironment.h"

namespace {

using Kind = WorkUnderWay::Kind;
namespace fsys = std::filesystem;

TEST(WorkUnderWay, CountsWorkUntilItEndsOrItsLastOwnerLetsItGo) {
  WorkUnderWay record;
  EXPECT_TRUE(record.empty());
  auto opening = record.begin(Kind::opening, "/a/Doc.korvelx");
  auto saving = record.begin(Kind::saving, "/a/Other.korvelx");
  EXPECT_FALSE(record.empty());
  EXPECT_EQ(record.all().size(), 2u);
  EXPECT_EQ(record.on("/a/Doc.korvelx", {Kind::opening}), opening);
  EXPECT_FALSE(record.on("/a/Doc.korvelx", {Kind::saving}));
  EXPECT_FALSE(record.on("/a/Elsewhere.korvelx", {Kind::opening, Kind::saving}));

  int told = 0;
  opening->whenEnded([&] { ++told; });
  opening->end();
  opening->end();
  EXPECT_EQ(told, 1);
  EXPECT_TRUE(opening->hasEnded());
  // Asked after its end, it answers at once.
  opening->whenEnded([&] { ++told; });
  EXPECT_EQ(told, 2);
  EXPECT_EQ(record.all(), std::vector{saving});

  saving.reset();
  EXPECT_TRUE(record.empty());
}

TEST(WorkUnderWay, GivingUpStopsEveryPieceAndWaitsForTheirEnds) {
  WorkUnderWay record;
  auto reading = record.begin(Kind::reading, "/a/Draft.korvelx");
  auto copying = record.begin(Kind::duplicating, "/a/Copy.korvelx");
  // Each ends a moment after it sees it is given up, as a read does at its next chunk; one begun
  // by what waited for another's end starts given up.
  std::shared_ptr<WorkUnderWay::Work> begunMeanwhile;
  std::function<void(std::shared_ptr<WorkUnderWay::Work>)> endWhenStopped = [&](std::shared_ptr<WorkUnderWay::Work> work) {
    MainQueue::asyncAfter(0.01, [&endWhenStopped, work] {
      if (work->isGivenUp()) return work->end();
      endWhenStopped(work);
    });
  };
  reading->whenEnded([&] {
    begunMeanwhile = record.begin(Kind::opening, "/a/Doc.korvelx");
    endWhenStopped(begunMeanwhile);
  });
  endWhenStopped(reading);
  endWhenStopped(copying);
  EXPECT_TRUE(record.giveUpAndWait(30));
  EXPECT_TRUE(reading->isGivenUp());
  EXPECT_TRUE(copying->isGivenUp());
  ASSERT_TRUE(begunMeanwhile);
  EXPECT_TRUE(begunMeanwhile->isGivenUp());
  EXPECT_TRUE(begunMeanwhile->hasEnded());
  EXPECT_TRUE(record.empty());
  // Work begun after the quit's wait is not given up.
  EXPECT_FALSE(record.begin(Kind::opening, "/a/Later.korvelx")->isGivenUp());
}

TEST(WorkUnderWay, WorkLetGoBesideTheMainLoopTellsWhoWaitsOnTheMainLoop) {
  WorkUnderWay record;
  auto work = record.begin(Kind::saving, "/a/Doc.korvelx");
  bool toldOnTheMainLoop = false;
  work->whenEnded([&] { toldOnTheMainLoop = RunLoop::isMainThread(); });
  std::thread worker([held = std::exchange(work, nullptr)]() mutable { held.reset(); });
  worker.join();
  EXPECT_TRUE(record.empty());
  EXPECT_TRUE(RunLoop::runUntil([&] { return toldOnTheMainLoop; }, 10));
}

TEST(WorkUnderWay, OneFileHoweverItIsSpelled) {
  auto dir = testenv::freshFolder("work-under-way");
  fsys::create_directories(dir / "folder");
  std::ofstream(dir / "folder" / "Doc.korvelx") << "zip";
  fsys::create_symlink(dir / "folder", dir / "link");
  struct Case {
    const char* what;
    fsys::path a, b;
    bool same;
  };
  const Case cases[] = {
      {"the same path", dir / "folder/Doc.korvelx", dir / "folder/Doc.korvelx", true},
      {"through a link", dir / "link/Doc.korvelx", dir / "folder/Doc.korvelx", true},
      {"with dots", dir / "folder/../folder/Doc.korvelx", dir / "folder/Doc.korvelx", true},
      {"a file not there yet, through a link", dir / "link/New.korvelx", dir / "folder/New.korvelx", true},
      {"two files", dir / "folder/Doc.korvelx", dir / "folder/Other.korvelx", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(WorkUnderWay::sameFile(c.a, c.b), c.same);
  }
}

}  // namespace
