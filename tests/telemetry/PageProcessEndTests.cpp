// Web processes starting and ending under running pages, with the stand-in cloud service on
// loopback receiving the events: the tracking and analytics pages start no process while an
// editor is on its way, an editor's end reaches no other page, and the tracking and analytics
// pages come back whole after theirs ended.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <iterator>
#include <set>

#include "TelemetryTestSupport.h"
#include "account/LoginController.h"
#include "canvas/BackgroundPages.h"
#include "canvas/CanvasTestSupport.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "support/CloudStandIn.h"
#include "support/TestEnvironment.h"
#include "telemetry/HiddenWebPage.h"
#include "telemetry/KorvelTracking.h"
#include "telemetry/PDGoogleAnalytics.h"

using namespace telemetrytest;

namespace {

// The tracker and the analytics, each in its hidden page, sending to the stand-in service.
struct Telemetry {
  explicit Telemetry(const std::string& base)
      : defaults(testenv::freshFolder("process-end") / "defaults.json"), login(defaults, notifications) {
    auto page = std::make_unique<HiddenWebPage>();
    trackingPage = page.get();
    auto deps = KorvelTracking::Dependencies::standard();
    tracker = std::make_unique<KorvelTracking>(
        std::move(page), KorvelTracking::Dependencies{defaults, login, [base] { return *Url::parse(base + "/track"); },
                                                      deps.clientScript, deps.writeLine, "Model 7", "", "6.1.0",
                                                      deps.later});
    analytics = std::make_unique<PDGoogleAnalytics>(
        std::make_unique<HiddenWebPage>(),
        PDGoogleAnalytics::Dependencies{defaults, [] { return 1e9; },
                                        [](double seconds, std::function<void()> work) {
                                          MainQueue::asyncAfter(seconds, std::move(work));
                                        },
                                        [] { return true; }, [base] { return base + "/analytics.html"; },
                                        "com.korvel.x.test", "Korvel", "1.0"});
    analytics->configureWithSiteId("UA-52918364-7");
  }

  Defaults defaults;
  NotificationCenter notifications;
  LoginController login;
  HiddenWebPage* trackingPage = nullptr;
  std::unique_ptr<KorvelTracking> tracker;
  std::unique_ptr<PDGoogleAnalytics> analytics;
};

// What reached the service: the tracked events' names, and the analytics commands, in order.
struct Received {
  std::vector<std::string> events;
  std::vector<nlohmann::json> commands;
  long indexOf(const std::string& event) const {
    auto at = std::find(events.begin(), events.end(), event);
    return at == events.end() ? -1 : at - events.begin();
  }
};

Received received(CloudStandIn& cloud) {
  Received out;
  auto list = cloud.call("GET", "/_standin/track");
  if (!list || !list->is_array()) return out;
  for (auto& entry : *list) {
    auto body = JsonCoder::parse(entry.value("body", ""));
    if (!body || !body->is_object()) continue;
    if (entry["path"] == "/track/analytics") {
      out.commands.push_back(*body);
    } else if (entry["path"] == "/track" && body->contains("calls")) {
      for (auto& call : (*body)["calls"])
        if (call["type"] == "track") out.events.push_back(call["payload"].value("event", ""));
    }
  }
  return out;
}

Received receivedWhen(CloudStandIn& cloud, const std::function<bool(const Received&)>& done) {
  return testwait::askUntil<Received>([&] { return received(cloud); }, done, 60);
}

// Where "send" of `action` is among the commands, and whether "create" and "set" come between
// position `from` and it.
bool sentAfterCreateAndSet(const Received& r, std::size_t from, const std::string& action) {
  long create = -1, set = -1;
  for (std::size_t i = from; i < r.commands.size(); ++i) {
    auto& c = r.commands[i];
    if (c["command"] == "create" && create < 0) create = long(i);
    if (c["command"] == "set" && create >= 0 && set < 0) set = long(i);
    if (c["command"] == "send" && c["arguments"][0].value("eventAction", "") == action) return set >= 0;
  }
  return false;
}

// The web processes of this test that were not there `before`.
std::set<int> newProcesses(const std::set<int>& before) {
  std::set<int> found;
  std::ranges::set_difference(guitest::webProcessIds(), before, std::inserter(found, found.end()));
  return found;
}

// Each test with its own stand-in service, and the web processes there were before it.
class PageProcessEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    initGtk();
    cloud = CloudStandIn::start();
    ASSERT_TRUE(cloud);
    before = guitest::webProcessIds();
  }
  std::unique_ptr<CloudStandIn> cloud;
  std::set<int> before;
};

TEST_F(PageProcessEnd, TrackingAndAnalyticsWaitForTheEditorsBeingOpened) {
  auto editorOnItsWay = std::make_unique<BackgroundPages::Hold>();
  Telemetry t(cloud->base());
  t.tracker->track("early", nlohmann::json::object());
  t.analytics->trackEvent("app|early");
  // Their process would compete with the editor's start.
  RunLoop::runUntil([] { return false; }, 1.0);
  EXPECT_TRUE(newProcesses(before).empty()) << newProcesses(before).size();
  EXPECT_TRUE(received(*cloud).events.empty());
  editorOnItsWay.reset();
  auto sent = receivedWhen(*cloud, [](const Received& r) { return r.indexOf("early") >= 0 && r.commands.size() >= 3; });
  EXPECT_GE(sent.indexOf("early"), 0) << "an event raised before the page loaded was lost";
  EXPECT_TRUE(sentAfterCreateAndSet(sent, 0, "early"));
  EXPECT_EQ(newProcesses(before).size(), 1u);
}

