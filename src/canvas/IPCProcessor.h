#pragma once
// The seam between a hosted page's host and the native handler of the page's requests. The host
// sets `call` and `evaluateJavaScript` when it takes the processor; the processor answers the
// page through them. Main thread only.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "canvas/IPCValue.h"
#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/Url.h"
#include "platform/WebView.h"

class IPCProcessor {
 public:
  using Call = std::function<void(const std::string& event, IPCArguments arguments)>;
  using EvaluateJavaScript = std::function<void(const std::string& script, WebView::ScriptCompletion completion)>;
  using DataCompletion = std::function<void(std::optional<Data> data, std::optional<Error> error)>;

  virtual ~IPCProcessor() = default;

  // One page message: its method and its "arguments" as parsed.
  virtual void handle(const std::string& method, const nlohmann::json& arguments) = 0;
  // The signed-in user's id, none when nobody is signed in.
  virtual std::optional<std::string> userId() const = 0;
  // The page's project server started at this address, or ended (none): what the page reports
  // goes only to the server it runs under now.
  virtual void projectServerChanged(const std::optional<Url>& /*server*/) {}

  Call call;
  EvaluateJavaScript evaluateJavaScript;
  // The pending answer to "DocumentSave": the processor calls it once with the page's document
  // and clears it. Data with an error is an answer refused as a design (text that isn't JSON),
  // handed on to be kept.
  DataCompletion documentExportDataComplete;
  // Drags these files out of the page's view to the desktop; false when no drag started.
  std::function<bool(const std::vector<std::filesystem::path>& files)> beginFileDrag;
  // Opens a project file by project-relative path; set by the document.
  std::function<void(const std::string& relativePath)> applicationOpenProjectFile;
};
