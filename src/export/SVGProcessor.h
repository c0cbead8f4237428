#pragma once
// Optimises SVG text with the bundled SVG optimiser, run by the bundled Node.js as a child:
// SVG in on standard input, SVG out on standard output. Both pipes are driven from the main
// loop, so neither a large SVG nor a slow child blocks it. Whenever the optimiser can't run,
// fails, runs out of time or answers with something that is not XML, the caller gets its own
// bytes back.
//
// Threads: main thread only; the completion runs once, on the main loop (or before process()
// returns when the optimiser is missing or can't start).

#include <chrono>
#include <functional>

#include "platform/Data.h"

class SVGProcessor {
 public:
  static void process(const Data& svg, std::function<void(Data)> completionHandler);

  // How long one run may take before it is stopped and the input given back.
  static std::chrono::milliseconds timeout;
  // Children still running.
  static size_t runningCount();
};
