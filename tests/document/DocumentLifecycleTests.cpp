// Real documents under the virtual display: a ".korvelx" made by the zip library and a project
// folder, each loaded into the stand-in editor through the stand-in project server, edited,
// saved, saved as, reverted, duplicated, closed and reopened.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "DocumentTestSupport.h"
#include "account/LoginController.h"
#include "canvas/OstrelError.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/ImagesPasteboard.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDocumentError.h"
#include "foundation/AppInfo.h"
#include "ipc/PasteboardTypes.h"
#include "platform/Pasteboard.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "server/ServerController.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

constexpr int save = 0, saveAs = 1, autosaveInPlace = 4;

class Documents : public ControllerTest {
 protected:
  std::shared_ptr<KXDocument> open(const fsys::path& url) { return openWith(*controller, url); }

  std::shared_ptr<KXDocument> openZip(const std::string& pageName, const std::string& name = "Project.korvelx") {
    auto source = dir / ("source-" + name);
    writeProject(source, pageName);
    auto zip = dir / name;
    makeZip(source, zip);
    auto document = open(zip);
    if (document) {
      EXPECT_TRUE(waitForEditor(*document));
    }
    return document;
  }

};

TEST_F(Documents, AZipSavesTheEditorsDocumentIntoTheZip) {
  auto document = openZip("Home");
  ASSERT_TRUE(document);
  EXPECT_EQ(firstPageName(pageState(*document)), "Home");
  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_FALSE(document->container()->projectDirectoryIsOrigin());

  ASSERT_TRUE(editPage(*document, "Edited"));
  EXPECT_TRUE(document->isDocumentEdited());
  EXPECT_STREQ(gtk_window_get_title(document->windowForSheet()), "Project \u2014 Edited");
  auto zip = *document->fileURL();
  auto before = readFile(zip);
  auto error = saveAndWait(*document, zip, KXDocument::zipType, save);
  ASSERT_FALSE(error) << error->description();

  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_STREQ(gtk_window_get_title(document->windowForSheet()), "Project");
  EXPECT_NE(readFile(zip), before);
  EXPECT_EQ(firstPageName(documentInZip(zip)), "Edited");
  EXPECT_EQ(testenv::run("unzip -tq '" + zip.string() + "' >/dev/null 2>&1"), 0);
  auto archive = KXDocumentArchive::open(zip, KXDocument::zipType, false, std::nullopt, true);
  ASSERT_TRUE(archive);
  auto recorded = (*archive)->manifest().files;
  ASSERT_TRUE(recorded);
  (*archive)->regenerateManifest();
  EXPECT_EQ((*archive)->manifest().files, recorded);
  EXPECT_EQ((*archive)->uuid(), document->container()->uuid());
}

// A file is read beside the main loop: asked twice meanwhile it opens once, into one window, and
// the welcome window stays until then. Given up while it reads, as a quit gives it up, it leaves
// no document, no window and nothing half written among the working copies.
TEST_F(Documents, AFileReadBesideTheMainLoopOpensOnceAndCanBeGivenUp) {
  int welcomeClosed = 0;
  struct Restore {
    std::function<void()> was = DocumentHooks::closeWelcomeWindow;
    ~Restore() { DocumentHooks::closeWelcomeWindow = was; }
  } restore;
  DocumentHooks::closeWelcomeWindow = [&] { ++welcomeClosed; };
  auto makeDocument = [&](const std::string& name) {
    auto source = dir / ("source-" + name);
    writeProject(source, name);
    for (int i = 0; i < 400; ++i) std::ofstream(source / "design" / "images" / (std::to_string(i) + ".png")) << i;
    auto zip = dir / (name + ".korvelx");
    makeZip(source, zip);
    return zip;
  };
  auto zip = makeDocument("Twice");
  std::vector<OpenOutcome> outcomes;
  for (int i = 0; i < 2; ++i)
    controller->openDocument(zip, true, [&](std::shared_ptr<Document> d, bool wasOpen, std::optional<Error> e) {
      outcomes.push_back({std::move(d), wasOpen, std::move(e)});
    });
  EXPECT_TRUE(outcomes.empty()) << "the file was read on the main loop";
  EXPECT_TRUE(controller->isOpening(zip));
  EXPECT_EQ(welcomeClosed, 0);
  ASSERT_TRUE(waitFor([&] { return outcomes.size() == 2; }, 120));
  for (const auto& outcome : outcomes) EXPECT_FALSE(outcome.error) << outcome.error->description();
  ASSERT_TRUE(outcomes[0].document);
  EXPECT_EQ(outcomes[0].document, outcomes[1].document);
  EXPECT_FALSE(outcomes[0].wasOpen);
  EXPECT_TRUE(outcomes[1].wasOpen);
  EXPECT_EQ(controller->documents().size(), 1u);
  EXPECT_EQ(welcomeClosed, 1);
  auto document = std::dynamic_pointer_cast<KXDocument>(outcomes[0].document);
  ASSERT_TRUE(document);
  EXPECT_TRUE(document->windowForSheet());
  ASSERT_TRUE(waitForEditor(*document));
  EXPECT_EQ(firstPageName(pageState(*document)), "Twice");
  document->close();

  auto other = makeDocument("Given up");
  std::optional<OpenOutcome> stopped;
  controller->openDocument(other, true, [&](std::shared_ptr<Document> d, bool wasOpen, std::optional<Error> e) {
    stopped = OpenOutcome{std::move(d), wasOpen, std::move(e)};
  });
  controller->stopOpenings();
  ASSERT_TRUE(stopped);
  EXPECT_FALSE(stopped->document);
  ASSERT_TRUE(stopped->error);
  EXPECT_EQ(stopped->error->code, 3072) << stopped->error->description();
  EXPECT_TRUE(controller->documents().empty());
  EXPECT_FALSE(controller->isOpening(other));
  // The closed document's reduced copies may still be written beside the main loop: what is
  // looked for is what the given-up read left, so the walk comes once they have ended.
  ASSERT_TRUE(waitFor([] { return KXDocumentContainer::reducedCopiesInProgress() == 0; }, 120));
  const std::string ours = ".korvel-" + std::to_string(::getpid()) + "-";
  std::error_code ec;
  for (auto it = fsys::recursive_directory_iterator(Document::draftFolder(), ec); !ec && it != fsys::recursive_directory_iterator();
       it.increment(ec)) {
    auto name = it->path().filename().string();
    EXPECT_TRUE(name.find(".korvel-tmp-") == std::string::npos && name.find(ours) == std::string::npos) << it->path();
  }
  // Opened afresh, it reads whole.
  auto again = open(other);
  ASSERT_TRUE(again);
  ASSERT_TRUE(waitForEditor(*again));
  EXPECT_EQ(firstPageName(pageState(*again)), "Given up");
  EXPECT_TRUE(fs::exists(again->container()->projectDirectory() / "design/images/399.png"));
}

