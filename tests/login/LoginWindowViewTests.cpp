// The login window's views under the virtual display: the spinner over a loading page.

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "login/LoginWindowView.h"
#include "platform/RunLoop.h"

namespace {

struct LoginView : testing::Test {
  static void SetUpTestSuite() { gtk_init_check(nullptr, nullptr); }
};

TEST_F(LoginView, TheLoginWindowHidesALoadingPageUnderTheSpinnerAndFadesItIn) {
  GtkWidget* page = g_object_ref_sink(gtk_label_new("page"));
  {
    LoginWindowView view(page);
    view.show(0);
    EXPECT_TRUE(view.isOnScreen());
    EXPECT_EQ(view.window().width(), 808);
    view.showLoading();
    EXPECT_TRUE(view.isSpinnerShown());
    EXPECT_EQ(view.pageOpacity(), 0.0);
    view.showPage();
    EXPECT_FALSE(view.isSpinnerShown());
    ASSERT_TRUE(RunLoop::runUntil([&] { return view.pageOpacity() >= 1.0; }, 30));
    view.showLoading();
    view.showPage();
    view.close();
    EXPECT_FALSE(view.isOnScreen());
  }
  EXPECT_EQ(gtk_widget_get_parent(page), nullptr);
  gtk_widget_destroy(page);
  g_object_unref(page);
}

}  // namespace
