// Edits that outlive a crash: after a Save As (of one file twice too), after Revert to Saved, of
// a file another document's Save As replaced, of a document that was away at a start, and of a
// file rewritten elsewhere before a save. A crash is a document dropped without a save; the next
// start is the controller's sweep of drafts and working copies.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fstream>
#include <functional>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

constexpr int saveAs = 1;

// The working-copy folders whose origin record names `file`.
std::vector<fsys::path> workingCopiesOf(const fsys::path& file) {
  std::vector<fsys::path> found;
  std::error_code ec;
  auto wanted = fsys::weakly_canonical(file, ec);
  for (const auto& item : fsys::directory_iterator(KXDocumentContainer::baseDirectory(), ec)) {
    auto info = JsonCoder::parse(fs::readText(item.path() / "info").value_or(""));
    if (!info || !info->is_object() || !(*info)["bookmarkData"].is_string()) continue;
    auto bookmark = crypto::base64Decode((*info)["bookmarkData"].get<std::string>());
    if (!bookmark) continue;
    auto record = JsonCoder::parse(stringFromData(*bookmark));
    if (record && record->is_object() && record->value("path", "") == wanted.string()) found.push_back(item.path());
  }
  return found;
}

// How many copies of unsaved edits were kept aside so far.
std::size_t setAsideCopies() {
  std::size_t count = 0;
  std::error_code ec;
  for (const auto& item : fsys::directory_iterator(KXDocumentContainer::baseDirectory(), ec))
    count += item.path().filename().string().find(KXDocumentContainer::setAsideInfix) != std::string::npos;
  return count;
}

