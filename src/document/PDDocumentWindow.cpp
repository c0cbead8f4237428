#include "document/PDDocumentWindow.h"

#include <gtk/gtk.h>

#include <set>

#include <nlohmann/json.hpp>

#include "document/DocumentHooks.h"
#include "document/PDBaseDocument.h"
#include "platform/BaseDocumentController.h"
#include "platform/NotificationCenter.h"
#include "ui/ToolbarButton.h"

std::string PDDocumentWindow::title(const std::string& displayName, bool edited) {
  return edited ? displayName + " \u2014 Edited" : displayName;
}

bool PDDocumentWindow::shouldShowWelcomeAfterClose(bool isTerminating, std::size_t openDocuments, bool showOnStartup) {
  return !isTerminating && openDocuments == 0 && showOnStartup;
}

nlohmann::json PDDocumentWindow::escapeUserInfo(unsigned keyval, unsigned hardwareKeycode, unsigned modifiers,
                                                std::uint32_t time) {
  return {{"event",
           {{"type", "keyDown"}, {"keyval", keyval}, {"hardwareKeycode", hardwareKeycode}, {"modifiers", modifiers}, {"time", time}}}};
}

namespace {
std::uint64_t lastOrderStamp = 0;
// The document windows alive, for the sheet watch.
std::set<PDDocumentWindow*>& liveWindows() {
  static std::set<PDDocumentWindow*> windows;
  return windows;
}

GtkWidget* titleButton(GtkWidget* headerBar, const char* label, const char* tooltip, bool start) {
  GtkWidget* button = gtk_button_new_with_label(label);
  gtk_widget_set_tooltip_text(button, tooltip);
  if (start)
    gtk_header_bar_pack_start(GTK_HEADER_BAR(headerBar), button);
  else
    gtk_header_bar_pack_end(GTK_HEADER_BAR(headerBar), button);
  return button;
}


}  // namespace

PDDocumentWindow::PDDocumentWindow(std::weak_ptr<PDBaseDocument> document) : document_(std::move(document)) {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  g_object_ref_sink(window_);
  if (auto* app = g_application_get_default(); app && GTK_IS_APPLICATION(app))
    gtk_window_set_application(GTK_WINDOW(window_), GTK_APPLICATION(app));
  gtk_window_set_default_size(GTK_WINDOW(window_), 1280, 800);
  headerBar_ = gtk_header_bar_new();
  gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(headerBar_), TRUE);
  gtk_window_set_titlebar(GTK_WINDOW(window_), headerBar_);

  accessoryView_ = std::make_unique<ToolbarAccessoryView>(headerBar_);
  previewButton_ = std::make_unique<ToolbarButton>("toolbar-preview", "video-display-symbolic", "Show the preview window");
  liveButton_ = std::make_unique<ToolbarButton>("toolbar-live", "network-transmit-receive-symbolic", "Share the preview live");
  cloudButton_ = std::make_unique<ToolbarCloudButton>("Account");
  gtk_widget_set_name(previewButton_->widget(), "preview");
  gtk_widget_set_name(liveButton_->widget(), "live");
  gtk_widget_set_name(cloudButton_->widget(), "account");
  gtk_header_bar_pack_start(GTK_HEADER_BAR(headerBar_), previewButton_->widget());
  gtk_header_bar_pack_start(GTK_HEADER_BAR(headerBar_), liveButton_->widget());
  gtk_header_bar_pack_end(GTK_HEADER_BAR(headerBar_), cloudButton_->widget());
  intercomButton_ = titleButton(headerBar_, "Help", "Messages", false);
  auto* self = this;
  previewButton_->action = [this](GtkWidget*) {
    if (auto d = document_.lock()) d->showPreviewWindow();
  };
  liveButton_->action = [this](GtkWidget* button) {
    if (auto d = document_.lock()) d->showLivePreview(button);
  };
  g_signal_connect(intercomButton_, "clicked", G_CALLBACK(+[](GtkWidget* b, PDDocumentWindow* w) {
                     if (auto d = w->document_.lock()) d->toggleIntercomPopover(b);
                   }),
                   self);

  documentView_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_container_add(GTK_CONTAINER(window_), documentView_);
  DocumentHooks::installMainMenu(window_, documentView_);
  serverFailureBar_ = gtk_info_bar_new_with_buttons("Try Again", GTK_RESPONSE_OK, nullptr);
  gtk_info_bar_set_message_type(GTK_INFO_BAR(serverFailureBar_), GTK_MESSAGE_ERROR);
  serverFailureLabel_ = gtk_label_new("");
  gtk_label_set_line_wrap(GTK_LABEL(serverFailureLabel_), TRUE);
  gtk_label_set_xalign(GTK_LABEL(serverFailureLabel_), 0);
  gtk_container_add(GTK_CONTAINER(gtk_info_bar_get_content_area(GTK_INFO_BAR(serverFailureBar_))), serverFailureLabel_);
  gtk_widget_show(serverFailureLabel_);
  gtk_widget_set_no_show_all(serverFailureBar_, TRUE);
  gtk_box_pack_start(GTK_BOX(documentView_), serverFailureBar_, FALSE, FALSE, 0);
  g_signal_connect(serverFailureBar_, "response", G_CALLBACK(+[](GtkInfoBar*, int, PDDocumentWindow* w) {
                     auto work = w->tryAgain_;
                     w->hideServerFailure();
                     if (work) work();
                   }),
                   self);
  g_signal_connect(window_, "notify::is-active", G_CALLBACK(+[](GtkWindow* w, GParamSpec*, PDDocumentWindow* self) {
                     if (gtk_window_is_active(w)) self->orderStamp_ = ++lastOrderStamp;
                   }),
                   self);
  g_signal_connect(window_, "key-press-event", G_CALLBACK(&PDDocumentWindow::onKeyPress), this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(&PDDocumentWindow::onDelete), this);
  gtk_widget_show_all(headerBar_);
  gtk_widget_show(documentView_);
  liveWindows().insert(this);
  watchSheets();
}

