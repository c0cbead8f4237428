// Any hosted page: message parsing, script order, load completions, navigation policy,
// untrusted pages, prompts and appearance.

#include <gtest/gtest.h>

#include <fstream>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "CanvasTestSupport.h"
#include "canvas/DroppedPictures.h"
#include "platform/Defaults.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "support/NodeServer.h"
#include "support/TestEnvironment.h"

using namespace canvastest;

namespace {

struct Page {
  Page() {
    initGtk();
    controller = WebViewController::create(false);
    window = std::make_unique<OffscreenWindow>(controller->webView().widget(), 800, 600);
    controller->setBridgeHandler([this](const std::string& m, const nlohmann::json& a) { messages.emplace_back(m, a); });
  }
  ~Page() {
    window.reset();
    controller.reset();
  }
  bool loadHTML(const std::string& body, const std::string& base = "") {
    bool done = false;
    controller->loadHTMLString("<!DOCTYPE html><html><body>" + body + "</body></html>", base, [&] { done = true; });
    return waitFor([&] { return done; });
  }
  bool loadFile(const std::filesystem::path& file) {
    bool done = false;
    controller->loadFile(file, [&] { done = true; });
    return waitFor([&] { return done; });
  }
  std::optional<nlohmann::json> page(const std::string& script) { return evaluate(controller->webView(), script); }
  void post(const std::string& body) { page("window.webkit.messageHandlers._webkit.postMessage(" + body + "); true"); }

