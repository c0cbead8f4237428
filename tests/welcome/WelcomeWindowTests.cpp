// The welcome window under the virtual display: its page in a real web view speaking the bridge,
// the recent documents, menu validation, and examples and tutorials becoming documents.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fstream>
#include <map>

#include "DocumentTestSupport.h"
#include "account/ABTests.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentError.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "platform/Workspace.h"
#include "support/TestEnvironment.h"
#include "welcome/WelcomeWindow.h"
#include "welcome/WelcomeWindowController.h"
#include "welcome/WelcomeWindowRecentsRowView.h"
#include "welcome/WelcomeWindowRecentsTableView.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

struct Tracked {
  std::string event;
  std::map<std::string, std::string> data;
};

class RecordingWorkspace : public Workspace {
 public:
  std::vector<std::vector<fsys::path>> revealed;
  bool openFile(const fsys::path&) override { return true; }
  void activateFileViewerSelecting(const std::vector<fsys::path>& items) override { revealed.push_back(items); }
};

class Welcome : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    DocumentHooks::track = [this](const std::string& event, const std::map<std::string, std::string>& data) {
      tracked.push_back({event, data});
    };
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
    auto recentsList = std::make_unique<ListedRecents>();
    recents = recentsList.get();
    RecentDocuments::setShared(std::move(recentsList));
    auto workspaceRecorder = std::make_unique<RecordingWorkspace>();
    workspace = workspaceRecorder.get();
    Workspace::setShared(std::move(workspaceRecorder));
    controller = std::make_unique<DocumentController>();
    controller->setAutosavingDelay(0);
    dir = testenv::freshFolder("welcome");
  }
  void TearDown() override {
    auto open = controller->documents();
    for (auto& d : open) d->close();
    open.clear();
    welcome.reset();
    controller.reset();
    UrlOpener::setHandler(nullptr);
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  WelcomeWindow& shown() {
    if (!welcome) welcome = std::make_unique<WelcomeWindowController>();
    welcome->showWindow();
    return *welcome->window();
  }

  std::optional<nlohmann::json> evaluate(const std::string& script) {
    return guitest::evaluate(welcome->window()->webView().webView(), script);
  }

  // The page's state as its _setABtests last set it; none before that.
  std::optional<nlohmann::json> pageState() {
    auto text = evaluate("JSON.stringify(window.welcomeState || null)");
    if (!text || !text->is_string()) return std::nullopt;
    auto parsed = JsonCoder::parse(text->get<std::string>());
    if (!parsed || !parsed->is_object() || (*parsed)["abTests"].is_null()) return std::nullopt;
    return *parsed;
  }

  bool waitForPage() {
    return waitFor([&] { return pageState().has_value(); });
  }

  fsys::path touch(const std::string& name) {
    std::ofstream(dir / name) << "x";
    return dir / name;
  }

  std::vector<Tracked> tracked;
  std::vector<std::string> opened;
  ListedRecents* recents = nullptr;
  RecordingWorkspace* workspace = nullptr;
  std::unique_ptr<DocumentController> controller;
  std::unique_ptr<WelcomeWindowController> welcome;
  fsys::path dir;
};

TEST_F(Welcome, ThePageSaysReadyAndGetsTheDecisionsAndTheDismissedFlag) {
  Defaults::standard().set("UserDefaultsABTestDecisions", {{"tutorialButtonCta", "B"}});
  ABTests decisions(Defaults::standard());
  Defaults::standard().remove(WelcomeWindow::dismissedTutorialKey);
  auto& window = shown();
  EXPECT_TRUE(window.isVisible());
  ASSERT_TRUE(waitForPage());
  auto state = *pageState();
  EXPECT_EQ(state["abTests"], (nlohmann::json{{"tutorialButtonCta", "B"}}));
  EXPECT_EQ(state["flags"], (nlohmann::json{{"dismissedTutorialCTA", false}}));
  // The page shows its call to action and says so; the window tracks the experiment's variant.
  auto shownTest = [&]() -> const Tracked* {
    for (const auto& t : tracked)
      if (t.event == "ab_test_shown") return &t;
    return nullptr;
  };
  ASSERT_TRUE(waitFor([&] { return shownTest() != nullptr; }));
  EXPECT_EQ(shownTest()->data, (std::map<std::string, std::string>{{"testGroup", "tutorialButtonCta"},
                                                                  {"testName", "B"}}));
  // The page fades in once its document is there.
  EXPECT_TRUE(waitFor([&] { return gtk_widget_get_opacity(window.webView().webView().widget()) >= 1.0; }));

  ASSERT_TRUE(evaluate("document.getElementById('dismiss-tutorial-cta').click(); true"));
  ASSERT_TRUE(waitFor([] { return Defaults::standard().boolValue(WelcomeWindow::dismissedTutorialKey); }));
  window.handleBridgeMethod("ready", nlohmann::json::object());
  EXPECT_TRUE(waitFor([&] {
    auto now = pageState();
    return now && (*now)["flags"]["dismissedTutorialCTA"] == true;
  }));
}

