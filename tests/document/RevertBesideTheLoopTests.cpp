// Revert to Saved reads the file beside the main loop, through the controller with the real
// editor page: a document of 10,000 pictures reverts with the main loop free; a save, a close (as
// a quit closes each document), a duplicate asked meanwhile wait for it and a second revert is
// refused; a revert that fails says so and keeps the edits.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentError.h"
#include "platform/RunLoop.h"
#include "support/LongNamesDocument.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

constexpr int pictures = 10000;

std::size_t filesIn(const fsys::path& folder) {
  std::error_code ec;
  std::size_t count = 0;
  for (auto it = fsys::directory_iterator(folder, ec); !ec && it != fsys::directory_iterator(); it.increment(ec)) ++count;
  return count;
}

class Reverts : public ControllerTest {
 protected:
  // A zip of the project page `pageName` and `count` pictures of 1 KB, the even ones named by a layer.
  fsys::path makeDocument(const std::string& name, const std::string& pageName, int count = 0) {
    auto folder = testenv::freshFolder("source");
    writeProject(folder, pageName);
    if (count) {
      auto design = nlohmann::json::parse(readFile(folder / "design/document.json"));
      for (int i = 0; i < count; ++i) {
        std::ofstream(folder / "design/images" / manypictures::pictureName(i), std::ios::binary)
            << manypictures::randomBytes(1024, static_cast<unsigned>(i));
        if (i % 2 == 0)
          design["pages"][0]["layers"].push_back({{"type", "image"}, {"src", manypictures::pictureName(i)}});
      }
      std::ofstream(folder / "design/document.json", std::ios::trunc) << design.dump();
    }
    auto file = dir / name;
    makeZip(folder, file);
    fsys::remove_all(folder);
    return file;
  }
  // An open document with an edit in its page and working copy.
  std::shared_ptr<KXDocument> openEdited(const fsys::path& file) {
    auto document = openWith(*controller, file);
    if (!document) return nullptr;
    EXPECT_TRUE(waitForEditor(*document));
    EXPECT_TRUE(editPage(*document, "Unsaved"));
    EXPECT_TRUE(writeChangesAndWait(*document));
    EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Unsaved");
    return document;
  }
};

TEST_F(Reverts, ADocumentOfManyPicturesRevertsWithTheMainLoopFree) {
  auto file = makeDocument("Big.korvelx", "Saved", pictures);
  auto document = openEdited(file);
  ASSERT_TRUE(document);
  // More edits: a picture gone from the working copy, and one added.
  auto project = document->container()->projectDirectory();
  const auto gone = manypictures::pictureName(4);
  fsys::remove(project / "design/images" / gone);
  document->container()->presentedSubitemDidChange(project / "design/images" / gone);
  const auto added = manypictures::pictureName(pictures);
  std::ofstream(project / "design/images" / added, std::ios::binary) << manypictures::randomBytes(2048, pictures);
  document->container()->presentedSubitemDidChange(project / "design/images" / added);
  ASSERT_TRUE(document->isDocumentEdited());

  person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Revert"
  auto [seconds, longest] = manypictures::untilOnTheMainLoop(
      [&] { document->revertDocumentToSaved(); },
      [&] { return person().alertAnswers.empty() && !document->isReverting() && !document->isDocumentEdited(); }, 600);
  std::printf("Revert to Saved of %d pictures: %.2f s, the main loop held at most %.2f s\n", pictures, seconds, longest);
  EXPECT_LT(longest, 2) << "the main loop was held";

  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_EQ(pageNameInFolder(project), "Saved");
  EXPECT_EQ(filesIn(project / "design/images"), std::size_t(pictures));
  EXPECT_TRUE(fsys::exists(project / "design/images" / gone));
  EXPECT_FALSE(fsys::exists(project / "design/images" / added));
  EXPECT_TRUE(waitFor([&] { return firstPageName(pageState(*document)) == "Saved"; }, 180)) << pageDiagnosis(*document);
  EXPECT_EQ(firstPageName(documentInZip(file)), "Saved");
  document->close();
}

