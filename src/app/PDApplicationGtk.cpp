#include "app/PDApplicationGtk.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>

#include <memory>
#include <string>
#include <vector>

#include "account/LoginController.h"
#include "app/MainMenu.h"
#include "app/MainMenuBar.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebActionsWebView.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/PDBaseDocument.h"
#include "foundation/AppMenu.h"
#include "foundation/AppServices.h"
#include "login/LoginWindowController.h"
#include "login/LoginWindowView.h"
#include "platform/AppBundleInfo.h"
#include "platform/GObjectPtr.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/JsonCoder.h"
#include "platform/LargeBlocks.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "platform/WebCompositingGtk.h"
#include "platform/Workspace.h"
#include "telemetry/ApplicationActivity.h"
#include "ui/EnvironmentChooserDialog.h"
#include "ui/TitlebarExtras.h"

namespace {

struct Run {
  PDApplication::Hooks hooks;
  std::unique_ptr<PDApplication> application;
  GtkApplication* gtk = nullptr;
  bool activatedOnce = false;
  bool held = false;
  int idleChecks = 0;
  guint quitCheck = 0;
};

Run* current = nullptr;

std::shared_ptr<PDBaseDocument> keyDocument() {
  GtkWindow* window = MainMenuBar::keyWindow();
  auto* controller = BaseDocumentController::shared();
  if (!window || !controller) return nullptr;
  for (const auto& document : controller->documents())
    if (document->windowForSheet() == window) return std::dynamic_pointer_cast<PDBaseDocument>(document);
  return nullptr;
}

bool editFocusedWidget(const std::string& action, bool perform) {
  GtkWindow* window = MainMenuBar::keyWindow();
  GtkWidget* focus = window ? gtk_window_get_focus(window) : nullptr;
  if (!focus || !GTK_IS_EDITABLE(focus)) return false;
  GtkEditable* editable = GTK_EDITABLE(focus);
  bool editableText = gtk_editable_get_editable(editable);
  if (action == "copy:" || action == "selectAll:") {
    if (perform && action == "copy:") gtk_editable_copy_clipboard(editable);
    if (perform && action == "selectAll:") gtk_editable_select_region(editable, 0, -1);
    return true;
  }
  if (action == "cut:" || action == "paste:" || action == "delete:") {
    if (!editableText) return false;
    if (perform && action == "cut:") gtk_editable_cut_clipboard(editable);
    if (perform && action == "paste:") gtk_editable_paste_clipboard(editable);
    if (perform && action == "delete:") gtk_editable_delete_selection(editable);
    return true;
  }
  return false;
}

bool windowAction(const std::string& action) {
  GtkWindow* window = MainMenuBar::keyWindow();
  if (!window) return false;
  if (action == "performMiniaturize:") {
    gtk_window_iconify(window);
    return true;
  }
  if (action == "performZoom:") {
    if (gtk_window_is_maximized(window))
      gtk_window_unmaximize(window);
    else
      gtk_window_maximize(window);
    return true;
  }
  return false;
}

bool anyWindowOnScreen() {
  GList* windows = gtk_window_list_toplevels();
  bool visible = false;
  for (GList* w = windows; w && !visible; w = w->next) {
    GtkWidget* widget = GTK_WIDGET(w->data);
    // Hidden pages render in off-screen windows; menus and tooltips are popups.
    if (GTK_IS_OFFSCREEN_WINDOW(widget) || gtk_window_get_window_type(GTK_WINDOW(widget)) == GTK_WINDOW_POPUP) continue;
    visible = gtk_widget_get_visible(widget);
  }
  g_list_free(windows);
  return visible;
}

// With no window on screen, no document open and none being opened, saved or copied for two
// checks in a row, the person has closed the last thing they could see: the run ends, as
// desktop programs do here. A document given at the start is read before its window shows.
gboolean checkForQuit(gpointer) {
  if (!current || !current->application) return G_SOURCE_CONTINUE;
  auto* controller = BaseDocumentController::shared();
  bool idle = !anyWindowOnScreen() && (!controller || controller->isIdle());
  current->idleChecks = idle ? current->idleChecks + 1 : 0;
  if (current->idleChecks >= 2) {
    current->idleChecks = 0;
    current->application->terminate();
  }
  return G_SOURCE_CONTINUE;
}

// SIGTERM, as a logout or a shutdown sends it: the application's quit, on the main loop, with
// nobody there to answer; the process then exits. Sent again meanwhile, the quit goes on.
gboolean onTerminateSignal(gpointer) {
  if (!current) return G_SOURCE_CONTINUE;
  // A question on screen would hold the quit in its own loop until someone answered it.
  dismissQuestionsFromNowOn();
  if (current->application)
    current->application->endSession();
  else if (current->gtk)
    g_application_quit(G_APPLICATION(current->gtk));
  return G_SOURCE_CONTINUE;
}

void quit() {
  if (!current || !current->gtk) return;
  if (current->held) {
    current->held = false;
    g_application_release(G_APPLICATION(current->gtk));
  }
  // Windows that stay hidden for the run (welcome, login) would keep the application alive.
  GList* windows = gtk_application_get_windows(current->gtk);
  std::vector<GtkWindow*> attached;
  for (GList* w = windows; w; w = w->next) attached.push_back(GTK_WINDOW(w->data));
  for (auto* w : attached) gtk_application_remove_window(current->gtk, w);
  g_application_quit(G_APPLICATION(current->gtk));
}

// The application stops being the active one when, once focus has settled, none of its
// windows is active.
void onActiveChanged(GtkWindow* window, GParamSpec*, gpointer) {
  if (gtk_window_is_active(window)) return;
  g_idle_add(+[](gpointer) -> gboolean {
    if (current && current->application && !MainMenuBar::keyWindow()) current->application->applicationWillResignActive();
    return G_SOURCE_REMOVE;
  }, nullptr);
}

// A click on one of the application's desktop notifications: its parameter is the notification's
// user information as JSON text.
void onNotificationActivated(GSimpleAction*, GVariant* parameter, gpointer) {
  if (!current || !current->application || !parameter) return;
  auto userInfo = JsonCoder::parse(g_variant_get_string(parameter, nullptr));
  if (userInfo) current->application->userNotificationDidActivate(*userInfo);
}

// Every window of the application answers the menu's key equivalents, except dialogs, which
// keep the person on their question.
gboolean attachKeyEquivalents(GSignalInvocationHint*, guint, const GValue* params, gpointer) {
  GObject* object = G_OBJECT(g_value_get_object(&params[0]));
  if (!GTK_IS_WINDOW(object) || GTK_IS_OFFSCREEN_WINDOW(object) || GTK_IS_DIALOG(object)) return TRUE;
  GtkWindow* window = GTK_WINDOW(object);
  if (gtk_window_get_window_type(window) != GTK_WINDOW_TOPLEVEL || gtk_window_get_modal(window)) return TRUE;
  if (g_object_get_data(object, "korvel-key-equivalents")) return TRUE;
  g_object_set_data(object, "korvel-key-equivalents", GINT_TO_POINTER(1));
  MainMenuBar::attach(window);
  g_signal_connect(window, "notify::is-active", G_CALLBACK(onActiveChanged), nullptr);
  return TRUE;
}

void onStartup(GApplication*, gpointer) {
  WebCompositing::chooseForDefaultDisplay();  // before any web view
  g_signal_add_emission_hook(g_signal_lookup("show", GTK_TYPE_WIDGET), 0, attachKeyEquivalents, nullptr, nullptr);
  installGtkPersonInterfaces();
  WebActionsMenuDelegate::install();
  // Each window's menu bar acts on its own editor, whichever window the desktop calls active.
  WebActionsMenuDelegate::shared().targetResolver = []() -> WebActions::WebView* {
    if (auto document = keyDocument()) return &document->ostrelViewController().webViewController().webView();
    return WebActions::WebView::focused();
  };
  AppMenu::setMainMenu(MainMenu::make());
  LoginWindowController::install(LoginController::shared());
  installEnvironmentChooser(AppServices::shared());

  auto& hooks = current->hooks;
  hooks.activate = [] {
    if (auto* window = MainMenuBar::keyWindow()) gtk_window_present(window);
  };
  hooks.quit = quit;
  hooks.isActive = [] { return ApplicationActivity::isActive(); };
  hooks.keyDocument = keyDocument;
  hooks.editFocusedWidget = editFocusedWidget;
  hooks.windowAction = windowAction;
  hooks.openURL = [](const std::string& url) { UrlOpener::open(url); };
  hooks.openFolder = [](const std::filesystem::path& folder) { Workspace::shared().openFile(folder); };

  current->application = std::make_unique<PDApplication>(hooks);
  auto* app = current->application.get();

  DocumentHooks::isTerminating = [] {
    auto* a = PDApplication::shared();
    return a && a->isTerminating();
  };
  DocumentHooks::showWelcomeWindow = [] {
    if (auto* a = PDApplication::shared()) a->showWelcomeWindow();
  };
  DocumentHooks::closeWelcomeWindow = [] {
    if (auto* a = PDApplication::shared()) a->closeWelcomeWindow();
  };
  if (auto showOnStartup = hooks.welcomeShouldShowOnStartup) DocumentHooks::welcomeShouldShowOnStartup = showOnStartup;
  DocumentHooks::checkForUpdates = [] {
    if (auto* a = PDApplication::shared()) a->checkForUpdates();
  };
  DocumentHooks::installMainMenu = [](void* window, void* box) {
    if (GtkWidget* titlebar = gtk_window_get_titlebar(GTK_WINDOW(window)); titlebar && GTK_IS_HEADER_BAR(titlebar))
      TitlebarExtras::useUnifiedTitlebarHeight(GTK_HEADER_BAR(titlebar));
    GtkWidget* bar = MainMenuBar::create();
    gtk_box_pack_start(GTK_BOX(box), bar, FALSE, FALSE, 0);
  };
  DocumentHooks::performKeyEquivalent = [](const void* event) {
    return MainMenuBar::performKeyEquivalent(static_cast<const GdkEventKey*>(event));
  };
  DocumentHooks::optionKeyHeld = [] {
    GdkDisplay* display = gdk_display_get_default();
    return display && (gdk_keymap_get_modifier_state(gdk_keymap_get_for_display(display)) & GDK_MOD1_MASK) != 0;
  };

  auto& login = LoginController::shared();
  login.applicationHooks.activate = [] {
    if (auto* a = PDApplication::shared()) a->handleURLEvent("korvel-x://");
  };
  login.applicationHooks.terminate = [] {
    if (auto* a = PDApplication::shared()) a->terminate();
  };
  login.applicationHooks.showWelcomeWindow = [] {
    if (auto* a = PDApplication::shared()) a->showWelcomeWindow();
  };

  ApplicationActivity::startFollowing();
  g_application_hold(G_APPLICATION(current->gtk));
  current->held = true;
  app->applicationWillFinishLaunching();
  app->applicationDidFinishLaunching();
  current->quitCheck = g_timeout_add_seconds(1, checkForQuit, nullptr);
}

void onActivate(GApplication*, gpointer) {
  auto* app = current->application.get();
  if (!app) return;
  if (!current->activatedOnce) {
    current->activatedOnce = true;
    app->applicationShouldOpenUntitledFile();
    return;
  }
  app->applicationShouldHandleReopen(anyWindowOnScreen());
  if (auto* window = MainMenuBar::keyWindow()) gtk_window_present(window);
}

void onOpen(GApplication*, GFile** files, gint count, gchar*, gpointer) {
  auto* app = current->application.get();
  if (!app) return;
  current->activatedOnce = true;
  std::vector<std::filesystem::path> paths;
  for (gint i = 0; i < count; ++i) {
    if (g_file_has_uri_scheme(files[i], "korvel-x")) {
      char* uri = g_file_get_uri(files[i]);
      app->handleURLEvent(uri ? uri : "");
      g_free(uri);
      continue;
    }
    char* path = g_file_get_path(files[i]);
    if (path) paths.emplace_back(path);
    g_free(path);
  }
  if (!paths.empty()) app->openFiles(paths);
}

void onShutdown(GApplication*, gpointer) {
  if (current->quitCheck) g_source_remove(current->quitCheck);
  current->quitCheck = 0;
  if (current->application && !current->application->isTerminating()) current->application->applicationWillTerminate();
  // The toolkit writes the recent documents a moment after each change; one noted just before
  // the quit is written now, or it is lost with the run.
  g_signal_emit_by_name(gtk_recent_manager_get_default(), "changed");
}

}  // namespace

