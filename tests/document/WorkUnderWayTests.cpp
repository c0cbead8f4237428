// Work beside the main loop counts as the document's wherever korvel asks: a quit while a copy is
// made leaves no draft of it, a quit while a recent document is read keeps it among the recents,
// and a Save As over a file being opened leaves one document for that file whichever comes first.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "platform/RunLoop.h"
#include "support/LongNamesDocument.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

constexpr int saveAs = 1;

class WorkUnderWayTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    auto list = std::make_unique<ListedRecents>();
    recents = list.get();
    RecentDocuments::setShared(std::move(list));
  }
  void TearDown() override {
    DocumentHooks::isTerminating = [] { return false; };
    ControllerTest::TearDown();
    RecentDocuments::setShared(nullptr);
  }

  // What the application's quit does once every document is closed: it ends, giving up what is
  // under way; the process ends right after, so nothing later on the main loop counts.
  void quitAfterClosing() {
    DocumentHooks::isTerminating = [] { return true; };
    controller->stopOpenings();
  }

  // A project zip whose reading takes a while: `pictures` small pictures.
  fsys::path slowZip(const std::string& name, int pictures) {
    auto source = dir / ("source-" + name);
    writeProject(source, name);
    for (int i = 0; i < pictures; ++i)
      std::ofstream(source / "design" / "images" / (std::to_string(i) + ".png")) << manypictures::randomBytes(512, i);
    auto zip = dir / (name + ".korvelx");
    makeZip(source, zip);
    fsys::remove_all(source);
    return zip;
  }

  std::shared_ptr<KXDocument> openSmall(const std::string& name) {
    auto source = dir / ("source-" + name);
    writeProject(source, name);
    auto zip = dir / (name + ".korvelx");
    makeZip(source, zip);
    auto document = openWith(*controller, zip);
    if (document) {
      EXPECT_TRUE(waitForEditor(*document));
    }
    return document;
  }

  static std::vector<fsys::path> copyDrafts() {
    std::vector<fsys::path> found;
    std::error_code ec;
    for (const auto& item : fsys::directory_iterator(Document::draftFolder(), ec))
      if (item.path().filename().string().find(" copy (") != std::string::npos) found.push_back(item.path());
    return found;
  }

  std::size_t documentsOf(const fsys::path& url) const {
    std::size_t count = 0;
    for (const auto& d : controller->documents())
      if (d->fileURL() && WorkUnderWay::sameFile(*d->fileURL(), url)) ++count;
    return count;
  }

  ListedRecents* recents = nullptr;
};

// Quit while Duplicate writes the copy's draft, or while it reads it: the quit waits for the write,
// gives the copy up, and leaves no draft that would come back at the next start as "copy — Edited".
TEST_F(WorkUnderWayTest, AQuitDuringDuplicateLeavesNoDraftOfTheCopy) {
  enum class Moment { writing, reading };
  struct Case {
    const char* what;
    Moment moment;
  };
  const Case cases[] = {
      {"the copy being written", Moment::writing},
      {"the copy being read", Moment::reading},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto made = manypictures::makeLongNamesDocument(dir / ("made-" + std::to_string(int(c.moment))), 3000);
    DocumentHooks::isTerminating = [] { return false; };
    auto original = openWith(*controller, made.file);
    ASSERT_TRUE(original);
    ASSERT_TRUE(waitForEditor(*original));
    ASSERT_TRUE(copyDrafts().empty());

    bool ended = false;
    original->duplicate([&](Result<std::shared_ptr<Document>>) { ended = true; });
    if (c.moment == Moment::writing) {
      ASSERT_TRUE(waitFor([&] { return ended || original->container()->isWorkingInBackground(); }, 60));
    } else {
      ASSERT_TRUE(waitFor([&] {
        auto drafts = copyDrafts();
        return ended || (drafts.size() == 1 && controller->isOpening(drafts.front()) &&
                         !original->container()->isWorkingInBackground());
      }, 120));
    }
    ASSERT_FALSE(ended) << "the copy was made before the quit";
    EXPECT_FALSE(controller->isIdle());

    // As the quit closes it: asked first, then closed, with the main loop free while the copy is
    // written.
    bool mayClose = false;
    {
      manypictures::MainLoopWatch watch;
      original->canClose([&](bool shouldClose) { mayClose = shouldClose; });
      ASSERT_TRUE(waitFor([&] { return mayClose; }, 120));
      original->close();
      RunLoop::runOnce(0);
      std::printf("%s: the close held the main loop at most %.2f s\n", c.what, watch.longestSeconds());
      EXPECT_LT(watch.longestSeconds(), 2) << "the close waited for the copy on the main loop";
    }
    quitAfterClosing();
    EXPECT_TRUE(ended) << "the quit ended before the copy";
    EXPECT_TRUE(copyDrafts().empty()) << "a draft of a copy nobody saw";
    EXPECT_TRUE(controller->documents().empty());
    EXPECT_TRUE(controller->isIdle());
  }
  DocumentHooks::isTerminating = [] { return false; };
  // The next start brings no copy back.
  EXPECT_EQ(reopenDraftsAndWait(*controller), 0u);
  EXPECT_TRUE(controller->documents().empty());
}

