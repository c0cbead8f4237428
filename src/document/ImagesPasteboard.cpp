#include "document/ImagesPasteboard.h"

ImagesPasteboard& ImagesPasteboard::shared() {
  static ImagesPasteboard instance;
  return instance;
}

bool ImagesPasteboard::isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

void ImagesPasteboard::writeImages(const std::vector<std::string>& imageNames, const std::filesystem::path& imageFolder) {
  std::map<std::string, std::string> content;
  for (auto& n : imageNames) content[n] = (imageFolder / n).string();
  content_ = std::move(content);
}

std::map<std::string, std::filesystem::path> ImagesPasteboard::readImages() const {
  std::map<std::string, std::filesystem::path> out;
  if (!content_) return out;
  for (auto& [n, path] : *content_)
    if (isPlainName(n)) out.emplace(n, path);
  return out;
}
