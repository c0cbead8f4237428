#include "SidebarButton.h"

#include <gtk/gtk.h>

SidebarButton::SidebarButton(const std::string& title) : widget_(gtk_button_new_with_label(title.c_str())) {
  g_object_ref_sink(widget_);
  gtk_button_set_relief(GTK_BUTTON(widget_), GTK_RELIEF_NONE);
}

SidebarButton::~SidebarButton() { g_object_unref(widget_); }

void SidebarButton::awakeFromNib() {
  if (textColor) {
    auto* provider = gtk_css_provider_new();
    std::string css = "* { color: " + textColor->hexColorString() + "; }";
    gtk_css_provider_load_from_data(provider, css.c_str(), -1, nullptr);
    // On the button, so that a new label from setShowTitle inherits it.
    gtk_style_context_add_provider(gtk_widget_get_style_context(widget_), GTK_STYLE_PROVIDER(provider),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
    attributedTitleStore_ = title();
  }
  if (attributedTitleStore_) gtk_widget_set_tooltip_text(widget_, attributedTitleStore_->c_str());
}

void SidebarButton::setShowTitle(bool show) {
  showTitle_ = show;
  if (!attributedTitleStore_) return;
  if (show) {
    gtk_button_set_label(GTK_BUTTON(widget_), attributedTitleStore_->c_str());
    gtk_widget_set_tooltip_text(widget_, nullptr);
    gtk_widget_queue_resize(widget_);
  } else {
    gtk_button_set_label(GTK_BUTTON(widget_), "");
    gtk_widget_set_tooltip_text(widget_, attributedTitleStore_->c_str());
  }
}

std::string SidebarButton::title() const {
  const char* label = gtk_button_get_label(GTK_BUTTON(widget_));
  return label ? label : "";
}

std::optional<std::string> SidebarButton::toolTip() const {
  char* text = gtk_widget_get_tooltip_text(widget_);
  if (!text) return std::nullopt;
  std::string out = text;
  g_free(text);
  return out;
}
