// The About window: the version toggles on clicks, a missing key keeps the text, the links open
// the acknowledgements file and the licence page; then the same through the window's widgets.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "foundation/AppInfo.h"
#include "platform/AppBundleInfo.h"
#include "platform/RunLoop.h"
#include "platform/UrlOpener.h"
#include "platform/Workspace.h"
#include "ui/RWAboutWindow.h"

namespace {

class RecordingWorkspace : public Workspace {
 public:
  explicit RecordingWorkspace(std::vector<std::filesystem::path>* files) : files_(files) {}
  bool openFile(const std::filesystem::path& path) override {
    files_->push_back(path);
    return true;
  }
  void activateFileViewerSelecting(const std::vector<std::filesystem::path>&) override {}

 private:
  std::vector<std::filesystem::path>* files_;
};

struct About : testing::Test {
  static void SetUpTestSuite() { gtk_init_check(nullptr, nullptr); }
  std::vector<std::filesystem::path> files;
  std::vector<std::string> urls;
  AppBundleInfo bundle{{{"CFBundleName", "Korvel"}, {"CFBundleShortVersionString", "1.4"}, {"CFBundleVersion", "140"}}};
  void SetUp() override {
    Workspace::setShared(std::make_unique<RecordingWorkspace>(&files));
    UrlOpener::setHandler([this](const std::string& url) { urls.push_back(url); });
  }
  void TearDown() override {
    Workspace::setShared(nullptr);
    UrlOpener::setHandler({});
  }
};

void click(GtkWidget* widget) {
  GdkEvent* event = gdk_event_new(GDK_BUTTON_RELEASE);
  event->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(widget)));
  event->button.button = GDK_BUTTON_PRIMARY;
  gtk_widget_event(widget, event);
  gdk_event_free(event);
}

}  // namespace

TEST_F(About, TheVersionTogglesAndAMissingKeyKeepsTheText) {
  RWAboutWindow about(bundle);
  about.updateVersionLabel();
  EXPECT_EQ(about.versionLabelText(), "1.4");
  about.versionLabelClicked();
  EXPECT_EQ(about.versionLabelSelectedKey(), 1);
  EXPECT_EQ(about.versionLabelText(), "140");
  about.versionLabelClicked();
  EXPECT_EQ(about.versionLabelText(), "1.4");

  AppBundleInfo partial(AppBundleInfo::Table{{"CFBundleShortVersionString", "2.0"}});
  RWAboutWindow other(partial);
  other.updateVersionLabel();
  other.versionLabelClicked();
  EXPECT_EQ(other.versionLabelSelectedKey(), 1);
  EXPECT_EQ(other.versionLabelText(), "2.0");
}

TEST_F(About, TheLinksOpenTheAcknowledgementsAndTheLicence) {
  RWAboutWindow about(bundle);
  about.acknowledgmentsClicked();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), "Acknowledgements.md");
  EXPECT_TRUE(std::filesystem::is_regular_file(files[0]));
  about.licenseAgreementClicked();
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], "https://www.korvel.io/assets/static/downloads/eula.pdf");
}

TEST_F(About, TheWindowShowsItAllAndAnswersClicks) {
  RWAboutWindow about(bundle);
  EXPECT_FALSE(about.isWindowLoaded());
  about.showWindow();
  ASSERT_TRUE(about.isWindowLoaded());
  ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(GTK_WIDGET(about.window())); }, 30));
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(about.versionLabel())), "1.4");
  EXPECT_EQ(gtk_label_get_text(GTK_LABEL(about.extraVersionInfoLabel())), AppInfo::buildName());

  click(about.versionLabelClickArea());
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(about.versionLabel())), "140");
  // A click elsewhere changes nothing.
  click(about.extraVersionInfoLabel());
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(about.versionLabel())), "140");

  gtk_button_clicked(GTK_BUTTON(about.acknowledgmentsButton()));
  gtk_button_clicked(GTK_BUTTON(about.licenseAgreementButton()));
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(urls.size(), 1u);

  // Closed, it comes back as it was.
  gtk_window_close(about.window());
  ASSERT_TRUE(RunLoop::runUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(about.window())); }, 30));
  about.showWindow();
  EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(about.window())));
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(about.versionLabel())), "140");
}

// Escape and Ctrl+W close it; other keys, and W without Control, leave it open.
TEST_F(About, EscapeAndControlWClose) {
  RWAboutWindow about(bundle);
  struct Case {
    guint key;
    GdkModifierType mods;
    bool closes;
  };
  const Case cases[] = {{GDK_KEY_a, GDK_CONTROL_MASK, false}, {GDK_KEY_w, GdkModifierType(0), false},
                        {GDK_KEY_Escape, GdkModifierType(0), true}, {GDK_KEY_w, GDK_CONTROL_MASK, true},
                        {GDK_KEY_W, GdkModifierType(GDK_CONTROL_MASK | GDK_LOCK_MASK), true}};
  for (const auto& c : cases) {
    about.showWindow();
    GtkWidget* window = GTK_WIDGET(about.window());
    ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(window); }, 30));
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    event->key.keyval = c.key;
    event->key.state = c.mods;
    gtk_widget_event(window, event);
    gdk_event_free(event);
    EXPECT_EQ(!gtk_widget_get_visible(window), c.closes) << gdk_keyval_name(c.key);
  }
}
