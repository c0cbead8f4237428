#include "RWLog.h"

#include <glib.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "AppBundleInfo.h"

namespace {

std::mutex secretsMutex;
std::multiset<std::string>& secrets() {
  static auto* s = new std::multiset<std::string>();
  return *s;
}

constexpr std::string_view kBlank = "<redacted>";

bool isValueChar(char c) { return !(c == ' ' || c == '&' || c == '"' || c == '\'' || c == '\n' || c == ',' || c == ';'); }

const std::string& domain() {
  static const std::string d = AppBundleInfo::main().string("CFBundleIdentifier").value_or("com.korvel.x");
  return d;
}

}  // namespace

namespace RWLogSecrets {

void add(const std::string& secret) {
  if (secret.empty()) return;
  std::lock_guard lock(secretsMutex);
  secrets().insert(secret);
}

void remove(const std::string& secret) {
  std::lock_guard lock(secretsMutex);
  if (auto it = secrets().find(secret); it != secrets().end()) secrets().erase(it);
}

std::string redact(std::string_view text) {
  std::string out(text);
  {
    std::lock_guard lock(secretsMutex);
    for (const auto& s : secrets()) {
      for (auto pos = out.find(s); pos != std::string::npos; pos = out.find(s, pos + kBlank.size()))
        out.replace(pos, s.size(), kBlank);
    }
  }
  for (std::string_view marker : {"token=", "fut=", "Token ", "--token "}) {
    for (auto pos = out.find(marker); pos != std::string::npos; pos = out.find(marker, pos + 1)) {
      auto start = pos + marker.size();
      auto end = start;
      while (end < out.size() && isValueChar(out[end])) ++end;
      if (end > start && out.compare(start, end - start, kBlank) != 0) out.replace(start, end - start, kBlank);
    }
  }
  return out;
}

}  // namespace RWLogSecrets

void RWLog(std::string_view message, RWLogLevel level) {
  const char* category;
  GLogLevelFlags flags;
  const char* priority;
  switch (level) {
    case 0: category = "default"; flags = G_LOG_LEVEL_MESSAGE; priority = "5"; break;
    case 1: category = "memory"; flags = G_LOG_LEVEL_DEBUG; priority = "7"; break;
    case 2: category = "server"; flags = G_LOG_LEVEL_MESSAGE; priority = "5"; break;
    case 3: category = "server"; flags = G_LOG_LEVEL_WARNING; priority = "3"; break;
    default: return;
  }
  if (g_log_writer_default_would_drop(flags, domain().c_str())) return;
  // Secrets are blanked before the line is cut, so a cut never leaves part of one; the first
  // cut only spares the redaction a page's megabytes.
  std::string text = RWLogSecrets::redact(message.substr(0, 64 * 1024));
  if (text.size() > RWLogMaximumLength) {
    std::size_t cut = RWLogMaximumLength;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "…";
  }
  const GLogField fields[] = {
      {"GLIB_DOMAIN", domain().c_str(), -1},
      {"PRIORITY", priority, -1},
      {"MESSAGE", text.c_str(), -1},
      {"KORVEL_CATEGORY", category, -1},
  };
  g_log_structured_array(flags, fields, G_N_ELEMENTS(fields));
}
