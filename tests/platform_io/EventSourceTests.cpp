#include <gtest/gtest.h>

#include "platform/Defaults.h"
#include "platform/EventSource.h"
#include "platform/HttpSession.h"
#include "support/NodeServer.h"
#include "support/TestEnvironment.h"

namespace {
struct Seen {
  std::vector<std::string> events;  // "<id>|<name>|<data>"
  std::vector<std::optional<Error>> errors;
  int opens = 0;
};

class EventSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    server = NodeServer::start("tests/platform_io/data/sse_peer.js", {"0"}, {}, [this](const nlohmann::json& line) {
      if (line.contains("path")) requests.push_back(line);
    });
    ASSERT_NE(server, nullptr) << "the event-stream peer did not start";
    defaultsFile = testenv::freshFolder() / "defaults.json";
    defaults = std::make_unique<Defaults>(defaultsFile);
  }

  std::shared_ptr<EventSource> open(const std::string& path, Seen& seen, double idleTimeout = 90,
                                    long long retryTime = 100) {
    EventSource::Options options;
    options.defaults = defaults.get();
    options.session = &session;
    options.idleTimeout = idleTimeout;
    options.retryTime = retryTime;
    auto source = EventSource::create(server->base() + path, {{"Accept", "text/html"}}, options);
    EXPECT_TRUE(source);
    if (!source) return nullptr;
    auto s = *source;
    s->onOpen([&seen] { ++seen.opens; });
    s->onError([&seen](const std::optional<Error>& e) { seen.errors.push_back(e); });
    auto record = [&seen](const std::optional<std::string>& id, const std::string& name, const std::string& data) {
      seen.events.push_back(id.value_or("-") + "|" + name + "|" + data);
    };
    s->onMessage(record);
    s->addEventListener("update", record);
    return s;
  }

  // Cancelled transfers finish before the next test.
  void TearDown() override { settle(); }

  // Lets the loop run a little so that anything wrongly sent would show.
  static void settle() {
    RunLoop::runUntil([] { return false; }, 0.4);
  }

  HttpSession session;
  std::unique_ptr<NodeServer> server;
  std::filesystem::path defaultsFile;
  std::unique_ptr<Defaults> defaults;
  std::vector<nlohmann::json> requests;
};
}  // namespace

TEST_F(EventSourceTest, DeliversEventsOfAStreamAsTheyArrive) {
  struct Case {
    std::vector<std::string> parts;
    std::vector<std::string> expected;
  } cases[] = {
      {{"data: a\n", "data: b\n", "\n"}, {"-|message|a\nb"}},
      {{": ping\ndata: x\r", "\r", "data: retry: soon\n\n"}, {"-|message|x", "-|message|retry: soon"}},
      {{"event: update\nid: 3\ndata: x\n\n", "event: other\ndata: y\n\n", "data: z\r\n\r\n"},
       {"3|update|x", "3|message|z"}},
  };
  for (auto& c : cases) {
    Seen seen;
    auto source = open("/parts?p=" + Url::encodeQueryValue(nlohmann::json(c.parts).dump()), seen);
    ASSERT_TRUE(RunLoop::runUntil([&] { return seen.events.size() >= c.expected.size(); }, 30));
    settle();
    EXPECT_EQ(seen.events, c.expected);
    EXPECT_EQ(seen.opens, 1);
    EXPECT_EQ(source->readyState(), EventSourceState::open);
    source->close();
  }
  EXPECT_EQ(requests.front()["accept"], "text/event-stream");
}

TEST_F(EventSourceTest, ReconnectsWithTheLastIdAcrossRunsAndClampsRetry) {
  Seen seen;
  auto source = open("/count", seen, 90, 400);
  ASSERT_TRUE(RunLoop::runUntil([&] { return seen.events.size() >= 3; }, 30));
  source->close();
  EXPECT_EQ(seen.events[0], "1|message|none");
  EXPECT_EQ(seen.events[1], "2|message|1");
  EXPECT_EQ(seen.events[2], "3|message|2");
  // "retry: 50" asks for less than the floor.
  EXPECT_EQ(source->retryTime(), EventSource::minimumRetryTime);
  ASSERT_FALSE(seen.errors.empty());
  EXPECT_FALSE(seen.errors.front().has_value()) << "an ended stream is no error";

  // A later run on the same address sends the stored id.
  source.reset();
  defaults = std::make_unique<Defaults>(defaultsFile);
  requests.clear();
  Seen again;
  auto next = open("/count", again);
  // The server notes a request on its own line, which may come after the answer.
  ASSERT_TRUE(RunLoop::runUntil([&] { return !again.events.empty() && !requests.empty(); }, 30));
  next->close();
  EXPECT_EQ(requests.front()["lastEventId"], seen.events.back().substr(0, 1));
}

TEST_F(EventSourceTest, FailedAnswersAreErrorsAndReconnectLaterAndLater) {
  const std::string paths[] = {"/status/500", "/status/404", "/type?t=text/html"};
  for (const auto& path : paths) {
    requests.clear();
    Seen seen;
    auto source = open(path, seen);
    ASSERT_TRUE(RunLoop::runUntil([&] { return seen.errors.size() >= 3 && requests.size() >= 3; }, 30)) << path;
    source->close();
    EXPECT_EQ(seen.opens, 0) << path;
    EXPECT_TRUE(seen.events.empty()) << path;
    ASSERT_TRUE(seen.errors.front().has_value()) << path;
    EXPECT_EQ(seen.errors.front()->domain, EventSourceErrorDomain) << path;
    EXPECT_GE(requests.size(), 3u) << path;
  }
}

TEST_F(EventSourceTest, NoContentClosesForGood) {
  Seen seen;
  auto source = open("/close", seen);
  ASSERT_TRUE(RunLoop::runUntil(
      [&] { return !requests.empty() && source->readyState() == EventSourceState::closed; }, 30));
  settle();  // longer than the retry
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(seen.opens, 0);
  EXPECT_TRUE(seen.errors.empty());
}

TEST_F(EventSourceTest, ClosedWhileWaitingStaysClosed) {
  Seen seen;
  auto source = open("/status/503", seen, 90, 300);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !seen.errors.empty() && !requests.empty(); }, 30));
  source->close();
  RunLoop::runUntil([&] { return false; }, 1.0);  // longer than the retry
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(source->readyState(), EventSourceState::closed);
}

TEST_F(EventSourceTest, ASilentConnectionIsEndedAndTriedAgain) {
  Seen seen;
  auto source = open("/silent", seen, 0.3);
  ASSERT_TRUE(RunLoop::runUntil([&] { return requests.size() >= 2; }, 30));
  source->close();
  EXPECT_GE(seen.opens, 1);
  ASSERT_FALSE(seen.errors.empty());
  ASSERT_TRUE(seen.errors.front().has_value());
  EXPECT_EQ(seen.errors.front()->code, HttpErrorTimedOut);
}

TEST_F(EventSourceTest, CloseWhileOpenReportsCancellationOnce) {
  Seen seen;
  auto source = open("/parts?p=" + Url::encodeQueryValue("[\"data: x\\n\\n\"]"), seen);
  ASSERT_TRUE(RunLoop::runUntil([&] { return !seen.events.empty(); }, 30));
  source->close();
  ASSERT_TRUE(RunLoop::runUntil([&] { return !seen.errors.empty(); }, 30));
  settle();
  ASSERT_EQ(seen.errors.size(), 1u);
  EXPECT_EQ(seen.errors[0]->code, HttpErrorCancelled);
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(EventSource::basicAuth("ada", "pässword"), "Basic YWRhOnDDpHNzd29yZA==");
}
