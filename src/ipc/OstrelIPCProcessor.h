#pragma once
// The native end of a document's editor page: every page message reaches handle(), which finds
// the request by name in a fixed table and runs its handler. Handlers answer through `call`
// (events named after the request) or `evaluateJavaScript`, and reach the document only through
// its weak delegate. Requests of the wrong shape end silently or with a log line; no event
// reports an error. Main thread only.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "canvas/IPCProcessor.h"
#include "canvas/RefusedPictures.h"
#include "export/ImageDecoding.h"
#include "ipc/OstrelViewControllerDelegate.h"

class Pasteboard;
class ExportRoad;

class OstrelIPCProcessor : public IPCProcessor {
 public:
  // The private pasteboard for copied styles, shared by every document window.
  static constexpr const char* stylePasteboardName = "Ostrel Style Clipboard";
  // What a drag from the page carries.
  static constexpr const char* dragPasteboardName = "Drag";

  OstrelIPCProcessor();
  ~OstrelIPCProcessor() override;
  OstrelIPCProcessor(const OstrelIPCProcessor&) = delete;
  OstrelIPCProcessor& operator=(const OstrelIPCProcessor&) = delete;

  void handle(const std::string& method, const nlohmann::json& arguments) override;
  std::optional<std::string> userId() const override;
  void projectServerChanged(const std::optional<Url>& server) override;

  // The document; set by it after creation.
  std::weak_ptr<OstrelViewControllerDelegate> delegate;

  // The request names in the order handle() compares them.
  static std::vector<std::string_view> requestNames();

  // The preview file the page's drag names ({"file": absolute path}): one inside the document's
  // preview folder, reached through no link; none otherwise.
  static std::optional<std::filesystem::path> previewFileToDrag(const nlohmann::json& arguments,
                                                                const std::filesystem::path& previewFolder);

  // For the document's `applicationOpenProjectFile`: opens a project file or folder, named
  // relative to the project, in its default application while the document exists.
  static std::function<void(const std::string&)> projectFileOpener(std::weak_ptr<OstrelViewControllerDelegate> document);

  // Usage events of the editor's requests ("paste_from_sketch"); set by the document, nothing
  // until then.
  std::function<void(const std::string& event, const std::map<std::string, std::string>& data)> track;

 private:
  using Handler = void (OstrelIPCProcessor::*)(const nlohmann::json& arguments);
  struct Request {
    std::string_view name;
    Handler handler;
  };
  static const std::vector<Request>& requests();

  void send(const std::string& event, IPCArguments arguments = {});
  void runScript(const std::string& script);

  // Answered in the dispatcher.
  void beep(const nlohmann::json& arguments);
  void keepMouseCursorVisible(const nlohmann::json& arguments);
  void ignore(const nlohmann::json& arguments);

