#include "server/CSTaskManager.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"

using nlohmann::json;

namespace {

struct Recorder : CSTaskManagerDelegate {
  std::vector<std::pair<std::string, bool>> outputs;
  std::vector<json> objects;
  std::vector<int> ends;
  void taskManagerDidReceiveOutput(CSTaskManager&, const std::string& line, bool isError) override {
    outputs.emplace_back(line, isError);
  }
  void taskManagerDidReceiveObject(CSTaskManager&, const json& object) override { objects.push_back(object); }
  void taskManagerDidEndWithStatus(CSTaskManager&, int status) override { ends.push_back(status); }
};

struct Fixture {
  std::shared_ptr<CSTaskManager> runner = CSTaskManager::create();
  std::shared_ptr<Recorder> delegate = std::make_shared<Recorder>();
  std::vector<std::string> jsonData;
  std::vector<std::pair<std::string, bool>> outputCallbacks;
  std::vector<int> endCallbacks;

  explicit Fixture(const std::string& script) {
    runner->task.executable = "/bin/sh";
    runner->task.arguments = {"-c", script};
    runner->delegate = delegate;
    runner->taskManagerDidReceiveJSONData = [this](const Data& d) { jsonData.push_back(stringFromData(d)); };
    runner->taskManagerDidReceiveOutput = [this](const std::string& l, bool e) { outputCallbacks.emplace_back(l, e); };
    runner->taskManagerDidEnd = [this](int s) { endCallbacks.push_back(s); };
  }
  bool runToEnd() {
    if (!runner->run()) return false;
    return RunLoop::runUntil([this] { return !endCallbacks.empty(); }, 20.0);
  }
};

}  // namespace

TEST(CSTaskManager, TellsObjectsFromOutputOnEitherStream) {
  Fixture f(
      "printf 'a\\n\\nb'; echo; echo '{\"s\":1}'; echo '{\"e\":2}' >&2; echo ' {\"s\":3}'; echo '{bad' >&2;"
      "echo '[1]'; echo '{\"n\":1e99999}' >&2");
  ASSERT_TRUE(f.runToEnd());
  using Out = std::vector<std::pair<std::string, bool>>;
  Out expected = {{"a\n", false},    {"b\n", false},    {" {\"s\":3}\n", false},
                  {"[1]\n", false},  {"{bad\n", true},  {"{\"n\":1e99999}\n", true}};
  auto sorted = [](Out o) {
    std::stable_sort(o.begin(), o.end(), [](auto& x, auto& y) { return x.second < y.second; });
    return o;
  };
  EXPECT_EQ(sorted(f.delegate->outputs), expected);
  EXPECT_EQ(sorted(f.outputCallbacks), expected);
  ASSERT_EQ(f.delegate->objects.size(), 2u);
  std::sort(f.jsonData.begin(), f.jsonData.end());
  EXPECT_EQ(f.jsonData, (std::vector<std::string>{"{\"e\":2}", "{\"s\":1}"})) << "bytes without the line feed";
  EXPECT_EQ(f.runner->output().size(), 8u) << "every line, object or not";
  EXPECT_EQ(f.runner->objects().size(), 2u);
  EXPECT_EQ(f.delegate->ends, std::vector<int>{0}) << "status 0 is reported too";
}

TEST(CSTaskManager, JoinsAnObjectCutAcrossReads) {
  Fixture f("printf '{\"url\":\"http://127.0.0.1:1/\",'; sleep 0.2; printf '\"running\":true}\\n'");
  ASSERT_TRUE(f.runToEnd());
  ASSERT_EQ(f.delegate->objects.size(), 1u);
  EXPECT_EQ(f.delegate->objects[0]["running"], true);
  EXPECT_TRUE(f.delegate->outputs.empty());
}

TEST(CSTaskManager, PostsNotifications) {
  Fixture f("echo '{\"k\":\"v\"}'; echo plain");
  std::vector<json> infos;
  auto objects = NotificationCenter::defaultCenter().addObserver(
      CSTaskManagerDidReceiveObjectNotification, f.runner.get(), [&](const Notification& n) { infos.push_back(*n.userInfo); });
  auto outputs = NotificationCenter::defaultCenter().addObserver(
      CSTaskManagerDidReceiveOutputNotification, f.runner.get(), [&](const Notification& n) { infos.push_back(*n.userInfo); });
  ASSERT_TRUE(f.runToEnd());
  EXPECT_EQ(infos, (std::vector<json>{{{"k", "v"}}, {{"output", "plain\n"}}}));
}

TEST(CSTaskManager, KeepsOnlyTheLatestLines) {
  Fixture f("seq 1 2500; i=0; while [ $i -lt 150 ]; do echo \"{\\\"i\\\":$i}\"; i=$((i+1)); done");
  ASSERT_TRUE(f.runToEnd());
  EXPECT_EQ(f.runner->output().size(), CSTaskManager::outputLimit);
  EXPECT_EQ(f.runner->output().back(), "{\"i\":149}\n");
  EXPECT_EQ(f.runner->objects().size(), CSTaskManager::objectLimit);
  EXPECT_EQ((*f.runner->objects().front())["i"], 50);
}

TEST(CSTaskManager, AbortStopsWithoutAnEndReport) {
  Fixture f("echo started; exec sleep 300");
  ASSERT_TRUE(f.runner->run());
  ASSERT_TRUE(RunLoop::runUntil([&] { return !f.outputCallbacks.empty(); }, 20.0));
  EXPECT_TRUE(f.runner->isRunning());
  f.runner->abort();
  EXPECT_FALSE(f.runner->isRunning());
  RunLoop::runUntil([] { return false; }, 0.3);
  EXPECT_TRUE(f.endCallbacks.empty());
  EXPECT_TRUE(f.delegate->ends.empty());
  f.runner->abort();  // nothing to stop any more
}

TEST(CSTaskManager, ReportsAFailedLaunchAndTheExitStatus) {
  auto runner = CSTaskManager::create();
  runner->task.executable = "/nonexistent/node";
  EXPECT_FALSE(runner->run());
  EXPECT_FALSE(runner->isRunning());

  Fixture f("echo '{\"last\":true}'; exit 7");
  ASSERT_TRUE(f.runToEnd());
  EXPECT_EQ(f.endCallbacks, std::vector<int>{7});
  EXPECT_EQ(f.jsonData.size(), 1u) << "drained before the end report";
}

TEST(CSTaskManager, TalksToStandardInputAndExtendsPath) {
  Fixture f("read line; echo \"got $line\"; echo \"$PATH\"");
  f.runner->sendInput("ignored before run\n");
  f.runner->addPath("/opt/tools");
  f.runner->addPath("/opt/more");
  ASSERT_TRUE(f.runner->run());
  f.runner->sendJsonInput(json{{"a", 1}});
  f.runner->sendInput("\n");
  ASSERT_TRUE(RunLoop::runUntil([&] { return !f.endCallbacks.empty(); }, 20.0));
  ASSERT_EQ(f.outputCallbacks.size(), 2u);
  EXPECT_EQ(f.outputCallbacks[0].first, "got {\"a\":1}\n");
  EXPECT_EQ(f.outputCallbacks[1].first, "/opt/more:/opt/tools\n") << "a runner without its own environment has PATH alone";
}
