#pragma once
// The logging front end. Levels: 0 "default", 1 "memory" (debug), 2 "server", 3 "server" as an
// error; any other level writes nothing. Lines go through GLib's structured log (journald when
// present, else standard error) under the bundle identifier. Any thread.
//
// Sign-in tokens never reach a log: registered secrets are blanked, and so is whatever follows
// "token=", "fut=", "Token " or "--token ".

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using RWLogLevel = std::uint8_t;

// Longer lines are cut here (with "…"): what a page sends can't fill the log.
inline constexpr std::size_t RWLogMaximumLength = 2048;

void RWLog(std::string_view message, RWLogLevel level = 0);

namespace RWLogSecrets {
void add(const std::string& secret);
void remove(const std::string& secret);
// `text` with every secret blanked, as RWLog writes it.
std::string redact(std::string_view text);
}  // namespace RWLogSecrets
