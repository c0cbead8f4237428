// Every question a document asks, answered with Escape or by closing its window, on a display
// of the test's own under openbox, with the toolkit's alerts and the library sheet: nothing is
// replaced, reverted, overwritten, deleted or updated, and the edits stay in the window.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fstream>
#include <functional>

#include "DocumentTestSupport.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "document/UpdateLibraryWindowController.h"
#include "document/storage/KXDocumentContainer.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/RunLoop.h"
#include "support/PrivateDesktop.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

// The ways a person answers a question without pressing any of its buttons.
struct Way {
  const char* name;
  const char* keys;  // xdotool's names
} const ways[] = {{"Escape", "Escape"}, {"the window's close", "alt+F4"}};

GtkWindow* shownQuestion() {
  GtkWindow* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* it = windows; it; it = it->next)
    if (GTK_IS_MESSAGE_DIALOG(it->data) && gtk_widget_get_mapped(GTK_WIDGET(it->data))) found = GTK_WINDOW(it->data);
  g_list_free(windows);
  return found;
}

// The save panel is the person's: it names the place it is given.
class ChosenPlace : public Panels {
 public:
  std::vector<fsys::path> runOpenPanel(const OpenPanelOptions&, GtkWindow*) override { return {}; }
  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions&, GtkWindow*) override {
    if (person().saveAnswers.empty()) return std::nullopt;
    auto answer = person().saveAnswers.front();
    person().saveAnswers.pop_front();
    return answer;
  }
};

class Questions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = testenv::PrivateDesktop::startOrTell();
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
    setUpDocumentTest();
    installGtkPersonInterfaces();
    Panels::setShared(std::make_unique<ChosenPlace>());
    controller = std::make_unique<DocumentController>();
    controller->setAutosavingDelay(0);
    dir = testenv::freshFolder("questions");
    fsys::create_directories(dir / ".git");
    std::ofstream(dir / ".gitignore") << ".cache\n.backups\n.npmrc\nnode_modules\n*.korvelxproj\n";
  }
  void TearDown() override {
    if (answering) g_source_remove(answering);
    if (!controller) return;
    for (auto& d : controller->documents()) d->close();
    controller.reset();
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  fsys::path makeDocument(const std::string& name, const std::string& pageName) {
    auto source = testenv::freshFolder("source");
    writeProject(source, pageName);
    makeZip(source, dir / name);
    return dir / name;
  }

  // A document on screen with an edit that has reached its working copy.
  std::shared_ptr<KXDocument> openAndEdit(const fsys::path& file) {
    auto document = openWith(*controller, file);
    if (!document || !waitForEditor(*document)) return nullptr;
    EXPECT_TRUE(waitFor([&] { return gtk_window_is_active(document->windowForSheet()); }, 30));
    EXPECT_TRUE(editPage(*document, "Unsaved here"));
    EXPECT_TRUE(writeChangesAndWait(*document));
    return document;
  }

  // Once a question has the keyboard, the person answers it `way`; the main loop runs meanwhile,
  // so a question that holds it in a loop of its own is answered too.
  void answerNextQuestion(const Way& w) {
    way = &w;
    answered = false;
    answering = g_timeout_add(100, +[](gpointer data) -> gboolean {
      auto* self = static_cast<Questions*>(data);
      GtkWindow* question = shownQuestion();
      if (!question || !gtk_window_is_active(question)) return G_SOURCE_CONTINUE;
      EXPECT_EQ(testenv::xdotool(std::string("key ") + self->way->keys), 0);
      self->answered = true;
      self->answering = 0;
      return G_SOURCE_REMOVE;
    }, this);
  }

  void expectEditsInTheWindow(KXDocument& document) {
    EXPECT_TRUE(document.isDocumentEdited());
    EXPECT_EQ(firstPageName(pageState(document)), "Unsaved here");
  }

  static std::vector<fsys::path> setAsideCopies() {
    std::vector<fsys::path> found;
    std::error_code ec;
    for (const auto& item : fsys::directory_iterator(KXDocumentContainer::baseDirectory(), ec))
      if (item.path().filename().string().find(KXDocumentContainer::setAsideInfix) != std::string::npos)
        found.push_back(item.path());
    return found;
  }

  static inline bool desktop = false;
  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  const Way* way = nullptr;
  bool answered = false;
  guint answering = 0;
};

TEST_F(Questions, ASaveOverAFileChangedOnDiskIsCancelled) {
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    auto file = makeDocument(std::string("Changed ") + w.keys + ".korvelx", "Saved");
    auto document = openAndEdit(file);
    ASSERT_TRUE(document);
    makeDocument(file.filename().string(), "Changed elsewhere");
    auto theirs = readFile(file);
    auto copies = setAsideCopies().size();
    answerNextQuestion(w);
    EXPECT_TRUE(saveAndWait(*document, file, KXDocument::zipType, 0)) << "the save went on";
    EXPECT_TRUE(answered);
    EXPECT_FALSE(shownQuestion());
    EXPECT_TRUE(readFile(file) == theirs) << "the file was replaced";
    EXPECT_EQ(setAsideCopies().size(), copies) << "reverted";
    expectEditsInTheWindow(*document);
    document->close();
  }
}

