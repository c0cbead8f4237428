// The clickable view counts clicks itself: the counter alone, then real clicks from the pointer
// (XTEST) on a display of the test's own, where the toolkit sends a plain press before each of
// its double and triple presses.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "platform/RunLoop.h"
#include "support/PrivateDesktop.h"
#include "ui/ClickableView.h"

namespace {

TEST(ClickCounter, CountsRunsOfNearAndQuickPresses) {
  struct Case {
    const char* name;
    std::vector<ClickCounter::Press> presses;
    std::vector<int> counts;
  } cases[] = {
      {"one", {{1000, 5, 5, 1}}, {1}},
      {"double", {{1000, 5, 5, 1}, {1200, 6, 5, 1}}, {1, 2}},
      {"triple and on", {{1000, 5, 5, 1}, {1200, 5, 5, 1}, {1400, 5, 5, 1}, {1600, 5, 5, 1}}, {1, 2, 3, 4}},
      {"too slow", {{1000, 5, 5, 1}, {1401, 5, 5, 1}}, {1, 1}},
      {"at the interval", {{1000, 5, 5, 1}, {1400, 5, 5, 1}}, {1, 2}},
      {"too far", {{1000, 5, 5, 1}, {1100, 11, 5, 1}}, {1, 1}},
      {"other button", {{1000, 5, 5, 1}, {1100, 5, 5, 3}}, {1, 1}},
      {"slow press starts a new run", {{1000, 5, 5, 1}, {1200, 5, 5, 1}, {2000, 5, 5, 1}, {2100, 5, 5, 1}}, {1, 2, 1, 2}},
      {"server clock wraps", {{0xFFFFFF00u, 5, 5, 1}, {0x40, 5, 5, 1}}, {1, 2}},
      {"clock going back", {{1000, 5, 5, 1}, {900, 5, 5, 1}}, {1, 1}},
  };
  for (const auto& c : cases) {
    ClickCounter counter;
    std::vector<int> counts;
    for (const auto& p : c.presses) counts.push_back(counter.press(p, 400, 5));
    EXPECT_EQ(counts, c.counts) << c.name;
  }
}

struct RealClicks : testing::Test {
  static void SetUpTestSuite() {
    desktop = testenv::PrivateDesktop::startOrTell();
    gtk_init_check(nullptr, nullptr);
    // A generous double-click time, so that a loaded machine still delivers a quick double.
    g_object_set(gtk_settings_get_default(), "gtk-double-click-time", 1200, nullptr);
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox";
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 200, 120);
    gtk_window_move(GTK_WINDOW(window), 100, 100);
    gtk_widget_set_size_request(view.widget(), 200, 120);
    gtk_widget_add_events(view.widget(), GDK_BUTTON_RELEASE_MASK);
    g_signal_connect(view.widget(), "button-release-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, int* n) {
                       ++*n;
                       return FALSE;
                     }),
                     &releases);
    gtk_container_add(GTK_CONTAINER(window), view.widget());
    gtk_widget_show_all(window);
    ASSERT_TRUE(RunLoop::runUntil([&] { return gtk_widget_get_mapped(view.widget()) && gtk_window_is_active(GTK_WINDOW(window)); }, 30));
    gdk_window_get_origin(gtk_widget_get_window(view.widget()), &originX, &originY);
  }
  void TearDown() override {
    if (window) {
      gtk_container_remove(GTK_CONTAINER(window), view.widget());
      gtk_widget_destroy(window);
    }
  }
  // Clicks `count` times quickly and waits until the view has seen every release. Each run of
  // clicks lands somewhere else, so that it starts a run of its own however soon it follows.
  void click(int count) {
    int before = releases;
    int x = originX + 40 + 40 * (place++ % 4);
    ASSERT_EQ(testenv::xdotool("mousemove --sync " + std::to_string(x) + " " + std::to_string(originY + 60)), 0);
    ASSERT_EQ(testenv::xdotool("click --repeat " + std::to_string(count) + " --delay 60 1"), 0);
    ASSERT_TRUE(RunLoop::runUntil([&] { return releases >= before + count; }, 30));
  }
  static inline bool desktop = false;
  GtkWidget* window = nullptr;
  ClickableView view;
  int releases = 0;
  int originX = 0, originY = 0, place = 0;
  std::vector<std::string> runs;
};

TEST_F(RealClicks, ADoubleClickIsOneDoubleClickAndATripleLeavesNoStrayClick) {
  view.clickHandler = [&] { runs.push_back("click"); };
  view.doubleClickHandler = [&] { runs.push_back("double"); };

  click(2);
  EXPECT_FALSE(view.hasPendingClick());
  EXPECT_EQ(runs, std::vector<std::string>{"double"});

  runs.clear();
  click(3);
  EXPECT_FALSE(view.hasPendingClick()) << "the third press waits to run as a click";
  EXPECT_EQ(runs, std::vector<std::string>{"double"});

  // A lone click runs after half the double-click time.
  runs.clear();
  ASSERT_TRUE(RunLoop::runUntil([&] { return !view.hasPendingClick(); }, 10));
  click(1);
  EXPECT_TRUE(view.hasPendingClick());
  ASSERT_TRUE(RunLoop::runUntil([&] { return !runs.empty(); }, 30));
  EXPECT_EQ(runs, std::vector<std::string>{"click"});
}

TEST_F(RealClicks, WithOnlyAClickClosureADoubleClickRunsItOnce) {
  view.clickHandler = [&] { runs.push_back("click"); };
  click(2);
  EXPECT_EQ(runs, std::vector<std::string>{"click"});
  runs.clear();
  click(3);
  EXPECT_EQ(runs, std::vector<std::string>{"click"});
  EXPECT_FALSE(view.hasPendingClick());
}

TEST_F(RealClicks, AViewWithoutClosuresSwallowsClicks) {
  click(2);
  EXPECT_TRUE(runs.empty());
  EXPECT_FALSE(view.hasPendingClick());
}
}  // namespace
