// At the session's end nobody is there to answer: a modal alert waiting in its own loop, a sheet
// and a file chooser on screen are answered as closing them would, and so is every later one.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <algorithm>
#include <functional>

#include "platform/Alert.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/Panels.h"
#include "platform/RunLoop.h"

namespace {

int visibleDialogs() {
  int count = 0;
  GList* windows = gtk_window_list_toplevels();
  for (GList* it = windows; it; it = it->next)
    count += GTK_IS_DIALOG(it->data) && gtk_widget_get_visible(GTK_WIDGET(it->data));
  g_list_free(windows);
  return count;
}

}  // namespace

TEST(SessionEndQuestions, QuestionsOnScreenAndLaterOnesAreAnsweredAsClosingThemWould) {
  ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  installGtkPersonInterfaces();
  const AlertSpec revert{"Revert?", "", {"Revert", "Cancel"}};
  const AlertSpec replace{"Replace?", "", {"Cancel", "Replace"}};
  std::optional<int> sheet;
  Alert::shared().beginSheet(replace, nullptr, [&](int response) { sheet = response; });
  std::optional<std::vector<std::filesystem::path>> chosen;
  // The open panel and the modal alert each wait in a loop of their own, one inside the other.
  MainQueue::async([&] { chosen = Panels::shared().runOpenPanel({}, nullptr); });
  std::optional<int> modal;
  MainQueue::async([&] { modal = Alert::shared().runModal(revert, nullptr); });
  // The session ends from the innermost loop, as the signal comes, once all three are up.
  int seen = 0, looks = 0;
  std::function<void()> endOnceAllAreUp = [&] {
    seen = std::max(seen, visibleDialogs());
    if (seen == 3 || ++looks > 600) return dismissQuestionsFromNowOn();  // never a test that hangs
    MainQueue::asyncAfter(0.05, endOnceAllAreUp);
  };
  MainQueue::async(endOnceAllAreUp);
  ASSERT_TRUE(RunLoop::runUntil([&] { return modal && sheet && chosen; }, 60));
  EXPECT_EQ(seen, 3) << "questions on screen at once";
  EXPECT_EQ(*modal, Alert::secondButtonReturn);
  EXPECT_EQ(*sheet, Alert::firstButtonReturn);
  EXPECT_TRUE(chosen->empty());
  EXPECT_TRUE(RunLoop::runUntil([&] { return visibleDialogs() == 0; }, 10));

  // Asked later, answered at once, with nothing on screen.
  EXPECT_EQ(Alert::shared().runModal(revert, nullptr), Alert::secondButtonReturn);
  std::optional<int> later;
  Alert::shared().beginSheet(replace, nullptr, [&](int response) { later = response; });
  EXPECT_EQ(later, Alert::firstButtonReturn);
  EXPECT_FALSE(Panels::shared().runSavePanel({}, nullptr));
  EXPECT_EQ(visibleDialogs(), 0);
}