int PDApplicationMain(int argc, char** argv, PDApplication::Hooks hooks) {
  LargeBlocks::returnWhenFreed();
  Run run;
  run.hooks = std::move(hooks);
  current = &run;
  std::string id = AppBundleInfo::main().string("CFBundleIdentifier").value_or("com.korvel.x");
  GObjectPtr<GtkApplication> gtk(gtk_application_new(id.c_str(), G_APPLICATION_HANDLES_OPEN));
  run.gtk = gtk.get();
  g_signal_connect(gtk.get(), "startup", G_CALLBACK(onStartup), nullptr);
  g_signal_connect(gtk.get(), "activate", G_CALLBACK(onActivate), nullptr);
  g_signal_connect(gtk.get(), "open", G_CALLBACK(onOpen), nullptr);
  g_signal_connect(gtk.get(), "shutdown", G_CALLBACK(onShutdown), nullptr);
  static const GActionEntry actions[] = {{"notification-activated", onNotificationActivated, "s", nullptr, nullptr, {}}};
  g_action_map_add_action_entries(G_ACTION_MAP(gtk.get()), actions, G_N_ELEMENTS(actions), nullptr);
  // Kept to the process's end: a SIGTERM while the documents go below ends nothing half way.
  g_unix_signal_add(SIGTERM, onTerminateSignal, nullptr);
  int status = g_application_run(G_APPLICATION(gtk.get()), argc, argv);
  // Documents and windows go before the toolkit's application object.
  run.application.reset();
  current = nullptr;
  return status;
}
