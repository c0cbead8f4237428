#pragma once
// A bitmap of the web page at a URL, through the shared render queue, after a fixed script that
// quiets the page's preloader and share panel. Main thread.

#include <functional>
#include <optional>
#include <string>

#include "export/HTMLRenderer.h"

namespace KorvelViewSnapshotter {
const std::string& snapshotScript();
// Calls `completion` once: at once with nothing for a string that is not a URL.
void takeSnapshot(const std::string& url, HTMLRenderer::Size size, const std::optional<std::string>& userScript,
                  std::function<void(std::optional<Bitmap>)> completion, HTMLRenderer& renderer);
}  // namespace KorvelViewSnapshotter
