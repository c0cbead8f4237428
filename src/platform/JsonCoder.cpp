#include "JsonCoder.h"

#include <algorithm>
#include <cmath>
#include <istream>

#include <nlohmann/json.hpp>

#include "RWLog.h"

namespace JsonCoder {

namespace {

// How deep `text` nests arrays and objects, counted without parsing, stopping past `limit`.
std::size_t nestingDepth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) break;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// Hands on the strings of a text and keeps nothing of it; stops at the first error.
class StringVisitor final : public nlohmann::json::json_sax_t {
 public:
  explicit StringVisitor(const std::function<bool(std::string_view)>& visit) : visit_(visit) {}

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t& value) override { return visited(value); }
  bool binary(binary_t&) override { return true; }
  bool key(string_t& value) override { return visited(value); }
  bool start_object(std::size_t) override { return deeper(); }
  bool end_object() override { return shallower(); }
  bool start_array(std::size_t) override { return deeper(); }
  bool end_array() override { return shallower(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::json::exception& e) override {
    error_ = Error(ErrorDomain, 1, e.what());
    error_->with("byte", std::to_string(position));
    return false;
  }

  std::optional<Error> error_;
  bool stopped_ = false;

 private:
  bool visited(const string_t& value) {
    stopped_ = !visit_(value);
    return !stopped_;
  }
  bool deeper() {
    if (++depth_ <= maximumDepth) return true;
    error_ = Error(ErrorDomain, 2, "the JSON text nests deeper than " + std::to_string(maximumDepth) + " levels");
    return false;
  }
  bool shallower() {
    --depth_;
    return true;
  }

  const std::function<bool(std::string_view)>& visit_;
  std::size_t depth_ = 0;
};

}  // namespace

Result<void> forEachString(std::istream& input, const std::function<bool(std::string_view)>& visit) {
  StringVisitor visitor(visit);
  bool whole = false;
  try {
    whole = nlohmann::json::sax_parse(input, &visitor);
  } catch (const nlohmann::json::exception& e) {
    visitor.error_ = Error(ErrorDomain, 1, e.what());
  }
  if (visitor.error_) return fail(std::move(*visitor.error_));
  if (!whole && !visitor.stopped_) return fail(Error(ErrorDomain, 1, "the JSON text could not be read"));
  return {};
}

Result<nlohmann::json> parse(std::string_view text) {
  // Copies and comparisons of a value recurse once per level: outside input nests only so deep.
  if (nestingDepth(text, maximumDepth) > maximumDepth) {
    RWLog("Refused JSON nested deeper than " + std::to_string(maximumDepth) + " levels");
    return fail(Error(ErrorDomain, 2, "the JSON text nests deeper than " + std::to_string(maximumDepth) + " levels"));
  }
  try {
    return nlohmann::json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& e) {
    Error err(ErrorDomain, 1, e.what());
    err.with("byte", std::to_string(e.byte));
    return fail(std::move(err));
  } catch (const nlohmann::json::exception& e) {
    // Anything else the parser throws (a number too large for a double) is bad input too.
    return fail(Error(ErrorDomain, 1, e.what()));
  }
}

std::optional<std::int64_t> wholeNumber(const nlohmann::json& value, std::int64_t minimum, std::int64_t maximum) {
  std::int64_t whole = 0;
  if (value.is_number_unsigned()) {
    auto u = value.get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    whole = static_cast<std::int64_t>(u);
  } else if (value.is_number_integer()) {
    whole = value.get<std::int64_t>();
  } else if (value.is_number_float()) {
    double d = value.get<double>();
    // -2^63 and 2^63 are exact doubles; every whole double in [-2^63, 2^63) fits 64 bits.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
      return std::nullopt;
    whole = static_cast<std::int64_t>(d);
  } else {
    return std::nullopt;
  }
  if (whole < minimum || whole > maximum) return std::nullopt;
  return whole;
}

std::string dump(const nlohmann::json& value, Style style) {
  return value.dump(style == Style::pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace JsonCoder
