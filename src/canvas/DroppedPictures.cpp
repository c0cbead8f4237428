#include "canvas/DroppedPictures.h"

#include <gio/gio.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "canvas/ScriptLiteral.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"

namespace DroppedPictures {

namespace {

// Judged by name and content, as the page's engine types a file it is given.
std::string mediaType(const std::filesystem::path& file, const Data& bytes) {
  gboolean uncertain = FALSE;
  std::string name = file.filename().string();
  gchar* guessed = g_content_type_guess(name.c_str(), bytes.data(), std::min<std::size_t>(bytes.size(), 4096), &uncertain);
  gchar* mime = guessed ? g_content_type_get_mime_type(guessed) : nullptr;
  std::string type = mime ? mime : "";
  g_free(mime);
  g_free(guessed);
  return type;
}

}  // namespace

std::vector<Picture> read(const std::vector<std::filesystem::path>& files) {
  std::vector<Picture> pictures;
  for (const auto& file : files) {
    if (!file.is_absolute() || !file.has_filename()) continue;
    // Only a plain file, read to its bound: never a pipe or a device that would never end.
    auto bytes = fs::readFileInside(file.parent_path(), file.filename(), maximumBytes);
    if (!bytes) continue;
    std::string type = mediaType(file, *bytes);
    if (type.rfind("image/", 0) != 0) continue;
    pictures.push_back({file.filename().string(), type, std::move(*bytes)});
  }
  return pictures;
}

std::string dropScript(const std::vector<Picture>& pictures, double x, double y) {
  nlohmann::json files = nlohmann::json::array();
  for (const auto& p : pictures)
    files.push_back({{"name", p.name}, {"type", p.type}, {"data", crypto::base64Encode(p.bytes)}});
  if (!std::isfinite(x)) x = 0;
  if (!std::isfinite(y)) y = 0;
  return "(function (files, x, y) {"
         " Promise.all(files.map(function (f) {"
         "  return fetch('data:' + f.type + ';base64,' + f.data).then(function (r) { return r.blob(); })"
         "   .then(function (b) { return new File([b], f.name, { type: f.type }); });"
         " })).then(function (list) {"
         "  var data = new DataTransfer();"
         "  list.forEach(function (file) { data.items.add(file); });"
         "  var target = document.elementFromPoint(x, y) || document.body || document.documentElement;"
         "  target.dispatchEvent(new DragEvent('drop', { dataTransfer: data, clientX: x, clientY: y,"
         "   bubbles: true, cancelable: true, composed: true }));"
         " });"
         " return true;"
         "})(" + ScriptLiteral::json(files) + ", " + ScriptLiteral::json(x) + ", " + ScriptLiteral::json(y) + ")";
}

}  // namespace DroppedPictures