TEST_F(Questions, ASaveAsOntoAnExistingFileIsCancelled) {
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    auto file = makeDocument(std::string("Mine ") + w.keys + ".korvelx", "Saved");
    auto other = makeDocument(std::string("Other ") + w.keys + ".korvelx", "Other");
    auto mine = readFile(file);
    auto theirs = readFile(other);
    auto document = openAndEdit(file);
    ASSERT_TRUE(document);
    person().saveAnswers.push_back(SavePanelResult{other, KXDocument::zipType});
    answerNextQuestion(w);
    std::optional<std::optional<Error>> result;
    document->saveDocumentAs([&](std::optional<Error> error) { result = error; });
    ASSERT_TRUE(waitFor([&] { return result.has_value(); }, 60));
    EXPECT_TRUE(*result) << "the Save As went on";
    EXPECT_TRUE(answered);
    EXPECT_TRUE(readFile(other) == theirs) << "the other file was replaced";
    EXPECT_TRUE(readFile(file) == mine) << "the document's own file changed";
    EXPECT_EQ(document->fileURL(), std::optional(file));
    expectEditsInTheWindow(*document);
    document->close();
  }
}

TEST_F(Questions, RevertToSavedIsCancelled) {
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    auto file = makeDocument(std::string("Revert ") + w.keys + ".korvelx", "Saved");
    auto saved = readFile(file);
    auto document = openAndEdit(file);
    ASSERT_TRUE(document);
    answerNextQuestion(w);
    document->revertDocumentToSaved();
    ASSERT_TRUE(waitFor([&] { return answered && !shownQuestion(); }, 60));
    RunLoop::runUntil([] { return false; }, 0.5);
    EXPECT_TRUE(readFile(file) == saved) << "the file changed";
    expectEditsInTheWindow(*document);
    document->close();
  }
}

TEST_F(Questions, ClosingANewDocumentIsCancelled) {
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    auto made = controller->openUntitledDocumentAndDisplay(true);
    ASSERT_TRUE(made) << made.error().description();
    auto document = std::dynamic_pointer_cast<KXDocument>(*made);
    ASSERT_TRUE(document && waitForEditor(*document));
    ASSERT_TRUE(waitFor([&] { return gtk_window_is_active(document->windowForSheet()); }, 30));
    ASSERT_TRUE(editPage(*document, "Unsaved here"));
    ASSERT_TRUE(writeChangesAndWait(*document));
    auto workingCopy = document->container()->projectDirectory();
    answerNextQuestion(w);
    std::optional<bool> closes;
    document->canClose([&](bool ok) { closes = ok; });
    ASSERT_TRUE(waitFor([&] { return closes.has_value(); }, 60));
    EXPECT_FALSE(*closes) << "the new document was deleted";
    EXPECT_TRUE(answered);
    EXPECT_TRUE(fsys::exists(workingCopy / "design" / "document.json"));
    expectEditsInTheWindow(*document);
    document->close();
  }
}

TEST_F(Questions, AddingSettingsToAGitRepositoryIsCancelled) {
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    auto repository = testenv::freshFolder(std::string("repository ") + w.keys);
    fsys::create_directories(repository / ".git");
    std::ofstream(repository / ".gitignore") << "node_modules\n";
    auto ignored = readFile(repository / ".gitignore");
    writeProject(repository / "Folder", "Folder");
    answerNextQuestion(w);
    auto document = openWith(*controller, repository / "Folder");
    ASSERT_TRUE(document);
    ASSERT_TRUE(waitFor([&] { return answered && !shownQuestion(); }, 60));
    RunLoop::runUntil([] { return false; }, 0.5);
    EXPECT_EQ(readFile(repository / ".gitignore"), ignored);
    EXPECT_FALSE(fsys::exists(repository / "Folder" / ".gitignore"));
    document->close();
  }
}

TEST_F(Questions, TheLibrarySheetUpdatesNothing) {
  for (const auto& w : ways) {
    SCOPED_TRACE(w.name);
    GtkWidget* parent = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(parent), 600, 400);
    gtk_widget_show(parent);
    UpdateLibraryWindowController sheet;
    int updates = 0;
    sheet.updateFunction = [&] {
      ++updates;
      return true;
    };
    sheet.libraryVersion = LibraryVersion("1.0.0", "2.0.0", false);
    sheet.updateWindowForLibrary();
    std::optional<int> response;
    sheet.beginSheet(GTK_WINDOW(parent), [&](int r) { response = r; });
    ASSERT_TRUE(waitFor([&] { return gtk_window_is_active(sheet.window()); }, 30));
    ASSERT_EQ(testenv::xdotool(std::string("key ") + w.keys), 0);
    ASSERT_TRUE(waitFor([&] { return response.has_value(); }, 30));
    EXPECT_EQ(*response, UpdateLibraryWindowController::responseAbort);
    EXPECT_EQ(updates, 0);
    EXPECT_TRUE(gtk_widget_get_visible(parent)) << "the window under the sheet closed";
    gtk_widget_destroy(parent);
  }
}

}  // namespace
