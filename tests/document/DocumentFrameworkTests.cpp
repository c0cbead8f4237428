// The document framework with a document whose reads and writes are recorded: saving,
// autosaving, closing with each answer, save as into a folder that holds files or onto a
// document open in another window, saves over a file changed on disk, and the controller's list
// of open documents.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/Alert.h"
#include "platform/BaseDocumentController.h"
#include "platform/FileSystem.h"
#include "platform/Panels.h"
#include "platform/RunLoop.h"
#include "platform/Xdg.h"
#include "support/TestEnvironment.h"

namespace fsys = std::filesystem;

namespace {

struct Answers {
  std::deque<int> alert;
  std::deque<std::optional<SavePanelResult>> save;
  std::vector<AlertSpec> shown;
};
Answers answers;

class AnsweringAlert : public Alert {
 public:
  int runModal(const AlertSpec& alert, GtkWindow*) override {
    answers.shown.push_back(alert);
    if (answers.alert.empty()) {
      ADD_FAILURE() << "Unexpected alert: " << alert.messageText;
      return firstButtonReturn;
    }
    int a = answers.alert.front();
    answers.alert.pop_front();
    return a;
  }
  void beginSheet(const AlertSpec& alert, GtkWindow* w, std::function<void(int)> completion) override {
    completion(runModal(alert, w));
  }
};

class AnsweringPanels : public Panels {
 public:
  std::vector<fsys::path> runOpenPanel(const OpenPanelOptions&, GtkWindow*) override { return {}; }
  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions&, GtkWindow*) override {
    if (answers.save.empty()) return std::nullopt;
    auto a = answers.save.front();
    answers.save.pop_front();
    return a;
  }
};

class RecordingDocument : public Document {
 public:
  struct Write {
    fsys::path url;
    SaveOperation operation;
    bool cancellable;
  };
  std::vector<Write> writes;
  std::vector<fsys::path> reads;
  std::optional<Error> failWrites;
  // Another program's write while this one is under way.
  std::function<void()> meanwhile;
  std::vector<std::optional<std::optional<fs::FileIdentity>>> targets;

  Result<void> writeSafely(const fsys::path& url, const std::string&, SaveOperation operation) override {
    writes.push_back({url, operation, autosavingIsImplicitlyCancellable()});
    targets.push_back(targetAsChecked());
    if (meanwhile) meanwhile();
    if (failWrites) return fail(*failWrites);
    std::ofstream(url) << "saved";
    return {};
  }
  Result<void> read(const fsys::path& url, const std::string&) override {
    reads.push_back(url);
    return {};
  }
  std::vector<std::string> writableTypes() const override { return {"test.doc"}; }
};

class RecordingController : public BaseDocumentController {
 public:
  RecordingController() {
    documentTypes = {{"test.doc", "Test Document", "tdoc", false}};
    defaultType = "test.doc";
  }
  Result<std::shared_ptr<Document>> makeDocument(const Path& url, const std::string& type) override {
    auto d = std::make_shared<RecordingDocument>();
    d->setFileURL(url);
    d->setFileType(type);
    d->noteFileOnDisk(url);
    if (auto r = d->read(url, type); !r) return fail(r.error());
    return std::shared_ptr<Document>(d);
  }
  Result<std::shared_ptr<Document>> makeDocument(const std::optional<Path>& url, const Path& contents,
                                                 const std::string& type) override {
    auto d = std::make_shared<RecordingDocument>();
    d->setFileURL(url);
    d->setFileType(type);
    d->setAutosavedContentsFileURL(contents);
    return std::shared_ptr<Document>(d);
  }
  Result<std::shared_ptr<Document>> makeUntitledDocument(const std::string& type) override {
    auto d = std::make_shared<RecordingDocument>();
    d->setFileType(type);
    return std::shared_ptr<Document>(d);
  }
};

class DocumentFramework : public ::testing::Test {
 protected:
  void SetUp() override {
    answers = Answers{};
    Alert::setShared(std::make_unique<AnsweringAlert>());
    Panels::setShared(std::make_unique<AnsweringPanels>());
    dir = testenv::freshFolder("framework");
    file = dir / "A.tdoc";
    std::ofstream(file) << "original";
  }
  void TearDown() override { EXPECT_TRUE(answers.alert.empty()); }

