#include "ui/EnvironmentChooserDialog.h"

#include <gtk/gtk.h>

namespace {
constexpr const char* tagKey = "korvel-environment-tag";

std::size_t indexOf(AppServices::Environment environment) {
  for (std::size_t i = 0; i < std::size(AppServices::allEnvironments); ++i)
    if (AppServices::allEnvironments[i] == environment) return i;
  return 0;
}
}  // namespace

EnvironmentChooserDialog::EnvironmentChooserDialog(AppServices& services) : services_(services) {
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s",
                                             messageText);
  g_object_ref_sink(dialog);
  dialog_ = GTK_DIALOG(dialog);
  done_ = gtk_dialog_add_button(dialog_, "Done", doneResponse);

  GtkWidget* stack = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_widget_set_halign(stack, GTK_ALIGN_START);
  gtk_widget_set_margin_top(stack, 4);
  auto current = services_.currentEnvironment();
  GSList* group = nullptr;
  for (std::size_t i = 0; i < std::size(AppServices::allEnvironments); ++i) {
    auto environment = AppServices::allEnvironments[i];
    GtkWidget* radio = gtk_radio_button_new_with_label(group, services_.title(environment).c_str());
    group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(radio));
    // Small type, like a small control's.
    GtkWidget* label = gtk_bin_get_child(GTK_BIN(radio));
    PangoAttrList* attributes = pango_attr_list_new();
    pango_attr_list_insert(attributes, pango_attr_scale_new(PANGO_SCALE_SMALL));
    gtk_label_set_attributes(GTK_LABEL(label), attributes);
    pango_attr_list_unref(attributes);
    g_object_set_data(G_OBJECT(radio), tagKey, GINT_TO_POINTER(static_cast<int>(environment)));
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(radio), environment == current);
    gtk_box_pack_start(GTK_BOX(stack), radio, FALSE, FALSE, 0);
    radios_[i] = radio;
  }
  // Connected after the initial state, so that preselecting changes nothing.
  for (GtkWidget* radio : radios_)
    g_signal_connect(radio, "toggled", G_CALLBACK(+[](GtkToggleButton* button, gpointer self) {
                       if (!gtk_toggle_button_get_active(button)) return;
                       long long tag = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), tagKey));
                       static_cast<EnvironmentChooserDialog*>(self)->services_.changeEnvironment(tag);
                     }),
                     this);
  GtkWidget* area = gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog));
  gtk_box_pack_start(GTK_BOX(area), stack, FALSE, FALSE, 0);
  gtk_widget_show_all(stack);
}

EnvironmentChooserDialog::~EnvironmentChooserDialog() {
  for (GtkWidget* radio : radios_) g_signal_handlers_disconnect_by_data(radio, this);
  gtk_widget_destroy(GTK_WIDGET(dialog_));
  g_object_unref(dialog_);
}

GtkWidget* EnvironmentChooserDialog::radioButton(AppServices::Environment environment) const {
  return radios_[indexOf(environment)];
}

void EnvironmentChooserDialog::run() {
  gtk_dialog_run(dialog_);
  gtk_widget_hide(GTK_WIDGET(dialog_));
}

void installEnvironmentChooser(AppServices& services) {
  services.chooserPresenter = [](AppServices& chosen) { EnvironmentChooserDialog(chosen).run(); };
}
