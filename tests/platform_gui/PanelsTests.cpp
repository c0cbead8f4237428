// The toolkit's open and save panels under the virtual display: on the window they are given or
// free-standing, with the requested button title, answered by a person stand-in that finds the
// chooser on screen.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <functional>

#include "platform/FileSystem.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/Panels.h"
#include "support/TestEnvironment.h"

namespace {

GtkWidget* visibleChooser() {
  GtkWidget* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w; w = w->next)
    if (GTK_IS_FILE_CHOOSER_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) found = GTK_WIDGET(w->data);
  g_list_free(windows);
  return found;
}

// Answers the next chooser that appears, from inside the panel's own loop; `answer` is asked
// again until it says it is done (a chooser takes its time to show a chosen file).
void answerWhenShown(std::function<bool(GtkWidget* chooser)> answer) {
  auto* pending = new std::function<bool(GtkWidget*)>(std::move(answer));
  g_timeout_add(50, [](gpointer data) -> gboolean {
    GtkWidget* chooser = visibleChooser();
    auto* answer = static_cast<std::function<bool(GtkWidget*)>*>(data);
    if (!chooser || !(*answer)(chooser)) return G_SOURCE_CONTINUE;
    delete answer;
    return G_SOURCE_REMOVE;
  }, pending);
}

std::string acceptLabel(GtkWidget* chooser) {
  GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
  return button ? gtk_button_get_label(GTK_BUTTON(button)) : "";
}

struct Desk {
  Desk() {
    EXPECT_TRUE(gtk_init_check(nullptr, nullptr));
    installGtkPersonInterfaces();
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show(window);
  }
  ~Desk() {
    gtk_widget_destroy(window);
    Panels::setShared(nullptr);
  }
  GtkWidget* window;
};

}  // namespace

TEST(GtkPanels, AnOpenPanelSitsOnItsWindowWithThePromptAndAnswersTheChosenFile) {
  Desk desk;
  auto folder = testenv::freshFolder("open");
  ASSERT_TRUE(fs::writeAtomically(folder / "a.png", std::string_view("x")));
  OpenPanelOptions options;
  options.types = {{"png", "png", "png", false}, {"webp", "webp", "webp", false}};
  options.prompt = "Open";
  options.attachToActiveWindow = false;
  GtkWindow* parent = nullptr;
  std::string label;
  bool asked = false;
  answerWhenShown([&](GtkWidget* chooser) {
    if (!asked) {
      parent = gtk_window_get_transient_for(GTK_WINDOW(chooser));
      label = acceptLabel(chooser);
      gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(chooser), (folder / "a.png").c_str());
      asked = true;
    }
    gchar* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    bool shown = file && folder / "a.png" == file;
    g_free(file);
    if (shown) gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
    return shown;
  });
  auto chosen = Panels::shared().runOpenPanel(options, GTK_WINDOW(desk.window));
  EXPECT_EQ(parent, GTK_WINDOW(desk.window));
  EXPECT_EQ(label, "Open");
  EXPECT_EQ(chosen, std::vector<std::filesystem::path>{folder / "a.png"});
}

TEST(GtkPanels, WithoutAWindowThePanelStandsAloneAndCancelAnswersNothing) {
  Desk desk;
  OpenPanelOptions options;
  options.attachToActiveWindow = false;
  GtkWindow* parent = GTK_WINDOW(desk.window);
  answerWhenShown([&](GtkWidget* chooser) {
    parent = gtk_window_get_transient_for(GTK_WINDOW(chooser));
    gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_CANCEL);
    return true;
  });
  EXPECT_TRUE(Panels::shared().runOpenPanel(options, nullptr).empty());
  EXPECT_EQ(parent, nullptr);
}

TEST(GtkPanels, ASavePanelShowsItsMessageAndNameAndAnswersThePath) {
  Desk desk;
  auto folder = testenv::freshFolder("save");
  SavePanelOptions options;
  options.message = "Where should the logo go?";
  options.nameFieldValue = "logo.png";
  options.directory = folder;
  options.attachToActiveWindow = false;
  std::string title, name;
  answerWhenShown([&](GtkWidget* chooser) {
    // A save chooser checks the name against its folder before it answers; an answer given before
    // the folder has loaded is dropped, so it is given once the chooser names the file.
    gchar* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    bool ready = file && folder / "logo.png" == file;
    g_free(file);
    if (!ready) return false;
    title = gtk_window_get_title(GTK_WINDOW(chooser));
    gchar* current = gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(chooser));
    name = current ? current : "";
    g_free(current);
    gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
    return true;
  });
  auto saved = Panels::shared().runSavePanel(options, GTK_WINDOW(desk.window));
  EXPECT_EQ(title, "Where should the logo go?");
  EXPECT_EQ(name, "logo.png");
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->url, folder / "logo.png");
}

// A name typed without the type's extension, or with another one, is answered with it: the
// file written there opens again as that type.
TEST(GtkPanels, ASavePanelForATypeAnswersTheNameWithTheTypesExtension) {
  Desk desk;
  auto folder = testenv::freshFolder("typed");
  for (const char* typed : {"CopyA", "CopyB.zip"}) {
    SavePanelOptions options;
    options.types = {{"com.korvel.projectzip", "Korvel Project", "korvelx", false},
                     {"com.korvel.projectfolder", "Korvel Project Folder", "", true}};
    options.typeName = "com.korvel.projectzip";
    options.nameFieldValue = "Design1";
    options.directory = folder;
    options.attachToActiveWindow = false;
    bool named = false;
    answerWhenShown([&](GtkWidget* chooser) {
      gchar* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
      std::filesystem::path wanted = folder / (named ? typed : "Design1.korvelx");
      bool ready = file && wanted == file;
      g_free(file);
      if (!ready) return false;
      if (!named) {
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), typed);
        named = true;
        return false;
      }
      gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
      return true;
    });
    auto saved = Panels::shared().runSavePanel(options, GTK_WINDOW(desk.window));
    ASSERT_TRUE(saved) << typed;
    EXPECT_EQ(saved->url, folder / (std::string(typed) + ".korvelx"));
    EXPECT_EQ(saved->typeName, "com.korvel.projectzip");
  }
}