TEST_F(Welcome, SearchAndLinksOfThePageOpenInTheBrowser) {
  shown();
  ASSERT_TRUE(waitForPage());
  // The first example stays where a pointer-driven test clicks it.
  auto rect = evaluate("(function(){ var r = document.getElementById('example-landing-page').getBoundingClientRect();"
                       " return [r.left, r.top, r.width, r.height].join(','); })()");
  ASSERT_TRUE(rect);
  EXPECT_EQ(*rect, "40,120,240,48");
  // The page starts at the window's top-left corner and leaves the sidebar its 240 points.
  auto place = [&](GtkWidget* widget) {
    int x = -1, y = -1;
    gtk_widget_translate_coordinates(widget, GTK_WIDGET(welcome->window()->gtkWindow()), 0, 0, &x, &y);
    return std::vector<int>{x, y, gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget)};
  };
  EXPECT_EQ(place(welcome->window()->webView().webView().widget()),
            (std::vector<int>{0, 0, WelcomeWindow::width - 240, WelcomeWindow::height}));
  EXPECT_EQ(place(welcome->window()->recentsTableView()->widget()),
            (std::vector<int>{WelcomeWindow::width - 240, 0, 240, WelcomeWindow::height - 32}));
  ASSERT_TRUE(evaluate("var s = document.getElementById('search'); s.value = 'a&b=c+d';"
                       "s.dispatchEvent(new KeyboardEvent('keydown', {key: 'Enter'})); true"));
  ASSERT_TRUE(waitFor([&] { return !opened.empty(); }));
  EXPECT_EQ(opened.back(), "https://search.korvel.io/search?as_sitesearch=community.korvel.io&q=a%26b%3Dc%2Bd");
  bool interaction = false;
  for (const auto& t : tracked)
    if (t.event == "ui_interaction" && t.data.at("id") == "search" && t.data.at("page") == "welcome-window")
      interaction = true;
  EXPECT_TRUE(interaction);

  ASSERT_TRUE(evaluate("document.getElementById('link-docs').click(); true"));
  ASSERT_TRUE(waitFor([&] { return opened.size() == 2; }));
  EXPECT_EQ(opened.back(), "https://korvel.io/docs");
}

TEST_F(Welcome, MessagesWithTheWrongArgumentDoNothing) {
  auto& window = shown();
  tracked.clear();
  window.handleBridgeMethod("metricsUIInteraction", 42);
  window.handleBridgeMethod("link", "");
  window.handleBridgeMethod("search", "");
  window.handleBridgeMethod("abTestShown", "no-such-experiment");
  window.handleBridgeMethod("DOMContentLoaded", nlohmann::json::object());
  window.handleBridgeMethod("openExample", 3);
  EXPECT_TRUE(tracked.empty());
  EXPECT_TRUE(opened.empty());
  EXPECT_TRUE(window.isVisible());
  window.handleBridgeMethod("metricsUIInteraction", "new-button");
  ASSERT_EQ(tracked.size(), 1u);
  EXPECT_EQ(tracked[0].data, (std::map<std::string, std::string>{{"id", "new-button"}, {"page", "welcome-window"}}));
}

