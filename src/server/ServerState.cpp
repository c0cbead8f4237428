#include "ServerState.h"

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

namespace {

using json = nlohmann::json;

// Each reader answers false when the value breaks the rules; `out` is set only on success.
bool readString(const json& object, const char* key, std::string& out) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool readOptionalString(const json& object, const char* key, std::optional<std::string>& out) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool readOutdated(const json& value, ServerState::OutdatedPackage& out) {
  return value.is_object() && readString(value, "name", out.name) && readString(value, "current", out.current) &&
         readString(value, "wanted", out.wanted) && readString(value, "latest", out.latest) &&
         readString(value, "type", out.type);
}

bool readTask(const json& value, ServerState::Task& out) {
  if (!value.is_object() || !readString(value, "name", out.name)) return false;
  auto context = value.find("context");
  if (context == value.end() || context->is_null()) return true;
  if (!context->is_object()) return false;
  ServerState::InstallContext install;
  if (!readOptionalString(*context, "packageName", install.packageName) ||
      !readOptionalString(*context, "packageVersion", install.packageVersion))
    return false;
  out.context = std::move(install);
  return true;
}

bool readLiveSharing(const json& value, ServerState::LiveSharingState& out) {
  return value.is_object() && readString(value, "status", out.status) && readOptionalString(value, "url", out.url);
}

}  // namespace

std::optional<ServerState> ServerState::fromObject(const json& object) {
  if (!object.is_object()) return std::nullopt;
  ServerState state;
  if (!readOptionalString(object, "url", state.url)) return std::nullopt;

  auto running = object.find("running");
  if (running == object.end() || !running->is_boolean()) return std::nullopt;
  state.running = running->get<bool>();

  if (!readOptionalString(object, "script", state.script)) return std::nullopt;

  auto packages = object.find("packages");
  if (packages == object.end() || !packages->is_array()) return std::nullopt;
  for (const auto& name : *packages) {
    if (!name.is_string()) return std::nullopt;
    state.packages.push_back(name.get<std::string>());
  }

  auto outdated = object.find("outdated");
  if (outdated == object.end() || !outdated->is_array()) return std::nullopt;
  for (const auto& entry : *outdated) {
    OutdatedPackage package;
    if (!readOutdated(entry, package)) return std::nullopt;
    state.outdated.push_back(std::move(package));
  }

  auto tasks = object.find("tasks");
  if (tasks == object.end() || !tasks->is_object()) return std::nullopt;
  for (const auto& [identifier, entry] : tasks->items()) {
    Task task;
    if (!readTask(entry, task)) return std::nullopt;
    state.tasks.emplace(identifier, std::move(task));
  }

  if (!readOptionalString(object, "libraryVersion", state.libraryVersion)) return std::nullopt;

  auto liveSharing = object.find("liveSharing");
  if (liveSharing == object.end() || !readLiveSharing(*liveSharing, state.liveSharing)) return std::nullopt;
  return state;
}

std::optional<ServerState> ServerState::fromData(std::string_view data) {
  auto parsed = JsonCoder::parse(data);
  if (!parsed) return std::nullopt;
  return fromObject(*parsed);
}
