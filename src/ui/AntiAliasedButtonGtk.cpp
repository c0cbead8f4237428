#include <gtk/gtk.h>

#include "ui/AntiAliasedButton.h"
#include "ui/AntiAliasedText.h"

namespace {

GtkWidget* makeButton(GtkWidget* label) {
  GtkWidget* button = gtk_button_new();
  gtk_button_set_relief(GTK_BUTTON(button), GTK_RELIEF_NONE);
  gtk_container_add(GTK_CONTAINER(button), label);
  return button;
}

}  // namespace

AntiAliasedButton::AntiAliasedButton() : label_(gtk_label_new(nullptr)) {
  widget_ = makeButton(label_);
  g_object_ref_sink(widget_);
  gtk_widget_show_all(widget_);
}

AntiAliasedButton::AntiAliasedButton(const std::string& title, const AntiAliasedFont& font, const Color& textColor,
                                     const Color& backgroundColor, TextAlignment alignment,
                                     std::optional<float> letterSpacing)
    : AntiAliasedButton() {
  initialize(title, font, textColor, backgroundColor, alignment, letterSpacing);
}

// A bare label has no window of its own, so presses and drags go to whatever holds it.
AntiAliasedButton::AntiAliasedButton(AsLabel) : label_(gtk_label_new(nullptr)) {
  widget_ = label_;
  g_object_ref_sink(widget_);
  gtk_widget_set_can_focus(widget_, FALSE);
  gtk_widget_show(widget_);
}

AntiAliasedButton::AntiAliasedButton(AsLabel, const std::string& title, const AntiAliasedFont& font,
                                     const Color& textColor, const Color& backgroundColor, TextAlignment alignment,
                                     std::optional<float> letterSpacing)
    : AntiAliasedButton(AsLabel{}) {
  initialize(title, font, textColor, backgroundColor, alignment, letterSpacing);
}

AntiAliasedButton::~AntiAliasedButton() {
  gtk_widget_destroy(widget_);
  g_object_unref(widget_);
}

void AntiAliasedButton::initialize(const std::string& title, const AntiAliasedFont& font, const Color& textColor,
                                   const Color& backgroundColor, TextAlignment alignment,
                                   std::optional<float> letterSpacing) {
  font_ = font;
  textColor_ = textColor;
  backgroundColor_ = backgroundColor;
  textAlignment_ = alignment;
  letterSpacing_ = letterSpacing;
  gtk_label_set_text(GTK_LABEL(label_), title.c_str());
  setTitle(this->title(), textColor_, backgroundColor_, textAlignment_, letterSpacing_);
}

std::string AntiAliasedButton::title() const {
  const char* text = gtk_label_get_text(GTK_LABEL(label_));
  return text ? text : "";
}

void AntiAliasedButton::setTextColor(std::optional<Color> color) {
  textColor_ = std::move(color);
  setTitle(title(), textColor_, backgroundColor_, textAlignment_, letterSpacing_);
}

void AntiAliasedButton::setBackgroundColor(std::optional<Color> color) {
  backgroundColor_ = std::move(color);
  setTitle(title(), textColor_, backgroundColor_, textAlignment_, letterSpacing_);
}

void AntiAliasedButton::setTitle(const std::string& title, const std::optional<Color>& color,
                                 const std::optional<Color>& backgroundColor,
                                 const std::optional<TextAlignment>& alignment,
                                 const std::optional<float>& letterSpacing) {
  apply(AntiAliasedTitle::build(title, font_, color, textColor_, backgroundColor, alignment, letterSpacing));
}

void AntiAliasedButton::apply(const AntiAliasedTitle& title) {
  styled_ = title;
  AntiAliasedText::apply(label_, title);
}
