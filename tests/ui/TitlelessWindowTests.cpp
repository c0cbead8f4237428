// The titleless window kit under the virtual display: the window's chrome, its content laid out
// from the top-left corner, and the shake that ends where it began.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "platform/RunLoop.h"
#include "support/Wait.h"
#include "ui/TitlelessWindow.h"
#include "ui/WindowShake.h"

namespace {

struct Kit : testing::Test {
  static void SetUpTestSuite() { gtk_init_check(nullptr, nullptr); }
};

TEST_F(Kit, TheWindowHasNoControlsAndSurvivesClosing) {
  TitlelessWindow window(400, 300);
  GtkWindow* w = window.window();
  EXPECT_FALSE(gtk_window_get_decorated(w));
  EXPECT_FALSE(gtk_window_get_resizable(w));
  EXPECT_FALSE(gtk_window_get_deletable(w));
  window.makeKeyAndOrderFront();
  EXPECT_TRUE(window.isOnScreen());

  // The close shortcut does nothing; only the owner closes it, and it can come back.
  GdkEvent* event = gdk_event_new(GDK_DELETE);
  event->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(w))));
  gtk_main_do_event(event);
  gdk_event_free(event);
  EXPECT_TRUE(window.isOnScreen());
  window.close();
  EXPECT_FALSE(window.isOnScreen());
  window.makeKeyAndOrderFront();
  EXPECT_TRUE(window.isOnScreen());
}

TEST_F(Kit, SubviewsArePlacedFromTheTopLeftCorner) {
  GtkWidget* filling = g_object_ref_sink(gtk_label_new("page"));
  GtkWidget* band = g_object_ref_sink(gtk_event_box_new());
  {
    TitlelessWindow window(400, 300);
    window.flippedContentView().setFillingSubview(filling);
    window.flippedContentView().addSubview(band, {20, 0, 380, 100});
    window.makeKeyAndOrderFront();
    ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_allocated_width(band) == 380; }, 30));
    GtkAllocation a;
    gtk_widget_get_allocation(band, &a);
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(band, window.flippedContentView().widget(), 0, 0, &x, &y);
    EXPECT_EQ(x, 20);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(a.height, 100);
    EXPECT_EQ(gtk_widget_get_allocated_width(filling), 400);
    EXPECT_EQ(gtk_widget_get_allocated_height(filling), 300);
    window.flippedContentView().removeSubview(band);
    EXPECT_FALSE(window.flippedContentView().contains(band));
    g_object_unref(band);
  }
  // The view let go of the filling subview when the window went; its owner still has it.
  EXPECT_EQ(gtk_widget_get_parent(filling), nullptr);
  gtk_widget_destroy(filling);
  g_object_unref(filling);
}

TEST_F(Kit, AShakeGoesLeftRightLeftTwiceAndEndsWhereItBegan) {
  EXPECT_EQ(WindowShake::offsets(800), (std::vector<int>{-8, 8, -8, -8, 8, -8, 0}));
  TitlelessWindow window(800, 200);
  window.makeKeyAndOrderFront();
  gtk_window_move(window.window(), 100, 120);
  auto at = [&](int x, int y) {
    int wx = 0, wy = 0;
    gtk_window_get_position(window.window(), &wx, &wy);
    return wx == x && wy == y;
  };
  ASSERT_TRUE(testwait::waitFor([&] { return gtk_widget_get_mapped(GTK_WIDGET(window.window())) && at(100, 120); }));
  window.shake();
  // Every step but the last is off the start, so the shake is seen under way, then over.
  ASSERT_TRUE(testwait::waitFor([&] { return !at(100, 120); }));
  EXPECT_TRUE(testwait::waitFor([&] { return at(100, 120); }));
}

}  // namespace
