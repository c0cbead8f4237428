#pragma once
// What the editor's requests need of the document they serve. The document implements it and
// the IPC processor holds it weakly: once the document is gone, requests that need it end
// without effect. Main thread only.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/Data.h"
#include "platform/Url.h"

class ExportPreviewCache;
typedef struct _GtkWindow GtkWindow;

class OstrelViewControllerDelegate {
 public:
  virtual ~OstrelViewControllerDelegate() = default;

  // Stores image bytes among the document's images; the stored name, none when storing failed.
  virtual std::optional<std::string> ostrelDocumentDidReceiveImageData(const Data& data) = 0;
  // Stores a file as a project asset under `preferredName`, made unique; the name used, or none.
  virtual std::optional<std::string> ostrelDocumentDidReceiveAssetData(const Data& data,
                                                                       const std::string& preferredName) = 0;
  // Puts the named images on the document's "Ostrel Images Clipboard" as name → file path.
  virtual void ostrelDocumentDidRequestCopyImagesToPasteboard(const std::vector<std::string>& imageNames) = 0;
  // Copies the images on "Ostrel Images Clipboard" into the document.
  virtual void ostrelDocumentDidRequestCopyImagesFromPasteboard() = 0;
  // The page changed the design: the next save must ask it for the document.
  virtual void ostrelDocumentDidBecomeDirty() = 0;
  // Hands a value from the editor to the preview page ("serverStoreData").
  virtual void ostrelServerStoreData(const nlohmann::json& value) = 0;
  virtual void ostrelPackageAdd(const std::string& packageName) = 0;
  virtual void ostrelPackageUpdateKorvelLibrary() = 0;
  virtual void ostrelPackageUpdateInfo() = 0;
  virtual void openPreviewInspector() = 0;
  // True: the preview becomes key and comes to the front. False: a hidden preview is ordered in
  // behind the document's window without becoming key; a visible one stays where it is.
  virtual void openPreviewAndOrderFront(bool orderFront) = 0;
  // The project folder; none when the document has no project.
  virtual std::optional<std::filesystem::path> projectPath() const = 0;
  // The document's file (or project folder), none while it is untitled.
  virtual std::optional<std::filesystem::path> documentFileURL() const { return std::nullopt; }
  // The running project server; none before it has connected.
  virtual std::optional<Url> serverURL() const = 0;
  // Made on first use and kept for the document's life.
  virtual ExportPreviewCache& exportPreviewCache() = 0;
  // The window that shows the document's sheets, or none.
  virtual GtkWindow* windowForSheet() const = 0;
};