// A save writes the file beside the main loop. Saves asked while one writes follow it in order;
// an edit made while it writes leaves the document edited until the next save writes it; a close
// while it writes waits for it, and the file holds the edit.
TEST_F(Documents, SavesWriteBesideTheMainLoopOneAfterAnother) {
  auto document = openZip("Home");
  ASSERT_TRUE(document);
  auto zip = *document->fileURL();
  std::vector<std::pair<int, std::optional<Error>>> ended;
  auto saveNumbered = [&](int n) {
    document->save(zip, KXDocument::zipType, SaveOperation::save,
                   [&, n](std::optional<Error> e) { ended.emplace_back(n, std::move(e)); });
  };
  ASSERT_TRUE(editPage(*document, "First"));
  saveNumbered(1);
  EXPECT_TRUE(ended.empty() && document->container()->isWorkingInBackground()) << "the file was written on the main loop";
  ASSERT_TRUE(editPage(*document, "Second"));
  // The page's word of the edit has come.
  ASSERT_TRUE(waitFor([&] { return document->container()->hasUnwrittenChanges(); }));
  ASSERT_TRUE(waitFor([&] { return ended.size() == 1; }));
  EXPECT_FALSE(ended[0].second);
  EXPECT_TRUE(document->isDocumentEdited()) << "an edit made while the file was written is not in it";

  saveNumbered(2);
  saveNumbered(3);
  ASSERT_TRUE(waitFor([&] { return ended.size() == 3; }));
  EXPECT_EQ(ended[1].first, 2);
  EXPECT_EQ(ended[2].first, 3);
  EXPECT_FALSE(ended[1].second || ended[2].second);
  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_EQ(firstPageName(documentInZip(zip)), "Second");

  ASSERT_TRUE(editPage(*document, "Third"));
  saveNumbered(4);
  document->close();
  ASSERT_TRUE(waitFor([&] { return ended.size() == 4; }));
  EXPECT_FALSE(ended[3].second) << ended[3].second->description();
  EXPECT_EQ(firstPageName(documentInZip(zip)), "Third");
  EXPECT_EQ(testenv::run("unzip -tq '" + zip.string() + "' >/dev/null 2>&1"), 0);
}

TEST_F(Documents, AFolderIsEditedAndSavedInPlace) {
  auto folder = dir / "Folder Project";
  writeProject(folder, "Folder");
  auto document = open(folder);
  ASSERT_TRUE(document);
  ASSERT_TRUE(waitForEditor(*document));
  EXPECT_TRUE(document->container()->projectDirectoryIsOrigin());
  EXPECT_EQ(document->fileType(), KXDocument::folderType);

  ASSERT_TRUE(editPage(*document, "Folder edited"));
  auto error = saveAndWait(*document, folder, KXDocument::folderType, save);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(pageNameInFolder(folder), "Folder edited");
  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_TRUE(fsys::exists(folder / "code" / "App.tsx"));

  // Saved As itself: the folder holds what it held, and stays the document.
  ASSERT_TRUE(editPage(*document, "Saved as itself"));
  error = saveAndWait(*document, folder, KXDocument::folderType, saveAs);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(pageNameInFolder(folder), "Saved as itself");
  EXPECT_EQ(document->fileURL(), folder);
  EXPECT_EQ(document->container()->projectDirectory(), folder);
  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_TRUE(fsys::exists(folder / "code" / "App.tsx"));
}

TEST_F(Documents, SaveAsFolderThenZipFollowsTheNewFileEachTime) {
  auto document = openZip("Start");
  ASSERT_TRUE(document);
  auto zip = *document->fileURL();
  auto oldContainer = document->container()->uuidDirectory();
  ASSERT_TRUE(editPage(*document, "In folder"));

  auto folder = dir / "Saved As Folder";
  auto error = saveAndWait(*document, folder, KXDocument::folderType, saveAs);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(document->fileURL(), folder);
  EXPECT_FALSE(document->isDocumentEdited());
  EXPECT_TRUE(document->container()->projectDirectoryIsOrigin());
  EXPECT_EQ(document->container()->projectDirectory(), folder);
  EXPECT_EQ(pageNameInFolder(folder), "In folder");
  EXPECT_FALSE(fsys::exists(oldContainer)) << "the zip's working copy goes once the folder is verified";
  EXPECT_EQ(firstPageName(documentInZip(zip)), "Start") << "the old file is left as it was";

  ASSERT_TRUE(waitForEditor(*document));
  ASSERT_TRUE(editPage(*document, "In new zip"));
  auto newZip = dir / "Saved As.korvelx";
  error = saveAndWait(*document, newZip, KXDocument::zipType, saveAs);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(document->fileURL(), newZip);
  EXPECT_FALSE(document->isDocumentEdited()) << "the working copy read from the new zip holds what the folder held";
  EXPECT_FALSE(document->container()->projectDirectoryIsOrigin()) << "a zip gets a working copy of its own";
  EXPECT_EQ(firstPageName(documentInZip(newZip)), "In new zip");
  EXPECT_EQ(testenv::run("unzip -tq '" + newZip.string() + "' >/dev/null 2>&1"), 0);

  ASSERT_TRUE(waitForEditor(*document));
  ASSERT_TRUE(editPage(*document, "Zip again"));
  error = saveAndWait(*document, newZip, KXDocument::zipType, save);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(firstPageName(documentInZip(newZip)), "Zip again");
  EXPECT_EQ(pageNameInFolder(folder), "In new zip") << "the folder is no longer the document";
}

