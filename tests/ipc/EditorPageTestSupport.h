#pragma once
// The real stand-in editor page in an off-screen window, its requests answered by a processor
// whose document is the fake one: the page-driving tests share it.

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "IPCTestSupport.h"
#include "canvas/CanvasTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "platform/OffscreenWindow.h"
#include "platform/RunLoop.h"

namespace ipctest {

struct EditorPage {
  EditorPage() {
    canvastest::initGtk();
    canvastest::useStandInEditor();
    controller = OstrelViewController::create(false);
    auto owned = std::make_unique<OstrelIPCProcessor>();
    processor = owned.get();
    processor->delegate = document;
    std::weak_ptr<OstrelViewController> weak = controller;
    document->onDirty = [weak] {
      if (auto c = weak.lock()) c->ostrelDocumentDidBecomeDirty();
    };
    controller->setOstrelIPCProcessor(std::move(owned));
    window = std::make_unique<OffscreenWindow>(controller->view(), 900, 600);
  }
  ~EditorPage() {
    window.reset();
    controller.reset();
    RunLoop::runOnce(0.01);
  }
  // A page with no project holds nothing of its own: it is handed an empty design, as the host
  // hands one over.
  bool load() {
    if (!controller->loadDocument(std::nullopt, std::nullopt, std::nullopt, std::nullopt)) return false;
    if (!canvastest::waitFor([&] { return controller->isDocumentReady(); })) return false;
    controller->loadDocument(nlohmann::json{{"version", 1}, {"pages", nlohmann::json::array()}});
    return canvastest::waitFor([&] { return controller->holdsDocumentDesign(); });
  }
  std::optional<nlohmann::json> page(const std::string& script) {
    return canvastest::evaluate(controller->webViewController().webView(), script);
  }

  std::shared_ptr<FakeDocument> document = std::make_shared<FakeDocument>();
  std::shared_ptr<OstrelViewController> controller;
  OstrelIPCProcessor* processor = nullptr;
  std::unique_ptr<OffscreenWindow> window;
};

}  // namespace ipctest
