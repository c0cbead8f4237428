// A drag of an export out of the editor, as a person makes it with the pointer on a display of
// the test's own, to a drop target in another process. KORVEL_TEST_SHOTS names a folder for a
// picture of the drag.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <signal.h>

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "document/DocumentController.h"
#include "document/KXDocument.h"
#include "platform/FileDrag.h"
#include "platform/RunLoop.h"
#include "support/PrivateDesktop.h"
#include "support/TestEnvironment.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

class ExportDrag : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    desktop = testenv::PrivateDesktop::startOrTell();
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
    setUpDocumentTest();
    controller = std::make_unique<DocumentController>();
    dir = testenv::freshFolder("drag");
  }
  void TearDown() override {
    if (dropTarget > 0) {
      kill(dropTarget, SIGTERM);
      g_spawn_close_pid(dropTarget);
    }
    if (!controller) return;
    for (auto& d : controller->documents()) d->close();
    controller.reset();
    RunLoop::runUntil([] { return false; }, 0.2);
  }
  // The drop target's window at (x, y); what it receives goes to `output`.
  void startDropTarget(const fsys::path& output, int x, int y) {
    std::string program = KORVEL_DROP_TARGET;
    std::vector<std::string> args = {program, output.string(), std::to_string(x), std::to_string(y), "260", "200"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The helper's leaks are the toolkit's, not ours.
    gchar** env = g_environ_setenv(g_get_environ(), "ASAN_OPTIONS", "detect_leaks=0", TRUE);
    GError* error = nullptr;
    ASSERT_TRUE(g_spawn_async(nullptr, argv.data(), env, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &dropTarget, &error))
        << (error ? error->message : "");
    g_strfreev(env);
    ASSERT_EQ(testenv::xdotool("search --sync --name '^Drop Here$'"), 0);
  }

  static inline bool desktop = false;
  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  GPid dropTarget = 0;
};

TEST_F(ExportDrag, AnExportDraggedFromTheEditorReachesADropTargetInAnotherProcess) {
  writeProject(dir / "source", "Drag Me");
  makeZip(dir / "source", dir / "Drag.korvelx");
  auto document = openWith(*controller, dir / "Drag.korvelx");
  ASSERT_TRUE(document && waitForEditor(*document));
  GtkWindow* window = document->windowForSheet();
  gtk_window_move(window, 0, 0);
  gtk_window_resize(window, 900, 700);
  ASSERT_TRUE(waitFor([&] { return gtk_widget_get_mapped(GTK_WIDGET(window)); }));

  // The page has its preview file made; the drag names it.
  ASSERT_TRUE(evaluate(*document, "document.getElementById('export').click(); window.OstrelStandIn.prepareExportDrag(); true"));
  std::string file;
  ASSERT_TRUE(waitFor([&] {
    auto dragged = evaluate(*document, "window.OstrelStandIn.exportDrag && window.OstrelStandIn.exportDrag.file");
    if (dragged && dragged->is_string()) file = dragged->get<std::string>();
    return !file.empty();
  }, 120));
  ASSERT_TRUE(fsys::is_regular_file(file)) << file;

  auto output = dir / "dropped.txt";
  startDropTarget(output, 960, 300);

  auto rect = evaluate(*document, "JSON.stringify(document.getElementById('export-drag').getBoundingClientRect())");
  ASSERT_TRUE(rect && rect->is_string());
  auto box = nlohmann::json::parse(rect->get<std::string>());
  GtkWidget* view = document->ostrelViewController().webViewController().webView().widget();
  auto [x, y] = onScreen(view, box["x"].get<double>() + box["width"].get<double>() / 2,
                         box["y"].get<double>() + box["height"].get<double>() / 2);
  // Far enough for the page's drag to start, then over to the drop target.
  ASSERT_TRUE(testenv::dragPointer(x, y, 1090, 400, "export-drag.png"));
  ASSERT_EQ(testenv::xdotool("mouseup 1"), 0);
  ASSERT_TRUE(waitFor([&] { return fsys::exists(output); }, 30)) << "nothing dropped";
  EXPECT_EQ(readFile(output), FileDrag::uriList({file}));
}

}  // namespace
