#pragma once
// The one place that parses and dumps JSON: the parser's instantiation is costly to compile,
// so every other file calls these instead of nlohmann's parse and dump.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "Error.h"

namespace JsonCoder {

inline constexpr const char* ErrorDomain = "com.korvel.json";

// Arrays and objects nest at most this deep in what parse() accepts.
inline constexpr std::size_t maximumDepth = 512;

// Parses `text` as one JSON value; the error names the byte where it went wrong. Text nested
// deeper than maximumDepth is refused (code 2) with a log line.
Result<nlohmann::json> parse(std::string_view text);

// The same, for text whose strings may escape one half of a UTF-16 pair alone ("\ud83d"), as
// JSON allows and a page's string may hold: each such half is read as a private-use character
// (U+10F800 and on). For what only looks at the structure or at other members.
Result<nlohmann::json> parseAllowingLoneSurrogates(std::string_view text);

// Reads the JSON text of `input` as it comes and hands `visit` every string in it, object keys
// too, decoded; no tree is built, so no more is held than the longest string. `visit` returns
// false to stop there (a success). Text that is not one JSON value fails (code 1), as does text
// nested deeper than maximumDepth (code 2), after `visit` may have seen part of it.
Result<void> forEachString(std::istream& input, const std::function<bool(std::string_view)>& visit);

enum class Style {
  compact,  // no whitespace
  pretty,   // two-space indent
};
// Keys come out sorted (objects are ordered maps); invalid UTF-8 is replaced, never thrown.
std::string dump(const nlohmann::json& value, Style style = Style::compact);
// The same, or none as soon as the text would grow past `maximumSize` bytes: what is too large
// is never held whole.
std::optional<std::string> dump(const nlohmann::json& value, Style style, std::size_t maximumSize);

// The value of `member` in the top-level object of `text`, laid out as dump() lays that value out
// (keys sorted, the last of equal keys kept), without building it: a few times the text's size
// where a parsed value takes tens. Fails with code 1 when the text is malformed or no object
// holding the member, 2 when it nests deeper than maximumDepth, layoutTooLarge when the layout
// would take more than `maximumSize` bytes. A lone half of a UTF-16 pair escaped in a string
// ("\ud83d") is kept, escaped as it came.
inline constexpr int layoutTooLarge = 3;
Result<std::string> relayoutMember(std::string_view text, std::string_view member, Style style, std::size_t maximumSize);

// A number that is a whole value within [minimum, maximum]: 375 and 375.0 give 375; 375.5,
// 1e300, text and a value out of range give none. The range is checked before any conversion.
std::optional<std::int64_t> wholeNumber(const nlohmann::json& value,
                                        std::int64_t minimum = std::numeric_limits<std::int64_t>::min(),
                                        std::int64_t maximum = std::numeric_limits<std::int64_t>::max());

}  // namespace JsonCoder
