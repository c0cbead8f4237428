// The project server's key stays with its own pages: the preview page, loaded as the application
// loads it, reads the project and follows the server, while nothing its prototype or a page of
// another port sends to a third port opens the server when that port's holder replays it.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fstream>

#include "../document/DocumentTestSupport.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/WebView.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"
#include "support/BareListener.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// One request through tests/server/data/request.js; what it printed.
std::string request(const std::vector<std::string>& arguments) {
  std::string command = "node " + quoted(KORVEL_SOURCE_DIR "/tests/server/data/request.js");
  for (const auto& argument : arguments) command += " " + quoted(argument);
  std::string out;
  testenv::run(command + " 2>&1", &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// What a holder of the port replays: every header it got but those of the connection and of the
// browser's own say on where the request came from.
std::vector<std::string> replayedHeaders(const nlohmann::json& got) {
  static const std::vector<std::string> dropped{"host", "connection", "upgrade", "content-length", "origin"};
  std::vector<std::string> headers;
  for (const auto& [name, value] : got["headers"].items()) {
    if (std::find(dropped.begin(), dropped.end(), name) != dropped.end()) continue;
    if (name.rfind("sec-fetch-", 0) == 0 || name.rfind("sec-websocket-", 0) == 0) continue;
    headers.push_back(name + "=" + value.get<std::string>());
  }
  return headers;
}

class PreviewServerKey : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("preview-key");
  }
  void TearDown() override {
    for (auto& d : controller->documents()) d->close();
    controller.reset();
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
};

}  // namespace

TEST_F(PreviewServerKey, NothingSentToAnotherPortOpensTheServer) {
  BareListener bare, other;
  ASSERT_TRUE(bare.start());
  ASSERT_TRUE(other.start());
  const std::string at = "http://127.0.0.1:" + std::to_string(bare.port);

  // The prototype asks the bare port as a prototype that expects its own server there would.
  auto source = dir / "source";
  writeProject(source, "Home");
  std::ofstream(source / "code" / "prototype.js")
      << "new Image().src = '" << at << "/proto-img.svg?from=prototype';\n"
      << "fetch('" << at << "/proto-fetch?from=prototype', { credentials: 'include' }).catch(function () {});\n"
      << "fetch('" << at << "/proto-challenge', { credentials: 'include' }).catch(function () {});\n"
      << "try { new WebSocket('ws://127.0.0.1:" << bare.port << "/proto-ws'); } catch (e) {}\n";
  makeZip(source, dir / "Project.korvelx");
  auto document = openWith(*controller, dir / "Project.korvelx");
  ASSERT_TRUE(document && waitForEditor(*document));
  document->showPreviewWindow();
  auto& page = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return page.isDocumentReady(); }));
  // The page's own loads are let in: the prototype ran, and the page's Socket.IO is pushed the
  // frame the editor selected.
  ASSERT_TRUE(waitFor([&] { return bare.got("/proto-img.svg") && bare.got("/proto-fetch") && bare.got("/proto-challenge"); }))
      << page.webView().uri();
  ASSERT_TRUE(waitFor([&] {
    auto received = guitest::read(page.webView(), "window.PreviewStandIn.received");
    return received && received->dump().find("updatePreview") != std::string::npos;
  }));
  ASSERT_TRUE(waitFor([&] {
    return guitest::read(page.webView(), "window.PreviewStandIn.document && window.PreviewStandIn.document.pages[0].name") ==
           nlohmann::json("Home");
  }));

  // A page of another port, in a view of the same browsing session, asks the bare port too.
  WebView view;
  view.authenticate = [](const WebView::AuthenticationChallenge&) { return std::nullopt; };
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), view.widget());
  gtk_widget_show_all(window);
  view.loadURL("http://127.0.0.1:" + std::to_string(other.port) + "/page.html?target=" + std::to_string(bare.port));
  EXPECT_TRUE(waitFor([&] {
    return bare.got("/page-img.svg") && bare.got("/page-fetch") && bare.got("/page-challenge") &&
           bare.got("/page-frame-challenge");
  }));
  gtk_container_remove(GTK_CONTAINER(window), view.widget());  // the view keeps its widget
  gtk_widget_destroy(window);

  auto* server = document->serverController();
  ASSERT_TRUE(server && server->currentServerURL());
  const std::string key = server->pageKey();
  const std::string base = server->currentServerURL()->absoluteString();
  ASSERT_EQ(key.size(), 64u);
  std::vector<nlohmann::json> got = bare.requests;
  got.insert(got.end(), other.requests.begin(), other.requests.end());
  ASSERT_GE(got.size(), 7u);
  for (const auto& r : got) {
    SCOPED_TRACE(r.dump());
    EXPECT_EQ(r.dump().find(key), std::string::npos);
    EXPECT_FALSE(r["headers"].contains("authorization")) << "no challenge of another port is answered";
    // Its holder replays all of it: the headers, and the query on the server's own paths.
    const std::string url = r["url"];
    const std::string query = url.find('?') == std::string::npos ? "" : url.substr(url.find('?'));
    auto with = [&](std::vector<std::string> arguments) {
      auto headers = replayedHeaders(r);
      arguments.insert(arguments.end(), headers.begin(), headers.end());
      return request(arguments);
    };
    EXPECT_EQ(with({"http", base, "GET", "/design/document.json" + query}), "403");
    EXPECT_EQ(with({"http", base, "GET", "/_app/resources/Ostrel/preview.html" + query}), "403");
    EXPECT_EQ(with({"http", base, "POST", "/_app/preview-data", "--body", "{\"replayed\":true}"}), "403");
    EXPECT_EQ(with({"socket", base, "-", "replayed", "start"}), "refused");
  }
  EXPECT_FALSE(server->state() && server->state()->liveSharing.status != "available") << "nothing started sharing";
}
