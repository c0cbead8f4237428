#include "platform/PagePictures.h"

#include <webkit2/webkit2.h>

#include <string>

#include "platform/FileSystem.h"
#include "platform/GObjectPtr.h"
#include "platform/ImageData.h"
#include "platform/RunLoop.h"

namespace PagePictures {

namespace {

constexpr const char* folderKey = "korvel-picture-folder";
// No picture file a design holds is larger.
constexpr std::uintmax_t maximumPictureFile = std::uintmax_t(256) << 20;

void refuse(WebKitURISchemeRequest* request, const std::string& why) {
  GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, why.c_str());
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

struct Answer {
  Data bytes;
  std::string type;
  std::string error;
};

// A picture of the folder, as the page can draw it.
Answer draw(const std::filesystem::path& folder, const std::string& name) {
  auto bytes = fs::readFileInside(folder, name, maximumPictureFile);
  if (!bytes) return {{}, {}, "No such picture."};
  auto header = ImageData::checkedBitmap(*bytes);
  if (!header) return {{}, {}, header.error().message};
  if (header->format != ImageHeader::Format::tiff)
    return {std::move(*bytes), std::string("image/") + ImageHeader::loaderName(header->format), {}};
  auto picture = ImageData::decodeBitmap(*bytes, *header);
  if (!picture) return {{}, {}, picture.error().message};
  auto png = ImageData::pngOf(picture->get());
  if (!png) return {{}, {}, png.error().message};
  return {std::move(*png), "image/png", {}};
}

void answer(WebKitURISchemeRequest* request, gpointer) {
  WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
  auto* folder = view ? static_cast<std::filesystem::path*>(g_object_get_data(G_OBJECT(view), folderKey)) : nullptr;
  if (!folder) return refuse(request, "This page has no pictures.");
  gchar* unescaped = g_uri_unescape_string(webkit_uri_scheme_request_get_path(request), nullptr);
  std::string name = unescaped ? unescaped : "";
  g_free(unescaped);
  // One file directly in the folder.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos)
    return refuse(request, "No such picture.");
  auto held = GObjectPtr<WebKitURISchemeRequest>::retain(request);
  GlobalQueue::async([held = std::make_shared<GObjectPtr<WebKitURISchemeRequest>>(std::move(held)), folder = *folder,
                      name]() mutable {
    auto drawn = std::make_shared<Answer>(draw(folder, name));
    MainQueue::async([held, drawn] {
      WebKitURISchemeRequest* request = held->get();
      if (!drawn->error.empty()) return refuse(request, drawn->error);
      auto* copy = new Data(std::move(drawn->bytes));
      GBytes* bytes = g_bytes_new_with_free_func(copy->data(), copy->size(),
                                                 [](gpointer data) { delete static_cast<Data*>(data); }, copy);
      GObjectPtr<GInputStream> stream(g_memory_input_stream_new_from_bytes(bytes));
      gsize size = g_bytes_get_size(bytes);
      g_bytes_unref(bytes);
      webkit_uri_scheme_request_finish(request, stream.get(), gint64(size), drawn->type.c_str());
    });
  });
}

}  // namespace

void serve(GtkWidget* webView, const std::optional<std::filesystem::path>& folder) {
  static bool registered = [] {
    webkit_web_context_register_uri_scheme(webkit_web_context_get_default(), scheme, answer, nullptr, nullptr);
    return true;
  }();
  (void)registered;
  if (!webView) return;
  if (!folder) {
    g_object_set_data(G_OBJECT(webView), folderKey, nullptr);
    return;
  }
  g_object_set_data_full(G_OBJECT(webView), folderKey, new std::filesystem::path(*folder),
                         [](gpointer data) { delete static_cast<std::filesystem::path*>(data); });
}

}  // namespace PagePictures
