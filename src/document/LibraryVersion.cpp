#include "document/LibraryVersion.h"

LibraryVersion::LibraryVersion(const ServerState& state) : current(state.libraryVersion) {
  for (auto& package : state.outdated)
    if (package.name == "korvel") latest = package.latest;
  for (auto& [key, task] : state.tasks)
    if (task.context && task.context->packageName == "korvel") isUpdating = true;
}

LibraryVersion::Status LibraryVersion::state() const {
  using Kind = Status::Kind;
  if (!current) return {Kind::unavailable, {}, {}};
  if (!latest || *current == *latest) return {Kind::upToDate, {}, *current};
  return {Kind::outdated, *current, *latest};
}
