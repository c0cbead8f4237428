#include "platform/GtkPersonInterfaces.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "platform/Alert.h"
#include "platform/GObjectPtr.h"
#include "platform/Panels.h"
#include "platform/Workspace.h"

namespace {

GtkWidget* makeDialog(const AlertSpec& alert, GtkWindow* parent) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                             GTK_MESSAGE_OTHER, GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
  if (!alert.informativeText.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informativeText.c_str());
  auto buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
  for (std::size_t i = 0; i < buttons.size(); ++i)
    gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), Alert::firstButtonReturn + static_cast<int>(i));
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), Alert::firstButtonReturn);
  return dialog;
}

// Closing the dialog without a button counts as its last button, the usual "Cancel".
int normalise(int response, const AlertSpec& alert) {
  if (response >= Alert::firstButtonReturn) return response;
  return Alert::firstButtonReturn + static_cast<int>(alert.buttons.empty() ? 0 : alert.buttons.size() - 1);
}

class GtkAlert : public Alert {
 public:
  int runModal(const AlertSpec& alert, GtkWindow* parent) override {
    GtkWidget* dialog = makeDialog(alert, parent);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return normalise(response, alert);
  }
  void beginSheet(const AlertSpec& alert, GtkWindow* window, std::function<void(int)> completion) override {
    GtkWidget* dialog = makeDialog(alert, window);
    struct Pending {
      AlertSpec alert;
      std::function<void(int)> completion;
    };
    auto* pending = new Pending{alert, std::move(completion)};
    g_signal_connect_data(
        dialog, "response", G_CALLBACK(+[](GtkDialog* d, int response, gpointer data) {
          auto* p = static_cast<Pending*>(data);
          auto done = std::move(p->completion);
          p->completion = nullptr;
          int answer = normalise(response, p->alert);
          gtk_widget_destroy(GTK_WIDGET(d));
          if (done) done(answer);
        }),
        pending, +[](gpointer data, GClosure*) { delete static_cast<Pending*>(data); }, GConnectFlags(0));
    gtk_widget_show(dialog);
  }
  void beep() override { gdk_display_beep(gdk_display_get_default()); }
};

void addFilters(GtkFileChooser* chooser, const std::vector<PanelFileType>& types) {
  for (auto& t : types) {
    if (t.isFolder || t.extension.empty()) continue;
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, t.displayName.c_str());
    gtk_file_filter_add_pattern(filter, ("*." + t.extension).c_str());
    gtk_file_chooser_add_filter(chooser, filter);
  }
}

std::vector<std::filesystem::path> chosenPaths(GtkFileChooser* chooser) {
  std::vector<std::filesystem::path> out;
  GSList* files = gtk_file_chooser_get_filenames(chooser);
  for (GSList* f = files; f; f = f->next) {
    out.emplace_back(static_cast<char*>(f->data));
    g_free(f->data);
  }
  g_slist_free(files);
  return out;
}

