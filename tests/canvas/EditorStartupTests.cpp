// The editor page loading beside a project server that is still starting: its start waits for
// the server's addresses, which it hears before the answer, also after a reload.

#include <gtest/gtest.h>

#include <fstream>

#include "CanvasTestSupport.h"
#include "canvas/ScriptLiteral.h"
#include "server/ServerController.h"
#include "support/TestEnvironment.h"

using namespace canvastest;
namespace fsys = std::filesystem;

namespace {

// A project whose built script notes the project address it finds when it runs.
fsys::path projectWithBuiltScript() {
  auto dir = testenv::freshFolder("startup-project");
  fsys::create_directories(dir / "build");
  std::ofstream(dir / "build" / "index.js") << "window.builtSaw = window.OstrelStandIn.addresses.projectURL || 'none';\n";
  return dir;
}

// The host's events the page heard, by name, in order.
std::vector<std::string> heard(Editor& editor) {
  auto names = editor.page("JSON.stringify(OstrelStandIn.received.map(e => e.event))");
  if (!names || !names->is_string()) return {};
  return nlohmann::json::parse(names->get<std::string>()).get<std::vector<std::string>>();
}

long position(const std::vector<std::string>& names, const std::string& name) {
  auto at = std::find(names.begin(), names.end(), name);
  return at == names.end() ? -1 : at - names.begin();
}

TEST(EditorStartup, APageLoadedBeforeItsServerHearsTheAddressesBeforeItsAnswer) {
  // The server comes after the page has started, or before it starts (while it still loads).
  for (bool serverFirst : {false, true}) {
    SCOPED_TRACE(serverFirst ? "server before the page's start" : "server after the page's start");
    Editor editor;
    auto project = projectWithBuiltScript();
    auto images = Url::fileURL(project / "images", true);
    // Nothing listens there: the page's fetch of the document fails at once.
    auto server = *Url::parse("http://127.0.0.1:9/");
    auto documentURL = server.appendingPathComponent("design/document.json");
    ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(images, project.string()));
    if (serverFirst) {
      editor.controller->setServerAddresses(documentURL, images, server);
    } else {
      ASSERT_TRUE(waitFor([&] { return editor.controller->isAwaitingServer(); }));
      // Neither the processor nor the page has seen the start answered; the built script waits.
      EXPECT_EQ(editor.processor->count("DOMContentLoaded"), 0);
      EXPECT_EQ(editor.page("OstrelStandIn.posted.indexOf('DocumentReady')"), nlohmann::json(-1));
      EXPECT_EQ(editor.page("window.builtSaw === undefined"), nlohmann::json(true));
      EXPECT_EQ(editor.page("OstrelStandIn.addresses.projectURL"), nlohmann::json(""));
      editor.controller->setServerAddresses(documentURL, images, server);
    }
    ASSERT_TRUE(waitFor([&] { return editor.controller->isDocumentReady(); }));
    EXPECT_FALSE(editor.controller->isAwaitingServer());
    auto methods = editor.processor->methods();
    ASSERT_GE(methods.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(methods.begin(), methods.begin() + 3),
              (std::vector<std::string>{"DOMContentLoaded", "DOMContentLoadedCallback", "DocumentReady"}));
    EXPECT_EQ(editor.page("OstrelStandIn.addresses"),
              (nlohmann::json{{"url", documentURL.absoluteString()},
                              {"imageBaseURL", images->absoluteString()},
                              {"projectURL", server.absoluteString()}}));
    EXPECT_EQ(editor.page("window.builtSaw"), nlohmann::json(server.absoluteString()));
    // The addresses came before the page's ready, which "MetricsContext" answers.
    ASSERT_TRUE(waitFor([&] { return position(heard(editor), "MetricsContext") >= 0; }));
    auto names = heard(editor);
    for (auto name : {"DocumentSetURL", "DocumentSetImageBaseURL", "DocumentSetProjectURL"}) {
      EXPECT_GE(position(names, name), 0) << name;
      EXPECT_LT(position(names, name), position(names, "MetricsContext")) << name;
    }

    // A page reloaded after its web process ended starts from its own address again, which
    // lacks the server's: it hears them again before it is ready.
    auto readyBefore = editor.processor->count("DocumentReady");
    editor.controller->webViewController().webView().terminateWebProcess();
    ASSERT_TRUE(waitFor([&] { return editor.processor->count("DocumentReady") > readyBefore; }));
    ASSERT_TRUE(waitFor([&] { return editor.controller->isDocumentReady(); }));
    EXPECT_EQ(editor.page("OstrelStandIn.addresses.projectURL"), nlohmann::json(server.absoluteString()));
    EXPECT_EQ(editor.page("window.builtSaw"), nlohmann::json(server.absoluteString()));
  }
}

