// The editor's export requests through the processor: panels answered for the person, progress
// events, previews from the document's cache, and the clipboard.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "export/Bitmap.h"
#include "export/ExportPreviewCache.h"
#include "export/OstrelExporter.h"
#include "ipc/ExportPanels.h"
#include "ipc/PasteboardTypes.h"
#include "ipc/IPCTestSupport.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"
#include "platform/Xdg.h"
#include "support/TestEnvironment.h"

namespace stdfs = std::filesystem;

// The file chooser grows GLib's quark table, whose first block stays behind by design; only a
// whole stack lets the leak checker see it comes from a library's constructor.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

struct Display : ::testing::Environment {
  void SetUp() override { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
};
const auto* display = ::testing::AddGlobalTestEnvironment(new Display);

class Document : public ipctest::FakeDocument {
 public:
  ExportPreviewCache& exportPreviewCache() override { return cache; }
  ExportPreviewCache cache;
};

struct Person {
  std::optional<stdfs::path> folder;
  bool overwrite = true, doNotShowAgain = false;
  std::vector<std::string> asked;
  std::vector<stdfs::path> startFolders;
};

class ExportRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ExportPanels::shared();
    auto& panels = ExportPanels::shared();
    panels.selectFolder = [this](ExportQualityOptions q, GtkWindow*, const stdfs::path& start,
                                 ExportPanels::PathCompletion done) {
      person.asked.push_back("folder " + std::to_string(q.rawValue));
      person.startFolders.push_back(start);
      MainQueue::async([done, f = person.folder] { done(f); });
    };
    panels.selectFile = [this](const std::string& name, ExportQualityOptions, GtkWindow*, const stdfs::path& start,
                               ExportPanels::PathCompletion done) {
      person.asked.push_back("file " + name);
      person.startFolders.push_back(start);
      MainQueue::async([done] { done(std::nullopt); });
    };
    panels.askOverwrite = [this](GtkWindow*, ExportPanels::OverwriteCompletion done) {
      person.asked.push_back("overwrite");
      MainQueue::async([done, o = person.overwrite, d = person.doNotShowAgain] { done(o, d); });
    };
    h.processor.delegate = document;
    document->project = testenv::freshFolder("project");
    Defaults::standard().remove(OstrelExporter::skipFileExistChecksKey);
  }
  void TearDown() override { ExportPanels::shared() = saved_; }

  std::vector<nlohmann::json> events(const std::string& name) {
    std::vector<nlohmann::json> out;
    for (const auto& e : h.events)
      if (e.name == name) out.push_back(e.arguments);
    return out;
  }

  ipctest::Harness h;
  std::shared_ptr<Document> document = std::make_shared<Document>();
  Person person;
  ExportPanels saved_;
};

nlohmann::json exportRequest(std::vector<std::pair<std::string, std::string>> outputs) {
  nlohmann::json j = {{"inputs", {{"1x", {{{"html", "<body style='background:#00ff00'>x</body>"}, {"width", 30}, {"height", 20}}}}}},
                      {"images", nlohmann::json::array()},
                      {"fonts", nlohmann::json::array()},
                      {"outputs", nlohmann::json::array()}};
  for (const auto& [name, type] : outputs)
    j["outputs"].push_back({{"name", name}, {"type", type}, {"keyPath", {{"scale", "1x"}, {"index", 0}}}});
  return j;
}

TEST_F(ExportRequests, ExportHTMLAsksBeforeOverwritingAndReportsToThePage) {
  person.folder = testenv::freshFolder("out");
  std::ofstream(*person.folder / "a.html") << "old";
  person.doNotShowAgain = true;
  h.request("ExportHTML", exportRequest({{"a.html", "html"}, {"a.png", "png"}}));
  ASSERT_TRUE(RunLoop::runUntil([&] { return events("ExportProgress").size() >= 4; }, 60));
  EXPECT_EQ(person.asked, (std::vector<std::string>{"folder 0", "overwrite"}));
  EXPECT_EQ(events("ExportProgress"),
            (std::vector<nlohmann::json>{{3, 0}, {3, 1}, {3, 2}, {3, 3}}));
  EXPECT_TRUE(Defaults::standard().boolValue(OstrelExporter::skipFileExistChecksKey));
  EXPECT_TRUE(stdfs::file_size(*person.folder / "a.png") > 0);

  // Now nothing asks again, even though both files exist.
  h.events.clear();
  person.asked.clear();
  h.request("ExportHTML", exportRequest({{"a.html", "html"}, {"b.html", "html"}}));
  ASSERT_TRUE(RunLoop::runUntil([&] { return events("ExportProgress").size() >= 4; }, 30));
  EXPECT_EQ(person.asked, std::vector<std::string>{"folder 0"});
}

