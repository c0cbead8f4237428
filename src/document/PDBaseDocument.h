#pragma once
// The base of every document: owns the editor's view controller and its request processor,
// the device catalog and menu, the project server, the preview window, the export preview
// cache and the document window. It (re)starts the project server whenever the concrete
// document installs a new working copy, points the editor at the server once it runs, and
// tears everything down exactly once when the document closes. Main thread only.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "ipc/OstrelViewControllerDelegate.h"
#include "platform/Data.h"
#include "platform/Document.h"
#include "platform/ObserverToken.h"
#include "platform/Url.h"
#include "preview/PreviewDocument.h"

typedef struct _GtkWidget GtkWidget;
class BaseOstrelViewController;
class DeviceManager;
class DeviceSettingsMenuController;
class ExportPreviewCache;
class OstrelIPCProcessor;
class OstrelViewController;
class PDDocumentWindow;
class PreviewWindowController;
class ServerController;
class ServiceAssembly;

class PDBaseDocument : public Document, public OstrelViewControllerDelegate, public PreviewDocument {
 public:
  static inline double linkWait = 3.0;

  ~PDBaseDocument() override;

  OstrelViewController& ostrelViewController() const { return *ostrelViewController_; }
  const std::shared_ptr<OstrelViewController>& ostrelViewControllerPointer() const { return ostrelViewController_; }
  ServerController* serverController() const { return serverController_.get(); }
  PreviewWindowController* previewWindowController() const { return previewWindowController_.get(); }
  DeviceManager& deviceManager() const { return *deviceManager_; }
  DeviceSettingsMenuController* deviceMenuController() const { return deviceMenuController_.get(); }
  ServiceAssembly* services() const { return services_.get(); }
  BaseOstrelViewController* editorForPreview() const override;
  const std::optional<std::string>& serverLocalUrl() const { return serverLocalUrl_; }
  PDDocumentWindow* documentWindow() const { return window_.get(); }
  bool isClosing() const { return isClosing_; }

  // The project folder; none in the base class.
  virtual std::optional<std::filesystem::path> projectURL() const { return std::nullopt; }
  std::optional<std::filesystem::path> projectPath() const override { return projectURL(); }
  std::optional<std::filesystem::path> documentFileURL() const override { return fileURL(); }
  std::optional<std::filesystem::path> ostrelImagePath() const;
  std::optional<std::filesystem::path> ostrelImageCachePath() const;
  std::optional<Url> serverURL() const override;

  // Window.
  void makeWindowControllers() override;
  void showWindows() override;
  GtkWindow* windowForSheet() const override;
  // Makes the document the delegate of its editor's request processor; right after creation.
  void attachToEditor();
  // Runs once: the service registry, observers, the editor view in the window.
  void setup();

  // Container and server, called by the concrete document.
  void didChangeContainer();
  void updateServerMount();
  virtual void serverControllerStateDidUpdate() {}
  virtual void projectFileDidChange() {}
  void updateChangeCount(ChangeType change) override;

  void close() override;
  void cleanup();
  // A sheet begins on the document window: the messaging popover shown from it goes.
  void windowWillBeginSheet();
  // The window asks to close: the document decides (saving or asking), then closes.
  void windowShouldClose();

  // Title-bar and menu actions.
  void reloadPreview();
  void togglePreviewFullscreen();
  void toggleIntercomPopover(void* button);
  void showPreviewWindow();
  // From a button: the popover toggles at that button; from the menu (no sender): at the
  // preview window's Live button, showing the preview window.
  void showLivePreview(GtkWidget* sender);
  void addPackage(const std::string& name, bool isDevDependency);

  // The editor's requests (the page's delegate operations).
  std::optional<std::string> ostrelDocumentDidReceiveImageData(const Data& data) override;
  std::optional<std::string> ostrelDocumentDidReceiveAssetData(const Data& data, const std::string& preferredName) override;
  void ostrelDocumentDidRequestCopyImagesToPasteboard(const std::vector<std::string>& imageNames) override;
  void ostrelDocumentDidRequestCopyImagesFromPasteboard() override;
  void ostrelDocumentDidBecomeDirty() override;
  void ostrelServerStoreData(const nlohmann::json& value) override;
  void ostrelPackageAdd(const std::string& packageName) override;
  void ostrelPackageUpdateKorvelLibrary() override;
  void ostrelPackageUpdateInfo() override;
  void openPreviewInspector() override;
  void openPreviewAndOrderFront(bool orderFront) override;
  ExportPreviewCache& exportPreviewCache() override;
  virtual void ostrelReadImagesFromPasteboard(const std::map<std::string, std::filesystem::path>& images);

 protected:
  // `tutorialMode`: the editor starts in tutorial mode.
  explicit PDBaseDocument(bool tutorialMode);
  // Reports the edited state to the framework and the project server, bypassing subclasses.
  void reportChangeCount(ChangeType change);
  // What a window title-bar button shows for the signed-in user.
  void updateUserInfo();
  // A fresh editor page for a working copy read again (a revert): the page in memory holds the
  // design from before and would write it back when asked for its document.
  void restartEditorPage();

 private:
  void serverDidStart(const std::optional<Url>& url);
  void serverDidStop();
  // The editor page starts loading as the window is made, beside the starting server.
  void startEditorPage();
  // Gives the editor the server's addresses held for it; the first time once the host's link to
  // the server is up (its first state), so that what the page asks of the server at its start
  // is not dropped, or after linkWait seconds without one.
  void deliverServerAddresses();
  // Where the editor finds the project's images: the folder itself, or through `server` when
  // the folder lies on another file system; none when it needs a server not yet known.
  std::optional<Url> editorImageBaseURL(const std::optional<Url>& server) const;
  void servePagePictures();
  void showServerFailure(const std::string& reason);

  std::unique_ptr<DeviceManager> deviceManager_;
  std::string ostrelImageSubPath_;
  std::shared_ptr<OstrelViewController> ostrelViewController_;
  OstrelIPCProcessor* processor_ = nullptr;  // owned by the view controller
  bool isClosing_ = false;
  std::unique_ptr<ServiceAssembly> services_;
  std::unique_ptr<PreviewWindowController> previewWindowController_;
  std::unique_ptr<DeviceSettingsMenuController> deviceMenuController_;
  std::optional<std::string> serverLocalUrl_;
  bool editorPageStarted_ = false;
  struct EditorAddresses {
    std::optional<Url> document, imageBase;
    Url project;
    std::string serverKey;
  };
  std::optional<EditorAddresses> heldEditorAddresses_;
  std::uint64_t serverStarts_ = 0;
  std::shared_ptr<ServerController> serverController_;
  std::unique_ptr<ExportPreviewCache> exportPreviewCache_;
  ObserverToken serverControllerStateUpdateObserver_;
  ObserverToken userInfoObserver_;
  ObserverToken editedObserver_;
  ObserverToken intercomUnreadCountObserver_;
  ObserverToken intercomLoadedObserver_;
  std::unique_ptr<PDDocumentWindow> window_;
};
