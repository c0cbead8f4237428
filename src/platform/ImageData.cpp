#include "platform/ImageData.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cairo.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gio/gio.h>
#include <poppler.h>
#include <webp/decode.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "platform/GObjectPtr.h"

namespace ImageData {

namespace {

bool startsWith(const Data& d, std::string_view magic) {
  return d.size() >= magic.size() && std::memcmp(d.data(), magic.data(), magic.size()) == 0;
}

// Large enough for any picture a design holds, small enough that a hostile page cannot make a
// rasteriser allocate without end.
constexpr double maximumSide = 20000;
constexpr rlim_t rasteriserMemory = rlim_t(2) << 30;

cairo_status_t appendToData(void* closure, const unsigned char* bytes, unsigned int length) {
  auto* out = static_cast<Data*>(closure);
  out->insert(out->end(), bytes, bytes + length);
  return CAIRO_STATUS_SUCCESS;
}

// A temporary file of our own (mode 0600) removed when this goes.
struct TemporaryFile {
  std::filesystem::path path;
  ~TemporaryFile() {
    if (!path.empty()) ::unlink(path.c_str());
  }
};

void limitChildMemory(gpointer) {
  struct rlimit limit {rasteriserMemory, rasteriserMemory};
  setrlimit(RLIMIT_AS, &limit);
}

}  // namespace

bool isWebP(const Data& bytes) {
  return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 && std::memcmp(bytes.data() + 8, "WEBP", 4) == 0;
}

bool isPDF(const Data& bytes) { return startsWith(bytes, "%PDF-"); }

bool isPostScript(const Data& bytes) { return startsWith(bytes, "%!PS") || startsWith(bytes, "\xC5\xD0\xD3\xC6"); }

std::optional<PixelSize> bitmapSize(const Data& bytes) {
  auto header = ImageHeader::read(bytes);
  if (!header || header->width > INT_MAX || header->height > INT_MAX) return std::nullopt;
  return PixelSize{int(header->width), int(header->height)};
}

Result<ImageHeader::Facts> checkedBitmap(const Data& bytes) {
  auto header = ImageHeader::read(bytes);
  if (!header) return fail(ErrorDomain, notAnImage, "The data is not a picture that can be read");
  if (header->decodedPixels() > maximumPixels) {
    std::string size = std::to_string(header->width) + " × " + std::to_string(header->height) + " pixels";
    if (header->frames > 1) size = std::to_string(header->frames) + " frames of " + size;
    return fail(ErrorDomain, tooLarge,
                "The picture is too large: " + size + ", more than the " +
                    std::to_string(static_cast<long long>(maximumPixels) / (1024 * 1024)) + " megapixels a picture may have");
  }
  return *header;
}

Result<GObjectPtr<GdkPixbuf>> decodeBitmap(const Data& bytes) {
  auto header = checkedBitmap(bytes);
  if (!header) return tl::unexpected(header.error());
  auto undecodable = [] { return fail(ErrorDomain, notAnImage, "The picture's data does not decode"); };
  if (header->format == ImageHeader::Format::webp) {
    WebPBitstreamFeatures features;
    if (WebPGetFeatures(bytes.data(), bytes.size(), &features) != VP8_STATUS_OK || features.has_animation ||
        features.width <= 0 || features.height <= 0 || double(features.width) * features.height > maximumPixels)
      return undecodable();
    bool alpha = features.has_alpha;
    GObjectPtr<GdkPixbuf> pixbuf(gdk_pixbuf_new(GDK_COLORSPACE_RGB, alpha, 8, features.width, features.height));
    if (!pixbuf) return undecodable();
    auto into = alpha ? WebPDecodeRGBAInto : WebPDecodeRGBInto;
    if (!into(bytes.data(), bytes.size(), gdk_pixbuf_get_pixels(pixbuf.get()), gdk_pixbuf_get_byte_length(pixbuf.get()),
              gdk_pixbuf_get_rowstride(pixbuf.get())))
      return undecodable();
    return pixbuf;
  }
  // The decoder of the format the header names, never one guessed from the bytes: an SVG or
  // another drawing never reaches a rasteriser this way.
  GObjectPtr<GdkPixbufLoader> loader(gdk_pixbuf_loader_new_with_type(ImageHeader::loaderName(header->format), nullptr));
  if (!loader) return undecodable();
  bool ok = gdk_pixbuf_loader_write(loader.get(), bytes.data(), bytes.size(), nullptr);
  ok = gdk_pixbuf_loader_close(loader.get(), nullptr) && ok;
  GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader.get()) : nullptr;
  if (!pixbuf) return undecodable();
  return GObjectPtr<GdkPixbuf>::retain(pixbuf);
}

Result<Data> bitmapAsPNG(const Data& bytes) {
  auto pixbuf = decodeBitmap(bytes);
  if (!pixbuf) return tl::unexpected(pixbuf.error());
  gchar* buffer = nullptr;
  gsize length = 0;
  if (!gdk_pixbuf_save_to_buffer(pixbuf->get(), &buffer, &length, "png", nullptr, nullptr))
    return fail(ErrorDomain, notAnImage, "The picture could not be written as PNG");
  Data png(reinterpret_cast<const std::uint8_t*>(buffer), reinterpret_cast<const std::uint8_t*>(buffer) + length);
  g_free(buffer);
  return png;
}

