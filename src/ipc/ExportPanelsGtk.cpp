#include <gtk/gtk.h>

#include <cmath>
#include <memory>

#include "export/ExportFileWriter.h"
#include "ipc/ExportPanels.h"
#include "platform/Defaults.h"
#include "platform/GtkPersonInterfaces.h"

namespace {

// One quality row: a label and a 0–100 slider kept in the user default `key` as 0…1.
GtkWidget* qualityRow(const char* title, const char* key, double fallback) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_pack_start(GTK_BOX(row), gtk_label_new(title), FALSE, FALSE, 0);
  GtkWidget* scale = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0, 100, 1);
  gtk_widget_set_size_request(scale, 200, -1);
  auto stored = Defaults::standard().doubleValue(key);
  double value = Defaults::standard().has(key) && stored >= 0 && stored <= 1 ? stored : fallback;
  gtk_range_set_value(GTK_RANGE(scale), std::round(value * 100));
  g_signal_connect_data(scale, "value-changed", G_CALLBACK(+[](GtkRange* range, gpointer key) {
                          Defaults::standard().setDouble(static_cast<const char*>(key), gtk_range_get_value(range) / 100.0);
                        }),
                        g_strdup(key), [](gpointer key, GClosure*) { g_free(key); }, GConnectFlags(0));
  gtk_box_pack_start(GTK_BOX(row), scale, TRUE, TRUE, 0);
  gtk_widget_set_name(row, key);
  return row;
}

GtkWidget* qualityAccessory(ExportQualityOptions quality) {
  if (quality.empty()) return nullptr;
  GtkWidget* stack = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  GtkWidget* jpeg = qualityRow("JPEG quality", "RWExportJPEGQuality", 0.9);
  GtkWidget* webp = qualityRow("WebP quality", "RWExportWebPQuality", ExportFileWriter::webPQualityFactor());
  gtk_box_pack_start(GTK_BOX(stack), jpeg, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(stack), webp, FALSE, FALSE, 0);
  gtk_widget_show_all(stack);
  gtk_widget_set_visible(jpeg, quality.contains(ExportQualityOptions::jpeg));
  gtk_widget_set_visible(webp, quality.contains(ExportQualityOptions::webp));
  return stack;
}

void runChooser(GtkFileChooserAction action, const std::string* name, ExportQualityOptions quality, GtkWindow* parent,
                const std::filesystem::path& startFolder, ExportPanels::PathCompletion completion) {
  GtkWidget* dialog = gtk_file_chooser_dialog_new(action == GTK_FILE_CHOOSER_ACTION_SAVE ? "Export" : "Export to Folder",
                                                  parent, action, "_Cancel", GTK_RESPONSE_CANCEL, "_Export",
                                                  GTK_RESPONSE_ACCEPT, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_window_set_resizable(GTK_WINDOW(dialog), TRUE);
  gtk_file_chooser_set_create_folders(GTK_FILE_CHOOSER(dialog), TRUE);
  // Like the save panel: in the document's folder, never among recent files (where no folder
  // can be chosen) nor where the application happened to be started.
  gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(dialog), startFolder.c_str());
  if (name) {
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), name->c_str());
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(dialog), TRUE);
  }
  if (GtkWidget* accessory = qualityAccessory(quality))
    gtk_file_chooser_set_extra_widget(GTK_FILE_CHOOSER(dialog), accessory);
  auto* held = new ExportPanels::PathCompletion(std::move(completion));
  g_signal_connect_data(dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                          auto& completion = *static_cast<ExportPanels::PathCompletion*>(data);
                          std::optional<std::filesystem::path> chosen;
                          if (response == GTK_RESPONSE_ACCEPT) {
                            if (gchar* file = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog))) {
                              chosen = std::filesystem::path(file);
                              g_free(file);
                            }
                          }
                          auto run = std::exchange(completion, nullptr);
                          gtk_widget_destroy(GTK_WIDGET(dialog));
                          if (chosen) forgetPlacesTheChooserNoted({*chosen});
                          if (run) run(chosen);
                        }),
                        held, [](gpointer data, GClosure*) { delete static_cast<ExportPanels::PathCompletion*>(data); },
                        GConnectFlags(0));
  gtk_widget_show(dialog);
}

void showOverwriteAlert(GtkWindow* parent, ExportPanels::OverwriteCompletion completion) {
  GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s",
                                             ExportPanels::overwriteMessage);
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", ExportPanels::overwriteInformative);
  GtkWidget* check = gtk_check_button_new_with_label(ExportPanels::doNotShowAgain);
  gtk_box_pack_end(GTK_BOX(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(dialog))), check, FALSE, FALSE, 0);
  gtk_widget_show(check);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Overwrite", 1000);
  gtk_dialog_add_button(GTK_DIALOG(dialog), "Cancel", 1001);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), 1000);
  struct Held {
    ExportPanels::OverwriteCompletion completion;
    GtkWidget* check;
  };
  g_signal_connect_data(dialog, "response", G_CALLBACK(+[](GtkDialog* dialog, gint response, gpointer data) {
                          auto* held = static_cast<Held*>(data);
                          bool overwrite = response == 1000;
                          bool again = overwrite && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(held->check));
                          auto run = std::exchange(held->completion, nullptr);
                          gtk_widget_destroy(GTK_WIDGET(dialog));
                          if (run) run(overwrite, again);
                        }),
                        new Held{std::move(completion), check},
                        [](gpointer data, GClosure*) { delete static_cast<Held*>(data); }, GConnectFlags(0));
  gtk_widget_show(dialog);
}

}  // namespace

ExportPanels& ExportPanels::shared() {
  static ExportPanels panels = system();
  return panels;
}

ExportPanels ExportPanels::system() {
  ExportPanels panels;
  panels.selectFile = [](const std::string& name, ExportQualityOptions quality, GtkWindow* parent,
                         const std::filesystem::path& start, PathCompletion done) {
    runChooser(GTK_FILE_CHOOSER_ACTION_SAVE, &name, quality, parent, start, std::move(done));
  };
  panels.selectFolder = [](ExportQualityOptions quality, GtkWindow* parent, const std::filesystem::path& start,
                           PathCompletion done) {
    runChooser(GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER, nullptr, quality, parent, start, std::move(done));
  };
  panels.askOverwrite = showOverwriteAlert;
  return panels;
}
