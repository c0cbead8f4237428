#include "ZZCompressedContent.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace {

constexpr std::string_view kExtensions[] = {
    "7z",  "aac",  "apng", "avif", "br",   "bz2",  "docx", "flac", "gif",  "gz",  "heic", "jar", "jpeg",
    "jpg", "m4a",  "m4v",  "mkv",  "mov",  "mp3",  "mp4",  "ogg",  "opus", "png", "pptx", "rar", "tgz",
    "webm", "webp", "woff", "woff2", "xlsx", "xz",  "zip",  "zst"};

}  // namespace

bool zzIsCompressedFileName(std::string_view fileName) {
  auto slash = fileName.rfind('/');
  auto base = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
  auto dot = base.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == base.size() || base.size() - dot > 6) return false;
  std::string extension(base.substr(dot + 1));
  for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return std::find(std::begin(kExtensions), std::end(kExtensions), extension) != std::end(kExtensions);
}
