#include "DocumentTestSupport.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/storage/KXDocumentArchive.h"
#include "foundation/AppInfo.h"
#include "ipc/ExportPanels.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace doctests {

Person& person() {
  static Person p;
  return p;
}

namespace {

class ScriptedAlert : public Alert {
 public:
  int runModal(const AlertSpec& alert, GtkWindow*) override {
    person().alertsShown.push_back(alert);
    if (person().alertAnswers.empty()) {
      ADD_FAILURE() << "Unexpected alert: " << alert.messageText;
      return closeResponse(alert);  // dismissed: nothing changes
    }
    int answer = person().alertAnswers.front();
    person().alertAnswers.pop_front();
    return answer;
  }
  void beginSheet(const AlertSpec& alert, GtkWindow* window, std::function<void(int)> completion) override {
    int answer = runModal(alert, window);
    MainQueue::async([completion, answer] { completion(answer); });
  }
};

class ScriptedPanels : public Panels {
 public:
  std::vector<std::filesystem::path> runOpenPanel(const OpenPanelOptions&, GtkWindow*) override {
    if (person().openAnswers.empty()) return {};
    auto answer = person().openAnswers.front();
    person().openAnswers.pop_front();
    return answer;
  }
  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions&, GtkWindow*) override {
    if (person().saveAnswers.empty()) return std::nullopt;
    auto answer = person().saveAnswers.front();
    person().saveAnswers.pop_front();
    return answer;
  }
};

}  // namespace

void installPerson() {
  Alert::setShared(std::make_unique<ScriptedAlert>());
  Panels::setShared(std::make_unique<ScriptedPanels>());
  person() = Person{};
}

void setUpDocumentTest(bool quietMessaging) {
  initGtk();
  useStandInEditor();
  installPerson();
  DocumentHooks::shouldOpenDocuments = [] { return true; };
  DocumentHooks::track = [](auto&, auto&) {};
  if (quietMessaging) {
    DocumentHooks::observeIntercomLoaded = [](std::function<void(bool)> loaded) {
      loaded(false);
      return ObserverToken();
    };
  }
}

void writeProject(const std::filesystem::path& folder, const std::string& pageName, int version) {
  std::filesystem::create_directories(folder / "design" / "images");
  std::filesystem::create_directories(folder / "code");
  nlohmann::json document = {{"version", version},
                             {"pages", nlohmann::json::array({{{"id", "page-1"}, {"name", pageName}, {"layers", nlohmann::json::array()}}})}};
  std::ofstream(folder / "design" / "document.json") << JsonCoder::dump(document, JsonCoder::Style::pretty);
  std::ofstream(folder / "README.md") << "# " << pageName << "\n";
  std::ofstream(folder / "code" / "App.tsx") << "export function App() { return null }\n";
}

void makeZip(const std::filesystem::path& folder, const std::filesystem::path& zip) {
  auto source = KXDocumentArchive::open(folder, KXDocumentArchive::folderDocumentType, false, std::nullopt, false);
  ASSERT_TRUE(source) << source.error().description();
  (*source)->regenerateManifest();
  auto target = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, true, std::nullopt, true);
  ASSERT_TRUE(target) << target.error().description();
  auto reflected = (*target)->reflect(**source);
  ASSERT_TRUE(reflected) << reflected.error().description();
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::optional<nlohmann::json> documentInZip(const std::filesystem::path& zip) {
  auto archive = KXDocumentArchive::open(zip, KXDocumentArchive::zipDocumentType, false, std::nullopt, true);
  if (!archive) return std::nullopt;
  std::string text;
  DataSink sink = [&](const std::uint8_t* bytes, std::size_t count) -> Result<void> {
    text.append(reinterpret_cast<const char*>(bytes), count);
    return {};
  };
  auto reader = (*archive)->backing().dataReader(KXDocumentArchive::relativePathForDocumentJSON);
  if (!reader(sink)) return std::nullopt;
  auto parsed = JsonCoder::parse(text);
  if (!parsed) return std::nullopt;
  return *parsed;
}

std::optional<nlohmann::json> evaluate(KXDocument& document, const std::string& script) {
  return guitest::evaluate(document.ostrelViewController().webViewController().webView(), script);
}

std::optional<nlohmann::json> pageState(KXDocument& document) {
  auto text = evaluate(document, "JSON.stringify(window.OstrelStandIn ? window.OstrelStandIn.documentJSON : null)");
  if (!text || !text->is_string()) return std::nullopt;
  auto parsed = JsonCoder::parse(text->get<std::string>());
  if (!parsed) return std::nullopt;
  return *parsed;
}

std::string pageDiagnosis(KXDocument& document) {
  auto& page = document.ostrelViewController();
  auto seen = evaluate(document,
                       "JSON.stringify({at: location.href, standIn: !!window.OstrelStandIn, s: window.OstrelStandIn && "
                       "{holds: OstrelStandIn.holdsDesign, status: OstrelStandIn.designStatus, asks: "
                       "OstrelStandIn.designAsks, answers: OstrelStandIn.designAnswers, addresses: "
                       "OstrelStandIn.addresses, design: !!OstrelStandIn.documentJSON, heard: "
                       "OstrelStandIn.received.map(e => e.event).join(' ')}})");
  return "ready " + std::to_string(page.isDocumentReady()) + ", holds " + std::to_string(page.holdsDocumentDesign()) +
         ", awaiting server " + std::to_string(page.isAwaitingServer()) + ", committed " +
         page.webViewController().webView().committedURI() + ", page says " + (seen ? seen->dump() : "nothing");
}

