// The services-environment chooser under the virtual display: one radio button per environment
// with its title, the current one on; turning another on changes the environment at once.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "platform/Defaults.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"
#include "ui/EnvironmentChooserDialog.h"

namespace {
using Environment = AppServices::Environment;

struct Chooser : testing::Test {
  static void SetUpTestSuite() { gtk_init_check(nullptr, nullptr); }
  std::unique_ptr<Defaults> defaults;
  void SetUp() override { defaults = std::make_unique<Defaults>(testenv::freshFolder("d") / "defaults.json"); }
};

bool isOn(GtkWidget* radio) { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radio)); }
}  // namespace

TEST_F(Chooser, TheCurrentEnvironmentIsOnAndAnotherOneChangesIt) {
  defaults->setInteger("CurrentStoreEnvironment", 4);
  AppServices services(*defaults, false);
  int logouts = 0, observed = 0;
  services.logoutHandler = [&] { ++logouts; };
  services.addObserveHandler([&] { ++observed; });

  EnvironmentChooserDialog chooser(services);
  GtkWidget* local = chooser.radioButton(Environment::local);
  EXPECT_TRUE(isOn(chooser.radioButton(Environment::gcp)));
  EXPECT_FALSE(isOn(local));
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(local)), services.title(Environment::local).c_str());
  EXPECT_EQ(logouts, 0);

  gtk_button_clicked(GTK_BUTTON(local));
  EXPECT_TRUE(isOn(local));
  EXPECT_FALSE(isOn(chooser.radioButton(Environment::gcp)));
  EXPECT_EQ(services.currentEnvironment(), Environment::local);
  EXPECT_EQ(logouts, 1);
  EXPECT_EQ(observed, 1);
  EXPECT_EQ(defaults->integer("CurrentStoreEnvironment"), 3);

  // The one already on changes nothing.
  gtk_button_clicked(GTK_BUTTON(local));
  EXPECT_EQ(logouts, 1);
}

TEST_F(Chooser, TheDialogRunsModallyUntilDone) {
  AppServices services(*defaults, false);
  installEnvironmentChooser(services);
  ASSERT_TRUE(services.chooserPresenter);

  // The person turns production on and presses "Done" while the dialog runs.
  bool answered = false;
  guint source = g_timeout_add(50, +[](gpointer data) -> gboolean {
    for (GList* windows = gtk_window_list_toplevels(), *w = windows; w; w = w->next) {
      if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
      GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(w->data));
      GList* boxes = gtk_container_get_children(GTK_CONTAINER(area));
      for (GList* b = boxes; b; b = b->next) {
        if (!GTK_IS_BOX(b->data)) continue;
        GList* radios = gtk_container_get_children(GTK_CONTAINER(b->data));
        if (radios && GTK_IS_RADIO_BUTTON(radios->data)) gtk_button_clicked(GTK_BUTTON(radios->data));
        g_list_free(radios);
      }
      g_list_free(boxes);
      gtk_dialog_response(GTK_DIALOG(w->data), EnvironmentChooserDialog::doneResponse);
      *static_cast<bool*>(data) = true;
      g_list_free(windows);
      return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
  }, &answered);
  services.chooseEnvironment();
  if (!answered) g_source_remove(source);
  EXPECT_TRUE(answered);
  EXPECT_EQ(services.currentEnvironment(), Environment::production);

  // A pinned build never shows it.
  AppServices pinned(*defaults, true);
  installEnvironmentChooser(pinned);
  pinned.chooseEnvironment();
  EXPECT_EQ(pinned.currentEnvironment(), Environment::production);
}
