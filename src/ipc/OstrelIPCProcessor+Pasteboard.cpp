// Styles on the editor's private pasteboard; CSS and SVG text on the desktop clipboard.

#include <nlohmann/json.hpp>

#include "ipc/OstrelIPCProcessor.h"
#include "ipc/PasteboardTypes.h"
#include "platform/JsonCoder.h"

void OstrelIPCProcessor::handleDocumentCopyStyleToPasteboard(const nlohmann::json& arguments) {
  if (!arguments.is_object()) return;
  std::string style = JsonCoder::dump(arguments);
  stylePasteboard_->declareTypes({PasteboardType::ostrelStyle});
  stylePasteboard_->setString(style, PasteboardType::ostrelStyle);
}

void OstrelIPCProcessor::handleDocumentPasteStyleFromPasteboard(const nlohmann::json&) {
  static const std::string event = "DocumentPasteStyleFromPasteboard";
  if (auto text = stylePasteboard_->stringForType(PasteboardType::ostrelStyle)) {
    auto style = JsonCoder::parse(*text);
    // As the platform's reader without options: only an object or a list is a style.
    if (style && (style->is_object() || style->is_array())) {
      send(event, {IPCValue(*style)});
      return;
    }
  }
  send(event);
}

void OstrelIPCProcessor::handleDocumentCopyCSSToPasteboard(const nlohmann::json& arguments) {
  copyTextToGeneralPasteboard(arguments, PasteboardType::CSS);
}

void OstrelIPCProcessor::handleDocumentCopySVGToPasteboard(const nlohmann::json& arguments) {
  copyTextToGeneralPasteboard(arguments, PasteboardType::SVG);
}

void OstrelIPCProcessor::copyTextToGeneralPasteboard(const nlohmann::json& arguments, const char* type) {
  if (!arguments.is_string()) return;
  const auto& text = arguments.get_ref<const std::string&>();
  auto& pasteboard = Pasteboard::general();
  pasteboard.declareTypes({PasteboardType::string, type});
  pasteboard.setString(text, PasteboardType::string);
  pasteboard.setString(text, type);
}