TEST_F(ExportRequests, CancelledPanelsAndBadRequestsEndWithZero) {
  h.request("ExportHTML", exportRequest({{"only.jpg", "jpg"}}));
  ASSERT_TRUE(RunLoop::runUntil([&] { return events("ExportProgress").size() >= 2; }, 30));
  EXPECT_EQ(person.asked, std::vector<std::string>{"file only.jpg"});
  EXPECT_EQ(events("ExportProgress").back(), (nlohmann::json{0, 0}));
  h.events.clear();
  h.request("ExportHTML", nlohmann::json{{"outputs", 1}});
  RunLoop::runUntil([] { return false; }, 0.2);
  EXPECT_TRUE(events("ExportProgress").empty());
}

TEST_F(ExportRequests, PreviewsAnswerWithExistingFilesAndComeFromTheCache) {
  nlohmann::json preview = {{"html", "<body data-editor=\"a1\" style='background:#0000ff'></body>"},
                            {"width", 16}, {"height", 16}, {"type", "png"}, {"name", "p.png"}, {"requestId", "r1"}};
  h.request("ExportGeneratePreview", preview);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !events("ExportGeneratePreview").empty(); }, 60));
  auto first = events("ExportGeneratePreview")[0];
  ASSERT_EQ(first[0], "r1");
  ASSERT_TRUE(first[1].is_string());
  EXPECT_TRUE(stdfs::exists(first[1].get<std::string>()));
  EXPECT_EQ(stdfs::path(first[1].get<std::string>()).parent_path().parent_path(), document->cache.folder());

  preview["html"] = "<body data-editor=\"b2\" style='background:#0000ff'></body>";
  preview["requestId"] = "r2";
  h.request("ExportGeneratePreview", preview);  // answered at once from the cache
  ASSERT_EQ(events("ExportGeneratePreview").size(), 2u);
  EXPECT_EQ(events("ExportGeneratePreview")[1], (nlohmann::json{"r2", first[1]}));

  // A preview that cannot be written answers without a path.
  preview["width"] = 0;
  preview["requestId"] = "r3";
  h.request("ExportGeneratePreview", preview);
  ASSERT_TRUE(RunLoop::runUntil([&] { return events("ExportGeneratePreview").size() == 3; }, 30));
  EXPECT_EQ(events("ExportGeneratePreview")[2], (nlohmann::json{"r3", nullptr}));
  preview["name"] = "../p.png";
  preview["requestId"] = "r4";
  h.request("ExportGeneratePreview", preview);
  ASSERT_EQ(events("ExportGeneratePreview").size(), 4u);
  EXPECT_EQ(events("ExportGeneratePreview")[3], (nlohmann::json{"r4", nullptr}));
}

TEST_F(ExportRequests, PasteboardChangesOnlyWhenThereIsAPicture) {
  auto& pasteboard = Pasteboard::general();
  pasteboard.declareTypes({PasteboardType::string});
  pasteboard.setString("kept", PasteboardType::string);
  h.request("ExportToPasteboard", nlohmann::json{{"html", "<p>x</p>"}, {"width", 0}, {"height", 10}});
  RunLoop::runUntil([] { return false; }, 1.0);
  EXPECT_EQ(pasteboard.stringForType(PasteboardType::string), std::optional<std::string>("kept"));

  h.request("ExportToPasteboard", nlohmann::json{{"html", "<body style='background:#ff0000'></body>"}, {"width", 12}, {"height", 8}});
  ASSERT_TRUE(RunLoop::runUntil([&] { return pasteboard.dataForType(PasteboardType::png).has_value(); }, 60));
  auto bitmap = ImageEncoding::decode(*pasteboard.dataForType(PasteboardType::png));
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->width, 12);
  EXPECT_EQ(bitmap->pixel(5, 5)[0], 255);
}

