#pragma once
// Pictures that a page's engine does not draw, drawn for it: TIFF files, which the documents of
// earlier versions hold as they came. A view given a folder answers "korvel-picture:<name>" with
// the picture <name> of that folder as PictureStore makes it (a TIFF as PNG), shared by every
// request for it; a view without a folder answers nothing. Only the view's own page is answered,
// and only a fetch, which says which page asks (an image load from a page of files says nothing
// of it). A page that names the device pixels it draws a picture at ("<name>?width=W&height=H")
// is handed it reduced to about them (see PictureStore::Drawn), each side rounded up to a power
// of two. What waits for the page is bounded, and so is how long: a request not made within
// PictureStore::maximumWait of its asking is refused. Main thread only.

#include <cstddef>
#include <filesystem>
#include <optional>

typedef struct _GtkWidget GtkWidget;

namespace PagePictures {

inline constexpr const char* scheme = "korvel-picture";
// The bytes of answers a view's page has yet to take before further answers wait (one answer
// goes alone whatever its size), the bytes of pictures that wait beside them (beyond it an answer
// waits without its picture, and asks for it again in its turn), and how many answers may wait.
inline constexpr std::size_t maximumWaitingBytes = std::size_t(32) << 20;
inline constexpr std::size_t maximumQueuedAnswers = 4096;

// `webView` is a WebKitWebView of the default web context. A picture asked at a drawn size may
// come from its reduced copies in `reducedCopies` (see PictureStore::reducedCopy).
void serve(GtkWidget* webView, const std::optional<std::filesystem::path>& folder,
           const std::optional<std::filesystem::path>& reducedCopies = std::nullopt);

}  // namespace PagePictures
