// The preview of a real document trusts its own page only: a third-party frame inside the
// prototype asks the person nothing, and the page's history never loses the preview, even across
// a restart of the project server with another program on its old port.
#include <gtest/gtest.h>

#include <fstream>

#include "../document/DocumentTestSupport.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/UrlOpener.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"
#include "support/BareListener.h"
#include "support/ForeignFrame.h"
#include "support/TestEnvironment.h"

using namespace doctests;

namespace {

class PreviewTrust : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("preview-trust");
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
  }
  void TearDown() override {
    UrlOpener::setHandler(nullptr);
    KorvelViewController::packageConsent() = nullptr;
    for (auto& d : controller->documents()) d->close();
    controller.reset();
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  // A document whose preview shows, ready.
  std::shared_ptr<KXDocument> openWithPreview() {
    auto source = dir / "source";
    writeProject(source, "Home");
    makeZip(source, dir / "Project.korvelx");
    auto document = openWith(*controller, dir / "Project.korvelx");
    if (!document || !waitForEditor(*document)) return nullptr;
    document->showPreviewWindow();
    if (!waitFor([&] { return page(*document).isDocumentReady(); }, 120)) return nullptr;
    return document;
  }
  static WebViewController& page(KXDocument& document) {
    return document.previewWindowController()->korvelViewController()->webViewController();
  }
  static std::optional<nlohmann::json> inPage(KXDocument& document, const std::string& script) {
    return guitest::evaluate(page(document).webView(), script);
  }

  std::unique_ptr<DocumentController> controller;
  std::filesystem::path dir;
  std::vector<std::string> opened;
};

TEST_F(PreviewTrust, AThirdPartyFrameInThePrototypeAsksThePersonNothing) {
  ForeignFrame frame;
  ASSERT_TRUE(frame.start(nlohmann::json::parse(R"([
    ["addPackage", "evil-package-from-foreign-frame"],
    ["ApplicationOpenURL", "https://evil.example/from-the-frame"]
  ])")));
  auto document = openWithPreview();
  ASSERT_TRUE(document);
  std::vector<std::string> asked;
  KorvelViewController::packageConsent() = [&](const std::string& name) {
    asked.push_back(name);
    return false;
  };
  auto saved = WebViewController::promptPresenter();
  std::vector<std::string> prompts;
  WebViewController::promptPresenter() = [&](WebView&, const std::string& prompt, const std::string&,
                                             WebView::PromptAnswer answer) {
    prompts.push_back(prompt);
    answer("answered");
  };
  DialogWatch dialogs(page(*document).webView());

  inPage(*document, frame.insertion());
  ASSERT_TRUE(waitFor([&] { return inPage(*document, "window.foreignFrame !== undefined") == nlohmann::json(true); }));
  EXPECT_EQ(inPage(*document, "window.foreignFrame"),
            nlohmann::json::parse(R"({"channel": "undefined", "alert": "returned", "confirm": false, "prompt": null, "print": "returned"})"));
  // The page's own ask comes after anything the frame posted, on the same road.
  inPage(*document, "window._ipc.send('addPackage', 'left-pad'); true");
  ASSERT_TRUE(waitFor([&] { return !asked.empty(); }));
  EXPECT_EQ(asked, std::vector<std::string>{"left-pad"});
  EXPECT_TRUE(dialogs.seen.empty());
  EXPECT_TRUE(prompts.empty());
  EXPECT_TRUE(opened.empty());
  // The page's own dialogs still reach the person.
  EXPECT_EQ(inPage(*document, "confirm('A question of the preview?')"), nlohmann::json(true));
  EXPECT_EQ(dialogs.seen, std::vector<std::string>{"A question of the preview?"});
  EXPECT_EQ(inPage(*document, "prompt('A prompt of the preview')"), nlohmann::json("answered"));
  WebViewController::promptPresenter() = saved;
}

// The way back from the page the server serves now leads to the port the last server left, where
// another program listens: the address goes to the browser and the preview comes back.
TEST_F(PreviewTrust, HistoryBackAcrossARestartBringsThePreviewBack) {
  auto document = openWithPreview();
  ASSERT_TRUE(document);
  auto* server = document->serverController();
  ASSERT_TRUE(server && server->currentServerURL());
  auto before = *server->currentServerURL();
  document->updateServerMount();
  ASSERT_TRUE(waitFor([&] {
    auto now = document->serverController()->currentServerURL();
    return now && now->absoluteString() != before.absoluteString();
  }, 120));
  auto after = *document->serverController()->currentServerURL();
  auto showsAfter = [&] {
    return page(*document).webView().committedURI().rfind(after.absoluteString(), 0) == 0 &&
           page(*document).isDocumentReady() &&
           inPage(*document, "!!window.PreviewStandIn") == nlohmann::json(true);
  };
  ASSERT_TRUE(waitFor(showsAfter, 120));
  BareListener other;
  ASSERT_GT(before.port(), 0);
  ASSERT_TRUE(other.start({}, before.port()));

  inPage(*document, "history.back(); true");
  ASSERT_TRUE(waitFor([&] { return !opened.empty(); }, 60)) << "the old address goes to the browser";
  EXPECT_EQ(opened.front().rfind(before.absoluteString(), 0), 0u) << opened.front();
  EXPECT_TRUE(waitFor(showsAfter, 60)) << page(*document).webView().committedURI();
}

}  // namespace
