#include "platform/FileDropWatch.h"

#include <gtk/gtk.h>

#include "platform/URIList.h"

struct FileDropWatch::Signals {
  // The data comes while the pointer moves over the widget (the web view asks for it) and may
  // come again at the drop.
  static void received(GtkWidget*, GdkDragContext* context, int, int, GtkSelectionData* data, guint, guint,
                       gpointer self) {
    auto* watch = static_cast<FileDropWatch*>(self);
    if (gtk_selection_data_get_target(data) != gdk_atom_intern_static_string("text/uri-list")) return;
    int length = 0;
    const guchar* bytes = gtk_selection_data_get_data_with_length(data, &length);
    if (!bytes || length <= 0) return;
    if (watch->context_ != context) watch->dropping_ = false;
    watch->context_ = context;
    watch->uriList_.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
    if (watch->dropping_) watch->deliver();
  }
  static gboolean drop(GtkWidget*, GdkDragContext* context, int x, int y, guint, gpointer self) {
    auto* watch = static_cast<FileDropWatch*>(self);
    watch->x_ = x;
    watch->y_ = y;
    if (watch->context_ == context && !watch->uriList_.empty()) {
      watch->deliver();
    } else {
      watch->context_ = context;
      watch->uriList_.clear();
      watch->dropping_ = true;
    }
    return FALSE;  // the widget drops as it always does
  }
};

FileDropWatch::FileDropWatch(GtkWidget* widget, Dropped dropped) : widget_(widget), dropped_(std::move(dropped)) {
  g_object_ref(widget_);
  handlers_.push_back(g_signal_connect(widget_, "drag-data-received", G_CALLBACK(Signals::received), this));
  handlers_.push_back(g_signal_connect(widget_, "drag-drop", G_CALLBACK(Signals::drop), this));
}

FileDropWatch::~FileDropWatch() {
  for (auto id : handlers_) g_signal_handler_disconnect(widget_, id);
  g_object_unref(widget_);
}

void FileDropWatch::deliver() {
  auto files = URIList::localFiles(uriList_, maximumFiles);
  dropping_ = false;
  context_ = nullptr;
  uriList_.clear();
  if (!files.empty() && dropped_) dropped_(std::move(files), x_, y_);
}
