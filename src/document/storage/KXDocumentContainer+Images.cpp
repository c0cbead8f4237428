// Images and assets the editor adds to the project, and the reduced copies of images kept in
// .cache/images/<size>/.

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <atomic>
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
#include "platform/RunLoop.h"
#include "platform/PictureScaling.h"
#include "platform/PictureStore.h"
#include "platform/QuickPng.h"
#include "platform/UniqueFd.h"
#include "platform/WaitedForWork.h"

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

std::atomic<std::size_t> scalingJobs{0};

// Reduced copies are made a few at a time, however many images a read finds.
GThreadPool* scalingPool() {
  static GThreadPool* pool = g_thread_pool_new(
      [](gpointer data, gpointer) {
        // No one waits for a copy: it is made with the time nothing else wants (an export, the
        // pages), and so are the threads its decode and encoding start, which inherit this.
        sched_param none{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &none);
        std::shared_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
        (*work)();
        // What the job holds goes on the main loop: its container may be the last reference to
        // one whose document has gone, and a container ends there, with the editor it holds.
        MainQueue::async([work = std::move(work)] {});
        --scalingJobs;
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
  // Made inside the project folder: a link in the document never takes the file elsewhere.
  auto relative = std::filesystem::path(KXDocumentArchive::relativePathForImages) / name;
  if (auto written = fs::writeInside(projectDirectory_, relative, bytes); !written) return fail(written.error());
  addCachedImageDimensionDirectories();
  addMissingCachedImages(name, {});
  return name;
}

Result<void> KXDocumentContainer::addImage(const std::string& name, const std::filesystem::path& contentsOf) {
  requireValid("addImage(named:withContentsOf:)");
  if (!isPlainName(name)) return fail(NSCocoaErrorDomain, NSFileWriteUnknownError, "not an image name: " + name);
  auto folder = fs::openFolderInside(projectDirectory_, KXDocumentArchive::relativePathForImages, true);
  if (!folder) return fail(folder.error());
  struct stat st {};
  // An image of that name is already here: images are named by content, so it is the same.
  if (::fstatat(folder->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    auto relative = std::filesystem::path(KXDocumentArchive::relativePathForImages) / name;
    auto copied = fs::copyInside(contentsOf.parent_path(), contentsOf.filename(), projectDirectory_, relative);
    if (!copied) return fail(copied.error());
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
    // Sub-folders of the proposed name are made as folders; a link on the way would lead out,
    // and is refused by the write.
    auto existing = fs::openInside(projectDirectory_, relative);
    if (!existing) {
      if (auto written = fs::writeInside(projectDirectory_, relative, data); !written) {
        if (written.error().domain == fs::ConfinedErrorDomain)
          return fail(NSCocoaErrorDomain, NSFileWriteUnknownError, "not an asset name: " + preferredName);
        return fail(written.error());
      }
      return relative;
    }
    // A file larger than the data holds something else.
    auto held = fs::readAll(existing->get(), projectDirectory_ / relative, data.size());
    if (held && crypto::sha1(*held) == crypto::sha1(data)) return relative;
    if (!held && held.error().domain != fs::ConfinedErrorDomain) return fail(held.error());
    continue;
  }
}

namespace {

std::string cacheFolderOf(int size) {
  return std::string(KXDocumentArchive::relativePathForImageCaches) + "/" + std::to_string(size);
}

std::string cachePathOf(const std::string& name, int size) { return cacheFolderOf(size) + "/" + name; }

// The cache folder for `size`, entered from the project folder without following a link: a
// document whose cache (or a folder above it) is a link gets no reduced copies, and nothing is
// made, changed or removed where the link leads.
UniqueFd openCacheFolder(const std::filesystem::path& project, int size, bool create = false) {
  auto folder = fs::openFolderInside(project, cacheFolderOf(size), create);
  return folder ? std::move(*folder) : UniqueFd();
}

}  // namespace

void KXDocumentContainer::addCachedImageDimensionDirectories() {
  for (int size : cachedImageDimensions)
    if (!openCacheFolder(projectDirectory_, size, true))
      log("Couldn't make the cache folder " + cacheFolderOf(size) + ": a link or a file is on the way");
}

namespace {

// A link that stays because the image gives no reduced copy of that size (it is smaller, or no
// picture at all) leads to the image by a path of its own: the next read knows it need not try
// again. Each image has at most one per size.
std::string settledLinkTarget(const std::string& name) {
  return std::string("../../../") + KXDocumentArchive::relativePathForImages + "/./" + name;
}

bool isSettled(int folder, const std::string& name) {
  const std::string settled = settledLinkTarget(name);
  std::string target(settled.size() + 1, '\0');
  ssize_t n = ::readlinkat(folder, name.c_str(), target.data(), target.size());
  return n == static_cast<ssize_t>(settled.size()) && target.compare(0, settled.size(), settled) == 0;
}

bool isSettled(const std::filesystem::path& project, const std::string& name, int size) {
  auto folder = openCacheFolder(project, size);
  return folder && isSettled(folder.get(), name);
}

// What is made in a cache folder is made under a hidden name first that carries the maker's
// process id, and then renamed into place: a read removes what a process that ended left.
constexpr std::string_view temporaryPrefix = ".korvel-";

std::string temporaryStem() { return std::string(temporaryPrefix) + std::to_string(::getpid()) + "-"; }

std::string temporaryName() { return temporaryStem() + crypto::hex(crypto::randomBytes(6)); }

bool isLiveTemporary(std::string_view name) { return fs::isLiveProcessTemporary(name, temporaryPrefix); }

// Writes a reduced copy whole and synced beside its place under a name of this process, then
// renames it over whatever is there (the link it replaces), never writing through it; the
// folders on the way are entered without following a link.
Result<void> writeCachedImage(const std::filesystem::path& project, const std::string& relative,
                              std::span<const std::uint8_t> bytes) {
  return fs::writeInside(project, relative, bytes, 0644, temporaryStem());
}

// Once an image was tried, the links still in place of its reduced copies are settled.
void settleLinks(const std::filesystem::path& project, const std::string& name, const std::vector<int>& sizes) {
  for (int size : sizes) {
    auto folder = openCacheFolder(project, size);
    struct stat st{};
    if (!folder || ::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode) ||
        isSettled(folder.get(), name))
      continue;
    auto staged = temporaryName();
    if (::symlinkat(settledLinkTarget(name).c_str(), folder.get(), staged.c_str()) != 0) continue;
    if (::renameat(folder.get(), staged.c_str(), folder.get(), name.c_str()) != 0)
      ::unlinkat(folder.get(), staged.c_str(), 0);
  }
}

// The pixels of the reduced copy of `size` of a picture of `width` × `height`, twice the size for
// screens of two pixels a point; none where the picture itself is no larger than the size.
std::optional<ImageData::PixelSize> copySize(int size, int width, int height) {
  if (width < 1 || height < 1) return std::nullopt;
  double scale = std::min(static_cast<double>(size) / width, static_cast<double>(size) / height);
  if (scale >= 1.0) return std::nullopt;
  return ImageData::PixelSize{static_cast<int>(std::ceil(2.0 * width * scale)),
                              static_cast<int>(std::ceil(2.0 * height * scale))};
}

}  // namespace

void KXDocumentContainer::removeLeftoverCacheTemporaries() const {
  // Hidden items never belong to the cache: what a run that ended left half made, or what a
  // document brought along. Those of a process still at work stay.
  std::size_t removed = 0;
  for (int size : cachedImageDimensions) {
    removed += fs::removeEntriesInside(openCacheFolder(projectDirectory_, size), [](std::string_view name) {
      return name.size() > 1 && name[0] == '.' && name != ".." && !isLiveTemporary(name) &&
             !fs::isLiveProcessFileTemporary(name);
    });
  }
  if (removed) log("Removed " + std::to_string(removed) + " temporary item(s) left in the image cache");
}

void KXDocumentContainer::linkCachedImage(const std::string& name, int size) const {
  // Relative to the link's folder, .cache/images/<size>/: a short target fits in the link
  // itself, and a copy of the working copy links to its own images.
  const std::string target = std::string("../../../") + KXDocumentArchive::relativePathForImages + "/" + name;
  auto url = projectDirectory_ / cachePathOf(name, size);
  auto folder = openCacheFolder(projectDirectory_, size);
  if (!folder) return;
  // A link or a reduced copy already there is kept.
  if (::symlinkat(target.c_str(), folder.get(), name.c_str()) != 0 && errno != EEXIST)
    log("Couldn't create temporary image cache symlink: " + Error::file(errno, url.string(), false).description());
}

void KXDocumentContainer::linkCachedImages(std::vector<std::pair<const std::string*, int>> missing) const {
  // All links are made before this returns. Making a file takes its folder for as long as it
  // needs, which is long on a busy disk: in a working copy the links are made by a few threads
  // each in a folder of its own beside it and then moved to their places, which is quick; in a
  // folder document by one thread per size.
  std::map<int, UniqueFd> folders;
  for (int size : cachedImageDimensions)
    if (UniqueFd fd = openCacheFolder(projectDirectory_, size)) folders.emplace(size, std::move(fd));
  // A size whose folder can't be entered inside the project gets no links.
  std::erase_if(missing, [&](const auto& item) { return !folders.count(item.second); });
  // A link or a reduced copy already there is kept (a working copy taken up again has them).
  std::erase_if(missing, [&](const auto& item) {
    struct stat st{};
    return ::fstatat(folders.at(item.second).get(), item.first->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
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
        if (::symlinkat((targetPrefix + *name).c_str(), folders.at(size).get(), name->c_str()) != 0 && errno != EEXIST)
          log("Couldn't create temporary image cache symlink: " +
              Error::file(errno, (projectDirectory_ / cachePathOf(*name, size)).string(), false).description());
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
  std::vector<int> missing;
  for (int size : cachedImageDimensions) {
    if (entries.count(cachePathOf(name, size)) || isSettled(projectDirectory_, name, size)) continue;
    if (!linked) linkCachedImage(name, size);
    missing.push_back(size);
  }
  if (missing.empty()) return;
  auto self = shared_from_this();
  auto project = projectDirectory_;
  auto work = new std::function<void()>([self, project, missing, name] {
    struct Settle {
      const std::filesystem::path& project;
      const std::string& name;
      const std::vector<int>& missing;
      ~Settle() { settleLinks(project, name, missing); }
    } settle{project, name, missing};
    GError* error = nullptr;
    // The stored file may come from anyone's document: it is read inside the images folder and
    // bounded by its header before a pixel is decoded.
    // Pictures are read and decoded within the bounds every page and export shares: a document
    // of many large pictures makes their copies one after another. An export under way goes
    // first; a copy waits for it holding nothing.
    WaitedForWork::giveWay();
    auto fd = fs::openInside(project, std::filesystem::path(KXDocumentArchive::relativePathForImages) / name);
    if (!fd) return;
    auto file = PictureStore::readFile(fd->get(), maximumCachedImageBytes, true);
    if (!file) return;
    auto header = ImageData::checkedBitmap(file->bytes);
    // A copy would be a still of an animation's first frame: an animation is drawn from itself.
    if (header && header->frames > 1) return;
    // A TIFF, which may be large and is often read in strips, comes at its largest copy's size as
    // it is read: it is never held whole, and holds the bound no more than that copy does.
    std::optional<ImageData::PixelSize> firstCopy;
    if (header && header->format == ImageHeader::Format::tiff)
      for (auto it = missing.rbegin(); it != missing.rend() && !firstCopy; ++it)
        firstCopy = copySize(*it, int(header->width), int(header->height));
    auto image = header ? PictureStore::decode(file->bytes, *header, true, firstCopy)
                        : Result<PictureStore::Decoded>(tl::unexpected(header.error()));
    if (!image) {
      if (image.error().code == ImageData::tooLarge)
        self->log("Couldn't make reduced copies of " + name + ": " + image.error().message);
      return;
    }
    bool jpeg = startsWith(file->bytes, {0xFF, 0xD8, 0xFF});
    file.value() = {};
    // Decoded as the pages draw the file, turned as they turn it.
    GObjectPtr<GdkPixbuf> from(std::move(image->picture));
    int pw = gdk_pixbuf_get_width(from.get()), ph = gdk_pixbuf_get_height(from.get());
    if (pw < 1 || ph < 1) return;
    // The copies' sizes are the picture's own, whatever size it was decoded at.
    if (firstCopy && pw == firstCopy->width && ph == firstCopy->height) {
      pw = int(header->width);
      ph = int(header->height);
    }
    // The largest copy first, on every core; each smaller one from the one before, the picture
    // itself let go (and its share of the bound given back) once the first is made.
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      auto copy = copySize(*it, pw, ph);
      if (!copy) continue;  // the link to the full image serves this size
      const int size = *it, w = copy->width, h = copy->height;
      // A picture decoded at this size already is not scaled again.
      GObjectPtr<GdkPixbuf> reduced = gdk_pixbuf_get_width(from.get()) == w && gdk_pixbuf_get_height(from.get()) == h
                                          ? GObjectPtr<GdkPixbuf>::retain(from.get())
                                          : PictureScaling::scaled(from.get(), w, h);
      if (!reduced) continue;
      from = GObjectPtr<GdkPixbuf>::retain(reduced.get());
      image->held.keepAsResult(std::size_t(gdk_pixbuf_get_byte_length(reduced.get())) * 2);
      Result<Data> saved = fail(ImageData::ErrorDomain, ImageData::notAnImage, "not written");
      if (jpeg) {
        gchar* buffer = nullptr;
        gsize length = 0;
        if (gdk_pixbuf_save_to_buffer(reduced.get(), &buffer, &length, "jpeg", &error, "quality", "100", nullptr))
          saved = Data(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + length);
        g_free(buffer);
        g_clear_error(&error);
      } else {
        saved = QuickPng::encode(std::move(reduced));
      }
      if (!saved) continue;
      auto relative = cachePathOf(name, size);
      auto written = writeCachedImage(project, relative, std::span(saved->data(), saved->size()));
      if (!written)
        self->log("Couldn't write cached image: " + written.error().description() + " (" + (project / relative).string() + ")");
    }
  });
  ++scalingJobs;
  g_thread_pool_push(scalingPool(), work, nullptr);
}

std::size_t KXDocumentContainer::reducedCopiesInProgress() { return scalingJobs.load(); }

void KXDocumentContainer::addMissingCachedImages() {
  // Within a read, on whichever thread runs it.
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
      return entries.count(cachePathOf(name, size)) || isSettled(projectDirectory_, name, size);
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
