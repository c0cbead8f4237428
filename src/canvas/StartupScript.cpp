#include "StartupScript.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "canvas/ScriptLiteral.h"

std::string StartupScript::formatWidth(double width) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", width);
  std::string text = buffer;
  bool onlyDigits = !text.empty() && text.find_first_not_of("-0123456789") == std::string::npos;
  if (onlyDigits) text += ".0";
  return text;
}

std::string StartupScript::build(const Values& values) {
  std::string script;

  nlohmann::json families = nlohmann::json::array();
  for (const auto& [family, rows] : values.typefaces) {  // the map keeps family names sorted
    nlohmann::json members = nlohmann::json::array();
    for (const auto& row : rows) members.push_back({row.style, row.selector, row.weight});
    families.push_back({family, members});
  }
  script += "window.SystemTypefaceDescriptors = " + ScriptLiteral::json(families) + ";";

  if (values.defaultTypeface) {
    nlohmann::json descriptor = {{"selector", values.defaultTypeface->selector},
                                 {"weight", values.defaultTypeface->weight}};
    script += "window.SystemTypefaceDefaultDescriptor = " + ScriptLiteral::json(descriptor) + ";";
  }
  if (values.colorPresets && values.colorPresets->is_object())
    script += "window.RWColorPresets = " + ScriptLiteral::json(*values.colorPresets) + ";";
  if (values.dismissedHints && values.dismissedHints->is_array())
    script += "window.RWDismissedPropertyPanelHints = " + ScriptLiteral::json(*values.dismissedHints) + ";";
  if (values.tabContentWidth > 1.0)
    script += "window['UserDefaultsTabContentWidth'] = " + formatWidth(values.tabContentWidth) + ";";
  script += std::string("window['isTutorial'] = ") + (values.isTutorial ? "true" : "false") + ";";
  return script;
}
