#pragma once
// The editor area of a document window: hosts the installed editor page with its start-up
// globals, carries the page's messages to the IPC processor and the host's events back to the
// page, turns the page's context menus into native menus, and lends the page's document to the
// document's working copy. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "canvas/BackgroundPages.h"
#include "canvas/ContextMenu.h"
#include "canvas/IPCProcessor.h"
#include "canvas/TypefaceTable.h"
#include "canvas/WebViewController.h"
#include "platform/Error.h"
#include "platform/FileDropWatch.h"
#include "platform/ObserverToken.h"
#include "platform/Url.h"

typedef struct _GtkWidget GtkWidget;
class OstrelView;
namespace DroppedPictures {
class Delivery;
}

class BaseOstrelViewController : public std::enable_shared_from_this<BaseOstrelViewController> {
 public:
  using ContextMenuPresenter =
      std::function<void(std::shared_ptr<Menu> menu, double x, double y, std::function<void(MenuItem* chosen)> done)>;

  virtual ~BaseOstrelViewController();
  BaseOstrelViewController(const BaseOstrelViewController&) = delete;
  BaseOstrelViewController& operator=(const BaseOstrelViewController&) = delete;

  bool isInTutorialMode() const { return isInTutorialMode_; }
  // True from the page's "DocumentReady" until its web process ends.
  bool isDocumentReady() const { return ipcReady_; }
  // True once the page reported ("DocumentLoaded", naming the start the host answered last) that
  // it holds the document's design, until it starts again. A page that doesn't is never asked for
  // its design: what it would hand over would replace one it never saw.
  bool holdsDocumentDesign() const { return designHeld_; }
  const std::optional<std::string>& showStoreViewUrl() const { return showStoreViewUrl_; }
  WebViewController& webViewController() { return *webViewController_; }
  const TypefaceTable::Table& typefaceDescriptors() const { return typefaceDescriptors_; }

  // The controller owns its processor and wires its two channels to the page.
  void setIPCProcessor(std::unique_ptr<IPCProcessor> processor);
  IPCProcessor* ipcProcessor() const { return ipcProcessor_.get(); }

  // The root view, made on first use.
  GtkWidget* view();
  bool isViewLoaded() const { return view_ != nullptr; }
  OstrelView* ostrelView() const { return view_.get(); }

  // Loads the installed editor with the document's addresses in the fragment, after the store
  // cookie is refreshed; `projectDir`'s "build/index.js" runs when the page's DOM has loaded.
  // `serverKey`, the project server's secret, never goes into an address: the page hears it
  // with "DocumentSetProjectURL" as it starts.
  Result<void> loadDocument(const std::optional<Url>& url, const std::optional<Url>& imageBaseURL,
                            const std::optional<Url>& projectURL, const std::optional<std::string>& projectDir,
                            const std::string& serverKey = {});
  // Loads the editor while the project server is still starting: the page gets the addresses
  // known now, and its start ("DOMContentLoaded") is answered only once setServerAddresses has
  // told it the server's, as the events "DocumentSetURL", "DocumentSetImageBaseURL" and
  // "DocumentSetProjectURL". The project's built script waits with that answer.
  Result<void> loadDocumentBeforeServer(const std::optional<Url>& imageBaseURL, const std::string& projectDir);
  // Replaces the page with an empty one, then calls `done`: what the page held in memory, and
  // any answer it was about to give, never reaches the next document. A load of the same page
  // would keep it: an address that differs only after "#" moves within the page.
  void unloadDocument(std::function<void()> done);
  // The project server's addresses, each time it starts: a page that has started is told them
  // at once, a page still loading at its start, and a waiting start is answered.
  void setServerAddresses(const std::optional<Url>& url, const std::optional<Url>& imageBaseURL, const Url& projectURL,
                          const std::string& serverKey = {});
  // The project server ended: its addresses are trusted no more, and a start of the page waits
  // for the next server's.
  void serverStopped();
  // The page reported its start and waits for the server's addresses.
  bool isAwaitingServer() const { return startupHeld_; }

  // Page messages.
  virtual void bridgeHandler(const std::string& method, const nlohmann::json& arguments);
  virtual void handleDocumentReady(const nlohmann::json& arguments);
  virtual void handleDocumentLoaded(const nlohmann::json& arguments);
  virtual void handleDocumentContextMenu(const nlohmann::json& arguments);
  virtual void handleApplicationOpenURL(const nlohmann::json& arguments);
  virtual void handleApplicationOpenMetadataFolder();
  virtual void handleApplicationOpenREADME();
  virtual void loadDocument(const nlohmann::json& json);
  virtual void makeFirstResponder();
  virtual std::shared_ptr<Menu> createMenu(const nlohmann::json& menuItems, const IndexPath& indexPath);
  virtual std::optional<TypefaceTable::Descriptor> defaultTypefaceDescriptor() const;
  virtual void reflectAppAppearance();
  void contextMenuItemSelected(MenuItem* sender);

