// Page-to-native round trips per second: through the hosted-page bridge (JSON message on
// "_webkit", parsed, answered with a window._ipc.emit event), beside the same round trip in a
// bare WebKitGTK view (a number posted, a function called back). Run under a display:
//   xvfb-run -a dbus-run-session -- ./canvas_bridge_bench [round trips]

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "canvas/BaseOstrelViewController.h"
#include "canvas/WebViewController.h"
#include "platform/OffscreenWindow.h"
#include "platform/RunLoop.h"

namespace {

using Clock = std::chrono::steady_clock;

double bridgeRoundTrips(int count) {
  auto controller = WebViewController::create(false);
  OffscreenWindow window(controller->webView().widget(), 400, 300);
  int done = 0;
  Clock::time_point start;
  controller->setBridgeHandler([&](const std::string& method, const nlohmann::json& arguments) {
    if (method == "Start") start = Clock::now();
    if (method != "Ping" && method != "Start") return;
    int n = arguments.is_number() ? arguments.get<int>() : 0;
    if (n >= count) {
      done = n;
      return;
    }
    controller->evaluateJavaScript(BaseOstrelViewController::eventScript("Pong", {IPCValue::number(n)}));
  });
  controller->loadHTMLString(
      "<script>window._ipc.on('Pong', function (n) { window._ipc.send('Ping', n + 1); });"
      "document.addEventListener('DOMContentLoaded', function () { window._ipc.send('Start', 0); });</script>",
      "");
  RunLoop::runUntil([&] { return done >= count; }, 120);
  return done >= count ? count / std::chrono::duration<double>(Clock::now() - start).count() : 0;
}

struct Bare {
  WebKitWebView* view;
  int count, done = 0;
  Clock::time_point start;
};

void bareMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* bare = static_cast<Bare*>(data);
  int n = jsc_value_to_int32(webkit_javascript_result_get_js_value(result));
  if (n == 0) bare->start = Clock::now();
  if (n >= bare->count) {
    bare->done = n;
    return;
  }
  std::string script = "pong(" + std::to_string(n) + ")";
  webkit_web_view_evaluate_javascript(bare->view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

double bareRoundTrips(int count) {
  WebKitUserContentManager* manager = webkit_user_content_manager_new();
  GtkWidget* widget = webkit_web_view_new_with_user_content_manager(manager);
  g_object_ref_sink(widget);
  Bare bare{WEBKIT_WEB_VIEW(widget), count, 0, Clock::now()};
  gulong id = g_signal_connect(manager, "script-message-received::raw", G_CALLBACK(bareMessage), &bare);
  webkit_user_content_manager_register_script_message_handler(manager, "raw");
  {
    OffscreenWindow window(widget, 400, 300);
    webkit_web_view_load_html(bare.view,
                              "<script>function pong(n) { window.webkit.messageHandlers.raw.postMessage(n + 1); }"
                              "window.webkit.messageHandlers.raw.postMessage(0);</script>",
                              nullptr);
    RunLoop::runUntil([&] { return bare.done >= count; }, 120);
  }
  double rate = bare.done >= count ? count / std::chrono::duration<double>(Clock::now() - bare.start).count() : 0;
  g_signal_handler_disconnect(manager, id);
  gtk_widget_destroy(widget);
  g_object_unref(widget);
  g_object_unref(manager);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "canvas_bridge_bench: no display\n");
    return 1;
  }
  int count = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (count <= 0) count = 2000;
  bareRoundTrips(100);  // warm the web process up
  double bare = bareRoundTrips(count);
  double bridge = bridgeRoundTrips(count);
  std::printf("bare WebKitGTK page: %.0f round trips/s\n", bare);
  std::printf("Korvel bridge:       %.0f round trips/s\n", bridge);
  if (bare > 0 && bridge > 0) std::printf("bridge / bare:       %.2f\n", bridge / bare);
  return bare > 0 && bridge > 0 ? 0 : 1;
}
