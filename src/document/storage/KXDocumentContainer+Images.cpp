// Images and assets the editor adds to the project, and the reduced copies of images kept in
// .cache/images/<size>/.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <system_error>

#include "document/storage/ConcurrentWork.h"
#include "document/storage/KXDocumentContainer.h"
#include "document/storage/KXDocumentError.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/GObjectPtr.h"
#include "platform/ImageData.h"
#include "platform/PictureStore.h"
#include "platform/UniqueFd.h"

namespace {

bool startsWith(const Data& d, std::initializer_list<std::uint8_t> magic) {
  return d.size() >= magic.size() && std::equal(magic.begin(), magic.end(), d.begin());
}

std::string nameForContent(const Data& bytes) {
  auto digest = crypto::sha1(bytes);
  return KXDocumentContainer::contentName(Data(digest.begin(), digest.end()));
}

std::string imageExtension(const Data& bytes) {
  if (startsWith(bytes, {0x89, 0x50, 0x4E, 0x47})) return ".png";
  if (startsWith(bytes, {0xFF, 0xD8, 0xFF})) return ".jpg";
  return "";
}

// A name of one file directly in a folder: no separators, no "." or "..", no zero byte.
bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

}  // namespace

std::string KXDocumentContainer::contentName(const Data& sha1Digest) {
  std::string name = crypto::base64Encode(sha1Digest);
  std::erase_if(name, [](char c) { return c == '/' || c == '+' || c == '='; });
  return name;
}

namespace {

// No picture file a design holds is larger; a larger one gets no reduced copies.
constexpr std::uintmax_t maximumCachedImageBytes = std::uintmax_t(256) << 20;

// Reduced copies are made a few at a time, however many images a read finds.
GThreadPool* scalingPool() {
  static GThreadPool* pool = g_thread_pool_new(
      [](gpointer data, gpointer) {
        std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
        (*work)();
      },
      nullptr, 2, FALSE, nullptr);
  return pool;
}

}  // namespace

Result<std::string> KXDocumentContainer::addImage(const Data& data) {
  requireValid("addImage(data:)");
  // Only images are kept: drawings become PNG, anything else is refused.
  auto storable = ImageData::storableImage(data);
  if (!storable) return fail(makeError(KXDocumentError::unsupportedImageFormat));
  const Data& bytes = *storable;
  std::string name = nameForContent(bytes) + imageExtension(bytes);
  auto folder = projectDirectory_ / KXDocumentArchive::relativePathForImages;
  if (auto made = fs::createDirectories(folder); !made) return fail(made.error());
  if (auto written = fs::writeAtomically(folder / name, bytes); !written) return fail(written.error());
  addCachedImageDimensionDirectories();
  addMissingCachedImages(name, {});
  return name;
}

Result<void> KXDocumentContainer::addImage(const std::string& name, const std::filesystem::path& contentsOf) {
  requireValid("addImage(named:withContentsOf:)");
  if (!isPlainName(name)) return fail(NSCocoaErrorDomain, NSFileWriteUnknownError, "not an image name: " + name);
  auto folder = projectDirectory_ / KXDocumentArchive::relativePathForImages;
  if (auto made = fs::createDirectories(folder); !made) return fail(made.error());
  auto target = folder / name;
  // An image of that name is already here: images are named by content, so it is the same.
  if (!fs::exists(target)) {
    if (auto copied = fs::copyItem(contentsOf, target); !copied) return fail(copied.error());
  } else if (!fs::exists(contentsOf)) {
    return fail(Error::file(ENOENT, contentsOf.string()));
  }
  addCachedImageDimensionDirectories();
  addMissingCachedImages(name, {});
  return {};
}

