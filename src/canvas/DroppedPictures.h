#pragma once
// Picture files that another program dropped on the editor, handed to the page as the drop the
// web engine of this toolkit does not give it: the engine tells a page of a dropped file's
// address but never gives it the file. The page then takes them as from any drop.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Alert.h"
#include "platform/Data.h"

namespace DroppedPictures {

// The most one dropped file may hold; a larger one is left out, and the person told.
inline constexpr std::uintmax_t maximumBytes = std::uintmax_t(32) << 20;
// What one drop hands the page in all; the pictures beyond are left out, and the person told.
inline constexpr std::size_t maximumPictures = 16;
inline constexpr std::uintmax_t maximumTotalBytes = std::uintmax_t(64) << 20;
// The bytes one script carries to the page: the main loop never hands over a long script.
inline constexpr std::size_t pieceBytes = std::size_t(1) << 20;

struct Picture {
  std::string name;  // the file's name, without its folder
  std::string type;  // its media type, "image/…"
  Data bytes;
};

struct Drop {
  std::vector<Picture> pictures;  // what the page is handed, in the order dropped
  std::vector<std::string> left;  // names of the picture files beyond the bounds, unread
  std::vector<std::string> notPictures;  // names of the files whose content is no picture's
};

// The pictures among `files`: plain files whose content is an image's, each of at most
// maximumBytes, at most maximumPictures of them and maximumTotalBytes in all, taken in order;
// the other pictures are named in `left`, and the files that are no pictures in `notPictures`.
// Reads the disk; any thread.
Drop read(const std::vector<std::filesystem::path>& files);

// What the person is told of the pictures a drop left out; none when it left none.
std::optional<AlertSpec> leftOutAlert(const Drop& drop);
// What the person is told of all a drop did not add: the pictures left out and the files that
// are no pictures, in one alert; none when it added all.
std::optional<AlertSpec> notAddedAlert(const Drop& drop);

// The scripts that hand pictures to the page and drop them on it at (x, y) of its view: one
// per piece of at most pieceBytes, then the drop. Each is made when asked for, so at most one
// piece is held as text. Run them in order, each after the one before has finished.
class Delivery {
 public:
  Delivery(std::vector<Picture> pictures, double x, double y);
  // The next script; none once the drop has been given.
  std::optional<std::string> next();
  // The script that lets go of the pieces the page holds, for a drop given up half-way.
  std::string abandoned() const;

 private:
  std::vector<Picture> pictures_;
  double x_, y_;
  std::string id_;  // the page keeps the pieces of each drop apart under it
  std::size_t picture_ = 0, offset_ = 0;
  bool dropped_ = false;
};

}  // namespace DroppedPictures