  std::shared_ptr<RecordingDocument> openFile() {
    std::shared_ptr<RecordingDocument> opened;
    controller.openDocument(file, false, [&](std::shared_ptr<Document> d, bool, std::optional<Error> e) {
      EXPECT_FALSE(e);
      opened = std::dynamic_pointer_cast<RecordingDocument>(d);
    });
    return opened;
  }

  RecordingController controller;
  fsys::path dir, file;
};

TEST_F(DocumentFramework, ASaveClearsTheEditedStateAndAnAutosaveOfADraftDoesNot) {
  auto doc = openFile();
  ASSERT_TRUE(doc);
  int notices = 0;
  auto token = doc->observeEdited([&] { ++notices; });
  doc->updateChangeCount(ChangeType::done);
  EXPECT_TRUE(doc->isDocumentEdited());
  doc->saveDocument();
  ASSERT_EQ(doc->writes.size(), 1u);
  EXPECT_EQ(doc->writes[0].operation, SaveOperation::save);
  EXPECT_FALSE(doc->isDocumentEdited());
  EXPECT_EQ(notices, 2);
  EXPECT_EQ(controller.recentDocumentURLs().front(), file);

  auto untitled = std::dynamic_pointer_cast<RecordingDocument>(*controller.openUntitledDocumentAndDisplay(false));
  untitled->updateChangeCount(ChangeType::done);
  untitled->autosave(true);
  ASSERT_EQ(untitled->writes.size(), 1u);
  EXPECT_EQ(untitled->writes[0].operation, SaveOperation::autosaveElsewhere);
  EXPECT_TRUE(untitled->writes[0].cancellable);
  EXPECT_EQ(untitled->autosavedContentsFileURL(), untitled->writes[0].url);
  EXPECT_TRUE(untitled->isDocumentEdited());
  EXPECT_FALSE(untitled->fileURL());
  auto draft = untitled->writes[0].url;
  untitled->close();
  EXPECT_FALSE(fsys::exists(draft)) << "an untitled document's draft goes when it closes";
}

