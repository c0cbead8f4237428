#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"

namespace {
std::string nested(std::size_t depth, char open = '[', char close = ']') {
  return std::string(depth, open) + std::string(depth, close);
}
}  // namespace

TEST(JsonCoder, OutsideTextNestsOnlySoDeep) {
  const std::size_t limit = JsonCoder::maximumDepth;
  std::string deepObject;
  for (std::size_t i = 0; i <= limit; ++i) deepObject += "{\"a\":";
  deepObject += "1" + std::string(limit + 1, '}');
  struct Case {
    std::string what, text;
    long code;  // 0: parses
  } cases[] = {
      {"at the limit", nested(limit), 0},
      {"one past it", nested(limit + 1), 2},
      {"a page's hostile message", "{\"method\":\"x\",\"arguments\":" + nested(60000) + "}", 2},
      {"objects past it", deepObject, 2},
      {"brackets inside strings", "[\"" + nested(limit + 10) + "\\\"[[\"]", 0},
      {"malformed but shallow", "[[1,", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto parsed = JsonCoder::parse(c.text);
    EXPECT_EQ(parsed ? 0 : parsed.error().code, c.code);
  }
}

// Read string by string, a text is accepted and refused as parsing it whole is, and each
// string, key or value, comes decoded.
TEST(JsonCoder, ReadStringByStringAcceptsWhatParsingDoes) {
  const std::size_t limit = JsonCoder::maximumDepth;
  struct Case {
    std::string what, text;
    std::vector<std::string> strings;
    long code;  // 0: read whole
  } cases[] = {
      {"keys and values", R"({"a":["b",1,{"c":"d"}],"e":null})", {"a", "b", "c", "d", "e"}, 0},
      {"escapes decoded", R"(["a\"b\u00e9\ud83d\ude00\/"])", {"a\"b\u00e9\U0001F600/"}, 0},
      {"at the depth limit", nested(limit), {}, 0},
      {"past it", nested(limit + 1), {}, 2},
      {"malformed after a string", R"(["seen", 1,])", {"seen"}, 1},
      {"two values", R"("one" "two")", {"one"}, 1},
      {"empty", "", {}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::istringstream input(c.text);
    std::vector<std::string> strings;
    auto read = JsonCoder::forEachString(input, [&](std::string_view s) {
      strings.emplace_back(s);
      return true;
    });
    EXPECT_EQ(read ? 0 : read.error().code, c.code);
    EXPECT_EQ(read ? 0 : read.error().code, [&] {
      auto parsed = JsonCoder::parse(c.text);
      return parsed ? 0 : parsed.error().code;
    }());
    EXPECT_EQ(strings, c.strings);
  }
  // Stopped by the reader: a success, with the rest unread.
  std::istringstream input(R"(["a","b","c",)");
  std::vector<std::string> strings;
  EXPECT_TRUE(JsonCoder::forEachString(input, [&](std::string_view s) {
    strings.emplace_back(s);
    return s != "b";
  }));
  EXPECT_EQ(strings, (std::vector<std::string>{"a", "b"}));
}

TEST(JsonCoder, WholeNumbersAreCheckedBeforeTheyAreConverted) {
  constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
  const struct {
    const char* text;
    std::int64_t minimum, maximum;
    std::optional<std::int64_t> whole;
  } cases[] = {
      {"375", lowest, highest, 375},
      {"375.0", lowest, highest, 375},
      {"-0.0", lowest, highest, 0},
      {"375.5", lowest, highest, std::nullopt},
      {"1e300", lowest, highest, std::nullopt},
      {"-1e300", lowest, highest, std::nullopt},
      {"9223372036854775807", lowest, highest, highest},
      {"9223372036854775808", lowest, highest, std::nullopt},
      {"18446744073709551615", lowest, highest, std::nullopt},
      {"9223372036854775808.0", lowest, highest, std::nullopt},
      {"-9223372036854775808.0", lowest, highest, lowest},
      {"-9223372036854775808", lowest, highest, lowest},
      {"1e300", 0, 100, std::nullopt},
      {"101", 0, 100, std::nullopt},
      {"100.0", 0, 100, 100},
      {"-1", 0, 100, std::nullopt},
      {"\"3\"", lowest, highest, std::nullopt},
      {"true", lowest, highest, std::nullopt},
      {"null", lowest, highest, std::nullopt},
  };
  for (const auto& c : cases) {
    auto value = JsonCoder::parse(c.text);
    ASSERT_TRUE(value) << c.text;
    EXPECT_EQ(JsonCoder::wholeNumber(*value, c.minimum, c.maximum), c.whole) << c.text;
  }
}
