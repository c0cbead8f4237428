// The welcome window's decisions without a display: the page template, the site search, example
// names, the recents' texts and filtering, replies to the page and whether it comes back.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/Defaults.h"
#include "support/TestEnvironment.h"
#include "welcome/WelcomeWindow.h"
#include "welcome/WelcomeWindowController.h"
#include "welcome/WelcomeWindowRecentsRowView.h"

namespace fsys = std::filesystem;
using Row = WelcomeWindowRecentsRowView;

TEST(WelcomeTemplate, BuildInformationShowsOnDevelopmentAndNightlyBuildsOnly) {
  std::string page = "<p>{{ version }}</p><p class=\"build-info hidden\">{{ buildVersion }}</p>{{ version }}";
  EXPECT_EQ(WelcomeWindow::fillTemplate(page, "", "1.2"),
            "<p></p><p class=\"build-info hidden\">{{ buildVersion }}</p>");
  EXPECT_EQ(WelcomeWindow::fillTemplate(page, "Nightly", "nightly/42"),
            "<p>Nightly</p><p class=\"build-info\">nightly/42</p>Nightly");
  EXPECT_EQ(WelcomeWindow::fillTemplate(page, "Beta", "beta/3"),
            "<p>Beta</p><p class=\"build-info hidden\">{{ buildVersion }}</p>Beta");
}

TEST(WelcomeSearch, WordsAreEncodedSoTheyCannotAddQueryItems) {
  EXPECT_EQ(WelcomeWindow::searchURL("auto layout"),
            "https://search.korvel.io/search?as_sitesearch=community.korvel.io&q=auto%20layout");
  auto injected = WelcomeWindow::searchURL("a&b=c+d");
  ASSERT_TRUE(injected);
  EXPECT_EQ(*injected, "https://search.korvel.io/search?as_sitesearch=community.korvel.io&q=a%26b%3Dc%2Bd");
  EXPECT_EQ(WelcomeWindow::searchURL("#x"), "https://search.korvel.io/search?as_sitesearch=community.korvel.io&q=%23x");
  EXPECT_FALSE(WelcomeWindow::searchURL(""));
}

TEST(WelcomeExamples, NamesAndPlaces) {
  EXPECT_EQ(WelcomeWindow::baseName("example-hello.korvelx"), "example-hello");
  EXPECT_EQ(WelcomeWindow::baseName("example-hello"), "example-hello");
  EXPECT_EQ(WelcomeWindow::baseName("a.b.c"), "a.b");
  EXPECT_EQ(WelcomeWindow::exampleDisplayName("example-hello"), "Hello example");
  EXPECT_EQ(WelcomeWindow::exampleDisplayName("example-landing page"), "Landing Page example");
  EXPECT_EQ(WelcomeWindow::exampleDisplayName("example-LOUD example-words"), "Loud Words example");

  auto url = WelcomeWindow::exampleURL("example-landing page.korvelx");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->filename(), "example-landing page.korvelx");
  EXPECT_EQ(url->parent_path().filename(), "examples");
  EXPECT_TRUE(fsys::exists(*url));
  EXPECT_EQ(WelcomeWindow::tutorialURL("Getting Started")->filename(), "Getting Started.korveltutorial");
  // Names from the page stay inside the resource folders.
  EXPECT_FALSE(WelcomeWindow::exampleURL("../../Template/x"));
  EXPECT_FALSE(WelcomeWindow::tutorialURL("..") );
  EXPECT_FALSE(WelcomeWindow::exampleURL(""));
}

TEST(WelcomeRecents, RowsShowTheNameAndTheFolder) {
  const std::string home = "/home/designer";
  EXPECT_EQ(Row::titleText(fsys::path("/home/designer/Documents/Landing Page.korvelx")), "Landing Page");
  EXPECT_EQ(Row::pathText(fsys::path("/home/designer/Documents/Landing Page.korvelx"), home), "~/Documents");
  EXPECT_EQ(Row::pathText(fsys::path("/home/designer/Site.korvelx"), home), "~");
  EXPECT_EQ(Row::pathText(fsys::path("/media/work/Site.korvelx"), home), "/media/work");
  EXPECT_EQ(Row::titleText(fsys::path("/media/work/Site.korvelx")), "Site");
  EXPECT_EQ(Row::titleText(fsys::path("/x/Notes")), "Notes");
  EXPECT_EQ(Row::titleText(fsys::path("/x/Kit.korvelx/")), "Kit");
  EXPECT_EQ(Row::titleText(std::nullopt), "");
  EXPECT_EQ(Row::pathText(std::nullopt, home), "");
}

