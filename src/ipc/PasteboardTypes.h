#pragma once
// The editor's pasteboard types. Our own types travel under their reverse-DNS names; the public
// text types are the MIME types other programs look for.

#include "platform/Pasteboard.h"

namespace PasteboardType {
inline constexpr const char* ostrelLayers = "com.korvel.ostrel.layers";
inline constexpr const char* ostrelStyle = "com.korvel.ostrel.style";
inline constexpr const char* sketchPasteboard = "com.korvel.sketch.pasteboard";
inline constexpr const char* CSS = "text/css";
inline constexpr const char* SVG = "image/svg+xml";
inline constexpr const char* URL = mozURL;
inline constexpr const char* fileURL = uriList;
}  // namespace PasteboardType
