#include "export/ExportPreviewCache.h"

#include <glib.h>

#include <cstdio>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/Crypto.h"
#include "platform/JsonCoder.h"
#include "platform/RWLog.h"

namespace stdfs = std::filesystem;

ExportPreviewCache::ExportPreviewCache() {
  std::string pattern = (stdfs::path(g_get_tmp_dir()) / "korvel-previews-XXXXXX").string();
  if (char* made = g_mkdtemp_full(pattern.data(), 0700)) folder_ = made;
  else RWLog("could not make a folder for export previews");
}

ExportPreviewCache::~ExportPreviewCache() {
  clear();
  std::error_code ec;
  if (!folder_.empty()) stdfs::remove_all(folder_, ec);
}

std::optional<stdfs::path> ExportPreviewCache::get(const std::string& key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  std::error_code ec;
  if (!stdfs::exists(it->second.first, ec)) return std::nullopt;
  return it->second.first;
}

void ExportPreviewCache::drop(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  std::error_code ec;
  stdfs::remove(it->second.first, ec);
  order_.erase(it->second.second);
  entries_.erase(it);
}

void ExportPreviewCache::set(const std::string& key, const std::optional<stdfs::path>& file) {
  auto it = entries_.find(key);
  if (!file) return drop(key);
  if (it != entries_.end()) {
    if (it->second.first == *file) return;
    drop(key);
  }
  order_.push_back(key);
  entries_.emplace(key, std::make_pair(*file, std::prev(order_.end())));
  while (order_.size() > countLimit) drop(order_.front());
}

void ExportPreviewCache::clear() {
  while (!order_.empty()) drop(order_.front());
}

std::optional<stdfs::path> ExportPreviewCache::fileFor(const std::string& key, const std::string& name) const {
  if (folder_.empty() || !isSafeRelativeName(key) || !isSafeRelativeName(name)) return std::nullopt;
  return folder_ / key / name;
}

std::string ExportPreviewCache::normalizedHTML(const std::string& html) {
  // Takes out every data-editor="<word characters>".
  static constexpr std::string_view attribute = "data-editor=\"";
  std::string out;
  std::size_t at = 0;
  for (;;) {
    std::size_t start = html.find(attribute, at);
    if (start == std::string::npos) break;
    std::size_t i = start + attribute.size(), valueStart = i;
    while (i < html.size() && (g_ascii_isalnum(html[i]) || html[i] == '_')) ++i;
    if (i > valueStart && i < html.size() && html[i] == '"') {
      out.append(html, at, start - at);
      at = i + 1;
    } else {
      out.append(html, at, start + 1 - at);
      at = start + 1;
    }
  }
  out.append(html, at, std::string::npos);
  return out;
}

std::string ExportPreviewCache::key(const ExportFileDescriptor& file, double jpegQuality, double webpQuality) {
  ExportFileDescriptor normal = file;
  normal.html = normalizedHTML(file.html);
  nlohmann::json all = normal.encode();
  all["svgPresent"] = file.svg.has_value();
  all["jpegQuality"] = jpegQuality;
  all["webpQuality"] = webpQuality;
  auto digest = crypto::md5(JsonCoder::dump(all));
  std::string hex;
  char two[3];
  for (auto byte : digest) {
    std::snprintf(two, sizeof two, "%02hhx", byte);
    hex += two;
  }
  return hex;
}
