#pragma once
// What renders HTML off screen: the writer, the exporter and the editor's requests hand it a
// Work and get a bitmap or PDF bytes back on the main loop. HTMLRenderQueue is the real one.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "export/Bitmap.h"
#include "platform/Data.h"
#include "platform/PictureStore.h"

class HTMLRenderer {
 public:
  struct Size {
    double width = 1.0;
    double height = 1.0;
  };
  struct Source {
    std::string html;
    // The folder whose files the page may read (besides the application's resources); relative
    // references resolve against it. Empty: the page reads no file.
    std::filesystem::path folder;
    // The pictures the page names by servedAddress(index): served from here, never copied into
    // the page's text (which would hold each again in Base64, and the engine again as it parses).
    std::vector<std::shared_ptr<const PictureStore::Picture>> pictures;
  };
  // The address by which a page names its picture `index`; what a served address names, if any.
  static std::string servedAddress(std::size_t index);
  static std::optional<std::size_t> servedIndex(std::string_view address);
  using BitmapCallback = std::function<void(std::optional<Bitmap>)>;
  using PDFCallback = std::function<void(std::optional<Data>)>;

  struct Work {
    std::optional<std::string> url;  // a file address reads only its own folder
    std::optional<Source> string;  // wins over url
    std::optional<std::string> userScript;
    double maxTime = 5.0;          // longest wait for document.readyState "complete"
    std::optional<Size> size;      // none renders 1 × 1
    // A callback exactly once, with nothing when the page has not rendered by then.
    double deadline = 30.0;
    BitmapCallback bitmapCallback;
    PDFCallback pdfCallback;
    // The bytes of the decoded pictures the page draws: renders run together within a bound of them.
    std::size_t pictureBytes = 0;
  };

  // No page is rendered larger than this many pixels; larger work is refused without allocating.
  static constexpr double maximumPixels = 64.0 * 1024 * 1024;
  // Nor wider or taller than this: a page lays out whole in one view, and X11 drawables end here.
  static constexpr double maximumSide = 32767;
  // Width and height positive, finite and within the budget.
  static bool acceptableSize(const Size& size);

  virtual ~HTMLRenderer() = default;
  // Work done beside the main loop with what a render handed back (its bitmap being encoded)
  // counts `bytes` against the renders' memory until the hold is let go, on any thread.
  virtual std::shared_ptr<void> hold(std::size_t bytes) {
    (void)bytes;
    return nullptr;
  }
  // Main thread. The callback never runs inside this call.
  virtual std::shared_ptr<Work> addWork(std::shared_ptr<Work> work, BitmapCallback callback) = 0;
  virtual std::shared_ptr<Work> addWork(std::shared_ptr<Work> work, PDFCallback callback) = 0;
};
