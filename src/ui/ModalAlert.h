#pragma once
// Builds an alert in one call from a message, up to three button titles and an informative
// text; showing it and reading the answer (Alert::firstButtonReturn and on, in the order the
// buttons were added) stay the caller's. An empty title is still a button; only none leaves it out.

#include <optional>
#include <string>

#include "platform/Alert.h"

namespace ModalAlert {
AlertSpec alertWithMessageText(const std::string& message, const std::string& defaultButton,
                               const std::optional<std::string>& alternateButton,
                               const std::optional<std::string>& otherButton, const std::string& informativeText);
}  // namespace ModalAlert
