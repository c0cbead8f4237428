// Whether the editor page holds the document's design: it says so once it has it, naming the
// start the host answered, and the host asks only such a page for its design.

#include <gtest/gtest.h>

#include "CanvasTestSupport.h"
#include "canvas/OstrelError.h"
#include "platform/RunLoop.h"

using namespace canvastest;

namespace {

nlohmann::json hostDesign() {
  return nlohmann::json::parse(R"({"version": 1, "pages": [{"id": "p", "name": "Host", "layers": [
    {"id": "a", "type": "text", "text": "From the host"}]}]})");
}

// A page whose project server doesn't answer: nothing listens on that port.
bool loadWithoutServer(Editor& editor) {
  auto server = *Url::parse("http://127.0.0.1:9/");
  auto before = editor.processor->count("DocumentReady");
  if (!editor.controller->loadDocument(server.appendingPathComponent("design/document.json"), std::nullopt, server,
                                       std::nullopt))
    return false;
  return waitFor([&] { return editor.processor->count("DocumentReady") > before && editor.controller->isDocumentReady(); });
}

struct Export {
  bool done = false;
  std::optional<Data> data;
  std::optional<Error> error;
};

std::shared_ptr<Export> ask(Editor& editor) {
  auto answer = std::make_shared<Export>();
  editor.controller->exportOstrelDocumentData([answer](std::optional<Data> data, std::optional<Error> error) {
    answer->done = true;
    answer->data = std::move(data);
    answer->error = std::move(error);
  });
  return answer;
}

}  // namespace

TEST(DesignHolding, APageWithoutItsDesignIsNotAskedForOneUntilItReportsHoldingIt) {
  Editor editor;
  ASSERT_TRUE(loadWithoutServer(editor));
  EXPECT_FALSE(editor.controller->holdsDocumentDesign());
  EXPECT_EQ(editor.page("OstrelStandIn.holdsDesign"), nlohmann::json(false));
  EXPECT_EQ(editor.processor->count("DocumentLoaded"), 0);
  // Refused at once: the page is not asked.
  auto refused = ask(editor);
  ASSERT_TRUE(refused->done);
  ASSERT_TRUE(refused->error);
  EXPECT_EQ(refused->error->domain, OstrelError::domain);
  EXPECT_EQ(refused->error->code, OstrelError::designNotHeldCode);
  EXPECT_EQ(refused->error->info("NSLocalizedFailureReason"), "The document can't be saved.");
  EXPECT_FALSE(refused->data);
  EXPECT_EQ(editor.page("OstrelStandIn.received.some(e => e.event === 'DocumentSave')"), nlohmann::json(false));
  // The page changes nothing meanwhile, and says why.
  EXPECT_EQ(editor.page("OstrelStandIn.addLayer('text')"), nlohmann::json(nullptr));
  EXPECT_EQ(editor.page("OstrelStandIn.posted.includes('DocumentDirty')"), nlohmann::json(false));
  EXPECT_EQ(editor.page("/not loaded/.test(document.getElementById('status').textContent)"), nlohmann::json(true));
  EXPECT_EQ(editor.page("document.getElementById('add-text').disabled"), nlohmann::json(true));

  // Reports that name no start, or another one, count for nothing.
  for (const char* report : {"null", R"({})", R"({"start": "1"})", R"({"start": -1})", R"({"start": 1000000})"}) {
    editor.controller->bridgeHandler("DocumentLoaded", nlohmann::json::parse(report));
    EXPECT_FALSE(editor.controller->holdsDocumentDesign()) << report;
  }

  // The host's design is the document's: the page reports it, and hands it over.
  auto reports = editor.processor->count("DocumentLoaded");
  editor.controller->loadDocument(hostDesign());
  ASSERT_TRUE(waitFor([&] { return editor.controller->holdsDocumentDesign(); }));
  EXPECT_EQ(editor.processor->count("DocumentLoaded"), reports + 1);
  auto saved = ask(editor);
  ASSERT_TRUE(waitFor([&] { return saved->done; }));
  ASSERT_TRUE(saved->data) << (saved->error ? saved->error->description() : "");
  EXPECT_EQ(nlohmann::json::parse(stringFromData(*saved->data)), hostDesign());
  EXPECT_EQ(editor.page("document.getElementById('add-text').disabled"), nlohmann::json(false));
}

