// The preview window of real documents under the virtual display, with the stand-in editor
// and the stand-in project server serving the preview page.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <fstream>
#include <functional>

#include "../document/DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "foundation/SharedNames.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/NotificationCenter.h"
#include "preview/DeviceManager.h"
#include "preview/DeviceSettingsMenuController.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewMenu.h"
#include "preview/PreviewWindow.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

std::optional<nlohmann::json> evaluateIn(WebViewController& page, const std::string& script) {
  return guitest::evaluate(page.webView(), script);
}

// The page's value of `expression` as JSON.
std::optional<nlohmann::json> read(WebViewController& page, const std::string& expression) {
  return guitest::read(page.webView(), expression);
}

double contentRatio(PreviewWindowController& p) {
  int w = 0, h = 0;
  gtk_window_get_size(p.window()->window(), &w, &h);
  return h ? double(w) / h : 0;
}

class PreviewWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("preview");
  }
  void TearDown() override {
    for (auto& d : controller->documents()) d->close();
    controller.reset();
    RunLoop::runUntil([] { return false; }, 0.2);
  }

  std::shared_ptr<KXDocument> openProject() {
    auto source = dir / "source";
    writeProject(source, "Home");
    std::ofstream(source / "design" / "document.json") << R"({"version": 1, "pages": [{"id": "page-1", "name": "Home",
      "layers": [{"id": "title", "name": "title", "type": "text", "text": "Hello", "x": 10, "y": 10, "width": 320, "height": 48}]}]})";
    // The prototype throws as it starts.
    std::ofstream(source / "code" / "prototype.js") << "throw new Error('prototype broke');\n";
    makeZip(source, dir / "Project.korvelx");
    auto opened = openWith(*controller, dir / "Project.korvelx");
    EXPECT_TRUE(opened && waitForEditor(*opened));
    return opened;
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
};