// Any modal window shown over a document window is a sheet of it, whoever made it (alerts,
// file choosers, the library sheet), so one hook on every window's showing sees them all.
void PDDocumentWindow::watchSheets() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  g_signal_add_emission_hook(
      g_signal_lookup("show", GTK_TYPE_WIDGET), 0,
      +[](GSignalInvocationHint*, guint count, const GValue* values, gpointer) -> gboolean {
        if (count < 1) return TRUE;
        auto* widget = static_cast<GtkWidget*>(g_value_get_object(&values[0]));
        if (!GTK_IS_WINDOW(widget) || !gtk_window_get_modal(GTK_WINDOW(widget))) return TRUE;
        GtkWindow* parent = gtk_window_get_transient_for(GTK_WINDOW(widget));
        if (!parent) return TRUE;
        // A copy: a document may close a window while it hears of the sheet.
        auto windows = liveWindows();
        for (auto* w : windows)
          if (liveWindows().count(w) && GTK_WINDOW(w->window_) == parent)
            if (auto document = w->document_.lock()) document->windowWillBeginSheet();
        return TRUE;  // stays for the life of the program
      },
      nullptr, nullptr);
}

PDDocumentWindow::~PDDocumentWindow() {
  liveWindows().erase(this);
  if (!window_) return;
  g_signal_handlers_disconnect_by_data(window_, this);
  g_signal_handlers_disconnect_by_data(serverFailureBar_, this);
  // The editor view belongs to its controller, which may outlive this window.
  GList* children = gtk_container_get_children(GTK_CONTAINER(documentView_));
  for (GList* c = children; c; c = c->next) gtk_container_remove(GTK_CONTAINER(documentView_), GTK_WIDGET(c->data));
  g_list_free(children);
  gtk_widget_destroy(window_);
  g_object_unref(window_);
}

GtkWindow* PDDocumentWindow::window() const { return window_ ? GTK_WINDOW(window_) : nullptr; }

void PDDocumentWindow::setContentView(GtkWidget* view) {
  gtk_widget_set_hexpand(view, TRUE);
  gtk_widget_set_vexpand(view, TRUE);
  gtk_box_pack_start(GTK_BOX(documentView_), view, TRUE, TRUE, 0);
  gtk_widget_show(view);
}

