#include "document/LibraryVersion.h"

#include <algorithm>
#include <vector>

LibraryVersion::LibraryVersion(const ServerState& state) : current(state.libraryVersion) {
  for (auto& package : state.outdated)
    if (package.name == "korvel") latest = package.latest;
  for (auto& [key, task] : state.tasks)
    if (task.context && task.context->packageName == "korvel") isUpdating = true;
}

LibraryVersion::Status LibraryVersion::state() const {
  using Kind = Status::Kind;
  if (!current) return {Kind::unavailable, {}, {}};
  if (!latest || !isNewer(*latest, *current)) return {Kind::upToDate, {}, *current};
  return {Kind::outdated, *current, *latest};
}

// Dotted numbers compare part by part ("1.10" is newer than "1.9"); a version that isn't
// dotted numbers is newer only when it differs, as the server knows best then.
bool LibraryVersion::isNewer(const std::string& candidate, const std::string& installed) {
  auto parts = [](const std::string& text) -> std::optional<std::vector<unsigned long>> {
    std::vector<unsigned long> out;
    std::size_t start = 0;
    for (;;) {
      auto end = text.find('.', start);
      auto part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
      out.push_back(std::stoul(part));
      if (end == std::string::npos) return out;
      start = end + 1;
    }
  };
  auto a = parts(candidate), b = parts(installed);
  if (!a || !b) return candidate != installed;
  a->resize(std::max(a->size(), b->size()));
  b->resize(a->size());
  return *a > *b;
}
