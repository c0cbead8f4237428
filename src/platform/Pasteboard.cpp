#include "Pasteboard.h"

#include <algorithm>

Pasteboard& Pasteboard::general() {
  // Never destroyed: the toolkit may still ask it for data while the process ends.
  static Pasteboard* pasteboard = new Pasteboard("general", makeClipboardBackend());
  return *pasteboard;
}

std::shared_ptr<Pasteboard> Pasteboard::withName(const std::string& name) {
  static std::map<std::string, std::shared_ptr<Pasteboard>> named;
  auto& entry = named[name];
  if (!entry) entry = std::make_shared<Pasteboard>(name);
  return entry;
}

Pasteboard::Pasteboard(std::string name, std::unique_ptr<Backend> backend)
    : name_(std::move(name)), backend_(std::move(backend)), contents_(std::make_shared<Contents>()) {
  // Until we write, the clipboard is whatever the desktop holds.
  if (backend_) contents_->held = false;
}

void Pasteboard::declareTypes(const std::vector<std::string>& types) {
  contents_->types.clear();
  for (const auto& type : types)
    if (std::find(contents_->types.begin(), contents_->types.end(), type) == contents_->types.end())
      contents_->types.push_back(type);
  contents_->data.clear();
  ++contents_->generation;
  contents_->held = true;
  if (backend_) backend_->offer(contents_);
}

bool Pasteboard::setData(const Data& data, const std::string& type) {
  if (!contents_->held) return false;
  auto& types = contents_->types;
  if (std::find(types.begin(), types.end(), type) == types.end()) return false;
  contents_->data[type] = data;
  return true;
}

bool Pasteboard::setString(const std::string& text, const std::string& type) { return setData(dataFromString(text), type); }

std::vector<std::string> Pasteboard::types() const {
  if (backend_ && !contents_->held) return backend_->foreignTypes();
  return contents_->types;
}

std::optional<Data> Pasteboard::dataForType(const std::string& type) const {
  if (backend_ && !contents_->held) return backend_->foreignData(type);
  auto it = contents_->data.find(type);
  if (it == contents_->data.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> Pasteboard::stringForType(const std::string& type) const {
  auto data = dataForType(type);
  if (!data) return std::nullopt;
  return stringFromData(*data);
}
