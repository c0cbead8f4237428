// A design just under the bound a document may hold opens in the editor page, is edited there
// and saves through the page's answer, with this process and every process it started (the
// page's web and network processes, the project server) holding under a gigabyte together; one
// the editor grows past the bound is refused for what it is.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXExpansionBudget.h"
#include "platform/WebView.h"
#include "support/TestEnvironment.h"
#include "support/ProcessMemory.h"

using namespace doctests;

namespace {

// Under AddressSanitizer korvel's every block carries shadow and red zones, freed ones stay
// resident in its quarantine (256 MB) and the work runs several times slower: the bounds there
// are what that build adds to the gigabyte. The time bounds only fail a save that never ends, as
// a loaded machine may slow it many times over; bench/design_bound_bench.py times it.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t memoryBound = 1600;
constexpr double timeBound = 240, providerTimeout = 180;
#else
constexpr std::size_t memoryBound = 1000;
constexpr double timeBound = 120, providerTimeout = 10;
#endif

class DesignBound : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    KXDocumentContainer::providerTimeout = KXDocument::flushTimeout = providerTimeout;
  }
  void TearDown() override {
    KXDocumentContainer::providerTimeout = KXDocument::flushTimeout = 10;
    ControllerTest::TearDown();
  }
};

// A design of pages of a few small layers each, as designs are, of `bytes` bytes.
void writeDesign(const std::filesystem::path& file, std::uint64_t bytes) {
  std::string generator =
      "import sys\n"
      "n = int(sys.argv[1])\n"
      "head = b'{\"version\":1,\"pages\":['\n"
      "page = b'{\"id\":\"p\",\"name\":\"Page\",\"layers\":[{\"kind\":\"text\",\"text\":\"Lorem ipsum\",\"x\":12.5,"
      "\"y\":4},{\"kind\":\"box\",\"x\":1,\"y\":2,\"width\":30}]},'\n"
      "first = b'{\"id\":\"p\",\"name\":\"First\",\"layers\":[]},'\n"
      "tail = b'{\"id\":\"p\",\"name\":\"Last\",\"layers\":[]}]}'\n"
      "count = (n - len(head) - len(first) - len(tail)) // len(page)\n"
      "out = open(sys.argv[2], 'wb')\n"
      "out.write(head + first + page * count + tail)\n";
  auto script = file.parent_path() / "design.py";
  std::ofstream(script) << generator;
  ASSERT_EQ(testenv::run("python3 '" + script.string() + "' " + std::to_string(bytes) + " '" + file.string() + "'"), 0);
  std::filesystem::remove(script);
}

bool pageSays(KXDocument& document, const std::string& expression) {
  auto answer = evaluate(document, expression);
  return answer && answer->is_boolean() && answer->get<bool>();
}

}  // namespace

