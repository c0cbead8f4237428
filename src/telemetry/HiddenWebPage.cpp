#include "HiddenWebPage.h"

#include <nlohmann/json.hpp>

#include "canvas/WebViewController.h"

// Never on screen, and in no window: a page in a window that is drawn, even off screen, makes
// each draw wait for its web process to paint, which holds up the main loop while that process
// starts; the page runs the same without one. It runs third-party code, so it shares a process
// with the other third-party pages only.
HiddenWebPage::HiddenWebPage()
    : controller_(WebViewController::create(false, WebViewController::PageProcess::thirdParty)) {
  // Its owner loads it again, and sets it up anew, when its process ends.
  controller_->reloadsWhenProcessEnds = false;
}

HiddenWebPage::~HiddenWebPage() { controller_->cleanup(); }

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

void HiddenWebPage::setEndedHandler(std::function<void()> ended) {
  controller_->setWebProcessTerminatedHandler(std::move(ended));
}

void HiddenWebPage::evaluate(const std::string& script) {
  controller_->evaluateJavaScript(script);
}
