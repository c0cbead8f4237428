#include "LoginConfirmationDialog.h"

#include <gtk/gtk.h>

namespace {

// True when the first button was chosen.
bool ask(const std::string& message, const std::string& information, const char* first, const char* second) {
  GtkWidget* dialog =
      gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s", message.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", information.c_str());
  gtk_dialog_add_button(GTK_DIALOG(dialog), second, GTK_RESPONSE_CANCEL);
  gtk_dialog_add_button(GTK_DIALOG(dialog), first, GTK_RESPONSE_ACCEPT);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response == GTK_RESPONSE_ACCEPT;
}

}  // namespace

bool LoginConfirmationDialog::confirmSignOutAndQuit() {
  return ask("Korvel will quit after signing out of your account.",
             "Reopen Korvel to sign in again, or to use another Korvel account.", "Sign Out and Quit", "Cancel");
}

bool LoginConfirmationDialog::confirmSignInFromLink(const std::optional<std::string>& currentUser) {
  std::string who = currentUser ? " as " + *currentUser : "";
  return ask("Sign in with the account of this link?",
             "You are signed in" + who +
                 ". A link asks to sign you in to another account; sign in only if you "
                 "opened it yourself.",
             "Sign In", "Cancel");
}
