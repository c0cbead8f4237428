#include <gtk/gtk.h>

#include <cmath>
#include <filesystem>

#include "platform/Resources.h"
#include "ui/AppAppearance.h"
#include "ui/ToolbarButton.h"

namespace {

GdkPixbuf* loadImage(const std::string& name) {
  if (name.empty()) return nullptr;
  auto file = Resources::path(name, "png", "Images");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return nullptr;
  return gdk_pixbuf_new_from_file(file.c_str(), nullptr);
}

GdkPixbuf* loadIcon(const std::string& name) {
  GtkIconTheme* theme = name.empty() ? nullptr : gtk_icon_theme_get_default();
  return theme ? gtk_icon_theme_load_icon(theme, name.c_str(), 16, GTK_ICON_LOOKUP_FORCE_SIZE, nullptr) : nullptr;
}

}  // namespace

struct ToolbarButton::Signals {
  static gboolean draw(GtkWidget* widget, cairo_t* cr, ToolbarButton* self) {
    // The button's own bezel and label are not drawn: only the image.
    self->draw(cr, gtk_widget_get_allocated_width(widget), gtk_widget_get_allocated_height(widget));
    return TRUE;
  }
  static void clicked(GtkButton* button, ToolbarButton* self) {
    if (self->action) self->action(GTK_WIDGET(button));
  }
  static void stateChanged(GtkWidget* widget, GtkStateFlags, ToolbarButton*) { gtk_widget_queue_draw(widget); }
};

ToolbarButton::ToolbarButton(const std::string& imageName, const std::string& fallbackIcon, const std::string& tooltip)
    : widget_(gtk_button_new()) {
  g_object_ref_sink(widget_);
  gtk_button_set_relief(GTK_BUTTON(widget_), GTK_RELIEF_NONE);
  gtk_widget_set_size_request(widget_, 38, 28);
  gtk_widget_set_valign(widget_, GTK_ALIGN_CENTER);
  gtk_widget_set_tooltip_text(widget_, tooltip.c_str());
  gtk_style_context_add_class(gtk_widget_get_style_context(widget_), "toolbar-button");
  image_ = loadImage(imageName);
  if (image_)
    darkImage_ = loadImage(imageName + "-dark");
  else
    image_ = loadIcon(fallbackIcon);
  g_signal_connect(widget_, "draw", G_CALLBACK(Signals::draw), this);
  g_signal_connect(widget_, "clicked", G_CALLBACK(Signals::clicked), this);
  g_signal_connect(widget_, "state-flags-changed", G_CALLBACK(Signals::stateChanged), this);
  reflectAppAppearance();
  std::weak_ptr<bool> alive = alive_;
  AppAppearance::shared().observeHandlers.push_back([alive, this] {
    if (!alive.expired()) reflectAppAppearance();
  });
}

ToolbarButton::~ToolbarButton() {
  *alive_ = false;
  g_signal_handlers_disconnect_by_data(widget_, this);
  if (image_) g_object_unref(image_);
  if (darkImage_) g_object_unref(darkImage_);
  gtk_widget_destroy(widget_);
  g_object_unref(widget_);
}

void ToolbarButton::setEnabled(bool enabled) { gtk_widget_set_sensitive(widget_, enabled); }
bool ToolbarButton::isEnabled() const { return gtk_widget_get_sensitive(widget_); }
bool ToolbarButton::isHighlighted() const { return gtk_widget_get_state_flags(widget_) & GTK_STATE_FLAG_ACTIVE; }

ToolbarButtonDrawing ToolbarButton::currentDrawing() const {
  return drawing(AppAppearance::shared().isDark(), hasDarkVariant(), isHighlighted());
}

void ToolbarButton::reflectAppAppearance() { gtk_widget_queue_draw(widget_); }

void ToolbarButton::draw(cairo_t* cr, int width, int height) {
  auto how = currentDrawing();
  GdkPixbuf* image = how.darkVariant ? darkImage_ : image_;
  if (!image) return;
  auto rect = imageRect(width, height, gdk_pixbuf_get_width(image), gdk_pixbuf_get_height(image));
  cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(image, 1, nullptr);
  if (how.tint) {
    // The image's opaque pixels take the colour.
    cairo_set_source_rgba(cr, how.tint->red, how.tint->green, how.tint->blue, how.tint->alpha);
    cairo_mask_surface(cr, surface, rect.x, rect.y);
  } else {
    cairo_set_source_surface(cr, surface, rect.x, rect.y);
    cairo_paint(cr);
  }
  cairo_surface_destroy(surface);
}

ToolbarCloudButton::ToolbarCloudButton(const std::string& tooltip) : ToolbarButton("", "", tooltip) {
  gtk_style_context_add_class(gtk_widget_get_style_context(widget_), "toolbar-cloud-button");
}

void ToolbarCloudButton::setEnabled(bool enabled) {
  ToolbarButton::setEnabled(enabled);
  gtk_widget_queue_draw(widget_);
}

double ToolbarCloudButton::alpha() const { return alphaFor(isEnabled()); }

void ToolbarCloudButton::draw(cairo_t* cr, int width, int height) {
  // The 20-point box sits in the middle, a point higher; its y grows upwards.
  double ox = std::floor((width - 20) / 2.0), oy = std::floor((height - 20) / 2.0) - 1;
  auto at = [&](const std::pair<double, double>& p) { return std::pair<double, double>{ox + p.first, oy + 20 - p.second}; };
  cairo_save(cr);
  cairo_push_group(cr);
  for (const auto& e : cloudPath()) {
    switch (e.kind) {
      case PathElement::Kind::move: {
        auto [x, y] = at(e.points[0]);
        cairo_move_to(cr, x, y);
        break;
      }
      case PathElement::Kind::line: {
        auto [x, y] = at(e.points[0]);
        cairo_line_to(cr, x, y);
        break;
      }
      case PathElement::Kind::curve: {
        auto [x1, y1] = at(e.points[0]);
        auto [x2, y2] = at(e.points[1]);
        auto [x3, y3] = at(e.points[2]);
        cairo_curve_to(cr, x1, y1, x2, y2, x3, y3);
        break;
      }
      case PathElement::Kind::close: cairo_close_path(cr); break;
    }
  }
  Color c = contentColor(AppAppearance::shared().isDark());
  cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
  cairo_set_line_width(cr, 1.0);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_stroke(cr);
  cairo_pop_group_to_source(cr);
  cairo_paint_with_alpha(cr, alpha());
  cairo_restore(cr);
}

ToolbarAccessoryView::ToolbarAccessoryView(GtkWidget* headerBar) : headerBar_(headerBar) {
  g_object_ref(headerBar_);
  provider_ = gtk_css_provider_new();
  gtk_style_context_add_provider(gtk_widget_get_style_context(headerBar_), GTK_STYLE_PROVIDER(provider_),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  reflectAppAppearance();
  std::weak_ptr<bool> alive = alive_;
  AppAppearance::shared().observeHandlers.push_back([alive, this] {
    if (!alive.expired()) reflectAppAppearance();
  });
}

ToolbarAccessoryView::~ToolbarAccessoryView() {
  *alive_ = false;
  gtk_style_context_remove_provider(gtk_widget_get_style_context(headerBar_), GTK_STYLE_PROVIDER(provider_));
  g_object_unref(provider_);
  g_object_unref(headerBar_);
}

void ToolbarAccessoryView::reflectAppAppearance() {
  std::string css = backgroundCSS(AppAppearance::shared().isDark());
  gtk_css_provider_load_from_data(GTK_CSS_PROVIDER(provider_), css.c_str(), -1, nullptr);
}
