// The software updater against the stand-in cloud service's feed: what the person is told,
// what opens, the quiet checks, the schedule and the settings.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/Alert.h"
#include "platform/AppBundleInfo.h"
#include "platform/Defaults.h"
#include "platform/HttpSession.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "platform/SUUpdater.h"
#include "platform/UrlOpener.h"
#include "support/NodeServer.h"
#include "support/TestEnvironment.h"

namespace {

// Answers for the person with the button the test picked, and remembers what it was shown.
class RecordingAlert : public Alert {
 public:
  std::vector<AlertSpec>* shown;
  int answer;
  RecordingAlert(std::vector<AlertSpec>* s, int a) : shown(s), answer(a) {}
  int runModal(const AlertSpec& alert, GtkWindow*) override {
    shown->push_back(alert);
    return answer;
  }
  void beginSheet(const AlertSpec& alert, GtkWindow*, std::function<void(int)> completion) override {
    shown->push_back(alert);
    completion(answer);
  }
};

struct Updater : testing::Test {
  static inline std::unique_ptr<NodeServer> server;
  static void SetUpTestSuite() { server = NodeServer::start("tools/cloud-standin/server.js"); }
  static void TearDownTestSuite() { server.reset(); }

  std::vector<AlertSpec> alerts;
  std::vector<std::string> opened;
  HttpSession session;
  AppBundleInfo bundle{{{"CFBundleName", "Korvel"},
                        {"CFBundleShortVersionString", "1.4"},
                        {"CFBundleVersion", "140"},
                        {"SUFeedURL", "/appcast.json"}}};
  std::unique_ptr<Defaults> defaults;

  void SetUp() override {
    ASSERT_TRUE(server);
    defaults = std::make_unique<Defaults>(testenv::freshFolder("defaults") / "defaults.json");
    answerWith(Alert::firstButtonReturn);
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
    offer("140", "1.4");
    control("appcast", "ok");
  }
  void TearDown() override {
    Alert::setShared(nullptr);
    UrlOpener::setHandler({});
  }
  void answerWith(int button) { Alert::setShared(std::make_unique<RecordingAlert>(&alerts, button)); }

  void post(const nlohmann::json& body) {
    HttpRequest request(*Url::parse(server->base() + "/_standin/switches"));
    request.method = "POST";
    std::string text = JsonCoder::dump(body);
    request.body.assign(text.begin(), text.end());
    request.contentType = "application/json";
    bool done = false;
    session.send(std::move(request), [&](Result<HttpResponse>) { done = true; });
    RunLoop::runUntil([&] { return done; }, 20);
  }
  void offer(const std::string& version, const std::string& shortVersion) {
    post({{"appcastVersion", version}, {"appcastShortVersion", shortVersion}});
  }
  void control(const std::string& key, const std::string& value) { post({{key, value}}); }

  std::unique_ptr<SUUpdater> makeUpdater() {
    auto updater = std::make_unique<SUUpdater>(*defaults, session, bundle);
    updater->setFeedBaseURL(Url::parse(server->base()));
    return updater;
  }
  static bool finished(SUUpdater& updater) {
    return RunLoop::runUntil([&] { return !updater.isChecking(); }, 30);
  }
};

}  // namespace

TEST_F(Updater, ThePersonHearsThatTheyAreUpToDate) {
  auto updater = makeUpdater();
  EXPECT_FALSE(updater->lastUpdateCheckDate());
  updater->checkForUpdates();
  ASSERT_TRUE(finished(*updater));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].messageText, "Korvel is up to date.");
  EXPECT_NE(alerts[0].informativeText.find("Korvel 1.4"), std::string::npos);
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(updater->lastUpdateCheckDate());
  EXPECT_EQ(updater->latestItem()->version, "140");
}

TEST_F(Updater, ANewerVersionIsOfferedAndItsPageOpensOnlyWhenWanted) {
  offer("141", "1.4.1");
  auto updater = makeUpdater();
  updater->checkForUpdates();
  ASSERT_TRUE(finished(*updater));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].messageText, "A newer version of Korvel is available.");
  EXPECT_NE(alerts[0].informativeText.find("Korvel 1.4.1 is out"), std::string::npos);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], server->base() + "/downloads/korvel-141");

  answerWith(Alert::secondButtonReturn);
  updater->checkForUpdates();
  ASSERT_TRUE(finished(*updater));
  EXPECT_EQ(alerts.size(), 2u);
  EXPECT_EQ(opened.size(), 1u);
}

