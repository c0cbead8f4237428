// The colour sampler's loupe on the virtual display: it follows the pointer, picks the pixel
// under it on a click and cancels on Escape.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <cstdio>
#include <optional>
#include <string>

#include "platform/RunLoop.h"
#include "support/PrivateDesktop.h"
#include "support/TestEnvironment.h"
#include "ui/RWColorSampler.h"

namespace {

bool waitFor(const std::function<bool()>& done, double timeout = 30) { return RunLoop::runUntil(done, timeout); }

// xdotool runs beside the main loop, which must keep turning for the grab's events.
bool xdotool(const std::vector<std::string>& arguments) {
  std::vector<const gchar*> argv{"xdotool"};
  for (auto& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  GSubprocess* child = g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_NONE, nullptr);
  if (!child) return false;
  bool done = false, ok = false;
  struct State {
    bool* done;
    bool* ok;
  } state{&done, &ok};
  g_subprocess_wait_check_async(
      child, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* s = static_cast<State*>(data);
        *s->ok = g_subprocess_wait_check_finish(G_SUBPROCESS(source), result, nullptr);
        *s->done = true;
      },
      &state);
  waitFor([&] { return done; });
  g_object_unref(child);
  return ok;
}

// A plain window of one colour at a known place.
struct Swatch {
  Swatch(int x, int y, const char* colour) {
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window), 200, 160);
    gtk_window_move(GTK_WINDOW(window), x, y);
    gdk_rgba_parse(&rgba, colour);
    g_signal_connect(window, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer data) {
                       gdk_cairo_set_source_rgba(cr, static_cast<GdkRGBA*>(data));
                       cairo_paint(cr);
                       return TRUE;
                     }), &rgba);
    gtk_widget_show(window);
  }
  ~Swatch() { gtk_widget_destroy(window); }
  GdkRGBA rgba;
  GtkWidget* window;
};

std::optional<std::string> screenPixel(int x, int y) {
  GdkPixbuf* pixel = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1);
  if (!pixel) return std::nullopt;
  const guint8* p = gdk_pixbuf_read_pixels(pixel);
  char text[8];
  g_snprintf(text, sizeof text, "#%02X%02X%02X", p[0], p[1], p[2]);
  g_object_unref(pixel);
  return std::string(text);
}

bool pointerGrabbed() {
  GdkDisplay* display = gdk_display_get_default();
  return gdk_display_device_is_grabbed(display, gdk_seat_get_pointer(gdk_display_get_default_seat(display)));
}

struct Sampling {
  bool answered = false;
  int calls = 0;
  std::optional<Color> colour;
  void start() {
    RWColorSampler::shared().showWithCompletion([this](std::optional<Color> c) {
      ++calls;
      answered = true;
      colour = c;
    });
  }
};

// The loupe grabs the pointer and keyboard of its display: on a display of its own it never takes
// them from other tests running beside it, and no other test's window covers the swatch. Without
// one the tests don't run: on the display they were given they would pass or fail by chance.
struct ColorSamplerScreen : testing::Test {
  static void SetUpTestSuite() {
    desktop = testenv::PrivateDesktop::start(&why);
    if (!desktop) fprintf(stderr, "no desktop of our own: %s\n", why.c_str());
  }
  void SetUp() override {
    if (!desktop) GTEST_SKIP() << "needs Xvfb and openbox: " << why;
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
  }
  static inline bool desktop = false;
  static inline std::string why;
};

}  // namespace

TEST_F(ColorSamplerScreen, AClickPicksThePixelUnderThePointerOfAnotherWindow) {
  Swatch swatch(300, 200, "#3366CC");
  ASSERT_TRUE(waitFor([] { return screenPixel(400, 280) == "#3366CC"; }));
  ASSERT_TRUE(xdotool({"mousemove", "350", "250"}));
  Sampling sampling;
  sampling.start();
  // The loupe magnifies the swatch around the pointer; its dark hex label sits below the centre.
  ASSERT_TRUE(waitFor([] { return pointerGrabbed() && screenPixel(350, 272) != "#3366CC"; }));
  ASSERT_TRUE(xdotool({"mousemove", "400", "280"}));
  // The loupe followed: its label is below the new place, the magnified swatch around it.
  ASSERT_TRUE(waitFor([] { return screenPixel(400, 302) != "#3366CC" && screenPixel(350, 272) == "#3366CC"; }));
  EXPECT_EQ(screenPixel(370, 270), "#3366CC");
  ASSERT_TRUE(xdotool({"click", "1"}));
  ASSERT_TRUE(waitFor([&] { return sampling.answered; }));
  ASSERT_TRUE(sampling.colour);
  EXPECT_EQ(sampling.colour->hexColorString(), "#3366CC");
  EXPECT_EQ(sampling.colour->RGBAColorString(), "(51, 102, 204, 1.00)");
  RunLoop::runUntil([] { return false; }, 0.3);
  EXPECT_EQ(sampling.calls, 1);
  EXPECT_TRUE(waitFor([] { return !pointerGrabbed() && screenPixel(400, 302) == "#3366CC"; })) << "the loupe is gone";
}

TEST_F(ColorSamplerScreen, EscapeCancelsWithNoColour) {
  Sampling sampling;
  sampling.start();
  // The grab is taken once the loupe is on screen; keys go to it from then on.
  ASSERT_TRUE(waitFor(pointerGrabbed));
  ASSERT_TRUE(xdotool({"key", "Escape"}));
  ASSERT_TRUE(waitFor([&] { return sampling.answered; }));
  EXPECT_FALSE(sampling.colour);
  EXPECT_EQ(sampling.calls, 1);
}
