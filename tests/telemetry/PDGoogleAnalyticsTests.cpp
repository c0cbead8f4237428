// Web analytics with a page the test finishes, a clock it sets and checks it runs by hand.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "support/TestEnvironment.h"
#include "telemetry/PDGoogleAnalytics.h"

namespace {

struct FakePage : PDGoogleAnalytics::Page {
  void load(const std::string& url, std::function<void()> finished) override {
    loads.push_back(url);
    finishLoad = std::move(finished);
  }
  void evaluate(const std::string& script) override { scripts.push_back(script); }
  void setEndedHandler(std::function<void()> handler) override { ended = std::move(handler); }
  std::function<void()> ended;
  std::vector<std::string> loads;
  std::function<void()> finishLoad;
  std::vector<std::string> scripts;
};

struct Analytics {
  Analytics() : defaults(testenv::freshFolder("analytics") / "defaults.json") {
    auto fake = std::make_unique<FakePage>();
    page = fake.get();
    analytics = std::make_unique<PDGoogleAnalytics>(
        std::move(fake),
        PDGoogleAnalytics::Dependencies{
            defaults, [this] { return now; },
            [this](double seconds, std::function<void()> work) { scheduled.emplace_back(seconds, std::move(work)); },
            [this] { return active; }, [] { return "http://127.0.0.1:9/analytics.html"; }, "com.korvel.x.test",
            "Korvel", "1.2.3"});
  }
  // The argument lists of the evaluated ga calls.
  std::vector<nlohmann::json> calls() const {
    std::vector<nlohmann::json> out;
    for (auto& s : page->scripts) {
      EXPECT_EQ(s.rfind("ga.apply(window, ", 0), 0u) << s;
      out.push_back(*JsonCoder::parse(s.substr(17, s.size() - 18)));
    }
    return out;
  }
  // Runs the checks scheduled so far, in order.
  void runScheduled() {
    auto due = std::move(scheduled);
    scheduled.clear();
    for (auto& [seconds, work] : due) work();
  }

  Defaults defaults;
  FakePage* page = nullptr;
  double now = 1'000'000;
  bool active = true;
  std::vector<std::pair<double, std::function<void()>>> scheduled;
  std::unique_ptr<PDGoogleAnalytics> analytics;
};

TEST(PDGoogleAnalytics, HitsWaitForThePageAndFollowCreateAndSet) {
  Analytics a;
  a.analytics->trackEvent("app|start");
  EXPECT_TRUE(a.page->loads.empty());  // no identifier yet
  a.analytics->configureWithSiteId("UA-1");
  ASSERT_EQ(a.page->loads, std::vector<std::string>{"http://127.0.0.1:9/analytics.html"});
  a.analytics->trackEventWithCategory("c", "a", std::nullopt, std::nullopt);
  a.analytics->trackScreenWithName("Welcome");
  EXPECT_TRUE(a.page->scripts.empty());

  a.page->finishLoad();
  auto calls = a.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0], (nlohmann::json{"create", "UA-1", "auto"}));
  EXPECT_EQ(calls[1],
            (nlohmann::json{"set", {{"appId", "com.korvel.x.test"}, {"appName", "Korvel"}, {"appVersion", "1.2.3"}}}));
  EXPECT_EQ(calls[2][1]["eventCategory"], "app");
  EXPECT_EQ(calls[2][1]["eventAction"], "start");
  EXPECT_TRUE(calls[3][1]["eventLabel"].is_null());
  EXPECT_TRUE(calls[3][1]["eventValue"].is_null());
  EXPECT_EQ(calls[4], (nlohmann::json{"send", "screenview", {{"screenName", "Welcome"}}}));

  a.analytics->reload();
  a.page->finishLoad();
  EXPECT_EQ(a.calls().size(), 7u);  // "create" and "set" again
}

TEST(PDGoogleAnalytics, EventNamesSplitIntoTwoOrThreeParts) {
  Analytics a;
  a.analytics->configureWithSiteId("UA-1");
  a.page->finishLoad();
  a.page->scripts.clear();
  a.analytics->trackEvent("a|b|c", nlohmann::json(4));
  a.analytics->trackEvent("app.launch");
  a.analytics->trackEvent("a|b|c|d");
  auto calls = a.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0][1]["eventLabel"], "c");
  EXPECT_EQ(calls[0][1]["eventValue"], 4);
}

TEST(PDGoogleAnalytics, ThePageThatNeverLoadsHoldsABoundedQueue) {
  Analytics a;
  a.analytics->configureWithSiteId("UA-1");
  for (std::size_t i = 0; i < PDGoogleAnalytics::maximumQueuedCalls + 3; ++i)
    a.analytics->trackEvent("c|" + std::to_string(i));
  EXPECT_EQ(a.analytics->queuedCalls(), PDGoogleAnalytics::maximumQueuedCalls);
  a.page->finishLoad();
  auto calls = a.calls();
  EXPECT_EQ(calls[2][1]["eventAction"], "3");  // the oldest went first
}

