#include "PDFlippedView.h"

#include <gtk/gtk.h>

namespace {
constexpr const char* frameKey = "korvel-frame";

// A subview gets exactly its frame. The toolkit's own placement would size it by its natural
// size, and a web view's natural width can cover (and take the clicks of) its neighbours.
gboolean placeSubview(GtkOverlay*, GtkWidget* child, GdkRectangle* allocation, gpointer) {
  auto* frame = static_cast<PDFlippedView::Frame*>(g_object_get_data(G_OBJECT(child), frameKey));
  if (!frame) return FALSE;
  *allocation = {frame->x, frame->y, frame->width, frame->height};
  return TRUE;
}
}  // namespace

PDFlippedView::PDFlippedView() : overlay_(gtk_overlay_new()) {
  g_object_ref_sink(overlay_);
  g_signal_connect(overlay_, "get-child-position", G_CALLBACK(placeSubview), nullptr);
  gtk_widget_show(overlay_);
}

PDFlippedView::~PDFlippedView() {
  GList* children = gtk_container_get_children(GTK_CONTAINER(overlay_));
  for (GList* it = children; it; it = it->next) gtk_container_remove(GTK_CONTAINER(overlay_), GTK_WIDGET(it->data));
  g_list_free(children);
  gtk_widget_destroy(overlay_);
  g_object_unref(overlay_);
}

void PDFlippedView::setFillingSubview(GtkWidget* child) {
  if (GtkWidget* old = gtk_bin_get_child(GTK_BIN(overlay_))) gtk_container_remove(GTK_CONTAINER(overlay_), old);
  gtk_widget_set_hexpand(child, TRUE);
  gtk_widget_set_vexpand(child, TRUE);
  gtk_container_add(GTK_CONTAINER(overlay_), child);
  gtk_widget_show(child);
}

void PDFlippedView::addSubview(GtkWidget* child, Frame frame) {
  if (contains(child)) gtk_container_remove(GTK_CONTAINER(overlay_), child);
  gtk_widget_set_halign(child, GTK_ALIGN_START);
  gtk_widget_set_valign(child, GTK_ALIGN_START);
  g_object_set_data_full(G_OBJECT(child), frameKey, new Frame(frame), +[](gpointer f) { delete static_cast<Frame*>(f); });
  gtk_widget_set_size_request(child, frame.width, frame.height);
  gtk_overlay_add_overlay(GTK_OVERLAY(overlay_), child);
  gtk_widget_show(child);
}

void PDFlippedView::removeSubview(GtkWidget* child) {
  if (!contains(child)) return;
  g_object_set_data(G_OBJECT(child), frameKey, nullptr);
  gtk_container_remove(GTK_CONTAINER(overlay_), child);
}

bool PDFlippedView::contains(GtkWidget* child) const { return child && gtk_widget_get_parent(child) == overlay_; }