// A quit gives up a recent document being read; the document is still among the recents, and
// still there to open.
TEST_F(WorkUnderWayTest, AQuitDuringARecentsOpeningKeepsTheRecent) {
  auto zip = slowZip("Recent", 2000);
  recents->noteNewRecentDocumentURL(zip);
  std::optional<OpenOutcome> outcome;
  controller->openDocument(zip, true, [&](std::shared_ptr<Document> d, bool wasOpen, std::optional<Error> e) {
    outcome = OpenOutcome{std::move(d), wasOpen, std::move(e)};
  });
  EXPECT_TRUE(controller->isOpening(zip));
  EXPECT_FALSE(controller->isIdle());
  quitAfterClosing();
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(outcome->error);
  EXPECT_EQ(outcome->error->code, 3072) << outcome->error->description();
  EXPECT_EQ(recents->urls, std::vector<fsys::path>{zip});
  EXPECT_TRUE(controller->isIdle());
}

// One file is one document: a Save As over a file being opened is refused, and a file opened while
// a Save As writes it opens as the document saved into it.
TEST_F(WorkUnderWayTest, SaveAsOverAFileBeingOpenedLeavesOneDocumentForIt) {
  enum class First { opening, saveAs };
  struct Case {
    const char* what;
    First first;
  };
  const Case cases[] = {
      {"the opening, then the Save As", First::opening},
      {"the Save As, then the opening", First::saveAs},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto name = std::string(c.first == First::opening ? "Opened first" : "Saved first");
    auto target = slowZip(name, 2000);
    auto other = openSmall(name + " other");
    ASSERT_TRUE(other);
    ASSERT_TRUE(editPage(*other, "From the other"));
    auto otherFile = *other->fileURL();

    std::optional<OpenOutcome> opened;
    auto open = [&] {
      controller->openDocument(target, true, [&](std::shared_ptr<Document> d, bool wasOpen, std::optional<Error> e) {
        opened = OpenOutcome{std::move(d), wasOpen, std::move(e)};
      });
    };
    std::optional<std::optional<Error>> saved;
    auto save = [&] {
      other->save(target, KXDocument::zipType, static_cast<SaveOperation>(saveAs),
                  [&](std::optional<Error> error) { saved = std::move(error); });
    };
    person().alertsShown.clear();
    if (c.first == First::opening) {
      open();
      ASSERT_TRUE(controller->isOpening(target));
      person().alertAnswers.push_back(Alert::firstButtonReturn);  // OK
      save();
    } else {
      save();
      open();
    }
    ASSERT_TRUE(waitFor([&] { return opened && saved; }, 180));
    EXPECT_EQ(documentsOf(target), 1u) << "two windows on one file";

    if (c.first == First::opening) {
      ASSERT_TRUE(*saved);
      EXPECT_EQ((*saved)->code, 3072) << (*saved)->description();
      ASSERT_EQ(person().alertsShown.size(), 1u);
      EXPECT_NE(person().alertsShown[0].messageText.find("is being opened"), std::string::npos)
          << person().alertsShown[0].messageText;
      EXPECT_EQ(other->fileURL(), otherFile);
      EXPECT_FALSE(opened->error) << opened->error->description();
      EXPECT_NE(opened->document, other);
      EXPECT_EQ(firstPageName(documentInZip(target)), name);
    } else {
      EXPECT_FALSE(*saved) << (*saved)->description();
      EXPECT_FALSE(opened->error) << opened->error->description();
      EXPECT_EQ(opened->document, other);
      EXPECT_TRUE(opened->wasOpen);
      EXPECT_EQ(firstPageName(documentInZip(target)), "From the other");
    }
    for (auto& d : std::vector(controller->documents())) d->close();
    RunLoop::runUntil([] { return false; }, 0.2);
  }
}

}  // namespace
