// The open and save panels the editor page asks for, the file viewer, and the colour sampler.
// A panel runs after the request has returned, attached to the asking document's window (a
// free-standing one when the document has none), and its answer goes to the page only while
// this processor lives. Every request that expects an answer gets exactly one.

#include <nlohmann/json.hpp>

#include "export/ImageDecoding.h"
#include "ipc/EditorFiles.h"
#include "ipc/OstrelIPCProcessor.h"
#include "ipc/ProjectFiles.h"
#include "platform/Alert.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/Panels.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "ui/RWColorSampler.h"

namespace {

std::vector<PanelFileType> typesWithExtensions(const std::vector<std::string>& extensions) {
  std::vector<PanelFileType> types;
  for (const auto& e : extensions) types.push_back(PanelFileType{e, e.empty() ? "All files" : e, e, false});
  return types;
}

}  // namespace

void OstrelIPCProcessor::runPanel(std::function<void(GtkWindow* window)> panel) {
  std::weak_ptr<bool> alive = lifetime_;
  // The page's message handler returns first; the panel then waits in its own loop.
  MainQueue::async([this, alive, panel = std::move(panel)] {
    if (alive.expired()) return;
    auto document = delegate.lock();
    panel(document ? document->windowForSheet() : nullptr);
  });
}

std::optional<std::string> OstrelIPCProcessor::storeImage(const DecodedImage& decoded) {
  auto document = delegate.lock();
  if (!document) return std::nullopt;
  auto stored = document->ostrelDocumentDidReceiveImageData(decoded.bytesToStore);
  if (!stored || stored->empty()) return std::nullopt;
  return jsonEncodedImageInfo(decoded.image, screenScale(), *stored);
}

void OstrelIPCProcessor::handleColorSample(const nlohmann::json&) {
  std::weak_ptr<bool> alive = lifetime_;
  RWColorSampler::shared().showWithCompletion([this, alive](std::optional<Color> colour) {
    if (alive.expired()) return;
    if (colour)
      send("GetColorSample", {IPCValue::string("rgba" + colour->RGBAColorString())});
    else
      send("GetColorSample");
  });
}

void OstrelIPCProcessor::handleChooseImageDialog(const nlohmann::json&) {
  std::weak_ptr<bool> alive = lifetime_;
  runPanel([this, alive](GtkWindow* window) {
    OpenPanelOptions options;
    options.types = typesWithExtensions({"png", "jpg", "jpeg", "gif", "apng", "tiff", "webp"});
    options.allowsMultipleSelection = true;
    options.prompt = "Open";
    options.attachToActiveWindow = false;
    auto chosen = Panels::shared().runOpenPanel(options, window);
    if (alive.expired()) return;
    // The files are read and decoded on a worker, then stored in panel order on the main loop.
    onPictureWorker([this, alive, chosen] {
      std::vector<std::pair<std::string, Result<DecodedImage>>> decoded;
      for (const auto& file : chosen) {
        std::string name = file.filename().string();
        auto bytes = EditorFiles::readRegularFile(file, EditorFiles::maximumImageBytes);
        if (!bytes) {
          decoded.emplace_back(name, fail(ImageData::ErrorDomain, ImageData::notAnImage,
                                          "It could not be read as a file of at most " +
                                              std::to_string(EditorFiles::maximumImageBytes >> 20) + " MB"));
          continue;
        }
        // Judged by content alone: a WebP is found by its bytes.
        decoded.emplace_back(name, decodeImage(std::move(*bytes), std::nullopt));
      }
      MainQueue::async([this, alive, decoded = std::move(decoded)] {
        if (!alive.expired()) answerDecoded("ChooseImageDialog", decoded);
      });
    });
  });
}

