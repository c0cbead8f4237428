// Pictures and layers through the real stand-in editor page: files dropped on its canvas, layers
// copied in one document and pasted in another, and an image another program copied.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "EditorPageTestSupport.h"
#include "canvas/CanvasTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "export/Bitmap.h"
#include "support/SolidBitmap.h"
#include "export/HTMLRenderQueue.h"
#include "export/WebP.h"
#include "ipc/PasteboardTypes.h"
#include "platform/Crypto.h"
#include "platform/FileSystem.h"
#include "platform/ImageData.h"
#include "platform/OffscreenWindow.h"
#include "platform/Pasteboard.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

using namespace ipctest;
using canvastest::waitFor;

namespace {

struct Page : EditorPage {
  Page() { document->storesImages = true; }
  // Every event of that name the page received, each as its list of arguments.
  nlohmann::json received(const std::string& event) {
    return page("OstrelStandIn.received.filter(e => e.event === '" + event + "').map(e => e.args)")
        .value_or(nlohmann::json::array());
  }
  bool receivedCount(const std::string& event, std::size_t count) {
    return waitFor([&] { return received(event).size() >= count; }, 60);
  }
};

// Runs a tool of the desktop beside the main loop; its standard output, none when it failed.
std::optional<Data> tool(const std::vector<std::string>& arguments) {
  std::vector<const gchar*> argv;
  for (auto& a : arguments) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  GSubprocess* child = g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_STDOUT_PIPE, nullptr);
  if (!child) return std::nullopt;
  struct State {
    bool done = false;
    bool ok = false;
    GBytes* out = nullptr;
  } state;
  g_subprocess_communicate_async(
      child, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* s = static_cast<State*>(data);
        s->ok = g_subprocess_communicate_finish(G_SUBPROCESS(source), result, &s->out, nullptr, nullptr);
        s->done = true;
      },
      &state);
  waitFor([&] { return state.done; }, 30);
  std::optional<Data> out;
  if (state.ok && state.out) {
    gsize size = 0;
    auto* bytes = static_cast<const std::uint8_t*>(g_bytes_get_data(state.out, &size));
    out = Data(bytes, bytes + size);
  }
  if (state.out) g_bytes_unref(state.out);
  g_subprocess_wait(child, nullptr, nullptr);
  bool exited = g_subprocess_get_if_exited(child) && g_subprocess_get_exit_status(child) == 0;
  g_object_unref(child);
  return exited ? out : std::nullopt;
}

std::string dropScript(const std::vector<std::tuple<std::string, std::string, Data>>& files) {
  std::string list;
  for (auto& [name, type, bytes] : files)
    list += "file('" + crypto::base64Encode(bytes) + "', '" + name + "', '" + type + "'),";
  return "(function () {"
         "  function file(b64, name, type) {"
         "    var bin = atob(b64), bytes = new Uint8Array(bin.length);"
         "    for (var i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);"
         "    return new File([bytes], name, { type: type });"
         "  }"
         "  var transfer = new DataTransfer();"
         "  [" + list + "].forEach(function (f) { transfer.items.add(f); });"
         "  var canvas = document.getElementById('canvas');"
         "  canvas.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, clientX: 400, clientY: 300,"
         "    bubbles: true, cancelable: true }));"
         "  return transfer.files.length;"
         "})()";
}

}  // namespace

TEST(EditorPageMedia, DroppedPNGWebPAndSVGBecomeLayersOfTheirSize) {
  Page p;
  ASSERT_TRUE(p.load());
  Data png = ImageEncoding::png(testenv::solidBitmap(64, 48, 10, 200, 10));
  Data webp = WebP::encode(testenv::solidBitmap(30, 20, 200, 10, 10), 1.0f);
  Data svg = dataFromString(R"(<svg width="2in" height="1in"><circle cx="10" cy="10" r="5"/></svg>)");
  EXPECT_EQ(p.page(dropScript({{"a.png", "image/png", png}, {"b.webp", "image/webp", webp},
                               {"c.svg", "image/svg+xml", svg}})),
            nlohmann::json(3));
  ASSERT_TRUE(p.receivedCount("DocumentInsertImage", 2))
      << p.page("JSON.stringify([OstrelStandIn.posted, OstrelStandIn.received.map(e => e.event)])").value_or("?")
      << p.document->storedImages.size();
  ASSERT_TRUE(p.receivedCount("DocumentInsertSVG", 1));
  std::map<std::string, nlohmann::json> sizes;
  for (auto& args : p.received("DocumentInsertImage")) sizes[args[1]] = args[2];
  EXPECT_EQ(sizes["a.png"], (nlohmann::json{{"width", 64}, {"height", 48}, {"pixelWidth", 64}, {"pixelHeight", 48}}));
  EXPECT_EQ(sizes["b.webp"], (nlohmann::json{{"width", 30}, {"height", 20}, {"pixelWidth", 30}, {"pixelHeight", 20}}));
  auto svgEvent = p.received("DocumentInsertSVG")[0];
  EXPECT_EQ(svgEvent[1], "c.svg");
  EXPECT_EQ(svgEvent[2], (nlohmann::json{{"width", 192}, {"height", 96}}));
  EXPECT_EQ(svgEvent[3]["x"].is_number(), true);
  // The WebP was stored as PNG.
  ASSERT_EQ(p.document->storedImages.size(), 2u);
  for (auto& stored : p.document->storedImages) EXPECT_EQ(stored[1], 'P');
  EXPECT_TRUE(waitFor([&] { return p.page("document.querySelectorAll('.layer.media').length") == nlohmann::json(3); }));
}

