// The document toolbar's buttons, menu titles and title-bar background, drawn under the virtual
// display in both modes.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "platform/Defaults.h"
#include "support/EditorTestSupport.h"
#include "ui/AppAppearance.h"
#include "ui/ToolbarButton.h"

using guitest::waitFor;

namespace {

// The strongest pixel of what `widget` draws, as 0xRRGGBB, and its alpha.
std::pair<std::uint32_t, int> strongestPixel(GtkWidget* widget) {
  int w = gtk_widget_get_allocated_width(widget), h = gtk_widget_get_allocated_height(widget);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(surface);
  gtk_widget_draw(widget, cr);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  std::uint32_t best = 0;
  auto* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint32_t p = reinterpret_cast<std::uint32_t*>(data + y * stride)[x];
      if ((p >> 24) > (best >> 24)) best = p;
    }
  cairo_surface_destroy(surface);
  return {best & 0xFFFFFF, int(best >> 24)};
}

void setDark(bool dark) {
  if (AppAppearance::shared().isDark() != dark) AppAppearance::shared().toggleDarkAppearance();
  ASSERT_TRUE(waitFor([&] { return AppAppearance::shared().isDark() == dark; }));
  RunLoop::runUntil([] { return false; }, 0.05);  // the handlers run on the turn after the change
}

}  // namespace