TEST_F(Documents, SaveAsIntoAFolderThatHoldsFilesNeedsTheReplaceAnswer) {
  auto document = openZip("Keep");
  ASSERT_TRUE(document);
  auto documents = dir / "Documents";
  fsys::create_directories(documents);
  { std::ofstream(documents / "letter.txt") << "mine"; }

  person().saveAnswers.push_back(SavePanelResult{documents, KXDocument::folderType});
  person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Cancel"
  std::optional<Error> result;
  document->saveDocumentAs([&](std::optional<Error> e) { result = e; });
  ASSERT_TRUE(result);
  EXPECT_TRUE(fsys::exists(documents / "letter.txt"));
  EXPECT_EQ(person().alertsShown.back().messageText, "“Documents” already exists. Do you want to replace it?");
  EXPECT_EQ(document->fileURL(), dir / "Project.korvelx");

  person().saveAnswers.push_back(SavePanelResult{documents, KXDocument::folderType});
  person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Replace"
  bool finished = false;
  document->saveDocumentAs([&](std::optional<Error> e) {
    EXPECT_FALSE(e);
    finished = true;
  });
  ASSERT_TRUE(waitFor([&] { return finished; }));
  EXPECT_FALSE(fsys::exists(documents / "letter.txt"));
  EXPECT_EQ(pageNameInFolder(documents), "Keep");
}

TEST_F(Documents, RevertReadsTheFileAgain) {
  auto document = openZip("Saved");
  ASSERT_TRUE(document);
  ASSERT_TRUE(editPage(*document, "Unsaved"));
  // The edit reaches the working copy, as the minute's backup pass does.
  ASSERT_TRUE(writeChangesAndWait(*document));
  EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Unsaved");

  auto reverted = document->revert(*document->fileURL(), document->fileType());
  ASSERT_TRUE(reverted) << reverted.error().description();
  EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Saved");
  EXPECT_FALSE(document->isDocumentEdited());
  // An edit reported the moment after, before the editor shows the saved document again, never
  // writes the design from before the revert back into the working copy.
  document->ostrelViewController().ostrelDocumentDidBecomeDirty();
  ASSERT_TRUE(writeChangesAndWait(*document));
  EXPECT_EQ(pageNameInFolder(document->container()->projectDirectory()), "Saved");
  // The editor shows the reverted document, not the edit it had.
  EXPECT_TRUE(waitFor([&] { return firstPageName(pageState(*document)) == "Saved"; }));
}

TEST_F(Documents, RevertingAFolderDocumentIsRefused) {
  auto folder = dir / "Folder";
  writeProject(folder, "Folder");
  auto document = open(folder);
  ASSERT_TRUE(document);
  auto reverted = document->revert(folder, KXDocument::folderType);
  ASSERT_FALSE(reverted);
  EXPECT_TRUE(isDocumentError(reverted.error(), KXDocumentError::archiveIsContainer));
}

TEST_F(Documents, DuplicateMakesAnEditedUntitledCopyWithTheLatestEdit) {
  auto document = openZip("Original");
  ASSERT_TRUE(document);
  ASSERT_TRUE(editPage(*document, "Copied edit"));
  auto copy = duplicateAndWait(*document);
  ASSERT_TRUE(copy) << copy.error().description();
  auto duplicate = std::dynamic_pointer_cast<KXDocument>(*copy);
  ASSERT_TRUE(duplicate);
  EXPECT_FALSE(duplicate->fileURL());
  EXPECT_TRUE(duplicate->isDocumentEdited());
  EXPECT_NE(duplicate->container()->uuid(), document->container()->uuid());
  EXPECT_EQ(pageNameInFolder(duplicate->container()->projectDirectory()), "Copied edit");
  EXPECT_EQ(controller->documents().size(), 2u);
  EXPECT_EQ(firstPageName(documentInZip(*document->fileURL())), "Original") << "duplicating saves nothing";
}

TEST_F(Documents, ClosingAnEditedDocumentWithAFileSavesIt) {
  auto document = openZip("Before close");
  ASSERT_TRUE(document);
  ASSERT_TRUE(editPage(*document, "Saved on close"));
  auto zip = *document->fileURL();
  auto workingCopy = document->container()->uuidDirectory();
  document->windowShouldClose();
  ASSERT_TRUE(waitFor([&] { return document->isClosed(); }));
  EXPECT_TRUE(person().alertsShown.empty()) << "autosaving in place never asks";
  EXPECT_EQ(firstPageName(documentInZip(zip)), "Saved on close");
  EXPECT_TRUE(fsys::exists(workingCopy)) << "a saved document's working copy stays for the next open";
  EXPECT_TRUE(controller->documents().empty());

  document.reset();
  auto reopened = open(zip);
  ASSERT_TRUE(reopened);
  ASSERT_TRUE(waitForEditor(*reopened));
  EXPECT_FALSE(reopened->isDocumentEdited());
  EXPECT_EQ(reopened->container()->uuidDirectory(), workingCopy);
  EXPECT_EQ(firstPageName(pageState(*reopened)), "Saved on close");
}

