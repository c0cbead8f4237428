// The live-sharing popover at a button of a real window under the virtual display, and the QR
// code it draws, read back by zbarimg.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cairo.h>

#include <set>

#include "platform/QRCode.h"
#include "platform/UrlOpener.h"
#include "support/EditorTestSupport.h"
#include "support/PrivateDesktop.h"
#include "support/QRPicture.h"
#include "support/TestEnvironment.h"
#include "ui/AppAppearance.h"
#include "ui/MirrorPopover.h"
#include "ui/MirrorPopoverViewController.h"

using guitest::waitFor;
using Kind = MirrorPopoverState::Kind;

namespace {

// The popover closes, as it should, when another window takes the focus: under a window manager
// the windows of tests running beside this one do, so it runs on a display of its own. The
// toolkit must start there.
struct OwnDesktop : ::testing::Environment {
  void SetUp() override {
    testenv::PrivateDesktop::startOrTell();
  }
};
const auto* ownDesktop = ::testing::AddGlobalTestEnvironment(new OwnDesktop);

MirrorPopoverState active(const std::string& url) { return {Kind::active, url, {}}; }

std::optional<std::string> decodePNG(const std::filesystem::path& png) {
  std::string out;
  if (testenv::run("zbarimg --raw -q '" + png.string() + "'", &out) != 0) return std::nullopt;
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class Popovers : public ::testing::Test {
 protected:
  void SetUp() override {
    guitest::initGtk();
    window = makeWindow(&button);
    popover = std::make_unique<MirrorPopover>();
    popover->startLiveSharing = [this] { ++starts; };
    popover->stopLiveSharing = [this] { ++stops; };
    popover->copyAddress = [this] { ++copies; };
    UrlOpener::setHandler([this](const std::string& url) { opened.push_back(url); });
  }
  void TearDown() override {
    popover.reset();
    for (GtkWidget* w : windows) gtk_widget_destroy(w);
    UrlOpener::setHandler(nullptr);
    RunLoop::runUntil([] { return false; }, 0.05);
  }

  GtkWidget* makeWindow(GtkWidget** live) {
    GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(w), 400, 420);
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    *live = gtk_button_new_with_label("Live");
    gtk_widget_set_halign(*live, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(box), *live, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(w), box);
    gtk_widget_show_all(w);
    windows.push_back(w);
    EXPECT_TRUE(waitFor([&] { return gtk_widget_get_mapped(*live) && gtk_widget_get_allocated_width(*live) > 1; }));
    return w;
  }

  MirrorPopoverViewController& shown() {
    if (!popover->isShown()) popover->show(button);
    EXPECT_TRUE(waitFor([&] { return gtk_widget_get_mapped(popover->viewController()->popover()); }));
    return *popover->viewController();
  }
  bool settled() {
    auto* v = popover->viewController();
    return v && gtk_widget_get_mapped(v->popover()) && !v->isTransitionRunning();
  }

  std::vector<GtkWidget*> windows;
  GtkWidget* window = nullptr;
  GtkWidget* button = nullptr;
  std::unique_ptr<MirrorPopover> popover;
  int starts = 0, stops = 0, copies = 0;
  std::vector<std::string> opened;
};

}  // namespace

