#pragma once
// Picture files that another program dropped on the editor, handed to the page as the drop the
// web engine of this toolkit does not give it: the engine tells a page of a dropped file's
// address but never gives it the file. The page then takes them as from any drop.

#include <filesystem>
#include <string>
#include <vector>

#include "platform/Data.h"

namespace DroppedPictures {

// Each file's data address must fit in one message of the page.
inline constexpr std::uintmax_t maximumBytes = std::uintmax_t(32) << 20;

struct Picture {
  std::string name;  // the file's name, without its folder
  std::string type;  // its media type, "image/…"
  Data bytes;
};

// The pictures among `files`: plain files of at most maximumBytes whose content is an image's.
// Reads the disk; any thread.
std::vector<Picture> read(const std::vector<std::filesystem::path>& files);

// The script that drops `pictures` on the page at (x, y) of its view.
std::string dropScript(const std::vector<Picture>& pictures, double x, double y);

}  // namespace DroppedPictures