TEST_F(Documents, ClosingAnEditedUntitledDocumentAsksToSaveOrDelete) {
  auto made = controller->openUntitledDocumentAndDisplay(true);
  ASSERT_TRUE(made) << made.error().description();
  auto untitled = std::dynamic_pointer_cast<KXDocument>(*made);
  ASSERT_TRUE(waitForEditor(*untitled));
  EXPECT_FALSE(untitled->fileURL());
  EXPECT_FALSE(untitled->isDocumentEdited());
  ASSERT_TRUE(editPage(*untitled, "Draft"));
  auto workingCopy = untitled->container()->uuidDirectory();

  person().alertAnswers.push_back(Alert::thirdButtonReturn);  // "Cancel"
  untitled->windowShouldClose();
  // The question may come after the editor has handed over its document.
  ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
  EXPECT_FALSE(untitled->isClosed());
  EXPECT_EQ(person().alertsShown.back().buttons, (std::vector<std::string>{"Save…", "Delete", "Cancel"}));

  auto target = dir / "Kept Draft.korvelx";
  person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Save…"
  person().saveAnswers.push_back(SavePanelResult{target, KXDocument::zipType});
  std::vector<std::string> tracked;
  DocumentHooks::track = [&](const std::string& event, auto&) { tracked.push_back(event); };
  untitled->windowShouldClose();
  ASSERT_TRUE(waitFor([&] { return untitled->isClosed(); }));
  DocumentHooks::track = [](auto&, auto&) {};
  EXPECT_EQ(firstPageName(documentInZip(target)), "Draft");
  EXPECT_EQ(tracked, std::vector<std::string>{"app_save_project"});
  auto archive = KXDocumentArchive::open(target, KXDocument::zipType, false, std::nullopt, true);
  ASSERT_TRUE(archive);
  EXPECT_EQ(workingCopy.filename().string(), "Korvel-" + (*archive)->uuid().string())
      << "the first save keeps the document's identity";

  auto second = std::dynamic_pointer_cast<KXDocument>(*controller->openUntitledDocumentAndDisplay(true));
  ASSERT_TRUE(waitForEditor(*second));
  ASSERT_TRUE(editPage(*second, "Thrown away"));
  auto secondCopy = second->container()->uuidDirectory();
  person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Delete"
  second->windowShouldClose();
  ASSERT_TRUE(waitFor([&] { return second->isClosed(); }));
  EXPECT_FALSE(fsys::exists(secondCopy));
}

TEST_F(Documents, EveryNewDocumentAndExampleGetsItsOwnWorkingCopy) {
  auto first = controller->openUntitledDocumentAndDisplay(false);
  auto second = controller->openUntitledDocumentAndDisplay(false);
  ASSERT_TRUE(first) << first.error().description();
  ASSERT_TRUE(second) << second.error().description();
  auto a = std::dynamic_pointer_cast<KXDocument>(*first), b = std::dynamic_pointer_cast<KXDocument>(*second);
  EXPECT_NE(a->container()->uuid(), b->container()->uuid());
  EXPECT_FALSE(a->isDocumentEdited());

  auto example = fsys::path(KORVEL_SOURCE_DIR) / "resources" / "WelcomeWindow" / "examples" / "example-welcome.korvelx";
  auto open1 = KXDocumentArchive::open(example, KXDocument::zipType, false, std::nullopt, false);
  auto open2 = KXDocumentArchive::open(example, KXDocument::zipType, false, std::nullopt, false);
  ASSERT_TRUE(open1 && open2);
  auto e1 = KXDocument::makeUntitled(KXDocument::zipType, *open1);
  auto e2 = KXDocument::makeUntitled(KXDocument::zipType, *open2);
  ASSERT_TRUE(e1) << e1.error().description();
  ASSERT_TRUE(e2) << e2.error().description();
  EXPECT_NE((*e1)->container()->uuid(), (*e2)->container()->uuid());
  EXPECT_FALSE((*e1)->fileURL());
  (*e1)->close();
  (*e2)->close();
}

TEST_F(Documents, ASaveWhoseEditorNeverAnswersFailsAndKeepsTheEdit) {
  auto document = openZip("Stale");
  ASSERT_TRUE(document);
  ASSERT_TRUE(editPage(*document, "Never answered"));
  ASSERT_TRUE(evaluate(*document, "window._ipc.emit = function(){ return true; }; true"));
  auto zip = *document->fileURL();
  auto before = readFile(zip);
  auto timeout = KXDocument::flushTimeout;
  KXDocument::flushTimeout = 1.0;
  auto error = saveAndWait(*document, zip, KXDocument::zipType, save);
  KXDocument::flushTimeout = timeout;
  ASSERT_TRUE(error);
  EXPECT_TRUE(isDocumentError(*error, KXDocumentError::containerHasUnwrittenChanges)) << error->description();
  EXPECT_TRUE(document->isDocumentEdited());
  EXPECT_EQ(readFile(zip), before);
}

TEST_F(Documents, AWorkingCopyWithEditsOfAnEarlierSessionOpensEdited) {
  auto document = openZip("Recorded");
  ASSERT_TRUE(document);
  auto zip = *document->fileURL();
  auto project = document->container()->projectDirectory();
  document->close();
  document.reset();
  RunLoop::runUntil([] { return false; }, 0.1);
  writeProject(project, "Left from last time");

  auto reopened = open(zip);
  ASSERT_TRUE(reopened);
  EXPECT_TRUE(reopened->isDocumentEdited());
}

