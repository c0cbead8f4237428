// Settings that outlive a window, and the requests that only pass on to the document.

#include <nlohmann/json.hpp>

#include "foundation/SharedNames.h"
#include "ipc/OstrelIPCProcessor.h"
#include "platform/Defaults.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"
#include "server/PackageName.h"

namespace {

constexpr const char* colorPresetsKey = "RWColorPresets";
constexpr const char* dismissedHintsKey = "RWDismissedPropertyPanelHints";

// What a page may store under one key: settings are lists of colours and hints, not documents.
constexpr std::size_t maximumSettingSize = 256 * 1024;
constexpr int maximumSettingDepth = 16;

// The stored settings hold no null: readers take a value as an object, a list or a number.
bool holdsNull(const nlohmann::json& value) {
  if (value.is_null()) return true;
  if (value.is_structured())
    for (const auto& item : value)
      if (holdsNull(item)) return true;
  return false;
}

bool nestsDeeperThan(const nlohmann::json& value, int levels) {
  if (!value.is_structured()) return false;
  if (levels == 0) return true;
  for (const auto& item : value)
    if (nestsDeeperThan(item, levels - 1)) return true;
  return false;
}

}  // namespace

void OstrelIPCProcessor::handleColorPresetsChange(const nlohmann::json& arguments) {
  storeSetting(arguments, colorPresetsKey);
}

void OstrelIPCProcessor::handleDismissedPropertyPanelHintsChange(const nlohmann::json& arguments) {
  storeSetting(arguments, dismissedHintsKey);
}

void OstrelIPCProcessor::storeSetting(const nlohmann::json& arguments, const char* key) {
  if (!arguments.is_object()) return;
  auto member = arguments.find(key);
  if (member == arguments.end()) return;
  if (nestsDeeperThan(*member, maximumSettingDepth)) {
    RWLog(std::string("Not storing ") + key + ": the value nests too deep");
    return;
  }
  if (holdsNull(*member)) {
    RWLog(std::string("Not storing ") + key + ": the value holds null");
    return;
  }
  if (JsonCoder::dump(*member).size() > maximumSettingSize) {
    RWLog(std::string("Not storing ") + key + ": the value is larger than " + std::to_string(maximumSettingSize) + " bytes");
    return;
  }
  Defaults::standard().set(key, *member);
}

void OstrelIPCProcessor::handleTabContentWidthChanged(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return;
  auto value = arguments.find("value");
  if (value == arguments.end() || !value->is_number()) return;
  Defaults::standard().setDouble(UserDefaultsTabContentWidth, value->get<double>());
}

void OstrelIPCProcessor::handlePackageAdd(const nlohmann::json& arguments) {
  if (!arguments.is_string()) return;
  if (!PackageName::isAcceptable(arguments.get_ref<const std::string&>())) {
    RWLog("PackageAdd refused: not a package name");
    return;
  }
  if (auto document = delegate.lock()) document->ostrelPackageAdd(arguments.get<std::string>());
}

void OstrelIPCProcessor::handleUpdateKorvelLibrary(const nlohmann::json&) {
  if (auto document = delegate.lock()) document->ostrelPackageUpdateKorvelLibrary();
}

void OstrelIPCProcessor::handlePackageUpdateInfo(const nlohmann::json&) {
  if (auto document = delegate.lock()) document->ostrelPackageUpdateInfo();
}

void OstrelIPCProcessor::handleServerStoreData(const nlohmann::json& arguments) {
  if (auto document = delegate.lock()) document->ostrelServerStoreData(arguments);
}

void OstrelIPCProcessor::handleOpenPreviewInspector(const nlohmann::json&) {
  if (auto document = delegate.lock()) document->openPreviewInspector();
}

void OstrelIPCProcessor::handleOpenPreview(const nlohmann::json& arguments) {
  bool behind = arguments.is_string() && arguments.get<std::string>() == "behind";
  if (auto document = delegate.lock()) document->openPreviewAndOrderFront(!behind);
}

void OstrelIPCProcessor::handleDocumentDirty(const nlohmann::json&) {
  if (auto document = delegate.lock()) document->ostrelDocumentDidBecomeDirty();
}
