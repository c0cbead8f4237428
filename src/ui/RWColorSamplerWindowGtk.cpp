// The colour sampler's loupe over GTK on X11. The screen is captured once, as sampling starts,
// and shown still in a window over the whole screen, with the round loupe drawn on it where the
// pointer is: the loupe never magnifies itself, and it moves without moving a window, which X
// servers without a compositor do not repaint reliably. The pointer and keyboard are grabbed so
// that every move, click and Escape reaches the sampler.

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cmath>

#include "platform/CairoPath.h"
#include "platform/GObjectPtr.h"
#include "ui/RWColorSampler.h"

namespace {

using Geometry = RWColorSamplerGeometry;

class GtkLoupe : public RWColorSampler::Loupe {
 public:
  ~GtkLoupe() override {
    hide();
    if (window_) gtk_widget_destroy(window_);
  }

  bool canSample() const override {
    GdkDisplay* display = gdk_display_get_default();
    return display && GDK_IS_X11_DISPLAY(display);
  }

  void show(RWColorSampler& sampler) override {
    sampler_ = &sampler;
    GdkWindow* root = gdk_get_default_root_window();
    screen_.reset(gdk_pixbuf_get_from_window(root, 0, 0, gdk_window_get_width(root), gdk_window_get_height(root)));
    if (!screen_) return dismiss();
    if (!window_) build();
    int width = gdk_pixbuf_get_width(screen_.get()), height = gdk_pixbuf_get_height(screen_.get());
    gtk_window_move(GTK_WINDOW(window_), 0, 0);
    gtk_widget_set_size_request(window_, width, height);
    gtk_window_resize(GTK_WINDOW(window_), width, height);
    double x = 0, y = 0;
    if (GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())))
      gdk_device_get_position_double(pointer, nullptr, &x, &y);
    setLocation(x, y);
    gtk_widget_show(window_);
  }

  void hide() override {
    if (grabbed_) {
      gdk_seat_ungrab(gdk_display_get_default_seat(gdk_display_get_default()));
      grabbed_ = false;
    }
    if (window_) gtk_widget_hide(window_);
    screen_.reset();
  }

 private:
  void build() {
    window_ = gtk_window_new(GTK_WINDOW_POPUP);
    gtk_widget_set_app_paintable(window_, TRUE);
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), TRUE);
    gtk_widget_add_events(window_, GDK_POINTER_MOTION_MASK | GDK_BUTTON_PRESS_MASK | GDK_KEY_PRESS_MASK);
    g_signal_connect(window_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t* cr, gpointer self) {
                       static_cast<GtkLoupe*>(self)->draw(cr);
                       return TRUE;
                     }), this);
    g_signal_connect(window_, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) {
                       static_cast<GtkLoupe*>(self)->grab();
                       return FALSE;
                     }), this);
    g_signal_connect(window_, "motion-notify-event", G_CALLBACK(+[](GtkWidget*, GdkEventMotion* e, gpointer self) {
                       static_cast<GtkLoupe*>(self)->setLocation(e->x_root, e->y_root);
                       return TRUE;
                     }), this);
    g_signal_connect(window_, "button-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventButton* e, gpointer self) {
                       static_cast<GtkLoupe*>(self)->pressed(e->x_root, e->y_root);
                       return TRUE;
                     }), this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* e, gpointer self) {
                       if (e->keyval == GDK_KEY_Escape) static_cast<GtkLoupe*>(self)->dismiss();
                       return TRUE;
                     }), this);
    g_signal_connect(window_, "grab-broken-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) {
                       static_cast<GtkLoupe*>(self)->grabbed_ = false;
                       static_cast<GtkLoupe*>(self)->dismiss();
                       return TRUE;
                     }), this);
  }

  void grab() {
    if (grabbed_ || !sampler_) return;
    GdkWindow* window = gtk_widget_get_window(window_);
    GdkDisplay* display = gdk_display_get_default();
    GObjectPtr<GdkCursor> cursor(gdk_cursor_new_for_display(display, GDK_CROSSHAIR));
    GdkGrabStatus status = gdk_seat_grab(gdk_display_get_default_seat(display), window, GDK_SEAT_CAPABILITY_ALL, FALSE,
                                         cursor.get(), nullptr, nullptr, nullptr);
    grabbed_ = status == GDK_GRAB_SUCCESS;
    // Without the pointer the loupe cannot follow it: the sampling ends as if cancelled.
    if (!grabbed_) dismiss();
  }

  void dismiss() {
    if (auto* sampler = sampler_) sampler->windowDidResignKey();
  }

  void pressed(double x, double y) {
    if (!Geometry::contains(frame_, x, y)) return;
    setLocation(x, y);
    if (auto* sampler = sampler_) sampler->windowClickedWithColor(colour_);
  }

  // Captures the square under the pointer from the screen picture and moves the loupe there.
  // Outside the screen the capture stays transparent black.
  void setLocation(double x, double y) {
    if (!screen_) return;
    auto rect = Geometry::capture(x, y);
    GObjectPtr<GdkPixbuf> capture(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, rect.width, rect.height));
    gdk_pixbuf_fill(capture.get(), 0);
    GdkPixbuf* screen = screen_.get();
    int sw = gdk_pixbuf_get_width(screen), sh = gdk_pixbuf_get_height(screen);
    int x0 = std::max(rect.x, 0), y0 = std::max(rect.y, 0);
    int x1 = std::min(rect.x + rect.width, sw), y1 = std::min(rect.y + rect.height, sh);
    if (x1 > x0 && y1 > y0) {
      GObjectPtr<GdkPixbuf> part(gdk_pixbuf_new_subpixbuf(screen, x0, y0, x1 - x0, y1 - y0));
      GObjectPtr<GdkPixbuf> withAlpha(gdk_pixbuf_add_alpha(part.get(), FALSE, 0, 0, 0));
      gdk_pixbuf_copy_area(withAlpha.get(), 0, 0, x1 - x0, y1 - y0, capture.get(), x0 - rect.x, y0 - rect.y);
    }
    capture_ = std::move(capture);
    const guint8* centre = gdk_pixbuf_read_pixels(capture_.get()) + (rect.height / 2) * gdk_pixbuf_get_rowstride(capture_.get()) +
                           (rect.width / 2) * 4;
    colour_ = Color{centre[0] / 255.0, centre[1] / 255.0, centre[2] / 255.0, 1.0};
    // Only where the loupe was and where it is now needs drawing again.
    gtk_widget_queue_draw_area(window_, frame_.x, frame_.y, frame_.width, frame_.height);
    frame_ = Geometry::window(x, y);
    gtk_widget_queue_draw_area(window_, frame_.x, frame_.y, frame_.width, frame_.height);
  }

  void draw(cairo_t* cr) {
    if (screen_) {
      gdk_cairo_set_source_pixbuf(cr, screen_.get(), 0, 0);
      cairo_paint(cr);
    }
    cairo_save(cr);
    cairo_translate(cr, frame_.x, frame_.y);
    drawLoupe(cr);
    cairo_restore(cr);
  }

  void drawLoupe(cairo_t* cr) {
    const double size = Geometry::windowSize;
    cairo_save(cr);
    cairo_arc(cr, size / 2, size / 2, size / 2, 0, 2 * M_PI);
    cairo_clip(cr);
    if (capture_) {
      cairo_save(cr);
      cairo_scale(cr, size / Geometry::captureSize, size / Geometry::captureSize);
      gdk_cairo_set_source_pixbuf(cr, capture_.get(), 0, 0);
      cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
      cairo_paint(cr);
      cairo_restore(cr);
    }
    cairo_restore(cr);
    // Outer ring black, inner ring white, both half transparent.
    cairo_set_line_width(cr, 2);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.5);
    cairo_arc(cr, size / 2, size / 2, size / 2 - 1, 0, 2 * M_PI);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 1);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.5);
    cairo_arc(cr, size / 2, size / 2, size / 2 - 2.5, 0, 2 * M_PI);
    cairo_stroke(cr);
    // The centre pixel's frame stands out on any colour.
    auto square = Geometry::centreSquare();
    cairo_save(cr);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_operator(cr, CAIRO_OPERATOR_DIFFERENCE);
    cairo_set_source_rgba(cr, 1, 1, 1, 0.5);
    cairo_rectangle(cr, square.x + 0.5, square.y + 0.5, square.width, square.height);
    cairo_stroke(cr);
    cairo_restore(cr);
    drawLabel(cr);
  }

  void drawLabel(cairo_t* cr) {
    auto label = Geometry::label();
    const double radius = 2;
    cairopath::roundedRectangle(cr, label.x, label.y, label.width, label.height, radius);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
    cairo_fill(cr);
    PangoLayout* layout = gtk_widget_create_pango_layout(window_, colour_.hexColorString().c_str());
    PangoFontDescription* font = pango_font_description_from_string("Sans 11px");
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_move_to(cr, label.x + (label.width - w) / 2.0, label.y + (label.height - h) / 2.0);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
  }

  RWColorSampler* sampler_ = nullptr;
  GtkWidget* window_ = nullptr;
  GObjectPtr<GdkPixbuf> screen_;
  GObjectPtr<GdkPixbuf> capture_;
  Color colour_ = Color::colorWithHexColorString("#FFAA00");
  Geometry::Rect frame_;
  bool grabbed_ = false;
};

}  // namespace

std::unique_ptr<RWColorSampler::Loupe> makeGtkColorSamplerLoupe() { return std::make_unique<GtkLoupe>(); }
