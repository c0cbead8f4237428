// The small views under the virtual display: anti-aliased labels restyled by colour changes,
// the stylable view's borders, the sidebar button, the placeholder and the title-bar height.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "DocumentTestSupport.h"
#include "ui/AntiAliasedButton.h"
#include "ui/RWStylableView.h"
#include "ui/TitlebarExtras.h"
#include "ui/WelcomeWindowButton.h"
#include "welcome/WelcomeWindowNoRecentDocumentsView.h"

namespace {

TEST(AntiAliasedLabel, AColourChangeRestylesTheCurrentTitleAndKeepsTheRest) {
  doctests::initGtk();
  AntiAliasedLabel label("Hello", AntiAliasedFont::systemFont(12), Color{0, 0, 0, 1}, Color{1, 1, 1, 1},
                         TextAlignment::right, 1.5f);
  ASSERT_TRUE(label.styledTitle());
  EXPECT_EQ(label.title(), "Hello");
  EXPECT_FALSE(gtk_widget_get_can_focus(label.widget()));
  EXPECT_FALSE(gtk_widget_get_has_window(label.widget()));  // presses reach what holds it
  label.setTextColor(Color{1, 0, 0, 1});
  const auto& styled = *label.styledTitle();
  EXPECT_EQ(styled.text, "Hello");
  EXPECT_EQ(styled.textColor, (Color{1, 0, 0, 1}));
  EXPECT_EQ(styled.backgroundColor, (Color{1, 1, 1, 1}));
  EXPECT_EQ(styled.alignment, TextAlignment::right);
  EXPECT_FLOAT_EQ(styled.letterSpacing, 1.5f);
  EXPECT_FLOAT_EQ(gtk_label_get_xalign(GTK_LABEL(label.widget())), 1.0f);
  PangoAttrList* attributes = gtk_label_get_attributes(GTK_LABEL(label.widget()));
  ASSERT_TRUE(attributes);
  PangoAttrIterator* it = pango_attr_list_get_iterator(attributes);
  auto* spacing = reinterpret_cast<PangoAttrInt*>(pango_attr_iterator_get(it, PANGO_ATTR_LETTER_SPACING));
  ASSERT_TRUE(spacing);
  EXPECT_EQ(spacing->value, static_cast<int>(1.5 * PANGO_SCALE));
  pango_attr_iterator_destroy(it);

  AntiAliasedButton button("Go", AntiAliasedFont::systemFont(48), Color{0, 0, 0, 1}, Color{0, 0, 0, 0},
                           TextAlignment::center);
  EXPECT_TRUE(GTK_IS_BUTTON(button.widget()));
  EXPECT_FLOAT_EQ(button.styledTitle()->letterSpacing, 0.9f);
}

TEST(RWStylableView, BordersNeedAWidthAndAColourAndTheTopIsAtZeroWhenFlipped) {
  doctests::initGtk();
  Color red{1, 0, 0, 1}, blue{0, 0, 1, 1}, white{1, 1, 1, 1};
  RWStylableView flipped(true);
  flipped.backgoundColor = white;
  flipped.setLeftBorderWidth(0, red);
  flipped.setRightBorderWidth(2, std::nullopt);
  flipped.setTopBorderWidth(1, blue);
  flipped.setBottomBorderWidth(3, red);
  auto fills = flipped.fills(100, 50, {0, 0, 100, 50, {}});
  ASSERT_EQ(fills.size(), 3u);
  EXPECT_EQ(fills[0], (RWStylableView::Fill{0, 0, 100, 50, white}));
  EXPECT_EQ(fills[1], (RWStylableView::Fill{0, 0, 100, 1, blue}));
  EXPECT_EQ(fills[2], (RWStylableView::Fill{0, 47, 100, 3, red}));

  RWStylableView unflipped(false);
  unflipped.setBorderWidth(2, blue);
  auto sides = unflipped.fills(100, 50, {0, 0, 100, 50, {}});
  ASSERT_EQ(sides.size(), 4u);
  EXPECT_EQ(sides[0], (RWStylableView::Fill{0, 0, 2, 50, blue}));
  EXPECT_EQ(sides[1], (RWStylableView::Fill{0, 48, 100, 2, blue}));
  EXPECT_EQ(sides[2], (RWStylableView::Fill{98, 0, 2, 50, blue}));
  EXPECT_EQ(sides[3], (RWStylableView::Fill{0, 0, 100, 2, blue}));
}

TEST(WelcomeWindowButton, TheTitleTakesTheGivenColourAndAClickSendsTheAction) {
  doctests::initGtk();
  WelcomeWindowButton button("Open\u2026");
  EXPECT_EQ(button.title(), "Open\u2026");
  EXPECT_EQ(button.titleColor(), (Color{0, 0, 0, 1}));
  button.setTitle(button.title(), Color{0.5, 0.5, 0.5, 1});
  EXPECT_EQ(button.titleColor(), (Color{0.5, 0.5, 0.5, 1}));
  int clicks = 0;
  button.action = [&] { ++clicks; };
  gtk_button_clicked(GTK_BUTTON(button.widget()));
  EXPECT_EQ(clicks, 1);
}

TEST(WelcomeWindowNoRecentDocumentsView, ShowsNoRecentFiles) {
  doctests::initGtk();
  WelcomeWindowNoRecentDocumentsView placeholder(240, 49);
  EXPECT_EQ(placeholder.label().title(), "No Recent Files");
  EXPECT_EQ(placeholder.label().styledTitle()->alignment, TextAlignment::center);
  EXPECT_DOUBLE_EQ(placeholder.label().styledTitle()->font.pointSize, 12);
}

TEST(TitlebarExtras, AHeaderBarIsThirtySevenPointsHighWithCentredButtons) {
  doctests::initGtk();
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* bar = gtk_header_bar_new();
  GtkWidget* before = gtk_button_new_with_label("A");
  gtk_header_bar_pack_start(GTK_HEADER_BAR(bar), before);
  TitlebarExtras::useUnifiedTitlebarHeight(GTK_HEADER_BAR(bar));
  GtkWidget* after = gtk_button_new_with_label("B");
  gtk_header_bar_pack_end(GTK_HEADER_BAR(bar), after);
  gtk_window_set_titlebar(GTK_WINDOW(window), bar);
  gtk_widget_show_all(window);
  int minimum = 0, natural = 0;
  gtk_widget_get_preferred_height(bar, &minimum, &natural);
  EXPECT_GE(minimum, 37);
  EXPECT_EQ(gtk_widget_get_valign(before), GTK_ALIGN_CENTER);
  EXPECT_EQ(gtk_widget_get_valign(after), GTK_ALIGN_CENTER);
  gtk_widget_destroy(window);
}

}  // namespace
