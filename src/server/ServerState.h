#pragma once
// The project server's state: printed as one JSON line when the server has started, then
// pushed as "state". Decoding is strict: keys match exactly, unknown keys are ignored, optional
// keys may be absent or null, and a required key that is missing, null or of another type
// anywhere rejects the whole state. Any thread.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

struct ServerState {
  struct OutdatedPackage {
    std::string name, current, wanted, latest, type;
    bool operator==(const OutdatedPackage&) const = default;
  };
  struct InstallContext {
    std::optional<std::string> packageName, packageVersion;
    bool operator==(const InstallContext&) const = default;
  };
  struct Task {
    std::string name;
    std::optional<InstallContext> context;
    bool operator==(const Task&) const = default;
  };
  struct LiveSharingState {
    std::string status;
    std::optional<std::string> url;  // where other devices open the shared prototype
    bool operator==(const LiveSharingState&) const = default;
  };

  std::optional<std::string> url;
  bool running = false;
  std::optional<std::string> script;
  std::vector<std::string> packages;
  std::vector<OutdatedPackage> outdated;
  std::map<std::string, Task> tasks;  // by task identifier
  std::optional<std::string> libraryVersion;
  LiveSharingState liveSharing;

  bool operator==(const ServerState&) const = default;

  // The first argument of a "state" push; nothing when it is not an object or does not decode.
  static std::optional<ServerState> fromObject(const nlohmann::json& object);
  // JSON text, such as a state line of the server's output.
  static std::optional<ServerState> fromData(std::string_view data);
};