class Recovery : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    Workspace::setShared(std::make_unique<ShownWorkspace>(&shown));
  }
  void TearDown() override {
    ControllerTest::TearDown();
    Workspace::setShared(nullptr);
  }

  std::shared_ptr<KXDocument> open(const fsys::path& url) {
    auto document = openWith(*controller, url);
    if (document) {
      EXPECT_TRUE(waitForEditor(*document));
    }
    return document;
  }

  // A document file `name` in a fresh folder. When `copied`, a copy of it beside it was opened
  // first, so that it opens as a copy of a file whose project another working copy holds.
  fsys::path documentIn(const std::string& hint, const std::string& name, const std::string& pageName, bool copied) {
    auto file = makeDocument(testenv::freshFolder(hint) / name, pageName);
    if (copied) {
      fsys::copy_file(file, file.parent_path() / "Original.korvelx");
      auto first = open(file.parent_path() / "Original.korvelx");
      EXPECT_TRUE(first);
      if (first) first->close();
    }
    return file;
  }

  fsys::path makeDocument(const fsys::path& zip, const std::string& pageName) {
    auto source = testenv::freshFolder("source");
    writeProject(source, pageName);
    fsys::create_directories(zip.parent_path());
    makeZip(source, zip);
    return zip;
  }

  // An edit that has reached the working copy, as the minute's backup pass takes it there.
  void editAndWrite(KXDocument& document, const std::string& pageName) {
    ASSERT_TRUE(editPage(document, pageName));
    ASSERT_TRUE(writeChangesAndWait(document));
    ASSERT_EQ(pageNameInFolder(document.container()->projectDirectory()), pageName);
  }

  // Korvel ends without saving; the next start sweeps what belongs to no document.
  void crashAndStart(std::shared_ptr<KXDocument>& document) {
    document->close();
    document.reset();
    RunLoop::runUntil([] { return false; }, 0.1);
    reopenDraftsAndWait(*controller);
  }

  // Opened again `rounds` times, each ending in a crash: the document comes back edited, with the
  // page `pageName`, under `title`, and its file keeps one working copy.
  void expectEditedAcrossCrashes(const fsys::path& file, const std::string& title, const std::string& pageName,
                                 int rounds) {
    for (int round = 0; round < rounds; ++round) {
      SCOPED_TRACE(round);
      auto reopened = open(file);
      ASSERT_TRUE(reopened);
      EXPECT_TRUE(reopened->isDocumentEdited());
      EXPECT_EQ(gtk_window_get_title(reopened->windowForSheet()), title + " \u2014 Edited");
      EXPECT_EQ(firstPageName(pageState(*reopened)), pageName);
      EXPECT_EQ(workingCopiesOf(file).size(), 1u);
      crashAndStart(reopened);
    }
  }

  // A revert of the open `reverting` reads its file, whose page is `pageName`, into the same
  // working copy, and the edits made after it come back after a crash.
  void expectEditsAfterARevertComeBack(std::shared_ptr<KXDocument> reverting, const fsys::path& file,
                                       const std::string& pageName) {
    ASSERT_TRUE(reverting);
    auto workingCopy = reverting->container()->uuidDirectory();
    auto reverted = reverting->revert(file, reverting->fileType());
    ASSERT_TRUE(reverted) << reverted.error().description();
    EXPECT_EQ(reverting->container()->uuidDirectory(), workingCopy);
    ASSERT_TRUE(waitFor([&] { return firstPageName(pageState(*reverting)) == pageName; }));
    ASSERT_TRUE(waitForEditor(*reverting));
    editAndWrite(*reverting, "After the revert");
    crashAndStart(reverting);
    auto again = open(file);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->isDocumentEdited());
    EXPECT_EQ(firstPageName(pageState(*again)), "After the revert");
    EXPECT_EQ(workingCopiesOf(file).size(), 1u);
    again->close();
  }

  // The file is read, and the document ends before it has a window to tell anything in.
  void readThenCrashBeforeAnyAlert(const fsys::path& file) {
    auto read = controller->makeDocument(file, KXDocument::zipType);
    ASSERT_TRUE(read) << read.error().description();
    (*read)->close();
    read->reset();
    RunLoop::runUntil([] { return false; }, 0.1);
  }

  // The person will ask to see the copy at the next alert; how many alerts came before it.
  std::size_t willShowCopy() {
    shown.clear();
    person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Show Copy"
    return person().alertsShown.size();
  }

  // The one alert after the first `before` (the document shows it now unless it has already)
  // says `message`, and the copy it showed holds the page `pageName`.
  void expectSetAsideAlert(std::size_t before, KXDocument& document, const std::string& message,
                           const std::string& pageName) {
    document.presentSetAsideMessageIfNeeded();
    ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
    ASSERT_EQ(person().alertsShown.size(), before + 1);
    EXPECT_EQ(person().alertsShown.back().messageText, message);
    ASSERT_TRUE(waitFor([&] { return shown.size() == 1u; }));
    EXPECT_EQ(pageNameInFolder(shown[0]), pageName);
  }

  // Opened again, the document tells of nothing.
  void expectNoAlertAtOpening(const fsys::path& file) {
    auto before = person().alertsShown.size();
    auto again = open(file);
    ASSERT_TRUE(again);
    again->presentSetAsideMessageIfNeeded();
    RunLoop::runUntil([] { return false; }, 0.3);
    EXPECT_EQ(person().alertsShown.size(), before);
    again->close();
  }

  std::vector<fsys::path> shown;
};

}  // namespace

TEST_F(Recovery, EditsAfterASaveAsComeBackAndEveryDocumentKeepsOneWorkingCopy) {
  auto original = makeDocument(dir / "Spring Sale.korvelx", "Spring");
  auto copy = dir / "Spring Sale v2.korvelx";
  auto document = open(original);
  ASSERT_TRUE(document);
  auto error = saveAndWait(*document, copy, KXDocument::zipType, saveAs);
  ASSERT_FALSE(error) << error->description();
  editAndWrite(*document, "After Save As");
  crashAndStart(document);

  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto reopened = open(copy);
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(reopened->container()->resumedWithUnsavedChanges());
    EXPECT_TRUE(reopened->isDocumentEdited());
    EXPECT_STREQ(gtk_window_get_title(reopened->windowForSheet()), "Spring Sale v2 \u2014 Edited");
    EXPECT_EQ(firstPageName(pageState(*reopened)), "After Save As");
    crashAndStart(reopened);

    auto first = open(original);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->isDocumentEdited());
    EXPECT_EQ(firstPageName(pageState(*first)), "Spring");
    crashAndStart(first);

    EXPECT_EQ(workingCopiesOf(copy).size(), 1u);
    EXPECT_EQ(workingCopiesOf(original).size(), 1u);
  }
}

