// Layers copied and pasted through the desktop clipboard: our own layers type, a picture of the
// selection as PNG and TIFF for other programs, and on paste whatever the clipboard offers.

#include <nlohmann/json.hpp>

#include "canvas/WebViewExtras.h"
#include "export/ExportFileWriter.h"
#include "export/HTMLRenderQueue.h"
#include "export/ImageDecoding.h"
#include "export/SketchPasteboardPluginParser.h"
#include "ipc/LayerPaste.h"
#include "ipc/OstrelIPCProcessor.h"
#include "ipc/PasteboardTypes.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"

namespace {

std::optional<std::vector<std::string>> stringList(const nlohmann::json& value) {
  if (!value.is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& item : value) {
    if (!item.is_string()) return std::nullopt;
    out.push_back(item.get<std::string>());
  }
  return out;
}

std::optional<double> pixels(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_number_integer()) return std::nullopt;
  return it->get<double>();
}

}  // namespace

void to_json(nlohmann::json& j, const OstrelIPCProcessor::BitmapInfo& b) {
  j = {{"filename", b.filename}, {"pixelWidth", b.pixelWidth}, {"pixelHeight", b.pixelHeight}};
}

void OstrelIPCProcessor::handleDocumentCopy(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return;
  auto layers = arguments.find("layers");
  auto images = arguments.find("images");
  if (layers == arguments.end() || !layers->is_string() || images == arguments.end()) return;
  auto imageNames = stringList(*images);
  if (!imageNames) return;

  auto& pasteboard = Pasteboard::general();
  std::vector<std::string> types{PasteboardType::ostrelLayers};
  std::optional<std::string> pictureHTML;
  std::filesystem::path project;
  std::optional<double> width, height;
  auto document = delegate.lock();
  if (document) {
    project = document->projectPath().value_or(std::filesystem::path());
    auto picture = arguments.find("export");
    if (picture != arguments.end() && picture->is_object()) {
      auto html = picture->find("html");
      width = pixels(*picture, "width"), height = pixels(*picture, "height");
      if (html != picture->end() && html->is_string() && width && height) {
        pictureHTML = html->get<std::string>();
        types.push_back(PasteboardType::png);
        types.push_back(PasteboardType::tiff);
      }
    }
  }
  pasteboard.declareTypes(types);
  pasteboard.setString(layers->get<std::string>(), PasteboardType::ostrelLayers);
  if (document) document->ostrelDocumentDidRequestCopyImagesToPasteboard(*imageNames);
  if (pictureHTML) {
    // The picture arrives later; by then a newer copy may own the clipboard and keeps it. Its
    // files are inlined (and TIFF pictures decoded) beside the main loop.
    auto copied = pasteboard.changeCount();
    auto settle = [copied](const std::optional<Bitmap>& bitmap) {
      auto& pasteboard = Pasteboard::general();
      if (pasteboard.changeCount() != copied) return;
      pasteboard.setData(bitmap ? ImageEncoding::png(*bitmap) : Data(), PasteboardType::png);
      pasteboard.setData(bitmap ? ImageEncoding::tiff(*bitmap) : Data(), PasteboardType::tiff);
    };
    GlobalQueue::async([html = std::move(*pictureHTML), project, size = HTMLRenderer::Size{*width, *height}, settle] {
      auto expanded = ExportFileWriter::inlineFiles(
          html, project, ExportFileWriter::drawnPixels(ExportFileDescriptor::Type::png, std::int64_t(size.width),
                                                       std::int64_t(size.height)));
      MainQueue::async([expanded = std::move(expanded), project, size, settle]() mutable {
        if (!expanded) {
          RWLog("layer copy: " + expanded.error().message);
          return settle(std::nullopt);
        }
        auto work = std::make_shared<HTMLRenderer::Work>();
        work->string = HTMLRenderer::Source{std::move(expanded->text), project, std::move(expanded->pictures)};
        work->pictureBytes = expanded->pictureBytes;
        work->maxTime = 5.0;
        work->size = size;
        HTMLRenderQueue::shared().addWork(work, HTMLRenderer::BitmapCallback([settle](std::optional<Bitmap> bitmap) {
          settle(bitmap);
        }));
      });
    });
  }
  CursorVisibility::setKeepVisible(true);
}

