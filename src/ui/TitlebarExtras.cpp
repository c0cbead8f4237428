#include "ui/TitlebarExtras.h"

#include <gtk/gtk.h>

namespace TitlebarExtras {

double titlebarMinHeight(unsigned long styleMask, double toolkitHeight) {
  if ((styleMask & unifiedTitleAndToolbarMask) && toolkitHeight > 0) return unifiedTitlebarHeight;
  return toolkitHeight;
}

namespace {

void centre(GtkWidget* child, gpointer) { gtk_widget_set_valign(child, GTK_ALIGN_CENTER); }

}  // namespace

void useUnifiedTitlebarHeight(GtkHeaderBar* bar) {
  if (!bar) return;
  GtkWidget* widget = GTK_WIDGET(bar);
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
                                  "headerbar { min-height: 37px; padding-top: 0; padding-bottom: 0; }"
                                  " headerbar button { margin-top: 0; margin-bottom: 0; }",
                                  -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(widget), GTK_STYLE_PROVIDER(css),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);  // the style context keeps it
  gtk_widget_set_size_request(widget, -1, static_cast<int>(unifiedTitlebarHeight));
  gtk_container_foreach(GTK_CONTAINER(bar), centre, nullptr);
  // Buttons added later are centred as they arrive or, packed at either end, when the bar shows.
  g_signal_connect(bar, "add", G_CALLBACK(+[](GtkContainer*, GtkWidget* child, gpointer) { centre(child, nullptr); }),
                   nullptr);
  g_signal_connect(bar, "map", G_CALLBACK(+[](GtkWidget* widget, gpointer) {
                     gtk_container_foreach(GTK_CONTAINER(widget), centre, nullptr);
                   }),
                   nullptr);
}

}  // namespace TitlebarExtras
