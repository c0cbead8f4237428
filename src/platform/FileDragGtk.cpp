#include "platform/FileDrag.h"

#include <gtk/gtk.h>

#include <string>

namespace {
constexpr const char* filesKey = "korvel-file-drag";

struct Drag {
  GdkDragContext* context;
  std::string uris;
};

void onDataGet(GtkWidget* widget, GdkDragContext* context, GtkSelectionData* data, guint, guint, gpointer) {
  auto* drag = static_cast<Drag*>(g_object_get_data(G_OBJECT(widget), filesKey));
  if (!drag || drag->context != context) return;
  gtk_selection_data_set(data, gdk_atom_intern_static_string("text/uri-list"), 8,
                         reinterpret_cast<const guchar*>(drag->uris.data()), int(drag->uris.size()));
  // The answer is ours: the widget's own drag handling (a web view's) has no part in it.
  g_signal_stop_emission_by_name(widget, "drag-data-get");
}

void onEnd(GtkWidget* widget, GdkDragContext* context, gpointer) {
  auto* drag = static_cast<Drag*>(g_object_get_data(G_OBJECT(widget), filesKey));
  if (drag && drag->context == context) g_object_set_data(G_OBJECT(widget), filesKey, nullptr);
}
}  // namespace

namespace FileDrag {

std::string uriList(const std::vector<std::filesystem::path>& files) {
  std::string out;
  for (const auto& file : files) {
    char* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    if (!uri) continue;
    out += uri;
    out += "\r\n";
    g_free(uri);
  }
  return out;
}

bool begin(GtkWidget* source, const std::vector<std::filesystem::path>& files) {
  if (!source || !gtk_widget_get_realized(source)) return false;
  std::string uris = uriList(files);
  if (uris.empty()) return false;
  if (!g_object_get_data(G_OBJECT(source), "korvel-file-drag-wired")) {
    g_object_set_data(G_OBJECT(source), "korvel-file-drag-wired", GINT_TO_POINTER(1));
    g_signal_connect(source, "drag-data-get", G_CALLBACK(onDataGet), nullptr);
    g_signal_connect(source, "drag-end", G_CALLBACK(onEnd), nullptr);
  }
  GtkTargetList* targets = gtk_target_list_new(nullptr, 0);
  gtk_target_list_add_uri_targets(targets, 0);
  GdkDragContext* context =
      gtk_drag_begin_with_coordinates(source, targets, GDK_ACTION_COPY, 1, nullptr, -1, -1);
  gtk_target_list_unref(targets);
  if (!context) return false;
  // A picture of the first file, when it is one, rides under the pointer.
  if (GdkPixbuf* icon = gdk_pixbuf_new_from_file_at_scale(files.front().c_str(), 128, 128, TRUE, nullptr)) {
    gtk_drag_set_icon_pixbuf(context, icon, gdk_pixbuf_get_width(icon) / 2, gdk_pixbuf_get_height(icon) / 2);
    g_object_unref(icon);
  }
  g_object_set_data_full(G_OBJECT(source), filesKey, new Drag{context, std::move(uris)},
                         +[](gpointer p) { delete static_cast<Drag*>(p); });
  return true;
}

}  // namespace FileDrag
