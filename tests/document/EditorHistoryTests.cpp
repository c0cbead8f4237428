// The editor page's own history after Revert to Saved: the page's code going back (or further)
// reaches the page of a load before the revert, which is never taken for the editor. The editor
// of the last load comes back, with the edits it held, which the next save writes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/Alert.h"
#include "platform/Document.h"
#include "platform/UrlOpener.h"

using namespace doctests;

namespace {

class EditorHistory : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    UrlOpener::setHandler([](const std::string&) {});
  }
  void TearDown() override {
    ControllerTest::TearDown();
    UrlOpener::setHandler(nullptr);
  }
  bool pageSays(KXDocument& document, const std::string& expression) {
    auto answer = evaluate(document, expression);
    return answer && answer->is_boolean() && answer->get<bool>();
  }
};

TEST_F(EditorHistory, ThePageGoingBackAfterARevertKeepsTheEditorOfTheLastLoadAndItsEdits) {
  struct Case {
    const char* name;
    const char* before;  // the earlier page's own steps, before the revert
    const char* script;
  } cases[] = {
      {"history.back()", "true", "history.back()"},
      {"history.go(-1)", "true", "history.go(-1)"},
      {"history.go(-2), past a state the earlier page pushed", "history.pushState({}, '', location.href); true",
       "history.go(-2)"},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++round;
    auto source = dir / ("source-" + std::to_string(round));
    writeProject(source, "Saved");
    auto zip = dir / ("History-" + std::to_string(round) + ".korvelx");
    makeZip(source, zip);
    auto document = openWith(*controller, zip);
    ASSERT_TRUE(document);
    ASSERT_TRUE(waitForEditor(*document));
    // The page before the revert holds an edit of its own, which must never be written.
    ASSERT_TRUE(editPage(*document, "Before revert"));
    ASSERT_TRUE(writeChangesAndWait(*document));
    ASSERT_TRUE(pageSays(*document, c.before));
    auto& editor = document->ostrelViewController();
    auto& view = editor.webViewController().webView();
    std::string before = view.committedURI();

    person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Revert"
    document->revertDocumentToSaved();
    ASSERT_TRUE(waitFor([&] { return person().alertAnswers.empty() && !document->isReverting(); }, 120));
    ASSERT_TRUE(waitFor([&] { return view.committedURI() != before && editor.holdsDocumentDesign(); }, 120))
        << pageDiagnosis(*document);
    ASSERT_TRUE(waitFor([&] { return firstPageName(pageState(*document)) == "Saved"; }, 120)) << pageDiagnosis(*document);
    std::string current = view.committedURI();

    // Two edits, which live only in the page until a save.
    ASSERT_TRUE(editPage(*document, "Renamed"));
    ASSERT_TRUE(pageSays(*document, "typeof window.OstrelStandIn.addLayer('text') === 'string'"));
    ASSERT_TRUE(pageSays(*document, "(window.keptDocument = true)"));
    // Shown again as it was left, kept in memory.
    ASSERT_TRUE(pageSays(*document, "addEventListener('pageshow', e => { window.shownAgain = e.persisted }); true"));

    auto asked = std::chrono::steady_clock::now();
    evaluate(*document, std::string(c.script) + "; true");
    // Back within seconds: the page of the last load, with all it held.
    EXPECT_TRUE(waitFor([&] { return view.committedURI() == current && pageSays(*document, "window.shownAgain === true && window.keptDocument === true"); },
                        20))
        << "on show: " << view.committedURI() << "\nlast load: " << current;
    std::printf("%s: the editor back after %.2f s\n", c.name,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count());
    EXPECT_EQ(firstPageName(pageState(*document)), "Renamed");
    EXPECT_TRUE(document->ostrelViewController().isDocumentReady());
    EXPECT_TRUE(document->isDocumentEdited());

    auto error = saveAndWait(*document, zip, KXDocument::zipType, static_cast<int>(SaveOperation::save));
    ASSERT_FALSE(error) << error->description();
    auto saved = documentInZip(zip);
    EXPECT_EQ(firstPageName(saved), "Renamed");
    ASSERT_TRUE(saved && (*saved)["pages"][0].contains("layers"));
    bool hasText = false;
    for (const auto& layer : (*saved)["pages"][0]["layers"]) hasText = hasText || layer.value("text", "") == "Text";
    EXPECT_TRUE(hasText) << saved->dump();
    EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Renamed");
    document->close();
  }
}

}  // namespace