// The page's report counts for the start it names: after the page starts again it holds nothing
// until it reports again, and a save waiting on the page that went fails at once.
TEST(DesignHolding, APageThatStartsAgainHoldsNothingUntilItReportsAgain) {
  Editor editor;
  ASSERT_TRUE(loadWithoutServer(editor));
  editor.controller->loadDocument(hostDesign());
  ASSERT_TRUE(waitFor([&] { return editor.controller->holdsDocumentDesign(); }));
  auto earlier = editor.processor->last("DocumentLoaded");
  ASSERT_TRUE(earlier && earlier->is_object());

  // This page never answers: its listeners are gone.
  editor.page("window._ipc.emit = function () {}; true");
  auto waiting = ask(editor);
  EXPECT_FALSE(waiting->done);
  auto readyBefore = editor.processor->count("DocumentReady");
  editor.page("location.reload(); true");
  ASSERT_TRUE(waitFor([&] { return waiting->done; }));
  EXPECT_FALSE(waiting->data);
  ASSERT_TRUE(waiting->error);
  EXPECT_EQ(waiting->error->code, OstrelError::ostrelNotReadyCode);
  ASSERT_TRUE(waitFor([&] { return editor.processor->count("DocumentReady") > readyBefore; }));
  EXPECT_FALSE(editor.controller->holdsDocumentDesign());

  // The earlier start's report, coming late, tells nothing of this one.
  editor.controller->bridgeHandler("DocumentLoaded", *earlier);
  EXPECT_FALSE(editor.controller->holdsDocumentDesign());
  auto refused = ask(editor);
  ASSERT_TRUE(refused->done);
  ASSERT_TRUE(refused->error);
  EXPECT_EQ(refused->error->code, OstrelError::designNotHeldCode);

  editor.controller->loadDocument(hostDesign());
  ASSERT_TRUE(waitFor([&] { return editor.controller->holdsDocumentDesign(); }));
  EXPECT_NE(editor.processor->last("DocumentLoaded"), earlier);
}

// Each load of the editor starts the page afresh, whatever was on show: a page kept through a
// load would hold the earlier document's design and edits under the next one's addresses.
TEST(DesignHolding, EachLoadStartsThePageAfresh) {
  Editor editor;
  ASSERT_TRUE(loadWithoutServer(editor));
  struct Case {
    const char* what;
    bool unloadFirst;
  } cases[] = {{"a load over the page on show", false}, {"a load asked as the page is unloaded", true}};
  int port = 10;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    editor.controller->loadDocument(hostDesign());
    ASSERT_TRUE(waitFor([&] { return editor.controller->holdsDocumentDesign(); }));
    ASSERT_EQ(editor.page("window.earlierPage = true"), nlohmann::json(true));
    auto readyBefore = editor.processor->count("DocumentReady");
    if (c.unloadFirst) editor.controller->unloadDocument([] {});
    auto server = *Url::parse("http://127.0.0.1:" + std::to_string(port++) + "/");
    ASSERT_TRUE(editor.controller->loadDocument(server.appendingPathComponent("design/document.json"), std::nullopt,
                                                server, std::nullopt));
    ASSERT_TRUE(waitFor([&] {
      return editor.processor->count("DocumentReady") > readyBefore && editor.controller->isDocumentReady();
    }));
    EXPECT_EQ(editor.page("window.earlierPage === undefined"), nlohmann::json(true));
    EXPECT_EQ(editor.page("OstrelStandIn.documentJSON"), nlohmann::json(nullptr));
    EXPECT_FALSE(editor.controller->holdsDocumentDesign());
  }
}

// A start answered before the page heard where its project is (the host's answer came first)
// holds nothing: an edit there would make a design of its own that a save would write over the
// document's.
TEST(DesignHolding, APageAnsweredBeforeItsProjectsAddressHoldsNothing) {
  Editor editor;
  ASSERT_TRUE(editor.load());
  EXPECT_EQ(editor.page("OstrelStandIn.holdsDesign"), nlohmann::json(false));
  EXPECT_EQ(editor.page("OstrelStandIn.addLayer('text')"), nlohmann::json(nullptr));
  EXPECT_EQ(editor.page("OstrelStandIn.documentJSON"), nlohmann::json(nullptr));
  EXPECT_FALSE(editor.controller->holdsDocumentDesign());
  EXPECT_EQ(editor.processor->count("DocumentLoaded"), 0);
  // The host's design is taken up all the same.
  editor.controller->loadDocument(hostDesign());
  ASSERT_TRUE(waitFor([&] { return editor.controller->holdsDocumentDesign(); }));
}
