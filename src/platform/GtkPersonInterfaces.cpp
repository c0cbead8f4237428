#include "platform/GtkPersonInterfaces.h"

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/Alert.h"
#include "platform/GObjectPtr.h"
#include "platform/Panels.h"
#include "platform/RWLog.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "platform/Xdg.h"

namespace {

// The window the person was in last: once a panel closes no window has the focus for a moment,
// and a dialog then belongs on that one, a preview too, which the application's own list of
// windows doesn't hold. Dialogs aren't counted; GLib clears it when the window goes.
GtkWindow* lastFocusedWindow = nullptr;

gboolean noteFocusedWindow(GSignalInvocationHint*, guint, const GValue* values, gpointer) {
  auto* instance = g_value_get_object(&values[0]);
  if (!GTK_IS_WINDOW(instance) || GTK_IS_DIALOG(instance) || GTK_IS_OFFSCREEN_WINDOW(instance)) return TRUE;
  auto* window = GTK_WINDOW(instance);
  if (gtk_window_get_window_type(window) != GTK_WINDOW_TOPLEVEL || window == lastFocusedWindow) return TRUE;
  auto** slot = reinterpret_cast<gpointer*>(&lastFocusedWindow);
  if (lastFocusedWindow) g_object_remove_weak_pointer(G_OBJECT(lastFocusedWindow), slot);
  lastFocusedWindow = window;
  g_object_add_weak_pointer(G_OBJECT(window), slot);
  return TRUE;
}

bool canStandOn(GtkWindow* window) {
  return gtk_widget_get_visible(GTK_WIDGET(window)) && gtk_window_get_window_type(window) == GTK_WINDOW_TOPLEVEL &&
         !GTK_IS_OFFSCREEN_WINDOW(window) && gtk_widget_get_mapped(GTK_WIDGET(window));
}

}  // namespace

GtkWindow* dialogParentFor(GtkWindow* parent) {
  if (parent) return parent;
  GList* windows = gtk_window_list_toplevels();
  GtkWindow* active = nullptr;
  GtkWindow* visible = nullptr;
  for (GList* w = windows; w; w = w->next) {
    auto* window = GTK_WINDOW(w->data);
    // Windows drawn off the screen (the pages that render exports and pictures) are no one's to
    // stand on: a dialog over one opens at the screen's corner.
    if (!canStandOn(window)) continue;
    if (gtk_window_is_active(window)) active = window;
    visible = window;  // the list holds the newest first only by chance; any visible one will do
  }
  g_list_free(windows);
  if (active) return active;
  // Between two windows (a panel just closed) none has the focus: the window the person was in
  // last is the one.
  if (lastFocusedWindow && canStandOn(lastFocusedWindow)) return lastFocusedWindow;
  if (auto* app = g_application_get_default(); app && GTK_IS_APPLICATION(app)) {
    GtkWindow* last = gtk_application_get_active_window(GTK_APPLICATION(app));
    if (last && gtk_widget_get_mapped(GTK_WIDGET(last))) return last;
  }
  return visible;
}

void attachSheet(GtkWindow* sheet, GtkWindow* parent) {
  if (parent) {
    // A window group of its own keeps the sheet's modality to this window.
    if (!gtk_window_has_group(parent)) {
      GtkWindowGroup* group = gtk_window_group_new();
      gtk_window_group_add_window(group, parent);
      g_object_unref(group);  // the window holds it
    }
    gtk_window_group_add_window(gtk_window_get_group(parent), sheet);
    gtk_window_set_transient_for(sheet, parent);
    gtk_window_set_destroy_with_parent(sheet, TRUE);
    gtk_window_set_position(sheet, GTK_WIN_POS_CENTER_ON_PARENT);
  } else {
    gtk_window_set_position(sheet, GTK_WIN_POS_CENTER);
  }
  gtk_window_set_modal(sheet, TRUE);
}

void addApplicationIcon(GtkMessageDialog* dialog) {
  constexpr int size = 64;
  auto file = Resources::path("korvel", "svg");
  GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new_from_file_at_size(file.c_str(), size, size, nullptr));
  if (!pixbuf) return;
  GtkWidget* icon = gtk_image_new_from_pixbuf(pixbuf.get());
  gtk_widget_set_name(icon, "alert-icon");
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  GtkWidget* text = gtk_message_dialog_get_message_area(dialog);
  GtkWidget* row = gtk_widget_get_parent(text);
  if (!GTK_IS_BOX(row)) {
    gtk_widget_destroy(icon);
    return;
  }
  gtk_box_pack_start(GTK_BOX(row), icon, FALSE, FALSE, 0);
  gtk_box_reorder_child(GTK_BOX(row), icon, 0);
  gtk_widget_show(icon);
}

