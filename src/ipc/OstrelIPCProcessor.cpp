#include "OstrelIPCProcessor.h"

#include <glib.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "canvas/WebViewExtras.h"
#include "ipc/EditorDesktop.h"
#include "ipc/ProjectFiles.h"
#include "platform/JsonCoder.h"
#include "platform/Pasteboard.h"
#include "platform/RWLog.h"

namespace {

// Long enough to see what was asked, short enough that a whole document does not fill the log.
constexpr std::size_t maximumDescription = 2048;

std::string describe(const nlohmann::json& value) {
  std::string text = JsonCoder::dump(value);
  if (text.size() <= maximumDescription) return text;
  std::size_t cut = maximumDescription;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "…";
}

// Names equal when canonically equivalent: a Kelvin sign is a K.
std::string canonicalName(const std::string& method) {
  if (std::all_of(method.begin(), method.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return method;
  gchar* normal = g_utf8_normalize(method.data(), static_cast<gssize>(method.size()), G_NORMALIZE_NFC);
  if (!normal) return method;
  std::string out(normal);
  g_free(normal);
  return out;
}

}  // namespace

OstrelIPCProcessor::OstrelIPCProcessor() : stylePasteboard_(Pasteboard::withName(stylePasteboardName)) {}

OstrelIPCProcessor::~OstrelIPCProcessor() = default;

const std::vector<OstrelIPCProcessor::Request>& OstrelIPCProcessor::requests() {
  using P = OstrelIPCProcessor;
  static const std::vector<Request> table{
      {"Beep", &P::beep},
      {"DOMContentLoaded", &P::handleDOMContentLoaded},
      {"DocumentSaveDialogStart", &P::handleDocumentSave},
      {"DocumentReceivedImage", &P::handleDocumentReceivedImage},
      {"DocumentDropIcon", &P::handleDocumentDropIcon},
      {"GetColorSample", &P::handleColorSample},
      {"ChooseImageDialog", &P::handleChooseImageDialog},
      {"ChooseFileDialog", &P::handleChooseFileDialog},
      {"ChooseMetadataImageDialog", &P::handleChooseMetadataImageDialog},
      {"ChooseImageDialogDrop", &P::handleChooseImageDialogDrop},
      {"ShowSaveDialog", &P::handleShowSaveDialog},
      {"ShowPathInFileViewer", &P::handleShowPathInFileViewer},
      {"DocumentKeepMouseCursorVisible", &P::keepMouseCursorVisible},
      {"DocumentCopyImagesToPasteboard", &P::handleDocumentCopyImagesToPasteboard},
      {"DocumentCopyStyleToPasteboard", &P::handleDocumentCopyStyleToPasteboard},
      {"DocumentPasteStyleFromPasteboard", &P::handleDocumentPasteStyleFromPasteboard},
      {"DocumentCopyCSSToPasteboard", &P::handleDocumentCopyCSSToPasteboard},
      {"DocumentCopySVGToPasteboard", &P::handleDocumentCopySVGToPasteboard},
      {"ColorPresetsChange", &P::handleColorPresetsChange},
      {"DismissedPropertyPanelHintsChange", &P::handleDismissedPropertyPanelHintsChange},
      {"DocumentDirty", &P::handleDocumentDirty},
      {"DocumentCopy", &P::handleDocumentCopy},
      {"DocumentPaste", &P::handleDocumentPaste},
      {"DocumentLoaded", &P::handleDocumentLoaded},
      {"ExportHTML", &P::handleExportHTML},
      {"ExportToPasteboard", &P::handleExportToPasteboard},
      {"ExportGeneratePreview", &P::handleExportGeneratePreview},
      {"ExportDragPreviewStart", &P::handleDragPreviewStart},
      {"OpenPreviewInspector", &P::handleOpenPreviewInspector},
      {"OpenPreview", &P::handleOpenPreview},
      {"OpenRelativePathExternally", &P::handleOpenRelativePathExternally},
      {"CopyFileContentsAtRelativePath", &P::handleCopyFileContentsAtRelativePath},
      {"CreateFileAtRelativePath", &P::handleCreateFileAtRelativePath},
      {"PackageAdd", &P::handlePackageAdd},
      {"PackageUpdateKorvelLibrary", &P::handleUpdateKorvelLibrary},
      {"PackageUpdateInfo", &P::handlePackageUpdateInfo},
      {"DocumentReady", &P::ignore},
      {"DOMContentLoadedCallback", &P::ignore},
      {"ServerStoreData", &P::handleServerStoreData},
      {"TabContentWidthChanged", &P::handleTabContentWidthChanged},
  };
  return table;
}

std::vector<std::string_view> OstrelIPCProcessor::requestNames() {
  std::vector<std::string_view> names;
  for (const auto& request : requests()) names.push_back(request.name);
  return names;
}

void OstrelIPCProcessor::handle(const std::string& method, const nlohmann::json& arguments) {
  std::string name = canonicalName(method);
  for (const auto& request : requests()) {
    if (request.name == name) {
      (this->*request.handler)(arguments);
      return;
    }
  }
  RWLog("Bridge called " + method + ", " + describe(arguments));
}

std::optional<std::string> OstrelIPCProcessor::userId() const { return LoginController::shared().userId(); }

void OstrelIPCProcessor::send(const std::string& event, IPCArguments arguments) {
  if (call) call(event, std::move(arguments));
}

void OstrelIPCProcessor::runScript(const std::string& script) {
  if (evaluateJavaScript) evaluateJavaScript(script, nullptr);
}

void OstrelIPCProcessor::beep(const nlohmann::json&) {
  if (auto& beep = EditorDesktop::shared().beep) beep();
}

void OstrelIPCProcessor::keepMouseCursorVisible(const nlohmann::json& arguments) {
  CursorVisibility::setKeepVisible(arguments.is_boolean() && arguments.get<bool>());
}

void OstrelIPCProcessor::ignore(const nlohmann::json&) {}

std::function<void(const std::string&)> OstrelIPCProcessor::projectFileOpener(
    std::weak_ptr<OstrelViewControllerDelegate> document) {
  return [document = std::move(document)](const std::string& relativePath) {
    auto delegate = document.lock();
    if (!delegate) return;
    auto project = delegate->projectPath();
    if (!project) return;
    auto file = ProjectFiles::resolvePath(*project, relativePath);
    if (file) {
      if (auto openable = ProjectFiles::checkOpenable(*file); !openable) file = tl::unexpected(openable.error());
    }
    if (!file) {
      RWLog("Not opening project file " + relativePath + ": " + file.error().message);
      return;
    }
    if (auto& open = EditorDesktop::shared().openWithDefaultApplication) open(*file);
  };
}
