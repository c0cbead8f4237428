// The SVG optimiser runner against the real optimiser, and against stand-in runtimes that fail
// in the ways a child can.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "export/SVGProcessor.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace {

Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }
std::string text(const Data& d) { return std::string(d.begin(), d.end()); }

const std::string input =
    R"(<svg xmlns="http://www.w3.org/2000/svg" width="10" height="10"><!-- note --><g><rect x="0" y="0" width="10" height="10" fill="#ff0000"/></g></svg>)";

class ScopedResources {
 public:
  explicit ScopedResources(const std::filesystem::path& root) { setenv("KORVEL_RESOURCES", root.c_str(), 1); }
  ~ScopedResources() { setenv("KORVEL_RESOURCES", KORVEL_SOURCE_DIR "/resources", 1); }
};

// Resources whose runtime is the given shell script; the optimiser script is present but unused.
std::filesystem::path standIn(const std::string& runtimeScript) {
  auto root = testenv::freshFolder("svgo");
  std::filesystem::create_directories(root / "Node/bin");
  std::filesystem::create_directories(root / "SVGO/node_modules/.bin");
  std::ofstream(root / "SVGO/node_modules/.bin/svgo") << "";
  std::ofstream(root / "Node/bin/node") << "#!/bin/sh\n" << runtimeScript << "\n";
  ::chmod((root / "Node/bin/node").c_str(), 0755);
  return root;
}

std::optional<Data> optimise(const Data& svg) {
  std::optional<Data> result;
  SVGProcessor::process(svg, [&](Data out) {
    EXPECT_FALSE(result) << "answered twice";
    result = std::move(out);
  });
  RunLoop::runUntil([&] { return result.has_value(); }, 120);
  return result;
}

TEST(SVGProcessor, OptimisesWithTheBundledOptimiser) {
  auto result = optimise(bytes(input));
  ASSERT_TRUE(result);
  std::string out = text(*result);
  EXPECT_NE(out, input);
  EXPECT_EQ(out.find("note"), std::string::npos);
  EXPECT_NE(out.find("<svg"), std::string::npos);
  EXPECT_EQ(SVGProcessor::runningCount(), 0u);
}

TEST(SVGProcessor, TwoRunsAtOnceEachGetTheirOwnResult) {
  std::string second = R"(<svg xmlns="http://www.w3.org/2000/svg"><circle cx="5" cy="5" r="5" fill="#0000ff"/></svg>)";
  std::optional<std::string> a, b;
  SVGProcessor::process(bytes(input), [&](Data out) { a = text(out); });
  SVGProcessor::process(bytes(second), [&](Data out) { b = text(out); });
  EXPECT_EQ(SVGProcessor::runningCount(), 2u);
  RunLoop::runUntil([&] { return a && b; }, 120);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->find("red"), std::string::npos);
  EXPECT_NE(b->find("#00f"), std::string::npos);
}

TEST(SVGProcessor, RefusedSvgComesBackUnchanged) {
  auto result = optimise(bytes("this is <not svg"));
  ASSERT_TRUE(result);
  EXPECT_EQ(text(*result), "this is <not svg");
}

TEST(SVGProcessor, GivesTheInputBackWhenTheChildFailsOrAnswersBadly) {
  struct Case {
    const char* name;
    std::string runtime;
  } cases[] = {
      {"exit 0 with nothing", "cat >/dev/null; exit 0"},
      {"exit 0 with text", "cat >/dev/null; echo 'not xml <'; exit 0"},
      {"exit 0 without reading", "exit 0"},
      {"exit 2 with svg", "cat >/dev/null; echo '<svg/>'; exit 2"},
      {"killed", "kill -9 $$"},
      {"not executable", ""},
  };
  // Larger than a pipe holds, so a child that doesn't read makes the write fail.
  std::string big = "<svg>" + std::string(1 << 20, ' ') + "</svg>";
  for (const auto& c : cases) {
    auto root = standIn(c.runtime);
    if (c.runtime.empty()) ::chmod((root / "Node/bin/node").c_str(), 0644);
    ScopedResources scope(root);
    auto result = optimise(bytes(big));
    ASSERT_TRUE(result) << c.name;
    EXPECT_EQ(result->size(), big.size()) << c.name;
  }
}

