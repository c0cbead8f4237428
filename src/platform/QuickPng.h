#pragma once
// A large picture as PNG in a fraction of the usual time: its rows cut into bands that are
// deflated each on a core of its own and joined into one stream, every row filtered against the
// one above.
// Display-free; any thread (it runs threads of its own).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Data.h"
#include "platform/Error.h"
#include "platform/GObjectPtr.h"

typedef struct _GdkPixbuf GdkPixbuf;

namespace QuickPng {

// Pictures of fewer pixels are not worth the threads: the usual encoder serves them.
inline constexpr double worthwhilePixels = 1e6;

// `picture` (8 bits a sample, RGB or RGBA) as PNG; the picture is let go as soon as its rows are
// deflated, before the PNG is put together, so that the two are held at once only in part.
// A PNG that would be larger than `largest` bytes is not put together (tooLarge): the bands stop
// deflating once they pass it together. `level` is zlib's: 1, the fastest, for pictures drawn at
// once; a file that is kept is worth the usual 6.
Result<Data> encode(GObjectPtr<GdkPixbuf> picture, std::size_t largest = SIZE_MAX, int level = 1);

// The same, made as a picture's rows come, so that it is never held whole: in `bands` (the first
// row of each and its count, top to bottom), each deflated as its rows come, in order; the rows
// of different bands may come on threads of their own. A band's first row is filtered on its
// own. A grey picture's first sample of each pixel is its grey.
class Stream {
 public:
  Stream(int width, int height, int channels, bool grey,
         const std::vector<std::pair<std::uint32_t, std::uint32_t>>& bands, std::size_t largest = SIZE_MAX,
         int level = 1);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  // The next row of `band`, `channels` samples a pixel; false once the PNG won't be made.
  bool row(std::size_t band, const std::uint8_t* pixels);
  // Once every band has all its rows.
  Result<Data> finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace QuickPng
