#pragma once
// What a person is told of files they dropped or chose that were not added as pictures: each by
// its name, with why. Plain decisions; any thread.

#include <optional>
#include <string>
#include <vector>

#include "platform/Alert.h"
#include "platform/Error.h"

namespace RefusedPictures {

struct Refusal {
  std::string name;    // the file's name, without its folder; may be empty
  std::string reason;  // a sentence
};

// The reason told for a file that is no picture by its type or content.
inline constexpr const char* notAPicture = "It is not a picture.";

// The reason told for a picture whose decoding failed with `error`.
std::string reason(const Error& error);

// The alert naming the files refused (the first few, the rest counted) and why; none when none
// was refused.
std::optional<AlertSpec> alert(const std::vector<Refusal>& refused);

}  // namespace RefusedPictures
