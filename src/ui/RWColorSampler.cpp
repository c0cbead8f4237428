#include "ui/RWColorSampler.h"

#include <cmath>
#include <utility>

#include "platform/Alert.h"

RWColorSampler& RWColorSampler::shared() {
  static RWColorSampler* sampler = new RWColorSampler(makeGtkColorSamplerLoupe());
  return *sampler;
}

RWColorSampler::RWColorSampler(std::unique_ptr<Loupe> loupe) : loupe_(std::move(loupe)) {}

RWColorSampler::~RWColorSampler() = default;

void RWColorSampler::setLoupe(std::unique_ptr<Loupe> loupe) {
  if (loupe_) loupe_->hide();
  loupe_ = std::move(loupe);
}

void RWColorSampler::showWithCompletion(Completion completion) {
  // The page that asked before gets its answer now: it waits for one.
  if (auto earlier = std::exchange(completion_, nullptr)) earlier(std::nullopt);
  if (!loupe_ || !loupe_->canSample()) {
    Alert::shared().beginSheet({unavailableMessage, unavailableInformative, {}}, nullptr, [](int) {});
    if (completion) completion(std::nullopt);
    return;
  }
  completion_ = std::move(completion);
  loupe_->show(*this);
}

void RWColorSampler::windowClickedWithColor(const Color& color) {
  auto completion = std::exchange(completion_, nullptr);
  if (loupe_) loupe_->hide();
  if (completion) completion(color);
}

void RWColorSampler::windowDidResignKey() {
  auto completion = std::exchange(completion_, nullptr);
  if (loupe_) loupe_->hide();
  if (completion) completion(std::nullopt);
}

RWColorSamplerGeometry::Rect RWColorSamplerGeometry::capture(double pointerX, double pointerY) {
  int x = static_cast<int>(std::floor(pointerX)), y = static_cast<int>(std::floor(pointerY));
  return {x - captureSize / 2, y - captureSize / 2, captureSize, captureSize};
}

RWColorSamplerGeometry::Rect RWColorSamplerGeometry::window(double pointerX, double pointerY) {
  int x = static_cast<int>(std::floor(pointerX)), y = static_cast<int>(std::floor(pointerY));
  return {x - windowSize / 2, y - windowSize / 2, windowSize, windowSize};
}

RWColorSamplerGeometry::Rect RWColorSamplerGeometry::label() {
  // 64 × 18, centred across, its bottom edge 30 above the loupe's, on whole pixels.
  int x = static_cast<int>(std::lround((windowSize - 64) / 2.0));
  return {x, windowSize - 30 - 18, 64, 18};
}

RWColorSamplerGeometry::Rect RWColorSamplerGeometry::centreSquare() {
  return {windowSize / 2 - 4, windowSize / 2 - 4, 8, 8};
}

bool RWColorSamplerGeometry::contains(const Rect& frame, double x, double y) {
  return x >= frame.x && y >= frame.y && x < frame.x + frame.width && y < frame.y + frame.height;
}
