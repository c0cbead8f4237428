// Trust follows what the application serves: a view taken by its own page's code to an address
// the application no longer serves, or never served, gets nothing from the host there, puts no
// question before the person, and comes back to its own page at once.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "../document/DocumentTestSupport.h"
#include "TakenPage.h"
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
#include "support/TestEnvironment.h"

using namespace doctests;
using namespace takenpage;
namespace fsys = std::filesystem;

namespace {

class TakenView : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("taken-view");
    UrlOpener::setHandler([this](const std::string& url) { openedExternally.push_back(url); });
    consent = KorvelViewController::packageConsent();
    KorvelViewController::packageConsent() = [this](const std::string& name) {
      packagesAsked.push_back(name);
      return false;
    };
  }
  void TearDown() override {
    UrlOpener::setHandler(nullptr);
    KorvelViewController::packageConsent() = consent;
    auto documents = controller->documents();
    for (auto& d : documents) d->close();
    controller.reset();
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  // A document whose project has a built script, open with its editor ready.
  std::shared_ptr<KXDocument> openProject() {
    auto source = dir / "source";
    writeProject(source, "Home");
    fsys::create_directories(source / "build");
    std::ofstream(source / "build" / "index.js") << "window.builtScriptRan = true;\n";
    makeZip(source, dir / "Project.korvelx");
    auto document = openWith(*controller, dir / "Project.korvelx");
    if (!document || !waitForEditor(*document)) return nullptr;
    auto& editor = document->ostrelViewController().webViewController();
    if (!waitFor([&] { return guitest::read(editor.webView(), "window.builtScriptRan") == nlohmann::json(true); }))
      return nullptr;
    return document;
  }

  // The page of another origin, written into a folder of its own; its address on `listener`.
  std::string servePage(BareListener& listener, const std::string& name, const std::string& text, int port = 0) {
    auto files = dir / ("files-" + name);
    fsys::create_directories(files);
    std::ofstream(files / name) << text;
    EXPECT_TRUE(listener.start(files.string(), port));
    return listener.address() + "/files/" + name;
  }

  std::size_t opened(const std::string& url) const {
    return std::count(openedExternally.begin(), openedExternally.end(), url);
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  std::vector<std::string> openedExternally;
  std::vector<std::string> packagesAsked;
  std::function<bool(const std::string&)> consent;
};

const nlohmann::json nothing = nlohmann::json::parse(R"({"globals": [], "events": [], "calls": []})");

// The arguments of the last "DocumentSetProjectURL" the editor's page heard.
std::optional<nlohmann::json> lastProjectURLHeard(WebViewController& editor) {
  return guitest::read(editor.webView(),
                       "OstrelStandIn.received.filter(function (e) { return e.event === 'DocumentSetProjectURL'; })"
                       ".map(function (e) { return e.args; }).pop()");
}

// The panel of the web engine's own (its alert, confirm and prompt) the view holds, if any.
GtkWidget* panelIn(GtkWidget* view) {
  GtkWidget* found = nullptr;
  gtk_container_forall(
      GTK_CONTAINER(view),
      [](GtkWidget* child, gpointer data) {
        if (std::string(G_OBJECT_TYPE_NAME(child)).find("Dialog") != std::string::npos)
          *static_cast<GtkWidget**>(data) = child;
      },
      &found);
  return found;
}
bool showsAPanel(GtkWidget* view) { return panelIn(view) != nullptr; }

// Clicks the first button of `widget` or of what it holds, as a person would.
bool clickFirstButton(GtkWidget* widget) {
  if (GTK_IS_BUTTON(widget)) {
    gtk_button_clicked(GTK_BUTTON(widget));
    return true;
  }
  if (!GTK_IS_CONTAINER(widget)) return false;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  bool clicked = false;
  for (GList* c = children; c && !clicked; c = c->next) clicked = clickFirstButton(GTK_WIDGET(c->data));
  g_list_free(children);
  return clicked;
}

}  // namespace

