#pragma once
// The canvas host's errors, in the domain "Korvel.OstrelError".

#include <string>

#include "platform/Error.h"

namespace OstrelError {
inline constexpr const char* domain = "Korvel.OstrelError";
enum Code : long { ostrelNotFoundCode = 0, ostrelNotReadyCode = 1, designNotHeldCode = 2 };
// The installed editor's start page is missing at `url`.
Error ostrelNotFound(const std::string& url);
// The editor page has not reported "DocumentReady", or its web process ended.
Error ostrelNotReady();
// The editor page has not reported that it holds the document's design: what it would hand
// over is no design of this document's. Worded for the person.
Error designNotHeld();
}  // namespace OstrelError
