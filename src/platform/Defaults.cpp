#include "Defaults.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include <algorithm>

#include "FileSystem.h"
#include "JsonCoder.h"
#include "RWLog.h"
#include "Xdg.h"

using nlohmann::json;

Defaults& Defaults::standard() {
  static Defaults* shared = new Defaults(standardFile());  // lives for the process
  return *shared;
}

std::filesystem::path Defaults::standardFile() { return xdg::configHome() / "Korvel" / "defaults.json"; }

Defaults::Defaults(std::filesystem::path file)
    : file_(std::move(file)),
      stored_(std::make_unique<json>(json::object())),
      registered_(std::make_unique<json>(json::object())),
      alive_(std::make_shared<bool>(true)) {
  load();
}

Defaults::~Defaults() {
  *alive_ = false;
  if (dirty_) (void)save();
}

void Defaults::load() {
  std::error_code ec;
  auto size = std::filesystem::file_size(file_, ec);
  if (ec) return;  // first run: nothing stored yet
  const char* why = "is not a JSON object";
  if (size > maximumFileSize) {
    // Settings are small; a file this large would take the start-up with it.
    why = "is too large";
  } else {
    auto text = fs::readText(file_);
    if (!text) return;
    auto parsed = JsonCoder::parse(*text);
    if (parsed && parsed->is_object()) {
      *stored_ = std::move(*parsed);
      return;
    }
  }
  // Keep the unreadable file for the user rather than overwrite it with an empty object.
  auto aside = file_;
  aside += ".unreadable";
  (void)fs::moveItem(file_, aside);
  RWLog("Defaults: " + file_.string() + " " + why + "; moved aside to " + aside.string(), 3);
}

Result<void> Defaults::save() {
  if (auto r = fs::createDirectories(file_.parent_path(), 0700); !r) return r;
  auto r = fs::writeAtomically(file_, JsonCoder::dump(*stored_, JsonCoder::Style::compact), 0600);
  if (r) {
    dirty_ = false;
  } else {
    RWLog("Defaults: could not write " + file_.string() + ": " + r.error().description(), 3);
  }
  return r;
}

Result<void> Defaults::synchronize() {
  if (!dirty_) return {};
  return save();
}

void Defaults::registerDefaults(const json& object) {
  if (!object.is_object()) return;
  for (auto it = object.begin(); it != object.end(); ++it) (*registered_)[it.key()] = it.value();
}

Result<void> Defaults::registerDefaultsFromFile(const std::filesystem::path& file) {
  auto text = fs::readText(file);
  if (!text) return fail(text.error());
  auto parsed = JsonCoder::parse(*text);
  if (!parsed) return fail(parsed.error());
  if (!parsed->is_object()) return fail(JsonCoder::ErrorDomain, 2, file.string() + " does not hold a JSON object");
  registerDefaults(*parsed);
  return {};
}

bool Defaults::has(const std::string& key) const { return stored_->contains(key) || registered_->contains(key); }

json Defaults::value(const std::string& key) const {
  if (auto it = stored_->find(key); it != stored_->end()) return *it;
  if (auto it = registered_->find(key); it != registered_->end()) return *it;
  return nullptr;
}

std::optional<std::string> Defaults::string(const std::string& key) const {
  json v = value(key);
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_integer()) return std::to_string(v.get<std::int64_t>());
  if (v.is_number()) return std::to_string(v.get<double>());
  return std::nullopt;
}

double Defaults::doubleValue(const std::string& key) const {
  json v = value(key);
  if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) {
    const auto& s = v.get_ref<const std::string&>();
    if (s == "YES" || s == "true") return 1;
    try {
      return std::stod(s);
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

std::int64_t Defaults::integer(const std::string& key) const {
  json v = value(key);
  if (v.is_number_integer()) return v.get<std::int64_t>();
  double d = doubleValue(key);
  // The file may hold any number: beyond 64 bits it counts as none.
  if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) return 0;
  return static_cast<std::int64_t>(d);
}

bool Defaults::boolValue(const std::string& key) const { return doubleValue(key) != 0; }

void Defaults::set(const std::string& key, const json& v) {
  if (v.is_null()) {
    remove(key);
    return;
  }
  if (auto it = stored_->find(key); it != stored_->end() && *it == v) return;
  (*stored_)[key] = v;
  dirty_ = true;
  (void)save();
  changed(key);
}

void Defaults::setString(const std::string& key, const std::string& v) { set(key, json(v)); }
void Defaults::setBool(const std::string& key, bool v) { set(key, json(v)); }
void Defaults::setInteger(const std::string& key, std::int64_t v) { set(key, json(v)); }
void Defaults::setDouble(const std::string& key, double v) { set(key, json(v)); }

void Defaults::remove(const std::string& key) {
  if (!stored_->contains(key)) return;
  stored_->erase(key);
  dirty_ = true;
  (void)save();
  changed(key);
}

void Defaults::changed(const std::string& key) {
  std::vector<std::shared_ptr<Observer>> matching;
  for (auto& o : observers_)
    if (o->key == key) matching.push_back(o);
  for (auto& o : matching)
    if (o->active) o->handler();
}

ObserverToken Defaults::observe(std::string key, std::function<void()> handler) {
  auto o = std::make_shared<Observer>(Observer{std::move(key), std::move(handler)});
  observers_.push_back(o);
  std::weak_ptr<bool> alive = alive_;
  std::weak_ptr<Observer> weak = o;
  return ObserverToken([this, alive, weak] {
    auto a = alive.lock();
    auto obs = weak.lock();
    if (!a || !*a || !obs) return;
    obs->active = false;
    std::erase(observers_, obs);
  });
}
