// The preview on a screen too narrow for a web inspector beside it, under a window manager.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "FakePreviewDocument.h"
#include "canvas/WebViewController.h"
#include "platform/RunLoop.h"
#include "preview/KorvelViewController.h"
#include "preview/PreviewWindow.h"
#include "support/PrivateDesktop.h"

namespace {

class PreviewNarrowScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!testenv::PrivateDesktop::start(&why, 720, 900)) GTEST_SKIP() << "needs Xvfb and openbox: " << why;
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    documentWindow = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
    gtk_window_set_default_size(documentWindow, 600, 500);
    gtk_window_move(documentWindow, 0, 40);
    gtk_widget_show_all(GTK_WIDGET(documentWindow));
    ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(documentWindow)); }, 30));
    document = WindowedDocument::make(documentWindow);
    document->loadCatalog(sampleCatalog());
    document->preview->loadWindow();
  }
  void TearDown() override {
    if (!document) return;
    document->preview->close();
    document->preview.reset();
    gtk_widget_destroy(GTK_WIDGET(documentWindow));
    RunLoop::runUntil([] { return false; }, 0.1);
  }
  GtkWindow* documentWindow = nullptr;
  std::shared_ptr<WindowedDocument> document;
};

// The inspector opens in a window of its own, and the preview keeps its frame rather than
// growing past the screen first.
TEST_F(PreviewNarrowScreen, TheInspectorOpensDetachedAndThePreviewKeepsItsFrame) {
  auto* preview = document->preview.get();
  preview->ostrelPreviewUpdate(selectionText("f", {{"deviceType", "phone"}}));
  preview->show(true, false);
  PreviewWindow* window = preview->window();
  // Once the window manager has placed it: the same frame twice, a moment apart.
  PreviewWindow::Rect before;
  ASSERT_TRUE(RunLoop::runUntil([&] {
    if (!window->isVisible()) return false;
    before = window->frame();
    RunLoop::runUntil([] { return false; }, 0.3);
    return window->frame() == before;
  }, 30));
  ASSERT_LT(before.width, 700);

  preview->showInspector();
  // Longer than the window manager takes to carry out a resize.
  EXPECT_FALSE(RunLoop::runUntil([&] { return !(window->frame() == before); }, 2))
      << "the preview's frame changed to " << window->frame().width << "x" << window->frame().height << " at "
      << window->frame().x << "," << window->frame().y;
  EXPECT_FALSE(preview->korvelViewController()->webViewController().webView().isInspectorAttached());
}

}  // namespace
