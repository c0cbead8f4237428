#include "Fatal.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "RWLog.h"

void korvelFatal(std::string_view message, const char* file, int line) {
  std::string text = "Fatal error: " + std::string(message) + " (" + file + ":" + std::to_string(line) + ")";
  RWLog(text, 3);
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}
