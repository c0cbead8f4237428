#include <gtest/gtest.h>

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
