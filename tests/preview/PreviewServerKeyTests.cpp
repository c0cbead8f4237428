// The project server's key stays with its own pages: the preview page, loaded as the application
// loads it, reads the project and follows the server, while nothing its prototype or a page of
// another port sends to a third port opens the server when that port's holder replays it, and no
// page of another origin gets the project with the credential the web engine keeps for the page.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "../document/DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "platform/WebView.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"
#include "support/BareListener.h"
#include "TakenPage.h"
#include "support/TestEnvironment.h"

using namespace doctests;
using namespace takenpage;
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
    // A copy: each close takes its document off the controller's list.
    auto documents = controller->documents();
    for (auto& d : documents) d->close();
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

namespace {

// A page of another origin that tries every road of data/foreign-page.js against `target`.
std::string foreignScript(const std::string& target) {
  return "window.foreignTarget = '" + target + "';\n" + readFile(KORVEL_TEST_DATA "/foreign-page.js");
}
std::string foreignPage(const std::string& target) {
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>foreign</title></head><body><script>" +
         readFile(KORVEL_SOURCE_DIR "/resources/Server/node_modules/socket.io/client-dist/socket.io.min.js") +
         "</script>\n<script>" + foreignScript(target) + "</script></body></html>";
}

// What each road may end in when the server gives nothing: an opaque answer says nothing of
// what the server did (the trace and the preview data do), and a form the view itself stopped
// never gets one.
const std::map<std::string, std::set<std::string>>& givenNothing() {
  static const std::map<std::string, std::set<std::string>> outcomes{
      {"script", {"refused"}},
      {"picture", {"refused"}},
      {"fetch", {"refused"}},
      {"fetch post", {"answered", "refused"}},
      {"form post", {"answered", "no answer"}},
      {"socket.io", {"refused"}},
      {"socket.io websocket", {"refused"}},
      {"handshake script", {"refused"}},
      {"handshake fetch", {"answered", "refused"}},
  };
  return outcomes;
}

// Every road of a foreign page's results ended as one that gives nothing.
void expectGivenNothing(const std::optional<nlohmann::json>& results) {
  ASSERT_TRUE(results && results->is_object());
  for (const auto& [road, allowed] : givenNothing()) {
    SCOPED_TRACE(road);
    ASSERT_TRUE(results->contains(road));
    const std::string outcome = (*results)[road];
    EXPECT_TRUE(allowed.count(outcome)) << outcome;
  }
}

void savePicture(const fsys::path& file) {
  GdkPixbuf* picture = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 40, 40);
  gdk_pixbuf_fill(picture, 0xff00ffff);
  ASSERT_TRUE(gdk_pixbuf_save(picture, file.c_str(), "png", nullptr, nullptr));
  g_object_unref(picture);
}

}  // namespace

