#include "CanvasTestSupport.h"

#include <gtk/gtk.h>

#include <filesystem>

#include "foundation/AppInfo.h"
#include "platform/JsonCoder.h"
#include "platform/RunLoop.h"

namespace canvastest {

void RecordingProcessor::handle(const std::string& method, const nlohmann::json& arguments) {
  messages.emplace_back(method, arguments);
  if (method == "DocumentSaveDialogStart" && documentExportDataComplete) {
    auto complete = std::move(documentExportDataComplete);
    documentExportDataComplete = nullptr;
    std::string text = JsonCoder::dump(arguments, JsonCoder::Style::pretty);
    complete(Data(text.begin(), text.end()), std::nullopt);
  }
}

std::vector<std::string> RecordingProcessor::methods() const {
  std::vector<std::string> out;
  for (auto& [m, a] : messages) out.push_back(m);
  return out;
}

long RecordingProcessor::count(const std::string& method) const {
  long n = 0;
  for (auto& [m, a] : messages) n += m == method;
  return n;
}

std::optional<nlohmann::json> RecordingProcessor::last(const std::string& method) const {
  for (auto it = messages.rbegin(); it != messages.rend(); ++it)
    if (it->first == method) return it->second;
  return std::nullopt;
}

Editor::Editor(bool tutorial) {
  initGtk();
  useStandInEditor();
  controller = OstrelViewController::create(tutorial);
  auto recording = std::make_unique<RecordingProcessor>();
  processor = recording.get();
  controller->setOstrelIPCProcessor(std::move(recording));
  window = std::make_unique<OffscreenWindow>(controller->view(), 900, 600);
}

Editor::~Editor() {
  window.reset();
  controller.reset();
  RunLoop::runOnce(0.01);
}

bool Editor::load(const std::optional<Url>& url, const std::optional<std::string>& projectDir) {
  auto before = processor->count("DocumentReady");
  if (!controller->loadDocument(url, std::nullopt, std::nullopt, projectDir)) return false;
  return waitFor([&] { return processor->count("DocumentReady") > before && controller->isDocumentReady(); });
}

}  // namespace canvastest