TEST_F(Popovers, EachStateShowsItsViewTextsAndButton) {
  struct Case {
    MirrorPopoverState state;
    const char* view;
    const char* button;
    bool enabled;
    const char* message;
  } cases[] = {
      {{Kind::unavailable, {}, "The project server is not running."}, "error", "Start", false,
       "The project server is not running."},
      {{Kind::available, {}, {}}, "available", "Start", true, "Preview your project on mobile devices with real-time updates."},
      {{Kind::starting, {}, {}}, "starting", "Starting\u2026", false, "Preview your project"},
      {{Kind::stopping, {}, {}}, "stopping", "Stopping\u2026", false, "Preview your project"},
      {active("http://127.0.0.1:8123/"), "active", "Stop", true, "Scan the QR code with your camera"},
      {{Kind::error, {}, "Couldn't start Live Preview."}, "error", "Contact Support", true, "Couldn't start Live Preview."},
  };
  auto& view = shown();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.view);
    popover->setState(c.state);
    EXPECT_EQ(view.visibleViewName(), c.view);
    GtkWidget* main = view.mainButton(c.view);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(main)), c.button);
    EXPECT_EQ(gtk_widget_get_sensitive(main), c.enabled);
    EXPECT_NE(std::string(gtk_label_get_text(GTK_LABEL(view.message(c.view)))).find(c.message), std::string::npos);
    EXPECT_EQ(view.qrCode().has_value(), c.state.kind == Kind::active);
  }
  // Every main button is as wide as the widest, and the QR code as wide as they are.
  ASSERT_TRUE(waitFor([&] { return settled(); }));
  std::set<int> buttonWidths;
  for (const char* name : {"available", "starting", "active", "stopping", "error"}) {
    int natural = 0;
    gtk_widget_get_preferred_width(view.mainButton(name), nullptr, &natural);
    buttonWidths.insert(natural);
  }
  EXPECT_EQ(buttonWidths.size(), 1u);
  EXPECT_GE(*buttonWidths.begin(), MirrorPopoverViewController::qrSide);
  EXPECT_EQ(gtk_widget_get_allocated_width(view.qrView()), gtk_widget_get_allocated_width(view.mainButton("active")));
  EXPECT_EQ(gtk_widget_get_allocated_height(view.qrView()), MirrorPopoverViewController::qrSide);
}

TEST_F(Popovers, ViewsCrossFadeAndTheSameViewOnlyChangesItsTexts) {
  popover->setState({Kind::available, {}, {}});
  auto& view = shown();
  ASSERT_TRUE(waitFor([&] { return settled(); }));
  popover->setState({Kind::starting, {}, {}});
  EXPECT_TRUE(view.isTransitionRunning()) << "another view fades in";
  ASSERT_TRUE(waitFor([&] { return settled(); }));
  popover->setState({Kind::error, {}, "Couldn't start Live Preview."});
  ASSERT_TRUE(waitFor([&] { return settled(); }));
  popover->setState({Kind::unavailable, {}, "The project server is not running."});
  EXPECT_FALSE(view.isTransitionRunning()) << "the error view stays";
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(view.mainButton("error"))), "Start");
  EXPECT_FALSE(gtk_widget_get_sensitive(view.mainButton("error")));
}

// Live, Stop, and Live again before the fade-out ends: the popover shows and stays.
TEST_F(Popovers, OpenedAgainWhileItFadesOutItStays) {
  for (double pause : {0.0, 0.05}) {
    SCOPED_TRACE(pause);
    shown();
    GtkWidget* widget = popover->viewController()->popover();
    ASSERT_TRUE(waitFor([&] { return settled() && gtk_widget_get_opacity(widget) >= 1.0; }));
    popover->close();
    RunLoop::runUntil([] { return false; }, pause);
    ASSERT_TRUE(gtk_widget_get_visible(widget)) << "still fading out";
    popover->show(button);
    EXPECT_TRUE(waitFor([&] { return settled() && gtk_widget_get_opacity(widget) >= 1.0; }));
    EXPECT_FALSE(waitFor([&] { return !gtk_widget_get_mapped(widget); }, 1)) << "vanished after its fade-in";
    EXPECT_TRUE(popover->isShown());
    popover->close();
    EXPECT_TRUE(waitFor([&] { return !gtk_widget_get_mapped(widget); }));
  }
}

