#pragma once
// Real editor pages under the virtual display: the stand-in editor from resources/Ostrel, a
// processor that records what the page asks, and waits on the main loop.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "canvas/IPCProcessor.h"
#include "canvas/OstrelViewController.h"
#include "canvas/WebViewController.h"
#include "platform/OffscreenWindow.h"
#include "support/EditorTestSupport.h"

namespace canvastest {

using guitest::initGtk;
using guitest::useStandInEditor;
using guitest::evaluate;
using guitest::waitFor;

// Records every message; answers "DocumentSaveDialogStart" as the real processor does.
class RecordingProcessor : public IPCProcessor {
 public:
  void handle(const std::string& method, const nlohmann::json& arguments) override;
  std::optional<std::string> userId() const override { return user; }
  std::vector<std::string> methods() const;
  long count(const std::string& method) const;
  std::optional<nlohmann::json> last(const std::string& method) const;

  std::vector<std::pair<std::string, nlohmann::json>> messages;
  std::optional<std::string> user;
};

// An editor controller in an off-screen window, its page loaded and ready.
struct Editor {
  explicit Editor(bool tutorial = false);
  ~Editor();
  bool load(const std::optional<Url>& url = std::nullopt, const std::optional<std::string>& projectDir = std::nullopt);
  std::optional<nlohmann::json> page(const std::string& script) { return evaluate(controller->webViewController().webView(), script); }

  std::shared_ptr<OstrelViewController> controller;
  RecordingProcessor* processor = nullptr;
  std::unique_ptr<OffscreenWindow> window;
};

}  // namespace canvastest