TEST_F(Recovery, ASaveAsOverAnotherDocumentLeavesOneWorkingCopyForIt) {
  for (bool copied : {false, true}) {
    SCOPED_TRACE(copied ? "a copy" : "its own file");
    auto target = documentIn("replaced", "Target.korvelx", "Target", copied);
    auto replaced = open(target);
    ASSERT_TRUE(replaced);
    auto replacedCopy = replaced->container()->uuidDirectory();
    replaced->close();
    replaced.reset();
    RunLoop::runUntil([] { return false; }, 0.1);

    auto document = open(makeDocument(target.parent_path() / "Mine.korvelx", "Mine"));
    ASSERT_TRUE(document);
    auto error = saveAndWait(*document, target, KXDocument::zipType, saveAs);
    ASSERT_FALSE(error) << error->description();
    EXPECT_FALSE(fsys::exists(replacedCopy));
    EXPECT_EQ(workingCopiesOf(target), std::vector<fsys::path>{document->container()->uuidDirectory()});
    document->close();
  }
}

TEST_F(Recovery, EditsAfterARevertComeBack) {
  for (bool copied : {false, true}) {
    SCOPED_TRACE(copied ? "a copy" : "its own file");
    auto file = documentIn("revert", "Reverted.korvelx", "Saved", copied);
    auto document = open(file);
    ASSERT_TRUE(document);
    editAndWrite(*document, "Thrown away");
    expectEditsAfterARevertComeBack(std::move(document), file, "Saved");
  }
}

// A file another tool zipped has no identity of its own: its set-aside edits are known by the
// file itself, under a new name too.
TEST_F(Recovery, EditsSetAsideWhileTheDocumentWasAwayAreAnnouncedAtItsNextOpening) {
  enum class Away { driveBack, driveRenamed, fileRenamed };
  struct Case {
    const char* what;
    bool zippedByATool;  // no manifest, so no identity of its own
    Away away;  // its drive comes back, or the person opens it under its new name
    bool crashBeforeAlert;  // an opening read it and ended before it had a window to tell in
  };
  for (const auto& c : {Case{"drive back", false, Away::driveBack, false},
                        Case{"renamed", false, Away::driveRenamed, false},
                        Case{"a crash before the alert", false, Away::driveBack, true},
                        Case{"zipped by a tool, the file renamed", true, Away::fileRenamed, false},
                        Case{"zipped by a tool, drive back", true, Away::driveBack, false},
                        Case{"zipped by a tool, renamed, a crash before the alert", true, Away::fileRenamed, true}}) {
    SCOPED_TRACE(c.what);
    auto drive = testenv::freshFolder("drive");
    auto file = drive / "Away.korvelx";
    if (c.zippedByATool) {
      auto source = testenv::freshFolder("zipped");
      writeProject(source, "Saved");
      ASSERT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + file.string() + "' ."), 0);
    } else {
      makeDocument(file, "Saved");
    }
    auto document = open(file);
    ASSERT_TRUE(document);
    editAndWrite(*document, "Unsaved while away");
    document->close();
    document.reset();
    RunLoop::runUntil([] { return false; }, 0.1);
    auto unmounted = drive.parent_path() / (drive.filename().string() + "-unmounted");
    auto back = file;
    if (c.away == Away::fileRenamed) {
      back = drive / "Renamed.korvelx";
      fsys::rename(file, back);
    } else {
      fsys::rename(drive, unmounted);
    }
    reopenDraftsAndWait(*controller);  // a start while it is away
    if (c.away == Away::driveRenamed) back = unmounted / file.filename();
    if (c.away == Away::driveBack) fsys::rename(unmounted, drive);
    if (c.crashBeforeAlert) readThenCrashBeforeAnyAlert(back);

    auto before = willShowCopy();
    auto reopened = open(back);
    ASSERT_TRUE(reopened);
    expectSetAsideAlert(before, *reopened,
                        "The document \u201c" + back.stem().string() + "\u201d has unsaved edits from an earlier session.",
                        "Unsaved while away");
    EXPECT_FALSE(reopened->isDocumentEdited());
    EXPECT_EQ(firstPageName(pageState(*reopened)), "Saved");
    reopened->close();
    reopened.reset();
    RunLoop::runUntil([] { return false; }, 0.1);

    // Told once.
    expectNoAlertAtOpening(back);
  }
}