// The project server starts again on a new port; another program takes the old one, and each
// view's page takes it there. That page gets nothing: no start-up values, no event (the server's
// new address, its key, the working copy's), no built script, no call; none of its messages
// counts; and each view comes back to its own page, the editor with the new address and key.
TEST_F(TakenView, AnAddressTheServerLeftIsTrustedNoMore) {
  auto document = openProject();
  ASSERT_TRUE(document);
  document->showPreviewWindow();
  auto& editor = document->ostrelViewController().webViewController();
  auto& preview = document->previewWindowController()->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return preview.isDocumentReady(); }));
  auto* server = document->serverController();
  ASSERT_TRUE(server && server->currentServerURL());
  const Url before = *server->currentServerURL();
  const std::string oldKey = server->pageKey();

  document->updateServerMount();
  ASSERT_TRUE(waitFor([&] { return server->currentServerURL() && server->currentServerURL()->port() != before.port(); }, 60));
  const std::string now = server->currentServerURL()->absoluteString();
  const std::string newKey = server->pageKey();
  ASSERT_NE(newKey, oldKey);
  ASSERT_TRUE(waitFor([&] {
    return lastProjectURLHeard(editor) == nlohmann::json::array({now, newKey}) && preview.isDocumentReady() &&
           preview.webView().committedURI().rfind(now, 0) == 0;
  }, 60)) << "both views follow the server";

  BareListener other;
  const std::string address = servePage(other, "taken.html", takenPage(), before.port());
  ASSERT_EQ(other.port, before.port());
  struct Case {
    const char* view;
    WebViewController& page;
  } cases[] = {{"the editor's view", editor}, {"the preview's view", preview}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.view);
    other.requests.clear();
    auto openedBefore = opened(address);
    auto seen = whatReachedATakenPage(c.page, other, address);
    ASSERT_TRUE(seen) << "the page never told what came";
    EXPECT_EQ(*seen, nothing);
    for (const auto& key : {oldKey, newKey}) EXPECT_EQ(seen->dump().find(key), std::string::npos) << "a server's key";
    EXPECT_EQ(opened(address), openedBefore + 1) << "its address went to the browser";
  }
  EXPECT_TRUE(packagesAsked.empty());
  EXPECT_EQ(opened("https://taken.example/opened"), 0u) << "the page's message was obeyed";
  // Back with the server's new address and key, the editor loads its document from there.
  EXPECT_TRUE(waitFor([&] {
    return lastProjectURLHeard(editor) == nlohmann::json::array({now, newKey}) &&
           guitest::read(editor.webView(), "OstrelStandIn.addresses.projectURL") == nlohmann::json(now) &&
           guitest::read(editor.webView(), "!!OstrelStandIn.documentJSON") == nlohmann::json(true);
  })) << editor.webView().committedURI();
  EXPECT_TRUE(waitFor([&] { return preview.isDocumentReady() && preview.webView().committedURI().rfind(now, 0) == 0; }))
      << preview.webView().committedURI();
}

