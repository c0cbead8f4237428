// Every road by which a document of 10,000 pictures with names of 255 bytes opens reads it beside
// the main loop, through the controller with the real editor page: a draft an earlier session
// left, a tutorial started, a copy made by Duplicate, a project zip named without its extension and
// a classic project folder converted. Each ends with the right document and the main loop never held for seconds; given
// up at quit, a draft stays on disk as it was and a copy leaves no stray draft.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "platform/RunLoop.h"
#include "platform/Uuid.h"
#include "support/LongNamesDocument.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

constexpr int pictures = 10000;

class LargeOpenings : public ControllerTest {
 protected:
  static std::size_t filesIn(const fsys::path& folder) {
    std::error_code ec;
    std::size_t count = 0;
    for (auto it = fsys::directory_iterator(folder, ec); !ec && it != fsys::directory_iterator(); it.increment(ec)) ++count;
    return count;
  }
  static std::vector<fsys::path> drafts() {
    std::vector<fsys::path> found;
    std::error_code ec;
    for (const auto& item : fsys::directory_iterator(Document::draftFolder(), ec))
      if (item.is_regular_file()) found.push_back(item.path());
    return found;
  }
};

enum class Road { draft, tutorial, duplicate, withoutExtension, classic };

// A classic project folder of the same pictures and design.
void writeClassicProject(const fsys::path& folder, const manypictures::LongNamesDocument& made) {
  fsys::create_directories(folder / "korvel");
  fsys::create_directories(folder / "images/design");
  fsys::create_directories(folder / "components");
  std::ofstream(folder / "korvel/design.ostrel") << manypictures::designNaming(made.named);
  std::ofstream(folder / "components/index.js") << "export const picture = '" << made.names[1] << "';\n";
  for (std::size_t i = 0; i < made.names.size(); ++i)
    std::ofstream(folder / "images/design" / made.names[i], std::ios::binary)
        << manypictures::randomBytes(1024, static_cast<unsigned>(i));
}

TEST_F(LargeOpenings, ADraftATutorialACopyAndAZipWithoutItsExtensionOpenWithTheMainLoopFree) {
  auto made = manypictures::makeLongNamesDocument(dir / "made", pictures);
  const auto& names = made.names;
  fsys::create_directories(Document::draftFolder());
  struct Case {
    const char* what;
    Road road;
    std::string displayName;
    bool edited;
    // Pictures in the working copy: a copy holds only those its design or code names.
    std::size_t picturesKept;
  };
  const Case cases[] = {
      {"a draft reopened at a start", Road::draft, "Landing Page", true, pictures},
      {"a tutorial started", Road::tutorial, "Big Tour", false, pictures},
      {"a document duplicated", Road::duplicate, "Big copy", true, pictures / 2 + 1},
      {"a project zip named without its extension", Road::withoutExtension, "Big", false, pictures},
      {"a classic project converted", Road::classic, " (Big)", false, pictures},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fsys::path source;
    std::shared_ptr<KXDocument> original;
    switch (c.road) {
      case Road::draft:
        source = Document::draftFolder() / ("Landing Page (" + Uuid::random().string() + ").korvelx");
        break;
      case Road::tutorial: source = dir / "Big Tour.korveltutorial"; break;
      case Road::duplicate: source = dir / "Big.korvelx"; break;
      case Road::withoutExtension: source = dir / "Big"; break;
      case Road::classic: source = dir / "Big.korvel"; break;
    }
    if (c.road == Road::classic) {
      writeClassicProject(source, made);
      person().alertAnswers.push_back(Alert::firstButtonReturn);  // the notice of the conversion
    } else {
      fsys::copy_file(made.file, source, fsys::copy_options::overwrite_existing);
    }
    if (c.road == Road::duplicate) {
      original = openWith(*controller, source);
      ASSERT_TRUE(original);
      ASSERT_TRUE(waitForEditor(*original));
    }

    std::shared_ptr<Document> opened;
    std::optional<Error> failure;
    bool ended = false;
    auto start = [&] {
      auto tell = [&](std::shared_ptr<Document> d, bool, std::optional<Error> e) {
        opened = std::move(d);
        failure = std::move(e);
        ended = true;
      };
      switch (c.road) {
        case Road::draft:
          EXPECT_EQ(controller->reopenAutosavedDrafts(), 1u);
          break;
        case Road::tutorial:
        case Road::withoutExtension:
        case Road::classic:
          controller->openDocument(source, true, tell);
          break;
        case Road::duplicate:
          original->duplicate([tell](Result<std::shared_ptr<Document>> copy) {
            if (copy) tell(*copy, false, std::nullopt);
            else tell(nullptr, false, copy.error());
          });
          break;
      }
    };
    auto isDone = [&] {
      if (c.road != Road::draft) return ended;
      return !controller->isOpening(source);
    };
    auto [seconds, longest] = manypictures::untilOnTheMainLoop(start, isDone, 900);
    std::printf("%s: %d pictures in %.2f s, the main loop held at most %.2f s\n", c.what, pictures, seconds, longest);
    EXPECT_LT(longest, 2) << "the main loop was held";

    if (c.road == Road::draft) {
      for (const auto& d : controller->documents()) {
        if (d->autosavedContentsFileURL() == source) opened = d;
      }
    }
    ASSERT_FALSE(failure) << failure->description();
    auto document = std::dynamic_pointer_cast<KXDocument>(opened);
    ASSERT_TRUE(document);
    // A converted project is an untitled document named after the folder it came from.
    auto name = document->displayName();
    if (c.road == Road::classic) {
      EXPECT_EQ(name.rfind("Untitled", 0), 0u) << name;
      EXPECT_EQ(name.substr(name.size() - std::min(name.size(), c.displayName.size())), c.displayName) << name;
      EXPECT_EQ(document->migratedDocumentURL(), source);
    } else {
      EXPECT_EQ(name, c.displayName);
    }
    EXPECT_EQ(document->isDocumentEdited(), c.edited);
    EXPECT_EQ(document->isInTutorialMode(), c.road == Road::tutorial);
    EXPECT_EQ(document->fileURL(), c.road == Road::withoutExtension ? std::optional(source) : std::nullopt);
    EXPECT_NE(std::find(controller->documents().begin(), controller->documents().end(), opened),
              controller->documents().end());
    // Its files, in a working copy of its own.
    auto project = document->container()->projectDirectory();
    EXPECT_EQ(filesIn(project / "design/images"), c.picturesKept);
    for (int i : {0, 1, 2, pictures - 2}) EXPECT_TRUE(fsys::exists(project / "design/images" / names[i])) << i;
    if (original) {
      EXPECT_NE(document->container()->uuid(), original->container()->uuid());
      auto draft = document->autosavedContentsFileURL();
      ASSERT_TRUE(draft);
      EXPECT_EQ(Document::nameInDraftURL(*draft), c.displayName);
    }
    if (c.road == Road::draft) {
      EXPECT_TRUE(fsys::exists(source)) << "the draft went";
    }
    EXPECT_TRUE(waitForEditor(*document));
    if (c.road == Road::classic) {
      // The notice waits for the window's first activation, which another program's window on a
      // shared display may take: it is asked for as that activation asks.
      document->presentMigrationMessageIfNeeded();
      ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
      EXPECT_EQ(person().alertsShown.back().messageText,
                "The Korvel Classic document \u201cBig\u201d was converted to the Korvel X format.");
    }

    document->close();
    if (original) original->close();
    EXPECT_TRUE(controller->documents().empty());
    EXPECT_TRUE(drafts().empty()) << "a draft outlived its document";
  }
}