TEST_F(Recovery, AFileSavedAsTwiceFindsItsOwnWorkingCopyAfterACrash) {
  for (bool copied : {false, true}) {
    SCOPED_TRACE(copied ? "a copy" : "its own file");
    auto alpha = documentIn("twice", "Alpha.korvelx", "Alpha", copied);
    for (const char* other : {"Bravo.korvelx", "Charlie.korvelx"}) {
      auto document = open(alpha);
      ASSERT_TRUE(document);
      auto error = saveAndWait(*document, alpha.parent_path() / other, KXDocument::zipType, saveAs);
      ASSERT_FALSE(error) << error->description();
      crashAndStart(document);
    }

    auto document = open(alpha);
    ASSERT_TRUE(document);
    editAndWrite(*document, "Edited in Alpha");
    crashAndStart(document);
    expectEditedAcrossCrashes(alpha, "Alpha", "Edited in Alpha", 2);
    expectEditsAfterARevertComeBack(open(alpha), alpha, "Alpha");

    for (const char* name : {"Alpha.korvelx", "Bravo.korvelx", "Charlie.korvelx"})
      EXPECT_EQ(workingCopiesOf(alpha.parent_path() / name).size(), 1u) << name;
  }
}

TEST_F(Recovery, ASaveAsOverAnotherDocumentTellsWhereItsUnsavedEditsAreOnce) {
  for (bool copied : {false, true}) {
    SCOPED_TRACE(copied ? "a copy" : "its own file");
    auto target = documentIn("replaced-edits", "Target.korvelx", "Target", copied);
    auto replaced = open(target);
    ASSERT_TRUE(replaced);
    editAndWrite(*replaced, "Unsaved in Target");
    crashAndStart(replaced);

    auto before = willShowCopy();
    auto document = open(makeDocument(target.parent_path() / "Mine.korvelx", "Mine"));
    ASSERT_TRUE(document);
    auto error = saveAndWait(*document, target, KXDocument::zipType, saveAs);
    ASSERT_FALSE(error) << error->description();
    expectSetAsideAlert(before, *document, "The document \u201cTarget\u201d that you replaced had unsaved edits.",
                        "Unsaved in Target");
    EXPECT_EQ(firstPageName(documentInZip(target)), "Mine");
    crashAndStart(document);

    // Told once.
    expectNoAlertAtOpening(target);
  }
}

TEST_F(Recovery, EditsSetAsideForAChangedFileAreAnnouncedAfterACrashBeforeTheAlert) {
  auto file = makeDocument(testenv::freshFolder("changed") / "Changed.korvelx", "Saved");
  auto document = open(file);
  ASSERT_TRUE(document);
  editAndWrite(*document, "Unsaved here");
  crashAndStart(document);
  // Another program writes the file meanwhile.
  makeDocument(file, "Changed elsewhere");
  fsys::last_write_time(file, fsys::last_write_time(file) + std::chrono::seconds(5));

  readThenCrashBeforeAnyAlert(file);

  auto before = willShowCopy();
  auto reopened = open(file);
  ASSERT_TRUE(reopened);
  expectSetAsideAlert(before, *reopened, "The document \u201cChanged\u201d has unsaved edits from an earlier session.",
                      "Unsaved here");
  EXPECT_EQ(firstPageName(pageState(*reopened)), "Changed elsewhere");
  reopened->close();
  reopened.reset();
  RunLoop::runUntil([] { return false; }, 0.1);
  expectNoAlertAtOpening(file);
}