TEST_F(Popovers, TheMainButtonRunsTheActionOfTheStateShown) {
  auto& view = shown();
  struct Case {
    MirrorPopoverState state;
    const char* view;
    int starts, stops, opened;
    bool staysOpen;
  } cases[] = {
      {{Kind::available, {}, {}}, "available", 1, 0, 0, true},
      {active("http://127.0.0.1:8123/"), "active", 0, 1, 0, false},
      {{Kind::error, {}, "Couldn't start Live Preview."}, "error", 0, 0, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.view);
    starts = stops = 0;
    opened.clear();
    if (!popover->isShown()) shown();
    popover->setState(c.state);
    gtk_button_clicked(GTK_BUTTON(view.mainButton(c.view)));
    EXPECT_EQ(starts, c.starts);
    EXPECT_EQ(stops, c.stops);
    EXPECT_EQ(int(opened.size()), c.opened);
    EXPECT_EQ(popover->isShown(), c.staysOpen);
  }
  EXPECT_EQ(opened.at(0), MirrorPopover::helpURL);
  // Return presses "Start", and only "Start".
  auto pressReturn = [&] {
    GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
    key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    key->key.keyval = GDK_KEY_Return;
    GdkKeymapKey* keys = nullptr;
    gint count = 0;
    // Key bindings look the key up by its hardware code.
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_display_get_default()), GDK_KEY_Return, &keys,
                                          &count) && count > 0)
      key->key.hardware_keycode = guint16(keys[0].keycode);
    g_free(keys);
    gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
    gtk_main_do_event(key);  // as the display delivers it
    gdk_event_free(key);
  };
  starts = stops = 0;
  if (!popover->isShown()) shown();
  popover->setState({Kind::available, {}, {}});
  pressReturn();
  EXPECT_TRUE(waitFor([&] { return starts == 1; }, 10)) << "a pressed button clicks when it is let go";
  popover->setState(active("http://127.0.0.1:8123/"));
  EXPECT_EQ(gtk_window_get_default_widget(GTK_WINDOW(window)), nullptr);
  pressReturn();
  EXPECT_FALSE(waitFor([&] { return stops > 0; }, 0.5));
  EXPECT_TRUE(popover->isShown());
  // A button that would do nothing is disabled, and its state's action is none.
  for (auto kind : {Kind::unavailable, Kind::starting, Kind::stopping}) {
    starts = stops = 0;
    popover->setState({kind, {}, {}});
    popover->performMainAction();
    EXPECT_EQ(starts + stops, 0);
  }
}

TEST_F(Popovers, TheActiveViewLinksTheAddressAndItsQRCodeReads) {
  popover->setState(active("http://127.0.0.1:8123/"));
  auto& view = shown();
  GtkWidget* message = view.message("active");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(message)),
               "Scan the QR code with your camera to view on mobile, or open in browser.");
  gboolean handled = FALSE;
  g_signal_emit_by_name(message, "activate-link", "http://127.0.0.1:8123/", &handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(opened, std::vector<std::string>{"http://127.0.0.1:8123/"});

  ASSERT_TRUE(waitFor([&] { return settled(); }));
  EXPECT_EQ(guitest::readQRCode(view.popover(), "http://127.0.0.1:8123/"), "http://127.0.0.1:8123/");
  // A new address replaces the code at once.
  popover->setState(active("http://127.0.0.1:9456/shared?x=1"));
  EXPECT_EQ(guitest::readQRCode(view.popover(), "http://127.0.0.1:9456/shared?x=1"), "http://127.0.0.1:9456/shared?x=1");

  // Control-C in the popover asks for the address.
  GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
  key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(view.popover())));
  key->key.keyval = GDK_KEY_c;
  key->key.state = GDK_CONTROL_MASK;
  gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gboolean done = FALSE;
  g_signal_emit_by_name(view.popover(), "key-press-event", key, &done);
  gdk_event_free(key);
  EXPECT_TRUE(done);
  EXPECT_EQ(copies, 1);
}

TEST_F(Popovers, AMenuOnlyClosesItAndAnotherWindowGetsItsOwnPopover) {
  popover->toggleVisible(nullptr);
  EXPECT_FALSE(popover->isShown()) << "a menu item is no place to show it";
  popover->toggleVisible(button);
  EXPECT_TRUE(popover->isShown());
  EXPECT_EQ(popover->anchor(), button);
  popover->toggleVisible(nullptr);
  EXPECT_FALSE(popover->isShown());
  popover->toggleVisible(button);
  popover->toggleVisible(button);
  EXPECT_FALSE(popover->isShown());

  GtkWidget* other = nullptr;
  makeWindow(&other);
  auto* first = popover->viewController();
  popover->setState({Kind::available, {}, {}});
  popover->toggleVisible(other);
  EXPECT_TRUE(popover->isShown());
  EXPECT_EQ(GTK_WIDGET(gtk_window_get_transient_for(GTK_WINDOW(popover->viewController()->popover()))), windows.back());
  EXPECT_EQ(popover->viewController()->visibleViewName(), "available") << "the new popover shows the state";
  (void)first;
  // The window going takes its popover; the next show makes another.
  gtk_widget_destroy(windows.back());
  windows.pop_back();
  EXPECT_FALSE(popover->isShown());
  popover->show(button);
  EXPECT_TRUE(popover->isShown());
}