// 60 references to one 16 MB image: each road refuses the page instead of building 1.3 GB.
TEST_F(ExportRequests, PagesThatInlineTooMuchAreRefusedOnEveryRoad) {
  {
    std::ofstream big(*document->project / "big.png", std::ios::binary);
    big << "\x89PNG\r\n\x1a\n";
    big.seekp(16 * 1024 * 1024 - 1);
    big.put('\0');
  }
  std::string html = "<body style='background:#00ff00'>";
  for (int i = 0; i < 60; ++i) html += "<img src=\"##base64-file:" + (*document->project / "big.png").string() + "##\">";

  auto& pasteboard = Pasteboard::general();
  pasteboard.declareTypes({PasteboardType::string});
  pasteboard.setString("kept", PasteboardType::string);
  h.request("ExportToPasteboard", nlohmann::json{{"html", html}, {"width", 12}, {"height", 8}});

  h.request("ExportGeneratePreview", nlohmann::json{{"html", html}, {"width", 16}, {"height", 16}, {"type", "png"},
                                                    {"name", "p.png"}, {"requestId", "big"}});
  ASSERT_TRUE(RunLoop::runUntil([&] { return !events("ExportGeneratePreview").empty(); }, 30));
  EXPECT_EQ(events("ExportGeneratePreview")[0], (nlohmann::json{"big", nullptr}));

  person.folder = testenv::freshFolder("out");
  auto request = exportRequest({{"a.html", "html"}, {"a.png", "png"}});
  request["inputs"]["1x"][0]["html"] = html;
  h.request("ExportHTML", request);
  ASSERT_TRUE(RunLoop::runUntil([&] { return events("ExportProgress").size() >= 5; }, 30));
  EXPECT_EQ(events("ExportProgress").back(), (nlohmann::json{0, 0}));  // the export did not complete
  EXPECT_FALSE(fs::exists(*person.folder / "a.html"));
  EXPECT_FALSE(fs::exists(*person.folder / "a.png"));
  EXPECT_EQ(pasteboard.stringForType(PasteboardType::string), std::optional<std::string>("kept"));
}

TEST_F(ExportRequests, DragPreviewOffersAFileList) {
  auto drag = Pasteboard::withName(OstrelIPCProcessor::dragPasteboardName);
  drag->declareTypes({PasteboardType::URL});
  drag->setString("file:///tmp/frame.png", PasteboardType::URL);
  h.request("ExportDragPreviewStart");
  ASSERT_TRUE(RunLoop::runUntil([&] { return drag->stringForType(PasteboardType::fileURL).has_value(); }, 30));
  EXPECT_EQ(*drag->stringForType(PasteboardType::fileURL), "file:///tmp/frame.png\r\n");
  EXPECT_EQ(*drag->stringForType(PasteboardType::URL), "file:///tmp/frame.png");
}

// Only a preview the document made leaves through a drag.
TEST(DragPreviewFile, OnlyAPlainFileOfThePreviewFolderIsDragged) {
  auto root = testenv::freshFolder("drag-preview");
  auto folder = root / "previews";
  std::filesystem::create_directories(folder / "key");
  std::ofstream(folder / "key" / "frame.png") << "png";
  std::ofstream(root / "secret.txt") << "secret";
  std::filesystem::create_symlink(root / "secret.txt", folder / "key" / "link.png");
  std::filesystem::create_directory_symlink(root, folder / "linked");
  auto file = (folder / "key" / "frame.png").string();
  struct Case {
    nlohmann::json arguments;
    bool dragged;
  } cases[] = {
      {{{"file", file}}, true},
      {{{"file", (folder / "key" / "." / "frame.png").string()}}, true},
      {{{"file", (folder / "key" / ".." / ".." / "secret.txt").string()}}, false},
      {{{"file", (root / "secret.txt").string()}}, false},
      {{{"file", (folder / "key" / "link.png").string()}}, false},
      {{{"file", (folder / "linked" / "secret.txt").string()}}, false},
      {{{"file", (folder / "key").string()}}, false},
      {{{"file", (folder / "key" / "missing.png").string()}}, false},
      {{{"file", "key/frame.png"}}, false},
      {{{"file", 7}}, false},
      {nlohmann::json::array({{{"file", file}}}), false},
      {nullptr, false},
  };
  for (const auto& c : cases) {
    auto found = OstrelIPCProcessor::previewFileToDrag(c.arguments, folder);
    EXPECT_EQ(found.has_value(), c.dragged) << c.arguments.dump();
    if (found) {
      EXPECT_EQ(*found, std::filesystem::path(file)) << c.arguments.dump();
    }
  }
  EXPECT_FALSE(OstrelIPCProcessor::previewFileToDrag({{"file", file}}, root / "missing"));
}

}  // namespace