class GtkPanels : public Panels {
 public:
  // A project is a ".korvelx" file or a folder: "Open" takes the chosen files, "Open Folder"
  // the chosen folder, or the folder on show when none is chosen.
  std::vector<std::filesystem::path> runOpenPanel(const OpenPanelOptions& options, GtkWindow* parent) override {
    constexpr int openFolderResponse = 1;
    bool folders = false;
    for (auto& t : options.types) folders |= t.isFolder;
    GtkWidget* dialog = gtk_file_chooser_dialog_new("Open", parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                                    GTK_RESPONSE_CANCEL, nullptr);
    if (folders) gtk_dialog_add_button(GTK_DIALOG(dialog), "Open _Folder", openFolderResponse);
    gtk_dialog_add_button(GTK_DIALOG(dialog), "_Open", GTK_RESPONSE_ACCEPT);
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    addFilters(chooser, options.types);
    gtk_file_chooser_set_select_multiple(chooser, options.allowsMultipleSelection);
    std::vector<std::filesystem::path> out;
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (response == GTK_RESPONSE_ACCEPT) {
      out = chosenPaths(chooser);
    } else if (response == openFolderResponse) {
      for (auto& p : chosenPaths(chooser))
        if (std::filesystem::is_directory(p)) out.push_back(p);
      if (out.empty())
        if (char* folder = gtk_file_chooser_get_current_folder(chooser)) {
          out.emplace_back(folder);
          g_free(folder);
        }
    }
    gtk_widget_destroy(dialog);
    return out;
  }

  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions& options, GtkWindow* parent) override {
    const PanelFileType* type = nullptr;
    for (auto& t : options.types)
      if (t.typeName == options.typeName) type = &t;
    if (!type && !options.types.empty()) type = &options.types.front();
    GtkFileChooserNative* chooser =
        gtk_file_chooser_native_new("Save", parent, GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "_Cancel");
    std::vector<const PanelFileType*> offered;
    for (auto& t : options.types) {
      GtkFileFilter* filter = gtk_file_filter_new();
      gtk_file_filter_set_name(filter, t.displayName.c_str());
      gtk_file_filter_add_pattern(filter, t.extension.empty() ? "*" : ("*." + t.extension).c_str());
      gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
      if (&t == type) gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(chooser), filter);
      offered.push_back(&t);
    }
    std::string name = options.nameFieldValue;
    if (type && !type->extension.empty()) name += "." + type->extension;
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name.c_str());
    if (options.directory) gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), options.directory->c_str());
    std::optional<SavePanelResult> out;
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
      auto paths = chosenPaths(GTK_FILE_CHOOSER(chooser));
      GtkFileFilter* chosen = gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(chooser));
      const char* chosenName = chosen ? gtk_file_filter_get_name(chosen) : nullptr;
      const PanelFileType* picked = type;
      for (auto* t : offered)
        if (chosenName && t->displayName == chosenName) picked = t;
      if (!paths.empty() && picked) out = SavePanelResult{paths.front(), picked->typeName};
    }
    g_object_unref(chooser);
    return out;
  }
};

class GtkWorkspace : public Workspace {
 public:
  bool openFile(const std::filesystem::path& path) override {
    GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    char* uri = g_file_get_uri(file.get());
    bool ok = g_app_info_launch_default_for_uri(uri, nullptr, nullptr);
    g_free(uri);
    return ok;
  }
  void activateFileViewerSelecting(const std::vector<std::filesystem::path>& items) override {
    if (items.empty()) return;
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    for (auto& item : items) {
      GObjectPtr<GFile> file(g_file_new_for_path(item.c_str()));
      char* uri = g_file_get_uri(file.get());
      g_variant_builder_add(&uris, "s", uri);
      g_free(uri);
    }
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr));
    if (!bus) return;
    g_dbus_connection_call(bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
  }
};

class GtkRecentDocuments : public RecentDocuments {
 public:
  void noteNewRecentDocumentURL(const std::filesystem::path& url) override {
    GObjectPtr<GFile> file(g_file_new_for_path(url.c_str()));
    char* uri = g_file_get_uri(file.get());
    gtk_recent_manager_add_item(gtk_recent_manager_get_default(), uri);
    g_free(uri);
  }
  std::vector<std::filesystem::path> recentDocumentURLs() const override {
    std::vector<std::filesystem::path> out;
    GList* items = gtk_recent_manager_get_items(gtk_recent_manager_get_default());
    const char* app = g_get_application_name();
    for (GList* i = items; i; i = i->next) {
      auto* info = static_cast<GtkRecentInfo*>(i->data);
      if (app && gtk_recent_info_has_application(info, app) && gtk_recent_info_is_local(info)) {
        char* path = g_filename_from_uri(gtk_recent_info_get_uri(info), nullptr, nullptr);
        if (path) out.emplace_back(path);
        g_free(path);
      }
      gtk_recent_info_unref(info);
    }
    g_list_free(items);
    return out;
  }
};

}  // namespace

void installGtkPersonInterfaces() {
  Alert::setShared(std::make_unique<GtkAlert>());
  Panels::setShared(std::make_unique<GtkPanels>());
  Workspace::setShared(std::make_unique<GtkWorkspace>());
  RecentDocuments::setShared(std::make_unique<GtkRecentDocuments>());
}