Result<Data> rasterisePDF(const Data& pdf) {
  GBytes* bytes = g_bytes_new(pdf.data(), pdf.size());
  GError* error = nullptr;
  GObjectPtr<PopplerDocument> document(poppler_document_new_from_bytes(bytes, nullptr, &error));
  g_bytes_unref(bytes);
  g_clear_error(&error);
  if (!document || poppler_document_get_n_pages(document.get()) < 1)
    return fail(ErrorDomain, notRasterised, "The PDF has no page to draw");
  GObjectPtr<PopplerPage> page(poppler_document_get_page(document.get(), 0));
  double width = 0, height = 0;
  poppler_page_get_size(page.get(), &width, &height);
  if (!(width >= 1 && height >= 1 && width <= maximumSide && height <= maximumSide &&
        std::ceil(width) * std::ceil(height) <= maximumPixels))
    return fail(ErrorDomain, notRasterised, "The PDF's page size is out of range");
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height)));
  cairo_t* cr = cairo_create(surface);
  poppler_page_render(page.get(), cr);
  cairo_destroy(cr);
  Data png;
  bool ok = cairo_surface_write_to_png_stream(surface, appendToData, &png) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  if (!ok || png.empty()) return fail(ErrorDomain, notRasterised, "The PDF's page did not draw");
  return png;
}

Result<Data> rasterisePostScript(const Data& postScript, std::chrono::milliseconds timeout) {
  gchar* program = g_find_program_in_path("gs");
  if (!program) return fail(ErrorDomain, notRasterised, "Ghostscript is not installed");
  std::string gs = program;
  g_free(program);

  // A file rather than a pipe: binary EPS files are read by seeking.
  TemporaryFile input;
  gchar* name = nullptr;
  int fd = g_file_open_tmp("korvel-eps-XXXXXX", &name, nullptr);
  if (fd < 0) return fail(ErrorDomain, notRasterised, "No temporary file for the PostScript");
  input.path = name;
  g_free(name);
  bool written = true;
  for (std::size_t at = 0; at < postScript.size() && written;) {
    ssize_t n = ::write(fd, postScript.data() + at, postScript.size() - at);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) at += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (!written) return fail(ErrorDomain, notRasterised, "The PostScript could not be written down");

  // Our own context, so that the caller's main loop runs nothing else meanwhile.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GSubprocessLauncher* launcher = g_subprocess_launcher_new(
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  g_subprocess_launcher_set_child_setup(launcher, limitChildMemory, nullptr, nullptr);
  std::string file = input.path.string();
  const gchar* argv[] = {gs.c_str(), "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT", "-dEPSCrop",
                         "-dFirstPage=1", "-dLastPage=1", "-sDEVICE=pngalpha", "-r72", "-sstdout=%stderr",
                         "-sOutputFile=-", "-f", file.c_str(), nullptr};
  GError* error = nullptr;
  GObjectPtr<GSubprocess> child(g_subprocess_launcher_spawnv(launcher, argv, &error));
  g_object_unref(launcher);
  Result<Data> result = fail(ErrorDomain, notRasterised, "Ghostscript did not draw the PostScript");
  if (child) {
    struct State {
      bool done = false;
      bool timedOut = false;
      GBytes* out = nullptr;
      GSubprocess* child = nullptr;
    } state;
    state.child = child.get();
    GObjectPtr<GCancellable> cancellable(g_cancellable_new());
    g_subprocess_communicate_async(
        child.get(), nullptr, cancellable.get(),
        [](GObject* source, GAsyncResult* result, gpointer data) {
          auto* s = static_cast<State*>(data);
          g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &s->out, nullptr, nullptr);
          s->done = true;
        },
        &state);
    GSource* timer = g_timeout_source_new(static_cast<guint>(timeout.count()));
    struct TimerData {
      State* state;
      GCancellable* cancellable;
    } timerData{&state, cancellable.get()};
    g_source_set_callback(
        timer,
        [](gpointer data) -> gboolean {
          auto* t = static_cast<TimerData*>(data);
          t->state->timedOut = true;
          g_subprocess_force_exit(t->state->child);
          g_cancellable_cancel(t->cancellable);
          return G_SOURCE_REMOVE;
        },
        &timerData, nullptr);
    g_source_attach(timer, context);
    while (!state.done) g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
    g_subprocess_wait(child.get(), nullptr, nullptr);
    bool exited = g_subprocess_get_if_exited(child.get()) && g_subprocess_get_exit_status(child.get()) == 0;
    if (state.out && exited && !state.timedOut) {
      gsize size = 0;
      auto* bytes = static_cast<const std::uint8_t*>(g_bytes_get_data(state.out, &size));
      Data png(bytes, bytes + size);
      if (bitmapSize(png)) result = std::move(png);
    }
    if (state.out) g_bytes_unref(state.out);
    if (state.timedOut) result = fail(ErrorDomain, notRasterised, "Ghostscript took too long");
  } else {
    g_clear_error(&error);
  }
  // Let the child's watch finish before the context goes.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return result;
}

Result<Data> storableImage(const Data& bytes) {
  if (isPDF(bytes)) return rasterisePDF(bytes);
  if (isPostScript(bytes)) return rasterisePostScript(bytes);
  if (auto header = checkedBitmap(bytes); !header) return tl::unexpected(header.error());
  return bytes;
}

}  // namespace ImageData
