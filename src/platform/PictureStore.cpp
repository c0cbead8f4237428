#include "platform/PictureStore.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <thread>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/PictureScaling.h"
#include "platform/QuickPng.h"

namespace {

// A file as it stands: a file written again, or another file put in its place, is another key;
// and the size it is drawn at.
using Key = std::tuple<dev_t, ino_t, off_t, long long, long long, long long, long long, int, int>;

Key keyOf(const struct stat& st, PictureStore::Drawn drawn) {
  return {st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
          st.st_ctim.tv_nsec, drawn.width, drawn.height};
}

// A picture's file may carry more than its pixels need (metadata, a colour profile, a thumbnail),
// but an honest one never comes near this: 8 bytes a pixel is an uncompressed 16-bit RGBA PNG.
// Handed on as it is, such a file would cost the page (and every process that carries it there)
// many times what its picture does.
bool farLargerThanItsPixels(std::size_t fileSize, const ImageHeader::Facts& header) {
  return double(fileSize) > 8.0 * header.decodedPixels() + double(1 << 20);
}

// A picture made of a file of `fileSize` bytes as `bytes`, which holds what it takes of the
// decode's share from then on; refused when larger than the store hands.
PictureStore::Answer madeAnswer(Data bytes, const char* type, MemoryBudget::Ticket& held, std::size_t fileSize) {
  if (bytes.size() > PictureStore::largestMade(fileSize))
    return fail(ImageData::ErrorDomain, ImageData::tooLarge, "The picture is too large to draw at this size");
  held.keepAsResult(bytes.size());
  return std::make_shared<const PictureStore::Picture>(PictureStore::Picture{std::move(bytes), type, std::move(held), true});
}

// A picture as PNG: a large one deflated on every core at the fastest level, which
// on pictures that hardly compress (noise, photographs) takes a small part of the usual time
// for about the usual size; none is put together past `largest` bytes.
Result<Data> madePng(GObjectPtr<GdkPixbuf> picture, std::size_t largest) {
  if (double(gdk_pixbuf_get_width(picture.get())) * gdk_pixbuf_get_height(picture.get()) < QuickPng::worthwhilePixels)
    return ImageData::pngOf(picture.get());
  return QuickPng::encode(std::move(picture), largest);
}

// The picture at the size it is handed at, in the smallest of the kinds that keep what it shows.
PictureStore::Answer reduced(PictureStore::Decoded& picture, ImageData::PixelSize size, bool photo,
                             std::size_t fileSize) {
  // A picture decoded at its size already (a TIFF, reduced as it is read) is not scaled again.
  GObjectPtr<GdkPixbuf> smaller =
      gdk_pixbuf_get_width(picture.picture.get()) == size.width && gdk_pixbuf_get_height(picture.picture.get()) == size.height
          ? std::move(picture.picture)
          : PictureScaling::scaled(picture.picture.get(), size.width, size.height);
  picture.picture.reset();
  if (!smaller) return fail(ImageData::ErrorDomain, ImageData::tooLarge, "There is not enough memory for the picture");
  auto answer = [&](Data bytes, const char* type) -> PictureStore::Answer {
    return madeAnswer(std::move(bytes), type, picture.held, fileSize);
  };
  if (photo && !gdk_pixbuf_get_has_alpha(smaller.get())) {
    gchar* buffer = nullptr;
    gsize length = 0;
    if (gdk_pixbuf_save_to_buffer(smaller.get(), &buffer, &length, "jpeg", nullptr, "quality", "92", nullptr)) {
      Data jpeg(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + length);
      g_free(buffer);
      return answer(std::move(jpeg), "image/jpeg");
    }
  }
  auto png = madePng(std::move(smaller), PictureStore::largestMade(fileSize));
  if (!png) return tl::unexpected(png.error());
  return answer(std::move(*png), "image/png");
}

// Whether the worker makes the picture at the size it is handed at: false when another request
// makes it (or made it) at that size, which this one then waits for.
using Claim = std::function<bool(ImageData::PixelSize)>;

// What a worker made of a file at the size it is drawn at: its answer, or none when it needs a
// large decode, which is made in the large pictures' lane (the file read is then left in
// `carried`, and taken from there by that lane), or when `claim` says another makes it.
std::optional<PictureStore::Answer> make(int fd, bool large, PictureStore::Drawn drawn, const Claim& claim,
                                        std::optional<PictureStore::File>& carried) {
  auto file = carried ? Result<PictureStore::File>(std::move(*carried)) : PictureStore::readFile(fd, PictureStore::maximumFile);
  carried.reset();
  if (!file) return tl::unexpected(file.error());
  auto header = ImageData::checkedBitmap(file->bytes);
  if (!header) return tl::unexpected(header.error());
  // An animation keeps moving: it goes as it is, whatever it is drawn at, its frames within the
  // pixels any picture may have (checkedBitmap), as the engine would draw its file; every drawn
  // size of it shares that one answer.
  bool animated = header->frames > 1 && header->format != ImageHeader::Format::tiff &&
                  !farLargerThanItsPixels(file->bytes.size(), *header);
  const ImageData::PixelSize full{int(header->width), int(header->height)};
  auto handed = animated ? full : PictureStore::handedSize(full.width, full.height, drawn);
  bool whole = handed == full;
  if (claim && !claim(handed)) return std::nullopt;
  if (whole && header->format != ImageHeader::Format::tiff &&
      !farLargerThanItsPixels(file->bytes.size(), *header)) {
    file->held.keepAsResult(file->bytes.size());
    return std::make_shared<const PictureStore::Picture>(PictureStore::Picture{
        std::move(file->bytes), std::string("image/") + ImageHeader::loaderName(header->format), std::move(file->held), false});
  }
  if (!large && PictureStore::decodeCost(file->bytes, *header, whole ? std::nullopt : std::optional(handed)) >
                    PictureStore::smallDecode) {
    carried = std::move(*file);
    return std::nullopt;
  }
  const std::size_t fileSize = file->bytes.size();
  // A large TIFF drawn whole goes to PNG as it is read, never held whole.
  const bool straightToPng = whole && header->format == ImageHeader::Format::tiff &&
                             header->decodedPixels() >= QuickPng::worthwhilePixels;
  auto picture = PictureStore::decode(file->bytes, *header, false, whole ? std::nullopt : std::optional(handed),
                                      straightToPng ? PictureStore::largestMade(fileSize) : 0);
  // The file is not needed past its pixels, nor the pixels past their PNG.
  file.value() = {};
  if (!picture) return tl::unexpected(picture.error());
  if (!whole) return reduced(*picture, handed, header->format == ImageHeader::Format::jpeg, fileSize);
  if (straightToPng) return madeAnswer(std::move(picture->png), "image/png", picture->held, fileSize);
  auto png = madePng(std::move(picture->picture), PictureStore::largestMade(fileSize));
  if (!png) return tl::unexpected(png.error());
  return madeAnswer(std::move(*png), "image/png", picture->held, fileSize);
}

// The budget a reservation of `bytes` takes: small ones have their own.
MemoryBudget& budgetFor(std::size_t bytes, std::size_t small, MemoryBudget& smallBudget, MemoryBudget& largeBudget) {
  return bytes <= small ? smallBudget : largeBudget;
}

using Clock = std::chrono::steady_clock;

// The key of a file handed at `handed`, apart from the keys of the sizes it is drawn at.
Key handedKey(const Key& drawnKey, ImageData::PixelSize handed) {
  Key key = drawnKey;
  std::get<7>(key) = -handed.width;
  std::get<8>(key) = -handed.height;
  return key;
}

bool sameFile(const Key& a, const Key& b) {
  return std::tie(std::get<0>(a), std::get<1>(a), std::get<2>(a), std::get<3>(a), std::get<4>(a), std::get<5>(a),
                  std::get<6>(a)) == std::tie(std::get<0>(b), std::get<1>(b), std::get<2>(b), std::get<3>(b),
                                              std::get<4>(b), std::get<5>(b), std::get<6>(b));
}

}  // namespace

