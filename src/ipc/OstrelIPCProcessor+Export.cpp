// The export requests of the editor page: exports into files through the panels, a rendered
// selection on the clipboard, export previews from the document's cache, and drag previews.

#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>

#include <nlohmann/json.hpp>

#include "export/ExportFileWriter.h"
#include "export/ExportPreviewCache.h"
#include "export/HTMLRenderQueue.h"
#include "export/OstrelExporter.h"
#include "ipc/ExportPanels.h"
#include "ipc/OstrelIPCProcessor.h"
#include "ipc/PasteboardTypes.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/Xdg.h"

namespace stdfs = std::filesystem;

// The processor's side of its exports: panels on the document's window, the overwrite question
// and progress to the page.
class ExportRoad : public OstrelExporterDelegate {
 public:
  explicit ExportRoad(OstrelIPCProcessor& processor) : processor_(processor) {}

  GtkWindow* window() const {
    auto document = processor_.delegate.lock();
    return document ? document->windowForSheet() : nullptr;
  }
  // The folder that holds the document, or the documents folder for an untitled one.
  stdfs::path startFolder() const {
    auto document = processor_.delegate.lock();
    auto file = document ? document->documentFileURL() : std::nullopt;
    return file ? file->parent_path() : xdg::documents();
  }
  void selectExportURL(const std::string& name, ExportQualityOptions quality,
                       std::function<void(std::optional<stdfs::path>)> completion) override {
    ExportPanels::shared().selectFile(name, quality, window(), startFolder(), std::move(completion));
  }
  void selectExportFolder(ExportQualityOptions quality, std::function<void(std::optional<stdfs::path>)> completion) override {
    ExportPanels::shared().selectFolder(quality, window(), startFolder(), std::move(completion));
  }
  void decideOverwrite(int existingFiles, std::function<void(bool)> completion) override {
    if (existingFiles <= 0) return completion(true);
    ExportPanels::shared().askOverwrite(window(), [completion](bool overwrite, bool doNotShowAgain) {
      if (overwrite && doNotShowAgain) Defaults::standard().setBool(OstrelExporter::skipFileExistChecksKey, true);
      completion(overwrite);
    });
  }
  void report(ExportProgress progress) override {
    processor_.send("ExportProgress", {IPCValue::number(progress.work), IPCValue::number(progress.progress)});
  }
  // What was written, or why the export stopped, for the page to tell the person.
  void finished(const ExportOutcome& outcome) override {
    nlohmann::json told = {{"written", outcome.written}, {"total", outcome.total}, {"cancelled", outcome.cancelled}};
    if (!outcome.reason.empty()) told["reason"] = outcome.reason;
    processor_.send("ExportFinished", {IPCValue(told)});
  }

  OstrelIPCProcessor& processor_;
};

namespace {

stdfs::path projectFolder(OstrelViewControllerDelegate& document) { return document.projectPath().value_or(stdfs::path()); }

std::optional<std::int64_t> wholeNumber(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end()) return std::nullopt;
  return JsonCoder::wholeNumber(*it, -999999999, 999999999);
}

}  // namespace

void OstrelIPCProcessor::handleExportHTML(const nlohmann::json& arguments) {
  auto document = delegate.lock();
  if (!document) return;
  auto descriptor = OstrelExportsDescriptor::decode(arguments);
  if (!descriptor) {
    RWLog("export error: parsing exports");
    return;
  }
  if (!exportRoad_) exportRoad_ = std::make_shared<ExportRoad>(*this);
  auto exporter = OstrelExporter::create(projectFolder(*document), HTMLRenderQueue::shared());
  exporter->exportDescriptor(*descriptor, exportRoad_, [](bool allWritten) {
    std::cout << (allWritten ? "complete" : "export ended with files not written") << std::endl;
  });
}

void OstrelIPCProcessor::handleExportToPasteboard(const nlohmann::json& arguments) {
  auto document = delegate.lock();
  if (!document || !arguments.is_object()) return;
  auto html = arguments.find("html");
  auto width = wholeNumber(arguments, "width"), height = wholeNumber(arguments, "height");
  if (html == arguments.end() || !html->is_string() || !width || !height) return;
  stdfs::path project = projectFolder(*document);
  HTMLRenderer::Size size{static_cast<double>(*width), static_cast<double>(*height)};
  // The page's files are inlined (and TIFF pictures decoded) beside the main loop.
  GlobalQueue::async([html = html->get<std::string>(), project, size] {
    auto inlined = ExportFileWriter::inlineFiles(
        html, project, ExportFileWriter::drawnPixels(ExportFileDescriptor::Type::png, std::int64_t(size.width),
                                                     std::int64_t(size.height)));
    MainQueue::async([inlined = std::move(inlined), project, size]() mutable {
      if (!inlined) return RWLog("export to pasteboard: " + inlined.error().message);
      auto work = std::make_shared<HTMLRenderer::Work>();
      work->string = HTMLRenderer::Source{std::move(inlined->text), project, std::move(inlined->pictures)};
      work->pictureBytes = inlined->pictureBytes;
      work->size = size;
      // The clipboard changes only once there is a picture to put there.
      HTMLRenderQueue::shared().addWork(work, HTMLRenderer::BitmapCallback([](std::optional<Bitmap> bitmap) {
        if (!bitmap) return RWLog("export to pasteboard: nothing rendered");
        Data png = ImageEncoding::png(*bitmap);
        if (png.empty()) return RWLog("export to pasteboard: the picture did not encode");
        Data tiff = ImageEncoding::tiff(*bitmap);
        auto& pasteboard = Pasteboard::general();
        pasteboard.declareTypes(tiff.empty() ? std::vector<std::string>{PasteboardType::png}
                                             : std::vector<std::string>{PasteboardType::png, PasteboardType::tiff});
        pasteboard.setData(png, PasteboardType::png);
        if (!tiff.empty()) pasteboard.setData(tiff, PasteboardType::tiff);
      }));
    });
  });
}

