#include "HiddenWebPage.h"

#include <nlohmann/json.hpp>

#include "canvas/WebViewController.h"
#include "platform/OffscreenWindow.h"

// Never on screen: it takes no web process of its own.
HiddenWebPage::HiddenWebPage() : controller_(WebViewController::create(false, true)) {
  window_ = std::make_unique<OffscreenWindow>(controller_->webView().widget(), 320, 240);
}

HiddenWebPage::~HiddenWebPage() {
  window_.reset();
  controller_->cleanup();
}

bool HiddenWebPage::loadEmptyPage(const std::string& baseURL, std::function<void()> finished) {
  controller_->loadHTMLString("", baseURL, std::move(finished));
  return true;
}

void HiddenWebPage::evaluate(const std::string& script, std::function<void(std::optional<Error>)> done) {
  controller_->evaluateJavaScript(script,
                                  [done = std::move(done)](std::optional<nlohmann::json>, std::optional<Error> error) {
                                    if (done) done(std::move(error));
                                  });
}

void HiddenWebPage::load(const std::string& url, std::function<void()> mainFrameFinished) {
  controller_->loadURL(url, std::move(mainFrameFinished));
}

void HiddenWebPage::evaluate(const std::string& script) {
  controller_->evaluateJavaScript(script);
}
