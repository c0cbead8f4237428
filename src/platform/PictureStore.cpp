#include "platform/PictureStore.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/ImageData.h"

namespace {

// A file as it stands: a file written again, or another file put in its place, is another key.
using Key = std::tuple<dev_t, ino_t, off_t, long long, long long, long long, long long>;

Key keyOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
          st.st_ctim.tv_nsec};
}

// A picture's file may carry more than its pixels need (metadata, a colour profile, a thumbnail),
// but an honest one never comes near this: 16 bytes a pixel is twice an uncompressed 16-bit
// RGBA PNG.
bool farLargerThanItsPixels(std::size_t fileSize, const ImageHeader::Facts& header) {
  return double(fileSize) > 16.0 * header.decodedPixels() + double(1 << 20);
}

PictureStore::Answer make(int fd) {
  auto file = PictureStore::readFile(fd, PictureStore::maximumFile);
  if (!file) return tl::unexpected(file.error());
  auto header = ImageData::checkedBitmap(file->bytes);
  if (!header) return tl::unexpected(header.error());
  if (header->format != ImageHeader::Format::tiff && !farLargerThanItsPixels(file->bytes.size(), *header))
    return std::make_shared<const PictureStore::Picture>(
        PictureStore::Picture{std::move(file->bytes), std::string("image/") + ImageHeader::loaderName(header->format)});
  auto picture = PictureStore::decode(file->bytes, *header);
  // The file is not needed past its pixels.
  file.value() = {};
  if (!picture) return tl::unexpected(picture.error());
  auto png = ImageData::pngOf(picture->picture.get());
  if (!png) return tl::unexpected(png.error());
  return std::make_shared<const PictureStore::Picture>(PictureStore::Picture{std::move(*png), "image/png"});
}

}  // namespace

struct PictureStore::State {
  std::mutex mutex;
  std::map<Key, std::vector<Completion>> making;
  // Most recently asked first.
  std::list<std::pair<Key, Answer>> kept;
  std::map<Key, std::list<std::pair<Key, Answer>>::iterator> keptAt;
  std::size_t keptSize = 0;
  std::size_t made = 0;
  GThreadPool* workers = nullptr;

  static std::size_t sizeOf(const Answer& answer) { return answer ? (*answer)->bytes.size() : 0; }

  void keep(const Key& key, const Answer& answer) {
    std::size_t size = sizeOf(answer);
    if (size > largestKept || keptAt.count(key)) return;
    kept.emplace_front(key, answer);
    keptAt[key] = kept.begin();
    keptSize += size;
    // Failures cost little, but are held to a count all the same.
    while (keptSize > keptBytes || kept.size() > 4096) {
      keptSize -= sizeOf(kept.back().second);
      keptAt.erase(kept.back().first);
      kept.pop_back();
    }
  }
};

std::size_t PictureStore::decodeCost(const ImageHeader::Facts& header) {
  double pixels = std::min(header.decodedPixels(), ImageData::maximumPixels);
  double decoder = std::min(header.decoderBytes, ImageData::maximumDecoderBytesPerPixel * pixels +
                                                     ImageData::decoderBytesAnyPicture);
  return std::size_t(8.0 * pixels + decoder) + (std::size_t(1) << 20);
}

Result<PictureStore::File> PictureStore::readFile(int fd, std::size_t limit) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read");
  if (std::uintmax_t(st.st_size) > limit)
    return fail(ImageData::ErrorDomain, ImageData::tooLarge, "The picture's file is too large");
  File file;
  file.held = MemoryBudget::pictureFiles().reserve(std::size_t(st.st_size));
  if (::lseek(fd, 0, SEEK_SET) != 0)
    return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read");
  auto bytes = fs::readAll(fd, "picture", limit);
  if (!bytes) return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read");
  file.bytes = std::move(*bytes);
  return file;
}

Result<PictureStore::Decoded> PictureStore::decode(const Data& bytes, const ImageHeader::Facts& header) {
  Decoded decoded;
  decoded.held = MemoryBudget::decodedPictures().reserve(decodeCost(header));
  auto picture = ImageData::decodeBitmap(bytes, header);
  if (!picture) return tl::unexpected(picture.error());
  decoded.picture = std::move(*picture);
  return decoded;
}

PictureStore& PictureStore::shared() {
  static PictureStore store;
  return store;
}

PictureStore::State& PictureStore::state() const {
  static State* state = [] {
    auto* s = new State;
    // Two pictures are made at a time: a read or a decode waits here, not on a shared pool.
    s->workers = g_thread_pool_new(
        [](gpointer data, gpointer) {
          std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(data));
          (*work)();
        },
        nullptr, 2, FALSE, nullptr);
    return s;
  }();
  return *state;
}

void PictureStore::request(UniqueFd file, Completion done) {
  State& s = state();
  struct stat st {};
  if (!file || ::fstat(file.get(), &st) != 0)
    return done(fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read"));
  Key key = keyOf(st);
  {
    std::unique_lock lock(s.mutex);
    if (auto it = s.keptAt.find(key); it != s.keptAt.end()) {
      s.kept.splice(s.kept.begin(), s.kept, it->second);
      Answer answer = it->second->second;
      lock.unlock();
      return done(answer);
    }
    if (auto it = s.making.find(key); it != s.making.end()) {
      it->second.push_back(std::move(done));
      return;
    }
    s.making[key].push_back(std::move(done));
  }
  auto* work = new std::function<void()>([&s, key, fd = std::make_shared<UniqueFd>(std::move(file))] {
    Answer answer = make(fd->get());
    fd->reset();
    std::vector<Completion> waiting;
    {
      std::lock_guard lock(s.mutex);
      ++s.made;
      waiting = std::move(s.making[key]);
      s.making.erase(key);
      s.keep(key, answer);
    }
    for (auto& done : waiting) done(answer);
  });
  g_thread_pool_push(s.workers, work, nullptr);
}

PictureStore::Answer PictureStore::get(UniqueFd file) {
  auto promise = std::make_shared<std::promise<Answer>>();
  auto future = promise->get_future();
  request(std::move(file), [promise](const Answer& answer) { promise->set_value(answer); });
  return future.get();
}

std::size_t PictureStore::made() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.made;
}
