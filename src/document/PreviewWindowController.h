#pragma once
// The document's preview window, as much of it as the document drives: reloads, showing,
// closing and the live-sharing popover. The preview subsystem makes the window itself.

#include <memory>

#include <nlohmann/json_fwd.hpp>

#include "document/MirrorPopover.h"

class PDBaseDocument;

class PreviewWindowController {
 public:
  std::weak_ptr<PDBaseDocument> document;
  MirrorPopover mirrorPopover;

  void reload(const PDBaseDocument*) { ++reloadCount_; }
  void togglePreviewFullscreen(const void*) { fullscreen_ = !fullscreen_; }
  void show(bool makeKey) {
    visible_ = true;
    key_ = makeKey;
  }
  void orderBelowDocument() { visible_ = true; }
  void showInspector() {}
  void ostrelServerStoreData(const nlohmann::json&) {}
  void cleanup() { cleanedUp_ = true; }
  void close() { visible_ = false; }

  bool isVisible() const { return visible_; }
  int reloadCount() const { return reloadCount_; }
  bool cleanedUp() const { return cleanedUp_; }

 private:
  int reloadCount_ = 0;
  bool visible_ = false;
  bool key_ = false;
  bool fullscreen_ = false;
  bool cleanedUp_ = false;
};
