#include "platform/FrameRelay.h"

#include <utility>

namespace {

// A name as a script's string literal; handler names are the host's own, plain words.
std::string literal(const std::string& name) {
  std::string out = "'";
  for (char c : name)
    if (c != '\'' && c != '\\' && static_cast<unsigned char>(c) >= 0x20) out.push_back(c);
  return out + "'";
}

std::string nameList(const std::vector<std::string>& names) {
  std::string out = "[";
  for (const auto& name : names) out += (out.size() > 1 ? "," : "") + literal(name);
  return out + "]";
}

constexpr const char* eventPrefix = "'korvel-host:'";

}  // namespace

std::string FrameRelay::pageScript(const std::vector<std::string>& handlerNames) {
  // Taken before the page's own scripts run: a page that replaces them later changes nothing here.
  return std::string("(function () {\n'use strict';\n") +
         "var names = " + nameList(handlerNames) + ", prefix = " + eventPrefix + ";\n"
         "var doc = document, fire = EventTarget.prototype.dispatchEvent, Custom = CustomEvent;\n"
         "var define = Object.defineProperty, freeze = Object.freeze, toText = String;\n"
         "function send(name, body) { fire.call(doc, new Custom(prefix + name, { detail: body })); }\n"
         "var space = window.webkit;\n"
         "if (!space || typeof space !== 'object') {\n"
         "  space = {};\n"
         "  try { define(window, 'webkit', { value: space, configurable: true }); } catch (e) {}\n"
         "}\n"
         "var handlers = space.messageHandlers;\n"
         "if (!handlers || typeof handlers !== 'object') {\n"
         "  handlers = {};\n"
         "  try { define(space, 'messageHandlers', { value: handlers, configurable: true }); } catch (e) {}\n"
         "}\n"
         "names.forEach(function (name) {\n"
         "  var channel = freeze({ postMessage: function (body) { send(name, body); } });\n"
         "  try { define(handlers, name, { value: channel, configurable: true, enumerable: true }); } catch (e) {}\n"
         "});\n"
         "var dialogs = { alert: window.alert, confirm: window.confirm, prompt: window.prompt, print: window.print };\n"
         "Object.keys(dialogs).forEach(function (kind) {\n"
         "  var native = dialogs[kind];\n"
         "  if (typeof native !== 'function') return;\n"
         "  window[kind] = function (message, defaultText) {\n"
         "    var text = arguments.length && kind !== 'print' ? toText(message) : '';\n"
         "    send('" + std::string(dialogHandler) + "', kind + '\\n' + text);\n"
         "    if (kind === 'print') return native.call(window);\n"
         "    return kind === 'prompt' ? native.call(window, text, arguments.length > 1 ? toText(defaultText) : '')\n"
         "                             : native.call(window, text);\n"
         "  };\n"
         "});\n"
         "})();\n";
}

std::string FrameRelay::relayScript(const std::vector<std::string>& handlerNames) {
  std::vector<std::string> names = handlerNames;
  names.push_back(dialogHandler);
  return std::string("(function () {\n'use strict';\n") +
         "var names = " + nameList(names) + ", prefix = " + eventPrefix + ";\n"
         "var handlers = window.webkit && window.webkit.messageHandlers;\n"
         "if (!handlers) return;\n"
         "names.forEach(function (name) {\n"
         "  var handler = handlers[name];\n"
         "  if (!handler) return;\n"
         "  document.addEventListener(prefix + name, function (event) {\n"
         "    if (event.target === document) handler.postMessage(event.detail);\n"
         "  }, true);\n"
         "});\n"
         "})();\n";
}

std::string FrameRelay::announcement(std::string_view kind, std::string_view message) {
  std::string out(kind);
  out += '\n';
  out += message;
  return out;
}

bool DialogTickets::take(std::string_view kind, std::string_view message) {
  auto last = std::exchange(last_, std::nullopt);
  return last && *last == FrameRelay::announcement(kind, message);
}
