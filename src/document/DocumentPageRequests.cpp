#include "document/DocumentPageRequests.h"

#include "account/LoginController.h"
#include "platform/JsonCoder.h"

void DocumentPageRequests::handle(const std::string& method, const nlohmann::json& arguments) {
  if (method == "DocumentSaveDialogStart") {
    auto complete = std::exchange(documentExportDataComplete, nullptr);
    if (!complete) return;
    std::string text = JsonCoder::dump(arguments, JsonCoder::Style::pretty);
    complete(Data(text.begin(), text.end()), std::nullopt);
  } else if (method == "DocumentDirty") {
    if (documentDidBecomeDirty_) documentDidBecomeDirty_();
  }
}

std::optional<std::string> DocumentPageRequests::userId() const { return LoginController::shared().userId(); }
