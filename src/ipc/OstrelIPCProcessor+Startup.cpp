// Page start-up scripts and the page's half of a save.

#include <nlohmann/json.hpp>

#include "account/LoginController.h"
#include "document/storage/KXDocumentContainer.h"
#include "foundation/AppInfo.h"
#include "ipc/OstrelIPCProcessor.h"
#include "ipc/PageStartupScripts.h"
#include "platform/FileSystem.h"
#include "platform/JsonCoder.h"
#include "platform/Resources.h"

void OstrelIPCProcessor::handleDOMContentLoaded(const nlohmann::json&) {
  auto document = delegate.lock();
  if (auto server = document ? document->serverURL() : std::nullopt) runCrashReportsScript(server);
  runScript(PageStartupScripts::analyticsScript(LoginController::shared().userId().value_or(""), AppInfo::shortVersion()));
}

void OstrelIPCProcessor::projectServerChanged(const std::optional<Url>& server) { runCrashReportsScript(server); }

// The page's crash reports go to this server's proxy, or nowhere for none.
void OstrelIPCProcessor::runCrashReportsScript(const std::optional<Url>& server) {
  auto templateText = fs::readText(Resources::path("sentry", "js", "Sentry"));
  if (!templateText) return;
  auto& login = LoginController::shared();
  PageStartupScripts::User user{login.userId().value_or(""), login.userFullName().value_or(""),
                                login.userEmail().value_or("")};
  runScript(PageStartupScripts::filledTemplate(*templateText, server ? server->absoluteString() + "/_proxy" : "", user));
}

void OstrelIPCProcessor::handleDocumentSave(const nlohmann::json& document) {
  // Taken before it runs: the completion is called once, and a later answer finds none.
  auto complete = std::exchange(documentExportDataComplete, nullptr);
  if (!document.is_object() && !document.is_array()) {
    if (complete)
      complete(std::nullopt, Error(NSCocoaErrorDomain, 3852, "The document is neither a JSON object nor an array."));
    return;
  }
  // Objects dump with their keys sorted. A design the layout would widen past what a document
  // may hold is written without it, so that a save never makes a file that won't open again.
  const auto bound = KXDocumentContainer::maximumDataSourceSize;
  auto text = JsonCoder::dump(document, JsonCoder::Style::pretty, bound);
  if (!text) text = JsonCoder::dump(document, JsonCoder::Style::compact, bound);
  if (!text) {
    if (complete) complete(std::nullopt, KXDocumentContainer::designTooLargeToSave(std::nullopt));
    return;
  }
  if (complete) complete(dataFromString(*text), std::nullopt);
}

void OstrelIPCProcessor::handleDocumentLoaded(const nlohmann::json&) {}