TEST_F(Popovers, TheLightModePaintsItsOwnBackgroundAndNightModeLeavesTheTheme) {
  auto& view = shown();
  auto isLight = [&] { return gtk_style_context_has_class(gtk_widget_get_style_context(view.popover()), "light"); };
  bool dark = AppAppearance::shared().isDark();
  EXPECT_EQ(isLight(), !dark);
  AppAppearance::shared().toggleDarkAppearance();
  EXPECT_TRUE(waitFor([&] { return isLight() == dark; })) << "follows the mode while open";
  AppAppearance::shared().toggleDarkAppearance();
  EXPECT_TRUE(waitFor([&] { return isLight() == !dark; }));
}

TEST(QRCode, EncodesTextsAndDrawsSharpModulesOnAWhiteCard) {
  for (const char* text : {"http://127.0.0.1:8123/", "https://share.example/p/abc?x=1&y=%20", "x"}) {
    SCOPED_TRACE(text);
    auto code = QRCode::encode(text, QRCode::Level::Q, 1);
    ASSERT_TRUE(code);
    EXPECT_EQ(code->size() % 2, 1);
    EXPECT_FALSE(code->isDark(0, 0)) << "the margin is light";
    EXPECT_TRUE(code->isDark(1, 1)) << "a finder pattern's corner";
    EXPECT_FALSE(code->isDark(-1, 5));
    EXPECT_FALSE(code->isDark(code->size(), 5));

    const int side = 136;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side + 20, side + 20);
    cairo_t* cr = cairo_create(surface);
    code->draw(cr, 10, 10, side);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    // Only white and the dark grey of black at 0.8 inside the card: no smoothing.
    std::set<std::uint32_t> colours;
    auto* data = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    for (int y = 14; y < 10 + side - 4; ++y)
      for (int x = 14; x < 10 + side - 4; ++x) colours.insert(reinterpret_cast<std::uint32_t*>(data + y * stride)[x]);
    EXPECT_EQ(colours, (std::set<std::uint32_t>{0xFFFFFFFFu, 0xFF333333u}));
    EXPECT_LT(reinterpret_cast<std::uint32_t*>(data + 10 * stride)[10] >> 24, 0x20u) << "the corner is rounded";
    auto png = testenv::freshFolder("qr") / "code.png";
    ASSERT_EQ(cairo_surface_write_to_png(surface, png.c_str()), CAIRO_STATUS_SUCCESS);
    cairo_surface_destroy(surface);
    EXPECT_EQ(decodePNG(png), text);
  }
  EXPECT_FALSE(QRCode::encode("", QRCode::Level::Q));
  EXPECT_FALSE(QRCode::encode(std::string(QRCode::maxTextLength + 1, 'a'), QRCode::Level::Q));
  EXPECT_FALSE(QRCode::encode("x", QRCode::Level::Q, -1));
  auto low = QRCode::encode(std::string(60, 'a'), QRCode::Level::L, 0);
  auto high = QRCode::encode(std::string(60, 'a'), QRCode::Level::H, 0);
  ASSERT_TRUE(low && high);
  EXPECT_LT(low->size(), high->size()) << "more correction, more modules";
}

// The popover's own window goes under its button, centred, above it when there is no room
// below, and always on the screen.
TEST(MirrorPopoverPlacement, UnderTheButtonAndOnTheScreen) {
  using Rect = MirrorPopoverViewController::Rect;
  const Rect screen{0, 0, 1280, 1024};
  struct Case {
    const char* name;
    Rect anchor;
    Rect expected;
  } cases[] = {
      {"under, centred, 2 along", {500, 100, 60, 30}, {427, 134, 210, 350}},
      {"pulled in from the right edge", {1230, 100, 50, 30}, {1070, 134, 210, 350}},
      {"pulled in from the left edge", {0, 100, 50, 30}, {0, 134, 210, 350}},
      {"above, without room below", {500, 900, 60, 30}, {427, 546, 210, 350}},
      {"under, lower on the screen", {500, 300, 60, 30}, {427, 334, 210, 350}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MirrorPopoverViewController::frameFor(c.anchor, 210, 350, screen), c.expected) << c.name;
  }
  EXPECT_EQ(MirrorPopoverViewController::frameFor({500, 400, 60, 30}, 210, 900, screen), (Rect{427, 124, 210, 900}))
      << "taller than the room on either side: kept on the screen";
}