TEST_F(Documents, NothingOpensWhileSignedOut) {
  DocumentHooks::shouldOpenDocuments = [] { return false; };
  auto made = controller->openUntitledDocumentAndDisplay(false);
  ASSERT_FALSE(made);
  EXPECT_TRUE(isDocumentError(made.error(), KXDocumentError::notLoggedIn));
  EXPECT_FALSE(controller->validateUserInterfaceItem("newDocument:"));
  EXPECT_FALSE(controller->validateUserInterfaceItem("openDocument:"));
  EXPECT_TRUE(controller->validateUserInterfaceItem("saveDocument:"));
  auto folder = dir / "Gated";
  writeProject(folder, "Gated");
  auto failure = openAndWait(*controller, folder).error;
  ASSERT_TRUE(failure);
  EXPECT_TRUE(isDocumentError(*failure, KXDocumentError::notLoggedIn));
  EXPECT_TRUE(controller->documents().empty());
}

TEST_F(Documents, ATutorialOpensAsAnUntitledDocumentThatNeverShowsEdited) {
  auto tutorial = fsys::path(KORVEL_SOURCE_DIR) / "resources" / "WelcomeWindow" / "tutorials" / "Getting Started.korveltutorial";
  auto outcome = openAndWait(*controller, tutorial);
  EXPECT_FALSE(outcome.error) << outcome.error->description();
  auto document = std::dynamic_pointer_cast<KXDocument>(outcome.document);
  ASSERT_TRUE(document);
  // The tutorial is not what the next new document is made from.
  auto untitled = controller->openUntitledDocumentAndDisplay(false);
  ASSERT_TRUE(untitled);
  EXPECT_FALSE(std::dynamic_pointer_cast<KXDocument>(*untitled)->isInTutorialMode());
  EXPECT_NE((*untitled)->displayName(), "Getting Started");
  (*untitled)->close();
  EXPECT_TRUE(document->isInTutorialMode());
  EXPECT_TRUE(document->ostrelViewController().isInTutorialMode());
  EXPECT_FALSE(document->fileURL());
  EXPECT_EQ(document->displayName(), "Getting Started");
  ASSERT_TRUE(waitForEditor(*document));
  ASSERT_TRUE(evaluate(*document, "window._ipc.send('DocumentDirty'); true"));
  EXPECT_TRUE(waitFor([&] { return document->containerHasChanges(); }));
  EXPECT_FALSE(document->isDocumentEdited());

  // Only looked at: an autosave writes no draft.
  EXPECT_TRUE(document->isInViewingMode());
  std::optional<std::optional<Error>> autosaved;
  document->autosave(false, [&](std::optional<Error> e) { autosaved = e; });
  ASSERT_TRUE(autosaved);
  EXPECT_FALSE(*autosaved);
  EXPECT_FALSE(document->autosavedContentsFileURL());
  EXPECT_FALSE(document->fileURL());
}

TEST_F(Documents, ImagesAndAssetsGoIntoTheProjectUnderPlainNamesOnly) {
  auto document = openZip("Images");
  ASSERT_TRUE(document);
  auto project = document->container()->projectDirectory();
  EXPECT_FALSE(document->isInViewingMode());
  // A one-pixel PNG.
  const Data png{137, 80, 78, 71, 13, 10, 26, 10, 0, 0, 0, 13, 73, 72, 68, 82, 0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0, 31, 21, 196, 137, 0, 0, 0, 13, 73, 68, 65, 84, 120, 156, 99, 248, 207, 192, 240, 31, 0, 5, 0, 1, 255, 137, 153, 61, 29, 0, 0, 0, 0, 73, 69, 78, 68, 174, 66, 96, 130};
  auto image = document->ostrelDocumentDidReceiveImageData(png);
  ASSERT_TRUE(image);
  EXPECT_TRUE(fsys::exists(project / "design" / "images" / *image));

  Data bytes{'a', 'b'};
  auto asset = document->ostrelDocumentDidReceiveAssetData(bytes, "notes.txt");
  ASSERT_TRUE(asset);
  EXPECT_EQ(*asset, "design/assets/notes.txt");
  EXPECT_EQ(document->ostrelDocumentDidReceiveAssetData(bytes, "notes.txt"), asset);
  for (std::string bad : {"../escape.txt", "a/../../escape.txt", "/tmp/escape.txt", "a//b.txt", "a/./b.txt", "..", "",
                          "icons/"})
    EXPECT_FALSE(document->ostrelDocumentDidReceiveAssetData(bytes, bad)) << bad;
  EXPECT_FALSE(fsys::exists(project / "design" / "escape.txt"));
  // Sub-folders of the proposed name become folders of the assets folder.
  EXPECT_EQ(document->ostrelDocumentDidReceiveAssetData(bytes, "icons/a.svg"), "design/assets/icons/a.svg");
  EXPECT_EQ(document->ostrelDocumentDidReceiveAssetData(bytes, "a/b/c.txt"), "design/assets/a/b/c.txt");
  EXPECT_TRUE(fsys::is_regular_file(project / "design" / "assets" / "icons" / "a.svg"));

  // Copy in this document, paste into another.
  document->ostrelDocumentDidRequestCopyImagesToPasteboard({*image});
  auto other = openZip("Other", "Other.korvelx");
  ASSERT_TRUE(other);
  other->ostrelDocumentDidRequestCopyImagesFromPasteboard();
  EXPECT_TRUE(fsys::exists(other->container()->projectDirectory() / "design" / "images" / *image));
  other->ostrelDocumentDidRequestCopyImagesFromPasteboard();  // already there: still fine

  // A paste that arrives after the document closed is dropped.
  other->close();
  other->ostrelDocumentDidRequestCopyImagesFromPasteboard();
  EXPECT_FALSE(other->ostrelDocumentDidReceiveImageData(png));
}