TEST_F(PreviewWindows, PreviewShowsThePageAndFollowsTheDeviceMenu) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  ASSERT_TRUE(preview && preview->window());
  document->showPreviewWindow();
  EXPECT_TRUE(preview->isVisible());
  EXPECT_EQ(gtk_window_get_transient_for(preview->window()->window()), document->windowForSheet());

  auto& page = preview->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return page.isDocumentReady(); }));
  EXPECT_NE(page.webView().uri().find("/_app/resources/Ostrel/preview.html?imageBaseURL="), std::string::npos);
  ASSERT_TRUE(waitFor([&] { return document->deviceManager().descriptorForDevice("korvel-phone") != nullptr; }));
  ASSERT_TRUE(waitFor([&] { return preview->hasSelection(); }));
  // The preview shows the frame the selected layer belongs to.
  EXPECT_EQ(preview->title().rfind("Home  (", 0), 0u) << preview->title();
  // The page's own Socket.IO link shows the server's key, which the application gives its loads,
  // and is pushed the frame, which it draws.
  ASSERT_TRUE(waitFor([&] {
    auto received = read(page, "window.PreviewStandIn.received");
    return received && received->dump().find("updatePreview") != std::string::npos;
  }));
  EXPECT_TRUE(waitFor([&] { return read(page, "!!document.querySelector('#device [data-id=title]')") == true; }));

  // Once the editor listens, a reload tells it of the page's start and of the prototype's error.
  auto& editor = document->ostrelViewController().webViewController();
  int reloads = 0, catalogs = 0;
  auto reloading = NotificationCenter::defaultCenter().addObserver(PreviewReloadNotification, nullptr,
                                                                   [&](const Notification&) { ++reloads; });
  // Each page sends its device catalog as it starts, a moment after it is ready, and the device
  // menu is built again from it: its items are new ones.
  auto cataloguing = NotificationCenter::defaultCenter().addObserver(
      DevicesChangeNotification, &document->deviceManager(), [&](const Notification&) { ++catalogs; });
  auto menuItem = [&](const std::string& title) {
    std::shared_ptr<PreviewMenuItem> found;
    for (const auto& item : preview->deviceCategoriesMenu()->items())
      if (item->title == title) found = item;
    return found;
  };
  document->reloadPreview();
  // The reload is queued; the page on show is the new one once it has started and is ready.
  ASSERT_TRUE(waitFor([&] { return reloads >= 1 && page.isDocumentReady(); }));
  ASSERT_TRUE(waitFor([&] {
    auto errors = read(editor, "window.OstrelStandIn.received.filter(function (r) { return r.event === 'PreviewErrors'; })");
    return errors && errors->dump().find("prototype broke") != std::string::npos;
  })) << read(editor, "window.OstrelStandIn.received").value_or(nullptr).dump() << "\n"
      << read(page, "window.PreviewStandIn.errors").value_or(nullptr).dump() << page.webView().uri();

  // Picking the phone from the device menu, once the new page's catalog is in.
  ASSERT_TRUE(waitFor([&] { return catalogs >= 1; }));
  std::shared_ptr<PreviewMenuItem> phone = menuItem("Korvel Phone");
  ASSERT_TRUE(phone);
  ASSERT_TRUE(preview->perform(*phone));
  auto sent = read(editor, "window.OstrelStandIn.received.filter(function (r) { return r.event === 'UpdatePreviewSettings'; })");
  ASSERT_TRUE(waitFor([&] {
    sent = read(editor, "window.OstrelStandIn.received.filter(function (r) { return r.event === 'UpdatePreviewSettings'; })");
    return sent && !sent->empty();
  }));
  EXPECT_EQ((*sent)[0]["args"][1], (nlohmann::json{{"deviceType", "korvel-phone"}, {"skin", ""}, {"bezel", false}}));
  // The editor's data for the phone goes through the project server to the preview.
  ASSERT_TRUE(waitFor([&] { return preview->currentDeviceType() == "korvel-phone"; }))
      << preview->currentDeviceType() << " after "
      << read(editor, "window.OstrelStandIn.published.map(function (p) { return p.metadata.settings; })")
             .value_or(nullptr)
             .dump()
      << ", delivered " << read(editor, "window.OstrelStandIn.delivered").value_or(nullptr).dump();
  // The menu's item now, whichever catalog built it.
  ASSERT_TRUE(menuItem("Korvel Phone"));
  EXPECT_TRUE(menuItem("Korvel Phone")->checked);
  EXPECT_GE(read(editor, "window.OstrelStandIn.delivered").value_or(0).get<int>(), 1);
  EXPECT_TRUE(waitFor([&] { return std::abs(contentRatio(*preview) - 375.0 / 667) < 0.01; })) << contentRatio(*preview);

  preview->orientationButtonPressed();
  ASSERT_TRUE(waitFor([&] { return preview->deviceRotate(); }));
  EXPECT_TRUE(waitFor([&] { return std::abs(contentRatio(*preview) - 667.0 / 375) < 0.01; })) << contentRatio(*preview);
  // The page draws the rotated phone once it has the new preview data.
  EXPECT_TRUE(waitFor([&] {
    return read(page, "document.getElementById('device') && document.getElementById('device').style.width") ==
           nlohmann::json("667px");
  }));

  // Store data reaches the page as data, whatever it holds.
  nlohmann::json store = {{"note", "\");alert(1);//</script>"}};
  document->ostrelServerStoreData(store);
  EXPECT_TRUE(waitFor([&] { return read(page, "window.PreviewStandIn.storeData") == store; }));

  // A catalog that comes again (the page reloaded) builds the menu anew, the phone checked.
  int before = catalogs;
  document->reloadPreview();
  ASSERT_TRUE(waitFor([&] { return catalogs > before; }));
  EXPECT_NE(menuItem("Korvel Phone"), phone) << "a new menu";
  ASSERT_TRUE(menuItem("Korvel Phone"));
  EXPECT_TRUE(menuItem("Korvel Phone")->checked);
}