TEST(PDGoogleAnalytics, IntervalEventsSendOncePerIntervalAndKeepChecking) {
  Analytics a;
  a.analytics->configureWithSiteId("UA-1");
  a.page->finishLoad();
  a.page->scripts.clear();
  a.analytics->trackEvent("interval|daily", 86400, 3600, nullptr);  // nothing stored: sends at once
  EXPECT_EQ(a.calls().size(), 1u);
  EXPECT_EQ(a.defaults.doubleValue("PDGoogleAnalytics|interval|daily"), a.now);
  ASSERT_EQ(a.scheduled.size(), 1u);
  EXPECT_EQ(a.scheduled[0].first, 3600);

  a.now += 86400;  // exactly one interval: not yet
  a.runScheduled();
  EXPECT_EQ(a.calls().size(), 1u);
  a.now += 1;
  a.runScheduled();
  EXPECT_EQ(a.calls().size(), 2u);
  EXPECT_EQ(a.scheduled.size(), 1u);
}

TEST(PDGoogleAnalytics, AConditionHoldsTheEventBackWithoutMarkingIt) {
  Analytics a;
  a.analytics->configureWithSiteId("UA-1");
  a.page->finishLoad();
  a.page->scripts.clear();
  a.active = false;
  a.analytics->trackEvent("interval.foreground|hour", 3600, 600,
                          [&a] { return a.analytics->currentApplicationIsActive(); });
  EXPECT_TRUE(a.page->scripts.empty());
  EXPECT_FALSE(a.defaults.has("PDGoogleAnalytics|interval.foreground|hour"));
  a.active = true;
  a.runScheduled();
  EXPECT_EQ(a.calls().size(), 1u);
}

TEST(PDGoogleAnalytics, SwitchedOffItSendsNothingButStillMarksIntervals) {
  Analytics a;
  a.analytics->setEnabled(false);
  a.analytics->configureWithSiteId("UA-1");
  EXPECT_TRUE(a.page->loads.empty());
  a.analytics->trackEvent("interval|weekly", 604800, 86400, nullptr);
  EXPECT_EQ(a.analytics->queuedCalls(), 0u);
  EXPECT_EQ(a.defaults.doubleValue("PDGoogleAnalytics|interval|weekly"), a.now);
}

}  // namespace

TEST(PDGoogleAnalytics, AnEndedPageIsLoadedAgainAndSendsCreateAndSetBeforeTheHitsThatWaited) {
  Analytics a;
  a.analytics->configureWithSiteId("UA-1");
  a.page->finishLoad();
  a.analytics->trackEvent("app|before");
  ASSERT_EQ(a.calls().size(), 3u);
  ASSERT_TRUE(a.page->ended);
  a.page->ended();
  EXPECT_FALSE(a.analytics->isReady());
  // Loaded again once the main loop has turned.
  EXPECT_EQ(a.page->loads.size(), 1u);
  a.runScheduled();
  ASSERT_EQ(a.page->loads.size(), 2u);
  a.analytics->trackEvent("app|meanwhile");
  EXPECT_EQ(a.calls().size(), 3u);
  a.page->finishLoad();
  auto calls = a.calls();
  ASSERT_EQ(calls.size(), 6u);
  EXPECT_EQ(calls[3], (nlohmann::json{"create", "UA-1", "auto"}));
  EXPECT_EQ(calls[4][0], "set");
  EXPECT_EQ(calls[5][1]["eventAction"], "meanwhile");

  // A page that keeps ending is loaded only so often; hits wait within their bound.
  for (int i = 0; i < PDGoogleAnalytics::maximumPageReloads + 2; ++i) {
    a.page->ended();
    a.page->ended();  // the second page of the process tells too: one load
    a.runScheduled();
  }
  EXPECT_EQ(a.page->loads.size(), 2u + PDGoogleAnalytics::maximumPageReloads);
  a.analytics->trackEvent("app|kept");
  EXPECT_EQ(a.analytics->queuedCalls(), 1u);
}

TEST(PDGoogleAnalytics, AnEndedPageOfAnInstanceSwitchedOffLoadsNothing) {
  Analytics a;
  a.analytics->configureWithSiteId("UA-1");
  a.page->finishLoad();
  a.analytics->setEnabled(false);
  a.page->ended();
  a.runScheduled();
  EXPECT_EQ(a.page->loads.size(), 1u);
}
