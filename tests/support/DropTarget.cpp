// A drop target in a process of its own, as a file manager is one: a window at the given place
// that takes "text/uri-list" and writes what it got to a file, then ends.
// Usage: drop_target <output file> <x> <y> <width> <height>
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "HelperWindow.h"

namespace {
std::string output;

void received(GtkWidget*, GdkDragContext* context, int, int, GtkSelectionData* data, guint, guint time, gpointer) {
  int length = 0;
  const guchar* bytes = gtk_selection_data_get_data_with_length(data, &length);
  std::string text = bytes && length > 0 ? std::string(reinterpret_cast<const char*>(bytes), std::size_t(length)) : "";
  std::string partial = output + ".part";
  if (FILE* f = fopen(partial.c_str(), "wb")) {
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    rename(partial.c_str(), output.c_str());
  }
  gtk_drag_finish(context, !text.empty(), FALSE, time);
  gtk_main_quit();
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  gtk_init(&argc, &argv);
  output = argv[1];
  GtkWidget* window = helperWindow("Drop Here", argv);
  GtkWidget* area = gtk_label_new("Drop Here");
  gtk_container_add(GTK_CONTAINER(window), area);
  GtkTargetList* targets = gtk_target_list_new(nullptr, 0);
  gtk_target_list_add_uri_targets(targets, 0);
  gtk_drag_dest_set(area, GTK_DEST_DEFAULT_ALL, nullptr, 0, GDK_ACTION_COPY);
  gtk_drag_dest_set_target_list(area, targets);
  gtk_target_list_unref(targets);
  g_signal_connect(area, "drag-data-received", G_CALLBACK(received), nullptr);
  return runHelperWindow(window);
}
