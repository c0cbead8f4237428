// The popover background, the image mouse-over button and the sidebar button under the
// virtual display.

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "ui/ImageMouseOverButton.h"
#include "ui/PopoverBackgroundView.h"
#include "ui/SidebarButton.h"

namespace {

void initGtk() {
  static bool done = [] {
    bool ok = gtk_init_check(nullptr, nullptr);
    if (ok) g_object_set(gtk_settings_get_default(), "gtk-enable-animations", FALSE, nullptr);
    return ok;
  }();
  (void)done;
}

Color backgroundOf(GtkWidget* widget) {
  GdkRGBA* rgba = nullptr;
  GtkStyleContext* style = gtk_widget_get_style_context(widget);
  gtk_style_context_get(style, gtk_style_context_get_state(style), "background-color", &rgba, nullptr);
  Color out{rgba->red, rgba->green, rgba->blue, rgba->alpha};
  gdk_rgba_free(rgba);
  return out;
}

TEST(PopoverBackgroundView, PaintsItsPopoverAndOpensLinksThatCloseIt) {
  initGtk();
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* button = gtk_button_new_with_label("Share");
  gtk_container_add(GTK_CONTAINER(window), button);
  gtk_widget_show_all(window);

  PopoverBackgroundView view;
  view.setBackgroundColor(Color::colorWithHexColorString("004ADD"));
  GtkWidget* link = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(view.widget()), link);
  view.addLinkArea(link, "https://korvel.io/share");
  GtkWidget* popover = gtk_popover_new(button);
  gtk_container_add(GTK_CONTAINER(popover), view.widget());
  view.setPopover(popover);
  EXPECT_EQ(backgroundOf(popover).hexColorString(), "#004ADD");
  gtk_popover_popup(GTK_POPOVER(popover));
  RunLoop::runUntil([&] { return gtk_widget_get_visible(popover); }, 30);

  std::vector<std::string> opened;
  UrlOpener::setHandler([&](const std::string& url) { opened.push_back(url); });
  view.mouseEntered(std::string("https://korvel.io/share"));
  view.mouseDown();
  view.mouseUp();
  EXPECT_EQ(opened, std::vector<std::string>{"https://korvel.io/share"});
  EXPECT_FALSE(gtk_widget_get_visible(popover));
  EXPECT_FALSE(view.hover().hoverOnLink());

  PopoverBackgroundView plain;  // no colour: white
  GtkWidget* other = gtk_popover_new(button);
  gtk_container_add(GTK_CONTAINER(other), plain.widget());
  EXPECT_EQ(backgroundOf(other).hexColorString(), "#FFFFFF");

  PopoverBackgroundView::copyLink("https://korvel.io/copied");
  char* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
  EXPECT_STREQ(text, "https://korvel.io/copied");
  g_free(text);
  UrlOpener::setHandler(nullptr);
  gtk_widget_destroy(window);
}

TEST(ImageMouseOverButton, HighlightsWhilePressedInsideAndActsOnAReleaseInside) {
  initGtk();
  ImageMouseOverButton button(20, 20, "no-such-image");
  EXPECT_FALSE(button.hasImage());
  int actions = 0;
  button.action = [&] { ++actions; };
  Color tint = Color::colorWithHexColorString("333333"), highlight = Color::colorWithHexColorString("999999");
  button.setTintColor(tint);

  button.mouseDown();  // no highlight tint: stays in the tint
  EXPECT_EQ(button.shownTint(), tint);
  button.mouseUp(true);
  EXPECT_EQ(actions, 1);

  button.setHighlightTintColor(highlight);
  button.mouseDown();
  EXPECT_EQ(button.shownTint(), highlight);
  button.mouseDragged(false);
  EXPECT_EQ(button.shownTint(), tint);
  button.mouseDragged(true);
  EXPECT_EQ(button.shownTint(), highlight);
  button.setTintColor(Color::colorWithHexColorString("111111"));  // replaces the pressed look at once
  EXPECT_EQ(button.shownTint()->hexColorString(), "#111111");
  button.mouseUp(false);
  EXPECT_EQ(actions, 1);
}

TEST(SidebarButton, KeepsItsTitleAsToolTipWhileHidden) {
  initGtk();
  SidebarButton button("Recent");
  button.setShowTitle(false);  // nothing kept yet: nothing changes
  EXPECT_EQ(button.title(), "Recent");

  button.textColor = Color::colorWithHexColorString("AABBCC");
  button.awakeFromNib();
  EXPECT_EQ(button.toolTip(), "Recent");
  button.setShowTitle(false);
  EXPECT_EQ(button.title(), "");
  EXPECT_EQ(button.toolTip(), "Recent");
  button.setShowTitle(true);
  EXPECT_EQ(button.title(), "Recent");
  EXPECT_FALSE(button.toolTip());
}

}  // namespace
