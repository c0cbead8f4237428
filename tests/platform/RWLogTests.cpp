#include <gtest/gtest.h>

#include <glib.h>

#include <mutex>
#include <vector>

#include "platform/RWLog.h"

namespace {
std::mutex capturedMutex;
std::vector<std::pair<std::string, std::string>> captured;  // (category, message)

GLogWriterOutput capture(GLogLevelFlags, const GLogField* fields, gsize count, gpointer) {
  std::string message, category;
  for (gsize i = 0; i < count; ++i) {
    std::string key = fields[i].key;
    std::string value = fields[i].length < 0 ? static_cast<const char*>(fields[i].value)
                                             : std::string(static_cast<const char*>(fields[i].value), fields[i].length);
    if (key == "MESSAGE") message = value;
    if (key == "KORVEL_CATEGORY") category = value;
  }
  std::lock_guard lock(capturedMutex);
  captured.emplace_back(category, message);
  return G_LOG_WRITER_HANDLED;
}

class RWLogTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_setenv("G_MESSAGES_DEBUG", "all", TRUE);
    g_log_set_writer_func(capture, nullptr, nullptr);
  }
  void SetUp() override { captured.clear(); }
};
}  // namespace

TEST_F(RWLogTest, LevelsPickTheirCategoryAndUnknownLevelsWriteNothing) {
  RWLog("a", 0);
  RWLog("b", 1);
  RWLog("c", 2);
  RWLog("d", 3);
  RWLog("e", 7);
  RWLog("", 0);
  ASSERT_EQ(captured.size(), 5u);
  EXPECT_EQ(captured[0], (std::pair<std::string, std::string>{"default", "a"}));
  EXPECT_EQ(captured[1].first, "memory");
  EXPECT_EQ(captured[2].first, "server");
  EXPECT_EQ(captured[3].first, "server");
  EXPECT_EQ(captured[4].second, "");
}

TEST_F(RWLogTest, SignInTokensNeverReachTheLog) {
  RWLogSecrets::add("s3cr3t-T0KEN");
  RWLog("server: node cli.js --token s3cr3t-T0KEN --api http://127.0.0.1", 2);
  RWLog("{\"token\":\"s3cr3t-T0KEN\"}", 2);
  RWLog("GET /dashboard?token=other-token&x=1 Authorization: Token abc123", 0);
  RWLog("korvel-x://login?fut=fresh-token", 0);
  RWLogSecrets::remove("s3cr3t-T0KEN");
  for (auto& [category, message] : captured) {
    EXPECT_EQ(message.find("s3cr3t"), std::string::npos) << message;
    EXPECT_EQ(message.find("other-token"), std::string::npos) << message;
    EXPECT_EQ(message.find("abc123"), std::string::npos) << message;
    EXPECT_EQ(message.find("fresh-token"), std::string::npos) << message;
  }
  EXPECT_NE(captured[0].second.find("--api http://127.0.0.1"), std::string::npos);
  EXPECT_NE(captured[2].second.find("&x=1"), std::string::npos);
}

TEST_F(RWLogTest, LongLinesAreCutWithoutSplittingACharacterOrASecret) {
  RWLogSecrets::add("s3cr3t-T0KEN");
  RWLog(std::string(100 * 1024 * 1024, 'x'), 0);
  RWLog(std::string(RWLogMaximumLength - 1, 'x') + "é and more", 0);
  RWLog(std::string(RWLogMaximumLength - 4, 'x') + "s3cr3t-T0KEN", 0);
  RWLog(std::string(RWLogMaximumLength, 'y'), 0);
  RWLogSecrets::remove("s3cr3t-T0KEN");
  ASSERT_EQ(captured.size(), 4u);
  EXPECT_EQ(captured[0].second, std::string(RWLogMaximumLength, 'x') + "…");
  EXPECT_EQ(captured[1].second, std::string(RWLogMaximumLength - 1, 'x') + "…");
  EXPECT_EQ(captured[2].second.find("s3cr"), std::string::npos);
  EXPECT_EQ(captured[3].second, std::string(RWLogMaximumLength, 'y'));
}
