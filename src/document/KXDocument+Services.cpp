// What the editor asks of the document: images and assets, pasted images, the project
// library, revealing the working copy; and the first activation of the window.
#include "document/ImagesPasteboard.h"
#include "document/KXDocument.h"
#include "document/PDDocumentWindow.h"
#include "document/UpdateLibraryWindowController.h"
#include "document/storage/KXDocumentArchive.h"
#include "platform/Alert.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "server/ServerController.h"

std::optional<std::string> KXDocument::ostrelDocumentDidReceiveImageData(const Data& data) {
  if (!container_->isValid()) return std::nullopt;
  auto name = container_->addImage(data);
  if (!name) return std::nullopt;
  return *name;
}

std::optional<std::string> KXDocument::ostrelDocumentDidReceiveAssetData(const Data& data,
                                                                         const std::string& preferredName) {
  // Sub-folders are kept ("icons/a.svg"); only names that lead out of the assets folder are refused.
  if (!container_->isValid() || !KXDocumentArchive::isSafeRelativePath(preferredName)) return std::nullopt;
  auto path = container_->addAsset(data, preferredName, 0);
  if (!path) return std::nullopt;
  return *path;
}

void KXDocument::ostrelReadImagesFromPasteboard(const std::map<std::string, std::filesystem::path>& images) {
  // A paste that arrives after the document closed has nowhere to go.
  if (!container_->isValid()) return;
  for (auto& [name, file] : images) {
    if (!ImagesPasteboard::isPlainName(name)) continue;
    (void)container_->addImage(name, file);
  }
}

void KXDocument::ostrelPackageUpdateKorvelLibrary() { updateKorvelLibrary(); }

void KXDocument::serverControllerStateDidUpdate() {
  auto* server = serverController();
  if (server && server->state()) {
    libraryVersion_ = LibraryVersion(*server->state());
    if (updateLibraryWindowController_) {
      updateLibraryWindowController_->libraryVersion = libraryVersion_;
      updateLibraryWindowController_->updateWindowForLibrary();
    }
    return;
  }
  libraryVersion_.reset();
  if (updateLibraryWindowController_) updateLibraryWindowController_->endSheet(UpdateLibraryWindowController::responseAbort);
}

void KXDocument::updateKorvelLibrary() {
  updateLibraryWindowController_ = std::make_unique<UpdateLibraryWindowController>();
  auto& alert = Alert::shared();
  if (!windowForSheet() || !libraryVersion_) return alert.beep();
  auto* sheet = updateLibraryWindowController_.get();
  sheet->libraryVersion = libraryVersion_;
  sheet->updateWindowForLibrary();
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  sheet->updateFunction = [weak] {
    auto self = weak.lock();
    if (!self || !self->serverController() || !self->serverController()->server()) return false;
    self->serverController()->upgradeKorvelLibrary();
    return true;
  };
  if (!sheet->window()) return alert.beep();
  sheet->beginSheet(windowForSheet(), [weak, sheet](int) {
    // The sheet may end from inside one of its own handlers: let it return first.
    MainQueue::async([weak, sheet] {
      auto self = weak.lock();
      if (self && self->updateLibraryWindowController_.get() == sheet) self->updateLibraryWindowController_.reset();
    });
  });
}

void KXDocument::showContainerInFinder() {
  if (!container_->isValid()) return;
  auto readMe = container_->projectDirectory() / KXDocumentArchive::relativePathForReadMe;
  std::error_code ec;
  if (std::filesystem::exists(readMe, ec))
    Workspace::shared().activateFileViewerSelecting({readMe});
  else if (std::filesystem::exists(container_->projectDirectory(), ec))
    Workspace::shared().activateFileViewerSelecting({container_->projectDirectory()});
}

void KXDocument::makeWindowControllers() {
  bool hadWindow = documentWindow() != nullptr;
  PDBaseDocument::makeWindowControllers();
  if (hadWindow || !windowForSheet()) return;
  // The notices wait for the window to become active the first time.
  std::weak_ptr<KXDocument> weak = std::static_pointer_cast<KXDocument>(shared_from_this());
  documentWindow()->onFirstActivation([weak] {
    if (auto self = weak.lock()) self->scheduleMessages();
  });
}