struct PictureStore::State {
  std::mutex mutex;
  // By the size asked: the requests that wait.
  std::map<Key, std::vector<Completion>> making;
  // By the size handed: the sizes asked that wait for the one picture made at it.
  std::map<Key, std::vector<Key>> handing;
  // The size handed for a size asked, of pictures made.
  std::map<Key, Key> handedFor;
  // Most recently asked first.
  std::list<std::pair<Key, Answer>> kept;
  std::map<Key, std::list<std::pair<Key, Answer>>::iterator> keptAt;
  std::size_t keptSize = 0;
  std::size_t made = 0;

  struct Job {
    Key key;
    std::shared_ptr<UniqueFd> file;
    Opener reopen;
    std::string asker;
    Drawn drawn;
    Clock::time_point asked;
    // The size it makes the picture at, once it has claimed it.
    std::optional<Key> handed;
    // The file as the first lane read it, for the large lane.
    std::shared_ptr<std::optional<File>> read = std::make_shared<std::optional<File>>();
  };
  // Jobs wait by who asked; the askers take turns, one job each.
  struct Lane {
    std::map<std::string, std::deque<Job>> waiting;
    std::deque<std::string> turns;
    GThreadPool* workers = nullptr;
    bool decodesLarge = false;

    void push(Job job) {
      auto& jobs = waiting[job.asker];
      if (jobs.empty()) turns.push_back(job.asker);
      jobs.push_back(std::move(job));
    }
    Job pop() {
      std::string asker = std::move(turns.front());
      turns.pop_front();
      auto at = waiting.find(asker);
      Job job = std::move(at->second.front());
      at->second.pop_front();
      if (at->second.empty()) waiting.erase(at);
      else turns.push_back(std::move(asker));
      return job;
    }
  };
  // Every picture starts in the first lane; one that needs a large decode goes on to the second,
  // whose workers alone make them.
  Lane first, large;

