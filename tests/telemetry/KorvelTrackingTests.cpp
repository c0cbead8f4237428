// The tracker's state machine and payloads, with a page that the test finishes and answers.

#include <gtest/gtest.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/NotificationCenter.h"
#include "support/TestEnvironment.h"
#include "telemetry/KorvelTracking.h"

namespace {

struct FakePage : KorvelTracking::Page {
  bool loadEmptyPage(const std::string& baseURL, std::function<void()> finished) override {
    loadedBase = baseURL;
    finishLoad = std::move(finished);
    return true;
  }
  void evaluate(const std::string& script, std::function<void(std::optional<Error>)> done) override {
    scripts.push_back(script);
    pending.push_back(std::move(done));
  }
  void setEndedHandler(std::function<void()> handler) override { ended = std::move(handler); }
  // Answers the oldest evaluation.
  void answer(std::optional<Error> error = std::nullopt) {
    auto done = std::move(pending.front());
    pending.erase(pending.begin());
    if (done) done(std::move(error));
  }
  std::optional<std::string> loadedBase;
  std::function<void()> finishLoad;
  std::function<void()> ended;
  std::vector<std::string> scripts;
  std::vector<std::function<void(std::optional<Error>)>> pending;
};

struct Tracker {
  explicit Tracker(std::function<void(Defaults&)> setUp = nullptr)
      : defaults(testenv::freshFolder("tracking") / "defaults.json") {
    if (setUp) setUp(defaults);
    login = std::make_unique<LoginController>(defaults, notifications);
    auto fake = std::make_unique<FakePage>();
    page = fake.get();
    tracker = std::make_unique<KorvelTracking>(
        std::move(fake),
        KorvelTracking::Dependencies{
            defaults, *login, [] { return *Url::parse("http://127.0.0.1:9/track"); }, [this] { return client; },
            [this](std::string_view line) { lines.emplace_back(line); }, "Model 7", "", "6.1.0", nullptr});
  }
  // The payload of a script line "void tracker.<method>(<json>);".
  static nlohmann::json payloadOf(const std::string& line) {
    auto open = line.find('(');
    return *JsonCoder::parse(line.substr(open + 1, line.size() - open - 3));
  }
  void signIn(const std::string& createdAt = "2020-01-02T03:04:05.000Z") {
    UserInfo user;
    user.id = "u-1";
    user.email = "a@example.com";
    if (!createdAt.empty()) user.createdAt = createdAt;
    login->setUserInfo(user);
  }
  // Takes the tracker to `ready` with nothing queued.
  void makeReady() {
    page->finishLoad();
    tracker->track("active_x", nlohmann::json::object());
    page->answer();
    page->answer();
    page->scripts.clear();
  }

  Defaults defaults;
  NotificationCenter notifications;
  std::unique_ptr<LoginController> login;
  FakePage* page = nullptr;
  std::optional<std::string> client = "function korvelTracking(o) { return {}; }";
  std::vector<std::string> lines;
  std::unique_ptr<KorvelTracking> tracker;
};

TEST(KorvelTracking, SwitchedOffLoadsNothingAndDropsEverything) {
  Tracker t([](Defaults& d) { d.setBool("PDKorvelTrackingDisabled", true); });
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::disabled);
  EXPECT_FALSE(t.page->loadedBase);
  EXPECT_EQ(t.lines, std::vector<std::string>{"Tracking disabled"});
  t.tracker->track("launch", nlohmann::json::object());
  t.tracker->identify("u-1", nlohmann::json::object());
  EXPECT_TRUE(t.page->scripts.empty());
  EXPECT_EQ(t.tracker->queuedLines(), 0u);
}

