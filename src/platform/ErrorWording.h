#pragma once
// Errors put in a person's words before they reach an alert: what went wrong and where, from
// the system call's errno that an error or one of its causes carries. Any thread.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Error.h"

namespace ErrorWording {
inline constexpr const char* failureReasonKey = "NSLocalizedFailureReason";
inline constexpr const char* recoverySuggestionKey = "NSLocalizedRecoverySuggestion";

// The errno of the first cause that comes from a system call (Cocoa file codes count too).
std::optional<int> systemCode(const Error& error);
// Why writing `url` failed: "You don't have permission to save in “folder”." and the like.
std::string whyWritingFailed(const Error& error, const std::filesystem::path& url);
// Why reading `url` failed.
std::string whyReadingFailed(const Error& error, const std::filesystem::path& url);
// `error` with `heading` as its failure reason and `reason` as the alert's text, the original
// beneath for the log. An error that already has a failure reason is kept as it is.
Error presentable(const Error& error, const std::string& heading, const std::string& reason);
// An error whose message was written for the log, never for a person: heading and reason
// say only what the error itself can tell.
Error presentable(const Error& error);
}  // namespace ErrorWording
