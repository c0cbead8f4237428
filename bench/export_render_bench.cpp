// Renders the given HTML files through the export render queue into PNG or PDF files, all queued
// at once like a folder export, and prints the seconds the renders took.
// Usage: export_render_bench png|pdf <output folder> <width> <height> <file.html>...

#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "export/HTMLRenderQueue.h"
#include "platform/FileSystem.h"
#include "platform/RunLoop.h"

int main(int argc, char** argv) {
  if (argc < 6) return 2;
  gtk_init(nullptr, nullptr);
  std::string format = argv[1];
  std::filesystem::path out = argv[2];
  double width = std::atof(argv[3]), height = std::atof(argv[4]);
  int pending = argc - 5, failed = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 5; i < argc; ++i) {
    auto html = fs::readText(argv[i]);
    if (!html) return 1;
    auto work = std::make_shared<HTMLRenderer::Work>();
    work->string = HTMLRenderer::Source{*html, std::filesystem::path(argv[i]).parent_path()};
    work->size = HTMLRenderer::Size{width, height};
    auto target = out / (std::filesystem::path(argv[i]).stem().string() + "." + format);
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
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f %d\n", seconds, failed);
  return failed == 0 && pending == 0 ? 0 : 1;
}