void PDDocumentWindow::onFirstActivation(std::function<void()> work) {
  firstActivation_ = std::move(work);
  if (activationHandler_) return;
  activationHandler_ = g_signal_connect(window_, "notify::is-active", G_CALLBACK(+[](GtkWindow* w, GParamSpec*, PDDocumentWindow* self) {
                                          if (!gtk_window_is_active(w)) return;
                                          g_signal_handler_disconnect(w, self->activationHandler_);
                                          self->activationHandler_ = 0;
                                          if (auto work = std::exchange(self->firstActivation_, nullptr)) work();
                                        }),
                                        this);
}

void PDDocumentWindow::setTitle(const std::string& title) { gtk_window_set_title(GTK_WINDOW(window_), title.c_str()); }

GtkWidget* PDDocumentWindow::accountButton() const { return cloudButton_->widget(); }
GtkWidget* PDDocumentWindow::previewButton() const { return previewButton_->widget(); }
GtkWidget* PDDocumentWindow::liveButton() const { return liveButton_->widget(); }

void PDDocumentWindow::setAccountTitle(const std::string& title) {
  gtk_widget_set_tooltip_text(cloudButton_->widget(), title.empty() ? "Account" : title.c_str());
  gtk_widget_set_visible(cloudButton_->widget(), !title.empty());
}

void PDDocumentWindow::setIntercomEnabled(bool enabled) { gtk_widget_set_sensitive(intercomButton_, enabled); }

void PDDocumentWindow::setIntercomUnread(bool unread) {
  gtk_button_set_label(GTK_BUTTON(intercomButton_), unread ? "Help \u2022" : "Help");
}

void PDDocumentWindow::show() {
  orderStamp_ = ++lastOrderStamp;
  gtk_window_present(GTK_WINDOW(window_));
}

void PDDocumentWindow::showServerFailure(const std::string& message, std::function<void()> tryAgain) {
  tryAgain_ = std::move(tryAgain);
  gtk_label_set_text(GTK_LABEL(serverFailureLabel_), message.c_str());
  gtk_widget_show(serverFailureBar_);
}

void PDDocumentWindow::hideServerFailure() {
  tryAgain_ = nullptr;
  gtk_widget_hide(serverFailureBar_);
}

bool PDDocumentWindow::isShowingServerFailure() const { return gtk_widget_get_visible(serverFailureBar_); }

void PDDocumentWindow::close() {
  gtk_widget_hide(window_);
  auto* controller = BaseDocumentController::shared();
  std::size_t open = controller ? controller->documents().size() : 0;
  if (shouldShowWelcomeAfterClose(DocumentHooks::isTerminating(), open, DocumentHooks::welcomeShouldShowOnStartup()))
    DocumentHooks::showWelcomeWindow();
}

// The focused widget (the editor's web view) sees every key first; only what it leaves goes
// to the window's shortcuts. The web view answers later, by handing a key its page left back to
// this window: that key ends here. Left to the toolkit's window, it would go to the web view a
// second time, which takes it for a new key and sends it to the page again, round and round,
// until a dialog's grab swallows it.
int PDDocumentWindow::onKeyPress(GtkWidget* widget, void* event, PDDocumentWindow* self) {
  auto* key = static_cast<GdkEventKey*>(event);
  if (gtk_window_propagate_key_event(GTK_WINDOW(widget), key)) return TRUE;
  if (key->keyval == GDK_KEY_Escape) {
    NotificationCenter::defaultCenter().post(escPressedNotification, self,
                                             std::make_shared<const nlohmann::json>(
                                                 escapeUserInfo(key->keyval, key->hardware_keycode, key->state, key->time)));
    return TRUE;
  }
  if (DocumentHooks::performKeyEquivalent(key)) return TRUE;
  // What the toolkit's window does besides the focused widget: mnemonics, accelerators, bindings.
  if (!gtk_window_activate_key(GTK_WINDOW(widget), key)) gtk_bindings_activate_event(G_OBJECT(widget), key);
  return TRUE;
}

int PDDocumentWindow::onDelete(GtkWidget*, void*, PDDocumentWindow* self) {
  if (auto document = self->document_.lock()) document->windowShouldClose();
  return TRUE;
}