// The web engine keeps the key it was given for the preview page's loads and sends it with
// whatever any page of the session asks of that server. A page of another port, one of
// localhost, and another document's prototype, shown in the preview's own view, in another
// view, and as that document's own preview, get none of the project: not its script, nor its
// picture, nor its data, nor a Socket.IO session; and the preview goes on drawing.
TEST_F(PreviewServerKey, NoPageOfAnotherOriginGetsTheProjectInAnyView) {
  const fsys::path trace = dir / "trace.jsonl";
  setenv("KORVEL_SERVER_TRACE", trace.c_str(), 1);
  setenv("KORVEL_SERVER_TEST", "trace-sessions", 1);
  std::vector<std::string> openedExternally;
  UrlOpener::setHandler([&](const std::string& url) { openedExternally.push_back(url); });
  struct Reset {
    ~Reset() {
      unsetenv("KORVEL_SERVER_TRACE");
      unsetenv("KORVEL_SERVER_TEST");
      UrlOpener::setHandler(nullptr);
    }
  } reset;

  // Alpha: a prototype that holds a secret, and a picture on its page.
  auto alphaSource = dir / "alpha";
  writeProject(alphaSource, "Home");
  savePicture(alphaSource / "design" / "images" / "pic.png");
  std::ofstream(alphaSource / "design" / "document.json") << R"({"version": 1, "pages": [{"id": "page-1", "name": "Home",
      "layers": [{"id": "pic", "name": "pic.png", "type": "image", "image": "pic.png", "x": 10, "y": 10, "width": 40, "height": 40}]}]})";
  std::ofstream(alphaSource / "code" / "prototype.js") << "window.alphaSecret = 'alpha';\n";
  makeZip(alphaSource, dir / "Alpha.korvelx");
  auto alpha = openWith(*controller, dir / "Alpha.korvelx");
  ASSERT_TRUE(alpha && waitForEditor(*alpha));
  alpha->showPreviewWindow();
  auto* alphaServer = alpha->serverController();
  ASSERT_TRUE(waitFor([&] { return alphaServer->currentServerURL().has_value(); }));
  std::string target = alphaServer->currentServerURL()->absoluteString();
  if (target.back() == '/') target.pop_back();
  auto& alphaPage = alpha->previewWindowController()->korvelViewController()->webViewController();
  // The preview runs the prototype, draws the picture and is pushed the selected frame.
  auto alphaDraws = [&] {
    return waitFor([&] {
      return guitest::read(alphaPage.webView(),
                           "window.alphaSecret === 'alpha' && !!window.PreviewStandIn && "
                           "window.PreviewStandIn.received.indexOf('updatePreview') >= 0 && "
                           "Array.prototype.some.call(document.querySelectorAll('#device img'),"
                           " function (i) { return i.complete && i.naturalWidth === 40; })") == nlohmann::json(true);
    }, 60);
  };
  ASSERT_TRUE(alphaDraws());

  // Bravo: a document someone sent, whose prototype turns on Alpha's server.
  auto bravoSource = dir / "bravo";
  writeProject(bravoSource, "Bravo");
  std::ofstream(bravoSource / "code" / "prototype.js") << foreignScript(target);
  std::ofstream(bravoSource / "code" / "foreign.html") << foreignPage(target);
  makeZip(bravoSource, dir / "Bravo.korvelx");
  auto bravo = openWith(*controller, dir / "Bravo.korvelx");
  ASSERT_TRUE(bravo && waitForEditor(*bravo));
  bravo->showPreviewWindow();
  auto* bravoServer = bravo->serverController();
  ASSERT_TRUE(waitFor([&] { return bravoServer->currentServerURL().has_value(); }));
  auto& bravoPage = bravo->previewWindowController()->korvelViewController()->webViewController();
  {
    SCOPED_TRACE("Bravo's prototype in its own preview");
    ASSERT_TRUE(waitFor([&] { return guitest::read(bravoPage.webView(), "window.foreignDone") == nlohmann::json(true); }, 90));
    expectGivenNothing(guitest::read(bravoPage.webView(), "window.foreignResults"));
  }

  // The same page on another port of 127.0.0.1, and under localhost.
  auto files = dir / "files";
  fsys::create_directories(files);
  std::ofstream(files / "foreign.html") << foreignPage(target);
  BareListener other;
  ASSERT_TRUE(other.start(files.string()));

  WebView second;
  second.authenticate = [](const WebView::AuthenticationChallenge&) { return std::nullopt; };
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), second.widget());
  gtk_widget_show_all(window);

  const WebView::Headers bravoKey{{ServerController::pageKeyHeader, bravoServer->pageKey()}};
  const std::string bravoPageURL = bravoServer->currentServerURL()->absoluteString() + "code/foreign.html";
  struct Visit {
    std::string page;
    std::string url;
    WebView::Headers headers;
  };
  const std::vector<Visit> visits{
      {"a page of another port", other.address() + "/files/foreign.html", {}},
      {"a page of localhost", "http://localhost:" + std::to_string(other.port) + "/files/foreign.html", {}},
      // Loaded as the application loads that server's pages, with its own key.
      {"another document's prototype page", bravoPageURL, bravoKey},
  };
  for (const bool sameView : {true, false}) {
    for (const auto& visit : visits) {
      SCOPED_TRACE(visit.page + (sameView ? " in the preview's own view" : " in a second view"));
      WebView& view = sameView ? alphaPage.webView() : second;
      if (sameView)
        alphaPage.loadURL(visit.url, nullptr, visit.headers);
      else
        second.loadURL(visit.url, 0, visit.headers);
      ASSERT_TRUE(waitFor([&] {
        return view.uri() == visit.url && guitest::read(view, "window.foreignDone") == nlohmann::json(true);
      }, 90)) << view.uri();
      expectGivenNothing(guitest::read(view, "window.foreignResults"));
    }
  }
  gtk_container_remove(GTK_CONTAINER(window), second.widget());  // the view keeps its widget
  gtk_widget_destroy(window);

  // Nothing reached the project: no preview data came from those pages, and every Socket.IO
  // session was opened by a page of the server's own origin or by the application.
  ASSERT_TRUE(alphaServer->previewData());
  EXPECT_EQ(alphaServer->previewData()->find("foreign"), std::string::npos) << *alphaServer->previewData();
  int ownPageSessions = 0;
  std::ifstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    auto record = nlohmann::json::parse(line, nullptr, false);
    if (!record.is_object() || record.value("event", "") != "session") continue;
    EXPECT_TRUE(record["site"].is_null() || record["site"] == "same-origin") << line;
    ownPageSessions += record["site"] == "same-origin";
  }
  EXPECT_GE(ownPageSessions, 2) << "each preview page has its link";

  // Alpha's preview, loaded again by the application, draws as before.
  alpha->previewWindowController()->korvelViewController()->reload();
  EXPECT_TRUE(alphaDraws()) << alphaPage.webView().uri();
}