  static std::size_t sizeOf(const Answer& answer) { return answer ? (*answer)->bytes.size() : 0; }

  // Under the lock; what is let go is handed back, to be dropped after it.
  void keep(const Key& key, const Answer& answer, std::vector<Answer>& dropped) {
    std::size_t size = sizeOf(answer);
    if (size > largestKept || keptAt.count(key)) return;
    kept.emplace_front(key, answer);
    keptAt[key] = kept.begin();
    keptSize += size;
    // Failures cost little, but are held to a count all the same.
    while (keptSize > keptBytes || kept.size() > 4096) drop(std::prev(kept.end()), dropped);
  }
  void drop(std::list<std::pair<Key, Answer>>::iterator entry, std::vector<Answer>& dropped) {
    keptSize -= sizeOf(entry->second);
    keptAt.erase(entry->first);
    dropped.push_back(std::move(entry->second));
    kept.erase(entry);
  }

  // Work waiting for `budget` comes before what is kept: the oldest kept pictures that hold it
  // are let go until `lacking` bytes are.
  void reclaim(const MemoryBudget& budget, std::size_t lacking) {
    std::vector<Answer> dropped;
    std::lock_guard lock(mutex);
    std::size_t freed = 0;
    for (auto entry = kept.end(); entry != kept.begin() && freed < lacking;) {
      auto older = std::prev(entry);
      if (older->second && (*older->second)->held.budget() == &budget) {
        freed += (*older->second)->held.bytes();
        drop(older, dropped);
      } else {
        entry = older;
      }
    }
    // `dropped` goes after `lock`: its pictures give their bytes back without the store's lock.
  }

  void enqueue(Lane& lane, Job job) {
    {
      std::lock_guard lock(mutex);
      lane.push(std::move(job));
    }
    g_thread_pool_push(lane.workers, &lane, nullptr);
  }

