#include "welcome/WelcomeWindowController.h"

#include <nlohmann/json.hpp>

#include "platform/Defaults.h"
#include "welcome/WelcomeWindow.h"

WelcomeWindowController::WelcomeWindowController() = default;
WelcomeWindowController::~WelcomeWindowController() = default;

bool WelcomeWindowController::shouldShowOnStartup() {
  auto& defaults = Defaults::standard();
  auto stored = defaults.value(WelcomeControllerConstants::WelcomeWindowShowOnStartup);
  if (stored.is_boolean()) return stored.get<bool>();
  if (stored.is_number()) return stored.get<double>() != 0;
  defaults.setBool(WelcomeControllerConstants::WelcomeWindowShowOnStartup, true);
  (void)defaults.synchronize();
  return true;
}

void WelcomeWindowController::loadWindow() {
  if (!window_) window_ = std::make_unique<WelcomeWindow>();
}

void WelcomeWindowController::showWindow() {
  loadWindow();
  window_->refreshRecents();
  window_->makeKeyAndOrderFront();
}

void WelcomeWindowController::reloadWindow() {
  if (window_) window_->refreshRecents();
}

void WelcomeWindowController::close() {
  if (window_) window_->close();
}

bool WelcomeWindowController::isKeyWindow() const {
  return window_ && window_->isKeyWindow();
}

bool WelcomeWindowController::validateMenuItem(const std::string& action) const {
  return window_ && window_->validateMenuItem(action);
}

bool WelcomeWindowController::perform(const std::string& action) {
  return window_ && window_->perform(action);
}
