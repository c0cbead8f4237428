#include "IPCTestSupport.h"

#include "canvas/WebViewController.h"

namespace ipctest {

namespace {

std::vector<std::string>* capturing = nullptr;

GLogWriterOutput capture(GLogLevelFlags, const GLogField* fields, gsize count, gpointer) {
  for (gsize i = 0; i < count; ++i) {
    if (std::string(fields[i].key) != "MESSAGE" || !capturing) continue;
    const char* value = static_cast<const char*>(fields[i].value);
    capturing->push_back(fields[i].length < 0 ? std::string(value) : std::string(value, fields[i].length));
  }
  return G_LOG_WRITER_HANDLED;
}

}  // namespace

LogCapture::LogCapture() {
  static bool installed = [] {
    g_log_set_writer_func(capture, nullptr, nullptr);
    return true;
  }();
  (void)installed;
  capturing = &lines;
}

LogCapture::~LogCapture() { capturing = nullptr; }

Harness::Harness() : saved_(EditorDesktop::shared()) {
  processor.delegate = document;
  processor.call = [this](const std::string& name, IPCArguments arguments) {
    auto list = nlohmann::json::array();
    for (const auto& argument : arguments) {
      auto text = WebViewController::toJson(argument);
      list.push_back(text ? *JsonCoder::parse(*text) : nlohmann::json());
    }
    events.push_back({name, list});
  };
  processor.evaluateJavaScript = [this](const std::string& script, WebView::ScriptCompletion) {
    scripts.push_back(script);
  };
  auto& shared = EditorDesktop::shared();
  shared.beep = [this] { ++desktop.beeps; };
  shared.openWithDefaultApplication = [this](const std::filesystem::path& file) {
    if (!desktop.defaultOpens) return false;
    desktop.opened.push_back("default " + file.string());
    return true;
  };
  shared.openWithApplication = [this](const std::filesystem::path& file, const std::string& application) {
    for (const auto& editor : desktop.installedEditors) {
      if (editor != application) continue;
      desktop.opened.push_back(application + " " + file.string());
      return true;
    }
    return false;
  };
  shared.runModalAlert = [this](const EditorDesktop::Alert& alert) {
    desktop.alerts.push_back(alert.messageText + " | " + alert.informativeText);
    return desktop.alertAnswer;
  };
}

Harness::~Harness() { EditorDesktop::shared() = saved_; }

}  // namespace ipctest