TEST_F(DesignBound, ADesignJustUnderTheBoundOpensIsEditedAndSavesUnderAGigabyteInAll) {
  const auto bytes = KXDocumentContainer::maximumDataSourceSize - (64 << 10);
  auto source = dir / "source";
  writeProject(source, "First");
  writeDesign(source / "design/document.json", bytes);
  auto zip = dir / "Large.korvelx";
  makeZip(source, zip);
  std::filesystem::remove_all(source);

  auto started = std::chrono::steady_clock::now();
  std::size_t peak = 0;
  {
    testenv::PeakPss sampler;
    auto document = openWith(*controller, zip);
    ASSERT_TRUE(document);
    // On a busy machine the first ask of so large a design may end unanswered; a later one brings it.
    ASSERT_TRUE(waitFor([&] {
      return document->ostrelViewController().holdsDocumentDesign() &&
             pageSays(*document, "window.OstrelStandIn.documentJSON !== null");
    }, 180)) << pageDiagnosis(*document);
    ASSERT_TRUE(pageSays(*document, "(function(){ var s = window.OstrelStandIn; s.documentJSON.pages[0].name = 'Edited';"
                                    " window._ipc.send('DocumentDirty'); return true; })()"));
    ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));
    auto error = saveAndWait(*document, zip, KXDocument::zipType, 0);
    ASSERT_FALSE(error) << error->description();
    EXPECT_FALSE(document->isDocumentEdited());
    peak = sampler.stop() >> 20;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("a design of %.1f MB: opened, edited and saved in %.1f s, at most %zu MB in all processes\n",
              static_cast<double>(bytes) / 1e6, seconds, peak);
  EXPECT_LT(peak, memoryBound);
  EXPECT_LT(seconds, timeBound);

  auto archive = KXDocumentArchive::open(zip, KXDocument::zipType, false, std::nullopt, true);
  ASSERT_TRUE(archive);
  std::string saved;
  ASSERT_TRUE((*archive)->backing().dataReader("design/document.json")([&](const std::uint8_t* p, std::size_t n) {
    saved.append(reinterpret_cast<const char*>(p), n);
    return Result<void>();
  }));
  EXPECT_LE(saved.size(), KXDocumentContainer::maximumDataSourceSize);
  EXPECT_NE(saved.find("\"Edited\""), std::string::npos);
  EXPECT_EQ(saved.find("\"First\""), std::string::npos);
  EXPECT_NE(saved.find("\"Last\""), std::string::npos);
}

// A design the editor grew past the bound is not saved, and the save says why at once, whether
// the page's answer fits its message (and is refused by its size) or not even that; the edits
// stay in the window.
TEST_F(DesignBound, ADesignGrownPastTheBoundIsRefusedAsTooLargeNotAsMoreChanges) {
  struct Case {
    const char* what;
    std::size_t characters;
  } cases[] = {
      {"past the design's bound", static_cast<std::size_t>(KXDocumentContainer::maximumDataSourceSize) + 1024},
      {"past the message's bound", WebView::maximumScriptMessageLength + 1024},
  };
  auto source = dir / "source";
  writeProject(source, "Small");
  auto zip = dir / "Small.korvelx";
  makeZip(source, zip);
  auto document = openWith(*controller, zip);
  ASSERT_TRUE(document);
  ASSERT_TRUE(waitForEditor(*document));
  auto before = readFile(zip);
  // A save that waits for the refused answer ends only at the provider's timeout; one that
  // doesn't ends in half of it, however loaded the machine.
  constexpr double answerTimeout = 240;
  KXDocumentContainer::providerTimeout = KXDocument::flushTimeout = answerTimeout;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(pageSays(*document, "(function(){ var s = window.OstrelStandIn; s.documentJSON.pages[0].name = 'x'.repeat(" +
                                        std::to_string(c.characters) + "); window._ipc.send('DocumentDirty'); return true; })()"));
    ASSERT_TRUE(waitFor([&] { return document->isDocumentEdited(); }, 30));
    auto started = std::chrono::steady_clock::now();
    auto error = saveAndWait(*document, zip, KXDocument::zipType, 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->info("NSLocalizedFailureReason"), "The document can't be saved.") << error->description();
    EXPECT_NE(error->info("NSLocalizedRecoverySuggestion").value_or("").find(
                  KXExpansionBudget::describeSize(KXDocumentContainer::maximumDataSourceSize)),
              std::string::npos);
    EXPECT_LT(seconds, answerTimeout / 2) << "the save waited for an answer that had been refused";
    EXPECT_TRUE(document->isDocumentEdited());
    EXPECT_EQ(readFile(zip), before);
  }
  // Back within the bound, it saves.
  ASSERT_TRUE(pageSays(*document, "(function(){ var s = window.OstrelStandIn; s.documentJSON.pages[0].name = 'Small again';"
                                  " window._ipc.send('DocumentDirty'); return true; })()"));
  auto error = saveAndWait(*document, zip, KXDocument::zipType, 0);
  EXPECT_FALSE(error) << error->description();
  EXPECT_EQ(firstPageName(documentInZip(zip)), "Small again");
}
