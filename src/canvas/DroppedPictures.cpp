#include "canvas/DroppedPictures.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <span>

#include <nlohmann/json.hpp>

#include "canvas/RefusedPictures.h"
#include "canvas/ScriptLiteral.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"

namespace DroppedPictures {

namespace {

// Enough of a file to judge its type by, as the page's engine does.
constexpr std::size_t sniffedBytes = 4096;
// Names listed in the alert; the rest are counted.
constexpr std::size_t namedInAlert = 5;

// Judged by name and content, as the page's engine types a file it is given.
std::string mediaType(const std::filesystem::path& file, const Data& head) {
  gboolean uncertain = FALSE;
  std::string name = file.filename().string();
  gchar* guessed = g_content_type_guess(name.c_str(), head.data(), std::min(head.size(), sniffedBytes), &uncertain);
  gchar* mime = guessed ? g_content_type_get_mime_type(guessed) : nullptr;
  std::string type = mime ? mime : "";
  g_free(mime);
  g_free(guessed);
  return type;
}

std::string megabytes(std::uintmax_t bytes) { return std::to_string(bytes >> 20) + " MB"; }

}  // namespace

Drop read(const std::vector<std::filesystem::path>& files) {
  Drop drop;
  std::uintmax_t total = 0;
  for (const auto& file : files) {
    if (!file.is_absolute() || !file.has_filename()) continue;
    // Only a plain file: never a pipe or a device that would never end.
    auto fd = fs::openInside(file.parent_path(), file.filename());
    if (!fd) continue;
    struct stat status {};
    if (::fstat(fd->get(), &status) != 0 || status.st_size < 0) continue;
    Data head(sniffedBytes);
    ssize_t got = ::pread(fd->get(), head.data(), head.size(), 0);
    if (got < 0) continue;
    head.resize(static_cast<std::size_t>(got));
    std::string type = mediaType(file, head);
    std::string name = file.filename().string();
    if (type.rfind("image/", 0) != 0) {
      drop.notPictures.push_back(std::move(name));
      continue;
    }
    auto size = static_cast<std::uintmax_t>(status.st_size);
    // Past a bound the file is named, not read.
    if (size > maximumBytes || drop.pictures.size() >= maximumPictures || size > maximumTotalBytes - total) {
      drop.left.push_back(std::move(name));
      continue;
    }
    // Read to the size it had: a file that grew meanwhile is left out rather than read on.
    auto bytes = fs::readAll(fd->get(), file, size);
    if (!bytes) continue;
    total += bytes->size();
    drop.pictures.push_back({std::move(name), std::move(type), std::move(*bytes)});
  }
  return drop;
}

std::optional<AlertSpec> leftOutAlert(const Drop& drop) {
  if (drop.left.empty()) return std::nullopt;
  std::string names;
  for (std::size_t i = 0; i < drop.left.size() && i < namedInAlert; ++i)
    names += (i ? ", “" : "“") + drop.left[i] + "”";
  if (drop.left.size() > namedInAlert) names += " and " + std::to_string(drop.left.size() - namedInAlert) + " more";
  std::string message = drop.left.size() == 1 ? "A dropped picture was not added."
                                               : std::to_string(drop.left.size()) + " dropped pictures were not added.";
  return AlertSpec{message,
                   "One drop adds at most " + std::to_string(maximumPictures) + " pictures of " +
                       megabytes(maximumTotalBytes) + " in all, each of at most " + megabytes(maximumBytes) +
                       ". Left out: " + names + ".",
                   {}};
}

std::optional<AlertSpec> notAddedAlert(const Drop& drop) {
  std::vector<RefusedPictures::Refusal> refused;
  for (const auto& name : drop.notPictures) refused.push_back({name, RefusedPictures::notAPicture});
  auto left = leftOutAlert(drop);
  auto others = RefusedPictures::alert(refused);
  if (left && others) left->informativeText += "\n" + others->informativeText;
  return left ? left : others;
}

Delivery::Delivery(std::vector<Picture> pictures, double x, double y)
    : pictures_(std::move(pictures)), x_(std::isfinite(x) ? x : 0), y_(std::isfinite(y) ? y : 0) {
  static std::atomic<unsigned long> drops{0};
  id_ = std::to_string(::getpid()) + "-" + std::to_string(++drops);
}

std::optional<std::string> Delivery::next() {
  while (picture_ < pictures_.size() && offset_ >= pictures_[picture_].bytes.size()) {
    Data().swap(pictures_[picture_].bytes);  // handed over: the page holds it now
    ++picture_;
    offset_ = 0;
  }
  if (picture_ < pictures_.size()) {
    const Data& bytes = pictures_[picture_].bytes;
    std::size_t length = std::min(pieceBytes, bytes.size() - offset_);
    std::string piece = crypto::base64Encode(std::span(bytes).subspan(offset_, length));
    offset_ += length;
    // Each piece becomes a blob of the page's at once: the page holds no long strings either.
    return "(function (drop, index, piece) {"
           " var store = window.__korvelDroppedPictures || (window.__korvelDroppedPictures = {});"
           " var files = store[drop] || (store[drop] = []);"
           " var raw = atob(piece), bytes = new Uint8Array(raw.length);"
           " for (var i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);"
           " (files[index] || (files[index] = [])).push(new Blob([bytes]));"
           " return true;"
           "})(" +
           ScriptLiteral::string(id_) + ", " + std::to_string(picture_) + ", " + ScriptLiteral::string(piece) + ")";
  }
  if (std::exchange(dropped_, true)) return std::nullopt;
  nlohmann::json files = nlohmann::json::array();
  for (const auto& p : pictures_) files.push_back({{"name", p.name}, {"type", p.type}});
  return "(function (drop, files, x, y) {"
         " var store = window.__korvelDroppedPictures || {};"
         " var pieces = store[drop] || [];"
         " delete store[drop];"
         " var data = new DataTransfer();"
         " files.forEach(function (f, i) { data.items.add(new File(pieces[i] || [], f.name, { type: f.type })); });"
         " var target = document.elementFromPoint(x, y) || document.body || document.documentElement;"
         " target.dispatchEvent(new DragEvent('drop', { dataTransfer: data, clientX: x, clientY: y,"
         "  bubbles: true, cancelable: true, composed: true }));"
         " return true;"
         "})(" +
         ScriptLiteral::string(id_) + ", " + ScriptLiteral::json(files) + ", " + ScriptLiteral::json(x_) + ", " +
         ScriptLiteral::json(y_) + ")";
}

std::string Delivery::abandoned() const {
  return "(function (drop) { var store = window.__korvelDroppedPictures; if (store) delete store[drop]; return true; })(" +
         ScriptLiteral::string(id_) + ")";
}

}  // namespace DroppedPictures
