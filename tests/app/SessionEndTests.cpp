// The session's end (SIGTERM at a logout or a shutdown) runs the menu's quit with nobody there to
// answer: documents with a file save in place, an edited untitled one keeps its draft for the next
// start, nothing asks, and asked again it quits once.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <deque>
#include <fstream>

#include "account/LoginController.h"
#include "app/PDApplication.h"
#include "document/DocumentController.h"
#include "foundation/SharedNames.h"
#include "platform/Alert.h"
#include "platform/Defaults.h"
#include "platform/Document.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace {

namespace fsys = std::filesystem;

// A document that writes a line for each save and notes where and how.
class WritingDocument : public Document {
 public:
  WritingDocument(std::optional<Path> file, bool edited) {
    if (file) {
      setFileURL(*file);
      setFileType("com.korvel.korvelx");
      std::ofstream(*file) << "as read";
      noteFileOnDisk(*file);
    } else {
      setFileType("com.korvel.korvelx");
    }
    if (edited) updateChangeCount(ChangeType::done);
  }
  Result<void> writeSafely(const Path& url, const std::string&, SaveOperation operation) override {
    writes.emplace_back(url, operation);
    std::ofstream(url) << "with the last edit";
    return {};
  }
  Result<void> read(const Path&, const std::string&) override { return {}; }
  std::vector<std::pair<Path, SaveOperation>> writes;
};

class CountingAlert : public Alert {
 public:
  int asked = 0;
  int runModal(const AlertSpec& alert, GtkWindow*) override {
    ++asked;
    return closeResponse(alert);
  }
  void beginSheet(const AlertSpec& alert, GtkWindow* w, std::function<void(int)> done) override {
    done(runModal(alert, w));
  }
};

class SessionEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    gtk_init(nullptr, nullptr);
    Defaults::standard().setBool(UserDefaultsDataCollectionDisabledKey, true);
    auto alert = std::make_unique<CountingAlert>();
    person = alert.get();
    Alert::setShared(std::move(alert));
    PDApplication::Hooks hooks;
    hooks.quit = [this] { ++quits; };
    hooks.after = [](double, std::function<void()>) {};
    app = std::make_unique<PDApplication>(hooks);
    dir = testenv::freshFolder("session-end");
  }
  void TearDown() override {
    app.reset();
    Alert::setShared(nullptr);
  }
  std::shared_ptr<WritingDocument> add(std::optional<fsys::path> file, bool edited) {
    auto document = std::make_shared<WritingDocument>(std::move(file), edited);
    app->documentController().addDocument(document);
    return document;
  }
  std::unique_ptr<PDApplication> app;
  CountingAlert* person = nullptr;
  int quits = 0;
  fsys::path dir;
};

TEST_F(SessionEnd, EveryDocumentKeepsItsEditsWithoutAQuestionAndTheApplicationQuitsOnce) {
  struct Case {
    const char* what;
    bool hasFile;
    bool edited;
    bool changedOnDisk;
    // What is written, and whether an untitled document's draft stays.
    std::optional<SaveOperation> written;
    bool draftKept;
  };
  const Case cases[] = {
      {"an edited document with a file saves in place", true, true, false, SaveOperation::autosaveInPlace, false},
      {"a document with a file and no edit writes nothing", true, false, false, std::nullopt, false},
      {"a file another program changed is not replaced", true, true, true, std::nullopt, false},
      {"an edited untitled document writes its draft, which stays", false, true, false,
       SaveOperation::autosaveElsewhere, true},
      {"an untitled document with no edit leaves nothing", false, false, false, std::nullopt, false},
  };
  std::vector<std::shared_ptr<WritingDocument>> documents;
  int n = 0;
  for (const auto& c : cases) {
    auto document = add(c.hasFile ? std::optional(dir / ("Document " + std::to_string(++n) + ".korvelx")) : std::nullopt,
                        c.edited);
    if (c.changedOnDisk) std::ofstream(*document->fileURL()) << "written by another program meanwhile";
    documents.push_back(document);
  }

  app->endSession();
  // Asked again while it runs, and the menu's quit: the quit under way goes on alone.
  app->endSession();
  app->terminate();
  ASSERT_TRUE(RunLoop::runUntil([&] { return quits > 0; }, 30));
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(person->asked, 0) << "a question with nobody to answer it";
  EXPECT_TRUE(app->isTerminating());
  EXPECT_TRUE(app->documentController().documents().empty());

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const auto& document = documents[i];
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(document->isClosed());
    if (!c.written) {
      EXPECT_TRUE(document->writes.empty());
    } else {
      ASSERT_EQ(document->writes.size(), 1u);
      EXPECT_EQ(document->writes[0].second, *c.written);
      if (c.hasFile) {
        EXPECT_EQ(document->writes[0].first, *document->fileURL());
      }
    }
    if (c.draftKept) {
      ASSERT_FALSE(document->writes.empty());
      auto draft = document->writes[0].first;
      EXPECT_EQ(draft.parent_path(), Document::draftFolder());
      EXPECT_TRUE(fsys::exists(draft)) << "the draft went with the quit";
      fsys::remove(draft);
    }
  }
}

}  // namespace
