// The native panel that answers a page's prompt(): a dialog on the view's window with a text
// field holding the default text, "Submit" and "Cancel".

#include <gtk/gtk.h>

#include <memory>

#include "canvas/WebViewController.h"

namespace {

struct PromptState {
  WebView::PromptAnswer answer;
  GtkWidget* entry;
};

void runPrompt(WebView& view, const std::string& prompt, const std::string& defaultText, WebView::PromptAnswer answer) {
  GtkWidget* top = gtk_widget_get_toplevel(view.widget());
  if (!GTK_IS_WINDOW(top) || !gtk_widget_get_visible(top)) {
    answer(std::nullopt);  // no window to put the panel on
    return;
  }
  GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(top), GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION, GTK_BUTTONS_NONE,
                                             "%s", prompt.c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Submit", GTK_RESPONSE_ACCEPT);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", GTK_RESPONSE_CANCEL);
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_text(GTK_ENTRY(entry), defaultText.c_str());
  gtk_widget_set_size_request(entry, 350, 24);
  gtk_container_add(GTK_CONTAINER(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))), entry);
  gtk_widget_show_all(dialog);
  gtk_widget_grab_focus(entry);
  auto* state = new PromptState{std::move(answer), entry};
  g_signal_connect_data(
      dialog, "response",
      G_CALLBACK(+[](GtkDialog* d, gint response, gpointer data) {
        auto* s = static_cast<PromptState*>(data);
        if (s->answer) {
          auto answer = std::move(s->answer);
          s->answer = nullptr;
          if (response == GTK_RESPONSE_ACCEPT)
            answer(std::string(gtk_entry_get_text(GTK_ENTRY(s->entry))));
          else
            answer(std::nullopt);
        }
        gtk_widget_destroy(GTK_WIDGET(d));
      }),
      state, [](gpointer data, GClosure*) { delete static_cast<PromptState*>(data); }, GConnectFlags(0));
}

}  // namespace

WebViewController::PromptPresenter& WebViewController::promptPresenter() {
  static PromptPresenter presenter = runPrompt;
  return presenter;
}