TEST_F(Updater, FeedFaultsAreToldToThePersonButNotInTheBackground) {
  auto updater = makeUpdater();
  for (const char* fault : {"error500", "badJSON"}) {
    control("appcast", fault);
    alerts.clear();
    updater->checkForUpdates();
    ASSERT_TRUE(finished(*updater));
    ASSERT_EQ(alerts.size(), 1u) << fault;
    EXPECT_EQ(alerts[0].messageText, "Korvel could not check for updates.");
    ASSERT_TRUE(updater->lastError());
    EXPECT_EQ(updater->lastError()->domain, SUUpdater::ErrorDomain);

    alerts.clear();
    updater->checkForUpdatesInBackground();
    ASSERT_TRUE(finished(*updater));
    EXPECT_TRUE(alerts.empty()) << fault;
  }

  // No address at all is an error too, not a request to nowhere.
  AppBundleInfo bare(AppBundleInfo::Table{{"CFBundleVersion", "1"}});
  SUUpdater lost(*defaults, session, bare);
  alerts.clear();
  lost.checkForUpdates();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(lost.lastError()->code, SUUpdater::noFeedURL);
}

TEST_F(Updater, QuietChecksSpeakOnlyOfANewerVersion) {
  auto updater = makeUpdater();
  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(finished(*updater));
  EXPECT_TRUE(alerts.empty());

  offer("200", "2.0");
  updater->checkForUpdateInformation();
  ASSERT_TRUE(finished(*updater));
  EXPECT_TRUE(alerts.empty());
  EXPECT_EQ(updater->latestItem()->version, "200");

  updater->checkForUpdatesInBackground();
  ASSERT_TRUE(finished(*updater));
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].messageText, "A newer version of Korvel is available.");
}

TEST_F(Updater, SettingsAndTheFeedAddressFollowTheDefaults) {
  auto updater = makeUpdater();
  EXPECT_FALSE(updater->automaticallyChecksForUpdates());
  EXPECT_EQ(updater->updateCheckInterval(), SUUpdater::defaultCheckInterval);
  updater->setUpdateCheckInterval(14400);
  EXPECT_EQ(updater->updateCheckInterval(), 14400);
  EXPECT_EQ(defaults->doubleValue(SUUpdater::checkIntervalKey), 14400);
  updater->setUpdateCheckInterval(-5);
  EXPECT_EQ(updater->updateCheckInterval(), SUUpdater::defaultCheckInterval);

  EXPECT_EQ(updater->feedURL()->absoluteString(), server->base() + "/appcast.json");
  defaults->setString(SUUpdater::feedURLKey, "https://updates.example.invalid/feed.json");
  EXPECT_EQ(updater->feedURL()->absoluteString(), "https://updates.example.invalid/feed.json");
  defaults->remove(SUUpdater::feedURLKey);
  updater->setFeedURL(Url::parse("https://other.invalid/a.json"));
  EXPECT_EQ(updater->feedURL()->absoluteString(), "https://other.invalid/a.json");
}

TEST_F(Updater, AutomaticChecksRunOnceTheIntervalHasPassed) {
  offer("150", "1.5");
  auto updater = makeUpdater();
  updater->setUpdateCheckInterval(SUUpdater::minimumCheckInterval);
  // The last check was almost an interval ago: the next one is due in a moment.
  double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  defaults->setDouble(SUUpdater::lastCheckTimeKey, now - SUUpdater::minimumCheckInterval + 0.3);
  updater->setAutomaticallyChecksForUpdates(true);
  EXPECT_TRUE(updater->automaticallyChecksForUpdates());
  ASSERT_TRUE(RunLoop::runUntil([&] { return !alerts.empty(); }, 30));
  EXPECT_EQ(alerts[0].messageText, "A newer version of Korvel is available.");
  EXPECT_GT(defaults->doubleValue(SUUpdater::lastCheckTimeKey), now - 1);

  // Switched off, nothing more comes, even when due.
  alerts.clear();
  defaults->setDouble(SUUpdater::lastCheckTimeKey, 1);
  updater->setAutomaticallyChecksForUpdates(false);
  RunLoop::runUntil([] { return false; }, 0.5);
  EXPECT_TRUE(alerts.empty());
  EXPECT_FALSE(updater->isChecking());
}