  // Page start-up and save.
  void handleDOMContentLoaded(const nlohmann::json& arguments);
  void runCrashReportsScript(const std::optional<Url>& server);
  void handleDocumentSave(const nlohmann::json& document);
  void handleDocumentLoaded(const nlohmann::json& arguments);
  // Images.
  void handleDocumentReceivedImage(const nlohmann::json& arguments);
  void handleDocumentDropIcon(const nlohmann::json& arguments);
  // A bitmap is decoded on a worker, then stored and announced from the main loop; an SVG is
  // announced once it is optimised. `convertToPNG` stores the bitmap as PNG (pasted TIFF).
  void insertImage(const Data& data, const std::optional<std::string>& originalFilename,
                   const nlohmann::json& position, bool isSVG, bool convertToPNG = false);
  void insertSVG(const Data& data, const std::string& filename, const nlohmann::json& position);
  // Logs "unable to decode image: " and the name when the bytes are no image. Main thread.
  static std::optional<DecodedImage> imageFromData(const Data& data, const std::optional<std::string>& originalFilename);
  // Decodes on the calling thread, a worker: may take long. The failure says why.
  // Bytes stored as they came are taken over, not copied.
  static Result<DecodedImage> decodeImage(Data data, const std::optional<std::string>& originalFilename,
                                          bool convertToPNG = false);
  // Runs `work` on the one worker that decodes pictures, in the order given: pictures are
  // announced in the order they came, and one large picture at a time is in memory.
  static void onPictureWorker(std::function<void()> work);
  // "unable to decode image: ", the name and why. Main thread.
  static void logUndecodable(const std::optional<std::string>& originalFilename, const Error& error);
  // Tells the person, on the document's window, which files were not added as pictures and why.
  // Main thread.
  void tellRefused(const std::vector<RefusedPictures::Refusal>& refused);
  // Stores the decoded pictures in their order, answers the page's `event` with them, and tells
  // the person of those that did not decode. Main thread.
  void answerDecoded(const std::string& event,
                     const std::vector<std::pair<std::string, Result<DecodedImage>>>& decoded);
  static std::optional<double> screenScale();
  // Packages.
  void handlePackageAdd(const nlohmann::json& arguments);
  void handleUpdateKorvelLibrary(const nlohmann::json& arguments);
  void handlePackageUpdateInfo(const nlohmann::json& arguments);
  // Panels and colour sampling.
  void handleColorSample(const nlohmann::json& arguments);
  void handleChooseImageDialog(const nlohmann::json& arguments);
  void handleChooseMetadataImageDialog(const nlohmann::json& arguments);
  void handleChooseFileDialog(const nlohmann::json& arguments);
  void handleChooseImageDialogDrop(const nlohmann::json& arguments);
  void handleShowSaveDialog(const nlohmann::json& arguments);
  void handleShowPathInFileViewer(const nlohmann::json& arguments);
  // Runs `panel` on the main loop after this request, with the document's window or none.
  void runPanel(std::function<void(GtkWindow* window)> panel);
  // Stores a decoded image; its ImageInfo JSON text, none when it is not stored.
  std::optional<std::string> storeImage(const DecodedImage& decoded);
  // Layers.
  void handleDocumentCopy(const nlohmann::json& arguments);
  void handleDocumentPaste(const nlohmann::json& arguments);
  void handleDocumentCopyImagesToPasteboard(const nlohmann::json& arguments);
 public:
  // The most bitmaps one paste of the other tool's layers stores.
  static constexpr std::size_t maximumPastedBitmaps = 256;
  // A bitmap pasted from the other design tool, as the document stored it.
  struct BitmapInfo {
    std::string filename;
    double pixelWidth = 0;
    double pixelHeight = 0;
  };

 private:
  // Stores the pasted tool's bitmaps, decoded on a worker; `done` gets, on the main loop while
  // this processor lives, their reference → what was stored.
  void saveSketchPasteboardImages(const std::string& jsonString,
                                  std::function<void(std::map<std::string, BitmapInfo>)> done);
  // Exports.
  void handleExportHTML(const nlohmann::json& arguments);
  void handleExportToPasteboard(const nlohmann::json& arguments);
  void handleExportGeneratePreview(const nlohmann::json& arguments);
  void handleDragPreviewStart(const nlohmann::json& arguments);
  // Styles, CSS and SVG.
  void handleDocumentCopyStyleToPasteboard(const nlohmann::json& arguments);
  void handleDocumentPasteStyleFromPasteboard(const nlohmann::json& arguments);
  void handleDocumentCopyCSSToPasteboard(const nlohmann::json& arguments);
  void handleDocumentCopySVGToPasteboard(const nlohmann::json& arguments);
  void copyTextToGeneralPasteboard(const nlohmann::json& arguments, const char* type);
  // Settings.
  void handleColorPresetsChange(const nlohmann::json& arguments);
  void handleDismissedPropertyPanelHintsChange(const nlohmann::json& arguments);
  void storeSetting(const nlohmann::json& arguments, const char* key);
  void handleTabContentWidthChanged(const nlohmann::json& arguments);
  // Preview, server store and dirty state.
  void handleServerStoreData(const nlohmann::json& arguments);
  void handleOpenPreviewInspector(const nlohmann::json& arguments);
  void handleOpenPreview(const nlohmann::json& arguments);
  void handleDocumentDirty(const nlohmann::json& arguments);
  // Project files.
  void handleOpenRelativePathExternally(const nlohmann::json& arguments);
  void handleCopyFileContentsAtRelativePath(const nlohmann::json& arguments);
  void handleCreateFileAtRelativePath(const nlohmann::json& arguments);
  std::optional<std::filesystem::path> resolveProjectReference(const nlohmann::json& arguments);

  // Work that finishes later (SVG insertions, panels, colour samples, renders) holds this weakly
  // and drops its answer once the processor is gone.
  std::shared_ptr<bool> lifetime_ = std::make_shared<bool>(true);
  std::shared_ptr<Pasteboard> stylePasteboard_;
  // The delegate of this processor's exports; they hold it weakly and end when it goes.
  friend class ExportRoad;
  std::shared_ptr<ExportRoad> exportRoad_;
};

void to_json(nlohmann::json& j, const OstrelIPCProcessor::BitmapInfo& info);