void OstrelIPCProcessor::handleDocumentCopyImagesToPasteboard(const nlohmann::json& arguments) {
  auto names = stringList(arguments);
  auto document = delegate.lock();
  if (names && document) document->ostrelDocumentDidRequestCopyImagesToPasteboard(*names);
}

void OstrelIPCProcessor::saveSketchPasteboardImages(const std::string& jsonString,
                                                    std::function<void(std::map<std::string, BitmapInfo>)> done) {
  std::vector<std::pair<std::string, Data>> bitmaps;
  if (auto parsed = SketchPasteboardPluginParser::shared().parse(jsonString)) {
    for (auto& [reference, bytes] : parsed->bitmaps) {
      // A payload may hold any number of pictures: a paste stores a bounded few.
      if (bitmaps.size() == maximumPastedBitmaps) {
        RWLog("paste: only the first " + std::to_string(maximumPastedBitmaps) + " pictures are kept");
        break;
      }
      bitmaps.emplace_back(reference, std::move(bytes));
    }
  }
  std::weak_ptr<bool> alive = lifetime_;
  onPictureWorker([this, alive, bitmaps = std::move(bitmaps), done = std::move(done)] {
    std::vector<std::pair<std::string, DecodedImage>> decoded;
    for (const auto& [reference, bytes] : bitmaps)
      if (auto image = ImageDecoding::decode(bytes, std::nullopt)) decoded.emplace_back(reference, std::move(*image));
    MainQueue::async([this, alive, decoded = std::move(decoded), done = std::move(done)] {
      if (alive.expired()) return;
      std::map<std::string, BitmapInfo> map;
      for (const auto& [reference, image] : decoded) {
        ImageSize size = ImageSize::measure(image.image, screenScale());
        auto document = delegate.lock();
        if (!document) continue;
        auto stored = document->ostrelDocumentDidReceiveImageData(image.bytesToStore);
        if (!stored) continue;
        map[reference] = BitmapInfo{*stored, size.pixelWidth, size.pixelHeight};
      }
      done(std::move(map));
    });
  });
}

void OstrelIPCProcessor::handleDocumentPaste(const nlohmann::json& arguments) {
  static const std::string event = "DocumentPaste";
  if (!arguments.is_object() || !arguments.contains("point")) {
    send(event);
    return;
  }
  const nlohmann::json point = arguments.at("point");
  auto ignore = arguments.find("ignoreSketchData");
  bool ignoreSketchData = ignore != arguments.end() && ignore->is_boolean() && ignore->get<bool>();
  auto found = LayerPaste::probe(Pasteboard::general(), ignoreSketchData);
  using Kind = PasteFinding::Kind;
  switch (found.kind) {
    case Kind::layers:
      // The images first, so that the layers find them.
      if (auto document = delegate.lock()) document->ostrelDocumentDidRequestCopyImagesFromPasteboard();
      send(event, {IPCValue(*found.layers), std::nullopt, std::nullopt});
      break;
    case Kind::svg:
    case Kind::file:
    case Kind::image:
      insertImage(found.data, found.filename, point, found.isSVG, found.convertToPNG);
      send(event);
      break;
    case Kind::sketch: {
      // The answer waits for the pictures, which are decoded away from the main loop.
      saveSketchPasteboardImages(found.sketch, [this, sketch = found.sketch](std::map<std::string, BitmapInfo> stored) {
        nlohmann::json bitmaps = nlohmann::json::object();
        for (const auto& [reference, info] : stored) bitmaps[reference] = info;
        send(event, {std::nullopt, std::nullopt, std::nullopt, IPCValue::string(LayerPaste::escapeLineSeparators(sketch)),
                     IPCValue::string(JsonCoder::dump(bitmaps))});
        if (track) track("paste_from_sketch", {});
      });
      break;
    }
    case Kind::text:
      send(event, {std::nullopt, found.plain ? std::optional<IPCValue>(IPCValue::string(*found.plain)) : std::nullopt,
                   found.html ? std::optional<IPCValue>(IPCValue::string(*found.html)) : std::nullopt});
      break;
    case Kind::nothing:
      send(event, {std::nullopt, std::nullopt, std::nullopt});
      break;
  }
  CursorVisibility::setKeepVisible(true);
}
