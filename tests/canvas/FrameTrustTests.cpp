// Only the editor page's own frame speaks for it: a frame of another origin inside it (a widget,
// a page on a port another program took) is heard by nobody and asks the person nothing, while
// the page itself is heard and asks as before.

#include <gtest/gtest.h>

#include <fstream>

#include "CanvasTestSupport.h"
#include "platform/FrameRelay.h"
#include "platform/UrlOpener.h"
#include "support/ForeignFrame.h"
#include "support/TestEnvironment.h"

using namespace canvastest;

namespace {

struct OpenedAddresses {
  OpenedAddresses() {
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
  }
  ~OpenedAddresses() { UrlOpener::setHandler(nullptr); }
  std::vector<std::string> opened;
};

struct Prompts {
  Prompts() : saved(WebViewController::promptPresenter()) {
    WebViewController::promptPresenter() = [this](WebView&, const std::string& prompt, const std::string&,
                                                   WebView::PromptAnswer answer) {
      asked.push_back(prompt);
      answer("answered");
    };
  }
  ~Prompts() { WebViewController::promptPresenter() = saved; }
  WebViewController::PromptPresenter saved;
  std::vector<std::string> asked;
};

TEST(FrameTrust, AFrameOfAnotherOriginInTheEditorIsHeardByNobodyAndAsksNothing) {
  ForeignFrame frame;
  ASSERT_TRUE(frame.start(nlohmann::json::parse(R"([
    ["ApplicationOpenURL", "https://evil.example/from-the-frame"],
    ["ApplicationOpenREADME", null],
    ["ApplicationOpenMetadataFolder", null],
    ["DocumentReady", null],
    ["DOMContentLoaded", null],
    ["addPackage", "evil-package-from-foreign-frame"]
  ])")));
  auto project = testenv::freshFolder("frame-project");
  std::filesystem::create_directories(project / "build");
  std::ofstream(project / "build" / "index.js") << "window.builtRuns = (window.builtRuns || 0) + 1;\n";
  OpenedAddresses opened;
  Prompts prompts;
  Editor editor;
  ASSERT_TRUE(editor.load(std::nullopt, project.string()));
  ASSERT_TRUE(waitFor([&] { return editor.page("window.builtRuns") == nlohmann::json(1); }));
  DialogWatch dialogs(editor.controller->webViewController().webView());
  const auto before = editor.processor->messages.size();

  editor.page(frame.insertion());
  ASSERT_TRUE(waitFor([&] { return editor.page("window.foreignFrame !== undefined") == nlohmann::json(true); }));
  EXPECT_EQ(editor.page("window.foreignFrame"),
            nlohmann::json::parse(R"({"channel": "undefined", "alert": "returned", "confirm": false, "prompt": null, "print": "returned"})"));
  // Whatever the frame posted went before this, on the same road.
  editor.page("window._ipc.send('AfterTheFrame'); true");
  ASSERT_TRUE(waitFor([&] { return editor.processor->count("AfterTheFrame") == 1; }));
  std::vector<std::string> heard;
  for (auto i = before; i < editor.processor->messages.size(); ++i) heard.push_back(editor.processor->messages[i].first);
  EXPECT_EQ(heard, std::vector<std::string>{"AfterTheFrame"});
  EXPECT_TRUE(opened.opened.empty());
  EXPECT_TRUE(dialogs.seen.empty());
  EXPECT_TRUE(prompts.asked.empty());
  EXPECT_EQ(editor.page("window.builtRuns"), nlohmann::json(1)) << "the built script ran once";
  EXPECT_TRUE(editor.controller->isDocumentReady());

  // The page itself is heard and asks, as before.
  editor.page("window._ipc.send('ApplicationOpenURL', 'https://example.com/own'); true");
  ASSERT_TRUE(waitFor([&] { return !opened.opened.empty(); }));
  EXPECT_EQ(opened.opened, std::vector<std::string>{"https://example.com/own"});
  EXPECT_EQ(editor.page("confirm('A question of the page?')"), nlohmann::json(true));
  EXPECT_EQ(editor.page("alert('An alert of the page'), 'returned'"), nlohmann::json("returned"));
  EXPECT_EQ(editor.page("print(), 'returned'"), nlohmann::json("returned"));
  // The engine holds a print back while the page still loads something (a poll of its server).
  ASSERT_TRUE(waitFor([&] { return dialogs.seen.size() >= 3; }));
  EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"A question of the page?", "An alert of the page", "print"}));
  EXPECT_EQ(editor.page("prompt('A prompt of the page', 'x')"), nlohmann::json("answered"));
  EXPECT_EQ(prompts.asked, std::vector<std::string>{"A prompt of the page"});
}

// A dialog is let through for the announcement that went just before it, once, and for no other.
TEST(FrameTrust, ADialogGoesBeforeThePersonOnlyAsTheMainFrameAnnouncedIt) {
  struct Case {
    const char* name;
    std::vector<std::string> announced;
    const char* kind;
    const char* message;
    bool shown;
  } cases[] = {
      {"announced", {"confirm\nSure?"}, "confirm", "Sure?", true},
      {"nothing announced", {}, "confirm", "Sure?", false},
      {"another message", {"confirm\nSure?"}, "confirm", "Sure!", false},
      {"another kind", {"alert\nSure?"}, "confirm", "Sure?", false},
      {"an earlier announcement", {"alert\nOne", "alert\nTwo"}, "alert", "One", false},
      {"a message over lines", {"prompt\nline one\nline two"}, "prompt", "line one\nline two", true},
      {"a print", {"print\n"}, "print", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DialogTickets tickets;
    for (const auto& a : c.announced) tickets.announced(a);
    EXPECT_EQ(tickets.take(c.kind, c.message), c.shown);
    EXPECT_FALSE(tickets.take(c.kind, c.message)) << "taken once";
  }
}

}  // namespace
