#include "document/UpdateLibraryWindowController.h"

#include "platform/Alert.h"


namespace {
constexpr const char* releaseNotesPage = "https://korvel.io/updates/library/";
}

UpdateLibraryWindowController::Content UpdateLibraryWindowController::content(const LibraryVersion& version) {
  Content c;
  c.okEnabled = !version.isUpdating;
  c.cancelTitle = version.isUpdating ? "Close" : "Cancel";
  auto status = version.state();
  switch (status.kind) {
    case LibraryVersion::Status::Kind::upToDate:
      c.title = "Korvel Library is up-to-date.";
      c.descriptionText =
          "This project uses Korvel Library " + status.latest + ", currently the newest version available.";
      c.okTitle = "OK";
      // While an install still runs, OK waits; Close ends the sheet.
      c.cancelHidden = !version.isUpdating;
      break;
    case LibraryVersion::Status::Kind::unavailable:
      c.title = "It looks like your project does not have the Korvel Library installed.";
      c.descriptionText = "Would you like to add it to this project?";
      c.okTitle = version.isUpdating ? "Installing\u2026" : "Install";
      break;
    case LibraryVersion::Status::Kind::outdated:
      c.title = "A new version of Korvel Library is available.";
      c.descriptionText = "Korvel Library " + status.latest + " is now available\u2014you have " + status.current +
                          ". Would you like to update this project?";
      c.okTitle = version.isUpdating ? "Updating\u2026" : "Update";
      break;
  }
  return c;
}

std::string UpdateLibraryWindowController::releaseNotesAddress(const LibraryVersion& version) {
  std::string address = releaseNotesPage;
  if (version.latest) address += "#v" + *version.latest;
  return address;
}

void UpdateLibraryWindowController::ok() {
  if (!window() || !libraryVersion) return;
  if (libraryVersion->state().kind == LibraryVersion::Status::Kind::upToDate) {
    endSheet(responseOK);
  } else if (updateFunction && !updateFunction()) {
    // No link to the project server: nothing would happen, so say why.
    Alert::shared().beginSheet({"The library can't be updated right now.",
                                "The project server of this document is not running. Try again once the document "
                                "has finished opening.",
                                {}},
                               window(), [](int) {});
  }
}

void UpdateLibraryWindowController::cancel() { endSheet(responseAbort); }
