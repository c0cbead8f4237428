#pragma once
// A document's preview window: the preview page of its project server in a utility window
// beside the document window, sized for the device the editor's preview selection names.
// The controller keeps the editor's last selection, derives the device values its menus show,
// turns menu and toolbar actions into "UpdatePreviewSettings" for the editor, keeps the window
// at the device's proportions and places it beside the document window. The native side never
// changes the selection itself: new settings show when the server pushes new preview data.
// Main thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/ObserverToken.h"
#include "preview/OstrelSelection.h"
#include "preview/PreviewSizing.h"
#include "ui/LiveSharingModel.h"
#include "ui/MirrorPopover.h"

class KorvelViewController;
class PreviewDocument;
class PreviewMenu;
class PreviewMenuItem;
class PreviewWindow;
class Timer;
typedef struct _GtkWidget GtkWidget;

class PreviewWindowController {
 public:
  using Size = PreviewSizing::Size;
  using Rect = PreviewSizing::Rect;

  explicit PreviewWindowController(std::weak_ptr<PreviewDocument> document);
  ~PreviewWindowController();
  PreviewWindowController(const PreviewWindowController&) = delete;
  PreviewWindowController& operator=(const PreviewWindowController&) = delete;

  MirrorPopover mirrorPopover;

  // Makes the window with the preview pane, its menus and observers; once.
  void loadWindow();
  PreviewWindow* window() const { return window_.get(); }
  KorvelViewController* korvelViewController() const { return korvelViewController_.get(); }

  // Called by the document.
  void show(bool makeKey, bool animated = true);
  // Loads the preview page afresh, once the window has been shown; until then the page, and
  // its web process, wait.
  void reload();
  // The window is about to show: the first time, its page starts loading, and the pane is drawn
  // once the page has loaded (previewPageDidLoad): a web view drawn before its new web process
  // has painted holds up the main loop until it does.
  void windowWillShow();
  void previewPageDidLoad();
  bool isPageWanted() const { return pageWanted_; }
  void togglePreviewFullscreen();
  void showInspector();
  // Stops observing, drops the pane and stops live sharing; the document then closes.
  void cleanup();
  void close();
  bool isVisible() const;
  void orderBelowDocument();
  // The document window became, or stopped being, the active window: the preview follows it
  // out and back unless "KVPreviewKeepVisible" is on.
  void documentWindowDidChangeMain(bool isMain);
  void ostrelServerStoreData(const nlohmann::json& value);

  // Preview data pushed by the server (JSON text of the selection).
  void ostrelPreviewUpdate(const std::string& json);
  const std::optional<OstrelSelection>& selection() const { return selection_; }

  // The zoom the preview page reports; accepted only finite and within (0, 64].
  bool setPreviewContentScale(double scale);
  double previewContentScale() const { return previewContentScale_; }
  // "No Selection", or the selection's name, two spaces and the zoom in percent.
  std::string title() const;
  static std::string zoomText(double scale);

  // Device values derived from the selection and the catalog.
  std::optional<std::string> deviceSkin() const;
  std::string deviceMenuType() const;
  const DeviceDescriptor* deviceDescriptor() const;
  bool hasSelection() const { return selection_.has_value(); }
  std::optional<std::string> selectionId() const;
  std::string currentDeviceType() const;
  bool deviceIsCanvas() const;
  double deviceZoom() const;  // -1 without a zoom
  bool deviceResponsive() const;
  bool deviceRotate() const;
  bool deviceShowBezel() const;
  bool deviceShowHand() const;
  std::optional<std::string> deviceHand() const;
  bool deviceTouchCursor() const;
  bool deviceHasSize() const;
  Size deviceSize() const;
  bool deviceHasHand() const;
  bool deviceCanRotate() const;
  bool isFullScreen() const;

  // Actions.
  void handleDeviceMenuSelection(const std::string& menuType);
  void selectSkin(const PreviewMenuItem& item);
  void clickDeviceMenuItem();
  void selectCanvasMode();
  void selectResponsiveCanvasMode();
  void toggleResponsive();
  void toggleHand();
  void toggleTouchCursor();
  void orientationButtonPressed();
  void reloadPreview();