Result<std::string> KXDocumentContainer::addAsset(const Data& data, const std::string& preferredName, int count) {
  for (;; ++count) {
    std::filesystem::path proposed(preferredName);
    std::string last = proposed.filename().string();
    auto dot = last.rfind('.');
    std::string extension = dot == std::string::npos || dot == 0 ? "" : last.substr(dot + 1);
    std::string base = extension.empty() ? preferredName : preferredName.substr(0, preferredName.size() - extension.size() - 1);
    std::string suffix = count < 1 ? "" : " (" + std::to_string(count) + ")";
    std::string relative = std::string(KXDocumentArchive::relativePathForAssets) + "/" + base + suffix + "." + extension;
    // The proposed name comes from the editor: it must stay inside the assets folder.
    if (!KXDocumentArchive::isSafeRelativePath(relative) || !KXDocumentArchive::isSafeRelativePath(preferredName))
      return fail(NSCocoaErrorDomain, NSFileWriteUnknownError, "not an asset name: " + preferredName);
    auto target = projectDirectory_ / relative;
    // Sub-folders of the proposed name are made as folders; a link on the way would lead out.
    std::error_code ec;
    for (auto at = projectDirectory_; auto& part : std::filesystem::path(relative)) {
      at /= part;
      if (std::filesystem::is_symlink(std::filesystem::symlink_status(at, ec)))
        return fail(NSCocoaErrorDomain, NSFileWriteUnknownError, "not an asset name: " + preferredName);
    }
    auto existing = fs::readFile(target);
    if (!existing) {
      if (auto made = fs::createDirectories(target.parent_path()); !made) return fail(made.error());
      if (auto written = fs::writeAtomically(target, data); !written) return fail(written.error());
      return relative;
    }
    if (crypto::sha1(*existing) == crypto::sha1(data)) return relative;
  }
}

void KXDocumentContainer::addCachedImageDimensionDirectories() {
  for (int size : cachedImageDimensions)
    (void)fs::createDirectories(projectDirectory_ / KXDocumentArchive::relativePathForImageCaches / std::to_string(size));
}

namespace {

std::string cachePathOf(const std::string& name, int size) {
  return std::string(KXDocumentArchive::relativePathForImageCaches) + "/" + std::to_string(size) + "/" + name;
}

// A link that stays because the image gives no reduced copy of that size (it is smaller, or no
// picture at all) leads to the image by a path of its own: the next read knows it need not try
// again. Each image has at most one per size.
std::string settledLinkTarget(const std::string& name) {
  return std::string("../../../") + KXDocumentArchive::relativePathForImages + "/./" + name;
}

bool isSettled(const std::filesystem::path& link, const std::string& name) {
  std::error_code ec;
  return std::filesystem::read_symlink(link, ec) == std::filesystem::path(settledLinkTarget(name)) && !ec;
}

// What is made in a cache folder is made under a hidden name first that carries the maker's
// process id, and then renamed into place: a read removes what a process that ended left.
constexpr std::string_view temporaryPrefix = ".korvel-";

std::string temporaryStem() { return std::string(temporaryPrefix) + std::to_string(::getpid()) + "-"; }

std::string temporaryName() { return temporaryStem() + crypto::hex(crypto::randomBytes(6)); }

bool isLiveTemporary(std::string_view name) { return fs::isLiveProcessTemporary(name, temporaryPrefix); }

// Writes a reduced copy whole and synced beside `url` under a name of this process, then renames
// it over whatever is there (the link it replaces), never writing through it.
Result<void> writeCachedImage(const std::filesystem::path& url, std::span<const std::uint8_t> bytes) {
  return fs::writeAtomically(url, bytes, 0644, temporaryStem());
}

// Once an image was tried, the links still in place of its reduced copies are settled.
void settleLinks(const std::string& name, const std::vector<std::pair<int, std::filesystem::path>>& missing) {
  for (const auto& [size, link] : missing) {
    struct stat st{};
    if (::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) || isSettled(link, name)) continue;
    auto staged = link.parent_path() / temporaryName();
    if (::symlink(settledLinkTarget(name).c_str(), staged.c_str()) != 0) continue;
    if (::rename(staged.c_str(), link.c_str()) != 0) ::unlink(staged.c_str());
  }
}

}  // namespace

void KXDocumentContainer::removeLeftoverCacheTemporaries() const {
  // Hidden items never belong to the cache: what a run that ended left half made, or what a
  // document brought along. Those of a process still at work stay.
  std::size_t removed = 0;
  for (int size : cachedImageDimensions) {
    auto path = projectDirectory_ / KXDocumentArchive::relativePathForImageCaches / std::to_string(size);
    removed += fs::removeEntriesInside(path, [](std::string_view name) {
      return name.size() > 1 && name[0] == '.' && name != ".." && !isLiveTemporary(name);
    });
  }
  if (removed) log("Removed " + std::to_string(removed) + " temporary item(s) left in the image cache");
}