void OstrelIPCProcessor::handleExportGeneratePreview(const nlohmann::json& arguments) {
  auto document = delegate.lock();
  if (!document) return;
  auto descriptor = ExportFileDescriptor::decode(arguments);
  if (!descriptor) return;
  auto requestId = arguments.find("requestId");
  if (requestId == arguments.end() || !requestId->is_string()) return;
  std::string id = requestId->get<std::string>();
  auto& cache = document->exportPreviewCache();
  auto jpeg = Defaults::standard().value("RWExportJPEGQuality");
  std::string key = ExportPreviewCache::key(*descriptor, jpeg.is_number() ? jpeg.get<double>() : -1,
                                            ExportFileWriter::webPQualityFactor());
  if (auto cached = cache.get(key); cached && cached->filename() == descriptor->name) {
    send("ExportGeneratePreview", {IPCValue::string(id), IPCValue::string(cached->string())});
    return;
  }
  auto target = cache.fileFor(key, descriptor->name);
  if (!target) {
    RWLog("export preview refused: unsafe name " + descriptor->name);
    send("ExportGeneratePreview", {IPCValue::string(id), std::nullopt});
    return;
  }
  if (!exportRoad_) exportRoad_ = std::make_shared<ExportRoad>(*this);
  std::weak_ptr<ExportRoad> road = exportRoad_;
  std::weak_ptr<OstrelViewControllerDelegate> weakDocument = document;
  auto exporter = OstrelExporter::create(projectFolder(*document), HTMLRenderQueue::shared());
  exporter->exportFile(*descriptor, *target, [road, weakDocument, key, id, target = *target](bool written) {
    auto alive = road.lock();
    auto document = weakDocument.lock();
    if (!alive || !document) return;
    std::error_code ec;
    // A reply carries a path only when there is a file at it.
    if (written && stdfs::is_regular_file(target, ec)) {
      document->exportPreviewCache().set(key, target);
      alive->processor_.send("ExportGeneratePreview", {IPCValue::string(id), IPCValue::string(target.string())});
    } else {
      alive->processor_.send("ExportGeneratePreview", {IPCValue::string(id), std::nullopt});
    }
  });
}

std::optional<stdfs::path> OstrelIPCProcessor::previewFileToDrag(const nlohmann::json& arguments,
                                                                  const stdfs::path& previewFolder) {
  if (!arguments.is_object()) return std::nullopt;
  auto file = arguments.find("file");
  if (file == arguments.end() || !file->is_string()) return std::nullopt;
  stdfs::path path(file->get<std::string>());
  if (!path.is_absolute() || previewFolder.empty()) return std::nullopt;
  // Only a file the document rendered as a preview leaves through a drag: a plain file inside
  // its preview folder, reached through no link.
  std::error_code ec;
  auto folder = previewFolder.lexically_normal();
  if (!stdfs::is_directory(folder, ec)) return std::nullopt;
  auto at = path.lexically_normal();
  auto relative = at.lexically_relative(folder);
  if (relative.empty() || *relative.begin() == ".." || relative.is_absolute()) return std::nullopt;
  for (auto walked = folder; const auto& part : relative) {
    walked /= part;
    if (stdfs::is_symlink(stdfs::symlink_status(walked, ec))) return std::nullopt;
  }
  if (!stdfs::is_regular_file(stdfs::symlink_status(at, ec))) return std::nullopt;
  return at;
}

void OstrelIPCProcessor::handleDragPreviewStart(const nlohmann::json& arguments) {
  // The page names the preview it drags: the desktop gets that file from the editor's view.
  if (auto document = delegate.lock(); document && beginFileDrag)
    if (auto file = previewFileToDrag(arguments, document->exportPreviewCache().folder())) {
      bool started = beginFileDrag({*file});
      RWLog(started ? "Dragging an export preview" : "An export preview drag did not start", 1);
    }

  // The page has put the export's address on the drag pasteboard; shortly after, it is also
  // offered as a file list, which file managers take.
  MainQueue::asyncAfter(0.25, [] {
    auto drag = Pasteboard::withName(dragPasteboardName);
    auto url = drag->stringForType(PasteboardType::URL);
    if (!url) return;
    auto types = drag->types();
    std::map<std::string, Data> held;
    for (const auto& type : types)
      if (auto data = drag->dataForType(type)) held[type] = *data;
    if (std::find(types.begin(), types.end(), PasteboardType::fileURL) == types.end())
      types.push_back(PasteboardType::fileURL);
    drag->declareTypes(types);
    for (const auto& [type, data] : held) drag->setData(data, type);
    drag->setString(url->substr(0, url->find_first_of("\r\n")) + "\r\n", PasteboardType::fileURL);
  });
}