// The answer to the page's start carries the server's addresses and key itself: a page that missed
// the events knows its project as it starts, and asks it for the design.
TEST(EditorStartup, APageThatMissedTheEventsKnowsItsProjectFromTheAnswer) {
  Editor editor;
  auto project = projectWithBuiltScript();
  auto server = *Url::parse("http://127.0.0.1:9/");
  auto documentURL = server.appendingPathComponent("design/document.json");
  ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
  ASSERT_TRUE(waitFor([&] { return editor.controller->isAwaitingServer(); }));
  ASSERT_EQ(editor.page("window._ipc.emit = function () {}; true"), nlohmann::json(true));
  editor.controller->setServerAddresses(documentURL, std::nullopt, server, "key-3");
  ASSERT_TRUE(waitFor([&] { return editor.controller->isDocumentReady(); }));
  EXPECT_EQ(editor.page("OstrelStandIn.received.length"), nlohmann::json(0)) << "the page heard no event";
  EXPECT_EQ(editor.page("OstrelStandIn.addresses.projectURL"), nlohmann::json(server.absoluteString()));
  EXPECT_EQ(editor.page("OstrelStandIn.addresses.url"), nlohmann::json(documentURL.absoluteString()));
  EXPECT_EQ(editor.page("OstrelStandIn.serverHeaders(" + ScriptLiteral::string(documentURL.absoluteString()) +
                        ")['X-Korvel-Key']"),
            nlohmann::json("key-3"));
  EXPECT_TRUE(waitFor([&] { return editor.page("OstrelStandIn.designAsks >= 1") == nlohmann::json(true); }));
  EXPECT_FALSE(editor.controller->holdsDocumentDesign());
}

TEST(EditorStartup, AServerThatRestartsWhileThePageLoadsGivesItsNewAddresses) {
  Editor editor;
  auto project = projectWithBuiltScript();
  ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
  auto first = *Url::parse("http://127.0.0.1:9/"), second = *Url::parse("http://127.0.0.1:7/");
  editor.controller->setServerAddresses(std::nullopt, std::nullopt, first);
  editor.controller->setServerAddresses(std::nullopt, std::nullopt, second);
  ASSERT_TRUE(waitFor([&] { return editor.controller->isDocumentReady(); }));
  EXPECT_EQ(editor.page("OstrelStandIn.addresses.projectURL"), nlohmann::json(second.absoluteString()));
  // A restart once ready is told as before.
  editor.controller->setServerAddresses(std::nullopt, std::nullopt, first);
  EXPECT_TRUE(waitFor([&] {
    return editor.page("OstrelStandIn.addresses.projectURL") == nlohmann::json(first.absoluteString());
  }));
}

// The project server's key reaches the page beside the project's address, whichever way that
// came, and never in an address of the page.
TEST(EditorStartup, ThePageHearsTheServersKeyBesideTheProjectAddress) {
  auto project = projectWithBuiltScript();
  auto server = *Url::parse("http://127.0.0.1:9/");
  auto documentURL = server.appendingPathComponent("design/document.json");
  auto keysHeard = [](Editor& editor) {
    auto text = editor.page(
        "JSON.stringify(OstrelStandIn.received.filter(e => e.event === 'DocumentSetProjectURL').map(e => e.args))");
    return text && text->is_string() ? nlohmann::json::parse(text->get<std::string>()) : nlohmann::json();
  };
  {
    SCOPED_TRACE("the address in the page's own");
    Editor editor;
    ASSERT_TRUE(editor.controller->loadDocument(documentURL, std::nullopt, server, project.string(), "key-1"));
    ASSERT_TRUE(waitFor([&] { return editor.controller->isDocumentReady(); }));
    EXPECT_EQ(keysHeard(editor), nlohmann::json::array({{server.absoluteString(), "key-1"}}));
    EXPECT_EQ(editor.page("location.href.indexOf('key-1')"), nlohmann::json(-1));
  }
  {
    SCOPED_TRACE("the address told once the server runs");
    Editor editor;
    ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
    editor.controller->setServerAddresses(documentURL, std::nullopt, server, "key-2");
    ASSERT_TRUE(waitFor([&] { return editor.controller->isDocumentReady(); }));
    EXPECT_EQ(keysHeard(editor), nlohmann::json::array({{server.absoluteString(), "key-2"}}));
    // The page fetches its document as it hears its address: by then it has the key.
    auto names = heard(editor);
    EXPECT_LT(position(names, "DocumentSetProjectURL"), position(names, "DocumentSetURL"));
    // A server started again has a new key.
    editor.controller->setServerAddresses(documentURL, std::nullopt, server, "key-3");
    EXPECT_TRUE(waitFor([&] { return keysHeard(editor).back() == nlohmann::json{server.absoluteString(), "key-3"}; }));
  }
}

