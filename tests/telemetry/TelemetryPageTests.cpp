// The hidden pages against a server on loopback: the stand-in tracking client and analytics
// page load from it and the calls they make arrive there. And idle time from the X server.

#include <gtest/gtest.h>

#include <cstdlib>

#include "TelemetryPeer.h"
#include "TelemetryTestSupport.h"
#include "account/LoginController.h"
#include "platform/Defaults.h"
#include "platform/NotificationCenter.h"
#include "support/TestEnvironment.h"
#include "telemetry/HiddenWebPage.h"
#include "telemetry/KorvelTracking.h"
#include "telemetry/PDGoogleAnalytics.h"
#include "telemetry/RWSystemIdleTime.h"

using namespace telemetrytest;

namespace {

TEST(TelemetryPages, TrackingCallsReachTheEventsEndpointInOrder) {
  initGtk();
  auto peer = TelemetryPeer::start();
  ASSERT_TRUE(peer);
  Defaults defaults(testenv::freshFolder("pages") / "defaults.json");
  NotificationCenter notifications;
  LoginController login(defaults, notifications);
  auto deps = KorvelTracking::Dependencies::standard();
  KorvelTracking tracker(std::make_unique<HiddenWebPage>(),
                         {defaults, login, [&] { return *Url::parse(peer->base() + "/track"); }, deps.clientScript,
                          deps.writeLine, "Model 7", "", "6.1.0", deps.later});
  tracker.track("launch_first", nlohmann::json::object());
  tracker.track("launch", {{"n", 2}});
  tracker.identify("u-1", nlohmann::json::object());

  auto calls = [&] {
    std::vector<nlohmann::json> out;
    for (auto& r : peer->recorded)
      if (r.path == "/track" && r.body.is_object())
        for (auto& call : r.body["calls"]) out.push_back(call);
    return out;
  };
  ASSERT_TRUE(waitFor([&] { return calls().size() >= 4; }));
  EXPECT_EQ(tracker.state(), KorvelTracking::State::ready);
  auto received = calls();
  EXPECT_EQ(peer->recorded[0].body["sourceName"], "korvel-x");
  EXPECT_EQ(received[0]["payload"]["event"], "launch_first");
  EXPECT_EQ(received[1]["payload"]["n"], 2);
  EXPECT_EQ(received[1]["payload"]["context"]["hardwareType"], "Model 7");
  EXPECT_EQ(received[2]["type"], "identify");
  EXPECT_EQ(received[2]["payload"]["anonymousId"], received[0]["payload"]["anonymousId"]);
  EXPECT_EQ(received[3]["type"], "flush");
}

TEST(TelemetryPages, AnalyticsHitsReachTheServiceAfterCreateAndSet) {
  initGtk();
  auto peer = TelemetryPeer::start();
  ASSERT_TRUE(peer);
  Defaults defaults(testenv::freshFolder("pages") / "defaults.json");
  PDGoogleAnalytics analytics(std::make_unique<HiddenWebPage>(),
                              {defaults, [] { return 1e9; }, [](double, std::function<void()>) {}, [] { return true; },
                               [&] { return peer->base() + "/analytics.html"; }, "com.korvel.x.test", "Korvel", "1.0"});
  analytics.configureWithSiteId("UA-52918364-7");
  analytics.trackEvent("app|start");
  analytics.trackEvent("interval|daily", 86400, 3600, nullptr);

  auto commands = [&] {
    std::vector<nlohmann::json> out;
    for (auto& r : peer->recorded)
      if (r.path == "/track/analytics") out.push_back(r.body);
    return out;
  };
  ASSERT_TRUE(waitFor([&] { return commands().size() >= 4; }));
  auto received = commands();
  EXPECT_EQ(received[0]["command"], "create");
  EXPECT_EQ(received[0]["arguments"], (nlohmann::json{"UA-52918364-7", "auto"}));
  EXPECT_EQ(received[1]["command"], "set");
  EXPECT_EQ(received[2]["arguments"][0]["eventAction"], "start");
  EXPECT_EQ(received[3]["arguments"][0]["eventCategory"], "interval");
}

TEST(SystemIdleTime, TheXServerAnswersAndWaylandHasNoSource) {
  EXPECT_FALSE(RWSystemIdleTime::displayFor(":0", "wayland-0", nullptr));
  EXPECT_FALSE(RWSystemIdleTime::displayFor(":0", nullptr, "wayland"));
  EXPECT_FALSE(RWSystemIdleTime::displayFor(nullptr, nullptr, "x11"));
  EXPECT_EQ(RWSystemIdleTime::displayFor(":5", "", "x11"), ":5");
  EXPECT_EQ(RWSystemIdleTime::secondsFromNanoseconds(65'000'000'000ull), 60u);
  EXPECT_EQ(RWSystemIdleTime::secondsFromNanoseconds(61ull << 30), 61u);

  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  ASSERT_TRUE(RWSystemIdleTime::startTracking());
  auto idle = getSystemIdleTime();
  ASSERT_TRUE(idle);
  EXPECT_GE(*idle, 0.0);
}

}  // namespace