  // Answers every request that waits for `job`'s picture; it is kept unless it is no answer
  // for later (refused for its wait, or made of a file changed since it was asked).
  void finish(const Job& job, const Answer& answer, bool keepIt, bool newlyMade = true) {
    std::vector<Completion> waiting;
    std::vector<Answer> dropped;
    {
      std::lock_guard lock(mutex);
      if (newlyMade) ++made;
      std::vector<Key> asked{job.key};
      if (job.handed) {
        if (auto it = handing.find(*job.handed); it != handing.end()) {
          asked = std::move(it->second);
          handing.erase(it);
        }
      }
      for (const Key& key : asked) {
        auto it = making.find(key);
        if (it == making.end()) continue;
        for (auto& done : it->second) waiting.push_back(std::move(done));
        making.erase(it);
      }
      if (keepIt) {
        keep(job.handed.value_or(job.key), answer, dropped);
        if (job.handed) {
          if (handedFor.size() > 4096) handedFor.clear();
          for (const Key& key : asked) handedFor[key] = *job.handed;
        }
      }
    }
    dropped.clear();
    for (auto& done : waiting) done(answer);
  }

  void run(Lane& lane) {
    Job job;
    {
      std::lock_guard lock(mutex);
      job = lane.pop();
    }
    if (std::chrono::duration<double>(Clock::now() - job.asked).count() > maximumWait)
      return finish(job, fail(ImageData::ErrorDomain, ImageData::tooLarge,
                              "The picture could not be made in time: too many large pictures wait before it"),
                    false);
    UniqueFd reopened;
    bool changed = false;
    if (!*job.read && (!job.file || !*job.file)) {
      auto file = job.reopen ? job.reopen()
                             : Result<UniqueFd>(fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read"));
      struct stat st {};
      if (!file || ::fstat(file->get(), &st) != 0)
        return finish(job, fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read"), false);
      changed = !sameFile(keyOf(st, job.drawn), job.key);
      reopened = std::move(*file);
    }
    const int fd = reopened ? reopened.get() : job.file ? job.file->get() : -1;
    // A picture another request makes at the same size, or has made, is that one's answer.
    std::optional<Answer> madeBefore;
    bool follows = false;
    auto claim = [&](ImageData::PixelSize handed) {
      if (job.handed) return true;
      Key key = handedKey(job.key, handed);
      std::lock_guard lock(mutex);
      if (auto it = keptAt.find(key); it != keptAt.end()) {
        madeBefore = it->second->second;
        follows = true;
        return false;
      }
      if (auto it = handing.find(key); it != handing.end()) {
        it->second.push_back(job.key);
        follows = true;
        return false;
      }
      handing[key] = {job.key};
      job.handed = key;
      return true;
    };
    auto answer = make(fd, lane.decodesLarge, job.drawn, changed ? Claim() : Claim(claim), *job.read);
    reopened.reset();
    if (!answer && follows) {
      if (madeBefore) finish(job, *madeBefore, false, false);
      return;
    }
    if (!answer) {
      // What was read goes on with the job: the file is not read again, nor held open.
      if (job.file) job.file->reset();
      return enqueue(large, std::move(job));
    }
    if (job.file) job.file->reset();
    finish(job, *answer, !changed);
  }
};

std::size_t PictureStore::decodeCost(const ImageHeader::Facts& header) {
  double pixels = std::min(header.decodedPixels(), ImageData::maximumPixels);
  double decoder = std::min(header.decoderBytes, ImageData::maximumDecoderBytesPerPixel * pixels +
                                                     ImageData::decoderBytesAnyPicture);
  return std::size_t(8.0 * pixels + decoder) + (std::size_t(1) << 20);
}

std::size_t PictureStore::decodeCost(const Data& bytes, const ImageHeader::Facts& header,
                                     std::optional<ImageData::PixelSize> reducedTo) {
  if (reducedTo && header.format == ImageHeader::Format::tiff)
    if (auto reading = ImageData::tiffReducedBytes(bytes, header, *reducedTo))
      return *reading + 4 * std::size_t(reducedTo->width) * std::size_t(reducedTo->height) + (std::size_t(1) << 20);
  return decodeCost(header);
}

Result<PictureStore::File> PictureStore::readFile(int fd, std::size_t limit, bool givingWay) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read");
  if (std::uintmax_t(st.st_size) > limit)
    return fail(ImageData::ErrorDomain, ImageData::tooLarge, "The picture's file is too large");
  File file;
  file.held = budgetFor(std::size_t(st.st_size), smallFile, MemoryBudget::smallPictureFiles(),
                        MemoryBudget::pictureFiles())
                  .reserve(std::size_t(st.st_size), givingWay);
  if (::lseek(fd, 0, SEEK_SET) != 0)
    return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read");
  auto bytes = fs::readAll(fd, "picture", limit);
  if (!bytes) return fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read");
  file.bytes = std::move(*bytes);
  return file;
}

Result<PictureStore::Decoded> PictureStore::decode(const Data& bytes, const ImageHeader::Facts& header, bool givingWay,
                                                   std::optional<ImageData::PixelSize> reducedTo,
                                                   std::size_t asPngUpTo) {
  Decoded decoded;
  std::size_t cost = decodeCost(bytes, header, reducedTo);
  decoded.held =
      budgetFor(cost, smallDecode, MemoryBudget::smallDecodedPictures(), MemoryBudget::decodedPictures())
          .reserve(cost, givingWay);
  if (asPngUpTo && !reducedTo && header.format == ImageHeader::Format::tiff) {
    auto png = ImageData::tiffAsPng(bytes, header, asPngUpTo);
    if (!png) return tl::unexpected(png.error());
    decoded.png = std::move(*png);
    return decoded;
  }
  auto picture = reducedTo && header.format == ImageHeader::Format::tiff ? ImageData::decodeTiff(bytes, header, reducedTo)
                                                                          : ImageData::decodeBitmap(bytes, header);
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
    // Each lane makes a few pictures at a time: a read or a decode waits here, not on a shared
    // pool. Large ones, which decode on every core, two.
    auto work = [](gpointer lane, gpointer state) { static_cast<State*>(state)->run(*static_cast<State::Lane*>(lane)); };
    // Small pictures decode on one thread each: as many at a time as there are cores, within their bound.
    const auto cores = gint(std::clamp(std::thread::hardware_concurrency(), 2u, 8u));
    s->first.workers = g_thread_pool_new(work, s, cores, FALSE, nullptr);
    s->large.workers = g_thread_pool_new(work, s, 2, FALSE, nullptr);
    s->large.decodesLarge = true;
    for (MemoryBudget* budget : {&MemoryBudget::pictureFiles(), &MemoryBudget::decodedPictures(),
                                 &MemoryBudget::smallPictureFiles(), &MemoryBudget::smallDecodedPictures()})
      budget->reclaimWith([s, budget](std::size_t lacking) { s->reclaim(*budget, lacking); });
    return s;
  }();
  return *state;
}

