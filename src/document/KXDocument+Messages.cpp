// The notices after opening: a converted classic project, and a folder document's place in
// version control.
#include "document/KXDocument.h"
#include "document/VersioningCheck.h"
#include "platform/Alert.h"
#include "platform/BaseDocumentController.h"
#include "platform/FileSystem.h"
#include "platform/UrlOpener.h"
#include "platform/Workspace.h"

namespace {
constexpr const char* classicDocumentsHelpPage = "https://korvel.io/help/classic-documents/";
}

void KXDocument::presentMigrationMessageIfNeeded() {
  if (!migratedDocumentURL_ || fileURL() || !windowForSheet()) return;
  auto name = migratedDocumentURL_->stem().string();
  migratedDocumentURL_.reset();
  AlertSpec alert{"The Korvel Classic document “" + name + "” was converted to the Korvel X format.",
                 "Your designs were imported into this new document, but Korvel Classic code is incompatible and may "
                 "need to be rewritten.",
                 {"OK", "More Info…"},
                 0};
  Alert::shared().beginSheet(alert, windowForSheet(), [](int response) {
    if (response == Alert::secondButtonReturn) UrlOpener::open(classicDocumentsHelpPage);
  });
}

void KXDocument::presentSetAsideMessageIfNeeded() {
  if (!setAsideToAnnounce_ || !windowForSheet()) return;
  auto [copy, why] = *std::exchange(setAsideToAnnounce_, std::nullopt);
  const std::string kept = "“" + copy.string() + "”";
  std::string message, informative;
  auto shown = copy;
  switch (why) {
    case SetAside::Why::changedElsewhere:
      message = "The document “" + displayName() + "” was changed by another application.";
      informative = "Your unsaved edits were replaced by the changed file. A copy of them was kept in " + kept + ".";
      break;
    case SetAside::Why::earlierSession:
      message = "The document “" + displayName() + "” has unsaved edits from an earlier session.";
      informative = "Korvel could not match them with the document, which opened as last saved. A copy of your "
                    "unsaved edits was kept in " + kept + ".";
      break;
    case SetAside::Why::revertFailedPartWay:
      message = "The document “" + displayName() + "” could not be read again.";
      informative = "Part of the changed file was read into its working copy, which now holds your unsaved edits "
                    "only in part. A copy of them as they were was kept in " + kept + ".";
      break;
    case SetAside::Why::replaced:
      message = "The document “" + displayName() + "” that you replaced had unsaved edits.";
      informative = "They were never saved in it. A copy of them was kept in " + kept + ".";
      break;
    case SetAside::Why::refusedAnswer: {
      auto refused = KXDocumentContainer::refusedContentIn(copy);
      if (refused) shown = refused->file;
      message = "The document “" + displayName() + "” has unsaved edits from an earlier session that could not be saved.";
      informative = "The editor handed over its design as text that isn't valid JSON" +
                    (refused && !refused->reason.empty() ? " (" + refused->reason + ")" : std::string()) +
                    ", so it was never written, and the document opened as last saved. The text it handed over was "
                    "kept in “" + shown.string() + "”.";
      break;
    }
  }
  AlertSpec alert{message, informative, {"OK", "Show Copy"}, 0};
  Alert::shared().beginSheet(alert, windowForSheet(), [shown](int response) {
    if (response == Alert::secondButtonReturn) Workspace::shared().activateFileViewerSelecting({shown});
  });
  // Told now: until this moment a crash leaves the copy to be announced at the next opening.
  KXDocumentContainer::setAsideCopyWasAnnounced(copy);
}

void KXDocument::presentVersioningMessageIfNeeded() {
  if (!wantsVersioningCheck_ || !container_->projectDirectoryIsOrigin() || !windowForSheet()) return;
  wantsVersioningCheck_ = false;
  std::string formatName;
  if (auto* c = controller()) formatName = c->displayName(fileType()).value_or("");
  auto project = container_->projectDirectory();
  auto repository = VersioningCheck::findRepository(project);
  if (!repository) {
    AlertSpec alert{"The document “" + displayName() + "” uses the " + formatName +
                       " format, but doesn’t appear to be under version control.",
                   "This format is intended for collaboration using Git. You may ignore this message if files are "
                   "synced another way. To see changes made by others, close and re-open the document.",
                   {}};
    Alert::shared().beginSheet(alert, windowForSheet(), [](int) {});
    return;
  }
  auto rootIgnore = repository->root / ".gitignore";
  auto target = repository->nearestIgnoreFile.value_or(rootIgnore);
  std::optional<std::string> contents;
  if (auto text = fs::readText(target)) {
    contents = *text;
  } else if (target != rootIgnore) {
    // An unreadable nearer file is left alone; the root file, if any, gets the settings.
    target = rootIgnore;
    if (auto rootText = fs::readText(rootIgnore)) contents = *rootText;
    else if (fs::exists(rootIgnore)) return;
  }
  if (contents && VersioningCheck::containsRequiredEntries(*contents)) return;
  AlertSpec alert{"The Git repository for the document “" + displayName() + "” is not using recommended settings.",
                 formatName + " documents contain certain files that shouldn’t be under version control. Do you want "
                              "to add the needed “.gitignore” settings to your document?",
                 {"Add Settings", "Cancel"}};
  auto prefix = VersioningCheck::entryPrefix(project, target);
  Alert::shared().beginSheet(alert, windowForSheet(), [contents, target, prefix](int response) {
    if (response != Alert::firstButtonReturn) return;
    (void)fs::writeAtomically(target, VersioningCheck::textWithSettings(contents, prefix));
  });
}
