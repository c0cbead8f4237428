#pragma once
// A project zip of many pictures whose names of 255 bytes differ only in their last few, made by
// the zip tool, and how long the main loop is held while work that ends by itself runs.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/ManyPictures.h"
#include "support/TestEnvironment.h"

namespace manypictures {

inline std::string designNaming(const std::vector<std::string>& names) {
  std::string design = R"({"version":1,"layers":[)";
  for (std::size_t i = 0; i < names.size(); ++i) design += (i ? "," : "") + std::string(R"({"src":")") + names[i] + "\"}";
  return design + "]}";
}

// A zip of `pictures` pictures of 1 KB, the even ones named by the design and the second by the
// code, made in `folder`.
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
  made.file = folder / "Pictures.korvelx";
  EXPECT_EQ(testenv::run("cd '" + source.string() + "' && zip -qr '" + made.file.string() + "' ."), 0);
  std::filesystem::remove_all(source);
  return made;
}

// Runs `start` on the main loop from a turn of its own and waits until `ended` holds; answers how
// long it took and the main loop's longest hold meanwhile.
inline std::pair<double, double> untilOnTheMainLoop(const std::function<void()>& start,
                                                    const std::function<bool()>& ended, double timeout) {
  using Clock = MainLoopWatch::Clock;
  MainLoopWatch watch;
  bool started = false;
  auto begun = Clock::now();
  MainQueue::async([&] {
    start();
    started = true;
  });
  EXPECT_TRUE(RunLoop::runUntil([&] { return started && ended(); }, timeout)) << "the work never ended";
  RunLoop::runOnce(0);
  return {std::chrono::duration<double>(Clock::now() - begun).count(), watch.longestSeconds()};
}

}  // namespace manypictures
