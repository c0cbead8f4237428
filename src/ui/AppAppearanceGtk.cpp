#include "AppAppearanceGtk.h"

#include <gtk/gtk.h>

void AppAppearanceGtk::apply(AppAppearance::Appearance appearance) {
  GtkSettings* settings = gtk_settings_get_default();
  if (!settings) return;
  g_object_set(settings, "gtk-application-prefer-dark-theme", appearance == AppAppearance::Appearance::dark, nullptr);
}