namespace {
bool nobodyAnswers = false;
}  // namespace

void dismissQuestionsFromNowOn() {
  nobodyAnswers = true;
  // Held while answered: an answer may destroy its dialog, and with it others standing on it.
  GList* windows = gtk_window_list_toplevels();
  std::vector<GtkWidget*> questions;
  for (GList* w = windows; w; w = w->next)
    if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
      questions.push_back(GTK_WIDGET(g_object_ref(w->data)));
  g_list_free(windows);
  for (auto* question : questions) {
    if (gtk_widget_get_visible(question)) gtk_dialog_response(GTK_DIALOG(question), GTK_RESPONSE_DELETE_EVENT);
    g_object_unref(question);
  }
}

namespace {

// A sheet holds only its window; a modal alert holds the whole application.
GtkWidget* makeDialog(const AlertSpec& alert, GtkWindow* parent, bool sheet) {
  parent = dialogParentFor(parent);
  RWLog("Alert: " + alert.messageText + (alert.informativeText.empty() ? "" : " — " + alert.informativeText));
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_OTHER,
                                             GTK_BUTTONS_NONE, "%s", alert.messageText.c_str());
  addApplicationIcon(GTK_MESSAGE_DIALOG(dialog));
  if (sheet) {
    attachSheet(GTK_WINDOW(dialog), parent);
  } else {
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), parent ? GTK_WIN_POS_CENTER_ON_PARENT : GTK_WIN_POS_CENTER);
  }
  if (!alert.informativeText.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", alert.informativeText.c_str());
  auto buttons = alert.buttons.empty() ? std::vector<std::string>{"OK"} : alert.buttons;
  for (std::size_t i = 0; i < buttons.size(); ++i)
    gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].c_str(), Alert::firstButtonReturn + static_cast<int>(i));
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), Alert::firstButtonReturn);
  return dialog;
}

// An answered alert gives the keyboard back to the window it stood on: window managers fall back
// to a document window rather than to a utility window such as the preview.
void closeDialog(GtkWidget* dialog) {
  GtkWindow* parent = gtk_window_get_transient_for(GTK_WINDOW(dialog));
  bool hadKeyboard = gtk_window_is_active(GTK_WINDOW(dialog));
  gtk_widget_destroy(dialog);
  if (hadKeyboard && parent && canStandOn(parent)) gtk_window_present(parent);
}

// Escape, or the window closed, answers the button that changes nothing, whichever place it has.
int normalise(int response, const AlertSpec& alert) {
  if (response >= Alert::firstButtonReturn) return response;
  return Alert::closeResponse(alert);
}

class GtkAlert : public Alert {
 public:
  int runModal(const AlertSpec& alert, GtkWindow* parent) override {
    if (nobodyAnswers) return closeResponse(alert);
    GtkWidget* dialog = makeDialog(alert, parent, false);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    closeDialog(dialog);
    return normalise(response, alert);
  }
  void beginSheet(const AlertSpec& alert, GtkWindow* window, std::function<void(int)> completion) override {
    if (nobodyAnswers) {
      if (completion) completion(closeResponse(alert));
      return;
    }
    GtkWidget* dialog = makeDialog(alert, window, true);
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
          closeDialog(GTK_WIDGET(d));
          if (done) done(answer);
        }),
        pending, +[](gpointer data, GClosure*) { delete static_cast<Pending*>(data); }, GConnectFlags(0));
    gtk_widget_show(dialog);
  }
  void beep() override { gdk_display_beep(gdk_display_get_default()); }
};

void addPatterns(GtkFileFilter* filter, const std::string& extension) {
  gtk_file_filter_add_pattern(filter, ("*." + extension).c_str());
  gchar* upper = g_ascii_strup(extension.c_str(), -1);
  if (extension != upper) gtk_file_filter_add_pattern(filter, (std::string("*.") + upper).c_str());
  g_free(upper);
}