namespace {

template <class T>
T* findToplevel(GType type) {
  T* found = nullptr;
  GList* all = gtk_window_list_toplevels();
  for (GList* it = all; it; it = it->next)
    if (G_TYPE_CHECK_INSTANCE_TYPE(it->data, type) && gtk_widget_get_visible(GTK_WIDGET(it->data)))
      found = reinterpret_cast<T*>(it->data);
  g_list_free(all);
  return found;
}

TEST(ExportPanelsGtk, QualityRowsFollowTheFormatsAndTheAlertRemembersItsCheckBox) {
  auto panels = ExportPanels::system();
  GtkWidget* parent = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_show(parent);
  std::vector<std::pair<int, std::vector<bool>>> cases = {{1, {true, false}}, {2, {false, true}}, {3, {true, true}}, {0, {}}};
  for (const auto& [raw, rows] : cases) {
    bool answered = false;
    panels.selectFolder(ExportQualityOptions{raw}, GTK_WINDOW(parent), testenv::home(),
                        [&](std::optional<stdfs::path> chosen) {
      EXPECT_FALSE(chosen);
      answered = true;
    });
    auto* dialog = findToplevel<GtkDialog>(GTK_TYPE_FILE_CHOOSER_DIALOG);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(dialog)), GTK_WINDOW(parent));
    GtkWidget* extra = gtk_file_chooser_get_extra_widget(GTK_FILE_CHOOSER(dialog));
    std::vector<bool> shown;
    if (extra) {
      GList* children = gtk_container_get_children(GTK_CONTAINER(extra));
      for (GList* it = children; it; it = it->next) shown.push_back(gtk_widget_get_visible(GTK_WIDGET(it->data)));
      g_list_free(children);
    }
    EXPECT_EQ(shown, rows) << raw;
    gtk_dialog_response(dialog, GTK_RESPONSE_CANCEL);
    EXPECT_TRUE(answered);
  }

  Defaults::standard().remove(OstrelExporter::skipFileExistChecksKey);
  for (bool check : {false, true}) {
    std::optional<std::pair<bool, bool>> answer;
    panels.askOverwrite(GTK_WINDOW(parent), [&](bool overwrite, bool again) { answer = std::make_pair(overwrite, again); });
    auto* alert = findToplevel<GtkDialog>(GTK_TYPE_MESSAGE_DIALOG);
    ASSERT_TRUE(alert);
    GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(alert));
    GList* children = gtk_container_get_children(GTK_CONTAINER(area));
    for (GList* it = children; it; it = it->next)
      if (GTK_IS_CHECK_BUTTON(it->data)) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(it->data), check);
    g_list_free(children);
    gtk_dialog_response(alert, 1000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, std::make_pair(true, check));
  }
  gtk_widget_destroy(parent);
}

TEST_F(ExportRequests, ChoosersStartBesideTheDocumentAndThePageHearsWhatWasWritten) {
  struct Filed : Document {
    std::optional<stdfs::path> file;
    std::optional<stdfs::path> documentFileURL() const override { return file; }
  };
  auto filed = std::make_shared<Filed>();
  filed->project = document->project;
  h.processor.delegate = filed;
  person.folder = testenv::freshFolder("beside");
  h.request("ExportHTML", exportRequest({{"a.html", "html"}, {"b.html", "html"}}));
  ASSERT_TRUE(RunLoop::runUntil([&] { return !events("ExportFinished").empty(); }, 60));
  EXPECT_EQ(events("ExportFinished")[0][0],
            (nlohmann::json{{"written", 2}, {"total", 2}, {"cancelled", false}}));

  filed->file = testenv::freshFolder("docs") / "Landing Page.korvelx";
  person.folder.reset();
  h.events.clear();
  h.request("ExportHTML", exportRequest({{"a.html", "html"}, {"b.html", "html"}}));
  ASSERT_TRUE(RunLoop::runUntil([&] { return !events("ExportFinished").empty(); }, 30));
  EXPECT_EQ(events("ExportFinished")[0][0], (nlohmann::json{{"written", 0}, {"total", 2}, {"cancelled", true}}));
  ASSERT_EQ(person.startFolders.size(), 2u);
  EXPECT_EQ(person.startFolders[0], xdg::documents()) << "an untitled document's chooser starts in Documents";
  EXPECT_EQ(person.startFolders[1], filed->file->parent_path());
}

TEST(ExportPanelsGtk, TheChooserStartsInTheFolderItIsGiven) {
  auto panels = ExportPanels::system();
  auto start = testenv::freshFolder("start here");
  for (bool folder : {true, false}) {
    bool answered = false;
    auto done = [&](std::optional<stdfs::path>) { answered = true; };
    if (folder) panels.selectFolder(ExportQualityOptions{0}, nullptr, start, done);
    else panels.selectFile("a.png", ExportQualityOptions{0}, nullptr, start, done);
    auto* dialog = findToplevel<GtkDialog>(GTK_TYPE_FILE_CHOOSER_DIALOG);
    ASSERT_TRUE(dialog);
    // The chooser takes its folder once it has read it.
    std::string current;
    RunLoop::runUntil([&] {
      gchar* shown = gtk_file_chooser_get_current_folder(GTK_FILE_CHOOSER(dialog));
      current = shown ? shown : "";
      g_free(shown);
      return !current.empty();
    }, 20);
    EXPECT_EQ(stdfs::path(current), start) << folder;
    gtk_dialog_response(dialog, GTK_RESPONSE_CANCEL);
    EXPECT_TRUE(answered);
  }
}

}  // namespace