TEST(ToolbarButton, ColoursAndDrawingFollowTheModeAndThePress) {
  EXPECT_EQ(ToolbarButton::contentColor(true).hexColorString(), "#EEEEEE");
  EXPECT_EQ(ToolbarButton::contentHighlightColor(true).hexColorString(), "#CCCCCC");
  EXPECT_EQ(ToolbarButton::contentColor(false).hexColorString(), "#444444");
  EXPECT_EQ(ToolbarButton::contentHighlightColor(false).hexColorString(), "#111111");
  struct Case {
    bool dark, hasDarkVariant, highlighted;
    ToolbarButtonDrawing expected;
  } cases[] = {
      {true, false, false, {false, ToolbarButton::contentColor(true)}},
      {true, false, true, {false, ToolbarButton::contentHighlightColor(true)}},
      {false, false, false, {false, ToolbarButton::contentColor(false)}},
      {false, false, true, {false, ToolbarButton::contentHighlightColor(false)}},
      {true, true, false, {true, std::nullopt}},
      {true, true, true, {true, std::nullopt}},
      {false, true, true, {false, std::nullopt}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ToolbarButton::drawing(c.dark, c.hasDarkVariant, c.highlighted), c.expected)
        << c.dark << c.hasDarkVariant << c.highlighted;
  EXPECT_EQ(ToolbarButton::imageRect(38, 28, 15, 15), (ToolbarImageRect{11, 6, 15, 15}));
  EXPECT_EQ(ToolbarButton::imageRect(38, 28, 16, 16), (ToolbarImageRect{11, 6, 16, 16}));
}

TEST(ToolbarMenuTitle, DimsTheSubtitleOrAllOfADisabledItem) {
  struct Case {
    const char* title;
    std::optional<std::string> subtitle;
    bool enabled;
    const char* text;
    bool dimTitle, dimSubtitle;
  } cases[] = {
      {"Export", std::nullopt, true, "Export", false, false},
      {"Export", std::nullopt, false, "Export", true, true},
      {"Export", " PNG", true, "Export PNG", false, true},
      {"Export", " PNG", false, "Export PNG", true, true},
  };
  for (const auto& c : cases) {
    auto t = ToolbarMenuTitle::make(c.title, c.subtitle, c.enabled);
    EXPECT_EQ(t.text, c.text);
    EXPECT_EQ(t.subtitleStart, 6u);
    EXPECT_EQ(t.dimmedTitle, c.dimTitle);
    EXPECT_EQ(t.dimmedSubtitle, c.dimSubtitle);
    PangoAttrList* attributes = nullptr;
    char* text = nullptr;
    ASSERT_TRUE(pango_parse_markup(t.markup().c_str(), -1, 0, &attributes, &text, nullptr, nullptr)) << t.markup();
    EXPECT_STREQ(text, c.text);
    g_free(text);
    pango_attr_list_unref(attributes);
  }
  EXPECT_EQ(ToolbarMenuTitle::make("A", std::nullopt, true).markup().find("fgalpha"), std::string::npos);
  EXPECT_EQ(ToolbarMenuTitle::make("<b>", std::string("&"), true).markup().find("<b>"), std::string::npos) << "escaped";
}

TEST(ToolbarAccessoryView, NightModeLaysAGradientUnderTheTitleBar) {
  EXPECT_EQ(ToolbarAccessoryView::backgroundCSS(false), "");
  auto css = ToolbarAccessoryView::backgroundCSS(true);
  for (auto colour : {AppAppearance::Colors::toolbarTopLine(), AppAppearance::Colors::toolbarGradientTop(),
                      AppAppearance::Colors::toolbarGradientBottom(), AppAppearance::Colors::toolbarBottomLine()})
    EXPECT_NE(css.find(colour.hexColorString()), std::string::npos) << css;
  EXPECT_NE(css.find("2.027%"), std::string::npos) << css;
  EXPECT_NE(css.find("97.297%"), std::string::npos) << css;
  GtkCssProvider* provider = gtk_css_provider_new();
  GError* error = nullptr;
  EXPECT_TRUE(gtk_css_provider_load_from_data(provider, css.c_str(), -1, &error)) << (error ? error->message : "");
  if (error) g_error_free(error);
  g_object_unref(provider);
}

TEST(ToolbarButton, ButtonsRetintAndTheCloudFadesWhenDisabled) {
  guitest::initGtk();
  setDark(false);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  GtkWidget* header = gtk_header_bar_new();
  gtk_window_set_titlebar(GTK_WINDOW(window), header);
  ToolbarAccessoryView accessory(header);
  ToolbarButton live("no-such-image", "network-transmit-receive-symbolic", "Share the preview live");
  ToolbarCloudButton cloud("Account");
  int clicks = 0;
  GtkWidget* sender = nullptr;
  live.action = [&](GtkWidget* s) {
    ++clicks;
    sender = s;
  };
  gtk_header_bar_pack_start(GTK_HEADER_BAR(header), live.widget());
  gtk_header_bar_pack_end(GTK_HEADER_BAR(header), cloud.widget());
  gtk_widget_show_all(window);
  ASSERT_TRUE(waitFor([&] { return gtk_widget_get_mapped(cloud.widget()) && gtk_widget_get_mapped(live.widget()); }));

  EXPECT_FALSE(live.hasDarkVariant());
  EXPECT_EQ(strongestPixel(live.widget()), (std::pair<std::uint32_t, int>{0x444444, 255}));
  EXPECT_EQ(strongestPixel(cloud.widget()).first, 0x444444u);
  gtk_button_clicked(GTK_BUTTON(live.widget()));
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(sender, live.widget());

  setDark(true);
  EXPECT_EQ(strongestPixel(live.widget()), (std::pair<std::uint32_t, int>{0xEEEEEE, 255}));
  EXPECT_EQ(strongestPixel(cloud.widget()).first, 0xEEEEEEu);
  gtk_widget_set_state_flags(live.widget(), GTK_STATE_FLAG_ACTIVE, FALSE);
  EXPECT_EQ(strongestPixel(live.widget()).first, 0xCCCCCCu) << "pressed";
  gtk_widget_unset_state_flags(live.widget(), GTK_STATE_FLAG_ACTIVE);

  EXPECT_EQ(cloud.alpha(), 1.0);
  int opaque = strongestPixel(cloud.widget()).second;
  cloud.setEnabled(false);
  EXPECT_EQ(cloud.alpha(), 0.4);
  EXPECT_NEAR(strongestPixel(cloud.widget()).second, opaque * 0.4, 2);
  cloud.setEnabled(true);
  EXPECT_EQ(cloud.alpha(), 1.0);
  setDark(false);
  gtk_widget_destroy(window);
}
