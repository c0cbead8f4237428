#pragma once
// What the preview needs of its document; the document class implements it. Main thread only.

#include <optional>
#include <string>

#include "platform/Url.h"

typedef struct _GtkWindow GtkWindow;
class BaseOstrelViewController;
class DeviceManager;
class DeviceSettingsMenuController;
class PreviewWindowController;
class ServerController;

class PreviewDocument {
 public:
  virtual ~PreviewDocument() = default;
  virtual DeviceManager& deviceManager() const = 0;
  virtual DeviceSettingsMenuController* deviceMenuController() const = 0;
  virtual PreviewWindowController* previewWindowController() const = 0;
  // The project server's address as text, set each time it mounted the project.
  virtual const std::optional<std::string>& serverLocalUrl() const = 0;
  // The server's address while its link is up.
  virtual std::optional<Url> serverURL() const = 0;
  virtual ServerController* serverController() const = 0;
  // The editor page of the document, which receives the preview's events.
  virtual BaseOstrelViewController* editorForPreview() const = 0;
  virtual GtkWindow* windowForSheet() const = 0;
  virtual void addPackage(const std::string& name, bool isDevDependency) = 0;
  virtual void reloadPreview() = 0;
};