// Korvel quits while each is read: nothing shows, the draft stays as it was for the next start,
// and neither the copy nor the tutorial leaves a draft behind.
TEST_F(LargeOpenings, OpeningsGivenUpAtQuitLeaveTheDraftAndNoCopy) {
  auto made = manypictures::makeLongNamesDocument(dir / "made", pictures);
  auto original = openWith(*controller, [&] {
    auto file = dir / "Big.korvelx";
    fsys::copy_file(made.file, file);
    return file;
  }());
  ASSERT_TRUE(original);
  fsys::create_directories(Document::draftFolder());
  auto draft = Document::draftFolder() / ("Landing Page (" + Uuid::random().string() + ").korvelx");
  fsys::copy_file(made.file, draft);
  auto tutorial = dir / "Big Tour.korveltutorial";
  fsys::copy_file(made.file, tutorial);
  auto bytes = readFile(draft);

  std::optional<Result<std::shared_ptr<Document>>> copy;
  original->duplicate([&](Result<std::shared_ptr<Document>> made) { copy = std::move(made); });
  // The copy is written, and is being read.
  ASSERT_TRUE(waitFor([&] {
    for (const auto& d : drafts())
      if (controller->isOpening(d)) return true;
    return copy.has_value();
  }, 300));
  ASSERT_EQ(controller->reopenAutosavedDrafts(), 1u);
  ASSERT_TRUE(controller->isOpening(draft));
  std::optional<OpenOutcome> started;
  controller->openDocument(tutorial, true, [&](std::shared_ptr<Document> d, bool open, std::optional<Error> e) {
    started = OpenOutcome{std::move(d), open, std::move(e)};
  });
  ASSERT_TRUE(controller->isOpening(tutorial));

  controller->stopOpenings();
  EXPECT_FALSE(controller->isOpening(draft));
  ASSERT_TRUE(copy);
  EXPECT_FALSE(*copy) << "the copy opened although it was given up";
  ASSERT_TRUE(started);
  EXPECT_FALSE(started->document);
  RunLoop::runUntil([] { return false; }, 0.2);
  ASSERT_EQ(controller->documents().size(), 1u);
  EXPECT_EQ(controller->documents().front(), original);
  EXPECT_EQ(drafts(), std::vector<fsys::path>{draft}) << "a given-up copy was left as a draft";
  EXPECT_EQ(readFile(draft), bytes) << "the given-up draft changed";

  // At the next start the draft comes back whole.
  original->close();
  EXPECT_EQ(reopenDraftsAndWait(*controller), 1u);
  ASSERT_EQ(controller->documents().size(), 1u);
  auto reopened = std::dynamic_pointer_cast<KXDocument>(controller->documents().front());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->displayName(), "Landing Page");
  EXPECT_TRUE(reopened->isDocumentEdited());
  EXPECT_EQ(filesIn(reopened->container()->projectDirectory() / "design/images"), std::size_t(pictures));
}

}  // namespace
