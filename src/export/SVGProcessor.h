#pragma once
// Optimises SVG text with the bundled SVG optimiser, run by the bundled Node.js as a child:
// SVG in on standard input, SVG out on standard output. Both pipes are driven from the main
// loop, so neither a large SVG nor a slow child blocks it. Whenever the optimiser can't run,
// fails, runs out of time, writes more than an optimised SVG ever takes or answers with
// something that is not XML, the caller gets its own bytes back.
//
// Threads: main thread only; the completion runs once, on the main loop (or before process()
// returns when the optimiser is missing or can't start).

#include <chrono>
#include <cstddef>
#include <functional>

#include "platform/Data.h"

class SVGProcessor {
 public:
  static void process(const Data& svg, std::function<void(Data)> completionHandler);

  // How long one run may take before it is stopped and the input given back.
  static std::chrono::milliseconds timeout;
  // The most output read for an input of `inputSize` bytes; a child writing more is stopped.
  static std::size_t maximumOutputSize(std::size_t inputSize);
  // Children still running.
  static size_t runningCount();
};