  // Live sharing: the popover follows the live-sharing status of the project server's state.
  void startLiveSharing();
  void stopLiveSharing();
  // Puts the shared address on the clipboard, only while sharing is active.
  void copyLiveSharingURL();
  void updateLiveSharingState();
  const LiveSharingModel& liveSharing() const { return liveSharing_; }
  // Seconds a start may go unanswered before it shows as failed.
  double liveSharingStartTimeout = LiveSharingModel::startTimeout;
  // The "Live Preview" command: closes the popover when shown, else shows the window and the
  // popover at the window's Live button.
  void toggleLivePreviewPopover();
  // Runs the item's action; false for an action the controller does not know.
  bool perform(const PreviewMenuItem& item);
  // A key pressed in the window: the settings menu's item with that key equivalent runs when
  // it is enabled; false when none ran.
  bool performKeyEquivalent(const std::string& key, std::uint32_t modifierMask);

  // Key state of the window: set when it becomes key, cleared a turn of the main loop after
  // it stops being key.
  bool wasKeyWindow() const { return wasKeyWindow_; }
  void windowDidBecomeKey();
  void windowDidResignKey();
  // A window brought back from an earlier session takes its own frame again, without a spring.
  void restoreState();

  // Menus.
  void setupMenu();
  std::string getDeviceMenuOffStateLabel() const;
  bool validateMenuItem(PreviewMenuItem& item);
  const std::shared_ptr<PreviewMenu>& settingsMenu() const { return settingsMenu_; }
  PreviewMenu* deviceCategoriesMenu() const { return deviceCategoriesMenu_.get(); }
  PreviewMenuItem* deviceMenuItem() const { return deviceMenuItem_; }
  PreviewMenuItem* canvasMenuItem() const { return canvasMenuItem_; }
  PreviewMenuItem* rotationMenuItem() const { return rotationMenuItem_; }

  // Sizing.
  Size intrinsicContentSize() const;
  void setAspectRatio(bool setFrame);
  void updateMainWindowContentMinSize();
  void setWindowFrame(const Rect& frame, bool animated);
  Rect updatedWindowFrame(const Rect& frame) const;
  std::optional<Rect> updatedWindowFrameForFirstAppearance(const Rect& frame) const;
  // A live resize settled at `proposed` (frame size): the size to take.
  Size windowWillResize(Size proposed);
  Size contentAspectRatio() const { return aspectRatio_; }
  Size contentMinimum() const { return contentMinimum_; }
  std::optional<Size> documentWindowContentMinimum() const { return documentMinimum_; }
  bool isFirstAppearance() const { return isFirstAppearance_; }
  void windowWillClose();
  // First on the screen, with the window manager's frame: the window keeps on the work area.
  void windowDidMap();

  // Where "UpdatePreviewSettings" goes; the document's editor page unless replaced.
  std::function<void(const std::string& selectionId, const nlohmann::json& settings)> sendPreviewSettings;

 private:
  void buildSettingsMenu();
  void clearAspectRatio();
  // The window at the size of the device (or canvas frame) at 100 %, as the screen allows.
  void resizeToIntrinsicSize();
  void showInspectorWhenRoom(std::chrono::steady_clock::time_point deadline);
  void emitSettings(const nlohmann::json& settings);
  void updateTitle();
  void wireLiveSharingPopover();
  void setUpLiveSharing();
  void showLiveSharingState();

  std::weak_ptr<PreviewDocument> document_;
  std::shared_ptr<KorvelViewController> korvelViewController_;
  std::unique_ptr<PreviewWindow> window_;
  std::optional<OstrelSelection> selection_;
  std::optional<std::string> postCanvasModeDeviceMenuType_;
  double previewContentScale_ = 1.0;
  bool isFirstAppearance_ = true;
  bool pageWanted_ = false;
  int orderPreviewWhenBecomingMain_ = 0;
  bool wantsAttachedInspectorBehavior_ = false;
  bool isAttachingInspector_ = false;
  bool wasKeyWindow_ = false;
  std::uint64_t keyChanges_ = 0;
  Size aspectRatio_{};
  Size contentMinimum_ = PreviewSizing::contentMinSize;
  std::optional<Size> documentMinimum_;
  std::shared_ptr<PreviewMenu> settingsMenu_;
  std::shared_ptr<PreviewMenu> deviceCategoriesMenu_;
  PreviewMenuItem* canvasMenuItem_ = nullptr;
  PreviewMenuItem* deviceMenuItem_ = nullptr;
  PreviewMenuItem* rotationMenuItem_ = nullptr;
  ObserverToken previewDataUpdateObserver_, previewReloadObserver_, keepOnTopObserver_;
  LiveSharingModel liveSharing_;
  std::unique_ptr<Timer> liveSharingStartTimer_;
  ObserverToken serverStateObserver_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
