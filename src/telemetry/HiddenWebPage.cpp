#include "HiddenWebPage.h"

#include <nlohmann/json.hpp>

#include "canvas/BackgroundPages.h"
#include "canvas/WebViewController.h"

// Never on screen, and in no window: a page in a window that is drawn, even off screen, makes
// each draw wait for its web process to paint, which holds up the main loop while that process
// starts; the page runs the same without one. It runs third-party code, so it shares a process
// with the other third-party pages only. Its view is made when its first load starts, after the
// editor pages being opened: a view made beside another of its process starts that process.
HiddenWebPage::HiddenWebPage() = default;

HiddenWebPage::~HiddenWebPage() {
  *alive_ = false;
  if (controller_) controller_->cleanup();
}

WebViewController& HiddenWebPage::controller() {
  if (!controller_) {
    controller_ = WebViewController::create(false, WebViewController::PageProcess::thirdParty);
    // Its owner loads it again, and sets it up anew, when its process ends.
    controller_->reloadsWhenProcessEnds = false;
    if (ended_) controller_->setWebProcessTerminatedHandler(ended_);
  }
  return *controller_;
}

bool HiddenWebPage::loadEmptyPage(const std::string& baseURL, std::function<void()> finished) {
  BackgroundPages::whenIdle([this, alive = std::weak_ptr<bool>(alive_), baseURL, finished = std::move(finished)] {
    if (!alive.expired()) controller().loadHTMLString("", baseURL, finished);
  });
  return true;
}

void HiddenWebPage::evaluate(const std::string& script, std::function<void(std::optional<Error>)> done) {
  // Nothing is loaded before the view is made, so nothing could run the script.
  if (!controller_) {
    if (done) done(Error("HiddenWebPage", 1, "The page has not been loaded"));
    return;
  }
  controller_->evaluateJavaScript(script,
                                  [done = std::move(done)](std::optional<nlohmann::json>, std::optional<Error> error) {
                                    if (done) done(std::move(error));
                                  });
}

void HiddenWebPage::load(const std::string& url, std::function<void()> mainFrameFinished) {
  BackgroundPages::whenIdle([this, alive = std::weak_ptr<bool>(alive_), url, finished = std::move(mainFrameFinished)] {
    if (!alive.expired()) controller().loadURL(url, finished);
  });
}

void HiddenWebPage::setEndedHandler(std::function<void()> ended) {
  ended_ = std::move(ended);
  if (controller_) controller_->setWebProcessTerminatedHandler(ended_);
}

void HiddenWebPage::evaluate(const std::string& script) {
  if (controller_) controller_->evaluateJavaScript(script);
}
