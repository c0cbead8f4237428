// Images and SVG that reach the editor page, and the editor's own icons, become layers: a bitmap
// is stored in the document and announced by name and size; an SVG is optimised, checked and
// measured away from the main loop and goes to the page inline.

#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include "export/ImageDecoding.h"
#include "export/SVGInsertion.h"
#include "export/SVGProcessor.h"
#include "export/SVGXMLDocument.h"
#include "foundation/AppInfo.h"
#include "ipc/EditorFiles.h"
#include "ipc/OstrelIPCProcessor.h"
#include "platform/Alert.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"

namespace {

std::optional<std::string> stringMember(const nlohmann::json& o, const char* key) {
  auto it = o.find(key);
  if (it == o.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

IPCValue sizeObject(const std::map<std::string, double>& members) {
  nlohmann::json size = nlohmann::json::object();
  for (const auto& [key, value] : members) size[key] = value;
  return IPCValue(size);
}

}  // namespace

std::optional<double> OstrelIPCProcessor::screenScale() {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return std::nullopt;
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return std::nullopt;
  return double(gdk_monitor_get_scale_factor(monitor));
}

std::optional<DecodedImage> OstrelIPCProcessor::imageFromData(const Data& data,
                                                             const std::optional<std::string>& originalFilename) {
  auto decoded = ImageDecoding::decode(data, originalFilename);
  if (!decoded) {
    logUndecodable(originalFilename, decoded.error());
    return std::nullopt;
  }
  return std::move(*decoded);
}

Result<DecodedImage> OstrelIPCProcessor::decodeImage(Data data, const std::optional<std::string>& originalFilename,
                                                     bool convertToPNG) {
  return convertToPNG ? ImageDecoding::decodeAsPNG(data) : ImageDecoding::decode(std::move(data), originalFilename);
}

void OstrelIPCProcessor::onPictureWorker(std::function<void()> work) {
  static GThreadPool* worker = g_thread_pool_new(
      [](gpointer data, gpointer) {
        std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
        (*work)();
      },
      nullptr, 1, FALSE, nullptr);
  g_thread_pool_push(worker, new std::function<void()>(std::move(work)), nullptr);
}

void OstrelIPCProcessor::logUndecodable(const std::optional<std::string>& originalFilename, const Error& error) {
  RWLog("unable to decode image: " + originalFilename.value_or("(null)") + " (" + error.message + ")");
}

void OstrelIPCProcessor::tellRefused(const std::vector<RefusedPictures::Refusal>& refused) {
  auto alert = RefusedPictures::alert(refused);
  if (!alert) return;
  auto document = delegate.lock();
  Alert::shared().beginSheet(*alert, document ? document->windowForSheet() : nullptr, [](int) {});
}

void OstrelIPCProcessor::answerDecoded(const std::string& event,
                                       const std::vector<std::pair<std::string, Result<DecodedImage>>>& decoded) {
  auto infos = nlohmann::json::array();
  std::vector<RefusedPictures::Refusal> refused;
  for (const auto& [name, image] : decoded) {
    if (!image) {
      logUndecodable(name, image.error());
      refused.push_back({name, RefusedPictures::reason(image.error())});
    } else if (auto info = storeImage(*image)) {
      infos.push_back(*info);
    }
  }
  send(event, {IPCValue(infos)});
  tellRefused(refused);
}

void OstrelIPCProcessor::handleDocumentReceivedImage(const nlohmann::json& arguments) {
  if (delegate.expired() || !arguments.is_object() || !arguments.contains("mousePoint")) return;
  auto file = imageFileData(stringMember(arguments, "file"));
  if (!file) return;
  auto name = stringMember(arguments, "originalFilename");
  if (!name) return;
  insertImage(file->data, name, arguments.at("mousePoint"), file->isSVG);
}

void OstrelIPCProcessor::handleDocumentDropIcon(const nlohmann::json& arguments) {
  if (!arguments.is_object() || !arguments.contains("mousePoint")) return;
  auto file = stringMember(arguments, "file");
  auto name = stringMember(arguments, "originalFilename");
  if (!file || !name) return;
  auto folder = AppInfo::current()->ostrelDir();
  if (!folder) return;
  // The page names one of the editor's icons: nothing outside the editor's folder is read.
  auto bytes = EditorFiles::readInside(*folder, *file, EditorFiles::maximumImageBytes);
  if (!bytes) return;
  insertImage(*bytes, name, arguments.at("mousePoint"), true);
}

void OstrelIPCProcessor::insertImage(const Data& data, const std::optional<std::string>& originalFilename,
                                     const nlohmann::json& position, bool isSVG, bool convertToPNG) {
  std::string filename = originalFilename.value_or("");
  if (isSVG) {
    insertSVG(data, filename, position);
    return;
  }
  std::weak_ptr<bool> alive = lifetime_;
  // A picture may take long to decode: a worker does it, touching only its own bytes; the
  // document stores it and the page hears of it on the main loop, while this processor lives.
  onPictureWorker([this, alive, data, originalFilename, position, convertToPNG]() mutable {
    auto decoded = decodeImage(std::move(data), originalFilename, convertToPNG);
    MainQueue::async([this, alive, originalFilename, position, decoded = std::move(decoded)] {
      if (!decoded) {
        logUndecodable(originalFilename, decoded.error());
        if (!alive.expired()) tellRefused({{originalFilename.value_or(""), RefusedPictures::reason(decoded.error())}});
        return;
      }
      if (alive.expired()) return;
      auto document = delegate.lock();
      if (!document) return;
      auto stored = document->ostrelDocumentDidReceiveImageData(decoded->bytesToStore);
      if (!stored) return;
      ImageSize size = ImageSize::measure(decoded->image, screenScale());
      send("DocumentInsertImage",
           {IPCValue::string(*stored), IPCValue::string(originalFilename.value_or("")),
            sizeObject({{"width", size.width}, {"height", size.height}, {"pixelWidth", size.pixelWidth},
                        {"pixelHeight", size.pixelHeight}}),
            IPCValue(position)});
    });
  });
}

void OstrelIPCProcessor::insertSVG(const Data& data, const std::string& filename, const nlohmann::json& position) {
  SVGXMLDocument::prepareForThreads();
  std::weak_ptr<bool> alive = lifetime_;
  // Parsing and writing a large SVG back takes a while: it happens on a worker, which touches
  // only its own bytes; the event is sent from the main loop while this processor lives.
  SVGProcessor::process(data, [this, alive, filename, position](Data optimised) {
    GlobalQueue::async([this, alive, filename, position, optimised = std::move(optimised)] {
      auto prepared = SVGInsertion::prepare(optimised);
      if (!prepared) {
        // A drawing of an impossible size is refused aloud; text that is no SVG quietly.
        if (prepared.error().code != 1)
          MainQueue::async([message = "unable to insert SVG " + filename + ": " + prepared.error().message] { RWLog(message); });
        return;
      }
      MainQueue::async([this, alive, filename, position, prepared = std::move(*prepared)] {
        if (alive.expired()) return;
        send("DocumentInsertSVG", {IPCValue::string(prepared.xml), IPCValue::string(filename),
                                   sizeObject({{"width", prepared.width}, {"height", prepared.height}}),
                                   IPCValue(position), IPCValue::boolean(prepared.styleable)});
      });
    });
  });
}
