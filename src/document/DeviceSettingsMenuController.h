#pragma once
// The preview's device menu for one document; the preview subsystem builds its items.

class PDBaseDocument;

class DeviceSettingsMenuController {
 public:
  explicit DeviceSettingsMenuController(const PDBaseDocument* document) : document_(document) {}
  const PDBaseDocument* document() const { return document_; }

 private:
  const PDBaseDocument* document_;
};