// What the person asks while the file is read: each waits for the revert and then runs on what
// it read, or is refused at once.
TEST_F(Reverts, WhatIsAskedDuringARevertWaitsForIt) {
  enum class Asked { save, close, duplicate, secondRevert, revertToSaved };
  struct Case {
    const char* what;
    Asked asked;
  } cases[] = {
      {"a save", Asked::save},
      {"a close, as a quit closes each document", Asked::close},
      {"a duplicate", Asked::duplicate},
      {"a second revert", Asked::secondRevert},
      {"Revert to Saved from the menu", Asked::revertToSaved},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto file = makeDocument("Asked " + std::to_string(++n) + ".korvelx", "Saved");
    auto document = openEdited(file);
    ASSERT_TRUE(document);
    auto alerts = person().alertsShown.size();
    int step = 0, revertEnded = 0, askedEnded = 0;
    std::optional<Result<void>> reverted;
    document->revertAsync(file, document->fileType(), [&](Result<void> r) {
      reverted = std::move(r);
      revertEnded = ++step;
    });
    ASSERT_TRUE(document->isReverting());
    std::optional<Error> saveError;
    bool closed = false;
    std::shared_ptr<Document> copy;
    std::optional<Error> refusal;
    switch (c.asked) {
      case Asked::save:
        document->save(file, document->fileType(), SaveOperation::save, [&](std::optional<Error> e) {
          saveError = std::move(e);
          askedEnded = ++step;
        });
        break;
      case Asked::close:
        document->canClose([&](bool shouldClose) {
          EXPECT_FALSE(document->isReverting());
          if (shouldClose) document->close();
          closed = shouldClose;
          askedEnded = ++step;
        });
        break;
      case Asked::duplicate:
        document->duplicate([&](Result<std::shared_ptr<Document>> made) {
          if (made) copy = *made;
          else saveError = made.error();
          askedEnded = ++step;
        });
        break;
      case Asked::secondRevert:
        document->revertAsync(file, document->fileType(), [&](Result<void> r) {
          if (!r) refusal = r.error();
          askedEnded = ++step;
        });
        break;
      case Asked::revertToSaved:
        // Not offered while one runs: no question, nothing read twice.
        document->revertDocumentToSaved();
        askedEnded = ++step;
        break;
    }
    ASSERT_TRUE(waitFor([&] { return revertEnded && askedEnded; }, 120));
    ASSERT_TRUE(reverted);
    EXPECT_TRUE(*reverted) << reverted->error().description();
    bool refusedAtOnce = c.asked == Asked::secondRevert || c.asked == Asked::revertToSaved;
    EXPECT_EQ(askedEnded < revertEnded, refusedAtOnce) << "asked ended at " << askedEnded << ", the revert at " << revertEnded;
    EXPECT_EQ(person().alertsShown.size(), alerts) << person().alertsShown.back().messageText;
    EXPECT_EQ(firstPageName(documentInZip(file)), "Saved");
    switch (c.asked) {
      case Asked::save:
        EXPECT_FALSE(saveError) << saveError->description();
        break;
      case Asked::close: {
        EXPECT_TRUE(closed);
        EXPECT_TRUE(document->isClosed());
        // The file and its working copy are whole: the next opening finds the saved document.
        auto again = openWith(*controller, file);
        ASSERT_TRUE(again);
        EXPECT_FALSE(again->isDocumentEdited());
        EXPECT_EQ(pageNameInFolder(again->container()->projectDirectory()), "Saved");
        EXPECT_TRUE(waitForEditor(*again));
        EXPECT_EQ(firstPageName(pageState(*again)), "Saved");
        again->close();
        continue;
      }
      case Asked::duplicate: {
        EXPECT_FALSE(saveError) << saveError->description();
        auto made = std::dynamic_pointer_cast<KXDocument>(copy);
        ASSERT_TRUE(made);
        EXPECT_EQ(pageNameInFolder(made->container()->projectDirectory()), "Saved");
        made->close();
        break;
      }
      case Asked::secondRevert:
        ASSERT_TRUE(refusal);
        EXPECT_EQ(refusal->code, 3072) << refusal->description();
        break;
      case Asked::revertToSaved:
        break;
    }
    EXPECT_FALSE(document->isDocumentEdited());
    EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Saved");
    EXPECT_TRUE(waitFor([&] { return firstPageName(pageState(*document)) == "Saved"; }, 180));
    document->close();
  }
}

// A file found damaged, and a folder document, which is its own file (its edits are in it
// already): the person is told why, and the edits stay in the window and the working copy.
TEST_F(Reverts, ARevertThatFailsSaysSoAndKeepsTheEdits) {
  struct Case {
    const char* what;
    bool folder;
    const char* told;
  } cases[] = {{"a damaged zip", false, "The document \u201cDamaged\u201d could not be reverted."},
               {"a folder document", true, "The document uses the Korvel folder format."}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fsys::path file;
    if (c.folder) {
      file = dir / "Own Folder";
      writeProject(file, "Saved");
    } else {
      file = makeDocument("Damaged.korvelx", "Saved");
    }
    auto document = openEdited(file);
    ASSERT_TRUE(document);
    if (!c.folder) std::ofstream(file, std::ios::binary | std::ios::trunc) << "no zip at all";
    auto alerts = person().alertsShown.size();
    person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Revert"
    person().alertAnswers.push_back(Alert::firstButtonReturn);  // "OK" to the failure
    document->revertDocumentToSaved();
    ASSERT_TRUE(waitFor([&] { return person().alertAnswers.empty() && !document->isReverting(); }, 60));
    ASSERT_EQ(person().alertsShown.size(), alerts + 2);
    EXPECT_EQ(person().alertsShown.back().messageText, c.told);
    EXPECT_EQ(document->isDocumentEdited(), !c.folder);
    EXPECT_EQ(firstPageName(pageState(*document)), "Unsaved");
    EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Unsaved");
    document->close();
  }
}

}  // namespace