TEST_F(DocumentFramework, ClosingAnEditedDocumentWithAFileSavesItWithoutAsking) {
  auto doc = openFile();
  doc->updateChangeCount(ChangeType::done);
  std::optional<bool> answer;
  doc->canClose([&](bool ok) { answer = ok; });
  ASSERT_EQ(answer, true);
  ASSERT_EQ(doc->writes.size(), 1u);
  EXPECT_EQ(doc->writes[0].operation, SaveOperation::autosaveInPlace);
  EXPECT_FALSE(doc->writes[0].cancellable);
  EXPECT_TRUE(answers.shown.empty());

  doc->updateChangeCount(ChangeType::done);
  doc->failWrites = Error("test", 7, "disk full");
  answers.alert.push_back(Alert::firstButtonReturn);  // the error's "OK"
  answer.reset();
  doc->canClose([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, false) << "a failed save keeps the document open";
}

TEST_F(DocumentFramework, ClosingAnEditedUntitledDocumentAsksAndEachAnswerDoesWhatItSays) {
  auto doc = std::dynamic_pointer_cast<RecordingDocument>(*controller.openUntitledDocumentAndDisplay(false));
  std::optional<bool> answer;
  doc->canClose([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, true) << "an untouched untitled document closes without a question";

  doc->updateChangeCount(ChangeType::done);
  answers.alert.push_back(Alert::thirdButtonReturn);
  doc->canClose([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, false);
  EXPECT_EQ(answers.shown.back().buttons, (std::vector<std::string>{"Save…", "Delete", "Cancel"}));

  answers.alert.push_back(Alert::secondButtonReturn);
  doc->canClose([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, true);
  EXPECT_TRUE(doc->writes.empty());

  answers.alert.push_back(Alert::firstButtonReturn);
  answers.save.push_back(std::nullopt);  // the save panel is cancelled
  doc->canClose([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, false);

  auto target = dir / "Saved.tdoc";
  answers.alert.push_back(Alert::firstButtonReturn);
  answers.save.push_back(SavePanelResult{target, "test.doc"});
  doc->canClose([&](bool ok) { answer = ok; });
  EXPECT_EQ(answer, true);
  ASSERT_EQ(doc->writes.size(), 1u);
  EXPECT_EQ(doc->writes[0].operation, SaveOperation::saveAs);
  EXPECT_EQ(doc->fileURL(), target);
}

TEST_F(DocumentFramework, SaveAsOverAFolderThatHoldsFilesWaitsForReplace) {
  auto doc = openFile();
  auto folder = dir / "Documents";
  fsys::create_directories(folder);
  std::ofstream(folder / "keep.txt") << "mine";
  answers.save.push_back(SavePanelResult{folder, "test.doc"});
  answers.alert.push_back(Alert::firstButtonReturn);  // "Cancel"
  doc->saveDocumentAs();
  EXPECT_TRUE(doc->writes.empty());
  EXPECT_EQ(answers.shown.back().buttons, (std::vector<std::string>{"Cancel", "Replace"}));

  auto empty = dir / "Empty";
  fsys::create_directories(empty);
  answers.save.push_back(SavePanelResult{empty / "B.tdoc", "test.doc"});
  doc->saveDocumentAs();
  ASSERT_EQ(doc->writes.size(), 1u) << "a new name asks nothing";
  EXPECT_EQ(doc->fileURL(), empty / "B.tdoc");
}

TEST_F(DocumentFramework, SaveAsOntoADocumentOpenInAnotherWindowIsRefusedHoweverItIsNamed) {
  auto held = openFile();
  held->updateChangeCount(ChangeType::done);
  auto folder = dir / "Folder";
  fsys::create_directories(folder);
  std::ofstream(folder / "C.tdoc") << "third";
  std::ofstream(dir / "B.tdoc") << "other";
  fsys::create_symlink(file, dir / "Link.tdoc");
  fsys::create_hard_link(file, dir / "Hard.tdoc");
  std::shared_ptr<RecordingDocument> saving, inFolder;
  controller.openDocument(dir / "B.tdoc", false, [&](std::shared_ptr<Document> d, bool, std::optional<Error>) {
    saving = std::dynamic_pointer_cast<RecordingDocument>(d);
  });
  controller.openDocument(folder / "C.tdoc", false, [&](std::shared_ptr<Document> d, bool, std::optional<Error>) {
    inFolder = std::dynamic_pointer_cast<RecordingDocument>(d);
  });
  ASSERT_TRUE(saving && inFolder);
  saving->updateChangeCount(ChangeType::done);

  const std::string openInA = "is open in the window \u201cA\u201d.";
  struct Case {
    fsys::path target;
    std::string says;
  } cases[] = {
      {file, "\u201cA.tdoc\u201d " + openInA},
      {dir / "." / "Folder" / ".." / "A.tdoc", "\u201cA.tdoc\u201d " + openInA},
      {dir / "Link.tdoc", "\u201cLink.tdoc\u201d " + openInA},
      {dir / "Hard.tdoc", "\u201cHard.tdoc\u201d " + openInA},
      {folder, "\u201cFolder\u201d holds \u201cC.tdoc\u201d, which is open in the window \u201cC\u201d."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    answers.save.push_back(SavePanelResult{c.target, "test.doc"});
    answers.alert.push_back(Alert::firstButtonReturn);  // "OK"
    std::optional<Error> result;
    saving->saveDocumentAs([&](std::optional<Error> e) { result = e; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, 3072);
    EXPECT_EQ(answers.shown.back().messageText, c.says);
    EXPECT_TRUE(answers.shown.back().buttons.empty());
  }
  // A save that comes without the panel is held to the same.
  answers.alert.push_back(Alert::firstButtonReturn);
  saving->save(dir / "Hard.tdoc", "test.doc", SaveOperation::saveAs, {});
  // The file the open document names, although it moved away meanwhile.
  fsys::rename(file, dir / "Moved.tdoc");
  answers.save.push_back(SavePanelResult{file, "test.doc"});
  answers.alert.push_back(Alert::firstButtonReturn);
  saving->saveDocumentAs();
  EXPECT_EQ(answers.shown.size(), std::size(cases) + 2);

  EXPECT_TRUE(saving->writes.empty());
  EXPECT_EQ(saving->fileURL(), dir / "B.tdoc");
  EXPECT_TRUE(saving->isDocumentEdited() && held->isDocumentEdited());
  std::ifstream in(dir / "Moved.tdoc");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "original");

  // Its own file, and a new name beside the others, are no open document's.
  answers.save.push_back(SavePanelResult{dir / "B.tdoc", "test.doc"});
  saving->saveDocumentAs();
  answers.save.push_back(SavePanelResult{dir / "New.tdoc", "test.doc"});
  saving->saveDocumentAs();
  EXPECT_EQ(saving->writes.size(), 2u);
}

TEST_F(DocumentFramework, ASaveOverAFileChangedOnDiskAsksAndEachAnswerDoesWhatItSays) {
  auto doc = openFile();
  auto contents = [&] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  // The document's own saves, one after the other, are no change by another.
  for (int i = 0; i < 3; ++i) {
    doc->updateChangeCount(ChangeType::done);
    if (i == 2) doc->autosave(false);
    else doc->saveDocument();
  }
  EXPECT_EQ(doc->writes.size(), 3u);
  EXPECT_TRUE(answers.shown.empty());

  struct Writer {
    const char* how;
    std::function<void()> write;
  } writers[] = {
      {"in place, another size", [&] { std::ofstream(file) << "their version"; }},
      {"in place, the same size, later",
       [&] {
         std::ofstream(file) << "THEIR";
         fsys::last_write_time(file, fsys::last_write_time(file) + std::chrono::seconds(2));
       }},
      {"replaced by a new file",
       [&] {
         std::ofstream(dir / "new") << "their version";
         fsys::rename(dir / "new", file);
       }},
      // As a copy that keeps times does: only the change time tells.
      {"in place, the same size, the time set back",
       [&] {
         auto size = fsys::file_size(file);
         auto time = fsys::last_write_time(file);
         std::ofstream(file) << std::string(size, 'T');
         fsys::last_write_time(file, time);
       }},
  };
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer.how);
    writer.write();
    auto theirs = contents();
    auto writes = doc->writes.size();
    auto reads = doc->reads.size();

    // A timed autosave gives way without a word.
    doc->updateChangeCount(ChangeType::done);
    doc->autosave(true);
    EXPECT_EQ(doc->writes.size(), writes);

    std::optional<Error> result;
    answers.alert.push_back(Alert::firstButtonReturn);  // "Cancel"
    doc->saveDocument([&](std::optional<Error> e) { result = e; });
    ASSERT_TRUE(result);
    EXPECT_EQ(result->code, 3072);
    EXPECT_EQ(answers.shown.back().messageText, "\u201cA.tdoc\u201d has changed on disk since you opened or saved it.");
    EXPECT_EQ(answers.shown.back().buttons, (std::vector<std::string>{"Cancel", "Revert", "Save Anyway"}));
    EXPECT_EQ(doc->writes.size(), writes);
    EXPECT_TRUE(doc->isDocumentEdited());
    EXPECT_EQ(contents(), theirs);

    answers.alert.push_back(Alert::secondButtonReturn);  // "Revert"
    doc->saveDocument();
    EXPECT_EQ(doc->writes.size(), writes);
    EXPECT_EQ(doc->reads.size(), reads + 1);
    EXPECT_FALSE(doc->isDocumentEdited());
    EXPECT_EQ(contents(), theirs);
    // What was read again is the document's own from now on.
    doc->updateChangeCount(ChangeType::done);
    doc->saveDocument();
    EXPECT_EQ(doc->writes.size(), writes + 1);
    EXPECT_EQ(contents(), "saved");

    // Closing asks too; Save Anyway writes.
    writer.write();
    doc->updateChangeCount(ChangeType::done);
    answers.alert.push_back(Alert::thirdButtonReturn);  // "Save Anyway"
    std::optional<bool> closes;
    doc->canClose([&](bool ok) { closes = ok; });
    EXPECT_EQ(closes, true);
    EXPECT_EQ(doc->writes.size(), writes + 2);
    EXPECT_EQ(contents(), "saved");
    EXPECT_FALSE(doc->isDocumentEdited());
  }
  // A file that is gone has nothing to lose: the save puts it back.
  auto shown = answers.shown.size();
  fsys::remove(file);
  doc->updateChangeCount(ChangeType::done);
  doc->saveDocument();
  EXPECT_EQ(contents(), "saved");
  EXPECT_EQ(answers.shown.size(), shown);
}

// The writer is told what the save looked at; when it refuses to replace what another program
// wrote meanwhile, the person reads why, the edits stay unsaved and the next save asks.
TEST_F(DocumentFramework, AWriteRefusedForAChangeMeanwhileLeavesTheNextSaveToAsk) {
  auto doc = openFile();
  auto contents = [&] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  doc->updateChangeCount(ChangeType::done);
  auto before = fs::fileIdentity(file);
  doc->saveDocument();
  ASSERT_EQ(doc->targets.size(), 1u);
  EXPECT_EQ(doc->targets[0], std::optional(before));
  answers.save.push_back(SavePanelResult{dir / "New.tdoc", "test.doc"});
  doc->saveDocumentAs();
  ASSERT_EQ(doc->targets.size(), 2u);
  EXPECT_EQ(doc->targets[1], std::optional<std::optional<fs::FileIdentity>>(std::in_place));  // nothing was there
  file = dir / "New.tdoc";

  doc->updateChangeCount(ChangeType::done);
  doc->meanwhile = [&] { std::ofstream(file) << "their version"; };
  doc->failWrites = Error(fs::ChangedMeanwhileErrorDomain, 1, "changed meanwhile");
  answers.alert.push_back(Alert::firstButtonReturn);  // the error's "OK"
  std::optional<Error> result;
  doc->saveDocument([&](std::optional<Error> e) { result = e; });
  ASSERT_TRUE(result);
  EXPECT_TRUE(fs::isChangedMeanwhile(*result));
  EXPECT_EQ(answers.shown.back().messageText, "The document \u201cNew\u201d could not be saved.");
  EXPECT_EQ(answers.shown.back().informativeText,
            "Another program wrote \u201cNew.tdoc\u201d while it was being saved, so it was left as that program "
            "wrote it. Save again to choose which version to keep.");
  EXPECT_TRUE(doc->isDocumentEdited());
  EXPECT_EQ(contents(), "their version");

  doc->meanwhile = nullptr;
  doc->failWrites.reset();
  auto writes = doc->writes.size();
  answers.alert.push_back(Alert::firstButtonReturn);  // "Cancel"
  doc->saveDocument();
  EXPECT_EQ(answers.shown.back().messageText, "\u201cNew.tdoc\u201d has changed on disk since you opened or saved it.");
  EXPECT_EQ(doc->writes.size(), writes);
  EXPECT_EQ(contents(), "their version");
}

// A write that fails for a reason of its own while another program writes the file (a copy
// from the file that ends early as it is rewritten shorter) takes nothing for read: the next
// save asks.
TEST_F(DocumentFramework, AWriteThatFailsWhileAnotherProgramWritesLeavesTheNextSaveToAsk) {
  auto contents = [&] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  struct Writer {
    const char* how;
    std::function<void(const fsys::path&)> write;
  } writers[] = {
      {"in place, shorter", [](const fsys::path& f) { std::ofstream(f) << "the"; }},
      {"in place, the same size, the time set back",
       [](const fsys::path& f) {
         auto size = fsys::file_size(f);
         auto time = fsys::last_write_time(f);
         std::ofstream(f) << std::string(size, 'T');
         fsys::last_write_time(f, time);
       }},
  };
  for (const auto& writer : writers) {
    SCOPED_TRACE(writer.how);
    std::ofstream(file) << "original";
    auto doc = openFile();
    doc->updateChangeCount(ChangeType::done);
    doc->meanwhile = [&] { writer.write(file); };
    doc->failWrites = Error("com.korvel.zip", 11, "the archive ended early");
    answers.alert.push_back(Alert::firstButtonReturn);  // the error's "OK"
    std::optional<Error> result;
    doc->saveDocument([&](std::optional<Error> e) { result = e; });
    ASSERT_TRUE(result);
    EXPECT_EQ(answers.shown.back().messageText, "The document \u201cA\u201d could not be saved.");
    auto theirs = contents();
    EXPECT_TRUE(doc->isDocumentEdited());

    doc->meanwhile = nullptr;
    doc->failWrites.reset();
    auto writes = doc->writes.size();
    answers.alert.push_back(Alert::firstButtonReturn);  // "Cancel"
    doc->saveDocument();
    EXPECT_EQ(answers.shown.back().messageText, "\u201cA.tdoc\u201d has changed on disk since you opened or saved it.");
    EXPECT_EQ(doc->writes.size(), writes);
    EXPECT_EQ(contents(), theirs);
    EXPECT_TRUE(doc->isDocumentEdited());
    doc->close();
  }
}

TEST_F(DocumentFramework, OpeningAnOpenFileBringsBackTheSameDocument) {
  auto first = openFile();
  bool wasOpen = false;
  std::shared_ptr<Document> second;
  controller.openDocument(dir / "." / "A.tdoc", false, [&](std::shared_ptr<Document> d, bool open, std::optional<Error>) {
    second = d;
    wasOpen = open;
  });
  EXPECT_EQ(second, first);
  EXPECT_TRUE(wasOpen);
  EXPECT_EQ(controller.documents().size(), 1u);
  EXPECT_EQ(first->reads.size(), 1u);
  first->close();
  EXPECT_TRUE(controller.documents().empty());
}

TEST_F(DocumentFramework, TypesComeFromTheExtension) {
  EXPECT_EQ(controller.typeForContents(file).value_or(""), "test.doc");
  std::ofstream(dir / "notes.txt") << "x";
  EXPECT_FALSE(controller.typeForContents(dir / "notes.txt"));
  EXPECT_FALSE(controller.typeForContents(dir / "missing.tdoc"));
}

TEST_F(DocumentFramework, ErrorsShowTheirReasonAndRecoveryOptions) {
  Error error("test", 12, "raw");
  error.with("NSLocalizedFailureReason", "Made by a later version.").with("NSLocalizedRecoveryOptions", "Check\nOK");
  answers.alert.push_back(Alert::firstButtonReturn);
  controller.presentError(error);
  ASSERT_EQ(answers.shown.size(), 1u);
  EXPECT_EQ(answers.shown[0].messageText, "Made by a later version.");
  EXPECT_EQ(answers.shown[0].buttons, (std::vector<std::string>{"Check", "OK"}));
}

}  // namespace

namespace {
int untitledNumberOf(const Document& document) {
  auto name = document.displayName();
  if (name == "Untitled") return 1;
  return name.rfind("Untitled ", 0) == 0 ? std::stoi(name.substr(9)) : -1;
}
}  // namespace

TEST_F(DocumentFramework, UntitledNumbersCountUntitledDocumentsOnlyAndACopyIsNamedAfterItsOriginal) {
  auto first = *controller.openUntitledDocumentAndDisplay(false);
  int before = untitledNumberOf(*first);
  ASSERT_GT(before, 0);
  auto opened = openFile();
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->displayName(), "A");
  auto second = *controller.openUntitledDocumentAndDisplay(false);
  EXPECT_EQ(untitledNumberOf(*second), before + 1) << "opening a file took an untitled number";

  std::optional<Result<std::shared_ptr<Document>>> copy;
  opened->duplicate([&](Result<std::shared_ptr<Document>> made) { copy = std::move(made); });
  ASSERT_TRUE(RunLoop::runUntil([&] { return copy.has_value(); }, 30));
  ASSERT_TRUE(*copy);
  EXPECT_EQ((**copy)->displayName(), "A copy");
  EXPECT_EQ(Document::nameInDraftURL(*(**copy)->autosavedContentsFileURL()), "A copy") << "a crash forgot its name";
  auto third = *controller.openUntitledDocumentAndDisplay(false);
  EXPECT_EQ(untitledNumberOf(*third), before + 2) << "a copy took an untitled number";
  for (auto& d : std::vector<std::shared_ptr<Document>>{first, opened, second, **copy, third}) d->close();
}

TEST_F(DocumentFramework, DraftsLeftByAnEarlierSessionComeBackEditedOnce) {
  auto folder = Document::draftFolder();
  fsys::create_directories(folder);
  struct Draft {
    std::string name;
    bool reopened;
    std::string displayName;
  };
  const Draft drafts[] = {
      {"Untitled 3 (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).tdoc", true, ""},
      {"Landing Page example (11111111-2222-3333-4444-555555555555).tdoc", true, "Landing Page example"},
      {"Notes.tdoc", false, ""},                                      // not named as a draft
      {"Untitled (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).txt", false, ""},  // no document type
  };
  for (const auto& d : drafts) std::ofstream(folder / d.name) << "draft";
  fsys::create_directories(folder / "Korvel-0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0 (x).tdoc");

  EXPECT_EQ(controller.reopenAutosavedDrafts(), 2u);
  for (const auto& d : drafts) {
    auto it = std::find_if(controller.documents().begin(), controller.documents().end(),
                           [&](const auto& doc) { return doc->autosavedContentsFileURL() == folder / d.name; });
    ASSERT_EQ(it != controller.documents().end(), d.reopened) << d.name;
    if (!d.reopened) continue;
    EXPECT_TRUE((*it)->isDocumentEdited()) << d.name;
    EXPECT_FALSE((*it)->fileURL()) << d.name;
    if (!d.displayName.empty()) EXPECT_EQ((*it)->displayName(), d.displayName);
    else EXPECT_GT(untitledNumberOf(**it), 0) << (*it)->displayName();
  }
  EXPECT_EQ(controller.reopenAutosavedDrafts(), 0u) << "a draft already open came back twice";
  auto open = controller.documents();
  for (auto& d : open) d->close();
  for (const auto& d : drafts) fsys::remove(folder / d.name);
}

TEST(DraftNames, TheNameADraftWasMadeFor) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"Untitled 3 (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).korvelx", "Untitled 3"},
      {"A (b) (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).korvelx", "A (b)"},
      {" (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).korvelx", std::nullopt},
      {"Untitled (not-a-uuid-at-all-but-36-characters-).korvelx", std::nullopt},
      {"Untitled.korvelx", std::nullopt},
      {"(0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0)", std::nullopt},
  };
  for (const auto& [file, name] : cases) EXPECT_EQ(Document::nameInDraftURL(file), name) << file;
}