TEST(KorvelTracking, CallsBeforeTheClientWaitAndRunAfterItsSetUpInOrder) {
  Tracker t;
  EXPECT_EQ(t.page->loadedBase, "http://127.0.0.1:9/track");
  t.tracker->track("first", nlohmann::json::object());
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loadingNeedsEvaluate);
  t.page->finishLoad();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::evaluating);
  ASSERT_EQ(t.page->scripts.size(), 1u);
  EXPECT_NE(t.page->scripts[0].find("function korvelTracking"), std::string::npos);
  EXPECT_NE(t.page->scripts[0].find("\nconst tracker = korvelTracking({ sourceName: 'korvel-x', trackingUrl: "
                                    "\"http://127.0.0.1:9/track\"});"),
            std::string::npos);

  t.tracker->track("second", nlohmann::json::object());
  t.tracker->track("third", nlohmann::json::object());
  t.page->answer();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::ready);
  ASSERT_EQ(t.page->scripts.size(), 2u);
  const std::string& batch = t.page->scripts[1];
  auto first = batch.find("\"first\""), second = batch.find("\"second\""), third = batch.find("\"third\"");
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);
  EXPECT_NE(batch.find(";\nvoid tracker.track("), std::string::npos);
  EXPECT_EQ(t.tracker->queuedLines(), 0u);

  t.tracker->track("now", nlohmann::json::object());
  ASSERT_EQ(t.page->scripts.size(), 3u);
  EXPECT_EQ(t.page->scripts[2].rfind("void tracker.track(", 0), 0u);
}

TEST(KorvelTracking, AFailedSetUpKeepsTheQueueAndTheNextCallTriesAgain) {
  Tracker t;
  t.page->finishLoad();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loaded);
  t.tracker->track("kept", nlohmann::json::object());
  t.page->answer(Error("js", 1, "boom"));
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loaded);
  EXPECT_EQ(t.lines.back(), "Failed to set up Korvel Tracking: boom");
  EXPECT_EQ(t.tracker->queuedLines(), 1u);

  t.client.reset();
  t.tracker->track("also", nlohmann::json::object());
  EXPECT_EQ(t.lines.back(), "Error: Failed to load Korvel Tracking script");
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loaded);

  t.client = "function korvelTracking() {}";
  t.tracker->track("third", nlohmann::json::object());
  t.page->answer();
  ASSERT_EQ(t.tracker->state(), KorvelTracking::State::ready);
  EXPECT_EQ(std::count(t.page->scripts.back().begin(), t.page->scripts.back().end(), '\n'), 2);
}

TEST(KorvelTracking, ThePageThatNeverLoadsHoldsABoundedQueueOfTheNewestLines) {
  Tracker t;
  for (std::size_t i = 0; i < KorvelTracking::maximumQueuedLines + 5; ++i)
    t.tracker->track("e" + std::to_string(i), nlohmann::json::object());
  EXPECT_EQ(t.tracker->queuedLines(), KorvelTracking::maximumQueuedLines);
  t.page->finishLoad();
  t.page->answer();
  const std::string& batch = t.page->scripts.back();
  EXPECT_EQ(batch.find("\"e4\""), std::string::npos);
  EXPECT_NE(batch.find("\"e5\""), std::string::npos);
  EXPECT_NE(batch.find("\"e1004\""), std::string::npos);
}

TEST(KorvelTracking, OptingOutLimitsTrackingToActivityAndStopsIdentify) {
  Tracker t([](Defaults& d) { d.setBool("PDDataCollectionDisabled", true); });
  t.signIn();
  t.page->finishLoad();
  t.tracker->track("launch", nlohmann::json::object());
  t.tracker->track("Active_600_60", nlohmann::json::object());
  t.tracker->track("activity", nlohmann::json::object());
  t.tracker->identify("u-1", nlohmann::json::object());
  EXPECT_TRUE(t.page->scripts.empty());
  EXPECT_EQ(t.tracker->queuedLines(), 0u);

  t.tracker->track("active_600_60", nlohmann::json::array());
  ASSERT_EQ(t.tracker->queuedLines(), 1u);
  t.page->answer();
  auto payload = Tracker::payloadOf(t.page->scripts.back());
  EXPECT_EQ(payload["event"], "active_600_60");
  EXPECT_EQ(payload["context"]["machineId"], "");
}