void KXDocumentContainer::linkCachedImage(const std::string& name, int size) const {
  // Relative to the link's folder, .cache/images/<size>/: a short target fits in the link
  // itself, and a copy of the working copy links to its own images.
  const std::string target = std::string("../../../") + KXDocumentArchive::relativePathForImages + "/" + name;
  auto url = projectDirectory_ / cachePathOf(name, size);
  // A link or a reduced copy already there is kept.
  if (::symlink(target.c_str(), url.c_str()) != 0 && errno != EEXIST)
    log("Couldn't create temporary image cache symlink: " + Error::file(errno, url.string(), false).description());
}

void KXDocumentContainer::linkCachedImages(std::vector<std::pair<const std::string*, int>> missing) const {
  // All links are made before this returns. Making a file takes its folder for as long as it
  // needs, which is long on a busy disk: in a working copy the links are made by a few threads
  // each in a folder of its own beside it and then moved to their places, which is quick; in a
  // folder document by one thread per size.
  std::map<int, UniqueFd> folders;
  for (int size : cachedImageDimensions) {
    auto path = projectDirectory_ / KXDocumentArchive::relativePathForImageCaches / std::to_string(size);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd) folders.emplace(size, std::move(fd));
  }
  // A link or a reduced copy already there is kept (a working copy taken up again has them).
  std::erase_if(missing, [&](const auto& item) {
    struct stat st{};
    auto folder = folders.find(item.second);
    return folder != folders.end() && ::fstatat(folder->second.get(), item.first->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  });
  std::optional<fs::TemporaryFolder> staging;
  if (!projectDirectoryIsOrigin_ && missing.size() > 64) {
    if (auto made = fs::TemporaryFolder::besides(projectDirectory_); made && folders.size() == std::size(cachedImageDimensions))
      staging.emplace(std::move(*made));
  }
  const std::string targetPrefix = std::string("../../../") + KXDocumentArchive::relativePathForImages + "/";
  std::size_t threads = staging ? threadsForJobs(8, 8)
                                : std::size(cachedImageDimensions);
  auto work = [&](std::size_t part) {
    UniqueFd own;
    if (staging) {
      auto folder = staging->path() / std::to_string(part);
      if (::mkdir(folder.c_str(), 0700) == 0) own.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    for (std::size_t i = 0; i < missing.size(); ++i) {
      const auto& [name, size] = missing[i];
      bool mine = staging ? i % threads == part : size == cachedImageDimensions[part];
      if (!mine) continue;
      std::string staged = std::to_string(i);
      if (!own || ::symlinkat((targetPrefix + *name).c_str(), own.get(), staged.c_str()) != 0) {
        linkCachedImage(*name, size);
        continue;
      }
      // A link or a reduced copy already there is kept.
      if (::renameat2(own.get(), staged.c_str(), folders.at(size).get(), name->c_str(), RENAME_NOREPLACE) != 0 &&
          errno != EEXIST)
        log("Couldn't create temporary image cache symlink: " +
            Error::file(errno, (projectDirectory_ / cachePathOf(*name, size)).string(), false).description());
    }
  };
  performConcurrently(threads, threads, [&](std::size_t part) {
    work(part);
    return true;
  });
}

void KXDocumentContainer::addMissingCachedImages(const std::string& name, const Entries& entries, bool linked) {
  auto source = projectDirectory_ / KXDocumentArchive::relativePathForImages / name;
  std::vector<std::pair<int, std::filesystem::path>> missing;
  for (int size : cachedImageDimensions) {
    if (entries.count(cachePathOf(name, size)) || isSettled(projectDirectory_ / cachePathOf(name, size), name)) continue;
    if (!linked) linkCachedImage(name, size);
    missing.emplace_back(size, projectDirectory_ / cachePathOf(name, size));
  }
  if (missing.empty()) return;
  auto self = shared_from_this();
  auto work = new std::function<void()>([self, source, missing, name] {
    struct Settle {
      const std::string& name;
      const std::vector<std::pair<int, std::filesystem::path>>& missing;
      ~Settle() { settleLinks(name, missing); }
    } settle{name, missing};
    GError* error = nullptr;
    // The stored file may come from anyone's document: it is read inside the images folder and
    // bounded by its header before a pixel is decoded.
    // Pictures are read and decoded within the bounds every page and export shares: a document
    // of many large pictures makes their copies one after another.
    auto fd = fs::openInside(source.parent_path(), source.filename());
    if (!fd) return;
    auto file = PictureStore::readFile(fd->get(), maximumCachedImageBytes);
    if (!file) return;
    auto header = ImageData::checkedBitmap(file->bytes);
    // A copy would be a still of an animation's first frame: an animation is drawn from itself.
    if (header && header->frames > 1) return;
    auto image = header ? PictureStore::decode(file->bytes, *header)
                        : Result<PictureStore::Decoded>(tl::unexpected(header.error()));
    if (!image) {
      if (image.error().code == ImageData::tooLarge)
        self->log("Couldn't make reduced copies of " + source.filename().string() + ": " + image.error().message);
      return;
    }
    bool jpeg = startsWith(file->bytes, {0xFF, 0xD8, 0xFF});
    file.value() = {};
    // Decoded as the pages draw the file, turned as they turn it.
    GObjectPtr<GdkPixbuf> oriented(std::move(image->picture));
    int pw = gdk_pixbuf_get_width(oriented.get()), ph = gdk_pixbuf_get_height(oriented.get());
    if (pw < 1 || ph < 1) return;
    for (const auto& [size, url] : missing) {
      double scale = std::min(static_cast<double>(size) / pw, static_cast<double>(size) / ph);
      if (scale >= 1.0) continue;  // the link to the full image serves this size
      int w = static_cast<int>(std::ceil(2.0 * pw * scale)), h = static_cast<int>(std::ceil(2.0 * ph * scale));
      GObjectPtr<GdkPixbuf> reduced(gdk_pixbuf_scale_simple(oriented.get(), w, h, GDK_INTERP_BILINEAR));
      if (!reduced) continue;
      gchar* buffer = nullptr;
      gsize length = 0;
      gboolean saved = jpeg ? gdk_pixbuf_save_to_buffer(reduced.get(), &buffer, &length, "jpeg", &error, "quality", "100", nullptr)
                            : gdk_pixbuf_save_to_buffer(reduced.get(), &buffer, &length, "png", &error, nullptr);
      g_clear_error(&error);
      if (!saved) continue;
      auto written = writeCachedImage(url, std::span(reinterpret_cast<const std::uint8_t*>(buffer), length));
      g_free(buffer);
      if (!written) self->log("Couldn't write cached image: " + written.error().description() + " (" + url.string() + ")");
    }
  });
  g_thread_pool_push(scalingPool(), work, nullptr);
}

void KXDocumentContainer::addMissingCachedImages() {
  requireValid("addMissingCachedImages");
  // The caller has just regenerated the project folder's manifest.
  Entries entries = projectDirectoryArchive_->manifest().files.value_or(Entries{});
  addCachedImageDimensionDirectories();
  removeLeftoverCacheTemporaries();
  const std::string images = std::string(KXDocumentArchive::relativePathForImages) + "/";
  std::vector<std::string> names;
  for (const auto& [path, entry] : entries) {
    if (path.rfind(images, 0) != 0) continue;
    std::string name = path.substr(path.rfind(images) + images.size());
    if (name.find('/') != std::string::npos) continue;
    names.push_back(std::move(name));
  }
  // Images whose reduced copies are all made or settled need nothing more.
  std::erase_if(names, [&](const std::string& name) {
    return std::all_of(std::begin(cachedImageDimensions), std::end(cachedImageDimensions), [&](int size) {
      return entries.count(cachePathOf(name, size)) || isSettled(projectDirectory_ / cachePathOf(name, size), name);
    });
  });
  std::vector<std::pair<const std::string*, int>> missing;
  for (const auto& name : names)
    for (int size : cachedImageDimensions)
      if (!entries.count(cachePathOf(name, size))) missing.emplace_back(&name, size);
  linkCachedImages(std::move(missing));
  if (!names.empty()) log("Making reduced copies of " + std::to_string(names.size()) + " image(s)");
  for (const auto& name : names) addMissingCachedImages(name, entries, true);
}
