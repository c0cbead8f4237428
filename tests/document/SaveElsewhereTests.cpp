// A document of 10,000 pictures saved As a new zip and As a folder, a folder document of as
// many saved As a zip, and an untitled one autosaved to its draft, through the real editor page:
// each file is opened, written and read back beside the main loop, which never stops turning for
// long. An edit made in the editor and a code file written while the file is written are edits
// still once the save has ended; the next save writes them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <set>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "support/ManyPictures.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

constexpr int pictures = 10000;
// The sanitizer build beside the whole suite on a loaded machine is many times slower than a
// person's: a bound that fails only a save that never ends.
constexpr double saveTimeout = 900;
constexpr int save = 0, saveAs = 1;

// A project zip, made by the zip tool, of `pictures` pictures of 1 KB with names of 255 bytes;
// its one page names the even ones, so that a save keeps those and leaves the others out.
struct ManyPicturesZip {
  fsys::path file;
  std::vector<std::string> names;
};

ManyPicturesZip makeManyPicturesZip(const fsys::path& folder) {
  ManyPicturesZip made;
  auto source = folder / "source";
  writeProject(source, "Pictures");
  auto layers = nlohmann::json::array();
  for (int i = 0; i < pictures; ++i) {
    made.names.push_back(manypictures::pictureName(i));
    EXPECT_TRUE(fs::writeAtomically(source / "design/images" / made.names.back(),
                                    manypictures::randomBytes(1024, static_cast<unsigned>(i))));
    if (i % 2 == 0) layers.push_back({{"id", "layer-" + std::to_string(i)}, {"src", made.names.back()}});
  }
  nlohmann::json document = {{"version", 1},
                             {"pages", nlohmann::json::array({{{"id", "page-1"}, {"name", "Pictures"}, {"layers", layers}}})}};
  EXPECT_TRUE(fs::writeAtomically(source / "design/document.json", JsonCoder::dump(document, JsonCoder::Style::pretty)));
  made.file = folder / "Pictures.korvelx";
  EXPECT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + made.file.string() + "' ."), 0);
  fsys::remove_all(source);
  return made;
}

// The project files a saved document holds, whether a zip or a folder.
std::set<std::string> filesIn(const fsys::path& url, const std::string& type) {
  std::set<std::string> files;
  auto archive = KXDocumentArchive::open(url, type, false, std::nullopt, false);
  EXPECT_TRUE(archive) << archive.error().description();
  if (archive) (*archive)->backing().forEach([&](const std::string& path, const DataReader&) { files.insert(path); });
  return files;
}

std::string pageNameOf(const fsys::path& url, const std::string& type) {
  return type == KXDocument::folderType ? pageNameInFolder(url) : firstPageName(documentInZip(url));
}

class SaveElsewhere : public ControllerTest {
 protected:
  std::shared_ptr<KXDocument> openLarge(const fsys::path& file) {
    auto outcome = std::make_shared<std::optional<OpenOutcome>>();
    controller->openDocument(file, true, [outcome](std::shared_ptr<Document> d, bool wasOpen, std::optional<Error> e) {
      *outcome = OpenOutcome{std::move(d), wasOpen, std::move(e)};
    });
    EXPECT_TRUE(waitFor([&] { return outcome->has_value(); }, saveTimeout)) << "the opening never ended";
    if (!outcome->has_value() || (*outcome)->error) return nullptr;
    return std::dynamic_pointer_cast<KXDocument>((*outcome)->document);
  }

  // An untitled document made from the zip, as from a template.
  std::shared_ptr<KXDocument> untitledFrom(const fsys::path& file) {
    auto archive = KXDocumentArchive::open(file, KXDocument::zipType, false, std::nullopt, true);
    EXPECT_TRUE(archive) << archive.error().description();
    if (!archive) return nullptr;
    auto made = KXDocument::makeUntitled(KXDocument::zipType, *archive);
    EXPECT_TRUE(made) << made.error().description();
    if (!made) return nullptr;
    controller->addDocument(*made);
    (*made)->makeWindowControllers();
    (*made)->showWindows();
    return *made;
  }
};

// Each way of writing the document elsewhere: where it writes, and what the document's file
// (or draft) is afterwards.
struct Way {
  const char* name;
  enum class From { zip, folder, untitled } from;
  const char* type;
  const char* target;  // none: the draft
};

const Way ways[] = {
    {"a zip saved As a new zip", Way::From::zip, KXDocument::zipType, "Saved As.korvelx"},
    {"a zip saved As a folder", Way::From::zip, KXDocument::folderType, "Saved As Folder"},
    // The zip gets a working copy of its own, read from it beside the main loop.
    {"a folder edited in place saved As a zip", Way::From::folder, KXDocument::zipType, "From Folder.korvelx"},
    {"an untitled document autosaved to its draft", Way::From::untitled, KXDocument::zipType, nullptr},
};

