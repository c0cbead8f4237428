#include <gtk/gtk.h>

#include <algorithm>

#include "platform/CairoPath.h"
#include "ui/AntiAliasedText.h"
#include "ui/SimpleButton.h"

namespace {
bool inside(GtkWidget* widget, double x, double y) {
  return x >= 0 && y >= 0 && x < gtk_widget_get_allocated_width(widget) && y < gtk_widget_get_allocated_height(widget);
}

}  // namespace

SimpleButton::SimpleButton() : widget_(gtk_event_box_new()), labelWidget_(gtk_label_new(nullptr)) {
  g_object_ref_sink(widget_);
  gtk_widget_set_app_paintable(widget_, TRUE);
  gtk_widget_set_can_focus(widget_, FALSE);
  gtk_widget_add_events(widget_, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK | GDK_BUTTON1_MOTION_MASK);
  gtk_container_add(GTK_CONTAINER(widget_), labelWidget_);
  auto onDraw = +[](GtkWidget* w, cairo_t* cr, gpointer self) -> gboolean {
    auto* button = static_cast<SimpleButton*>(self);
    const auto& look = button->look_;
    double width = gtk_widget_get_allocated_width(w), height = gtk_widget_get_allocated_height(w);
    double inset = button->borderWidth_ / 2;
    cairopath::roundedRectangle(cr, inset, inset, width - 2 * inset, height - 2 * inset, button->cornerRadius_);
    if (look.background) {
      const Color& c = *look.background;
      cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
      cairo_fill_preserve(cr);
    }
    if (look.border && button->borderWidth_ > 0) {
      const Color& c = *look.border;
      cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
      cairo_set_line_width(cr, button->borderWidth_);
      cairo_stroke_preserve(cr);
    }
    cairo_new_path(cr);
    return FALSE;  // the label draws on top
  };
  g_signal_connect(widget_, "draw", G_CALLBACK(onDraw), this);
  auto onButtonPressEvent = +[](GtkWidget*, GdkEventButton* e, gpointer self) -> gboolean {
    if (e->button == 1 && e->type == GDK_BUTTON_PRESS) static_cast<SimpleButton*>(self)->mouseDown();
    return TRUE;
  };
  g_signal_connect(widget_, "button-press-event", G_CALLBACK(onButtonPressEvent), this);
  auto onMotionNotifyEvent = +[](GtkWidget* w, GdkEventMotion* e, gpointer self) -> gboolean {
    static_cast<SimpleButton*>(self)->mouseDragged(inside(w, e->x, e->y));
    return TRUE;
  };
  g_signal_connect(widget_, "motion-notify-event", G_CALLBACK(onMotionNotifyEvent), this);
  auto onButtonReleaseEvent = +[](GtkWidget* w, GdkEventButton* e, gpointer self) -> gboolean {
    if (e->button == 1) static_cast<SimpleButton*>(self)->mouseUp(inside(w, e->x, e->y));
    return TRUE;
  };
  g_signal_connect(widget_, "button-release-event", G_CALLBACK(onButtonReleaseEvent), this);
  gtk_widget_show_all(widget_);
  updateButton();
}

SimpleButton::~SimpleButton() {
  g_signal_handlers_disconnect_by_data(widget_, this);
  gtk_widget_destroy(widget_);
  g_object_unref(widget_);
}

void SimpleButton::setCornerRadius(double radius) {
  cornerRadius_ = std::max(0.0, radius);
  redraw();
}

void SimpleButton::setBorderWidth(double width) {
  borderWidth_ = std::max(0.0, width);
  redraw();
}

void SimpleButton::updateLabel() {
  AntiAliasedTitle title;
  title.text = label_;
  title.font = font_;
  title.alignment = TextAlignment::center;
  title.textColor = look_.labelColor.value_or(Color{0, 0, 0, 1});
  title.backgroundColor = look_.labelBackground.value_or(Color{0, 0, 0, 0});
  title.letterSpacing = static_cast<float>(kerning_);
  styled_ = title;
  AntiAliasedText::apply(labelWidget_, styled_);
}

void SimpleButton::redraw() {
  gtk_widget_queue_draw(widget_);
}
