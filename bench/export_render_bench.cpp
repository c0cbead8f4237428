// Renders the given HTML files through the export render queue into PNG or PDF files, all queued
// at once like a folder export, and prints the seconds the renders took and how many failed.
// Usage: export_render_bench png|pdf <output folder> <width> <height> <file.html>...
//        export_render_bench serve <width> <height> <file.html>...
// serve keeps the process (and its warm render workers) running and reads one round a line from
// standard input, "png <folder>" or "pdf <folder>", answering each with "<seconds> <failed>".

#include <gtk/gtk.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "export/HTMLRenderQueue.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"

namespace {

struct Round {
  double seconds = 0;
  int failed = 0;
};

Round render(const std::string& format, const std::filesystem::path& out, double width, double height,
             const std::vector<std::string>& files) {
  int pending = static_cast<int>(files.size()), failed = 0;
  auto start = std::chrono::steady_clock::now();
  for (const auto& file : files) {
    auto html = fs::readText(file);
    if (!html) {
      ++failed;
      --pending;
      continue;
    }
    auto work = std::make_shared<HTMLRenderer::Work>();
    work->string = HTMLRenderer::Source{*html, std::filesystem::path(file).parent_path()};
    work->size = HTMLRenderer::Size{width, height};
    auto target = out / (std::filesystem::path(file).stem().string() + "." + format);
    auto finish = [&pending, &failed, target](const Data& bytes) {
      if (bytes.empty() || !fs::writeAtomically(target, bytes)) ++failed;
      --pending;
    };
    if (format == "pdf")
      HTMLRenderQueue::shared().addWork(work, HTMLRenderer::PDFCallback([finish](std::optional<Data> pdf) {
        finish(pdf ? *pdf : Data());
      }));
    else
      HTMLRenderQueue::shared().addWork(work, HTMLRenderer::BitmapCallback([finish](std::optional<Bitmap> bitmap) {
        finish(bitmap ? ImageEncoding::png(*bitmap) : Data());
      }));
  }
  RunLoop::runUntil([&] { return pending == 0; }, 600);
  Round round;
  round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  round.failed = failed + pending;
  return round;
}

bool standardInputReady() {
  pollfd in{0, POLLIN, 0};
  return ::poll(&in, 1, 0) > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 2;
  gtk_init(nullptr, nullptr);
  std::string mode = argv[1];
  if (mode == "serve") {
    double width = std::atof(argv[2]), height = std::atof(argv[3]);
    std::vector<std::string> files(argv + 4, argv + argc);
    for (;;) {
      // The main loop goes on between rounds, as it would in the application.
      while (!RunLoop::runUntil(standardInputReady, 3600)) {
      }
      std::string format, folder;
      if (!(std::cin >> format >> folder)) return 0;
      Round round = render(format, folder, width, height, files);
      std::printf("%.3f %d\n", round.seconds, round.failed);
      std::fflush(stdout);
    }
  }
  if (argc < 6) return 2;
  Round round = render(mode, argv[2], std::atof(argv[3]), std::atof(argv[4]), std::vector<std::string>(argv + 5, argv + argc));
  std::printf("%.3f %d\n", round.seconds, round.failed);
  return round.failed == 0 ? 0 : 1;
}