TEST_F(DocumentFramework, ASaveThatFailsSaysWhatHappenedAndWhere) {
  auto doc = openFile();
  ASSERT_TRUE(doc);
  Error low("ZZErrorDomain", 7, "no temporary file for the update");
  low.withUnderlying(Error::posix(EACCES, dir.string()));
  doc->failWrites = low;
  answers.alert.push_back(Alert::firstButtonReturn);
  doc->saveDocument();
  ASSERT_EQ(answers.shown.size(), 1u);
  EXPECT_EQ(answers.shown[0].messageText, "The document “A” could not be saved.");
  EXPECT_EQ(answers.shown[0].informativeText,
            "You don't have permission to save in “" + dir.filename().string() + "”.");
  EXPECT_EQ(answers.shown[0].informativeText.find("temporary"), std::string::npos);
  doc->close();
}

TEST_F(DocumentFramework, AnErrorWithoutWordsNeverShowsItsLogMessage) {
  Error low("ZZErrorDomain", 7, "no temporary file for the update");
  answers.alert.push_back(Alert::firstButtonReturn);
  controller.presentError(low);
  ASSERT_EQ(answers.shown.size(), 1u);
  EXPECT_EQ(answers.shown[0].messageText, "The operation couldn't be completed.");
  EXPECT_EQ(answers.shown[0].informativeText.find("temporary"), std::string::npos);
}

TEST_F(DocumentFramework, SaveAsStartsBesideTheFileOrInDocuments) {
  struct StartRecorder : Panels {
    std::vector<std::optional<fsys::path>> starts;
    std::vector<fsys::path> runOpenPanel(const OpenPanelOptions&, GtkWindow*) override { return {}; }
    std::optional<SavePanelResult> runSavePanel(const SavePanelOptions& options, GtkWindow*) override {
      starts.push_back(options.directory);
      return std::nullopt;
    }
  };
  auto recorder = std::make_unique<StartRecorder>();
  auto* starts = &recorder->starts;
  Panels::setShared(std::move(recorder));
  auto untitled = *controller.openUntitledDocumentAndDisplay(false);
  untitled->saveDocumentAs();
  auto opened = openFile();
  ASSERT_TRUE(opened);
  opened->saveDocumentAs();
  ASSERT_EQ(starts->size(), 2u);
  EXPECT_EQ((*starts)[0], xdg::documents()) << "never the process's working folder";
  EXPECT_EQ((*starts)[1], dir);
  untitled->close();
  opened->close();
}