void addFilters(GtkFileChooser* chooser, const std::vector<PanelFileType>& types) {
  // With several types, the first filter shows them all at once.
  int files = 0;
  for (auto& t : types) files += !(t.isFolder || t.extension.empty());
  if (files > 1) {
    GtkFileFilter* all = gtk_file_filter_new();
    gtk_file_filter_set_name(all, "All supported files");
    for (auto& t : types)
      if (!(t.isFolder || t.extension.empty())) addPatterns(all, t.extension);
    gtk_file_chooser_add_filter(chooser, all);
  }
  for (auto& t : types) {
    if (t.isFolder || t.extension.empty()) continue;
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, t.displayName.c_str());
    addPatterns(filter, t.extension);
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
    if (nobodyAnswers) return {};
    constexpr int openFolderResponse = 1;
    bool folders = false;
    for (auto& t : options.types) folders |= t.isFolder;
    if (options.attachToActiveWindow) parent = dialogParentFor(parent);
    GtkWidget* dialog = gtk_file_chooser_dialog_new("Open", parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                                    GTK_RESPONSE_CANCEL, nullptr);
    if (folders) gtk_dialog_add_button(GTK_DIALOG(dialog), "Open _Folder", openFolderResponse);
    gtk_dialog_add_button(GTK_DIALOG(dialog), options.prompt.empty() ? "_Open" : options.prompt.c_str(),
                          GTK_RESPONSE_ACCEPT);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    auto* chooser = GTK_FILE_CHOOSER(dialog);
    addFilters(chooser, options.types);
    // In a folder, as the save panel starts: GTK's recent-files view mishandles keys typed into it.
    gtk_file_chooser_set_current_folder(chooser, xdg::documents().c_str());
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
    forgetPlacesTheChooserNoted(out);
    return out;
  }

  std::optional<SavePanelResult> runSavePanel(const SavePanelOptions& options, GtkWindow* parent) override {
    if (nobodyAnswers) return std::nullopt;
    const PanelFileType* type = nullptr;
    for (auto& t : options.types)
      if (t.typeName == options.typeName) type = &t;
    if (!type && !options.types.empty()) type = &options.types.front();
    if (options.attachToActiveWindow) parent = dialogParentFor(parent);
    GtkFileChooserNative* chooser = gtk_file_chooser_native_new(
        options.message.empty() ? "Save" : options.message.c_str(), parent, GTK_FILE_CHOOSER_ACTION_SAVE,
        options.prompt.empty() ? "_Save" : options.prompt.c_str(), "_Cancel");
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
    // A document without a folder of its own starts in the person's documents folder.
    auto folder = options.directory ? *options.directory : xdg::documents();
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.c_str());
    std::optional<SavePanelResult> out;
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(chooser)) == GTK_RESPONSE_ACCEPT) {
      auto paths = chosenPaths(GTK_FILE_CHOOSER(chooser));
      GtkFileFilter* chosen = gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(chooser));
      const char* chosenName = chosen ? gtk_file_filter_get_name(chosen) : nullptr;
      const PanelFileType* picked = type;
      for (auto* t : offered)
        if (chosenName && t->displayName == chosenName) picked = t;
      // A panel that offers no types still answers the chosen path; one for a type answers a
      // name that type opens again, the one every later question (replacing) is about.
      if (!paths.empty())
        out = SavePanelResult{picked ? pathForSavedType(paths.front(), *picked) : paths.front(),
                              picked ? picked->typeName : std::string()};
    }
    g_object_unref(chooser);
    if (out) forgetPlacesTheChooserNoted({out->url});
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

// The group korvel's own entries carry in the desktop's list; the chooser's carry none.
constexpr const char* documentGroup = "korvel-document";

}  // namespace

gchar** recentDocumentGroups() {
  // The toolkit leaves out the groups of an entry when the first byte of the group list is zero,
  // and that byte is part of the first name's address: the name is kept where it is not zero.
  static gchar** groups = [] {
    static char storage[2 * sizeof("korvel-document")];
    static gchar* list[2] = {nullptr, nullptr};
    char* at = storage;
    unsigned char first = 0;
    std::memcpy(&first, &at, 1);
    if (first == 0) ++at;
    std::memcpy(at, documentGroup, std::strlen(documentGroup) + 1);
    list[0] = at;
    return list;
  }();
  return groups;
}

