#pragma once
// A design's pictures as a page or an export draws them, made once whoever asks: the requests
// for one file (known by its device, inode, size and times) share one read and one decode, and
// what they made is kept for a while. A TIFF, which the pages' engine does not draw, becomes
// PNG; so does a file far larger than its pixels need (anything may follow a picture's last
// byte), which is never handed on whole; any other picture is given as it is. Files are read
// and pictures decoded a few at a time, within MemoryBudget's bounds, and a picture made counts
// against them for as long as anyone (the store too) holds it. Work waits by who asked, and each
// asker's oldest is taken in turn; large decodes wait apart, so that a small picture is never
// behind another asker's large ones. Requests at drawn sizes that hand the picture at one size
// share it, so that one picture is made at a few sizes whatever count of sizes is asked. A
// request that can open its file again holds no open file while it waits, and one that waited
// longer than maximumWait is refused. Display-free; any thread.

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/GObjectPtr.h"
#include "platform/ImageData.h"
#include "platform/ImageHeader.h"
#include "platform/MemoryBudget.h"
#include "platform/UniqueFd.h"

typedef struct _GdkPixbuf GdkPixbuf;

class PictureStore {
 public:
  struct Picture {
    Data bytes;
    std::string type;  // its media type
    MemoryBudget::Ticket held;  // what `bytes` hold of a budget
    // The store's own encoding of pixels it decoded, so whole and sound; a file handed as it
    // is may be damaged past its header.
    bool made = false;
  };
  using Answer = Result<std::shared_ptr<const Picture>>;
  using Completion = std::function<void(const Answer&)>;
  // Opens the asked file again, for a request that waits.
  using Opener = std::function<Result<UniqueFd>()>;

  static PictureStore& shared();

  // The pixels a picture is drawn at: a picture with more than twice as many as it needs to
  // cover them is handed reduced, its shape kept, as PNG (a JPEG as JPEG); an animation goes as
  // it is, to keep moving. Nothing asked (0): as the file is.
  struct Drawn {
    int width = 0;
    int height = 0;
  };
  // No picture is drawn wider or taller.
  static constexpr int maximumDrawnSide = 32767;
  // The drawn size a page names in an address ("…?width=W&height=H", device pixels), each side
  // rounded up to a power of two from 16, so that a page asking at many sizes shares a few
  // pictures; nothing when either is missing or not a whole number from 1 to maximumDrawnSide.
  static Drawn drawnIn(const std::string& address);
  // The size a picture of `width` × `height` is handed at when drawn at `drawn`.
  static ImageData::PixelSize handedSize(int width, int height, Drawn drawn);
  // The drawn sizes of pictures drawn together, within `pixels` in all: past it the largest are
  // drawn smaller, their shape kept, each at no more than one level of pixels, so that the small
  // ones stay as they are. A size not asked (0) is left as it is.
  static std::vector<Drawn> within(std::vector<Drawn> sizes, double pixels);

  // The picture of the file open as `file`, which the store now owns, for drawing at `drawn`.
  // `done` runs on a worker of the store, or at once on the caller's thread when the picture is
  // already made; never blocks the caller for longer than a look at the file. `asker` names who
  // asks (a page, an export): askers are served in turn. With `reopen`, `file` is closed once
  // looked at and opened again by `reopen` when its turn comes: many requests waiting hold no
  // open files (a file found changed by then is made as it now is, and not kept).
  void request(UniqueFd file, Drawn drawn, Completion done, const std::string& asker = {}, Opener reopen = {});
  // The same, waiting for it: never on the main thread.
  Answer get(UniqueFd file, Drawn drawn, const std::string& asker = {});
  // The smallest reduced copy of the picture `name` that covers `drawn`, open: the copies made
  // for such readers (a plain file under <folder>/<size>/<name>, not yet the link to the picture
  // that stands in for it until it is made). None when no copy made so far covers it.
  static std::optional<UniqueFd> reducedCopy(const std::filesystem::path& folder, const std::string& name, Drawn drawn);

