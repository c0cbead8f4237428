// The project's code taking the editor page elsewhere (location.replace, a refresh of no delay):
// the address goes to the browser and the editor stays as it was, with the edits it held, which
// the next save writes.
#include <gtest/gtest.h>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/Document.h"
#include "platform/UrlOpener.h"
#include "support/BareListener.h"

using namespace doctests;

namespace {

class EditorRedirect : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
  }
  void TearDown() override {
    ControllerTest::TearDown();
    UrlOpener::setHandler(nullptr);
  }
  bool pageSays(KXDocument& document, const std::string& expression) {
    auto answer = evaluate(document, expression);
    return answer && answer->is_boolean() && answer->get<bool>();
  }
  std::vector<std::string> opened;
};

TEST_F(EditorRedirect, APageTakenElsewhereByItsCodeKeepsItsEditsAndSavesThem) {
  BareListener elsewhere;
  ASSERT_TRUE(elsewhere.start());
  struct Case {
    const char* name;
    std::string redirect;  // the page's code; "ADDRESS" is the foreign address
  } cases[] = {
      {"location.replace", "location.replace('ADDRESS')"},
      {"a refresh of no delay", "var m = document.createElement('meta'); m.httpEquiv = 'refresh';"
                                " m.content = '0;url=ADDRESS'; document.head.appendChild(m)"},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++round;
    writeProject(dir / ("source-" + std::to_string(round)), "Home");
    auto zip = dir / ("Redirect-" + std::to_string(round) + ".korvelx");
    makeZip(dir / ("source-" + std::to_string(round)), zip);
    auto document = openWith(*controller, zip);
    ASSERT_TRUE(document);
    ASSERT_TRUE(waitForEditor(*document));
    ASSERT_TRUE(waitFor([&] { return document->ostrelViewController().holdsDocumentDesign(); }, 60));
    // Two edits, which live only in the page until a save.
    ASSERT_TRUE(editPage(*document, "Renamed"));
    ASSERT_TRUE(pageSays(*document, "typeof window.OstrelStandIn.addLayer('text') === 'string'"));
    ASSERT_TRUE(pageSays(*document, "(window.keptDocument = true)"));
    opened.clear();

    std::string address = elsewhere.address() + "/elsewhere-" + std::to_string(round);
    std::string script = c.redirect;
    script.replace(script.find("ADDRESS"), 7, address);
    evaluate(*document, script + "; true");
    ASSERT_TRUE(waitFor([&] { return !opened.empty(); }, 60)) << "the address goes to the browser";
    EXPECT_EQ(opened, std::vector<std::string>{address});
    // The page on show is the one that was: its edits and all it held are there.
    EXPECT_TRUE(waitFor([&] { return pageSays(*document, "window.keptDocument === true"); }, 60))
        << document->ostrelViewController().webViewController().webView().committedURI();
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
    document->close();
  }
}

}  // namespace
