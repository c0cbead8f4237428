#pragma once
// A page that piles large pictures over each other costs its engine every picture's whole box
// each time it paints, hidden or not: a hundred pictures of a frame's size are a hundred frames
// of pixels. Before such a page is captured, what opaque pictures above hide of a picture is left
// unpainted (the picture clipped to what still shows, or not painted at all), which changes no
// pixel of the capture.

#include <string>
#include <vector>

#include "export/HTMLRenderer.h"

namespace CoveredPictures {

// A style that keeps a page unpainted until script() has run in it.
extern const char* const heldStyle;

// The served addresses of the source's pictures that draw no pixel other than opaque: made by
// the store, of a format whose header says so.
std::vector<std::string> opaqueAddresses(const HTMLRenderer::Source& source);

// The script that, in a loaded page, leaves unpainted what the pictures at `opaque` hide of
// the pictures beneath them. Only pictures of plain boxes count (absolutely placed siblings,
// neither turned nor filtered nor shadowed); its work is bounded in count and time, past which
// what is left is painted as it is.
std::string script(const std::vector<std::string>& opaque);

}  // namespace CoveredPictures