TEST(KorvelTracking, AnonymousEventsShareOneIdThatIdentifyJoinsToTheUser) {
  Tracker t;
  t.makeReady();
  t.tracker->track("launch", {{"a", 1}, {"event", "replaced"}});
  t.tracker->track("launch_first", nlohmann::json::array());
  auto first = Tracker::payloadOf(t.page->scripts[0]), second = Tracker::payloadOf(t.page->scripts[1]);
  ASSERT_TRUE(t.tracker->anonymousId());
  EXPECT_EQ(first["anonymousId"], *t.tracker->anonymousId());
  EXPECT_EQ(second["anonymousId"], *t.tracker->anonymousId());
  EXPECT_EQ(first["event"], "launch");
  EXPECT_EQ(first["a"], 1);
  EXPECT_EQ(second.size(), 3u) << second.dump();  // anonymousId, event, context

  t.signIn();
  t.tracker->identify("u-1", {{"created", 5}});
  ASSERT_EQ(t.page->scripts.size(), 4u);
  auto identify = Tracker::payloadOf(t.page->scripts[2]);
  EXPECT_EQ(identify["userId"], "u-1");
  EXPECT_EQ(identify["anonymousId"], *t.tracker->anonymousId());
  EXPECT_TRUE(identify["created"].is_number_float());
  EXPECT_EQ(t.page->scripts[3].rfind("void tracker.flush([]);", 0), 0u);

  t.tracker->track("app_save_project", nlohmann::json::array());
  auto signedIn = Tracker::payloadOf(t.page->scripts[4]);
  EXPECT_EQ(signedIn["userId"], "u-1");
  EXPECT_FALSE(signedIn.contains("anonymousId"));

  t.signIn("");
  t.tracker->identify("u-1", {{"created", 5}});
  EXPECT_FALSE(Tracker::payloadOf(t.page->scripts[5]).contains("created"));
}

TEST(KorvelTracking, ContextFillsOnlyWhatTheCallerLeftOut) {
  Tracker t([](Defaults& d) {
    d.setInteger("PDIntervalMinutesActive", 10);
    d.setInteger("PDIntervalMinutesActiveIdle", 3);
  });
  auto filled = t.tracker->addContextToPayload({{"context", {{"os", "mine"}}}});
  EXPECT_EQ(filled["context"],
            (nlohmann::json{{"os", "mine"}, {"machineId", ""}, {"hardwareType", "Model 7"}, {"activeMinutes", 7}}));
  EXPECT_EQ(t.tracker->addContextToPayload({{"context", 3}})["context"]["os"], "6.1.0");
  EXPECT_EQ(t.tracker->addContextToPayload(nlohmann::json::array()), nlohmann::json::array());
}

TEST(KorvelTracking, DataThatJSONCannotCarryDropsTheCallSilently) {
  Tracker t;
  t.makeReady();
  t.tracker->call("track", {{"value", NAN}});
  t.tracker->call("track", "text");
  t.tracker->track("launch", {{"nested", {{"value", INFINITY}}}});
  EXPECT_TRUE(t.page->scripts.empty());
  EXPECT_TRUE(t.lines.empty());
}

}  // namespace

TEST(KorvelTracking, AnEndedPageIsLoadedAgainAndTheClientSetUpAnewBeforeItCountsAsReady) {
  Tracker t;
  t.makeReady();
  ASSERT_TRUE(t.page->ended);
  // A line the ended page never ran, and one raised after it ended.
  t.tracker->track("in_flight", nlohmann::json::object());
  t.page->loadedBase.reset();
  t.page->ended();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loading);
  EXPECT_EQ(t.page->loadedBase, "http://127.0.0.1:9/track");
  t.page->answer(Error("js", 1, "the page is gone"));
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loadingNeedsEvaluate);
  t.tracker->track("meanwhile", nlohmann::json::object());
  EXPECT_EQ(t.tracker->queuedLines(), 2u);
  EXPECT_TRUE(t.lines.empty()) << t.lines.front();

  t.page->finishLoad();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::evaluating);
  EXPECT_NE(t.page->scripts.back().find("const tracker = korvelTracking("), std::string::npos);
  t.page->answer();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::ready);
  const std::string& batch = t.page->scripts.back();
  EXPECT_LT(batch.find("\"in_flight\""), batch.find("\"meanwhile\""));
  EXPECT_NE(batch.find("\"meanwhile\""), std::string::npos);
}