  // The one road to the page: `window._ipc.emit(name, …arguments)`.
  void ipcCallWithArray(const std::string& name, const IPCArguments& arguments);
  static std::string eventScript(const std::string& name, const IPCArguments& arguments);

  void exportDocument();
  void setDocumentURL(const Url& url);
  void setImageBaseURL(const Url& url);
  // With the server's key, when there is one, as the event's second argument.
  void setProjectURL(const Url& url, const std::string& serverKey = {});
  void showStoreView(const std::optional<std::string>& url);
  void reportPreviewErrors(const nlohmann::json& errors);
  void previewLoaded();
  void updateDevices(const std::string& devices);
  void requestServerStoreData();
  void updatePreviewSettings(const std::string& selectionId, const nlohmann::json& settings);
  void updatePreviewLock(const std::optional<std::string>& selectionId);

  // Asks the page for its document ("DocumentSave"). Every waiting completion gets the answer;
  // all fail with ostrelNotReady when the page has not started, starts again or its web process
  // ends, and with designNotHeld when it doesn't hold the document's design.
  void exportOstrelDocumentData(IPCProcessor::DataCompletion completion);
  // The page's answer to it has arrived and is being laid out beside the main loop.
  virtual void ostrelDocumentDataArrived() {}
  virtual void ostrelDocumentDidBecomeDirty() {}
  std::size_t pendingExportCount() const { return pendingExports_.size(); }

  // Input: a pinch (magnification and location, origin top-left) and the inspector shortcut
  // Control-Alt-Super-I. keyDown answers whether it used the key.
  void magnify(double magnification, double x, double y);
  bool keyDown(bool control, bool alt, bool super, unsigned keyval);

  // Shows context menus; the toolkit's pop-up unless replaced.
  ContextMenuPresenter contextMenuPresenter;

  // The start-up script as the view's loading builds it now.
  std::string startupScript() const;

 protected:
  explicit BaseOstrelViewController(bool tutorialMode);
  // Wires what needs the controller's own shared pointer; called right after construction.
  virtual void setUp();

 private:
  void loadView();
  // The host's part of the page's start: the callback and the processor's start-up scripts.
  void answerStartup(const nlohmann::json& arguments);
  void sendServerAddresses();
  void finishExports(std::optional<Data> data, std::optional<Error> error);
  // The page's answers and reports from now on belong to a new start, or to none.
  void forgetPageStart();
  // Whether an answer to "DocumentSave" comes from the start that was asked, holding its design.
  bool answerHoldsDesign() const { return designHeld_ && exportsAskedOfStart_ == pageStarts_; }
  void webProcessDidTerminate();
  // The view trusts the store and these addresses beside its own page, and nothing it trusted
  // for an earlier server.
  void trustAddresses(const std::vector<std::optional<Url>>& addresses);
  // Pictures dropped from another program reach the page as a drop of its own.
  void dropPictures(std::vector<std::filesystem::path> files, double x, double y);
  void deliverDrop(std::shared_ptr<DroppedPictures::Delivery> delivery);

  bool isInTutorialMode_;
  bool ipcReady_ = false;
  // Pages nobody looks at yet wait until this editor is ready.
  std::unique_ptr<BackgroundPages::Hold> backgroundPagesHold_ = std::make_unique<BackgroundPages::Hold>();
  struct ServerAddresses {
    std::optional<Url> url, imageBaseURL;
    Url projectURL;
    std::string serverKey;
  };
  // Set while the page on show was loaded without the server's addresses.
  bool pageLacksServerAddresses_ = false;
  std::optional<ServerAddresses> serverAddresses_;
  // The page's start has been answered since it last loaded.
  bool startupAnswered_ = false;
  bool startupHeld_ = false;
  // The starts of the page the host has answered; the page names its start when it reports its design.
  std::uint64_t pageStarts_ = 0;
  // The loads of the page, each a page started afresh.
  std::uint64_t pageLoads_ = 0;
  bool designHeld_ = false;
  std::uint64_t exportsAskedOfStart_ = 0;
  std::vector<std::string> heldScripts_;
  std::optional<std::string> showStoreViewUrl_;
  std::shared_ptr<WebViewController> webViewController_;
  std::unique_ptr<IPCProcessor> ipcProcessor_;
  TypefaceTable::Table typefaceDescriptors_;
  std::unique_ptr<OstrelView> view_;
  std::unique_ptr<FileDropWatch> fileDrops_;
  std::vector<IPCProcessor::DataCompletion> pendingExports_;
  ObserverToken colorPresetsObservation_, hintsObservation_;
};
