#pragma once
// The library sheet's decisions: what it says and which buttons it offers for a library
// state, and what its buttons do. The window itself is drawn by the thin toolkit file beside it.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "document/LibraryVersion.h"

typedef struct _GtkWindow GtkWindow;

class UpdateLibraryWindowController {
 public:
  static constexpr int responseOK = 1;
  static constexpr int responseAbort = -1001;

  struct Content {
    std::string title;
    std::string descriptionText;
    std::string okTitle;
    bool okEnabled = true;
    std::string cancelTitle;
    bool cancelHidden = false;
  };
  static Content content(const LibraryVersion& version);
  // The release notes of the library, at the newest version when known.
  static std::string releaseNotesAddress(const LibraryVersion& version);

  UpdateLibraryWindowController();
  ~UpdateLibraryWindowController();
  UpdateLibraryWindowController(const UpdateLibraryWindowController&) = delete;
  UpdateLibraryWindowController& operator=(const UpdateLibraryWindowController&) = delete;

  std::optional<LibraryVersion> libraryVersion;
  // Starts the update; false when it can't (no link to the project server).
  std::function<bool()> updateFunction;

  // The sheet's window, made on first use; none without a display.
  GtkWindow* window();
  void updateWindowForLibrary();
  // Shows the sheet on `parent`; `completion` gets the response when it ends.
  void beginSheet(GtkWindow* parent, std::function<void(int response)> completion);
  void endSheet(int response);
  void ok();
  void cancel();
  void showReleaseNotes();

 private:
  struct Widgets;
  std::unique_ptr<Widgets> widgets_;
  std::function<void(int)> sheetCompletion_;
};