TEST_F(SaveElsewhere, TenThousandPicturesAreWrittenWithTheMainLoopFreeAndEditsMadeMeanwhileStayEdits) {
  auto zip = makeManyPicturesZip(dir);
  auto folder = dir / "Pictures Folder";
  ASSERT_EQ(testenv::run("unzip -q '" + zip.file.string() + "' -d '" + folder.string() + "'"), 0);
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    auto document = way.from == Way::From::untitled ? untitledFrom(zip.file)
                                                     : openLarge(way.from == Way::From::zip ? zip.file : folder);
    ASSERT_TRUE(document);
    ASSERT_TRUE(waitForEditor(*document));
    ASSERT_TRUE(editPage(*document, "Before"));

    // The file is written; meanwhile the editor makes an edit and another program writes a code
    // file into the working copy.
    std::optional<std::optional<Error>> ended;
    auto record = [&](std::optional<Error> e) { ended = std::move(e); };
    manypictures::MainLoopWatch watch;
    auto started = std::chrono::steady_clock::now();
    if (way.target) {
      document->save(dir / way.target, way.type, static_cast<SaveOperation>(saveAs), record);
    } else {
      document->autosave(false, record);
    }
    EXPECT_TRUE(!ended && document->container()->isWorkingInBackground()) << "the file was written on the main loop";
    auto writing = document->container();
    ASSERT_TRUE(evaluate(*document, "(function(){ var s = window.OstrelStandIn; s.documentJSON.pages[0].name = "
                                    "'During'; window._ipc.send('DocumentDirty'); return true; })()"));
    ASSERT_TRUE(waitFor([&] { return writing->hasUnwrittenChanges(); }, 60));
    bool editedWhileWriting = !ended.has_value();
    auto late = writing->projectDirectory() / "code/late.js";
    ASSERT_TRUE(fs::writeAtomically(late, std::string_view("export const late = 1;\n")));
    writing->presentedSubitemDidChange(late);
    writing.reset();
    ASSERT_TRUE(waitFor([&] { return ended.has_value(); }, saveTimeout)) << "the save never ended";
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: written in %.2f s, the main loop held at most %.2f s (%.2f s on the clock)\n", way.name,
                seconds, watch.longestSeconds(), watch.longestGapSeconds());
    ASSERT_FALSE(*ended) << (*ended)->description();
    EXPECT_LT(watch.longestSeconds(), 2);
    EXPECT_TRUE(editedWhileWriting) << "the edit came after the write";

    auto url = way.target ? dir / way.target : document->autosavedContentsFileURL().value_or(fsys::path());
    ASSERT_TRUE(fs::exists(url));
    if (way.target) {
      EXPECT_EQ(document->fileURL(), std::optional(url));
      EXPECT_EQ(document->container()->projectDirectoryIsOrigin(), std::string(way.type) == KXDocument::folderType);
    }
    if (std::string(way.type) == KXDocument::zipType) {
      EXPECT_EQ(testenv::run("unzip -tq '" + url.string() + "' >/dev/null 2>&1"), 0);
    }
    auto files = filesIn(url, way.type);
    for (int i : {0, 2, pictures - 2}) EXPECT_TRUE(files.count("design/images/" + zip.names[i])) << i;
    for (int i : {1, pictures - 1}) EXPECT_FALSE(files.count("design/images/" + zip.names[i])) << i;
    // A folder saved to becomes the working copy itself: the edit may already be in it, still unsaved.
    if (std::string(way.type) == KXDocument::folderType)
      EXPECT_THAT(pageNameOf(url, way.type), testing::AnyOf("Before", "During"));
    else
      EXPECT_EQ(pageNameOf(url, way.type), "Before");
    EXPECT_TRUE(document->isDocumentEdited()) << "the edit made while the file was written was lost";

    // The next save writes what came while the last one wrote.
    ended.reset();
    if (way.target) {
      document->save(url, way.type, static_cast<SaveOperation>(save), record);
    } else {
      document->autosave(false, record);
    }
    ASSERT_TRUE(waitFor([&] { return ended.has_value(); }, saveTimeout)) << "the next save never ended";
    ASSERT_FALSE(*ended) << (*ended)->description();
    EXPECT_EQ(pageNameOf(url, way.type), "During");
    EXPECT_TRUE(filesIn(url, way.type).count("code/late.js"));
    if (way.target) {
      EXPECT_FALSE(document->isDocumentEdited());
    }

    document->close();
    if (way.from == Way::From::untitled) {
      EXPECT_FALSE(fs::exists(url)) << "the draft outlived its document";
    }
    // The reduced copies its reads started end before the folder goes.
    ASSERT_TRUE(waitFor([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, saveTimeout));
    std::error_code ec;
    if (way.target) fsys::remove_all(url, ec);
  }
}

}  // namespace