  std::shared_ptr<WebViewController> controller;
  std::unique_ptr<OffscreenWindow> window;
  std::vector<std::pair<std::string, nlohmann::json>> messages;
};

std::filesystem::path writePage(const std::filesystem::path& folder, const std::string& name, const std::string& body) {
  std::ofstream(folder / name) << "<!DOCTYPE html><html><body>" << body << "</body></html>";
  return folder / name;
}

TEST(HostedPage, ParsesMessagesAndDropsTheMalformed) {
  Page p;
  int ready = 0;
  p.controller->setDocumentReadyHandler([&](const nlohmann::json& d) { ready += d.empty(); });
  ASSERT_TRUE(p.loadHTML("<p>hi</p>"));
  ASSERT_TRUE(waitFor([&] { return p.controller->isDocumentReady(); }));
  EXPECT_EQ(ready, 1);
  p.post(R"('[1,2]')");
  p.post(R"('"bare"')");
  p.post(R"({method: 'NotText'})");
  p.post(R"('{"method": 3}')");
  p.post(R"('{"method": "error", "arguments": {}}')");
  p.post(R"('{"method": "WithNull", "arguments": null}')");
  // A message nested 60,000 deep is refused, not copied level by level.
  p.post(R"('{"method": "Deep", "arguments": ' + '['.repeat(60000) + ']'.repeat(60000) + '}')");
  p.post(R"('{"method": "NoArguments"}')");
  ASSERT_TRUE(waitFor([&] { return p.messages.size() == 3; }));
  RunLoop::runUntil([] { return false; }, 0.1);
  ASSERT_EQ(p.messages.size(), 3u);
  EXPECT_EQ(p.messages[0], (std::pair<std::string, nlohmann::json>{"DOMContentLoaded", nlohmann::json::object()}));
  EXPECT_EQ(p.messages[1], (std::pair<std::string, nlohmann::json>{"WithNull", nullptr}));
  EXPECT_EQ(p.messages[2], (std::pair<std::string, nlohmann::json>{"NoArguments", nlohmann::json::object()}));
}

TEST(HostedPage, RefusesAMessageLongerThanTheBoundBeforeParsingIt) {
  Page p;
  ASSERT_TRUE(p.loadHTML("<p>hi</p>"));
  ASSERT_TRUE(waitFor([&] { return p.controller->isDocumentReady(); }));
  // Well-formed JSON one character past the bound, then a small message.
  std::string limit = std::to_string(WebView::maximumScriptMessageLength);
  p.post("(() => { const head = '{\"method\": \"Big\", \"arguments\": \"', tail = '\"}'; return head + 'x'.repeat(" +
         limit + " + 1 - head.length - tail.length) + tail; })()");
  p.post(R"('{"method": "Small", "arguments": [1]}')");
  ASSERT_TRUE(waitFor([&] { return p.messages.size() == 2; }));
  RunLoop::runUntil([] { return false; }, 0.1);
  ASSERT_EQ(p.messages.size(), 2u);
  EXPECT_EQ(p.messages[1], (std::pair<std::string, nlohmann::json>{"Small", nlohmann::json::array({1})}));
}

// A drop given up half-way leaves none of its pieces in the page, and another drop's stay.
TEST(HostedPage, ADropGivenUpLetsGoOfThePiecesThePageHolds) {
  Page p;
  ASSERT_TRUE(p.loadHTML(""));
  DroppedPictures::Delivery going({{"a.png", "image/png", Data(10, 1)}}, 0, 0);
  DroppedPictures::Delivery givenUp({{"b.png", "image/png", Data(10, 2)}}, 0, 0);
  ASSERT_EQ(p.page(*going.next()), nlohmann::json(true));
  ASSERT_EQ(p.page(*givenUp.next()), nlohmann::json(true));
  const std::string held = "Object.keys(window.__korvelDroppedPictures).length";
  EXPECT_EQ(p.page(held), nlohmann::json(2));
  ASSERT_EQ(p.page(givenUp.abandoned()), nlohmann::json(true));
  EXPECT_EQ(p.page(held), nlohmann::json(1));
}

TEST(HostedPage, ScriptsRunLaterAndInOrder) {
  Page p;
  ASSERT_TRUE(p.loadHTML(""));
  std::vector<int> order;
  p.controller->evaluateJavaScript("window.n = 1; 1", [&](std::optional<nlohmann::json> r, std::optional<Error>) {
    order.push_back(r ? r->get<int>() : -1);
  });
  EXPECT_TRUE(order.empty());
  p.controller->evaluateJavaScript("window.n + 1", [&](std::optional<nlohmann::json> r, std::optional<Error>) {
    order.push_back(r ? r->get<int>() : -1);
  });
  std::optional<Error> failure;
  p.controller->evaluateJavaScript("throw new Error('boom')",
                                   [&](std::optional<nlohmann::json>, std::optional<Error> e) { failure = e; });
  ASSERT_TRUE(waitFor([&] { return failure.has_value(); }));
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(HostedPage, OnlyTheLatestLoadCompletes) {
  Page p;
  int first = 0, second = 0;
  p.controller->loadHTMLString("<p>1</p>", "", [&] { ++first; });
  p.controller->loadHTMLString("<p>2</p>", "", [&] { ++second; });
  ASSERT_TRUE(waitFor([&] { return second == 1; }));
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(first, 0);
}

// A fresh view given a second address before the first has started loads the second one, also
// when the first was a web address that had not even been asked for yet.
TEST(HostedPage, AFreshViewLoadsTheAddressGivenLast) {
  auto service = NodeServer::start("tools/cloud-standin/server.js");
  ASSERT_TRUE(service);
  for (int round = 0; round < 3; ++round) {
    Page p;
    int first = 0, second = 0;
    p.controller->loadURL(service->base() + "/signup.html", [&] { ++first; });
    p.controller->loadURL(service->base() + "/", [&] { ++second; });
    ASSERT_TRUE(waitFor([&] { return second == 1 && p.controller->isDocumentReady(); })) << "round " << round;
    EXPECT_EQ(p.controller->webView().uri(), service->base() + "/");
    EXPECT_EQ(first, 0);
  }
}

// A page that failed to load, or was stopped for taking too long, shows an error page: whoever
// waits for it must not carry on over that.
TEST(HostedPage, FailedAndTimedOutLoadsNeverComplete) {
  {
    Page p;
    int missing = 0;
    p.controller->loadFile(testenv::freshFolder("gone") / "missing.html", [&] { ++missing; });
    RunLoop::runUntil([] { return false; }, 1.5);
    EXPECT_EQ(missing, 0);
  }
  // A listener that never answers.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  Page p;
  int finished = 0;
  p.controller->webView().loadFinished = [&](std::uint64_t) { ++finished; };
  p.controller->webView().loadURL("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", 0.3);
  RunLoop::runUntil([] { return false; }, 1.5);
  EXPECT_EQ(finished, 0);
  p.controller->webView().loadHTMLString("<p>fine</p>", "");
  EXPECT_TRUE(waitFor([&] { return finished == 1; }));
  close(listener);
}

TEST(HostedPage, LinksLeaveForTheBrowserOnlyTowardsUntrustedOrigins) {
  auto folder = testenv::freshFolder("site");
  writePage(folder, "next.html", "<p id=next>next</p>");
  auto start = writePage(folder, "start.html",
                         "<a id=out href='https://example.com/x'>out</a><a id=in href='next.html'>in</a>"
                         "<a id=mail href='mailto:a@b.c'>mail</a><a id=file href='file:///etc/hostname'>f</a>"
                         "<a id=win target=_blank href='https://korvel.io/w'>w</a>"
                         "<a id=localwin target=_blank href='next.html'>lw</a>");
  Page p;
  std::vector<std::string> opened;
  UrlOpener::setHandler([&](const std::string& url) { opened.push_back(url); });
  ASSERT_TRUE(p.loadFile(start));
  // A script taking the main frame elsewhere: the address goes to the browser, the page comes back.
  p.page("location.href = 'http://127.0.0.2:59999/'; true");
  ASSERT_TRUE(waitFor([&] { return opened.size() == 1; }));
  EXPECT_EQ(opened[0], "http://127.0.0.2:59999/");
  ASSERT_TRUE(waitFor([&] {
    return p.page("location.href.endsWith('start.html') && document.readyState === 'complete'") == nlohmann::json(true);
  }));

  p.page("document.getElementById('out').click(); true");
  ASSERT_TRUE(waitFor([&] { return opened.size() == 2; }));
  EXPECT_EQ(opened[1], "https://example.com/x");
  p.page("document.getElementById('file').click(); true");
  p.page("document.getElementById('mail').click(); true");
  ASSERT_TRUE(waitFor([&] { return opened.size() == 3; }));
  EXPECT_EQ(opened[2], "mailto:a@b.c");
  EXPECT_NE(p.controller->webView().uri().find("start.html"), std::string::npos);

  // New windows never open; web addresses go to the browser, others nowhere.
  p.page("document.getElementById('localwin').click(); document.getElementById('win').click(); true");
  ASSERT_TRUE(waitFor([&] { return opened.size() == 4; }));
  EXPECT_EQ(opened[3], "https://korvel.io/w");

  p.page("document.getElementById('in').click(); true");
  ASSERT_TRUE(waitFor([&] { return p.controller->webView().uri().find("next.html") != std::string::npos; }));
  UrlOpener::setHandler(nullptr);
  EXPECT_EQ(opened.size(), 4u);
}

TEST(HostedPage, AnUntrustedPageCannotTalkToTheHost) {
  auto trusted = testenv::freshFolder("trusted");
  auto elsewhere = testenv::freshFolder("elsewhere");
  auto start = writePage(trusted, "start.html", "<p>start</p>");
  auto other = writePage(elsewhere, "other.html", "<p>other</p>");
  Page p;
  p.controller->openLinksInSystemBrowser = false;
  ASSERT_TRUE(p.loadFile(start));
  ASSERT_TRUE(waitFor([&] { return p.messages.size() == 1; }));
  char* uri = g_filename_to_uri(other.c_str(), nullptr, nullptr);
  p.page(std::string("location.href = '") + uri + "'; true");
  g_free(uri);
  ASSERT_TRUE(waitFor([&] { return p.controller->webView().committedURI().find("other.html") != std::string::npos; }));
  auto& view = p.controller->webView();
  // None of the host's start-up scripts started there, and what the page posts goes nowhere.
  EXPECT_EQ(evaluate(view, "typeof window._bridge + ' ' + typeof window.AppServicesConfig", 30, true),
            nlohmann::json("undefined undefined"));
  evaluate(view, "window.webkit.messageHandlers._webkit.postMessage(JSON.stringify({ method: 'FromElsewhere' })); true", 30,
           true);
  // Nor does the host send it anything: its scripts are kept back, in their turn.
  std::optional<Error> kept;
  bool done = false;
  p.controller->evaluateJavaScript("document.title = 'host'", [&](std::optional<nlohmann::json>, std::optional<Error> e) {
    kept = e;
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return done; }));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->code, WebView::scriptKept);
  EXPECT_EQ(evaluate(view, "document.title", 30, true), nlohmann::json(""));
  EXPECT_EQ(p.messages.size(), 1u);
}