PictureStore::Drawn PictureStore::drawnIn(const std::string& address) {
  GUri* uri = g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, nullptr);
  const char* query = uri ? g_uri_get_query(uri) : nullptr;
  GHashTable* params = query ? g_uri_parse_params(query, -1, "&", G_URI_PARAMS_NONE, nullptr) : nullptr;
  auto side = [&](const char* key) {
    const char* text = params ? static_cast<const char*>(g_hash_table_lookup(params, key)) : nullptr;
    guint64 value = 0;
    if (!text || !g_ascii_string_to_unsigned(text, 10, 1, maximumDrawnSide, &value, nullptr)) return 0;
    int rounded = 16;
    while (rounded < int(value)) rounded *= 2;
    return std::min(rounded, maximumDrawnSide);
  };
  Drawn drawn{side("width"), side("height")};
  if (params) g_hash_table_unref(params);
  if (uri) g_uri_unref(uri);
  return drawn.width && drawn.height ? drawn : Drawn{};
}

ImageData::PixelSize PictureStore::handedSize(int width, int height, Drawn drawn) {
  if (drawn.width <= 0 || drawn.height <= 0 || width <= 0 || height <= 0) return {width, height};
  // Reduced as little as covers the drawn size both ways, wherever the picture is stretched.
  double scale = std::max(double(drawn.width) / width, double(drawn.height) / height);
  if (scale * scale >= 0.5) return {width, height};
  // Rounded up, but not past a whole number the division only just missed.
  auto side = [&](int v) { return std::max(1, int(std::ceil(v * scale - 1e-6))); };
  return {side(width), side(height)};
}

