#include "ScriptPrologue.h"

#include <optional>

namespace {

using Text = std::string_view;

bool startsWith(Text s, std::size_t at, Text what) { return s.compare(at, what.size(), what) == 0; }

// LF, CR, U+2028 and U+2029: the length of the one at `at`, or 0.
std::size_t lineTerminatorAt(Text s, std::size_t at) {
  if (s[at] == '\n' || s[at] == '\r') return 1;
  if (startsWith(s, at, "\xE2\x80\xA8") || startsWith(s, at, "\xE2\x80\xA9")) return 3;
  return 0;
}

// Tab, vertical tab, form feed, space, no-break space, the byte order mark and the other space
// separators: the length of the one at `at`, or 0.
std::size_t whitespaceAt(Text s, std::size_t at) {
  unsigned char c = static_cast<unsigned char>(s[at]);
  if (c == '\t' || c == '\v' || c == '\f' || c == ' ') return 1;
  if (c < 0xC2) return 0;
  for (Text space : {"\xC2\xA0", "\xEF\xBB\xBF", "\xE1\x9A\x80", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"})
    if (startsWith(s, at, space)) return space.size();
  // U+2000 to U+200A
  if (startsWith(s, at, "\xE2\x80") && at + 2 < s.size() && static_cast<unsigned char>(s[at + 2]) >= 0x80 &&
      static_cast<unsigned char>(s[at + 2]) <= 0x8A)
    return 3;
  return 0;
}

// Past whitespace, line terminators and comments from `at`; none for a comment left open.
// `crossedLine` tells whether a line ended on the way.
std::optional<std::size_t> skipSpace(Text s, std::size_t at, bool& crossedLine) {
  crossedLine = false;
  while (at < s.size()) {
    if (std::size_t n = whitespaceAt(s, at)) {
      at += n;
    } else if (std::size_t n = lineTerminatorAt(s, at)) {
      at += n;
      crossedLine = true;
    } else if (startsWith(s, at, "//") || startsWith(s, at, "<!--") || (crossedLine && startsWith(s, at, "-->"))) {
      // The line comments of classic scripts, and the two of old pages: "<!--" anywhere, "-->"
      // first on its line.
      at += 2;
      while (at < s.size() && !lineTerminatorAt(s, at)) ++at;
    } else if (startsWith(s, at, "/*")) {
      std::size_t close = s.find("*/", at + 2);
      if (close == Text::npos) return std::nullopt;
      for (std::size_t i = at + 2; i < close; ++i) crossedLine = crossedLine || lineTerminatorAt(s, i);
      at = close + 2;
    } else {
      break;
    }
  }
  return at;
}

// Past the string literal that starts at `at`; none when it does not end on its line.
std::optional<std::size_t> skipString(Text s, std::size_t at) {
  const char quote = s[at];
  for (std::size_t i = at + 1; i < s.size(); ++i) {
    if (s[i] == quote) return i + 1;
    if (s[i] == '\n' || s[i] == '\r') return std::nullopt;
    if (s[i] != '\\') continue;
    if (++i == s.size()) return std::nullopt;
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;  // a line continuation
    // Any other escaped byte is stepped over whole: neither a quote nor a "\" is ever part of a
    // longer character.
  }
  return std::nullopt;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDigit(c) || c == '_' || c == '$';
}

// Whether the token at `at`, on a line after a string literal, cannot go on with that string's
// expression, so that the line's end closes the string's statement.
bool beginsAnotherStatement(Text s, std::size_t at) {
  const char c = s[at];
  auto next = [&](std::size_t k) { return at + k < s.size() ? s[at + k] : '\0'; };
  if (c == '\'' || c == '"' || c == '{' || c == '~' || isDigit(c)) return true;
  if (c == '.') return isDigit(next(1));                  // a number, not a property
  if (c == '+' || c == '-') return next(1) == c;          // "++" and "--" never follow on the line
  if (c == '!') return next(1) != '=';                    // "!" alone is no operator between two
  if (!isWordByte(c)) return false;                       // an operator, a bracket, a template
  std::size_t end = at;
  while (end < s.size() && isWordByte(s[end])) ++end;
  if (end < s.size() && (s[end] == '\\' || static_cast<unsigned char>(s[end]) >= 0x80)) return false;
  Text word = s.substr(at, end - at);
  return word != "in" && word != "instanceof";
}

}  // namespace

std::size_t ScriptPrologue::hashbangEnd(std::string_view s) {
  if (!startsWith(s, 0, "#!")) return 0;
  std::size_t at = 2;
  while (at < s.size() && !lineTerminatorAt(s, at)) ++at;
  return at;
}

std::size_t ScriptPrologue::end(std::string_view s) {
  std::size_t end = 0;
  std::size_t at = 0;
  bool crossedLine = false;
  for (;;) {
    auto start = skipSpace(s, at, crossedLine);
    if (!start || *start >= s.size() || (s[*start] != '\'' && s[*start] != '"')) return end;
    auto close = skipString(s, *start);
    if (!close) return end;
    auto after = skipSpace(s, *close, crossedLine);
    if (!after) return end;
    if (*after >= s.size()) return *close;  // the script's last statement
    if (s[*after] == ';') {
      end = at = *after + 1;
    } else if (crossedLine && beginsAnotherStatement(s, *after)) {
      end = at = *close;
    } else {
      return end;  // the string goes on as an expression: no directive
    }
  }
}