TEST_F(PreviewWindows, PackagesComeOnlyWithConsentAndAValidName) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  document->showPreviewWindow();
  auto& page = preview->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return page.isDocumentReady(); }));
  std::vector<std::string> asked;
  bool agree = false;
  KorvelViewController::packageConsent() = [&](const std::string& name) {
    asked.push_back(name);
    return agree;
  };
  auto packages = [&] {
    auto* server = document->serverController();
    return server && server->state() ? server->state()->packages : std::vector<std::string>{};
  };
  evaluateIn(page, "window._ipc.send('addPackage', 'Not A Name'); window._ipc.send('addPackage', 'left-pad'); true");
  ASSERT_TRUE(waitFor([&] { return asked.size() == 1; }));
  EXPECT_EQ(asked[0], "left-pad");
  agree = true;
  evaluateIn(page, "window._ipc.send('addPackage', '@scope/right-pad'); true");
  EXPECT_TRUE(waitFor([&] {
    auto p = packages();
    return std::find(p.begin(), p.end(), "@scope/right-pad") != p.end();
  }));
  auto p = packages();
  EXPECT_EQ(std::find(p.begin(), p.end(), "left-pad"), p.end());
  KorvelViewController::packageConsent() = nullptr;

  // Every reload is issued, one after the other.
  int reloads = 0;
  auto token = NotificationCenter::defaultCenter().addObserver(PreviewReloadNotification, nullptr,
                                                               [&](const Notification&) { ++reloads; });
  preview->korvelViewController()->reload();
  preview->korvelViewController()->reload();
  EXPECT_EQ(reloads, 2);
  EXPECT_FALSE(preview->korvelViewController()->isLoading());

  for (auto [name, valid] : std::initializer_list<std::pair<const char*, bool>>{
           {"left-pad", true}, {"@a/b", true}, {"", false}, {".hidden", false}, {"UPPER", false}, {"a b", false},
           {"../x", false}, {"@a/", false}, {"-g", false}, {"--ignore-scripts", false}, {"@scope/--force", false}})
    EXPECT_EQ(KorvelViewController::isValidPackageName(name), valid) << name;
}

// The server waits a few seconds before it listens: the editor page starts loading meanwhile,
// gets the server's addresses once it runs and then its document; the preview page, and its
// web process, wait until the preview is first shown.
TEST_F(PreviewWindows, TheEditorLoadsBesideASlowServerAndThePreviewOnlyOnceShown) {
  setenv("KORVEL_SERVER_TEST", "slow-start=5000", 1);
  struct Unset {
    ~Unset() { unsetenv("KORVEL_SERVER_TEST"); }
  } unset;
  auto source = dir / "slow";
  writeProject(source, "Slow");
  makeZip(source, dir / "Slow.korvelx");
  auto document = openWith(*controller, dir / "Slow.korvelx");
  ASSERT_TRUE(document);
  auto& editor = document->ostrelViewController();
  auto& editorView = editor.webViewController().webView();
  ASSERT_TRUE(waitFor([&] { return !editorView.uri().empty() || document->serverLocalUrl(); }));
  EXPECT_FALSE(document->serverLocalUrl()) << "the editor page waited for the server";
  EXPECT_NE(editorView.uri().find("index.html"), std::string::npos) << editorView.uri();

  ASSERT_TRUE(waitForEditor(*document));
  ASSERT_TRUE(document->serverLocalUrl());
  // The page was told once the host's link to the server was up: what it asks of the server goes through.
  EXPECT_TRUE(document->serverController() && document->serverController()->state());
  EXPECT_EQ(read(editor.webViewController(), "OstrelStandIn.addresses.projectURL"),
            nlohmann::json(*document->serverLocalUrl()));
  EXPECT_EQ(read(editor.webViewController(), "OstrelStandIn.documentJSON.pages[0].name"), nlohmann::json("Slow"));
  EXPECT_EQ(read(editor.webViewController(), "OstrelStandIn.readyWithDocument"), nlohmann::json(true))
      << "a save as soon as the page is ready would write no document";

  auto* preview = document->previewWindowController();
  ASSERT_TRUE(preview && preview->korvelViewController());
  auto& page = preview->korvelViewController()->webViewController();
  // The editor has its document and the server its preview data; the preview page still waits.
  ASSERT_TRUE(waitFor([&] { return preview->hasSelection(); }));
  EXPECT_GE(read(editor.webViewController(), "OstrelStandIn.delivered").value_or(0).get<int>(), 1)
      << "the server took the editor's preview data";
  EXPECT_FALSE(preview->isPageWanted());
  EXPECT_TRUE(page.webView().uri().empty()) << page.webView().uri();
  auto before = guitest::webProcessIds();
  document->showPreviewWindow();
  ASSERT_TRUE(waitFor([&] { return page.isDocumentReady(); }));
  // The pane is drawn once its page has loaded.
  EXPECT_TRUE(waitFor([&] { return gtk_widget_get_child_visible(preview->korvelViewController()->view()); }));
  EXPECT_NE(page.webView().uri().find("/_app/resources/Ostrel/preview.html?imageBaseURL="), std::string::npos);
  // The preview runs the project's code: a process of its own, so a stuck prototype never stops the editor.
  EXPECT_TRUE(waitFor([&] { return guitest::hasNewProcess(before, guitest::webProcessIds()); }));
  ASSERT_TRUE(waitFor([&] { return document->deviceManager().descriptorForDevice("korvel-phone") != nullptr; }));
}

