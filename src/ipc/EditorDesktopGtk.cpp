#include <gtk/gtk.h>

#include "ipc/EditorDesktop.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/GObjectPtr.h"
#include "platform/RWLog.h"

namespace {

bool launch(GAppInfo* app, const std::filesystem::path& file) {
  GObjectPtr<GFile> target(g_file_new_for_path(file.c_str()));
  GList files = {target.get(), nullptr, nullptr};
  GError* error = nullptr;
  bool launched = g_app_info_launch(app, &files, nullptr, &error);
  if (error) {
    RWLog(std::string("Could not open a project file: ") + error->message);
    g_error_free(error);
  }
  return launched;
}

bool openWithDefault(const std::filesystem::path& file) {
  GObjectPtr<GFile> target(g_file_new_for_path(file.c_str()));
  GError* error = nullptr;
  GObjectPtr<GFileInfo> info(g_file_query_info(target.get(), G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                               G_FILE_QUERY_INFO_NONE, nullptr, &error));
  g_clear_error(&error);
  const char* type = info ? g_file_info_get_content_type(info.get()) : nullptr;
  if (!type) return false;
  GObjectPtr<GAppInfo> app(g_app_info_get_default_for_type(type, FALSE));
  return app && launch(app.get(), file);
}

bool openWithNamed(const std::filesystem::path& file, const std::string& application) {
  GList* all = g_app_info_get_all();
  bool launched = false;
  for (GList* it = all; it && !launched; it = it->next) {
    auto* app = G_APP_INFO(it->data);
    const char* name = g_app_info_get_name(app);
    if (name && application == name) launched = launch(app, file);
  }
  g_list_free_full(all, g_object_unref);
  return launched;
}

int runAlert(const EditorDesktop::Alert& alert) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s",
                                             alert.messageText.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informativeText.c_str());
  addApplicationIcon(GTK_MESSAGE_DIALOG(dialog));
  for (std::size_t i = 0; i < alert.buttons.size(); ++i)
    gtk_dialog_add_button(GTK_DIALOG(dialog), alert.buttons[i].c_str(), static_cast<gint>(i));
  if (!alert.buttons.empty()) gtk_dialog_set_default_response(GTK_DIALOG(dialog), 0);
  gint response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response >= 0 ? response : -1;
}

}  // namespace

EditorDesktop EditorDesktop::system() {
  EditorDesktop desktop;
  desktop.beep = [] {
    if (GdkDisplay* display = gdk_display_get_default()) gdk_display_beep(display);
  };
  desktop.openWithDefaultApplication = openWithDefault;
  desktop.openWithApplication = openWithNamed;
  desktop.runModalAlert = runAlert;
  return desktop;
}
