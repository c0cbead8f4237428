#pragma once
// A person's clicks with the real pointer, for tests on a display of their own (PrivateDesktop).

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "support/PrivateDesktop.h"

namespace testenv {

// Clicks the middle of `widget` with the real pointer.
inline void clickOn(GtkWidget* widget) {
  int x = 0, y = 0;
  gdk_window_get_origin(gtk_widget_get_window(widget), &x, &y);
  GtkAllocation a{};
  gtk_widget_get_allocation(widget, &a);
  EXPECT_EQ(xdotool("mousemove --sync " + std::to_string(x + a.x + a.width / 2) + " " +
                    std::to_string(y + a.y + a.height / 2) + " click 1"),
            0);
}

}  // namespace testenv