void OstrelIPCProcessor::handleChooseMetadataImageDialog(const nlohmann::json& arguments) {
  if (!arguments.is_object() || !arguments.contains("filename")) return;
  for (const auto& [key, value] : arguments.items())
    if (!value.is_string() || value.get_ref<const std::string&>().empty()) return;
  std::string target = EditorFiles::metadataFileName(arguments.at("filename").get<std::string>());
  std::weak_ptr<bool> alive = lifetime_;
  runPanel([this, alive, target](GtkWindow* window) {
    OpenPanelOptions options;
    options.types = typesWithExtensions({"png"});
    options.prompt = "Open";
    options.attachToActiveWindow = false;
    auto chosen = Panels::shared().runOpenPanel(options, window);
    if (alive.expired() || chosen.empty()) return;
    auto bytes = EditorFiles::readRegularFile(chosen.front(), EditorFiles::maximumImageBytes);
    // Only its header is read: the file is copied as it is.
    if (!bytes || !ImageDecoding::mayBeImage(*bytes)) return;
    auto document = delegate.lock();
    if (!document || target.empty()) return;
    auto project = document->projectPath();
    if (!project) return;
    // The name must make a URL reference, and the file lands in the existing metadata folder.
    auto file = ProjectFiles::resolveReference(*project, "./metadata/" + target);
    std::error_code ec;
    auto folder = std::filesystem::weakly_canonical(*project / "metadata", ec);
    if (!file || ec || file->parent_path() != folder || !std::filesystem::is_directory(folder, ec)) return;
    (void)fs::writeAtomically(*file, *bytes);
  });
}

void OstrelIPCProcessor::handleChooseFileDialog(const nlohmann::json& arguments) {
  if (!arguments.is_array()) return;
  std::vector<std::string> extensions;
  for (const auto& type : arguments) {
    if (!type.is_string()) return;
    extensions.push_back(type.get<std::string>());
  }
  std::weak_ptr<bool> alive = lifetime_;
  runPanel([this, alive, extensions](GtkWindow* window) {
    OpenPanelOptions options;
    options.types = typesWithExtensions(extensions);
    options.prompt = "Open";
    options.attachToActiveWindow = false;
    auto chosen = Panels::shared().runOpenPanel(options, window);
    if (alive.expired()) return;
    std::string answer;
    if (!chosen.empty()) {
      auto bytes = EditorFiles::readRegularFile(chosen.front(), EditorFiles::maximumImageBytes);
      auto document = delegate.lock();
      if (bytes && document) answer = document->ostrelDocumentDidReceiveAssetData(*bytes, chosen.front().filename().string()).value_or("");
    }
    send("ChooseFileDialog", {IPCValue::string(answer)});
  });
}

void OstrelIPCProcessor::handleChooseImageDialogDrop(const nlohmann::json& arguments) {
  std::vector<std::pair<std::string, Data>> files;
  if (!delegate.expired() && arguments.is_array()) {
    for (const auto& item : arguments) {
      if (!item.is_object()) continue;
      auto fileMember = item.find("file");
      auto file = imageFileData(fileMember != item.end() && fileMember->is_string()
                                    ? std::optional<std::string>(fileMember->get<std::string>())
                                    : std::nullopt);
      auto name = item.find("originalFilename");
      if (!file || name == item.end() || !name->is_string() || file->isSVG) continue;
      files.emplace_back(name->get<std::string>(), std::move(file->data));
    }
  }
  std::weak_ptr<bool> alive = lifetime_;
  // Decoded on a worker, stored in the page's order on the main loop.
  onPictureWorker([this, alive, files = std::move(files)] {
    std::vector<std::pair<std::string, Result<DecodedImage>>> decoded;
    for (const auto& [name, bytes] : files) decoded.emplace_back(name, decodeImage(bytes, name));
    MainQueue::async([this, alive, decoded = std::move(decoded)] {
      if (!alive.expired()) answerDecoded("ChooseImageDialogDrop", decoded);
    });
  });
}

void OstrelIPCProcessor::handleShowSaveDialog(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return;
  auto text = [&](const char* key) -> std::string {
    auto it = arguments.find(key);
    return it != arguments.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  SavePanelOptions options;
  options.prompt = text("buttonLabel");
  options.message = text("message");
  options.nameFieldValue = std::filesystem::path(text("defaultPath")).filename().string();
  options.attachToActiveWindow = false;
  std::weak_ptr<bool> alive = lifetime_;
  runPanel([this, alive, options](GtkWindow* window) {
    auto chosen = Panels::shared().runSavePanel(options, window);
    if (alive.expired()) return;
    send("ShowSaveDialog", {IPCValue::string(chosen ? chosen->url.string() : std::string())});
  });
}

void OstrelIPCProcessor::handleShowPathInFileViewer(const nlohmann::json& arguments) {
  if (!arguments.is_string()) return;
  std::filesystem::path file = arguments.get<std::string>();
  if (!file.is_absolute()) return;
  Workspace::shared().activateFileViewerSelecting({file});
}