// A line that fails is given up only where the page still runs scripts. WebKit fails the scripts of
// a page whose process was killed before it tells that the process ended: there the line waits,
// and the page that comes after the end runs it.
TEST(KorvelTracking, AFailedLineWaitsForTheNextPageWhenItsPageIsEnding) {
  struct Case {
    const char* name;
    bool probeFails;
  };
  for (auto c : {Case{"the page answers", false}, Case{"the page is ending", true}}) {
    SCOPED_TRACE(c.name);
    Tracker t;
    t.makeReady();
    t.tracker->track("failed", nlohmann::json::object());
    t.page->answer(Error("js", 1, "boom"));
    ASSERT_EQ(t.page->pending.size(), 1u) << "the page is asked whether it still runs scripts";
    t.page->answer(c.probeFails ? std::optional(Error("js", 1, "gone")) : std::nullopt);
    if (!c.probeFails) {
      ASSERT_FALSE(t.lines.empty());
      EXPECT_EQ(t.lines.back().rfind("Error: Failed Korvel Tracking call: boom", 0), 0u) << t.lines.back();
      EXPECT_EQ(t.tracker->queuedLines(), 0u);
      continue;
    }
    EXPECT_TRUE(t.lines.empty()) << t.lines.front();
    EXPECT_EQ(t.tracker->queuedLines(), 1u);
    EXPECT_TRUE(t.page->pending.empty()) << "sent to the ending page again";
    t.page->ended();
    t.page->finishLoad();
    t.page->answer();
    EXPECT_EQ(t.tracker->state(), KorvelTracking::State::ready);
    EXPECT_NE(t.page->scripts.back().find("\"failed\""), std::string::npos);
  }
}

TEST(KorvelTracking, AnswersOfAnEndedPageChangeNothing) {
  struct Case {
    const char* name;
    bool answerWithError;
  };
  for (auto c : {Case{"set-up succeeded", false}, Case{"set-up failed", true}}) {
    SCOPED_TRACE(c.name);
    Tracker t;
    t.tracker->track("queued", nlohmann::json::object());
    t.page->finishLoad();
    ASSERT_EQ(t.tracker->state(), KorvelTracking::State::evaluating);
    auto earlierLoad = t.page->finishLoad;
    t.page->ended();
    // The old page's set-up and load answer late: the tracker waits for the new page.
    t.page->answer(c.answerWithError ? std::optional(Error("js", 1, "gone")) : std::nullopt);
    earlierLoad();
    EXPECT_EQ(t.tracker->state(), KorvelTracking::State::loadingNeedsEvaluate);
    EXPECT_EQ(t.tracker->queuedLines(), 1u);
    t.page->finishLoad();
    t.page->answer();
    EXPECT_EQ(t.tracker->state(), KorvelTracking::State::ready);
    EXPECT_NE(t.page->scripts.back().find("\"queued\""), std::string::npos);
  }
}

TEST(KorvelTracking, APageThatKeepsEndingIsLoadedOnlySoOften) {
  Tracker t;
  int loads = 0;
  for (int i = 0; i < KorvelTracking::maximumPageReloads + 2; ++i) {
    t.page->loadedBase.reset();
    t.page->ended();
    loads += t.page->loadedBase.has_value();
  }
  EXPECT_EQ(loads, KorvelTracking::maximumPageReloads);
  EXPECT_EQ(t.lines.back(), "The tracking page ended again; it is not loaded again");
  // Calls still wait, within their bound.
  t.tracker->track("kept", nlohmann::json::object());
  EXPECT_EQ(t.tracker->queuedLines(), 1u);
}
