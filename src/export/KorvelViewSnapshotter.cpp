#include "export/KorvelViewSnapshotter.h"

#include <glib.h>

#include <memory>

namespace KorvelViewSnapshotter {

const std::string& snapshotScript() {
  static const std::string script =
      "if ('Preloader' in Korvel.Extras) { Korvel.Extras.Preloader.setLogo(\"\"); Korvel.Extras.Preloader.disable() };"
      "if ('ShareInfo' in Korvel.Extras) { Korvel.Extras.ShareInfo.disable() };window.KorvelStudioInfo = {};";
  return script;
}

void takeSnapshot(const std::string& url, HTMLRenderer::Size size, const std::optional<std::string>& userScript,
                  std::function<void(std::optional<Bitmap>)> completion, HTMLRenderer& renderer) {
  if (url.empty() || !g_uri_is_valid(url.c_str(), G_URI_FLAGS_NONE, nullptr)) return completion(std::nullopt);
  auto work = std::make_shared<HTMLRenderer::Work>();
  work->url = url;
  work->userScript = snapshotScript() + userScript.value_or("");
  work->maxTime = 10.0;
  work->size = size;
  renderer.addWork(work, HTMLRenderer::BitmapCallback(std::move(completion)));
}

}  // namespace KorvelViewSnapshotter
