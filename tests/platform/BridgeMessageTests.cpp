// A page's message is measured before it is parsed: past the bound it is refused unread.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/BridgeMessage.h"

namespace {

// A well-formed message of exactly `size` bytes.
std::string messageOf(std::size_t size) {
  std::string head = R"({"method": "Big", "arguments": ")", tail = R"("})";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST(BridgeMessage, IsRefusedPastItsSizeBeforeParsing) {
  const struct {
    const char* name;
    std::size_t size;
    bool decodes;
  } cases[] = {
      {"small", 100, true},
      {"at the bound", BridgeMessage::maximumSize, true},
      {"one byte past", BridgeMessage::maximumSize + 1, false},
  };
  for (const auto& c : cases) {
    nlohmann::json arguments;
    auto method = BridgeMessage::decode(messageOf(c.size), arguments);
    EXPECT_EQ(method.has_value(), c.decodes) << c.name;
    if (method) {
      EXPECT_EQ(*method, "Big");
      EXPECT_EQ(arguments.get_ref<const std::string&>().size(), c.size - 34) << c.name;
    } else {
      EXPECT_EQ(method.error().code, 3) << c.name;
      EXPECT_TRUE(arguments.is_null()) << c.name;
    }
  }
}

}  // namespace
