#pragma once
// The pictures a page's text holds, in order, whether inlined as data addresses or served
// beside it: their sizes, (0, 0) for an empty or unreadable one.
#include <string>
#include <utility>
#include <vector>

#include "export/ExportFileWriter.h"
#include "export/HTMLRenderer.h"
#include "platform/Crypto.h"
#include "platform/ImageData.h"

namespace testenv {

inline std::vector<std::pair<int, int>> inlinedSizes(const std::string& text,
                                                     const std::vector<std::shared_ptr<const PictureStore::Picture>>& served = {}) {
  const std::string servedPrefix = HTMLRenderer::servedAddress(0).substr(0, HTMLRenderer::servedAddress(0).size() - 1);
  std::vector<std::pair<int, int>> sizes;
  for (std::size_t at = 0;;) {
    std::size_t data = text.find(";base64,", at), named = text.find(servedPrefix, at);
    if (data == std::string::npos && named == std::string::npos) break;
    std::optional<ImageData::PixelSize> size;
    if (data < named) {
      at = data + 8;
      auto bytes = crypto::base64Decode(text.substr(at, text.find('"', at) - at));
      size = bytes ? ImageData::bitmapSize(*bytes) : std::nullopt;
    } else {
      at = named;
      auto index = HTMLRenderer::servedIndex(text.substr(at, text.find('"', at) - at));
      at += servedPrefix.size();
      if (index && *index < served.size()) size = ImageData::bitmapSize(served[*index]->bytes);
    }
    sizes.emplace_back(size ? size->width : 0, size ? size->height : 0);
  }
  return sizes;
}

inline std::vector<std::pair<int, int>> inlinedSizes(const ExportFileWriter::Inlined& inlined) {
  return inlinedSizes(inlined.text, inlined.pictures);
}

}  // namespace testenv