// The editor's view and the preview's, each taken to a page of another port of 127.0.0.1 by the
// code of its own page: that page gets nothing from the host. No start-up script, no event (the
// server's address and key, the document's address, the working copy's), no built script, no call,
// no package question; and the view comes back to its own page.
TEST_F(PreviewServerKey, APageAViewIsTakenToGetsNothingFromTheHost) {
  auto source = dir / "source";
  writeProject(source, "Home");
  fsys::create_directories(source / "build");
  std::ofstream(source / "build" / "index.js") << "window.builtScriptRan = true;\n";
  makeZip(source, dir / "Project.korvelx");
  auto document = openWith(*controller, dir / "Project.korvelx");
  ASSERT_TRUE(document && waitForEditor(*document));
  document->showPreviewWindow();
  auto& editor = document->ostrelViewController().webViewController();
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));
  ASSERT_TRUE(waitFor([&] { return guitest::read(editor.webView(), "window.builtScriptRan") == nlohmann::json(true); }))
      << "the project's built script runs in its editor";
  auto* server = document->serverController();
  ASSERT_TRUE(server && server->currentServerURL());
  const std::string key = server->pageKey();
  ASSERT_EQ(key.size(), 64u);

  std::vector<std::string> openedExternally;
  UrlOpener::setHandler([&](const std::string& url) { openedExternally.push_back(url); });
  std::vector<std::string> packagesAsked;
  auto consent = KorvelViewController::packageConsent();
  KorvelViewController::packageConsent() = [&](const std::string& name) {
    packagesAsked.push_back(name);
    return false;
  };
  struct Reset {
    std::function<bool(const std::string&)> consent;
    ~Reset() {
      UrlOpener::setHandler(nullptr);
      KorvelViewController::packageConsent() = consent;
    }
  } reset{consent};

  auto files = dir / "taken";
  fsys::create_directories(files);
  std::ofstream(files / "taken.html") << takenPage();
  struct Case {
    const char* view;
    WebViewController& page;
  } cases[] = {{"the editor's view", editor}, {"the preview's view", preview}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.view);
    BareListener other;
    ASSERT_TRUE(other.start(files.string()));
    const std::string address = other.address() + "/files/taken.html";
    auto seen = whatReachedATakenPage(c.page, other, address);
    ASSERT_TRUE(seen) << "the page never told what came";
    EXPECT_EQ(*seen, nlohmann::json::parse(R"({"globals": [], "events": [], "calls": []})"));
    EXPECT_EQ(seen->dump().find(key), std::string::npos) << "the server's key";
    EXPECT_EQ(std::count(openedExternally.begin(), openedExternally.end(), address), 1) << "its address went to the browser";
  }
  EXPECT_TRUE(packagesAsked.empty());
  // Both views work on as before.
  EXPECT_TRUE(waitFor([&] { return guitest::read(editor.webView(), "!!window._ipc") == nlohmann::json(true); }));
  EXPECT_TRUE(waitFor([&] { return guitest::read(preview.webView(), "!!window._ipc") == nlohmann::json(true); }));
}
