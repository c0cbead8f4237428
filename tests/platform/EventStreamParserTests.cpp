#include <gtest/gtest.h>

#include "platform/EventStreamParser.h"

namespace {
// Items as text: "E<id>|<event>|<data>", "R<ms>", "I<id>".
std::vector<std::string> run(const std::vector<std::string>& arrivals, std::string lastId = {}) {
  EventStreamParser parser(std::move(lastId));
  std::vector<std::string> out;
  for (const auto& bytes : arrivals) {
    for (const auto& item : parser.feed(bytes)) {
      using K = EventStreamParser::Item::Kind;
      if (item.kind == K::retry)
        out.push_back("R" + std::to_string(item.retry));
      else if (item.kind == K::idOnly)
        out.push_back("I" + item.event.id);
      else
        out.push_back("E" + item.event.id + "|" + item.event.event + "|" + item.event.data);
    }
  }
  return out;
}
}  // namespace

TEST(EventStreamParser, ParsesLinesAsEventStreamsDefine) {
  struct Case {
    std::vector<std::string> arrivals;
    std::vector<std::string> expected;
  } cases[] = {
      {{"data: a\ndata: b\n\n"}, {"E||a\nb"}},
      {{"data:x\n\n", "data:    x\n\n", "data: x  \n\n"}, {"E||x", "E||   x", "E||x  "}},
      {{"data\n\n", "data:\n\n"}, {"E||", "E||"}},
      {{"data: a\ndata\ndata: b\n\n"}, {"E||a\n\nb"}},
      {{"event: update\ndata: x\n\n"}, {"E|update|x"}},
      {{"id: 7\ndata: x\n\n", "id: 7\n\n", "id: 8\n\n"}, {"E7||x", "I8"}},
      {{"id: 1\ndata: a\n\ndata: b\n\n"}, {"E1||a", "E1||b"}},
      {{"id: 1\ndata: a\n\nid\ndata: b\n\n"}, {"E1||a", "E||b"}},
      // "retry" is a field of its own, digits only; inside data it is data.
      {{"retry: 5000\n\n", "retry: abc\n\n", "retry: -5\n\n", "data: retry: soon\n\n"}, {"R5000", "E||retry: soon"}},
      {{"retry: 5000\ndata: x\n\n"}, {"R5000", "E||x"}},
      {{"retry: 99999999999999999999999\n\n"}, {"R9223372036854775807"}},
      // Comments are lines, not blocks.
      {{": keep-alive\n\n", ": ping\ndata: x\n\n", "data: x\n: note\n\n"}, {"E||x", "E||x"}},
      {{"foo: bar\n\n"}, {}},
      // Line endings of every kind, the earliest one first, split across arrivals.
      {{"data: x\n", "\n"}, {"E||x"}},
      {{"data: x\r\n\r", "\n"}, {"E||x"}},
      {{"data: a\n\ndata: b\r\n\r\n"}, {"E||a", "E||b"}},
      {{"data: a\r\rdata: b\r\n", "\r\n"}, {"E||a", "E||b"}},
      {{"data: a\r", "\ndata: b\n\n"}, {"E||a\nb"}},
      // A character split across arrivals comes whole; bytes that are not UTF-8 are replaced.
      {{"data: \xC3", "\xA9\n\n", "data: \xFF\n\n"}, {"E||\xC3\xA9", "E||\xEF\xBF\xBD"}},
      {{"data: unfinished"}, {}},
  };
  for (auto& c : cases) {
    EXPECT_EQ(run(c.arrivals), c.expected) << testing::PrintToString(c.arrivals);
  }
}

TEST(EventStreamParser, StartsFromTheStoredIdAndDropsAnOversizedEvent) {
  EXPECT_EQ(run({"data: x\n\n"}, "41"), std::vector<std::string>{"E41||x"});
  std::string huge = "data: " + std::string(EventStreamParser::maximumEventSize, 'a') + "\n\n";
  EXPECT_EQ(run({huge, "data: after\n\n"}), std::vector<std::string>{"E||after"});
}