std::vector<PictureStore::Drawn> PictureStore::within(std::vector<Drawn> sizes, double pixels) {
  auto area = [](Drawn d) { return d.width > 0 && d.height > 0 ? double(d.width) * double(d.height) : 0.0; };
  std::vector<double> areas;
  for (auto d : sizes)
    if (area(d) > 0) areas.push_back(area(d));
  std::sort(areas.begin(), areas.end());
  // The level: what each picture past it is drawn at, once those below it have theirs.
  double left = pixels, level = -1;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    double share = left / double(areas.size() - i);
    if (areas[i] > share) {
      level = share;
      break;
    }
    left -= areas[i];
  }
  if (level < 0) return sizes;
  for (auto& d : sizes) {
    if (area(d) <= level) continue;
    double scale = std::sqrt(level / area(d));
    d = {std::max(1, int(d.width * scale)), std::max(1, int(d.height * scale))};
  }
  return sizes;
}

std::optional<UniqueFd> PictureStore::reducedCopy(const std::filesystem::path& folder, const std::string& name,
                                                  Drawn drawn) {
  if (drawn.width <= 0 || drawn.height <= 0) return std::nullopt;
  for (int size : {512, 1024, 2048}) {
    auto relative = std::filesystem::path(std::to_string(size)) / name;
    struct stat st {};
    // A link stands in for a copy not yet made.
    if (::lstat((folder / relative).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    auto copy = fs::openInside(folder, relative);
    if (!copy || ::fstat(copy->get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Its size from its header, which a copy we wrote has at its start.
    Data head(64 * 1024);
    ssize_t got = ::pread(copy->get(), head.data(), head.size(), 0);
    if (got <= 0) continue;
    head.resize(std::size_t(got));
    auto pixels = ImageData::bitmapSize(head);
    if (pixels && pixels->width >= drawn.width && pixels->height >= drawn.height) return std::move(*copy);
  }
  return std::nullopt;
}

void PictureStore::request(UniqueFd file, Drawn drawn, Completion done, const std::string& asker, Opener reopen) {
  State& s = state();
  struct stat st {};
  if (!file || ::fstat(file.get(), &st) != 0)
    return done(fail(ImageData::ErrorDomain, ImageData::notAnImage, "The picture can't be read"));
  Key key = keyOf(st, drawn);
  {
    std::unique_lock lock(s.mutex);
    auto kept = s.keptAt.find(key);
    if (kept == s.keptAt.end())
      if (auto handed = s.handedFor.find(key); handed != s.handedFor.end()) kept = s.keptAt.find(handed->second);
    if (kept != s.keptAt.end()) {
      s.kept.splice(s.kept.begin(), s.kept, kept->second);
      Answer answer = kept->second->second;
      lock.unlock();
      return done(answer);
    }
    if (auto it = s.making.find(key); it != s.making.end()) {
      it->second.push_back(std::move(done));
      return;
    }
    s.making[key].push_back(std::move(done));
  }
  // A request that can open its file again waits without it.
  if (reopen) file.reset();
  s.enqueue(s.first, {key, std::make_shared<UniqueFd>(std::move(file)), std::move(reopen), asker, drawn, Clock::now(), {}});
}

PictureStore::Answer PictureStore::get(UniqueFd file, Drawn drawn, const std::string& asker) {
  auto promise = std::make_shared<std::promise<Answer>>();
  auto future = promise->get_future();
  request(std::move(file), drawn, [promise](const Answer& answer) { promise->set_value(answer); }, asker);
  return future.get();
}

std::size_t PictureStore::made() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.made;
}

std::size_t PictureStore::unfinished() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.making.size();
}