// Put away while its document is in the background, the preview comes back with it; closed by
// the person, it stays closed, whatever it was to do when the document came back.
TEST_F(PreviewWindows, APreviewThePersonClosedStaysClosedWhenItsDocumentComesBack) {
  Defaults::standard().setBool(UserDefaultsPreviewKeepVisibleKey, false);
  auto document = openProject();
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  document->showPreviewWindow();
  ASSERT_TRUE(preview->isVisible());
  struct Step {
    const char* what;
    std::function<void()> act;
    bool visible;
  } steps[] = {
      {"the document in the background", [&] { preview->documentWindowDidChangeMain(false); }, false},
      {"the document in front again", [&] { preview->documentWindowDidChangeMain(true); }, true},
      {"closed by the person", [&] {
         // As its frame's close button does.
         GdkEvent* close = gdk_event_new(GDK_DELETE);
         close->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(preview->window()->window()))));
         close->any.send_event = TRUE;
         gtk_main_do_event(close);
         gdk_event_free(close);
       }, false},
      {"the document in front once more", [&] { preview->documentWindowDidChangeMain(true); }, false},
  };
  // One step after the other, the focus's own news kept out between them.
  for (const auto& step : steps) {
    step.act();
    EXPECT_EQ(preview->isVisible(), step.visible) << step.what;
  }
  Defaults::standard().remove(UserDefaultsPreviewKeepVisibleKey);
}

TEST_F(PreviewWindows, ClosingTheDocumentClosesItsPreviewAndInspector) {
  auto document = openProject();
  ASSERT_TRUE(document);
  auto* preview = document->previewWindowController();
  document->showPreviewWindow();
  auto& page = preview->korvelViewController()->webViewController();
  ASSERT_TRUE(waitFor([&] { return page.isDocumentReady(); }));
  ASSERT_TRUE(waitFor([&] { return preview->hasSelection(); }));
  document->openPreviewInspector();
  // Attached to the preview, not a window of its own.
  ASSERT_TRUE(waitFor([&] { return page.webView().isInspectorAttached(); }));
  EXPECT_GE(page.webView().width(), 750);
  GtkWindow* window = preview->window()->window();
  g_object_ref(window);
  document->close();
  EXPECT_EQ(document->previewWindowController(), nullptr);
  EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window)));
  RunLoop::runUntil([] { return false; }, 0.3);
  g_object_unref(window);
}

}  // namespace