TEST(SVGProcessor, AChildWritingWithoutEndIsStoppedAndTheInputComesBack) {
  struct Case {
    const char* name;
    std::string runtime;
    bool acceptsOutput;
  } cases[] = {
      {"zeros without end", "cat >/dev/null; exec cat /dev/zero", false},
      {"zeros without end, never reading", "exec cat /dev/zero", false},
      {"svg-looking text without end", "cat >/dev/null; printf '<svg>'; exec yes ' '", false},
      // Ends by itself with well-formed XML, but far beyond what an optimised input can be.
      {"64 MiB of svg, exit 0", "cat >/dev/null; printf '<svg>'; head -c 67108864 /dev/zero | tr '\\0' ' '; printf '</svg>'", false},
      {"just under the floor", "cat >/dev/null; printf '<svg>'; head -c 1000000 /dev/zero | tr '\\0' ' '; printf '</svg>'", true},
  };
  EXPECT_EQ(SVGProcessor::maximumOutputSize(10), 1024u * 1024u);
  EXPECT_EQ(SVGProcessor::maximumOutputSize(1 << 20), 4u << 20);
  for (const auto& c : cases) {
    auto root = standIn(c.runtime);
    ScopedResources scope(root);
    auto result = optimise(bytes(input));
    ASSERT_TRUE(result) << c.name;
    if (c.acceptsOutput) {
      EXPECT_EQ(result->size(), 1000011u) << c.name;
    } else {
      EXPECT_EQ(text(*result), input) << c.name;
    }
    RunLoop::runUntil([] { return SVGProcessor::runningCount() == 0; }, 30);
    EXPECT_EQ(SVGProcessor::runningCount(), 0u) << c.name;
  }
}

TEST(SVGProcessor, AMissingRuntimeAnswersBeforeReturning) {
  auto root = standIn("exit 0");
  std::filesystem::remove(root / "Node/bin/node");
  ScopedResources scope(root);
  std::optional<std::string> result;
  SVGProcessor::process(bytes(input), [&](Data out) { result = text(out); });
  EXPECT_EQ(result, input);
  EXPECT_EQ(SVGProcessor::runningCount(), 0u);
}

TEST(SVGProcessor, AChildThatHangsIsStoppedAfterTheTimeout) {
  auto root = standIn("cat >/dev/null; sleep 30");
  ScopedResources scope(root);
  auto saved = SVGProcessor::timeout;
  SVGProcessor::timeout = std::chrono::milliseconds(300);
  auto result = optimise(bytes(input));
  SVGProcessor::timeout = saved;
  ASSERT_TRUE(result);
  EXPECT_EQ(text(*result), input);
}

TEST(SVGProcessor, ALargeSvgComesBackWholeWhileTheMainLoopRuns) {
  // Larger than a pipe holds, each way.
  std::string big = R"(<svg xmlns="http://www.w3.org/2000/svg"><!-- c --><path fill="#ff0000" d="M0 0)";
  for (int i = 0; i < 5000; ++i) big += " L " + std::to_string(i * 13) + ".000 " + std::to_string(i * 37 % 1001) + ".000";
  big += R"("/></svg>)";
  int ticks = 0;
  auto timer = Timer::scheduled(0.01, true, [&] { ++ticks; });
  auto result = optimise(bytes(big));
  ASSERT_TRUE(result);
  EXPECT_GT(ticks, 0);
  std::string out = text(*result);
  EXPECT_NE(out, big);
  EXPECT_EQ(out.find("c -->"), std::string::npos);
  EXPECT_TRUE(out.starts_with("<svg"));
  EXPECT_TRUE(out.ends_with("</svg>"));
}

}  // namespace