namespace {

const char* recentAppName() {
  const char* name = g_get_application_name();
  return name ? name : "korvel";
}

std::string uriOf(const std::filesystem::path& path) {
  GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
  char* uri = g_file_get_uri(file.get());
  std::string out = uri ? uri : "";
  g_free(uri);
  return out;
}

class GtkRecentDocuments : public RecentDocuments {
 public:
  void noteNewRecentDocumentURL(const std::filesystem::path& url) override {
    auto uri = uriOf(url);
    std::error_code ec;
    bool folder = std::filesystem::is_directory(url, ec);
    gchar* exec = g_strdup_printf("%s %%u", g_get_prgname() ? g_get_prgname() : "korvel");
    GtkRecentData data{};
    data.app_name = const_cast<gchar*>(recentAppName());
    data.app_exec = exec;
    data.mime_type = const_cast<gchar*>(folder ? "inode/directory" : "application/zip");
    data.groups = recentDocumentGroups();
    gtk_recent_manager_add_full(gtk_recent_manager_get_default(), uri.c_str(), &data);
    g_free(exec);
  }
  void removeRecentDocumentURL(const std::filesystem::path& url) override {
    GObjectPtr<GFile> file(g_file_new_for_path(url.c_str()));
    char* uri = g_file_get_uri(file.get());
    gtk_recent_manager_remove_item(gtk_recent_manager_get_default(), uri, nullptr);
    g_free(uri);
  }
  // Newest first: the desktop's list keeps its own order, so it is sorted by when each was noted.
  std::vector<std::filesystem::path> recentDocumentURLs() const override {
    std::vector<std::pair<time_t, std::filesystem::path>> found;
    GList* items = gtk_recent_manager_get_items(gtk_recent_manager_get_default());
    const char* app = recentAppName();
    for (GList* i = items; i; i = i->next) {
      auto* info = static_cast<GtkRecentInfo*>(i->data);
      // Only what korvel noted as a document: places the chooser noted under its name are not.
      if (gtk_recent_info_has_application(info, app) && gtk_recent_info_has_group(info, documentGroup) &&
          gtk_recent_info_is_local(info)) {
        char* path = g_filename_from_uri(gtk_recent_info_get_uri(info), nullptr, nullptr);
        if (path) found.emplace_back(gtk_recent_info_get_modified(info), path);
        g_free(path);
      }
      gtk_recent_info_unref(info);
    }
    g_list_free(items);
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::filesystem::path> out;
    for (auto& entry : found) out.push_back(std::move(entry.second));
    return out;
  }
};

}  // namespace

namespace {

void forgetNow(const std::vector<std::filesystem::path>& places) {
  auto* manager = gtk_recent_manager_get_default();
  for (const auto& place : places) {
    auto uri = uriOf(place);
    GtkRecentInfo* info = gtk_recent_manager_lookup_item(manager, uri.c_str(), nullptr);
    if (!info) continue;
    gsize count = 0;
    gchar** apps = gtk_recent_info_get_applications(info, &count);
    // Another program's entry, or korvel's own document, stays.
    bool onlyTheChooser = count == 1 && gtk_recent_info_has_application(info, recentAppName()) &&
                          !gtk_recent_info_has_group(info, documentGroup);
    g_strfreev(apps);
    gtk_recent_info_unref(info);
    if (onlyTheChooser) gtk_recent_manager_remove_item(manager, uri.c_str(), nullptr);
  }
}

}  // namespace

void forgetPlacesTheChooserNoted(const std::vector<std::filesystem::path>& places) {
  if (places.empty()) return;
  forgetNow(places);
  // The chooser notes a place once it has looked up its type in the background: look again.
  for (double delay : {0.5, 2.0, 5.0}) MainQueue::asyncAfter(delay, [places] { forgetNow(places); });
}

void installGtkPersonInterfaces() {
  static bool hooked = false;
  if (!hooked) {
    g_type_class_unref(g_type_class_ref(GTK_TYPE_WINDOW));
    g_signal_add_emission_hook(g_signal_lookup("focus-in-event", GTK_TYPE_WIDGET), 0, noteFocusedWindow, nullptr,
                               nullptr);
    hooked = true;
  }
  Alert::setShared(std::make_unique<GtkAlert>());
  Panels::setShared(std::make_unique<GtkPanels>());
  Workspace::setShared(std::make_unique<GtkWorkspace>());
  RecentDocuments::setShared(std::make_unique<GtkRecentDocuments>());
}
