// The device side of the preview window: values derived from the editor's selection and the
// catalog, the settings the menus send, and the settings menu.
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"
#include "platform/JsonCoder.h"
#include "preview/DeviceManager.h"
#include "preview/DeviceSettingsMenuController.h"
#include "preview/PreviewDocument.h"
#include "preview/PreviewMenu.h"
#include "preview/PreviewWindow.h"
#include "preview/PreviewWindowController.h"

#include "foundation/Menu.h"
#include "server/ServerController.h"

using json = nlohmann::json;

namespace {
const OstrelPreviewSettings* settingsOf(const std::optional<OstrelSelection>& s) {
  return s ? &s->metadata.settings : nullptr;
}
}  // namespace

std::string PreviewWindowController::currentDeviceType() const {
  const auto* s = settingsOf(selection_);
  return s && s->deviceType ? *s->deviceType : DeviceManager::Canvas;
}

std::optional<std::string> PreviewWindowController::deviceSkin() const {
  const auto* s = settingsOf(selection_);
  if (!s || !s->skin || currentDeviceType() == DeviceManager::Canvas) return std::nullopt;
  return s->skin;
}

std::string PreviewWindowController::deviceMenuType() const {
  return DeviceManager::createMenuType(currentDeviceType(), deviceSkin());
}

const DeviceDescriptor* PreviewWindowController::deviceDescriptor() const {
  const auto* s = settingsOf(selection_);
  if (s && s->deviceDescriptor) return &*s->deviceDescriptor;
  auto d = document_.lock();
  return d ? d->deviceManager().descriptorForDevice(currentDeviceType()) : nullptr;
}

std::optional<std::string> PreviewWindowController::selectionId() const {
  if (!selection_) return std::nullopt;
  return selection_->metadata.id;
}

bool PreviewWindowController::deviceIsCanvas() const { return currentDeviceType() == DeviceManager::Canvas; }

double PreviewWindowController::deviceZoom() const {
  const auto* s = settingsOf(selection_);
  return s && s->zoom ? *s->zoom : -1;
}

bool PreviewWindowController::deviceResponsive() const { return selection_ && selection_->metadata.settings.responsive; }
bool PreviewWindowController::deviceRotate() const { return selection_ && selection_->metadata.settings.rotate; }
bool PreviewWindowController::deviceTouchCursor() const { return selection_ && selection_->metadata.settings.touch; }

bool PreviewWindowController::deviceShowBezel() const {
  const auto* s = settingsOf(selection_);
  // A missing device type counts as a device here.
  return s && s->bezel && s->deviceType != std::optional<std::string>(DeviceManager::Canvas);
}

std::optional<std::string> PreviewWindowController::deviceHand() const {
  const auto* s = settingsOf(selection_);
  if (!s || !s->hand || s->hand->empty()) return std::nullopt;
  return s->hand;
}

bool PreviewWindowController::deviceShowHand() const { return deviceShowBezel() && deviceHand().has_value(); }

bool PreviewWindowController::deviceHasSize() const {
  const DeviceDescriptor* d = deviceDescriptor();
  return d && d->screen.width != 0 && d->screen.height != 0;
}

PreviewSizing::Size PreviewWindowController::deviceSize() const {
  const DeviceDescriptor* d = deviceDescriptor();
  if (!d) return {};
  return {double(d->screen.width), double(d->screen.height)};
}

bool PreviewWindowController::deviceHasHand() const {
  const DeviceDescriptor* d = deviceDescriptor();
  return d && d->hands && !d->hands->empty();
}

bool PreviewWindowController::deviceCanRotate() const {
  const DeviceDescriptor* d = deviceDescriptor();
  return d && d->canRotate.value_or(false);
}

void PreviewWindowController::emitSettings(const json& settings) {
  if (!selection_) return;
  if (sendPreviewSettings) {
    sendPreviewSettings(selection_->metadata.id, settings);
    return;
  }
  auto d = document_.lock();
  if (auto* editor = d ? d->editorForPreview() : nullptr) editor->updatePreviewSettings(selection_->metadata.id, settings);
}

void PreviewWindowController::ostrelPreviewUpdate(const std::string& text) {
  auto previousId = selectionId();
  Size previousSize = intrinsicContentSize();
  auto decoded = OstrelSelection::fromText(text);
  if (decoded) {
    selection_ = std::move(*decoded);
  } else {
    std::printf("Failed to decode Ostrel selection data: %s\n", decoded.error().description().c_str());
    std::fflush(stdout);
    selection_.reset();
  }
  if (previousId != selectionId()) postCanvasModeDeviceMenuType_.reset();
  updateTitle();
  setupMenu();
  // Another device, orientation or frame: the window takes its size; other settings keep the
  // size the person gave it.
  Size size = intrinsicContentSize();
  bool resized = size != previousSize && size.width > 0 && size.height > 0 && !wantsAttachedInspectorBehavior_;
  if (resized)
    resizeToIntrinsicSize();
  else
    setAspectRatio(true);
  auto d = document_.lock();
  if (auto* menu = d ? d->deviceMenuController() : nullptr) menu->updateDeviceMenuSelection();
}