TEST(EditorPageMedia, LayersCopiedInOneDocumentPasteInAnotherAndOthersSeeThePicture) {
  Page from, to;
  ASSERT_TRUE(from.load());
  ASSERT_TRUE(to.load());
  ASSERT_TRUE(from.page("OstrelStandIn.addLayer('rect') && OstrelStandIn.copySelection()") == nlohmann::json(true));
  auto& pasteboard = Pasteboard::general();
  ASSERT_TRUE(waitFor([&] {
    auto picture = pasteboard.dataForType(PasteboardType::png);
    return picture && !picture->empty();
  }, 60));
  EXPECT_EQ(pasteboard.types(), (std::vector<std::string>{"com.korvel.ostrel.layers", "image/png", "image/tiff"}));
  EXPECT_EQ(std::count(from.document->calls.begin(), from.document->calls.end(), "copyImages"), 1);

  // Another program sees our types and reads the picture.
  auto targets = tool({"xclip", "-selection", "clipboard", "-t", "TARGETS", "-o"});
  ASSERT_TRUE(targets);
  EXPECT_NE(stringFromData(*targets).find("com.korvel.ostrel.layers"), std::string::npos);
  auto picture = tool({"xclip", "-selection", "clipboard", "-t", "image/png", "-o"});
  ASSERT_TRUE(picture);
  EXPECT_EQ(ImageData::bitmapSize(*picture), (ImageData::PixelSize{120, 80}));

  ASSERT_TRUE(to.page("OstrelStandIn.paste()") == nlohmann::json(true));
  ASSERT_TRUE(to.receivedCount("DocumentPaste", 1));
  auto answer = to.received("DocumentPaste")[0];
  ASSERT_EQ(answer.size(), 3u);
  ASSERT_TRUE(answer[0].is_array());
  EXPECT_EQ(answer[0][0]["type"], "rect");
  EXPECT_EQ(std::count(to.document->calls.begin(), to.document->calls.end(), "pasteImages"), 1);
  EXPECT_TRUE(waitFor([&] { return to.page("document.querySelectorAll('.layer').length") == nlohmann::json(1); }));

  // A later copy keeps the clipboard even when an earlier, larger picture finishes after it.
  from.page("OstrelStandIn.documentJSON.pages[0].layers[0].width = 1600; OstrelStandIn.copySelection()");
  from.page("OstrelStandIn.documentJSON.pages[0].layers[0].width = 20; OstrelStandIn.copySelection()");
  ASSERT_TRUE(waitFor([&] {
    auto png = pasteboard.dataForType(PasteboardType::png);
    return png && !png->empty();
  }, 60));
  EXPECT_EQ(ImageData::bitmapSize(*pasteboard.dataForType(PasteboardType::png)), (ImageData::PixelSize{20, 80}));
  waitFor([] { return HTMLRenderQueue::shared().waiting() == 0; }, 30);
  RunLoop::runUntil([] { return false; }, 2);
  EXPECT_EQ(ImageData::bitmapSize(*pasteboard.dataForType(PasteboardType::png)), (ImageData::PixelSize{20, 80}));
}

TEST(EditorPageMedia, AnImageCopiedByAnotherProgramPastesAsAnImageLayer) {
  Page p;
  ASSERT_TRUE(p.load());
  auto file = testenv::freshFolder("xclip") / "f.png";
  ASSERT_TRUE(fs::writeAtomically(file, ImageEncoding::png(testenv::solidBitmap(33, 22, 1, 2, 3))));
  const gchar* argv[] = {"xclip", "-quiet", "-selection", "clipboard", "-t", "image/png", "-i", file.c_str(), nullptr};
  GSubprocess* xclip = g_subprocess_newv(argv, G_SUBPROCESS_FLAGS_STDOUT_SILENCE, nullptr);
  ASSERT_TRUE(xclip);
  // Once the other program owns the clipboard, it offers its picture and nothing of ours.
  ASSERT_TRUE(waitFor([] {
    auto types = Pasteboard::general().types();
    return std::find(types.begin(), types.end(), "image/png") != types.end() &&
           std::find(types.begin(), types.end(), PasteboardType::ostrelLayers) == types.end();
  }));
  ASSERT_TRUE(p.page("OstrelStandIn.paste()") == nlohmann::json(true));
  ASSERT_TRUE(p.receivedCount("DocumentPaste", 1));
  ASSERT_TRUE(p.receivedCount("DocumentInsertImage", 1));
  EXPECT_EQ(p.received("DocumentPaste")[0], nlohmann::json::array());
  EXPECT_EQ(p.received("DocumentInsertImage")[0][2],
            (nlohmann::json{{"width", 33}, {"height", 22}, {"pixelWidth", 33}, {"pixelHeight", 22}}));
  g_subprocess_force_exit(xclip);
  g_subprocess_wait(xclip, nullptr, nullptr);
  g_object_unref(xclip);
}
