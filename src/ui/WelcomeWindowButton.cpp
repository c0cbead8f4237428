#include "ui/WelcomeWindowButton.h"

#include <gtk/gtk.h>

#include "ui/AntiAliasedText.h"

WelcomeWindowButton::WelcomeWindowButton(const std::string& title)
    : button_(gtk_button_new()), label_(gtk_label_new(nullptr)), css_(gtk_css_provider_new()) {
  g_object_ref_sink(button_);
  gtk_button_set_relief(GTK_BUTTON(button_), GTK_RELIEF_NONE);
  gtk_widget_set_can_focus(button_, FALSE);
  gtk_container_add(GTK_CONTAINER(button_), label_);
  gtk_css_provider_load_from_data(css_, "button { border-radius: 3px; border: none; padding: 0; min-height: 0; }", -1,
                                  nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(button_), GTK_STYLE_PROVIDER(css_),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_signal_connect(button_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer self) {
                     auto* button = static_cast<WelcomeWindowButton*>(self);
                     if (button->action) button->action();
                   }),
                   this);
  setTitle(title, Color{0, 0, 0, 1});
  gtk_widget_show_all(button_);
}

WelcomeWindowButton::~WelcomeWindowButton() {
  g_signal_handlers_disconnect_by_data(button_, this);
  gtk_widget_destroy(button_);
  g_object_unref(button_);
  g_object_unref(css_);
}

std::string WelcomeWindowButton::title() const {
  const char* text = gtk_label_get_text(GTK_LABEL(label_));
  return text ? text : "";
}

void WelcomeWindowButton::setTitle(const std::string& title, const Color& color) {
  color_ = color;
  AntiAliasedTitle styled;
  styled.text = title;
  styled.font = AntiAliasedFont::systemFont(12);
  styled.alignment = TextAlignment::center;
  styled.textColor = color;
  styled.backgroundColor = Color{0, 0, 0, 0};
  styled.letterSpacing = 0;
  styled.maximumLineHeight = 12 * 1.3;
  AntiAliasedText::apply(label_, styled);
}
