// The toolkit's alert: the application's icon beside the heading, and no other picture or empty
// place for one.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "platform/Alert.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/RunLoop.h"

namespace {

void collectImages(GtkWidget* widget, std::vector<GtkWidget*>& out) {
  if (GTK_IS_IMAGE(widget) && gtk_widget_get_visible(widget)) out.push_back(widget);
  if (!GTK_IS_CONTAINER(widget)) return;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  for (GList* it = children; it; it = it->next) collectImages(GTK_WIDGET(it->data), out);
  g_list_free(children);
}

GtkWidget* shownMessageDialog() {
  GtkWidget* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* it = windows; it; it = it->next)
    if (GTK_IS_MESSAGE_DIALOG(it->data) && gtk_widget_get_visible(GTK_WIDGET(it->data))) found = GTK_WIDGET(it->data);
  g_list_free(windows);
  return found;
}

}  // namespace

TEST(GtkAlert, ShowsTheApplicationsIconBesideItsTextAndNothingElse) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  installGtkPersonInterfaces();
  std::optional<int> answer;
  Alert::shared().beginSheet({"The document “A” could not be saved.", "You don't have permission to save in “B”.", {}},
                             nullptr, [&](int response) { answer = response; });
  GtkWidget* dialog = nullptr;
  ASSERT_TRUE(RunLoop::runUntil([&] { return (dialog = shownMessageDialog()) != nullptr; }, 10));
  std::vector<GtkWidget*> images;
  collectImages(dialog, images);
  ASSERT_EQ(images.size(), 1u);
  EXPECT_STREQ(gtk_widget_get_name(images[0]), "alert-icon");
  GdkPixbuf* pixbuf = gtk_image_get_pixbuf(GTK_IMAGE(images[0]));
  ASSERT_TRUE(pixbuf);
  EXPECT_EQ(gdk_pixbuf_get_width(pixbuf), 64);
  // The icon stands first in the row that holds the text.
  GtkWidget* row = gtk_widget_get_parent(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog)));
  GList* children = gtk_container_get_children(GTK_CONTAINER(row));
  EXPECT_EQ(children ? children->data : nullptr, images[0]);
  g_list_free(children);
  gtk_dialog_response(GTK_DIALOG(dialog), Alert::firstButtonReturn);
  ASSERT_TRUE(RunLoop::runUntil([&] { return answer.has_value(); }, 10));
  EXPECT_EQ(*answer, Alert::firstButtonReturn);
}

// An alert with no window named stands on the window the person is in, never on a window drawn
// off the screen (a page rendering an export): a dialog over one opens at the screen's corner.
TEST(GtkAlert, WithNoWindowNamedStandsOnAWindowOnTheScreen) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  GtkWidget* document = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(document), "Document");
  gtk_widget_show(document);
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(document); }, 10));
  // Drawn off the screen, and shown after the document window, as the export pages are.
  GtkWidget* offscreen = gtk_offscreen_window_new();
  gtk_widget_show(offscreen);
  EXPECT_EQ(dialogParentFor(nullptr), GTK_WINDOW(document));
  GtkWidget* hidden = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  EXPECT_EQ(dialogParentFor(nullptr), GTK_WINDOW(document));
  EXPECT_EQ(dialogParentFor(GTK_WINDOW(hidden)), GTK_WINDOW(hidden)) << "a window named is the one";
  gtk_widget_destroy(hidden);
  gtk_widget_destroy(offscreen);
  gtk_widget_destroy(document);
}
