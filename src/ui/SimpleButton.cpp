#include "ui/SimpleButton.h"

SimpleButtonLook SimpleButtonLook::resolve(const SimpleButtonColors& colors, SimpleButtonState state, bool enabled,
                                           const SimpleButtonLook& shown) {
  SimpleButtonLook look = shown;
  // A disabled button is never shown pressed, whatever the pointer did.
  if (state == SimpleButtonState::pressed && enabled) {
    if (colors.backgroundPressed) look.background = colors.backgroundPressed;
    if (colors.borderPressed) look.border = colors.borderPressed;
  } else {
    look.background = colors.background;
    look.border = colors.border;
  }
  look.labelColor = colors.label;
  look.labelBackground = colors.background;
  if (state == SimpleButtonState::pressed && enabled) {
    if (colors.backgroundPressed) look.labelBackground = colors.backgroundPressed;
    if (colors.labelPressed) look.labelColor = colors.labelPressed;
  }
  if (!enabled) {
    if (colors.backgroundDisabled) look.background = look.labelBackground = colors.backgroundDisabled;
    if (colors.borderDisabled) look.border = colors.borderDisabled;
    if (colors.labelDisabled) look.labelColor = colors.labelDisabled;
  }
  return look;
}

void SimpleButton::setTitle(const std::string& title) {
  label_ = title;
  updateLabel();
}

void SimpleButton::setFont(AntiAliasedFont font) {
  font_ = std::move(font);
  updateLabel();
}

void SimpleButton::setKerning(double kerning) {
  kerning_ = kerning;
  updateButton();
}

void SimpleButton::setEnabled(bool enabled) {
  enabled_ = enabled;
  if (!enabled) {
    state_ = SimpleButtonState::normal;
    tracking_ = false;
  }
  updateButton();
}

void SimpleButton::updateButton() {
  look_ = SimpleButtonLook::resolve(colors_, state_, enabled_, look_);
  updateLabel();
  redraw();
}

void SimpleButton::mouseDown() {
  if (!enabled_) return;
  tracking_ = true;
  state_ = SimpleButtonState::pressed;
  updateButton();
}

void SimpleButton::mouseDragged(bool inside) {
  if (!enabled_ || !tracking_) return;
  state_ = inside ? SimpleButtonState::pressed : SimpleButtonState::normal;
  updateButton();
}

bool SimpleButton::mouseUp(bool inside) {
  bool send = tracking_ && enabled_ && inside;
  tracking_ = false;
  state_ = SimpleButtonState::normal;
  updateButton();
  if (!send) return false;
  if (auto action = action_) action();
  return true;
}