TEST_F(Welcome, MenuItemsCloseAndFind) {
  welcome = std::make_unique<WelcomeWindowController>();
  EXPECT_FALSE(welcome->validateMenuItem("performClose:"));
  EXPECT_FALSE(welcome->perform("performClose:"));
  EXPECT_FALSE(welcome->isWindowLoaded());
  auto& window = shown();
  EXPECT_TRUE(welcome->validateMenuItem("performClose:"));
  EXPECT_FALSE(window.perform("performZoom:"));
  EXPECT_TRUE(window.validateMenuItem("performClose:"));
  EXPECT_TRUE(window.validateMenuItem("toolbarDocs:"));
  EXPECT_TRUE(window.validateMenuItem("performTextFinderAction:"));
  EXPECT_FALSE(window.validateMenuItem("performMiniaturize:"));
  EXPECT_FALSE(window.validateMenuItem("performZoom:"));
  EXPECT_FALSE(window.validateMenuItem(""));

  ASSERT_TRUE(waitForPage());
  window.performTextFinderAction();
  EXPECT_TRUE(waitFor([&] {
    auto focused = evaluate("document.activeElement ? document.activeElement.id : ''");
    return focused && *focused == "search";
  }));
  window.toolbarDocs();
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(welcome->perform("performClose:"));
  EXPECT_FALSE(window.isVisible());
  // Shown again: the same window and page.
  auto* again = &shown();
  EXPECT_EQ(again, &window);
  EXPECT_TRUE(window.isVisible());
  welcome->close();
  EXPECT_FALSE(window.isVisible());
}

TEST_F(Welcome, TabGoesToTheTableUnlessSomeoneTakesIt) {
  recents->urls = {touch("A.korvelx")};
  auto* table = shown().recentsTableView();
  EXPECT_FALSE(table->handleTabKey());
  int tabs = 0;
  table->onTabKey = [&] { ++tabs; };
  EXPECT_TRUE(table->handleTabKey());
  EXPECT_EQ(tabs, 1);
}

TEST_F(Welcome, RecentsListExistingFilesWithTheFirstSelected) {
  auto c = touch("C.korvelx"), gone = dir / "Gone.korvelx", a = touch("A.korvelx");
  recents->urls = {c, gone, a};
  auto& window = shown();
  EXPECT_EQ(window.recentDocuments(), (std::vector<fsys::path>{c, a}));
  auto* table = window.recentsTableView();
  ASSERT_TRUE(table);
  ASSERT_EQ(table->numberOfRows(), 2);
  EXPECT_EQ(table->selectedRow(), 0);
  EXPECT_EQ(table->rowView(0)->title(), "C");
  EXPECT_EQ(table->rowView(1)->title(), "A");
  EXPECT_EQ(table->rowView(0)->state(), WelcomeWindowRecentsRowState::selected);
  EXPECT_EQ(table->rowView(1)->state(), WelcomeWindowRecentsRowState::normal);
  EXPECT_FALSE(window.isShowingNoRecentFiles());
  // Return reaches the list: its selected row has the keyboard focus after every refresh.
  welcome->reloadWindow();
  GtkWidget* focus = gtk_window_get_focus(window.gtkWindow());
  ASSERT_TRUE(focus);
  EXPECT_EQ(G_OBJECT_TYPE_NAME(focus), std::string("GtkListBoxRow"));
  EXPECT_EQ(focus, GTK_WIDGET(gtk_list_box_get_row_at_index(GTK_LIST_BOX(table->listBox()), 0)));

  // A right click selects its row and reveals that document; below the last row, nothing.
  EXPECT_TRUE(table->popUpContextMenu(1));
  EXPECT_EQ(table->selectedRow(), 1);
  EXPECT_EQ(table->rowView(1)->state(), WelcomeWindowRecentsRowState::selected);
  table->showInFinder();
  ASSERT_EQ(workspace->revealed.size(), 1u);
  EXPECT_EQ(workspace->revealed[0], (std::vector<fsys::path>{a}));
  EXPECT_FALSE(table->popUpContextMenu(std::nullopt));
  EXPECT_EQ(table->selectedRow(), 1);
  gtk_menu_shell_deactivate(GTK_MENU_SHELL(gtk_menu_get_for_attach_widget(table->listBox())->data));

  recents->urls.clear();
  welcome->reloadWindow();
  EXPECT_EQ(table->numberOfRows(), 0);
  EXPECT_TRUE(window.isShowingNoRecentFiles());
  window.openRecentFile();  // nothing selected: nothing happens
  EXPECT_TRUE(window.isVisible());

  recents->urls = {a};
  welcome->reloadWindow();
  EXPECT_FALSE(window.isShowingNoRecentFiles());
  EXPECT_EQ(table->selectedRow(), 0);
}