TEST_F(Recovery, ASaveOverAFileRewrittenElsewhereAsksAndRevertKeepsTheUnsavedEditsAside) {
  struct Writer {
    const char* how;
    std::function<void(const fsys::path&)> write;
  } writers[] = {
      {"a new file in its place", [&](const fsys::path& file) { makeDocument(file, "Changed elsewhere"); }},
      {"rewritten in place",
       [&](const fsys::path& file) {
         auto theirs = makeDocument(file.parent_path() / "theirs.korvelx", "Changed elsewhere");
         fsys::copy_file(theirs, file, fsys::copy_options::overwrite_existing);
       }},
  };
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer.how);
    auto file = makeDocument(testenv::freshFolder("rewritten") / "Rewritten.korvelx", "Saved");
    auto document = open(file);
    ASSERT_TRUE(document);
    auto alerts = person().alertsShown.size();
    // Its own saves are no change by another.
    for (const char* name : {"Saved once", "Saved twice"}) {
      editAndWrite(*document, name);
      auto error = saveAndWait(*document, file, KXDocument::zipType, 0);
      ASSERT_FALSE(error) << error->description();
      EXPECT_EQ(firstPageName(documentInZip(file)), name);
    }
    // Nor is the same content written again (a sync client, a backup put back).
    fsys::copy_file(file, file.parent_path() / "same.korvelx");
    fsys::rename(file.parent_path() / "same.korvelx", file);
    editAndWrite(*document, "Saved thrice");
    ASSERT_FALSE(saveAndWait(*document, file, KXDocument::zipType, 0));
    EXPECT_EQ(firstPageName(documentInZip(file)), "Saved thrice");
    EXPECT_EQ(person().alertsShown.size(), alerts);

    // A tool that changed one file inside and left the manifest as it was is caught all the same.
    auto edited = testenv::freshFolder("zip-tool");
    writeProject(edited, "Changed by a tool");
    ASSERT_EQ(testenv::run("cd '" + edited.string() + "' && zip -q '" + file.string() + "' design/document.json"), 0);
    person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Cancel"
    EXPECT_TRUE(saveAndWait(*document, file, KXDocument::zipType, 0));
    EXPECT_EQ(firstPageName(documentInZip(file)), "Changed by a tool");
    EXPECT_EQ(person().alertsShown.size(), ++alerts);

    editAndWrite(*document, "Unsaved here");
    writer.write(file);
    person().alertAnswers.push_back(Alert::firstButtonReturn);  // "Cancel"
    EXPECT_TRUE(saveAndWait(*document, file, KXDocument::zipType, 0));
    EXPECT_EQ(firstPageName(documentInZip(file)), "Changed elsewhere");
    EXPECT_TRUE(document->isDocumentEdited());

    person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Revert"
    auto before = willShowCopy();
    EXPECT_TRUE(saveAndWait(*document, file, KXDocument::zipType, 0));
    expectSetAsideAlert(before + 1, *document, "The document \u201cRewritten\u201d was changed by another application.",
                        "Unsaved here");
    EXPECT_EQ(firstPageName(documentInZip(file)), "Changed elsewhere");
    EXPECT_FALSE(document->isDocumentEdited());
    ASSERT_TRUE(waitForEditor(*document));
    EXPECT_EQ(firstPageName(pageState(*document)), "Changed elsewhere");

    // Read again, the file is the document's own; rewritten once more, Save Anyway replaces it.
    editAndWrite(*document, "Mine");
    ASSERT_FALSE(saveAndWait(*document, file, KXDocument::zipType, 0));
    writer.write(file);
    editAndWrite(*document, "Mine anyway");
    person().alertAnswers.push_back(Alert::thirdButtonReturn);  // "Save Anyway"
    ASSERT_FALSE(saveAndWait(*document, file, KXDocument::zipType, 0));
    EXPECT_EQ(firstPageName(documentInZip(file)), "Mine anyway");
    document->close();
    EXPECT_EQ(workingCopiesOf(file).size(), 1u);
  }
}

// A file another tool zipped carries no identity of its own: it finds its working copy by the
// record of the file, at every opening after a crash, after a revert too, and keeps one.
TEST_F(Recovery, AFileZippedByAnotherToolComesBackEditedAfterACrash) {
  auto source = testenv::freshFolder("zipped");
  writeProject(source, "Zipped");
  auto file = dir / "Zipped.korvelx";
  ASSERT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + file.string() + "' ."), 0);
  auto document = open(file);
  ASSERT_TRUE(document);
  editAndWrite(*document, "Edited once");
  crashAndStart(document);
  expectEditedAcrossCrashes(file, "Zipped", "Edited once", 2);
  expectEditsAfterARevertComeBack(open(file), file, "Zipped");
}

