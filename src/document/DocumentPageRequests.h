#pragma once
// The editor page's requests that a document needs for its own life — the page's document for
// a save ("DocumentSaveDialogStart") and its edits ("DocumentDirty") — until the editor's full
// request processor takes over. Holds its document weakly. Main thread only.

#include <functional>
#include <memory>

#include "canvas/IPCProcessor.h"

class DocumentPageRequests : public IPCProcessor {
 public:
  explicit DocumentPageRequests(std::function<void()> documentDidBecomeDirty)
      : documentDidBecomeDirty_(std::move(documentDidBecomeDirty)) {}
  void handle(const std::string& method, const nlohmann::json& arguments) override;
  std::optional<std::string> userId() const override;

 private:
  std::function<void()> documentDidBecomeDirty_;
};
