// The plain button, the clickable view and the one-call alert under the virtual display, driven
// by pointer events sent through the toolkit.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "platform/RunLoop.h"
#include "ui/ClickableView.h"
#include "ui/ModalAlert.h"
#include "ui/SimpleButton.h"

namespace {
struct Pieces : testing::Test {
  static void SetUpTestSuite() { gtk_init_check(nullptr, nullptr); }
  void SetUp() override {
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 120, 40);
  }
  void TearDown() override { gtk_widget_destroy(window); }
  void show(GtkWidget* widget) {
    gtk_container_add(GTK_CONTAINER(window), widget);
    gtk_widget_show_all(window);
    RunLoop::runUntil([&] { return gtk_widget_get_window(widget) && gtk_widget_get_allocated_width(widget) > 1; }, 30);
  }
  // A pointer event at (x, y) of `widget`'s own window.
  static void send(GtkWidget* widget, GdkEventType type, double x, double y, guint32 time = 0) {
    GdkEvent* e = gdk_event_new(type);
    GdkWindow* target = gtk_widget_get_window(widget);
    if (type == GDK_MOTION_NOTIFY) {
      e->motion.window = GDK_WINDOW(g_object_ref(target));
      e->motion.x = x;
      e->motion.y = y;
      e->motion.state = GDK_BUTTON1_MASK;
    } else {
      e->button.window = GDK_WINDOW(g_object_ref(target));
      e->button.button = 1;
      e->button.x = x;
      e->button.y = y;
      e->button.x_root = x;
      e->button.y_root = y;
      e->button.time = time;
    }
    gdk_event_set_device(e, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_widget_event(widget, e);
    gdk_event_free(e);
  }
  GtkWidget* window = nullptr;
};

const Color white{1, 1, 1, 1}, black{0, 0, 0, 1}, red{1, 0, 0, 1}, blue{0, 0, 1, 1}, gray{.5, .5, .5, 1};

TEST(SimpleButtonLook, ChoosesColoursByStateAndEnabledFlag) {
  SimpleButtonColors plain;
  SimpleButtonColors full = plain;
  full.backgroundPressed = red;
  full.labelPressed = white;
  full.backgroundDisabled = gray;
  full.labelDisabled = blue;
  full.border = black;
  full.borderPressed = blue;
  struct Case {
    const char* name;
    SimpleButtonColors colors;
    SimpleButtonState state;
    bool enabled;
    SimpleButtonLook expected;
  } cases[] = {
      {"fresh", plain, SimpleButtonState::normal, true, {white, std::nullopt, black, white}},
      {"pressed, no pressed colours", plain, SimpleButtonState::pressed, true, {white, std::nullopt, black, white}},
      {"pressed", full, SimpleButtonState::pressed, true, {red, blue, white, red}},
      {"disabled wins", full, SimpleButtonState::normal, false, {gray, black, blue, gray}},
      {"disabled never looks pressed", full, SimpleButtonState::pressed, false, {gray, black, blue, gray}},
  };
  for (const auto& c : cases) {
    SimpleButtonLook shown = SimpleButtonLook::resolve(c.colors, SimpleButtonState::normal, true, {});
    EXPECT_EQ(SimpleButtonLook::resolve(c.colors, c.state, c.enabled, shown), c.expected) << c.name;
  }
}

TEST_F(Pieces, AButtonSendsOnlyWhenReleasedInsideWhileEnabled) {
  SimpleButton button;
  button.setTitle("Share");
  button.colors().backgroundPressed = red;
  button.updateButton();
  int sent = 0;
  button.setAction([&] { ++sent; });
  show(button.widget());
  GtkWidget* w = button.widget();
  EXPECT_EQ(button.styledTitle().text, "Share");
  EXPECT_EQ(button.styledTitle().font.pointSize, 15);
  EXPECT_FLOAT_EQ(button.styledTitle().letterSpacing, 0.4f);

  send(w, GDK_BUTTON_PRESS, 5, 5);
  EXPECT_EQ(button.look().background, red);
  send(w, GDK_MOTION_NOTIFY, -20, 5);
  EXPECT_EQ(button.look().background, white);
  send(w, GDK_MOTION_NOTIFY, 6, 6);
  EXPECT_EQ(button.look().background, red);
  send(w, GDK_BUTTON_RELEASE, 6, 6);
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(button.buttonState(), SimpleButtonState::normal);

  send(w, GDK_BUTTON_PRESS, 5, 5);
  send(w, GDK_BUTTON_RELEASE, 500, 5);
  EXPECT_EQ(sent, 1) << "released outside";

  button.setEnabled(false);
  send(w, GDK_BUTTON_PRESS, 5, 5);
  EXPECT_EQ(button.buttonState(), SimpleButtonState::normal);
  EXPECT_EQ(button.look().background, white);
  send(w, GDK_BUTTON_RELEASE, 5, 5);
  EXPECT_EQ(sent, 1) << "disabled";

  // Disabled in the middle of a press: no stuck pressed look, nothing sent on release.
  button.setEnabled(true);
  send(w, GDK_BUTTON_PRESS, 5, 5);
  button.setEnabled(false);
  button.setEnabled(true);
  EXPECT_EQ(button.look().background, white);
  send(w, GDK_BUTTON_RELEASE, 5, 5);
  EXPECT_EQ(sent, 1);
}

TEST_F(Pieces, AClickableViewTellsSingleFromDoubleClicks) {
  ClickableView view;
  gtk_widget_set_size_request(view.widget(), 50, 30);
  show(view.widget());
  GtkWidget* w = view.widget();
  std::vector<std::string> runs;

  // Without a double-click closure a click runs at once; presses after the first run nothing.
  // The toolkit sends a plain press before each of its double and triple presses.
  view.clickHandler = [&] { runs.push_back("click"); };
  send(w, GDK_BUTTON_PRESS, 5, 5, 1000);
  send(w, GDK_BUTTON_PRESS, 5, 5, 1100);
  send(w, GDK_2BUTTON_PRESS, 5, 5, 1100);
  send(w, GDK_BUTTON_PRESS, 5, 5, 1200);
  send(w, GDK_3BUTTON_PRESS, 5, 5, 1200);
  EXPECT_EQ(runs, std::vector<std::string>{"click"});

  // With one, a quick double click runs only that; a lone click runs after a wait.
  runs.clear();
  view.doubleClickHandler = [&] { runs.push_back("double"); };
  send(w, GDK_BUTTON_PRESS, 5, 5, 5000);
  EXPECT_TRUE(runs.empty());
  send(w, GDK_BUTTON_PRESS, 5, 5, 5100);
  send(w, GDK_2BUTTON_PRESS, 5, 5, 5100);
  send(w, GDK_BUTTON_PRESS, 5, 5, 5200);
  send(w, GDK_3BUTTON_PRESS, 5, 5, 5200);
  EXPECT_EQ(runs, std::vector<std::string>{"double"});
  EXPECT_FALSE(view.hasPendingClick());
  runs.clear();
  send(w, GDK_BUTTON_PRESS, 5, 5, 9000);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !runs.empty(); }, 30));
  EXPECT_EQ(runs, std::vector<std::string>{"click"});

  // Without closures clicks are swallowed; a view dropped with a click pending runs nothing.
  runs.clear();
  auto other = std::make_unique<ClickableView>();
  other->clickHandler = [&] { runs.push_back("late"); };
  other->doubleClickHandler = [] {};
  other->mouseDown(1, 0.2);
  other.reset();
  RunLoop::runUntil([] { return false; }, 0.3);
  EXPECT_TRUE(runs.empty());
}

TEST(ModalAlert, AddsTheButtonsThatAreGiven) {
  struct Case {
    std::optional<std::string> alternate, other;
    std::vector<std::string> buttons;
  } cases[] = {
      {std::nullopt, std::nullopt, {"OK"}},
      {std::nullopt, "Other", {"OK", "Other"}},
      {"Cancel", "Other", {"OK", "Cancel", "Other"}},
      {"", std::nullopt, {"OK", ""}},
  };
  for (const auto& c : cases) {
    auto alert = ModalAlert::alertWithMessageText("Stop sharing?", "OK", c.alternate, c.other, "It ends for all.");
    EXPECT_EQ(alert.buttons, c.buttons);
    EXPECT_EQ(alert.messageText, "Stop sharing?");
    EXPECT_EQ(alert.informativeText, "It ends for all.");
  }
}
}  // namespace
