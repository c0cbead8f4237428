#pragma once
// The services-environment chooser: an informational dialog with one radio button per
// environment (its three-line title), the current one on. Turning a button on changes the
// environment at once, as AppServices::changeEnvironment does; "Done" closes the dialog.
// Main thread only.

#include "foundation/AppServices.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkDialog GtkDialog;

class EnvironmentChooserDialog {
 public:
  static constexpr const char* messageText = "Choose a Korvel services environment.";
  static constexpr int doneResponse = 1;

  // Builds the dialog without showing it.
  explicit EnvironmentChooserDialog(AppServices& services);
  ~EnvironmentChooserDialog();
  EnvironmentChooserDialog(const EnvironmentChooserDialog&) = delete;
  EnvironmentChooserDialog& operator=(const EnvironmentChooserDialog&) = delete;

  // Shows the dialog modally; returns when the person presses "Done" or closes it.
  void run();

  GtkDialog* dialog() const { return dialog_; }
  GtkWidget* radioButton(AppServices::Environment environment) const;
  GtkWidget* doneButton() const { return done_; }

 private:
  AppServices& services_;
  GtkDialog* dialog_ = nullptr;
  GtkWidget* done_ = nullptr;
  GtkWidget* radios_[4] = {};
};

// Makes `services` show this dialog when it offers the chooser.
void installEnvironmentChooser(AppServices& services);
