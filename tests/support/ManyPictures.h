#pragma once
// Documents of many pictures made by the zip tool, and how long the main loop is held while
// work on them runs: shared by the storage tests and the document tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

namespace manypictures {

using Clock = std::chrono::steady_clock;

// The longest the main loop went without turning while it was watched.
class MainLoopWatch {
 public:
  MainLoopWatch()
      : last_(Clock::now()), timer_(Timer::scheduled(0.01, true, [this] {
          auto now = Clock::now();
          longest_ = std::max(longest_, std::chrono::duration<double>(now - last_).count());
          last_ = now;
        })) {}
  double longestSeconds() const { return longest_; }

 private:
  Clock::time_point last_;
  double longest_ = 0;
  std::unique_ptr<Timer> timer_;
};

// Runs `work` on the main loop from a turn of its own until it calls `done`; answers how long it
// took and the main loop's longest hold meanwhile.
inline std::pair<double, double> onTheMainLoop(const std::function<void(std::function<void()> done)>& work,
                                               double timeout) {
  MainLoopWatch watch;
  auto done = std::make_shared<bool>(false);
  auto started = Clock::now();
  MainQueue::async([&work, done] { work([done] { *done = true; }); });
  EXPECT_TRUE(RunLoop::runUntil([&] { return *done; }, timeout)) << "the work never ended";
  RunLoop::runOnce(0);
  return {std::chrono::duration<double>(Clock::now() - started).count(), watch.longestSeconds()};
}

// Picture names of 255 bytes that share all but their last few: text of the shared part
// almost names each of them at every byte.
inline std::string pictureName(int i) {
  std::string tail = "-" + std::to_string(i) + ".png";
  return std::string(255 - tail.size(), 'p') + tail;
}

// `bytes` incompressible bytes, different for each `seed`.
inline std::string randomBytes(std::size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(bytes, '\0');
  for (auto& c : out) c = static_cast<char>(random());
  return out;
}

inline std::string designNaming(const std::vector<std::string>& names) {
  std::string design = R"({"version":1,"layers":[)";
  for (std::size_t i = 0; i < names.size(); ++i) design += (i ? "," : "") + std::string(R"({"src":")") + names[i] + "\"}";
  return design + "]}";
}

// A zip of the folder `source`, made by the zip tool beside it.
inline std::filesystem::path zipOf(const std::filesystem::path& source) {
  auto file = source.parent_path() / "Search.korvelx";
  EXPECT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + file.string() + "' ."), 0);
  return file;
}

// A zip of `pictures` pictures of 1 KB with names of 255 bytes that differ only in their last
// few, the even ones named by the design and the second by the code.
struct LongNamesDocument {
  std::filesystem::path file;
  std::vector<std::string> names;
  std::vector<std::string> named;
};

inline LongNamesDocument makeLongNamesDocument(const std::filesystem::path& folder, int pictures) {
  LongNamesDocument made;
  auto source = folder / "source";
  std::map<std::string, std::string> files;
  for (int i = 0; i < pictures; ++i) {
    made.names.push_back(pictureName(i));
    files["design/images/" + made.names.back()] = randomBytes(1024, static_cast<unsigned>(i));
  }
  for (int i = 0; i < pictures; i += 2) made.named.push_back(made.names[i]);
  files["design/document.json"] = designNaming(made.named);
  files["code/index.js"] = "export const picture = '" + made.names[1] + "';\n";
  for (const auto& [path, content] : files) {
    std::filesystem::create_directories((source / path).parent_path());
    std::ofstream(source / path, std::ios::binary) << content;
  }
  made.file = zipOf(source);
  std::filesystem::remove_all(source);
  return made;
}

}  // namespace manypictures