void PreviewWindowController::handleDeviceMenuSelection(const std::string& menuType) {
  auto d = document_.lock();
  if (!selection_ || !d) return;
  auto [type, skin] = DeviceManager::parseMenuType(menuType);
  json settings = {{"deviceType", type}};
  const DeviceDescriptor* record = d->deviceManager().descriptorForDevice(type);
  if (skin && record && record->skins && record->skins->count(*skin)) {
    settings["skin"] = *skin;
    settings["bezel"] = true;
  } else {
    settings["skin"] = "";
    settings["bezel"] = false;
  }
  std::printf("Send preview settings: %s\n", JsonCoder::dump(settings).c_str());
  std::fflush(stdout);
  emitSettings(settings);
}

void PreviewWindowController::selectSkin(const PreviewMenuItem& item) {
  if (item.representedObject) handleDeviceMenuSelection(*item.representedObject);
}

void PreviewWindowController::clickDeviceMenuItem() {
  if (postCanvasModeDeviceMenuType_ && deviceIsCanvas()) handleDeviceMenuSelection(*postCanvasModeDeviceMenuType_);
  postCanvasModeDeviceMenuType_.reset();
}

namespace {
void canvasMode(PreviewWindowController& c, bool responsive, std::optional<std::string>& remembered,
                const std::function<void(const json&)>& emit) {
  if (!c.hasSelection()) return;
  remembered = c.deviceMenuType();
  c.handleDeviceMenuSelection(DeviceManager::Canvas);
  emit(json{{"responsive", responsive}});
}
}  // namespace

void PreviewWindowController::selectCanvasMode() {
  if (!document_.lock()) return;
  canvasMode(*this, false, postCanvasModeDeviceMenuType_, [this](const json& s) { emitSettings(s); });
}

void PreviewWindowController::selectResponsiveCanvasMode() {
  if (!document_.lock()) return;
  canvasMode(*this, true, postCanvasModeDeviceMenuType_, [this](const json& s) { emitSettings(s); });
}

void PreviewWindowController::toggleResponsive() {
  if (document_.lock() && selection_) emitSettings({{"responsive", !deviceResponsive()}});
}

void PreviewWindowController::toggleTouchCursor() {
  if (document_.lock() && selection_) emitSettings({{"touch", !deviceTouchCursor()}});
}

void PreviewWindowController::orientationButtonPressed() {
  if (!deviceCanRotate() || !selection_ || !document_.lock()) return;
  emitSettings({{"rotate", !selection_->metadata.settings.rotate}});
}

void PreviewWindowController::toggleHand() {
  if (!document_.lock() || !selection_) return;
  const DeviceDescriptor* d = deviceDescriptor();
  std::vector<std::string> hands;
  if (d && d->hands)
    for (auto it = d->hands->rbegin(); it != d->hands->rend(); ++it) hands.push_back(it->first);
  const auto& current = selection_->metadata.settings.hand;
  if (current && !current->empty() && !hands.empty()) {
    for (std::size_t i = 0; i < hands.size(); ++i) {
      if (hands[i] != *current) continue;
      emitSettings({{"hand", i + 1 < hands.size() ? json(hands[i + 1]) : json(nullptr)}});
      return;
    }
  }
  std::string skin;
  if (auto s = deviceSkin(); s && !s->empty())
    skin = *s;
  else if (d && d->skins && !d->skins->empty())
    skin = d->skins->begin()->first;
  emitSettings({{"hand", hands.empty() ? json(nullptr) : json(hands.front())},
                {"deviceType", currentDeviceType()},
                {"bezel", true},
                {"skin", skin}});
}

void PreviewWindowController::reloadPreview() {
  if (auto d = document_.lock()) d->reloadPreview();
}

std::string PreviewWindowController::getDeviceMenuOffStateLabel() const {
  auto d = document_.lock();
  if (d && postCanvasModeDeviceMenuType_) {
    auto type = DeviceManager::parseMenuType(*postCanvasModeDeviceMenuType_).type;
    if (const DeviceDescriptor* record = d->deviceManager().descriptorForDevice(type))
      return record->selector.value_or(record->title);
  }
  return "Device";
}

void PreviewWindowController::setupMenu() {
  if (!rotationMenuItem_) return;
  rotationMenuItem_->enabled = deviceCanRotate();
  bool showing = selection_ && !deviceIsCanvas();
  if (canvasMenuItem_) canvasMenuItem_->enabled = showing;
  if (deviceMenuItem_) {
    deviceMenuItem_->enabled = hasSelection();
    deviceMenuItem_->checked = showing;
    if (showing) {
      const DeviceDescriptor* d = deviceDescriptor();
      deviceMenuItem_->title = d ? d->selector.value_or(d->title) : "Nameless Device";
    } else {
      deviceMenuItem_->title = getDeviceMenuOffStateLabel();
    }
  }
  if (window_) window_->setRotationEnabled(deviceCanRotate());
}