TEST_F(Documents, APasteOfTheOtherToolsLayersIsTracked) {
  auto document = openZip("Paste");
  ASSERT_TRUE(document);
  auto& pasteboard = Pasteboard::general();
  pasteboard.declareTypes({PasteboardType::sketchPasteboard});
  pasteboard.setData(dataFromString(R"({"layers": []})"), PasteboardType::sketchPasteboard);
  std::vector<std::string> tracked;
  DocumentHooks::track = [&](const std::string& event, auto&) { tracked.push_back(event); };
  document->ostrelViewController().ipcProcessor()->handle("DocumentPaste", nlohmann::json{{"point", 0}});
  // The answer, and the event after it, wait for the paste's pictures to be decoded.
  RunLoop::runUntil([&] { return !tracked.empty(); }, 30);
  DocumentHooks::track = [](auto&, auto&) {};
  EXPECT_EQ(tracked, std::vector<std::string>{"paste_from_sketch"});
}

TEST_F(Documents, RevealShowsTheReadmeOrTheProjectFolder) {
  std::vector<fsys::path> shown;
  Workspace::setShared(std::make_unique<ShownWorkspace>(&shown));
  auto document = openZip("Reveal");
  ASSERT_TRUE(document);
  auto project = document->container()->projectDirectory();
  document->showContainerInFinder();
  fsys::remove(project / "README.md");
  document->showContainerInFinder();
  EXPECT_EQ(shown, (std::vector<fsys::path>{project / "README.md", project}));
  Workspace::setShared(nullptr);
}

TEST_F(Documents, EveryProjectNamesTheRegistryAndTheSignedInToken) {
  LoginController::shared().setToken(std::string("tok-docs-31"));
  auto document = openZip("Npmrc");
  ASSERT_TRUE(document);
  auto npmrc = document->container()->projectDirectory() / ".npmrc";
  auto text = readFile(npmrc);
  EXPECT_NE(text.find("tok-docs-31"), std::string::npos) << text;
  EXPECT_EQ(fsys::status(npmrc).permissions() & fsys::perms::all, fsys::perms::owner_read | fsys::perms::owner_write);
  LoginController::shared().setToken(std::nullopt);
}

TEST_F(Documents, AFolderOutsideVersionControlShowsTheNoticeOnceItsWindowIsActive) {
  auto outside = testenv::freshFolder("outside");
  auto folder = outside / "Loose";
  writeProject(folder, "Loose");
  person().alertAnswers.push_back(Alert::firstButtonReturn);
  auto document = open(folder);
  ASSERT_TRUE(document);
  ASSERT_TRUE(document->wantsVersioningCheck());
  document->presentVersioningMessageIfNeeded();
  ASSERT_EQ(person().alertsShown.size(), 1u);
  EXPECT_EQ(person().alertsShown[0].messageText,
            "The document “Loose” uses the Korvel Project Folder format, but doesn’t appear to be under version control.");
  EXPECT_FALSE(document->wantsVersioningCheck());
  document->presentVersioningMessageIfNeeded();
  EXPECT_EQ(person().alertsShown.size(), 1u) << "once per open";
}

TEST_F(Documents, AddSettingsAppendsTheIgnoreEntriesForTheProjectFolder) {
  auto repo = testenv::freshFolder("repo");
  fsys::create_directories(repo / ".git");
  std::ofstream(repo / ".gitignore") << "build/\n";
  auto folder = repo / "designs" / "App";
  writeProject(folder, "App");
  person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Add Settings"
  auto document = open(folder);
  ASSERT_TRUE(document);
  document->presentVersioningMessageIfNeeded();
  ASSERT_TRUE(waitFor([&] { return readFile(repo / ".gitignore").find("# Korvel") != std::string::npos; }));
  EXPECT_EQ(readFile(repo / ".gitignore"),
            "build/\n\n# Korvel\ndesigns/App/.cache\ndesigns/App/.backups\ndesigns/App/.npmrc\n"
            "designs/App/node_modules\ndesigns/App/*.korvelxproj\n");
}

