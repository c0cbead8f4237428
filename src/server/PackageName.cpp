#include "server/PackageName.h"

namespace PackageName {

namespace {
// One part of a name: lower-case letters, digits, "-", "~", "." and "_", starting with neither
// a dot nor an underscore nor a dash (which reads as an option).
bool isNamePart(std::string_view part) {
  if (part.empty() || part[0] == '.' || part[0] == '_' || part[0] == '-') return false;
  for (char c : part)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '~' || c == '.' || c == '_'))
      return false;
  return true;
}
}  // namespace

bool isAcceptable(std::string_view name) {
  if (name.empty() || name.size() > maximumLength) return false;
  if (name[0] != '@') return isNamePart(name);
  auto slash = name.find('/');
  return slash != std::string_view::npos && isNamePart(name.substr(1, slash - 1)) && isNamePart(name.substr(slash + 1));
}

}  // namespace PackageName
