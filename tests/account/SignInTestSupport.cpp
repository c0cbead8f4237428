#include "SignInTestSupport.h"

#include <glib.h>

#include <cstring>
#include <mutex>

namespace signintest {
namespace {

std::mutex linesMutex;
std::vector<std::string>& lines() {
  static auto* all = new std::vector<std::string>();
  return *all;
}

GLogWriterOutput record(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
  for (gsize i = 0; i < count; ++i) {
    if (std::strcmp(fields[i].key, "MESSAGE") != 0) continue;
    std::string text = fields[i].length < 0 ? std::string(static_cast<const char*>(fields[i].value))
                                            : std::string(static_cast<const char*>(fields[i].value),
                                                          static_cast<std::size_t>(fields[i].length));
    std::lock_guard lock(linesMutex);
    lines().push_back(std::move(text));
  }
  return g_log_writer_default(level, fields, count, nullptr);
}

// GLib takes a writer only before anything is logged: install it before main.
const bool installed = [] {
  g_log_set_writer_func(record, nullptr, nullptr);
  return true;
}();

}  // namespace

std::vector<std::string> logLines() {
  std::lock_guard lock(linesMutex);
  return lines();
}

long countLogLines(const std::string& text) {
  long n = 0;
  for (const auto& line : logLines()) n += line.find(text) != std::string::npos;
  return n;
}

}  // namespace signintest
