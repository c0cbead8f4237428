// The library sheet's window: a heading, an explanation and three buttons.
#include <gtk/gtk.h>

#include <utility>

#include "document/UpdateLibraryWindowController.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/UrlOpener.h"

struct UpdateLibraryWindowController::Widgets {
  GtkWidget* window = nullptr;
  GtkWidget* title = nullptr;
  GtkWidget* descriptionText = nullptr;
  GtkWidget* okButton = nullptr;
  GtkWidget* cancelButton = nullptr;
  ~Widgets() {
    if (window) gtk_widget_destroy(window);
  }
};

UpdateLibraryWindowController::UpdateLibraryWindowController() = default;

UpdateLibraryWindowController::~UpdateLibraryWindowController() {
  endSheet(responseAbort);
}

GtkWindow* UpdateLibraryWindowController::window() {
  if (widgets_) return GTK_WINDOW(widgets_->window);
  if (!gdk_display_get_default()) return nullptr;
  widgets_ = std::make_unique<Widgets>();
  auto& w = *widgets_;
  w.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_type_hint(GTK_WINDOW(w.window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_resizable(GTK_WINDOW(w.window), FALSE);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(box), 20);
  w.title = gtk_label_new("");
  w.descriptionText = gtk_label_new("");
  gtk_label_set_line_wrap(GTK_LABEL(w.descriptionText), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(w.descriptionText), 50);
  GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  GtkWidget* notes = gtk_button_new_with_label("Release Notes");
  w.cancelButton = gtk_button_new_with_label("Cancel");
  w.okButton = gtk_button_new_with_label("OK");
  gtk_box_pack_start(GTK_BOX(buttons), notes, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(buttons), w.okButton, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(buttons), w.cancelButton, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), w.title, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), w.descriptionText, FALSE, FALSE, 0);
  gtk_box_pack_end(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(w.window), box);
  g_signal_connect_swapped(w.okButton, "clicked", G_CALLBACK(+[](UpdateLibraryWindowController* c) { c->ok(); }), this);
  g_signal_connect_swapped(w.cancelButton, "clicked",
                           G_CALLBACK(+[](UpdateLibraryWindowController* c) { c->cancel(); }), this);
  g_signal_connect_swapped(notes, "clicked",
                           G_CALLBACK(+[](UpdateLibraryWindowController* c) { c->showReleaseNotes(); }), this);
  g_signal_connect_swapped(w.window, "delete-event", G_CALLBACK(+[](UpdateLibraryWindowController* c) -> gboolean {
                             c->cancel();
                             return TRUE;
                           }),
                           this);
  // Escape answers as the window's close does: nothing is updated.
  g_signal_connect(w.window, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* key, gpointer c) -> gboolean {
                     if (key->keyval != GDK_KEY_Escape) return FALSE;
                     static_cast<UpdateLibraryWindowController*>(c)->cancel();
                     return TRUE;
                   }),
                   this);
  gtk_widget_show_all(box);
  updateWindowForLibrary();
  return GTK_WINDOW(w.window);
}

void UpdateLibraryWindowController::updateWindowForLibrary() {
  if (!widgets_ || !libraryVersion) return;
  auto c = content(*libraryVersion);
  gtk_label_set_text(GTK_LABEL(widgets_->title), c.title.c_str());
  gtk_label_set_text(GTK_LABEL(widgets_->descriptionText), c.descriptionText.c_str());
  gtk_button_set_label(GTK_BUTTON(widgets_->okButton), c.okTitle.c_str());
  gtk_widget_set_sensitive(widgets_->okButton, c.okEnabled);
  gtk_button_set_label(GTK_BUTTON(widgets_->cancelButton), c.cancelTitle.c_str());
  gtk_widget_set_visible(widgets_->cancelButton, !c.cancelHidden);
}

void UpdateLibraryWindowController::beginSheet(GtkWindow* parent, std::function<void(int)> completion) {
  GtkWindow* sheet = window();
  if (!sheet) return;
  sheetCompletion_ = std::move(completion);
  attachSheet(sheet, parent);
  gtk_window_present(sheet);
}

void UpdateLibraryWindowController::endSheet(int response) {
  if (widgets_ && widgets_->window) gtk_widget_hide(widgets_->window);
  if (auto done = std::exchange(sheetCompletion_, nullptr)) done(response);
}

void UpdateLibraryWindowController::showReleaseNotes() {
  if (libraryVersion) UrlOpener::open(releaseNotesAddress(*libraryVersion));
}
