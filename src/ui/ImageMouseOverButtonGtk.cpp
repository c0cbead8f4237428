#include <gtk/gtk.h>

#include "platform/Resources.h"
#include "ui/ImageMouseOverButton.h"

namespace {

GdkPixbuf* loadImage(const std::string& name) {
  auto file = Resources::path(name, "png", "Images");
  if (GdkPixbuf* image = gdk_pixbuf_new_from_file(file.c_str(), nullptr)) return image;
  GtkIconTheme* theme = gtk_icon_theme_get_default();
  return theme ? gtk_icon_theme_load_icon(theme, name.c_str(), 16, GtkIconLookupFlags(0), nullptr) : nullptr;
}

bool inside(GtkWidget* widget, double x, double y) {
  return x >= 0 && y >= 0 && x < gtk_widget_get_allocated_width(widget) && y < gtk_widget_get_allocated_height(widget);
}

}  // namespace

struct ImageMouseOverButton::Signals {
  static gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
    auto* self = static_cast<ImageMouseOverButton*>(data);
    if (!self->image_ || !self->shownTint_) return FALSE;
    int w = gdk_pixbuf_get_width(self->image_), h = gdk_pixbuf_get_height(self->image_);
    double x = (gtk_widget_get_allocated_width(widget) - w) / 2, y = (gtk_widget_get_allocated_height(widget) - h) / 2;
    // The image's opaque parts show the tint.
    cairo_surface_t* mask = gdk_cairo_surface_create_from_pixbuf(self->image_, 1, nullptr);
    const Color& c = *self->shownTint_;
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
    cairo_mask_surface(cr, mask, int(x), int(y));
    cairo_surface_destroy(mask);
    return FALSE;
  }
  static gboolean press(GtkWidget*, GdkEventButton* event, gpointer data) {
    if (event->button == GDK_BUTTON_PRIMARY) static_cast<ImageMouseOverButton*>(data)->mouseDown();
    return TRUE;
  }
  static gboolean motion(GtkWidget* widget, GdkEventMotion* event, gpointer data) {
    if (event->state & GDK_BUTTON1_MASK)
      static_cast<ImageMouseOverButton*>(data)->mouseDragged(inside(widget, event->x, event->y));
    return TRUE;
  }
  static gboolean release(GtkWidget* widget, GdkEventButton* event, gpointer data) {
    if (event->button == GDK_BUTTON_PRIMARY)
      static_cast<ImageMouseOverButton*>(data)->mouseUp(inside(widget, event->x, event->y));
    return TRUE;
  }
};

ImageMouseOverButton::ImageMouseOverButton(int width, int height, const std::string& imageName)
    : widget_(gtk_drawing_area_new()), image_(loadImage(imageName)) {
  g_object_ref_sink(widget_);
  gtk_widget_set_size_request(widget_, width, height);
  gtk_widget_add_events(widget_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON_MOTION_MASK);
  g_signal_connect(widget_, "draw", G_CALLBACK(Signals::draw), this);
  g_signal_connect(widget_, "button-press-event", G_CALLBACK(Signals::press), this);
  g_signal_connect(widget_, "motion-notify-event", G_CALLBACK(Signals::motion), this);
  g_signal_connect(widget_, "button-release-event", G_CALLBACK(Signals::release), this);
  shownTint_ = tintColor_;
}

ImageMouseOverButton::~ImageMouseOverButton() {
  g_signal_handlers_disconnect_by_data(widget_, this);
  if (image_) g_object_unref(image_);
  g_object_unref(widget_);
}

void ImageMouseOverButton::redraw() { gtk_widget_queue_draw(widget_); }
