#pragma once
// A hosted page that is never on screen, for the tracking client and the analytics page: a web
// view in no window, with the hosted pages' navigation rules. Main thread only.

#include <memory>

#include "telemetry/KorvelTracking.h"
#include "telemetry/PDGoogleAnalytics.h"

class WebViewController;

class HiddenWebPage : public KorvelTracking::Page, public PDGoogleAnalytics::Page {
 public:
  HiddenWebPage();
  ~HiddenWebPage() override;

  bool loadEmptyPage(const std::string& baseURL, std::function<void()> finished) override;
  void evaluate(const std::string& script, std::function<void(std::optional<Error>)> done) override;
  void load(const std::string& url, std::function<void()> mainFrameFinished) override;
  void evaluate(const std::string& script) override;
  void setEndedHandler(std::function<void()> ended) override;

  // Made on first use.
  WebViewController& controller();

 private:
  std::shared_ptr<WebViewController> controller_;
  std::function<void()> ended_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