OpenOutcome openAndWait(DocumentController& controller, const std::filesystem::path& url, bool display) {
  auto outcome = std::make_shared<std::optional<OpenOutcome>>();
  controller.openDocument(url, display, [outcome](std::shared_ptr<Document> d, bool wasOpen, std::optional<Error> error) {
    *outcome = OpenOutcome{std::move(d), wasOpen, std::move(error)};
  });
  EXPECT_TRUE(waitFor([&] { return outcome->has_value(); }, 120)) << "the opening never ended";
  return outcome->value_or(OpenOutcome{nullptr, false, Error("test", 1, "The opening never ended.")});
}

std::size_t reopenDraftsAndWait(DocumentController& controller) {
  auto reopening = controller.reopenAutosavedDrafts();
  auto drafts = Document::draftFolder();
  EXPECT_TRUE(waitFor([&] {
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(drafts, ec))
      if (controller.isOpening(item.path())) return false;
    return true;
  }, 120)) << "a draft's reading never ended";
  return reopening;
}

Result<std::shared_ptr<Document>> duplicateAndWait(Document& document) {
  auto outcome = std::make_shared<std::optional<Result<std::shared_ptr<Document>>>>();
  document.duplicate([outcome](Result<std::shared_ptr<Document>> made) { *outcome = std::move(made); });
  EXPECT_TRUE(waitFor([&] { return outcome->has_value(); }, 120)) << "the duplicate never ended";
  return outcome->value_or(fail(Error("test", 1, "The duplicate never ended.")));
}

std::shared_ptr<KXDocument> openWith(DocumentController& controller, const std::filesystem::path& url) {
  auto outcome = openAndWait(controller, url);
  EXPECT_FALSE(outcome.error) << outcome.error->description();
  return std::dynamic_pointer_cast<KXDocument>(outcome.document);
}

bool waitForEditor(KXDocument& document) {
  bool ready = waitFor([&] {
    if (!document.ostrelViewController().isDocumentReady()) return false;
    auto state = pageState(document);
    return state && state->is_object();
  }, 180);
  if (!ready) {
    // What the page says of itself tells a page that never started from one without its design.
    std::printf("The editor page never got ready: %s\n", pageDiagnosis(document).c_str());
  }
  return ready;
}

bool editPage(KXDocument& document, const std::string& newName) {
  auto done = evaluate(document, "(function(){ var s = window.OstrelStandIn; s.documentJSON.pages[0].name = " +
                                     nlohmann::json(newName).dump() + "; window._ipc.send('DocumentDirty'); return true; })()");
  if (!done) return false;
  return waitFor([&] { return document.isDocumentEdited(); }, 30);
}

std::optional<Error> saveAndWait(KXDocument& document, const std::filesystem::path& url, const std::string& type,
                                 int operation) {
  auto result = std::make_shared<std::optional<std::optional<Error>>>();
  document.save(url, type, static_cast<SaveOperation>(operation),
                [result](std::optional<Error> error) { *result = std::move(error); });
  waitFor([&] { return result->has_value(); }, 90);
  if (!result->has_value()) return Error("test", 1, "The save never completed.");
  return **result;
}

std::string firstPageName(const std::optional<nlohmann::json>& document) {
  if (!document || !document->contains("pages")) return "(none)";
  return (*document)["pages"][0].value("name", "(none)");
}

std::string pageNameInFolder(const std::filesystem::path& folder) {
  auto parsed = nlohmann::json::parse(readFile(folder / "design" / "document.json"), nullptr, false);
  return firstPageName(parsed.is_discarded() ? std::nullopt : std::optional(parsed));
}

bool writeChangesAndWait(KXDocument& document) {
  // Shared with the callback, which may come after a wait that gave up.
  auto written = std::make_shared<bool>(false);
  document.container()->writeChanges([written] { *written = true; });
  return waitFor([&] { return *written; });
}

ControllerTest::ControllerTest() = default;
ControllerTest::~ControllerTest() = default;

void ControllerTest::SetUp() {
  setUpDocumentTest();
  controller = std::make_unique<DocumentController>();
  controller->setAutosavingDelay(0);
  dir = testenv::freshFolder("documents");
  std::filesystem::create_directories(dir / ".git");
  std::ofstream(dir / ".gitignore") << ".cache\n.backups\n.npmrc\nnode_modules\n*.korvelxproj\n";
}

void ControllerTest::TearDown() {
  auto open = controller->documents();
  for (auto& d : open) d->close();
  open.clear();
  controller.reset();
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_TRUE(person().alertAnswers.empty()) << "unused answers";
}

std::pair<int, int> onScreen(GtkWidget* view, double x, double y) {
  GtkWidget* top = gtk_widget_get_toplevel(view);
  int wx = 0, wy = 0, ox = 0, oy = 0;
  gtk_widget_translate_coordinates(view, top, int(x), int(y), &wx, &wy);
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  return {ox + wx, oy + wy};
}

void exportInto(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  ExportPanels::shared().selectFolder = [folder](ExportQualityOptions, GtkWindow*, const std::filesystem::path&,
                                                 ExportPanels::PathCompletion done) {
    MainQueue::async([done, folder] { done(folder); });
  };
  ExportPanels::shared().selectFile = [folder](const std::string& name, ExportQualityOptions, GtkWindow*,
                                               const std::filesystem::path&, ExportPanels::PathCompletion done) {
    MainQueue::async([done, file = folder / name] { done(file); });
  };
  ExportPanels::shared().askOverwrite = [](GtkWindow*, ExportPanels::OverwriteCompletion done) {
    MainQueue::async([done] { done(true, false); });
  };
}

}  // namespace doctests
