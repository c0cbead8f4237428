#pragma once
// Renders HTML off screen into bitmaps and PDF with at most five warm WebKitGTK workers; further
// work waits in arrival order, and so does work that would take what the renders hold (their
// decoded pictures and their pages' pixels, costOf) past maximumRenderBytes (work beyond it
// renders alone). A worker loads the page, waits until it has settled (resource
// count, load finished, document.readyState, the caller's script, five animation frames ending
// in a navigation to "done://"), captures it or prints it to PDF, and returns to the pool. The
// view takes the page's whole size, so a page lays out once, at its size. Pages read only their
// folder and the application's resources, and nothing of them reaches the person. Every work gets its callback once, with nothing when its
// deadline passed first. Main thread only.

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "export/HTMLRenderer.h"

class HTMLRenderQueue : public HTMLRenderer {
 public:
  static constexpr int maxWorkers = 5;
  // What the pages rendered at once hold: their decoded pictures, and their pixels in every
  // copy a render makes of its page (the view's, the web process's, the capture and its bitmap).
  static constexpr std::size_t maximumRenderBytes = std::size_t(256) << 20;
  static constexpr std::size_t bytesPerPagePixel = 16;
  static std::size_t costOf(const Work& work);
  // The script that ends every render: five animation frames, then "done://".
  static const char* waitForRenderJS();

  static HTMLRenderQueue& shared();
  HTMLRenderQueue();
  ~HTMLRenderQueue() override;

  std::shared_ptr<Work> addWork(std::shared_ptr<Work> work, BitmapCallback callback) override;
  std::shared_ptr<Work> addWork(std::shared_ptr<Work> work, PDFCallback callback) override;
  // Main thread; the hold may be let go on any.
  std::shared_ptr<void> hold(std::size_t bytes) override;

  int workers() const { return static_cast<int>(all_.size()); }
  std::size_t waiting() const { return workQueue_.size(); }

  class Worker;

 private:
  std::shared_ptr<Work> add(std::shared_ptr<Work> work);
  void ready(Worker* worker, std::size_t cost);
  // Starts the waiting work, in order, while workers and the pictures' bound allow.
  void startWaiting();
  friend class Worker;

  std::vector<std::unique_ptr<Worker>> all_;
  std::deque<Worker*> workerQueue_;
  std::deque<std::shared_ptr<Work>> workQueue_;
  int rendering_ = 0;  // renders and holds
  std::size_t drawing_ = 0;  // costOf the work rendering, and the holds
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
