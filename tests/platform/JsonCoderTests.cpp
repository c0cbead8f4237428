#include <gtest/gtest.h>

#include <chrono>
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

namespace {
// The member laid out from the text, beside the member of the parsed value dumped.
void expectLaidOutAsDumped(const std::string& text) {
  auto parsed = JsonCoder::parse(text);
  ASSERT_TRUE(parsed) << text;
  for (auto style : {JsonCoder::Style::pretty, JsonCoder::Style::compact}) {
    auto laidOut = JsonCoder::relayoutMember(text, "arguments", style, std::size_t(1) << 20);
    ASSERT_TRUE(laidOut) << text << ": " << laidOut.error().description();
    EXPECT_EQ(*laidOut, JsonCoder::dump((*parsed)["arguments"], style)) << text;
  }
}
}  // namespace

TEST(JsonCoder, AMemberIsLaidOutAsItsParsedValueDumps) {
  const char* cases[] = {
      R"({"method":"m","arguments":{"b":1,"a":[1,2.5,-3,true,null,"x"],"c":{}}})",
      R"({"arguments":{"z":{"y":{"x":[[],[{}],{"k":"v"}]}}},"method":"m"})",
      R"({"method":"m","arguments":{"a":1,"a":2,"b":{"a":3,"a":{"q":1}}}})",
      R"({"method":"m","arguments":[{"\u00e9":"\ud83d\ude00","\"":"\n\t\u0001"}]})",
      R"({"method":"m","arguments":{"n":[1e2,1E-7,0.1,123456789012345678901234,18446744073709551615,-9223372036854775808]}})",
      R"({"method":"m","arguments":{"é":1,"e":2,"E":3,"":4}})",
      R"({"method":"m","arguments":[]})",
      R"({"method":"m","arguments":"text"})",
      R"({"method":"m","arguments":{"a":1},"arguments":{"b":2}})",
  };
  for (const char* text : cases) expectLaidOutAsDumped(text);
}

TEST(JsonCoder, ALaidOutMemberIsRefusedWhenMalformedMissingTooDeepOrTooLarge) {
  struct Case {
    std::string text;
    long code;
  } cases[] = {
      {R"({"method":"m","arguments":{"a":)", 1},
      {R"({"method":"m"})", 1},
      {R"([{"arguments":1}])", 1},
      {R"({"method":"m","arguments":[1e400]})", 1},
      {R"({"arguments":)" + std::string(600, '[') + std::string(600, ']') + "}", 2},
      {R"({"arguments":{"a":")" + std::string(2000, 'x') + R"("}})", 3},
  };
  for (const auto& c : cases) {
    auto laidOut = JsonCoder::relayoutMember(c.text, "arguments", JsonCoder::Style::pretty, 1000);
    ASSERT_FALSE(laidOut) << c.text.substr(0, 40);
    EXPECT_EQ(laidOut.error().code, c.code) << c.text.substr(0, 40);
  }
  // What fits compact but not indented is refused only indented.
  const std::string item = "\"" + std::string(200, 'x') + "\"";
  std::string text = R"({"arguments":{"a":[)" + item + "," + item + "]}}";  // 413 bytes compact
  EXPECT_FALSE(JsonCoder::relayoutMember(text, "arguments", JsonCoder::Style::pretty, 420));
  EXPECT_TRUE(JsonCoder::relayoutMember(text, "arguments", JsonCoder::Style::compact, 420));
  EXPECT_FALSE(JsonCoder::relayoutMember(text, "arguments", JsonCoder::Style::compact, 412));
}

