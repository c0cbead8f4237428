#pragma once
// Pictures that a page's engine does not draw, drawn for it: TIFF files, which the documents of
// earlier versions hold as they came. A view given a folder answers "korvel-picture:<name>" with
// the picture <name> of that folder as PNG (any other picture as it is), read and decoded beside
// the main loop within the bounds of every picture; a view without a folder answers nothing.
// Main thread only.

#include <filesystem>
#include <optional>

typedef struct _GtkWidget GtkWidget;

namespace PagePictures {

inline constexpr const char* scheme = "korvel-picture";

// `webView` is a WebKitWebView of the default web context.
void serve(GtkWidget* webView, const std::optional<std::filesystem::path>& folder);

}  // namespace PagePictures