bool PreviewWindowController::validateMenuItem(PreviewMenuItem& item) {
  if (!document_.lock()) return false;
  const std::string& a = item.action;
  bool responsive = selection_ && selection_->metadata.settings.responsive;
  if (a == "selectCanvasMode:") {
    item.checked = deviceIsCanvas() && !responsive;
    return true;
  }
  if (a == "selectResponsiveCanvasMode:") {
    item.checked = deviceIsCanvas() && responsive;
    return true;
  }
  if (a == "selectSkin:") {
    if (item.representedObject && selection_) item.checked = *item.representedObject == deviceMenuType();
    return true;
  }
  if (a == "toggleResponsive:") {
    item.checked = responsive;
    return hasSelection();
  }
  if (a == "toggleHand:") return hasSelection() && deviceHasHand() && !selection_->metadata.settings.rotate;
  if (a == "toggleTouchCursor:") {
    item.checked = deviceTouchCursor();
    return hasSelection();
  }
  if (a == "orientationButtonPressed:") return deviceCanRotate();
  if (a == "showPreviewInspector:" || &item == deviceMenuItem_) return hasSelection();
  if (a == "reloadPreview:" || a == "togglePreviewFullscreen:") return hasSelection();
  return true;
}

bool PreviewWindowController::perform(const PreviewMenuItem& item) {
  const std::string& a = item.action;
  if (a == "selectCanvasMode:") selectCanvasMode();
  else if (a == "selectResponsiveCanvasMode:") selectResponsiveCanvasMode();
  else if (a == "selectSkin:") selectSkin(item);
  else if (a == "clickDeviceMenuItem:") clickDeviceMenuItem();
  else if (a == "toggleResponsive:") toggleResponsive();
  else if (a == "toggleHand:") toggleHand();
  else if (a == "toggleTouchCursor:") toggleTouchCursor();
  else if (a == "orientationButtonPressed:") orientationButtonPressed();
  else if (a == "showPreviewInspector:") showInspector();
  else if (a == "reloadPreview:") reloadPreview();
  else if (a == "togglePreviewFullscreen:") togglePreviewFullscreen();
  else if (a == DeviceSettingsMenuController::handleSelectionAction) {
    auto d = document_.lock();
    if (auto* menu = d ? d->deviceMenuController() : nullptr) menu->handleSelection(item);
  } else {
    return false;
  }
  return true;
}

void PreviewWindowController::buildSettingsMenu() {
  settingsMenu_ = std::make_shared<PreviewMenu>();
  deviceCategoriesMenu_ = std::make_shared<PreviewMenu>();
  auto add = [this](const std::string& title, const std::string& action) {
    auto item = std::make_shared<PreviewMenuItem>(title, action);
    settingsMenu_->addItem(item);
    return item.get();
  };
  canvasMenuItem_ = add("Canvas", "selectCanvasMode:");
  canvasMenuItem_->representedObject = DeviceManager::Canvas;
  add("Responsive Canvas", "selectResponsiveCanvasMode:");
  deviceMenuItem_ = add("Device", "clickDeviceMenuItem:");
  settingsMenu_->addItem(PreviewMenuItem::separator());
  auto devices = std::make_shared<PreviewMenuItem>("Devices", "");
  devices->setSubmenu(deviceCategoriesMenu_);
  settingsMenu_->addItem(devices);
  settingsMenu_->addItem(PreviewMenuItem::separator());
  auto addAction = [&add](const std::string& title, const std::string& action) {
    PreviewMenuItem* item = add(title, action);
    item->isAction = true;
    return item;
  };
  rotationMenuItem_ = addAction("Rotate", "orientationButtonPressed:");
  addAction("Hand", "toggleHand:");
  add("Touch Cursor", "toggleTouchCursor:");
  add("Responsive", "toggleResponsive:");
  settingsMenu_->addItem(PreviewMenuItem::separator());
  auto* reload = addAction("Reload Preview", "reloadPreview:");
  reload->keyEquivalent = "r";
  reload->modifierMask = ModifierCommand;
  auto* inspector = addAction("Web Inspector", "showPreviewInspector:");
  inspector->keyEquivalent = "i";
  inspector->modifierMask = ModifierCommand | ModifierShift;
  auto* fullScreen = addAction("Full Screen", "togglePreviewFullscreen:");
  fullScreen->keyEquivalent = "\uF70E";  // F11
}

bool PreviewWindowController::performKeyEquivalent(const std::string& key, std::uint32_t modifierMask) {
  if (!settingsMenu_) return false;
  setupMenu();
  PreviewMenuItem* item = settingsMenu_->itemForKeyEquivalent(key, modifierMask);
  if (!item || !item->enabled || !validateMenuItem(*item)) return false;
  return perform(*item);
}
