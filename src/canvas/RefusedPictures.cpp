#include "canvas/RefusedPictures.h"

namespace RefusedPictures {

namespace {

// Files named in the alert; the rest are counted.
constexpr std::size_t namedInAlert = 5;

// A message ends as a sentence does.
std::string sentence(std::string text) {
  if (text.empty()) return notAPicture;
  if (text.back() != '.') text += '.';
  return text;
}

}  // namespace

std::string reason(const Error& error) { return sentence(error.message); }

std::optional<AlertSpec> alert(const std::vector<Refusal>& refused) {
  if (refused.empty()) return std::nullopt;
  std::string details;
  for (std::size_t i = 0; i < refused.size() && i < namedInAlert; ++i) {
    const auto& r = refused[i];
    if (i) details += "\n";
    details += (r.name.empty() ? std::string("A file") : "“" + r.name + "”") + ": " + sentence(r.reason);
  }
  if (refused.size() > namedInAlert)
    details += "\nAnd " + std::to_string(refused.size() - namedInAlert) + " more not added.";
  std::string message = refused.size() == 1 ? (refused[0].name.empty() ? std::string("A file was not added as a picture.")
                                                                         : "“" + refused[0].name + "” was not added as a picture.")
                                            : std::to_string(refused.size()) + " files were not added as pictures.";
  return AlertSpec{message, details, {}};
}

}  // namespace RefusedPictures
