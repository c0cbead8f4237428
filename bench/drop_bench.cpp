// One drop of picture files from another program onto a page, as the editor takes it: the files
// read on a worker, handed to the page piece by piece and dropped. Prints how long until the page
// had the drop, the longest the main loop went without a turn, and what the page received; run
// under /usr/bin/time -v for the peak memory. Under a display:
//   xvfb-run -a dbus-run-session -- ./drop_bench <file>...

#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "canvas/DroppedPictures.h"
#include "canvas/WebViewController.h"
#include "platform/OffscreenWindow.h"
#include "platform/RunLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

void deliver(std::shared_ptr<WebViewController> page, std::shared_ptr<DroppedPictures::Delivery> delivery) {
  auto script = delivery->next();
  if (!script) return;
  page->evaluateJavaScript(*script, [page, delivery](std::optional<nlohmann::json>, std::optional<Error> error) {
    if (error) std::fprintf(stderr, "drop_bench: a script failed: %s\n", error->message.c_str());
    else deliver(page, delivery);
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "drop_bench: no display\n");
    return 1;
  }
  if (argc < 2) return 2;
  std::vector<std::filesystem::path> files(argv + 1, argv + argc);
  auto page = WebViewController::create(false);
  OffscreenWindow window(page->webView().widget(), 400, 300);
  bool loaded = false;
  page->loadHTMLString(
      "<body style='height: 300px'><script>window.received = null;"
      "window.addEventListener('drop', function (e) { try { var n = 0;"
      " Array.prototype.forEach.call(e.dataTransfer.files, function (f) { n += f.size; });"
      " window.received = { files: e.dataTransfer.files.length, bytes: n }; } catch (x) { window.received = { error: String(x) }; } }, true);</script></body>",
      "", [&] { loaded = true; });
  if (!RunLoop::runUntil([&] { return loaded; }, 60)) std::fprintf(stderr, "drop_bench: the page did not load\n");

  // The main loop's longest pause, seen by a timer that asks for a turn every 5 ms.
  auto last = Clock::now();
  double longestPause = 0;
  auto ticks = Timer::scheduled(0.005, true, [&] {
    auto now = Clock::now();
    longestPause = std::max(longestPause, std::chrono::duration<double, std::milli>(now - last).count());
    last = now;
  });

  auto start = Clock::now();
  std::shared_ptr<DroppedPictures::Drop> drop;
  std::thread worker([&] {
    auto read = std::make_shared<DroppedPictures::Drop>(DroppedPictures::read(files));
    MainQueue::async([&drop, read] { drop = read; });
  });
  RunLoop::runUntil([&] { return drop != nullptr; }, 600);
  worker.join();
  auto readIn = std::chrono::duration<double>(Clock::now() - start).count();
  std::size_t pictures = drop->pictures.size(), left = drop->left.size();
  deliver(page, std::make_shared<DroppedPictures::Delivery>(std::move(drop->pictures), 100, 100));
  drop.reset();
  nlohmann::json received;
  auto asks = Timer::scheduled(0.05, true, [&] {
    page->evaluateJavaScript("JSON.stringify(window.received)", [&](std::optional<nlohmann::json> value, std::optional<Error>) {
      if (value && value->is_string() && *value != "null") received = nlohmann::json::parse(value->get<std::string>());
    });
  });
  RunLoop::runUntil([&] { return received.is_object(); }, 600);
  auto took = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("%zu files: %zu pictures taken, %zu left out; read in %.2f s; page had the drop after %.2f s "
              "(%s); longest main-loop pause %.0f ms\n",
              files.size(), pictures, left, readIn, took, received.dump().c_str(), longestPause);
  return received.is_object() ? 0 : 1;
}
