#pragma once
// A processor wired to recorders instead of a page, a document that records what it is asked,
// a desktop that answers for the person, and the log lines written meanwhile.

#include <glib.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "ipc/EditorDesktop.h"
#include "ipc/OstrelIPCProcessor.h"
#include "platform/JsonCoder.h"

namespace ipctest {

class FakeDocument : public OstrelViewControllerDelegate {
 public:
  // Stores nothing unless `storesImages`; then each image is named "image-<n>" in order.
  std::optional<std::string> ostrelDocumentDidReceiveImageData(const Data& data) override {
    if (!storesImages) return std::nullopt;
    storedImages.push_back(data);
    return "image-" + std::to_string(storedImages.size());
  }
  std::optional<std::string> ostrelDocumentDidReceiveAssetData(const Data& data, const std::string& name) override {
    if (!storesImages) return std::nullopt;
    storedAssets.emplace_back(name, data);
    return "design/assets/" + name;
  }
  void ostrelDocumentDidRequestCopyImagesToPasteboard(const std::vector<std::string>&) override { note("copyImages"); }
  void ostrelDocumentDidRequestCopyImagesFromPasteboard() override { note("pasteImages"); }
  void ostrelDocumentDidBecomeDirty() override {
    note("dirty");
    if (onDirty) onDirty();
  }
  void ostrelServerStoreData(const nlohmann::json& value) override { note("serverStoreData " + JsonCoder::dump(value)); }
  void ostrelPackageAdd(const std::string& name) override { note("packageAdd " + name); }
  void ostrelPackageUpdateKorvelLibrary() override { note("updateLibrary"); }
  void ostrelPackageUpdateInfo() override { note("updateInfo"); }
  void openPreviewInspector() override { note("inspector"); }
  void openPreviewAndOrderFront(bool front) override { note(front ? "preview front" : "preview behind"); }
  std::optional<std::filesystem::path> projectPath() const override { return project; }
  std::optional<Url> serverURL() const override { return server; }
  ExportPreviewCache& exportPreviewCache() override { std::abort(); }
  GtkWindow* windowForSheet() const override { return window; }

  void note(std::string call) { calls.push_back(std::move(call)); }

  std::vector<std::string> calls;
  std::optional<std::filesystem::path> project;
  std::optional<Url> server;
  std::function<void()> onDirty;
  bool storesImages = false;
  std::vector<Data> storedImages;
  std::vector<std::pair<std::string, Data>> storedAssets;
  GtkWindow* window = nullptr;
};

struct Event {
  std::string name;
  nlohmann::json arguments;  // a list, absent values as null
};

// Collects every log line of this process while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> lines;
};

struct Desktop {
  std::vector<std::string> opened;  // "default <path>" or "<application> <path>"
  std::vector<std::string> alerts;  // informative texts
  bool defaultOpens = true;
  std::vector<std::string> installedEditors;
  int alertAnswer = 1;
  int beeps = 0;
};

// The processor with its channels recorded and, while it lives, the desktop replaced.
class Harness {
 public:
  Harness();
  ~Harness();
  void request(const std::string& method, const nlohmann::json& arguments = nullptr) {
    processor.handle(method, arguments);
  }
  void request(const std::string& method, const char* body) { request(method, nlohmann::json::parse(body)); }

  OstrelIPCProcessor processor;
  std::shared_ptr<FakeDocument> document = std::make_shared<FakeDocument>();
  std::vector<Event> events;
  std::vector<std::string> scripts;
  Desktop desktop;

 private:
  EditorDesktop saved_;
};

}  // namespace ipctest
