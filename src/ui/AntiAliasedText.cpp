#include "ui/AntiAliasedText.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace {

guint16 channel(double value) { return static_cast<guint16>(std::lround(std::clamp(value, 0.0, 1.0) * 65535)); }
guint16 alpha(double value) { return channel(value); }

void insert(PangoAttrList* list, PangoAttribute* attribute) { pango_attr_list_insert(list, attribute); }

}  // namespace

void AntiAliasedText::apply(GtkWidget* label, const AntiAliasedTitle& title) {
  PangoAttrList* list = pango_attr_list_new();
  const Color& fg = title.textColor;
  insert(list, pango_attr_foreground_new(channel(fg.red), channel(fg.green), channel(fg.blue)));
  insert(list, pango_attr_foreground_alpha_new(std::max<guint16>(1, alpha(fg.alpha))));
  const Color& bg = title.backgroundColor;
  if (bg.alpha > 0) {
    insert(list, pango_attr_background_new(channel(bg.red), channel(bg.green), channel(bg.blue)));
    insert(list, pango_attr_background_alpha_new(std::max<guint16>(1, alpha(bg.alpha))));
  }
  PangoFontDescription* font = pango_font_description_new();
  if (!title.font.family.empty()) pango_font_description_set_family(font, title.font.family.c_str());
  pango_font_description_set_size(font, static_cast<gint>(std::lround(title.font.pointSize * PANGO_SCALE)));
  insert(list, pango_attr_font_desc_new(font));
  pango_font_description_free(font);
  insert(list, pango_attr_letter_spacing_new(static_cast<int>(std::lround(title.letterSpacing * PANGO_SCALE))));
  insert(list, pango_attr_line_height_new_absolute(static_cast<int>(std::lround(title.maximumLineHeight * PANGO_SCALE))));

  GtkLabel* gtkLabel = GTK_LABEL(label);
  gtk_label_set_text(gtkLabel, title.text.c_str());
  gtk_label_set_attributes(gtkLabel, list);
  pango_attr_list_unref(list);
  float x = 0.5f;
  GtkJustification justify = GTK_JUSTIFY_CENTER;
  switch (title.alignment) {
    case TextAlignment::left:
    case TextAlignment::natural: x = 0; justify = GTK_JUSTIFY_LEFT; break;
    case TextAlignment::right: x = 1; justify = GTK_JUSTIFY_RIGHT; break;
    case TextAlignment::justified: x = 0; justify = GTK_JUSTIFY_FILL; break;
    case TextAlignment::center: break;
  }
  gtk_label_set_xalign(gtkLabel, x);
  gtk_label_set_justify(gtkLabel, justify);

  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_SUBPIXEL);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  gtk_widget_set_font_options(label, options);
  cairo_font_options_destroy(options);
}