TEST(HostedPage, PromptsAreAnsweredByThePresenter) {
  Page p;
  ASSERT_TRUE(p.loadHTML(""));
  auto saved = WebViewController::promptPresenter();
  std::string seenPrompt, seenDefault;
  std::optional<std::string> reply = "typed";
  WebViewController::promptPresenter() = [&](WebView&, const std::string& prompt, const std::string& def,
                                             WebView::PromptAnswer answer) {
    seenPrompt = prompt;
    seenDefault = def;
    answer(reply);
  };
  EXPECT_EQ(p.page("prompt('Name?', 'Ada')"), nlohmann::json("typed"));
  EXPECT_EQ(seenPrompt, "Name?");
  EXPECT_EQ(seenDefault, "Ada");
  reply = std::nullopt;
  EXPECT_EQ(p.page("prompt('Name?')"), nlohmann::json(nullptr));
  WebViewController::promptPresenter() = saved;
}

TEST(HostedPage, AppearanceChangesReachThePageAndTheNextLoad) {
  Page p;
  // Added after the trusted origins changed: it is in place once, beside the scripts built again.
  p.controller->trustedOrigins().addOrigin("https://korvel.example/");
  p.controller->addUserScript({"window.ownerScript = (window.ownerScript || 0) + 1;",
                               WebView::InjectionTime::documentStart, WebView::InjectedFrames::mainFrameOnly});
  ASSERT_TRUE(p.loadHTML(""));
  EXPECT_EQ(p.page("document.documentElement.getAttribute('data-appearance')"), nlohmann::json("light"));
  Defaults::standard().setBool("HasDarkAppearance", true);
  ASSERT_TRUE(waitFor([&] {
    return p.page("document.documentElement.getAttribute('data-appearance')") == nlohmann::json("dark");
  }));
  ASSERT_TRUE(p.loadHTML(""));
  EXPECT_EQ(p.page("window.hasDarkAppearance"), nlohmann::json(true));
  EXPECT_EQ(p.page("window.ownerScript"), nlohmann::json(1));
  Defaults::standard().setBool("HasDarkAppearance", false);
  waitFor([&] { return p.page("window.hasDarkAppearance") == nlohmann::json(false); });
}

}  // namespace
