#pragma once
// The project library ("korvel") as the project server reports it: installed version, newest
// version and whether an install runs, condensed into one of three statuses.

#include <optional>
#include <string>

#include "server/ServerState.h"

struct LibraryVersion {
  std::optional<std::string> current;
  std::optional<std::string> latest;
  bool isUpdating = false;

  struct Status {
    enum class Kind { outdated, upToDate, unavailable } kind = Kind::unavailable;
    std::string current;
    std::string latest;
  };

  LibraryVersion() = default;
  LibraryVersion(std::optional<std::string> current, std::optional<std::string> latest, bool isUpdating)
      : current(std::move(current)), latest(std::move(latest)), isUpdating(isUpdating) {}
  explicit LibraryVersion(const ServerState& state);

  // An older "latest" than the installed version is no update.
  Status state() const;
  static bool isNewer(const std::string& candidate, const std::string& installed);
};
