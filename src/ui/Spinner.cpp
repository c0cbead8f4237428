#include "Spinner.h"

#include <gtk/gtk.h>

#include <cmath>

namespace {

gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer) {
  double width = gtk_widget_get_allocated_width(widget);
  double height = gtk_widget_get_allocated_height(widget);
  auto* start = static_cast<gint64*>(g_object_get_data(G_OBJECT(widget), "korvel-spinner-start"));
  GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
  double seconds = clock && start ? static_cast<double>(gdk_frame_clock_get_frame_time(clock) - *start) / 1e6 : 0;
  double radius = std::min(width, height) / 2 - 3;
  if (radius <= 0) return FALSE;
  GdkRGBA color;
  gtk_style_context_get_color(gtk_widget_get_style_context(widget), gtk_widget_get_state_flags(widget), &color);
  cairo_translate(cr, width / 2, height / 2);
  cairo_rotate(cr, Spinner::rotation(seconds));
  cairo_set_line_width(cr, 4);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  gdk_cairo_set_source_rgba(cr, &color);
  cairo_arc(cr, 0, 0, radius, 0, 1.5 * M_PI);
  cairo_stroke(cr);
  return FALSE;
}

gboolean tick(GtkWidget* widget, GdkFrameClock*, gpointer) {
  gtk_widget_queue_draw(widget);
  return G_SOURCE_CONTINUE;
}

}  // namespace

double Spinner::rotation(double seconds) {
  double turns = seconds - std::floor(seconds);
  return 2 * M_PI * turns;
}

Spinner::Spinner(int width, int height) : area_(gtk_drawing_area_new()) {
  g_object_ref_sink(area_);
  gtk_widget_set_size_request(area_, width, height);
  g_object_set_data_full(G_OBJECT(area_), "korvel-spinner-start", new gint64(g_get_monotonic_time()),
                         [](gpointer p) { delete static_cast<gint64*>(p); });
  g_signal_connect(area_, "draw", G_CALLBACK(draw), nullptr);
  tick_ = gtk_widget_add_tick_callback(area_, tick, nullptr, nullptr);
  gtk_widget_show(area_);
}

Spinner::~Spinner() {
  gtk_widget_remove_tick_callback(area_, tick_);
  gtk_widget_destroy(area_);
  g_object_unref(area_);
}

void Spinner::setAlpha(double alpha) { gtk_widget_set_opacity(area_, alpha); }
