// A drag source in a process of its own, as a file manager is one: a window at the given place
// whose label, dragged, offers its files as "text/uri-list"; it ends when the drag ends.
// Usage: drag_source <file> <x> <y> <width> <height> [<more files>…]
#include <gtk/gtk.h>

#include <cstdio>
#include <string>
#include <vector>

#include "HelperWindow.h"

namespace {
std::vector<std::string> uris;

void dataGet(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
  std::vector<gchar*> list;
  for (auto& uri : uris) list.push_back(uri.data());
  list.push_back(nullptr);
  gtk_selection_data_set_uris(data, list.data());
}

void dragEnd(GtkWidget*, GdkDragContext*, gpointer) {
  printf("ended\n");
  fflush(stdout);
  gtk_main_quit();
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  gtk_init(&argc, &argv);
  for (int i = 1; i < argc; i = i == 1 ? 6 : i + 1) {
    gchar* fileUri = g_filename_to_uri(argv[i], nullptr, nullptr);
    if (!fileUri) return 2;
    uris.emplace_back(fileUri);
    g_free(fileUri);
  }
  GtkWidget* window = helperWindow("Drag From Here", argv);
  GtkWidget* box = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(box), gtk_label_new("Drag From Here"));
  gtk_container_add(GTK_CONTAINER(window), box);
  GtkTargetList* targets = gtk_target_list_new(nullptr, 0);
  gtk_target_list_add_uri_targets(targets, 0);
  gtk_drag_source_set(box, GDK_BUTTON1_MASK, nullptr, 0, GDK_ACTION_COPY);
  gtk_drag_source_set_target_list(box, targets);
  gtk_target_list_unref(targets);
  g_signal_connect(box, "drag-data-get", G_CALLBACK(dataGet), nullptr);
  g_signal_connect(box, "drag-end", G_CALLBACK(dragEnd), nullptr);
  return runHelperWindow(window);
}