  // Whether the file open as `fd` is an animation, by a walk of its headers
  // (ImageHeader::isAnimation): a page is handed such a picture as it is, never one of its reduced
  // copies, which are stills. Each file (its device, inode, size and times) is looked at once,
  // however many ask at once, and the answer kept. Blocks for that look: never on the main
  // thread. False when the look can't tell.
  static bool isAnimation(int fd);
  // How many looks were taken, for tests.
  static std::size_t animationLooks();

  // What decoding a picture of `header` and holding it holds: its raster, a drawn copy and the
  // decoder's buffers; the reservation to take from MemoryBudget::decodedPictures().
  static std::size_t decodeCost(const ImageHeader::Facts& header);
  // The same for the picture `bytes` made at `reducedTo`: a TIFF reduced as it is read holds the
  // picture made and a copy of it, and a few rows; any other picture what decoding it whole does.
  static std::size_t decodeCost(const Data& bytes, const ImageHeader::Facts& header,
                                std::optional<ImageData::PixelSize> reducedTo);
  // Decodes that cost at most this are small: they take no turn behind large ones.
  static constexpr std::size_t smallDecode = std::size_t(16) << 20;
  // Files of at most this are small.
  static constexpr std::size_t smallFile = std::size_t(1) << 20;

  // A picture file of at most `limit` bytes read whole, from its start, within
  // MemoryBudget::pictureFiles(): its bytes and the share of the bound they hold. Work that no
  // one waits for (reduced copies) is `givingWay`: it waits while work someone waits for does.
  struct File {
    Data bytes;
    MemoryBudget::Ticket held;
  };
  static Result<File> readFile(int fd, std::size_t limit, bool givingWay = false);
  // A checked picture decoded within MemoryBudget::decodedPictures(), turned as it is drawn: its
  // pixels and the share of the bound they (and what is made of them) hold. A TIFF handed at
  // `reducedTo` may come at that size already (ImageData::decodeTiff). With `asPngUpTo`, a TIFF
  // drawn whole comes as PNG of no more than that many bytes instead, made as it is read
  // (ImageData::tiffAsPng), and no picture.
  struct Decoded {
    GObjectPtr<GdkPixbuf> picture;
    Data png;
    MemoryBudget::Ticket held;
  };
  static Result<Decoded> decode(const Data& bytes, const ImageHeader::Facts& header, bool givingWay = false,
                                std::optional<ImageData::PixelSize> reducedTo = std::nullopt,
                                std::size_t asPngUpTo = 0);

  // How many pictures were made (read and looked at, or decoded), and how many are being made or
  // wait to be, for tests and benchmarks.
  std::size_t made() const;
  std::size_t unfinished() const;

  // No picture file a design holds is larger.
  static constexpr std::size_t maximumFile = std::size_t(256) << 20;
  // No picture the store makes of a file of `fileSize` bytes (a TIFF, a reduced copy) is larger:
  // beyond it the picture is refused. A page's engine holds what it is handed in a few copies
  // until it next collects its garbage, so a small file that decodes to far more than it weighs
  // (noise, which no encoding makes smaller) would cost the person's machine many times over;
  // a large file handed at its own size costs what the file does.
  static constexpr std::size_t largestMadeOfAnyFile = std::size_t(48) << 20;
  static constexpr std::size_t largestMade(std::size_t fileSize) {
    return std::max(largestMadeOfAnyFile, 2 * fileSize);
  }
  // What is kept of pictures made: a few screens of pictures; a larger one is made again.
  static constexpr std::size_t keptBytes = std::size_t(96) << 20;
  static constexpr std::size_t largestKept = std::size_t(32) << 20;
  // A request not begun this many seconds after it was asked is refused as too large to make in
  // time: every request ends, answered or refused, whatever count of large pictures waits before it.
  static constexpr double maximumWait = 60.0;

 private:
  PictureStore() = default;
  struct State;
  State& state() const;
};