// The editor's globals are read once per process: a fresh one answers.
TEST_F(Documents, AMissingEditorIsReportedAsMissingNotAsANewerDocument) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto folder = dir / "Needs editor";
  writeProject(folder, "Needs editor", 1);
  EXPECT_EXIT(
      {
        AppInfo::setCurrent(std::make_shared<AppInfo>("Korvel", "Korvel", dir / "no-editor-here"));
        auto failure = openAndWait(*controller, folder, false).error;
        bool missing = failure && failure->domain == OstrelError::domain && failure->code == OstrelError::ostrelNotFoundCode;
        std::fprintf(stderr, "%s\n", failure ? failure->description().c_str() : "opened");
        std::_Exit(missing ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Documents, ANewerDocumentIsRefusedAndItsErrorOffersTheUpdateCheck) {
  auto folder = dir / "From the future";
  writeProject(folder, "Future", 99);
  auto failure = openAndWait(*controller, folder, false).error;
  ASSERT_TRUE(failure);
  EXPECT_TRUE(isDocumentError(*failure, KXDocumentError::documentVersionTooNew)) << failure->description();
  int checks = 0;
  DocumentHooks::checkForUpdates = [&] { ++checks; };
  EXPECT_TRUE(controller->attemptRecovery(*failure, 0));
  EXPECT_TRUE(controller->attemptRecovery(*failure, 1));
  DocumentHooks::checkForUpdates = [] {};
  EXPECT_EQ(checks, 1) << "only \"Check for Updates\" checks";
  EXPECT_TRUE(controller->documents().empty());
}

}  // namespace

TEST_F(Documents, AFolderDocumentKeepsFilesItsDesignDoesNotName) {
  auto folder = dir / "Hand Made";
  writeProject(folder, "Hand");
  const std::vector<std::string> mine = {"design/images/logo.png", "design/assets/data.csv", "design/assets/notes.txt"};
  for (const auto& path : mine) {
    fsys::create_directories((folder / path).parent_path());
    std::ofstream(folder / path) << "put here by hand";
  }
  auto document = open(folder);
  ASSERT_TRUE(document);
  ASSERT_TRUE(waitForEditor(*document));
  ASSERT_TRUE(editPage(*document, "Hand edited"));
  auto error = saveAndWait(*document, folder, KXDocument::folderType, save);
  ASSERT_FALSE(error) << error->description();
  document->close();
  document.reset();
  RunLoop::runUntil([] { return false; }, 0.1);
  EXPECT_EQ(pageNameInFolder(folder), "Hand edited");
  for (const auto& path : mine) EXPECT_EQ(readFile(folder / path), "put here by hand") << path;
}

TEST_F(Documents, EditsSetAsideForAChangedFileAreAnnouncedAndCanBeShown) {
  std::vector<fsys::path> shown;
  Workspace::setShared(std::make_unique<ShownWorkspace>(&shown));
  auto document = openZip("Recorded");
  ASSERT_TRUE(document);
  auto zip = *document->fileURL();
  auto project = document->container()->projectDirectory();
  document->close();
  document.reset();
  RunLoop::runUntil([] { return false; }, 0.1);
  writeProject(project, "Unsaved here");
  // Another program writes the file meanwhile.
  auto elsewhere = dir / "elsewhere";
  writeProject(elsewhere, "Changed elsewhere");
  auto archive = KXDocumentArchive::open(zip, KXDocument::zipType, false, std::nullopt, true);
  auto source = KXDocumentArchive::open(elsewhere, KXDocument::folderType, false, std::nullopt, false);
  ASSERT_TRUE(archive && source && (*archive)->reflect(**source));
  fsys::last_write_time(zip, fsys::last_write_time(zip) + std::chrono::seconds(5));

  person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Show Copy"
  auto reopened = open(zip);
  ASSERT_TRUE(reopened);
  ASSERT_TRUE(waitForEditor(*reopened));
  reopened->presentSetAsideMessageIfNeeded();
  ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
  ASSERT_EQ(person().alertsShown.size(), 1u);
  EXPECT_EQ(person().alertsShown[0].messageText, "The document “Project” was changed by another application.");
  // The sheet's answer arrives on a later turn than the question.
  ASSERT_TRUE(waitFor([&] { return shown.size() == 1u; })) << shown.size();
  EXPECT_EQ(pageNameInFolder(shown[0]), "Unsaved here");
  EXPECT_EQ(firstPageName(pageState(*reopened)), "Changed elsewhere");
  Workspace::setShared(nullptr);
}

TEST_F(Documents, AnAutosavedUntitledDocumentSavedUnderANameLeavesNoDraftToReopen) {
  // Saved as a zip, or as a folder (Alt held at the save).
  for (const char* type : {KXDocument::zipType, KXDocument::folderType}) {
    SCOPED_TRACE(type);
    auto made = controller->openUntitledDocumentAndDisplay(true);
    ASSERT_TRUE(made) << made.error().description();
    auto untitled = std::dynamic_pointer_cast<KXDocument>(*made);
    ASSERT_TRUE(waitForEditor(*untitled));
    ASSERT_TRUE(editPage(*untitled, "Autosaved"));
    std::optional<std::optional<Error>> autosaved;
    untitled->autosave(false, [&](std::optional<Error> e) { autosaved = e; });
    ASSERT_TRUE(waitFor([&] { return autosaved.has_value(); }));
    ASSERT_FALSE(*autosaved) << (*autosaved)->description();
    auto draft = untitled->autosavedContentsFileURL();
    ASSERT_TRUE(draft);
    ASSERT_TRUE(fsys::exists(*draft));

    bool zip = std::string(type) == KXDocument::zipType;
    auto target = dir / (zip ? "Named.korvelx" : "Named Folder");
    person().saveAnswers.push_back(SavePanelResult{target, type});
    std::optional<std::optional<Error>> saved;
    untitled->saveDocument([&](std::optional<Error> e) { saved = e; });
    ASSERT_TRUE(waitFor([&] { return saved.has_value(); }));
    ASSERT_FALSE(*saved) << (*saved)->description();
    EXPECT_EQ(untitled->fileURL(), target);
    EXPECT_EQ(zip ? firstPageName(documentInZip(target)) : pageNameInFolder(target), "Autosaved");
    EXPECT_FALSE(fsys::exists(*draft)) << "the draft outlived the save";
    EXPECT_EQ(reopenDraftsAndWait(*controller), 0u);
    EXPECT_EQ(controller->documents().size(), 1u);
    untitled->close();
  }
}

// An untitled document deleted while its draft is written beside the main loop (its first draft,
// which nothing names yet, and a later one): the close waits for the write, and no draft is left
// to come back at the next start.
TEST_F(Documents, AnUntitledDocumentClosedWhileItsDraftIsWrittenLeavesNoDraft) {
  auto drafts = [] {
    std::vector<fsys::path> found;
    std::error_code ec;
    for (auto it = fsys::directory_iterator(Document::draftFolder(), ec); !ec && it != fsys::directory_iterator();
         it.increment(ec))
      if (it->path().extension() == ".korvelx") found.push_back(it->path());
    return found;
  };
  for (bool first : {true, false}) {
    SCOPED_TRACE(first ? "its first draft" : "a later draft");
    auto made = controller->openUntitledDocumentAndDisplay(true);
    ASSERT_TRUE(made) << made.error().description();
    auto untitled = std::dynamic_pointer_cast<KXDocument>(*made);
    ASSERT_TRUE(waitForEditor(*untitled));
    ASSERT_TRUE(editPage(*untitled, "Draft"));
    std::optional<std::optional<Error>> autosaved;
    if (!first) {
      untitled->autosave(false, [&](std::optional<Error> e) { autosaved = e; });
      ASSERT_TRUE(waitFor([&] { return autosaved.has_value(); }));
      ASSERT_FALSE(*autosaved) << (*autosaved)->description();
      ASSERT_EQ(drafts().size(), 1u);
      ASSERT_TRUE(editPage(*untitled, "Later"));
      autosaved.reset();
    }
    untitled->autosave(false, [&](std::optional<Error> e) { autosaved = e; });
    EXPECT_TRUE(!autosaved && untitled->container()->isWorkingInBackground()) << "the draft was written on the main loop";
    untitled->close();
    ASSERT_TRUE(waitFor([&] { return autosaved.has_value(); }));
    EXPECT_TRUE(drafts().empty()) << drafts().front();
    EXPECT_EQ(controller->reopenAutosavedDrafts(), 0u);
    EXPECT_TRUE(controller->documents().empty());
  }
}

// A document closed while its Save As writes: the close waits for the write, the new file or
// folder holds the document whole, and nothing is left to take the save up.
TEST_F(Documents, ADocumentClosedWhileItsSaveAsWritesLeavesTheNewFileWhole) {
  for (const char* type : {KXDocument::zipType, KXDocument::folderType}) {
    SCOPED_TRACE(type);
    bool zip = std::string(type) == KXDocument::zipType;
    auto document = openZip("Closing", zip ? "Closing.korvelx" : "Closing folder.korvelx");
    ASSERT_TRUE(document);
    ASSERT_TRUE(editPage(*document, "Saved while closing"));
    auto target = dir / (zip ? "Closed As.korvelx" : "Closed As Folder");
    std::optional<std::optional<Error>> saved;
    document->save(target, type, SaveOperation::saveAs, [&](std::optional<Error> e) { saved = e; });
    EXPECT_TRUE(!saved && document->container()->isWorkingInBackground()) << "the file was written on the main loop";
    document->close();
    ASSERT_TRUE(waitFor([&] { return saved.has_value(); }));
    ASSERT_TRUE(*saved);
    EXPECT_EQ((*saved)->code, 3072) << (*saved)->description();
    EXPECT_EQ(zip ? firstPageName(documentInZip(target)) : pageNameInFolder(target), "Saved while closing");
    if (zip) {
      EXPECT_EQ(testenv::run("unzip -tq '" + target.string() + "' >/dev/null 2>&1"), 0);
    }
    EXPECT_TRUE(person().alertsShown.empty());
    EXPECT_TRUE(controller->documents().empty());
  }
}

// The person closes the window of a document that has nothing left to save while its Save As
// writes: the window stays until the write has ended, the main loop turning meanwhile, and the
// new file is whole and the save a success.
TEST_F(Documents, AWindowClosedWhileItsSaveAsWritesClosesOnceTheWriteEnded) {
  for (const char* type : {KXDocument::zipType, KXDocument::folderType}) {
    SCOPED_TRACE(type);
    bool zip = std::string(type) == KXDocument::zipType;
    auto document = openZip("Leaving", zip ? "Leaving.korvelx" : "Leaving folder.korvelx");
    ASSERT_TRUE(document);
    ASSERT_TRUE(waitForEditor(*document));
    ASSERT_FALSE(document->isDocumentEdited());
    auto target = dir / (zip ? "Left As.korvelx" : "Left As Folder");
    std::optional<std::optional<Error>> saved;
    document->save(target, type, SaveOperation::saveAs, [&](std::optional<Error> e) { saved = e; });
    document->windowShouldClose();
    EXPECT_FALSE(saved.has_value() || document->isClosed()) << "the close waited for the write on the main loop";
    ASSERT_TRUE(waitFor([&] { return saved.has_value() && document->isClosed(); }));
    EXPECT_FALSE(*saved) << (*saved)->description();
    EXPECT_EQ(zip ? firstPageName(documentInZip(target)) : pageNameInFolder(target), "Leaving");
    if (zip) {
      EXPECT_EQ(testenv::run("unzip -tq '" + target.string() + "' >/dev/null 2>&1"), 0);
    }
    EXPECT_TRUE(person().alertsShown.empty());
    EXPECT_TRUE(controller->documents().empty());
  }
}

// A file dated past what the clock holds (some file systems keep such dates) opens with the last
// date the clock holds, not an overflowed one.
TEST_F(Documents, AFileDatedPastTheClocksReachOpensWithTheLastDateItHolds) {
  auto source = dir / "source-Future.korvelx";
  writeProject(source, "Future");
  auto zip = dir / "Future.korvelx";
  makeZip(source, zip);
  timespec times[2] = {{10413792000, 0}, {10413792000, 0}};  // the year 2300
  ASSERT_EQ(utimensat(AT_FDCWD, zip.c_str(), times, 0), 0);
  auto document = open(zip);
  ASSERT_TRUE(document);
  ASSERT_TRUE(document->fileModificationDate());
  EXPECT_GT(*document->fileModificationDate(), std::chrono::system_clock::time_point(std::chrono::hours(24 * 365 * 290)));
  EXPECT_TRUE(waitForEditor(*document));
}