// Revert onto a file found damaged fails and changes nothing; saved anyway, the edits are in the
// file, and no later opening speaks of unsaved edits from an earlier session.
TEST_F(Recovery, ARevertThatFailsLeavesNoAlarmOfUnsavedEdits) {
  auto file = makeDocument(dir / "Damaged.korvelx", "Saved");
  auto document = open(file);
  ASSERT_TRUE(document);
  editAndWrite(*document, "Unsaved here");
  std::ofstream(file, std::ios::binary | std::ios::trunc) << "no zip at all";
  auto before = setAsideCopies();
  auto alerts = person().alertsShown.size();
  person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Revert"
  person().alertAnswers.push_back(Alert::firstButtonReturn);   // "OK" to the failure
  EXPECT_TRUE(saveAndWait(*document, file, KXDocument::zipType, 0));
  ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
  ASSERT_EQ(person().alertsShown.size(), alerts + 2);
  EXPECT_EQ(person().alertsShown.back().messageText, "The document \u201cDamaged\u201d could not be reverted.");
  EXPECT_EQ(setAsideCopies(), before);
  EXPECT_TRUE(document->isDocumentEdited());
  EXPECT_EQ(firstPageName(pageState(*document)), "Unsaved here");

  person().alertAnswers.push_back(Alert::thirdButtonReturn);  // "Save Anyway"
  auto error = saveAndWait(*document, file, KXDocument::zipType, 0);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(firstPageName(documentInZip(file)), "Unsaved here");
  crashAndStart(document);
  expectNoAlertAtOpening(file);
}

// A revert that reads part of a file and then finds it damaged (a good code file, then a design
// that fails its check) puts the working copy back as it was: the window, the working copy and
// the alert all keep the unsaved edits, and a save writes them whole, none of the other file.
TEST_F(Recovery, ARevertThatFailsPartWayPutsTheWorkingCopyBack) {
  for (bool askedBySave : {true, false}) {
    SCOPED_TRACE(askedBySave ? "Revert in the question of a save" : "Revert to Saved");
    auto file = makeDocument(testenv::freshFolder("blend") / "Blend.korvelx", "Saved");
    auto document = open(file);
    ASSERT_TRUE(document);
    editAndWrite(*document, "Unsaved here");
    auto workingCopy = document->container()->projectDirectory();
    ASSERT_EQ(testenv::run("python3 '" KORVEL_TEST_DATA "/damaged_after_good.py' '" + file.string() + "' Theirs"), 0);
    fsys::last_write_time(file, fsys::last_write_time(file) + std::chrono::seconds(5));

    auto alerts = person().alertsShown.size();
    auto copies = setAsideCopies();
    if (askedBySave) {
      person().alertAnswers.push_back(Alert::secondButtonReturn);  // "Revert"
      person().alertAnswers.push_back(Alert::firstButtonReturn);   // "OK" to the failure
      EXPECT_TRUE(saveAndWait(*document, file, KXDocument::zipType, 0));
      ASSERT_TRUE(waitFor([] { return person().alertAnswers.empty(); }));
      ASSERT_EQ(person().alertsShown.size(), alerts + 2);
      EXPECT_EQ(person().alertsShown.back().messageText, "The document \u201cBlend\u201d could not be reverted.");
    } else {
      EXPECT_FALSE(document->revert(file, document->fileType()));
    }
    // Nothing says the edits were replaced, now or once the document's messages have run.
    document->presentSetAsideMessageIfNeeded();
    RunLoop::runUntil([] { return false; }, 0.5);
    EXPECT_EQ(person().alertsShown.size(), alerts + (askedBySave ? 2 : 0));
    EXPECT_TRUE(document->isDocumentEdited());
    EXPECT_EQ(firstPageName(pageState(*document)), "Unsaved here");
    EXPECT_EQ(pageNameInFolder(workingCopy), "Unsaved here");
    EXPECT_FALSE(fsys::exists(workingCopy / "code/new.bin"));
    EXPECT_TRUE(fsys::exists(workingCopy / "code/App.tsx"));
    EXPECT_EQ(readFile(workingCopy / "README.md"), "# Saved\n");
    EXPECT_EQ(setAsideCopies(), copies) << "a copy kept aside for nothing";

    person().alertAnswers.push_back(Alert::thirdButtonReturn);  // "Save Anyway"
    auto error = saveAndWait(*document, file, KXDocument::zipType, 0);
    ASSERT_FALSE(error) << error->description();
    EXPECT_EQ(firstPageName(documentInZip(file)), "Unsaved here");
    std::string entries;
    ASSERT_EQ(testenv::run("unzip -Z1 '" + file.string() + "' | grep -v '^_project' | sort", &entries), 0);
    EXPECT_EQ(entries, "README.md\ncode/App.tsx\ndesign/document.json\n");
    ASSERT_EQ(testenv::run("unzip -tq '" + file.string() + "'"), 0);
    crashAndStart(document);
    expectNoAlertAtOpening(file);
  }
}
