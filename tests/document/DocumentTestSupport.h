#pragma once
// Documents under the virtual display: the stand-in editor and project server, a person who
// answers alerts and panels from a script, projects made as folders and as zips through the
// zip library, and waits on the main loop.

#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

typedef struct _GtkWidget GtkWidget;

#include "platform/Alert.h"
#include "platform/Document.h"
#include "platform/Error.h"
#include "platform/Panels.h"
#include "platform/Workspace.h"
#include "support/EditorTestSupport.h"

class DocumentController;
class KXDocument;

namespace doctests {

// What the person answers next; an alert without a scripted answer fails the test.
struct Person {
  std::deque<int> alertAnswers;
  std::deque<std::optional<SavePanelResult>> saveAnswers;
  std::deque<std::vector<std::filesystem::path>> openAnswers;
  std::vector<AlertSpec> alertsShown;
};
Person& person();
// Installs the scripted person as the shared Alert and Panels.
void installPerson();
// What every document test starts from: the display, the stand-in editor, the scripted person,
// documents that may open and tracking that goes nowhere. With `quietMessaging`, the messaging
// page is reported as never loaded.
void setUpDocumentTest(bool quietMessaging = true);

// A file manager that notes what it is asked to show.
struct ShownWorkspace : Workspace {
  std::vector<std::filesystem::path>* shown;
  explicit ShownWorkspace(std::vector<std::filesystem::path>* s) : shown(s) {}
  bool openFile(const std::filesystem::path&) override { return true; }
  void activateFileViewerSelecting(const std::vector<std::filesystem::path>& items) override {
    shown->insert(shown->end(), items.begin(), items.end());
  }
};

// Recent documents kept in memory, newest first.
class ListedRecents : public RecentDocuments {
 public:
  std::vector<std::filesystem::path> urls;
  void noteNewRecentDocumentURL(const std::filesystem::path& url) override { urls.insert(urls.begin(), url); }
  std::vector<std::filesystem::path> recentDocumentURLs() const override { return urls; }
  void removeRecentDocumentURL(const std::filesystem::path& url) override { std::erase(urls, url); }
};

using guitest::initGtk;
using guitest::useStandInEditor;
using guitest::waitFor;

// Exports go to `folder` (made if missing), written over whatever is there: its panels answer
// at once.
void exportInto(const std::filesystem::path& folder);

// design/document.json with the given "version" and page name, a README and a code file.
void writeProject(const std::filesystem::path& folder, const std::string& pageName, int version = 1);
// A ".korvelx" made from `folder` through the document archive's zip backing.
void makeZip(const std::filesystem::path& folder, const std::filesystem::path& zip);
std::string readFile(const std::filesystem::path& path);
// The document JSON inside a zip, read through the zip library.
std::optional<nlohmann::json> documentInZip(const std::filesystem::path& zip);
// The stand-in page's current state (window.OstrelStandIn); none when it doesn't answer.
std::optional<nlohmann::json> pageState(KXDocument& document);
// What korvel and the editor page say of the page's start and design, for a failure's message.
std::string pageDiagnosis(KXDocument& document);
std::optional<nlohmann::json> evaluate(KXDocument& document, const std::string& script);
// Where a point of a view is on the screen.
std::pair<int, int> onScreen(GtkWidget* view, double x, double y);
// Opens `url` through the controller, as the person does; an error fails the test.
std::shared_ptr<KXDocument> openWith(DocumentController& controller, const std::filesystem::path& url);
// What an opening through the controller answered, waited for on the main loop (a file is read
// beside it).
struct OpenOutcome {
  std::shared_ptr<Document> document;
  bool wasOpen = false;
  std::optional<Error> error;
};
OpenOutcome openAndWait(DocumentController& controller, const std::filesystem::path& url, bool display = true);
// Reopens the drafts an earlier session left, as a start does, and waits until every one of them
// has been read or has failed; answers how many were reopening.
std::size_t reopenDraftsAndWait(DocumentController& controller);
// Duplicates `document` as the menu does, and waits for the copy or the error.
Result<std::shared_ptr<Document>> duplicateAndWait(Document& document);
// Waits until the document's editor page has loaded its document from the project server.
bool waitForEditor(KXDocument& document);
// Renames the first page in the editor and reports the edit, as a person's edit does.
bool editPage(KXDocument& document, const std::string& newName);

// Writes the document's changes into its working copy, as the minute's pass does, and waits for it.
bool writeChangesAndWait(KXDocument& document);
// The first page's name in a document JSON, in a project folder's; "(none)" when there is none.
std::string firstPageName(const std::optional<nlohmann::json>& document);
std::string pageNameInFolder(const std::filesystem::path& folder);

// Documents opened through a controller of their own, in a folder `dir` under version control
// that ignores what it should (so folder documents show no notice); every document closes at
// the end and every scripted answer must have been used.
class ControllerTest : public ::testing::Test {
 protected:
  ControllerTest();
  ~ControllerTest() override;
  void SetUp() override;
  void TearDown() override;
  std::unique_ptr<DocumentController> controller;
  std::filesystem::path dir;
};

// Saves with `operation` and waits for the completion; the error, if any.
std::optional<Error> saveAndWait(KXDocument& document, const std::filesystem::path& url, const std::string& type,
                                 int operation);

}  // namespace doctestss
