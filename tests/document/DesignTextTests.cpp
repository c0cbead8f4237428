// JSON lets a string escape one half of a UTF-16 pair alone ("\ud83d"): a design may hold one,
// from the file or typed into the editor page (half an emoji pasted). Such a design opens in the
// real editor page, saves, and opens again holding the same text. An answer of the page that
// isn't JSON at all is kept where the next opening finds it.
#include <gtest/gtest.h>

#include <fstream>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentArchive.h"
#include "document/storage/KXDocumentContainer.h"
#include "platform/RunLoop.h"
#include "platform/WebView.h"
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

// The page hands its design over as text that isn't JSON (a byte that is never UTF-8): the save
// says so and where the text was kept, nothing is written over the design, and after a crash the
// next opening announces the kept text, once, for a zip and a folder document alike.
TEST_F(DesignText, ADesignAnswerThatIsNoJSONIsKeptWhereTheNextOpeningFindsIt) {
  std::vector<std::filesystem::path> shown;
  Workspace::setShared(std::make_unique<ShownWorkspace>(&shown));
  const std::string design = "{\"version\":1,\"pages\":[{\"id\":\"p\",\"name\":\"Edited \xFF\",\"layers\":[]}]}";
  for (bool folder : {false, true}) {
    SCOPED_TRACE(folder ? "a folder document" : "a zip document");
    auto source = testenv::freshFolder("refused");
    writeProject(source, "Saved");
    auto file = dir / (folder ? "Refused Folder" : "Refused.korvelx");
    if (folder)
      std::filesystem::rename(source, file);
    else
      makeZip(source, file);
    const std::string type = folder ? KXDocument::folderType : KXDocument::zipType;
    auto savedDesign = [&] { return folder ? pageNameInFolder(file) : firstPageName(documentInZip(file)); };
    std::filesystem::path kept;
    {
      auto document = openWith(*controller, file);
      ASSERT_TRUE(document);
      ASSERT_TRUE(waitForDesign(*document));
      ASSERT_TRUE(editPage(*document, "Edited"));
      // The page's own answer is held back; the bridge hands over the text instead.
      ASSERT_TRUE(pageSays(*document, "(function(){ var send = window._ipc.send; window._ipc.send = function (m, a) {"
                                      " if (m !== 'DocumentSaveDialogStart') send(m, a); }; return true; })()"));
      std::weak_ptr<KXDocument> weak = document;
      MainQueue::async([weak, design] {
        auto answering = weak.lock();
        if (!answering) return;
        WebView::ScriptMessage message;
        message.isString = true;
        message.text = R"({"method":"DocumentSaveDialogStart","arguments":)" + design + "}";
        message.length = message.text.size();
        answering->ostrelViewController().webViewController().didReceiveScriptMessage(message);
      });
      auto error = saveAndWait(*document, file, type, 0);
      ASSERT_TRUE(error);
      EXPECT_EQ(error->info("NSLocalizedFailureReason"), "The document can't be saved.") << error->description();
      auto told = error->info("NSLocalizedRecoverySuggestion").value_or("");
      EXPECT_NE(told.find("isn't valid JSON"), std::string::npos) << told;
      EXPECT_TRUE(document->isDocumentEdited());
      EXPECT_EQ(savedDesign(), "Saved");
      EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Saved");
      auto copy = KXDocumentContainer::setAsideCopyToAnnounce(document->container()->uuid(), file);
      ASSERT_TRUE(copy);
      auto refused = KXDocumentContainer::refusedContentIn(*copy);
      ASSERT_TRUE(refused);
      kept = refused->file;
      EXPECT_EQ(readFile(kept), design);
      EXPECT_NE(told.find("\u201c" + kept.string() + "\u201d"), std::string::npos) << told;
      // Korvel ends without another save; the next start sweeps.
      document->close();
    }
    RunLoop::runUntil([] { return false; }, 0.1);
    reopenDraftsAndWait(*controller);

    shown.clear();
    person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Show Copy"
    auto before = person().alertsShown.size();
    auto again = openWith(*controller, file);
    ASSERT_TRUE(again);
    again->presentSetAsideMessageIfNeeded();
    ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
    ASSERT_EQ(person().alertsShown.size(), before + 1);
    const auto& alert = person().alertsShown.back();
    EXPECT_EQ(alert.messageText, "The document \u201c" + file.stem().string() +
                                     "\u201d has unsaved edits from an earlier session that could not be saved.");
    EXPECT_NE(alert.informativeText.find("isn't valid JSON (invalid string: ill-formed UTF-8 byte at byte " +
                                              std::to_string(design.find('\xFF') + 1) + ")"), std::string::npos)
        << alert.informativeText;
    EXPECT_NE(alert.informativeText.find("\u201c" + kept.string() + "\u201d"), std::string::npos) << alert.informativeText;
    ASSERT_TRUE(waitFor([&] { return shown.size() == 1u; }));
    EXPECT_EQ(shown[0], kept);
    EXPECT_EQ(readFile(shown[0]), design);
    EXPECT_EQ(savedDesign(), "Saved");
    again->close();
    again.reset();
    RunLoop::runUntil([] { return false; }, 0.1);

    // Told once.
    auto told = person().alertsShown.size();
    auto third = openWith(*controller, file);
    ASSERT_TRUE(third);
    third->presentSetAsideMessageIfNeeded();
    RunLoop::runUntil([] { return false; }, 0.3);
    EXPECT_EQ(person().alertsShown.size(), told);
    third->close();
  }
  Workspace::setShared(nullptr);
}
