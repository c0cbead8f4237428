#pragma once
// Entry names: UTF-8 when the entry says so, else the DOS Latin US code page (437).

#include <cstdint>
#include <optional>
#include <span>
#include <string>

enum class ZZFileNameEncoding { utf8, codePage437 };

// The name bytes as UTF-8 text, or none when they are not valid in `encoding`.
std::optional<std::string> zzDecodeFileName(std::span<const std::uint8_t> bytes, ZZFileNameEncoding encoding);
bool zzIsValidUTF8(std::span<const std::uint8_t> bytes);