TEST_F(Welcome, OpeningAVanishedRecentShowsTheErrorAndKeepsTheWindow) {
  auto doomed = touch("Doomed.korvelx");
  recents->urls = {doomed};
  auto& window = shown();
  fsys::remove(doomed);
  person().alertAnswers.push_back(Alert::firstButtonReturn);
  // Return on the focused row (or a double click) activates it.
  auto* table = window.recentsTableView();
  gtk_widget_activate(GTK_WIDGET(gtk_list_box_get_row_at_index(GTK_LIST_BOX(table->listBox()), 0)));
  // Nothing else is open: the welcome window stays for the person's next choice.
  EXPECT_TRUE(window.isVisible());
  ASSERT_EQ(person().alertsShown.size(), 1u);
  EXPECT_EQ(person().alertsShown[0].messageText, "The document “Doomed.korvelx” could not be found.");
  EXPECT_TRUE(window.recentDocuments().empty());
}

TEST_F(Welcome, AMissingExampleOrTutorialIsAnErrorAndTheWindowStays) {
  auto& window = shown();
  std::optional<Error> exampleError, tutorialError;
  testing::internal::CaptureStdout();
  WelcomeWindow::openExample("example-nothing", [&](std::optional<Error> e) { exampleError = e; });
  WelcomeWindow::openTutorial("Nothing Here", [&](std::optional<Error> e) { tutorialError = e; });
  auto printed = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(exampleError);
  EXPECT_EQ(exampleError->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(exampleError->code, -1100);
  ASSERT_TRUE(tutorialError);
  EXPECT_EQ(tutorialError->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(tutorialError->code, -1100);
  EXPECT_NE(printed.find("Cannot open example: example-nothing "), std::string::npos);
  EXPECT_NE(printed.find("Cannot open example: Nothing Here "), std::string::npos);
  window.handleBridgeMethod("openExample", "example-nothing");
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(controller->documents().empty());
}

TEST_F(Welcome, AnExampleWaitsForTheSignIn) {
  DocumentHooks::shouldOpenDocuments = [] { return false; };
  std::optional<Error> error;
  WelcomeWindow::openExample("example-landing page", [&](std::optional<Error> e) { error = e; });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, makeError(KXDocumentError::notLoggedIn).domain);
  EXPECT_EQ(error->code, makeError(KXDocumentError::notLoggedIn).code);
  EXPECT_TRUE(controller->documents().empty());
}

TEST_F(Welcome, AnExampleOpensAsAnUntitledDocumentAndTheWindowCloses) {
  auto& window = shown();
  ASSERT_TRUE(waitForPage());
  // A press on the page's first example, as the person would click it.
  ASSERT_TRUE(evaluate("document.getElementById('example-landing-page').click(); true"));
  ASSERT_TRUE(waitFor([&] { return controller->documents().size() == 1; }, 20));
  auto document = std::dynamic_pointer_cast<KXDocument>(controller->documents().front());
  ASSERT_TRUE(document);
  EXPECT_EQ(document->displayName(), "Landing Page example");
  EXPECT_FALSE(document->fileURL());
  EXPECT_FALSE(window.isVisible());
  ASSERT_TRUE(waitForEditor(*document));
  auto design = doctests::pageState(*document);
  ASSERT_TRUE(design);
  auto layers = (*design)["pages"][0]["layers"];
  ASSERT_EQ(layers.size(), 3u);
  EXPECT_EQ(layers[0]["id"], "hero");
  EXPECT_EQ(layers[1]["id"], "features");
  EXPECT_EQ(layers[2]["id"], "footer");
}

TEST_F(Welcome, ATutorialOpensThroughTheDocumentController) {
  std::optional<Error> error;
  bool called = false;
  WelcomeWindow::openTutorial("Getting Started.korveltutorial", [&](std::optional<Error> e) {
    error = e;
    called = true;
  });
  // The tutorial is read beside the main loop.
  ASSERT_TRUE(doctests::waitFor([&] { return called; }));
  EXPECT_FALSE(error) << error->description();
  ASSERT_EQ(controller->documents().size(), 1u);
  EXPECT_EQ(controller->documents().front()->displayName(), "Getting Started");
}

}  // namespace