TEST_F(PageProcessEnd, TrackingAndAnalyticsComeBackWholeAfterTheirProcessEnds) {
  Telemetry t(cloud->base());
  t.tracker->track("before", nlohmann::json::object());
  t.analytics->trackEvent("app|before");
  auto first = receivedWhen(*cloud, [](const Received& r) { return r.indexOf("before") >= 0 && r.commands.size() >= 3; });
  ASSERT_GE(first.indexOf("before"), 0) << "tracker state " << int(t.tracker->state()) << ", analytics ready "
                                        << t.analytics->isReady() << ", commands " << first.commands.size();
  ASSERT_TRUE(sentAfterCreateAndSet(first, 0, "before"));
  ASSERT_EQ(t.tracker->state(), KorvelTracking::State::ready);
  auto commandsBefore = first.commands.size();

  // Both pages share the third-party process, which ends under them.
  ASSERT_EQ(newProcesses(before).size(), 1u);
  t.trackingPage->controller().webView().terminateWebProcess();
  // Raised while the process is gone or its page is not back yet.
  t.tracker->track("meanwhile", nlohmann::json::object());
  ASSERT_TRUE(waitFor([&] { return !t.analytics->isReady(); }));
  t.analytics->trackEvent("app|meanwhile");

  auto after = receivedWhen(*cloud, [&](const Received& r) {
    return r.indexOf("meanwhile") >= 0 && sentAfterCreateAndSet(r, commandsBefore, "meanwhile");
  });
  EXPECT_GE(after.indexOf("meanwhile"), 0) << "the tracking page did not come back";
  EXPECT_TRUE(sentAfterCreateAndSet(after, commandsBefore, "meanwhile"))
      << "analytics sent its next event without \"create\" and \"set\" first: " << nlohmann::json(after.commands).dump();
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::ready);

  // And on as before.
  t.tracker->track("later", nlohmann::json::object());
  t.analytics->trackEvent("app|later");
  auto last = receivedWhen(*cloud, [](const Received& r) {
    return r.indexOf("later") >= 0 && !r.commands.empty() && r.commands.back()["command"] == "send" &&
           r.commands.back()["arguments"][0].value("eventAction", "") == "later";
  });
  EXPECT_GE(last.indexOf("later"), 0);
  // The two pages came back together, in one process again.
  EXPECT_TRUE(waitFor([&] { return newProcesses(before).size() == 1; })) << newProcesses(before).size();
  EXPECT_EQ(std::count(last.events.begin(), last.events.end(), "meanwhile"), 1);
}

TEST_F(PageProcessEnd, EventsRaisedAsTheProcessIsKilledAreSentByTheNextPage) {
  Telemetry t(cloud->base());
  t.tracker->track("before", nlohmann::json::object());
  ASSERT_GE(receivedWhen(*cloud, [](const Received& r) { return r.indexOf("before") >= 0; }).indexOf("before"), 0);
  auto started = newProcesses(before);
  ASSERT_EQ(started.size(), 1u);
  // Killed from outside: its scripts fail before the engine reports the end.
  ASSERT_EQ(kill(*started.begin(), SIGKILL), 0);
  for (int i = 0; i < 5; ++i) {
    t.tracker->track("gap" + std::to_string(i), nlohmann::json::object());
    RunLoop::runUntil([] { return false; }, 0.005);
  }
  auto sent = receivedWhen(*cloud, [](const Received& r) { return r.indexOf("gap4") >= 0; });
  for (int i = 0; i < 5; ++i) EXPECT_GE(sent.indexOf("gap" + std::to_string(i)), 0) << i;
}

TEST_F(PageProcessEnd, AnEditorsEndLeavesTheOtherEditorsTheSignInPageAndTrackingWorking) {
  canvastest::Editor ended, other;
  ASSERT_TRUE(ended.load());
  ASSERT_TRUE(other.load());
  auto signIn = WebViewController::create(false, WebViewController::PageProcess::signIn);
  signIn->loadHTMLString("<p>sign in</p>", cloud->base() + "/");
  ASSERT_TRUE(waitFor([&] { return signIn->isDocumentReady(); }));
  // State that a reload of the page would lose.
  ASSERT_TRUE(evaluate(signIn->webView(), "window.typed = 'someone@example.com'; true"));
  ASSERT_TRUE(other.page("window.typed = 'text'; true"));
  Telemetry t(cloud->base());
  t.tracker->track("before", nlohmann::json::object());
  ASSERT_GE(receivedWhen(*cloud, [](const Received& r) { return r.indexOf("before") >= 0; }).indexOf("before"), 0);

  auto otherReady = other.processor->count("DocumentReady");
  auto endedReady = ended.processor->count("DocumentReady");
  ended.controller->webViewController().webView().terminateWebProcess();
  t.tracker->track("after", nlohmann::json::object());
  ASSERT_TRUE(waitFor([&] { return ended.processor->count("DocumentReady") > endedReady; }));

  EXPECT_EQ(other.page("window.typed"), nlohmann::json("text"));
  EXPECT_EQ(other.processor->count("DocumentReady"), otherReady);
  EXPECT_TRUE(other.controller->isDocumentReady());
  EXPECT_EQ(evaluate(signIn->webView(), "window.typed"), nlohmann::json("someone@example.com"));
  EXPECT_TRUE(signIn->isDocumentReady());
  EXPECT_GE(receivedWhen(*cloud, [](const Received& r) { return r.indexOf("after") >= 0; }).indexOf("after"), 0);
  EXPECT_EQ(t.tracker->state(), KorvelTracking::State::ready);
  signIn->cleanup();
}

}  // namespace