// A page of another origin asks alert(), confirm() and prompt() as it starts: each is answered at
// once as declined, nothing typed reaches it, no panel shows, and the editor is back at once.
TEST_F(TakenView, APageOfAnotherOriginAsksThePersonNothing) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto& editor = document->ostrelViewController().webViewController();
  int prompts = 0;
  auto presenter = WebViewController::promptPresenter();
  WebViewController::promptPresenter() = [&](WebView&, const std::string&, const std::string&,
                                             WebView::PromptAnswer answer) {
    ++prompts;
    answer(std::string("typed-by-the-person"));
  };
  struct Reset {
    WebViewController::PromptPresenter presenter;
    ~Reset() { WebViewController::promptPresenter() = presenter; }
  } reset{presenter};

  BareListener other;
  const std::string address = servePage(
      other, "asking.html",
      takenPage("", "  seen.answers = [alert('Korvel needs you to sign in again'), confirm('Allow?'),"
                    " prompt('Your password', 'secret')];\n"
                    "  for (var i = 0; i < 20; ++i) { alert(i); confirm(i); prompt(i); }\n"));
  double wayBack = -1;
  auto seen = whatReachedATakenPage(editor, other, address, &wayBack);
  ASSERT_TRUE(seen) << "the page's questions held it";
  EXPECT_EQ((*seen)["answers"], nlohmann::json::parse("[null, false, null]"));
  EXPECT_EQ(prompts, 0);
  for (const auto& r : other.requests) EXPECT_EQ(r.dump().find("typed-by-the-person"), std::string::npos) << r.dump();
  std::printf("way back after the page ran whole: %.3f s\n", wayBack);

  // The editor's own alert shows the engine's panel, which the person closes.
  auto& view = editor.webView();
  guitest::runInPage(view, "setTimeout(function () { alert('own'); window.alertClosed = true; })");
  ASSERT_TRUE(waitFor([&] { return showsAPanel(view.widget()); }));
  ASSERT_TRUE(clickFirstButton(panelIn(view.widget())));
  ASSERT_TRUE(waitFor([&] { return guitest::read(view, "window.alertClosed") == nlohmann::json(true); }));
  EXPECT_FALSE(showsAPanel(view.widget()));

  // As a person meets it: the page turned away at its answer (or brought back at its commit),
  // nothing held.
  const std::string again = address + "?again";
  bool taken = false, panel = false;
  auto hostsAnswer = view.decideMainFrameResponse;
  view.decideMainFrameResponse = [&](const std::string& uri) {
    auto decision = hostsAnswer ? hostsAnswer(uri) : WebView::PolicyDecision::allow;
    taken = taken || (uri == again && decision == WebView::PolicyDecision::cancel);
    return decision;
  };
  auto hostsCommit = view.mainFrameCommitted;
  view.mainFrameCommitted = [&](const std::string& uri) {
    taken = taken || uri == again;
    if (hostsCommit) hostsCommit(uri);
  };
  std::chrono::steady_clock::time_point start;
  guitest::evaluate(view, "location.href = " + nlohmann::json(again).dump() + "; true");
  ASSERT_TRUE(waitFor([&] { return taken; })) << "the view never went to " << again;
  start = std::chrono::steady_clock::now();
  EXPECT_TRUE(waitFor([&] {
    panel = panel || showsAPanel(view.widget());
    return view.committedURI() != again && editor.trustedOrigins().contains(view.committedURI()) &&
           guitest::read(view, "!!window._ipc && !!window.OstrelStandIn") == nlohmann::json(true);
  })) << view.committedURI();
  std::printf("editor back after the page's commit: %.3f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  view.mainFrameCommitted = hostsCommit;
  view.decideMainFrameResponse = hostsAnswer;
  EXPECT_FALSE(panel);
  EXPECT_EQ(prompts, 0);
}

// The editor's page takes its view to a file outside its folder, through an encoded "/" before
// "..": neither the host's start-up scripts nor its bridge run there.
TEST_F(TakenView, AFileOutsideTheEditorsFolderGetsNoHostScript) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto& editor = document->ostrelViewController().webViewController();
  const std::string shown = editor.webView().committedURI();
  ASSERT_EQ(shown.rfind("file:///", 0), 0u) << shown;
  const std::string folderURL = shown.substr(0, shown.rfind('/', shown.find('#')));
  char* name = g_filename_from_uri(folderURL.c_str(), nullptr, nullptr);
  ASSERT_TRUE(name) << folderURL;
  const fsys::path folder = fsys::path(name).lexically_normal();
  g_free(name);

  BareListener other;
  ASSERT_TRUE(other.start());
  auto outside = dir / "outside";
  fsys::create_directories(outside);
  std::ofstream(outside / "taken.html") << takenPage(other.address());
  std::string climb = "/x";
  for (const auto& part : folder) climb += part == "/" ? "" : "%2F..";
  climb += "%2F..";
  const std::string address = folderURL + climb + (outside / "taken.html").lexically_normal().string();
  SCOPED_TRACE(address);

  auto seen = whatReachedATakenPage(editor, other, address);
  ASSERT_TRUE(seen) << "the page never told what came";
  EXPECT_EQ(*seen, nothing);
  EXPECT_FALSE(editor.trustedOrigins().contains(address));
  EXPECT_TRUE(waitFor([&] { return guitest::read(editor.webView(), "!!window._ipc") == nlohmann::json(true); }));
}
