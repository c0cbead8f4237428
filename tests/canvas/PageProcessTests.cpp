// Which web process each hosted page runs in: pages of one trust share one, pages of different
// trust never do, so a busy or ended page reaches only pages of its own kind.

#include <gtest/gtest.h>

#include <memory>

#include "CanvasTestSupport.h"
#include "platform/FileSystem.h"
#include "support/TestEnvironment.h"

using namespace canvastest;
using PageProcess = WebViewController::PageProcess;

namespace {

// A hosted page of a given kind in an off-screen window, its content loaded.
struct HostedPage {
  HostedPage(PageProcess process, const std::string& origin)
      : controller(WebViewController::create(false, process)) {
    window = std::make_unique<OffscreenWindow>(controller->webView().widget(), 320, 240);
    controller->loadHTMLString("<p>hosted</p>", origin);
  }
  ~HostedPage() {
    window.reset();
    controller->cleanup();
  }
  bool ready() {
    return waitFor([&] { return controller->isDocumentReady(); });
  }
  std::shared_ptr<WebViewController> controller;
  std::unique_ptr<OffscreenWindow> window;
};

TEST(PageProcesses, PagesShareAProcessOnlyWithPagesOfTheirTrust) {
  initGtk();
  struct Case {
    const char* name;
    PageProcess first, second;
    bool shares;
  };
  const Case cases[] = {
      {"sign-in and welcome", PageProcess::signIn, PageProcess::signIn, true},
      {"tracking and messaging", PageProcess::thirdParty, PageProcess::thirdParty, true},
      {"sign-in and tracking", PageProcess::signIn, PageProcess::thirdParty, false},
      {"tracking and sign-in", PageProcess::thirdParty, PageProcess::signIn, false},
      {"two pages of their own", PageProcess::own, PageProcess::own, false},
      {"own and tracking", PageProcess::own, PageProcess::thirdParty, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HostedPage first(c.first, "https://first.invalid/");
    ASSERT_TRUE(first.ready());
    auto before = guitest::webProcessIds();
    HostedPage second(c.second, "https://second.invalid/");
    ASSERT_TRUE(second.ready());
    // A page of its own would have started a process before its page ran.
    EXPECT_EQ(guitest::hasNewProcess(before, guitest::webProcessIds()), !c.shares);
    EXPECT_EQ(guitest::evaluate(second.controller->webView(), "document.body.textContent"), nlohmann::json("hosted"));
  }
}

TEST(PageProcesses, EachEditorRunsInAProcessOfItsOwn) {
  Editor first;
  ASSERT_TRUE(first.load());
  HostedPage tracking(PageProcess::thirdParty, "https://tracking.invalid/");
  ASSERT_TRUE(tracking.ready());
  auto before = guitest::webProcessIds();
  Editor second;
  ASSERT_TRUE(second.load());
  EXPECT_TRUE(guitest::hasNewProcess(before, guitest::webProcessIds()));
  // Settings stay each view's own.
  EXPECT_TRUE(second.controller->webViewController().webView().developerExtrasEnabled());
  EXPECT_FALSE(tracking.controller->webView().developerExtrasEnabled());
}

TEST(PageProcesses, ABusyEditorLeavesAnotherAnsweringWhileItIsBusy) {
  Editor busy, other;
  ASSERT_TRUE(busy.load());
  ASSERT_TRUE(other.load());
  // Long enough that the other page's answer, however slow the machine, comes well within it.
  bool busyDone = false;
  busy.controller->webViewController().webView().evaluateJavaScript(
      "(() => { const end = Date.now() + 20000; while (Date.now() < end) {} return 1; })()",
      [&](std::optional<nlohmann::json>, std::optional<Error>) { busyDone = true; });
  // A script that the busy page must also have run first, were the two in one process.
  auto answer = other.page("document.readyState");
  EXPECT_EQ(answer, nlohmann::json("complete"));
  EXPECT_FALSE(busyDone) << "the other editor answered only once the busy one was done";
  // Its page answers its host too.
  other.page("window._bridge('StillHere'); true");
  EXPECT_TRUE(waitFor([&] { return other.processor->count("StillHere") > 0 || busyDone; }));
  EXPECT_FALSE(busyDone);
  // The busy page's process is ended rather than waited for.
  busy.controller->webViewController().webView().terminateWebProcess();
  EXPECT_TRUE(waitFor([&] { return busyDone; }));
}

TEST(PageProcesses, APageMadeFromTextComesBackWholeAfterItsProcessEnds) {
  initGtk();
  // The welcome page is such a page, loaded from a filled-in template.
  HostedPage page(PageProcess::signIn, "https://welcome.invalid/");
  ASSERT_TRUE(page.ready());
  page.controller->webView().terminateWebProcess();
  ASSERT_TRUE(waitFor([&] { return !page.controller->isDocumentReady(); }));
  EXPECT_TRUE(page.ready());
  EXPECT_EQ(guitest::evaluate(page.controller->webView(), "document.body ? document.body.textContent : ''"),
            nlohmann::json("hosted"));
}

TEST(PageProcesses, PagesOfOneProcessStartingItTogetherAllLoad) {
  initGtk();
  auto file = testenv::freshFolder("together") / "page.html";
  ASSERT_TRUE(fs::writeAtomically(file, std::string_view("<p>hosted</p>")));
  // Each round starts the shared process anew: at first, and after it ended under both pages,
  // which then load themselves again at the same moment, as the tracking pages do.
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    HostedPage first(PageProcess::thirdParty, "https://first.invalid/");
    auto second = WebViewController::create(false, PageProcess::thirdParty);
    second->loadFile(file);
    for (auto controller : {first.controller, second}) {
      controller->reloadsWhenProcessEnds = false;
      std::weak_ptr<WebViewController> weak = controller;
      bool html = controller == first.controller;
      controller->setWebProcessTerminatedHandler([weak, html, file] {
        MainQueue::async([weak, html, file] {
          auto self = weak.lock();
          if (!self) return;
          if (html)
            self->loadHTMLString("<p>hosted</p>", "https://again.invalid/");
          else
            self->loadFile(file);
        });
      });
    }
    auto ready = [&] { return waitFor([&] { return first.controller->isDocumentReady() && second->isDocumentReady(); }); };
    ASSERT_TRUE(ready());
    first.controller->webView().terminateWebProcess();
    ASSERT_TRUE(waitFor([&] { return !first.controller->isDocumentReady() && !second->isDocumentReady(); }));
    EXPECT_TRUE(ready());
    EXPECT_EQ(guitest::evaluate(second->webView(), "document.body.textContent"), nlohmann::json("hosted"));
    second->cleanup();
  }
}

}  // namespace
