#pragma once
// A document for the preview's logic without a window or a project server: its own catalog,
// menu controller and preview window controller, and the settings the preview sends.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "preview/DeviceManager.h"
#include "preview/DeviceSettingsMenuController.h"
#include "preview/PreviewDocument.h"
#include "preview/PreviewWindowController.h"
#include "server/ServerController.h"

class RecordingServer : public ServerController {
 public:
  int liveSharingStops = 0;
  void stopLiveSharing() override { ++liveSharingStops; }
};

class FakePreviewDocument : public PreviewDocument, public std::enable_shared_from_this<FakePreviewDocument> {
 public:
  static std::shared_ptr<FakePreviewDocument> make() {
    auto d = std::make_shared<FakePreviewDocument>();
    d->menu = std::make_unique<DeviceSettingsMenuController>(d);
    d->preview = std::make_unique<PreviewWindowController>(d);
    d->preview->sendPreviewSettings = [raw = d.get()](const std::string& id, const nlohmann::json& settings) {
      raw->sent.emplace_back(id, settings);
    };
    return d;
  }

  DeviceManager& deviceManager() const override { return manager; }
  DeviceSettingsMenuController* deviceMenuController() const override { return menu.get(); }
  PreviewWindowController* previewWindowController() const override { return preview.get(); }
  const std::optional<std::string>& serverLocalUrl() const override { return localUrl; }
  std::optional<Url> serverURL() const override { return std::nullopt; }
  ServerController* serverController() const override { return server.get(); }
  BaseOstrelViewController* editorForPreview() const override { return nullptr; }
  GtkWindow* windowForSheet() const override { return nullptr; }
  void addPackage(const std::string& name, bool) override { packages.push_back(name); }
  void reloadPreview() override { ++reloads; }

  void loadCatalog(const std::string& text) {
    nlohmann::json value = text;
    manager.parse(&value);
  }

  mutable DeviceManager manager;
  std::unique_ptr<DeviceSettingsMenuController> menu;
  std::unique_ptr<PreviewWindowController> preview;
  std::shared_ptr<RecordingServer> server;
  std::optional<std::string> localUrl;
  std::vector<std::pair<std::string, nlohmann::json>> sent;
  std::vector<std::string> packages;
  int reloads = 0;
};

// A document whose window is a plain window of the test.
class WindowedDocument : public FakePreviewDocument {
 public:
  static std::shared_ptr<WindowedDocument> make(GtkWindow* window) {
    auto d = std::make_shared<WindowedDocument>();
    d->window = window;
    d->menu = std::make_unique<DeviceSettingsMenuController>(d);
    d->preview = std::make_unique<PreviewWindowController>(d);
    d->preview->sendPreviewSettings = [](const std::string&, const nlohmann::json&) {};
    return d;
  }
  GtkWindow* windowForSheet() const override { return window; }
  GtkWindow* window = nullptr;
};

// A selection of frame `id` with the given settings members.
inline std::string selectionText(const std::string& id, const nlohmann::json& settings, int width = 400,
                                 int height = 300) {
  nlohmann::json s = {{"responsive", false}, {"rotate", false}, {"bezel", false}, {"touch", false}};
  if (settings.is_object()) s.update(settings);
  return nlohmann::json{{"presentationNode", {{"componentClass", "Frame"}}},
                        {"metadata", {{"name", "Home"}, {"id", id}, {"width", width}, {"height", height}, {"settings", s}}}}
      .dump();
}

// A catalog: a phone with two skins and two hands that rotates, a tablet, a watch.
inline std::string sampleCatalog() {
  return R"({"devices": {
    "phone": {"title": "Phone", "selector": "Phone X", "category": "Phones", "kind": "phone",
              "screen": {"width": 750, "height": 1334}, "pixelRatio": 2, "canRotate": true,
              "skins": {"b": {"package": "skin-b"}, "a": {"image": "a.png", "imageWidth": 10, "imageHeight": 20,
                                                          "padding": 1.5, "background": "#000"}},
              "hands": {"left": {"package": "hands"}, "right": {"image": "r.png", "width": 1, "height": 2, "offset": 3}}},
    "tablet": {"title": "Tablet", "category": "Phones", "kind": "tablet", "screen": {"width": 1536, "height": 2048}},
    "watch": {"title": "Watch", "category": "Phones", "kind": "watch", "screen": {"width": 368, "height": 448}},
    "free": {"title": "Free", "kind": "phone", "screen": {"width": 100, "height": 100}},
    "tiny": {"title": "Tiny", "kind": "watch", "screen": {"width": 10, "height": 10}}
  }, "deviceSkins": {}})";
}