TEST(WelcomeRecents, OnlyAPrefixHomeAndOnlyTheFinalExtensionAreShortened) {
  const std::string home = "/home/designer";
  // The home folder inside another path, and a folder that only begins like it, stay whole.
  EXPECT_EQ(Row::pathText(fsys::path("/data/home/designer/x/A.korvelx"), home), "/data/home/designer/x");
  EXPECT_EQ(Row::pathText(fsys::path("/home/designer2/A.korvelx"), home), "/home/designer2");
  EXPECT_EQ(Row::pathText(fsys::path("/home/designer/a/home/designer/A.korvelx"), home), "~/a/home/designer");
  EXPECT_EQ(Row::titleText(fsys::path("/x/my.korvelx.backup.korvelx")), "my.korvelx.backup");
  EXPECT_EQ(Row::titleText(fsys::path("/x/A:B.korvelx")), "A:B");
  EXPECT_EQ(Row::titleText(fsys::path("/x/.korvelx")), ".korvelx");
}

TEST(WelcomeRecents, MissingFilesAreLeftOutInTheGivenOrder) {
  auto dir = testenv::freshFolder("recents");
  std::ofstream(dir / "c.korvelx") << "c";
  std::ofstream(dir / "a.korvelx") << "a";
  fsys::create_directories(dir / "Folder.korvelx");
  auto kept = WelcomeWindow::existingDocuments(
      {dir / "c.korvelx", dir / "gone.korvelx", dir / "a.korvelx", dir / "Folder.korvelx", dir / "c.korvelx"});
  EXPECT_EQ(kept, (std::vector<fsys::path>{dir / "c.korvelx", dir / "a.korvelx", dir / "Folder.korvelx",
                                          dir / "c.korvelx"}));
}

TEST(WelcomeBridge, RepliesCallTheGlobalOnlyWhenThePageHasIt) {
  EXPECT_EQ(WelcomeWindow::ipcCallScript("_setABtests", {nlohmann::json::object(), {{"dismissedTutorialCTA", false}}}),
            "window._setABtests && window._setABtests({}, {\"dismissedTutorialCTA\":false})");
  EXPECT_EQ(WelcomeWindow::ipcCallScript("f", {}), "window.f && window.f()");
}

TEST(WelcomePlacement, AWindowPartlyOffTheScreenAreaIsCentredAgain) {
  EXPECT_TRUE(WelcomeWindow::liesOffScreen(-10, 100, 900, 600, 1280, 800));
  EXPECT_TRUE(WelcomeWindow::liesOffScreen(100, 260, 900, 600, 1280, 800));
  EXPECT_FALSE(WelcomeWindow::liesOffScreen(100, 100, 900, 600, 1280, 800));
}

TEST(WelcomeWindowController, ShowOnStartupIsStoredTrueUnlessABooleanIsThere) {
  auto& defaults = Defaults::standard();
  const std::string key = WelcomeControllerConstants::WelcomeWindowShowOnStartup;
  defaults.remove(key);
  EXPECT_TRUE(WelcomeWindowController::shouldShowOnStartup());
  EXPECT_EQ(defaults.value(key), true);

  defaults.setBool(key, false);
  EXPECT_FALSE(WelcomeWindowController::shouldShowOnStartup());
  EXPECT_EQ(defaults.value(key), false);

  defaults.setInteger(key, 0);
  EXPECT_FALSE(WelcomeWindowController::shouldShowOnStartup());

  defaults.setString(key, "no");
  EXPECT_TRUE(WelcomeWindowController::shouldShowOnStartup());
  EXPECT_EQ(defaults.value(key), true);
}