// The host's answer to the page's start-up may run in the page before the page's own start-up
// does (both wait on the document being parsed): the page still hears the project's address and
// key that came with it and loads its document from the real project server.
TEST(EditorStartup, AnAnswerBeforeThePagesOwnStartStillLoadsItsDocument) {
  auto project = testenv::freshFolder("early-answer");
  fsys::create_directories(project / "design");
  std::ofstream(project / "design" / "document.json")
      << R"({"pages":[{"id":"p1","name":"Early","width":320,"height":200,"layers":[]}]})";
  auto server = ServerController::create();
  std::optional<Url> serverURL;
  bool answered = false;
  ASSERT_TRUE(server->start(project.string(), [&](std::optional<Url> url) {
    serverURL = url;
    answered = true;
  }));
  ASSERT_TRUE(waitFor([&] { return answered; }, 30.0));
  ASSERT_TRUE(serverURL);

  Editor editor;
  // Runs in the page's own start-up event ahead of the page's handler, as an early answer does.
  editor.controller->webViewController().addUserScript(
      {"document.addEventListener('DOMContentLoaded', function () {"
       "  window._ipc.emit('DocumentSetProjectURL', " + ScriptLiteral::string(serverURL->absoluteString()) + ", " +
           ScriptLiteral::string(server->pageKey()) + ");"
       "  window._bridge('DOMContentLoadedCallback');"
       "});"});
  // Without the server's addresses the host holds its own answer: only the early one comes.
  ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
  ASSERT_TRUE(waitFor([&] { return editor.processor->count("DocumentReady") > 0; }, 30.0));
  EXPECT_EQ(editor.page("OstrelStandIn.addresses.projectURL"), nlohmann::json(serverURL->absoluteString()));
  EXPECT_EQ(editor.page("OstrelStandIn.readyWithDocument"), nlohmann::json(true));
  EXPECT_EQ(editor.page("document.getElementById('status') === null"), nlohmann::json(true)) << "No document";

  // A page whose first fetch found no server loads its document when a server's address comes.
  Editor later;
  ASSERT_TRUE(later.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
  later.controller->setServerAddresses(std::nullopt, std::nullopt, *Url::parse("http://127.0.0.1:9/"));
  ASSERT_TRUE(waitFor([&] { return later.controller->isDocumentReady(); }));
  EXPECT_EQ(later.page("OstrelStandIn.readyWithDocument"), nlohmann::json(false));
  later.controller->setServerAddresses(std::nullopt, std::nullopt, *serverURL, server->pageKey());
  EXPECT_TRUE(waitFor([&] { return later.page("document.getElementById('status') === null") == nlohmann::json(true); }));
}

// A built script as bundlers write it, a licence comment ahead of its "use strict", runs strict
// in the editor's page, with its globals the page's.
TEST(EditorStartup, ABuiltScriptWithALicenceAheadOfItsDirectiveRunsStrict) {
  Editor editor;
  auto project = testenv::freshFolder("strict-built");
  fsys::create_directories(project / "build");
  std::ofstream(project / "build" / "index.js")
      << "/*!\n * project v1.0.0\n * Licensed under the MIT license\n */\n'use strict';\n"
         "window.builtStrict = (function () { return this === undefined; })();\nvar builtGlobal = 'global';\n";
  ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
  editor.controller->setServerAddresses(std::nullopt, std::nullopt, *Url::parse("http://127.0.0.1:9/"));
  ASSERT_TRUE(waitFor([&] { return editor.page("window.builtStrict !== undefined") == nlohmann::json(true); }));
  EXPECT_EQ(editor.page("window.builtStrict"), nlohmann::json(true));
  EXPECT_EQ(editor.page("window.builtGlobal"), nlohmann::json("global"));
}

// A built script runs as written, whatever comes first in it: a hashbang line stays its first,
// and its directives after it, or after an old page's comment, still hold.
TEST(EditorStartup, ABuiltScriptRunsAsWrittenWhateverComesFirst) {
  const std::string body = "window.builtStrict = (function () { return this === undefined; })();\n"
                           "var builtGlobal = 'global';\n";
  struct Case {
    const char* name;
    std::string script;
    bool strict;
  } cases[] = {
      {"a hashbang, then strict code", "#!/usr/bin/env node\n'use strict';\n" + body, true},
      {"a hashbang, then sloppy code", "#!/usr/bin/env node\n" + body, false},
      {"a licence comment ahead of its directive", "/*! licence */\n'use strict';\n" + body, true},
      {"an old page's comment ahead of its directive", "<!-- hide\n'use strict';\n" + body, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Editor editor;
    auto project = testenv::freshFolder("built-as-written");
    fsys::create_directories(project / "build");
    std::ofstream(project / "build" / "index.js") << c.script;
    ASSERT_TRUE(editor.controller->loadDocumentBeforeServer(std::nullopt, project.string()));
    editor.controller->setServerAddresses(std::nullopt, std::nullopt, *Url::parse("http://127.0.0.1:9/"));
    ASSERT_TRUE(waitFor([&] { return editor.page("window.builtStrict !== undefined") == nlohmann::json(true); }));
    EXPECT_EQ(editor.page("window.builtStrict"), nlohmann::json(c.strict));
    EXPECT_EQ(editor.page("window.builtGlobal"), nlohmann::json("global"));
  }
}

}  // namespace