// JSON lets a string escape one half of a UTF-16 pair alone; a page's string may hold one. The
// layout keeps it escaped as it came, beside everything else laid out as ever; text that isn't
// UTF-8 is still refused.
TEST(JsonCoder, ALoneHalfOfAUtf16PairIsKeptAsItsEscape) {
  const std::string high = "\xF4\x8F\xA0\x80", mark = "\xF4\x8F\x9F\xBF", last = "\xF4\x8F\xBF\xBF";
  struct Case {
    std::string text;
    std::string compact;
  } cases[] = {
      {R"({"arguments":{"t":"\ud83d"}})", R"({"t":"\ud83d"})"},
      {R"({"arguments":{"t":"a\uDE00b"}})", R"({"t":"a\ude00b"})"},
      {R"({"arguments":{"t":"\ud83d\ud83d\ude00"}})", "{\"t\":\"\\ud83d\xF0\x9F\x98\x80\"}"},
      {R"({"arguments":{"t":"\ude00\ud83d"}})", R"({"t":"\ude00\ud83d"})"},
      {R"({"arguments":{"\udfff":"\\ud83d","b":"\u00e9\""}})", "{\"b\":\"\xC3\xA9\\\"\",\"\\udfff\":\"\\\\ud83d\"}"},
      // Text that holds what the layout uses to carry a lone half keeps it too.
      {"{\"arguments\":[\"\\ud83d" + high + mark + last + "\",\"\\udbfe\\udc00\"]}",
       "[\"\\ud83d" + high + mark + last + "\",\"" + high + "\"]"},
      {R"({"arguments":["\udbfd\udfff\ud800","\udbff\udfff"]})", "[\"" + mark + "\\ud800\",\"" + last + "\"]"},
  };
  for (const auto& c : cases) {
    auto compact = JsonCoder::relayoutMember(c.text, "arguments", JsonCoder::Style::compact, 1000);
    ASSERT_TRUE(compact) << c.text << ": " << compact.error().description();
    EXPECT_EQ(*compact, c.compact) << c.text;
    auto pretty = JsonCoder::relayoutMember(c.text, "arguments", JsonCoder::Style::pretty, 1000);
    ASSERT_TRUE(pretty) << c.text;
    auto again = JsonCoder::relayoutMember("{\"arguments\":" + *pretty + "}", "arguments", JsonCoder::Style::compact, 1000);
    ASSERT_TRUE(again) << *pretty;
    EXPECT_EQ(*again, c.compact) << "laid out again from " << *pretty;
    EXPECT_TRUE(JsonCoder::parseAllowingLoneSurrogates(c.text)) << c.text;
  }
  EXPECT_FALSE(JsonCoder::parse(R"({"t":"\ud83d"})"));
  // The escape takes more room than what carried it: the bound holds for what comes out.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "\\ud83d";
  auto bounded = JsonCoder::relayoutMember(R"({"arguments":[")" + many + "\"]}", "arguments",
                                           JsonCoder::Style::compact, 603);
  ASSERT_FALSE(bounded);
  EXPECT_EQ(bounded.error().code, JsonCoder::layoutTooLarge);
  EXPECT_TRUE(JsonCoder::relayoutMember(R"({"arguments":[")" + many + "\"]}", "arguments", JsonCoder::Style::compact, 604));
  for (std::string bad : {"{\"arguments\":[\"\xFF\"]}", "{\"arguments\":[\"\xC0\xAF\"]}", "{\"arguments\":[\"\xED\xA0\xBD\"]}",
                          "{\"arguments\":[\"\\ud83d\xFF\"]}"}) {
    auto laidOut = JsonCoder::relayoutMember(bad, "arguments", JsonCoder::Style::compact, 1000);
    ASSERT_FALSE(laidOut) << bad;
    EXPECT_EQ(laidOut.error().code, 1) << bad;
  }
}

// A 30 MB string nested 500 levels deep, in arrays and objects by turns: laid out as its parsed
// value dumps, in time that follows the text's size, not its size times its depth.
TEST(JsonCoder, ALongStringNestedDeepIsLaidOutOnce) {
  constexpr int depth = 500;
  std::string opening, closing;
  for (int level = 0; level < depth; ++level) {
    opening += level % 2 ? R"({"k":)" : "[";
    closing.insert(0, level % 2 ? "}" : "]");
  }
  const std::string text =
      R"({"method":"m","arguments":)" + opening + '"' + std::string(30 << 20, 'x') + '"' + closing + "}";
  auto parsed = JsonCoder::parse(text);
  ASSERT_TRUE(parsed);
  for (auto style : {JsonCoder::Style::pretty, JsonCoder::Style::compact}) {
    auto started = std::chrono::steady_clock::now();
    auto laidOut = JsonCoder::relayoutMember(text, "arguments", style, std::size_t(64) << 20);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(laidOut) << laidOut.error().description();
    std::printf("laid out in %.2f s\n", seconds);
    // A layout that copied the string at each of its levels would take hundreds of times longer:
    // the bound fails that, not a loaded machine's slow pass.
    EXPECT_LT(seconds, 180);
    EXPECT_TRUE(*laidOut == JsonCoder::dump((*parsed)["arguments"], style));
  }
}
