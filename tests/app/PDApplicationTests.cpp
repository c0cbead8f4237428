// The application object's decisions: usage minutes, update scheduling, links, notifications,
// the analytics opt-out, menu validation and quitting with documents that may not close.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <deque>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "app/MainMenu.h"
#include "app/PDApplication.h"
#include "document/DocumentController.h"
#include "foundation/AppMenu.h"
#include "foundation/Menu.h"
#include "foundation/SharedNames.h"
#include "platform/Alert.h"
#include "platform/Defaults.h"
#include "platform/Document.h"
#include "platform/RunLoop.h"
#include "telemetry/PDGoogleAnalytics.h"

namespace {

using Counters = PDApplication::MinuteCounters;
using namespace std::chrono;

TEST(PDApplicationMinutes, TensAndHoursCatchUpOneStepPerTick) {
  Counters c;
  c.active = 10;
  c = PDApplication::nextMinute(c, true, 0);  // 11
  EXPECT_EQ(c.active10, 1);
  c = PDApplication::nextMinute(c, true, 0);  // 12
  EXPECT_EQ(c.active10, 2);
  for (int i = 13; i <= 20; ++i) c = PDApplication::nextMinute(c, true, 0);
  EXPECT_EQ(c.active, 20);
  EXPECT_EQ(c.active10, 2);
  c = PDApplication::nextMinute(c, true, 0);  // 21
  EXPECT_EQ(c.active10, 3);
  EXPECT_EQ(c.active60, 0);
}

TEST(PDApplicationMinutes, IdleCountsOnlyActiveMinutesFrom61Seconds) {
  Counters c;
  c = PDApplication::nextMinute(c, true, 60);
  EXPECT_EQ(c.activeIdle, 0);
  c = PDApplication::nextMinute(c, true, 61);
  EXPECT_EQ(c.activeIdle, 1);
  c = PDApplication::nextMinute(c, false, 500);
  EXPECT_EQ(c.active, 2);
  EXPECT_EQ(c.activeIdle, 1);
}

TEST(PDApplicationMinutes, InactiveTicksStillCatchUpTheTens) {
  Counters c;
  c.active = 45;
  c.active10 = 1;
  c = PDApplication::nextMinute(c, false, 0);
  EXPECT_EQ(c.active, 45);
  EXPECT_EQ(c.active10, 2);
  c.active = 130;
  c = PDApplication::nextMinute(c, false, 0);
  EXPECT_EQ(c.active60, 1);
}

TEST(PDApplicationUpdates, ScheduleFollowsTheLastCheck) {
  auto now = system_clock::now();
  auto recent = PDApplication::updateSchedule(false, now - hours(1), now);
  EXPECT_TRUE(recent.automatic);
  EXPECT_EQ(recent.backgroundCheckAfter, 60.0);
  EXPECT_FALSE(recent.informationCheckAfter);

  auto old = PDApplication::updateSchedule(false, now - hours(5), now);
  EXPECT_TRUE(old.automatic);
  EXPECT_FALSE(old.backgroundCheckAfter);

  auto never = PDApplication::updateSchedule(false, std::nullopt, now);
  EXPECT_FALSE(never.backgroundCheckAfter);

  auto disabled = PDApplication::updateSchedule(true, now - hours(1), now);
  EXPECT_FALSE(disabled.automatic);
  EXPECT_EQ(disabled.informationCheckAfter, 10.0);
  EXPECT_FALSE(disabled.backgroundCheckAfter);
}

TEST(PDApplicationLinks, RoutesInOrder) {
  using R = PDApplication::URLEventRoute;
  EXPECT_EQ(PDApplication::routeForURLEvent("korvel-x://store/package/charts", true), R::store);
  // Signed out, a store link is a sign-in link like any other.
  EXPECT_EQ(PDApplication::routeForURLEvent("korvel-x://store/package/charts", false), R::resetToken);
  EXPECT_EQ(PDApplication::routeForURLEvent("korvel-x://", true), R::activate);
  EXPECT_EQ(PDApplication::routeForURLEvent("korvel-x://login?fut=abc", true), R::resetToken);
  EXPECT_EQ(PDApplication::routeForURLEvent("https://example.com/", true), R::ignore);
  EXPECT_EQ(PDApplication::routeForURLEvent("", false), R::ignore);
}

TEST(PDApplicationLinks, NotificationsOpenOnlyWebAddresses) {
  EXPECT_TRUE(PDApplication::isOpenableNotificationURL("https://www.korvel.example/news"));
  EXPECT_TRUE(PDApplication::isOpenableNotificationURL("http://127.0.0.1:8080/x"));
  EXPECT_FALSE(PDApplication::isOpenableNotificationURL("file:///etc/passwd"));
  EXPECT_FALSE(PDApplication::isOpenableNotificationURL("javascript:alert(1)"));
  EXPECT_FALSE(PDApplication::isOpenableNotificationURL("korvel-x://login?fut=x"));
  EXPECT_FALSE(PDApplication::isOpenableNotificationURL("not a url"));
}

TEST(PDApplicationLinks, DashboardCarriesTheTokenEscaped) {
  EXPECT_EQ(PDApplication::cloudDashboardURL("https://cloud.example/dashboard", std::nullopt),
            "https://cloud.example/dashboard");
  EXPECT_EQ(PDApplication::cloudDashboardURL("https://cloud.example/dashboard", std::string("a&b=c")),
            "https://cloud.example/dashboard?token=a%26b%3Dc");
  auto help = PDApplication::helpPageURL(PDApplication::HelpPage::community);
  EXPECT_NE(help.find("utm_source="), std::string::npos);
  EXPECT_NE(help.find("utm_medium=link"), std::string::npos);
  EXPECT_NE(help.find("utm_campaign=help"), std::string::npos);
}

TEST(PDApplicationMenu, EditorItemsMergeIntoTheNativeMenu) {
  auto menu = MainMenu::make();
  AppMenu::MenuItemOptions undo;
  undo.label = "Undo";
  undo.role = "undo";
  AppMenu::MenuItemOptions edit;
  edit.label = "Edit";
  edit.submenu = std::vector<AppMenu::MenuItemOptions>{undo};
  AppMenu::MenuItemOptions arrange;
  arrange.label = "Arrange";
  arrange.submenu = std::vector<AppMenu::MenuItemOptions>{};
  AppMenu::initializeMainMenu(menu.get(), {edit, arrange});

  std::vector<std::string> titles;
  for (const auto& item : menu->items()) titles.push_back(item->title);
  EXPECT_EQ(titles, (std::vector<std::string>{"Korvel", "File", "Edit", "View", "Arrange", "Window", "Help"}));
  auto editMenu = menu->itemAt(menu->indexOfItemWithTitle("Edit"))->submenu;
  EXPECT_EQ(editMenu->indexOfItemWithTitle(AppMenu::placeholderTitle), -1);
  EXPECT_EQ(editMenu->itemAt(0)->title, "Undo");
  EXPECT_EQ(editMenu->itemAt(editMenu->items().size() - 1)->action, "performTextFinderAction:");

  auto save = MainMenu::itemForKeyEquivalent(*menu, "s", ModifierCommand);
  ASSERT_TRUE(save);
  EXPECT_EQ(save->action, "saveDocument:");
  auto saveAs = MainMenu::itemForKeyEquivalent(*menu, "s", ModifierCommand | ModifierShift);
  ASSERT_TRUE(saveAs);
  EXPECT_EQ(saveAs->action, "saveDocumentAs:");
  auto undoKey = MainMenu::itemForKeyEquivalent(*menu, "z", ModifierCommand);
  ASSERT_TRUE(undoKey);
  EXPECT_EQ(undoKey->action, "undo:");
  EXPECT_FALSE(MainMenu::itemForKeyEquivalent(*menu, "s", 0));
  EXPECT_FALSE(MainMenu::itemForKeyEquivalent(*menu, "", ModifierCommand));
}

// A document that is always edited and has no file: closing it asks the person.
class UntitledDocument : public Document {
 public:
  UntitledDocument() { updateChangeCount(ChangeType::done); }
  Result<void> writeSafely(const Path&, const std::string&, SaveOperation) override { return {}; }
  Result<void> read(const Path&, const std::string&) override { return {}; }
};

class ScriptedAlert : public Alert {
 public:
  std::deque<int> answers;
  int asked = 0;
  int runModal(const AlertSpec&, GtkWindow*) override {
    ++asked;
    int a = answers.empty() ? thirdButtonReturn : answers.front();
    if (!answers.empty()) answers.pop_front();
    return a;
  }
  void beginSheet(const AlertSpec& alert, GtkWindow* w, std::function<void(int)> done) override { done(runModal(alert, w)); }
};

class PDApplicationObject : public ::testing::Test {
 protected:
  void SetUp() override {
    gtk_init(nullptr, nullptr);
    // Analytics stay off: nothing may load a page here.
    Defaults::standard().setBool(UserDefaultsDataCollectionDisabledKey, true);
    auto alert = std::make_unique<ScriptedAlert>();
    person = alert.get();
    Alert::setShared(std::move(alert));
    hooks.quit = [this] { ++quits; };
    hooks.after = [this](double seconds, std::function<void()> work) { delayed.emplace_back(seconds, std::move(work)); };
    app = std::make_unique<PDApplication>(hooks);
  }
  void TearDown() override {
    app.reset();
    LoginController::shared().setToken(std::nullopt);
  }
  PDApplication::Hooks hooks;
  std::unique_ptr<PDApplication> app;
  ScriptedAlert* person = nullptr;
  int quits = 0;
  std::vector<std::pair<double, std::function<void()>>> delayed;
};

TEST_F(PDApplicationObject, OptedOutInstallationSendsNoAnalytics) {
  EXPECT_FALSE(PDGoogleAnalytics::sharedInstance().enabled());
  EXPECT_FALSE(app->isFirstLaunch());
}

TEST_F(PDApplicationObject, RunOnceRunsAgainUntilTheBlockSucceeds) {
  int runs = 0;
  app->runOnceForKey("probe", [&] { return ++runs == 2; });
  app->runOnceForKey("probe", [&] { return ++runs == 2; });
  app->runOnceForKey("probe", [&] { return ++runs == 2; });
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(Defaults::standard().boolValue("PDRunOnce.probe"));
}

TEST_F(PDApplicationObject, LoginGatedItemsFollowTheSignIn) {
  auto item = MenuItem::make("Log Out", "logoutAction:");
  auto welcome = MenuItem::make("Welcome", "showWelcomeWindow:");
  auto quit = MenuItem::make("Quit", "terminate:");
  auto save = MenuItem::make("Save", "saveDocument:");
  LoginController::shared().setToken(std::nullopt);
  EXPECT_FALSE(app->validateMenuItem(*item));
  EXPECT_FALSE(app->validateMenuItem(*welcome));
  EXPECT_TRUE(app->validateMenuItem(*quit));
  LoginController::shared().setToken(std::string("menu-test-token"));
  EXPECT_TRUE(app->validateMenuItem(*item));
  EXPECT_TRUE(app->validateMenuItem(*welcome));
  // Without a document window in front there is nothing to save, nor a preview to share.
  EXPECT_FALSE(app->validateMenuItem(*save));
  auto menu = MainMenu::make();
  auto view = menu->itemAt(menu->indexOfItemWithTitle("View"))->submenu;
  auto live = view->itemAt(view->indexOfItemWithTitle("Live Preview"));
  ASSERT_TRUE(live);
  EXPECT_EQ(live->action, "showLivePreview:");
  EXPECT_FALSE(app->validateMenuItem(*live));
  EXPECT_FALSE(app->performMenuItem(*live));
  EXPECT_FALSE(app->validateMenuItem(*MenuItem::make("Nothing", "noSuchAction:")));
}

TEST_F(PDApplicationObject, QuittingWithoutDocumentsEnds) {
  bool ended = false;
  app->terminate([&](bool terminated) { ended = terminated; });
  EXPECT_TRUE(ended);
  EXPECT_TRUE(app->isTerminating());
  EXPECT_EQ(quits, 1);
}

TEST_F(PDApplicationObject, CancelledQuitKeepsRunningAndStopsRetrying) {
  auto document = std::make_shared<UntitledDocument>();
  app->documentController().addDocument(document);
  person->answers = {Alert::thirdButtonReturn};  // Cancel
  app->saveDocumentsAndTerminate();
  EXPECT_EQ(person->asked, 1);
  EXPECT_FALSE(app->isTerminating());
  EXPECT_EQ(quits, 0);
  ASSERT_EQ(delayed.size(), 1u);
  EXPECT_EQ(delayed[0].first, 10.0);
  delayed[0].second();
  // The person is not asked again every ten seconds.
  EXPECT_EQ(person->asked, 1);
  EXPECT_EQ(delayed.size(), 1u);
  app->documentController().removeDocument(*document);
}

TEST_F(PDApplicationObject, QuitClosesDocumentsThePersonLetsGo) {
  auto document = std::make_shared<UntitledDocument>();
  app->documentController().addDocument(document);
  person->answers = {Alert::secondButtonReturn};  // Delete
  bool ended = false;
  app->terminate([&](bool terminated) { ended = terminated; });
  EXPECT_TRUE(ended);
  EXPECT_TRUE(document->isClosed());
  EXPECT_EQ(quits, 1);
}

TEST_F(PDApplicationObject, FilesWaitForTheSignIn) {
  LoginController::shared().setToken(std::nullopt);
  app->openFiles({"/nonexistent/a.korvelx"});
  // Nothing is tried, so nothing fails, while nobody is signed in.
  EXPECT_TRUE(app->documentController().documents().empty());
  EXPECT_EQ(person->asked, 0);
  // After the sign-in the file is opened instead of the welcome window; it doesn't exist, which
  // the person is told once.
  LoginController::shared().setToken(std::string("menu-test-token"));
  app->showWelcomeWindow();
  RunLoop::runUntil([&] { return person->asked > 0; }, 30);
  EXPECT_EQ(person->asked, 1);
  app->showWelcomeWindow();
  RunLoop::runUntil([] { return false; }, 0.3);
  EXPECT_EQ(person->asked, 1);
}

}  // namespace
