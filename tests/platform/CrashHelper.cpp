// A child for the crash-report tests: starts the crash handler, then crashes as told.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/SentryClient.h"

int main(int argc, char** argv) {
  auto client = SentryClient::create(KorvelCrashReportDSN);
  if (!client) return 3;
  if (auto started = (*client)->startCrashHandler(); !started) {
    std::fprintf(stderr, "%s\n", started.error().description().c_str());
    return 4;
  }
  std::string what = argc > 1 ? argv[1] : "";
  if (what == "segv") {
    // Not null, which the undefined-behaviour checks would catch first: a real fault.
    *reinterpret_cast<volatile int*>(16) = 1;
  } else if (what == "abort") {
    std::abort();
  } else if (what == "kill-segv") {
    std::raise(SIGSEGV);
  }
  return 0;
}
