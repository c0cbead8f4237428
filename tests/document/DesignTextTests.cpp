// JSON lets a string escape one half of a UTF-16 pair alone ("\ud83d"): a design may hold one,
// from the file or typed into the editor page (half an emoji pasted). Such a design opens in the
// real editor page, saves, and opens again holding the same text.
#include <gtest/gtest.h>

#include <fstream>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentArchive.h"
#include "support/TestEnvironment.h"

using namespace doctests;

namespace {

class DesignText : public ControllerTest {};

bool pageSays(KXDocument& document, const std::string& expression) {
  auto answer = evaluate(document, expression);
  return answer && answer->is_boolean() && answer->get<bool>();
}

std::string designIn(const std::filesystem::path& zip) {
  auto archive = KXDocumentArchive::open(zip, KXDocument::zipType, false, std::nullopt, true);
  if (!archive) return "(does not open)";
  std::string text;
  auto read = (*archive)->backing().dataReader(KXDocumentArchive::relativePathForDocumentJSON)(
      [&](const std::uint8_t* p, std::size_t n) {
        text.append(reinterpret_cast<const char*>(p), n);
        return Result<void>();
      });
  return read ? text : "(unreadable)";
}

// The first page's name in the page, as UTF-16 code units.
std::string namedInPage(const std::string& units) {
  return "(function(){ var n = window.OstrelStandIn.documentJSON.pages[0].name; var u = [" + units +
         "]; if (n.length !== u.length) return false; for (var i = 0; i < u.length; ++i)"
         " if (n.charCodeAt(i) !== u[i]) return false; return true; })()";
}

// Waits for the page to hold its document; its state isn't read whole, as a strict reader of the
// page's answers would refuse it.
bool waitForDesign(KXDocument& document) {
  return waitFor([&] {
    return document.ostrelViewController().isDocumentReady() &&
           pageSays(document, "!!(window.OstrelStandIn && window.OstrelStandIn.documentJSON &&"
                              " window.OstrelStandIn.documentJSON.pages)");
  }, 60);
}

}  // namespace

TEST_F(DesignText, ADesignHoldingALoneHalfOfAUtf16PairOpensSavesAndOpensAgain) {
  auto source = dir / "source";
  writeProject(source, "First");
  // "H" then the first half of an emoji alone, as the file holds it.
  std::ofstream(source / "design/document.json", std::ios::trunc)
      << R"({"version":1,"pages":[{"id":"p","name":"H\ud83d","layers":[]}]})";
  auto zip = dir / "Half.korvelx";
  makeZip(source, zip);

  {
    auto document = openWith(*controller, zip);
    ASSERT_TRUE(document);
    ASSERT_TRUE(waitForDesign(*document));
    ASSERT_TRUE(waitFor([&] { return pageSays(*document, namedInPage("0x48, 0xd83d")); }, 30));
    // The other half, alone, typed into the page.
    ASSERT_TRUE(pageSays(*document, "(function(){ var s = window.OstrelStandIn; s.documentJSON.pages[0].name ="
                                    " 'T\\ude00'; window._ipc.send('DocumentDirty'); return true; })()"));
    ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));
    auto error = saveAndWait(*document, zip, KXDocument::zipType, 0);
    ASSERT_FALSE(error) << error->description();
    EXPECT_FALSE(document->isDocumentEdited());
    EXPECT_NE(designIn(zip).find(R"("T\ude00")"), std::string::npos) << designIn(zip);
    document->close();
  }
  auto again = openWith(*controller, zip);
  ASSERT_TRUE(again);
  ASSERT_TRUE(waitForDesign(*again));
  EXPECT_TRUE(waitFor([&] { return pageSays(*again, namedInPage("0x54, 0xde00")); }, 30));
  again->close();
}
