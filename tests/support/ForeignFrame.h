#pragma once
// A page of another origin for a hosted page to hold in a frame, as an embedded widget or a page
// on a port another program took: served by a bare listener, it posts the given bridge messages
// by every road it can find to the host, asks alert, confirm and prompt, and then tells its parent
// what it got ({foreignFrame: {channel, alert, confirm, prompt, print}}). Dialogs and print panels
// the view lets through are seen by DialogWatch, which answers them as a person who agrees.

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/JsonCoder.h"
#include "platform/WebView.h"
#include "support/BareListener.h"
#include "support/TestEnvironment.h"

struct ForeignFrame {
  BareListener listener;

  // `messages` are [method, arguments] pairs; arguments null for none.
  bool start(const nlohmann::json& messages) {
    auto folder = testenv::freshFolder("foreign-frame");
    std::ofstream(folder / "frame.html") << R"(<!DOCTYPE html><html><body><p>widget</p><script>
(function () {
  var results = {};
  var channel = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers._webkit;
  results.channel = typeof channel;
  function post(method, args) {
    var text = JSON.stringify(args === null ? { method: method } : { method: method, arguments: args });
    try { channel.postMessage(text); } catch (e) {}
    try { top.webkit.messageHandlers._webkit.postMessage(text); } catch (e) {}
    try { top._ipc.send(method, args); } catch (e) {}
    try { document.dispatchEvent(new CustomEvent('korvel-host:_webkit', { detail: text })); } catch (e) {}
  }
  )" << JsonCoder::dump(messages) << R"(.forEach(function (m) { post(m[0], m[1]); });
  alert('An alert of the frame');
  results.alert = 'returned';
  results.confirm = confirm('A question of the frame?');
  results.prompt = prompt('A prompt of the frame', 'typed');
  print();
  results.print = 'returned';
  parent.postMessage({ foreignFrame: results }, '*');
})();
</script></body></html>)";
    return listener.start(folder.string());
  }
  std::string address() const { return listener.address() + "/files/frame.html"; }

  // Script for the hosting page: keeps what the frame tells in window.foreignFrame and adds the frame.
  std::string insertion() const {
    return "window.addEventListener('message', function (e) {"
           " if (e.data && e.data.foreignFrame) window.foreignFrame = e.data.foreignFrame; });"
           "var frame = document.createElement('iframe'); frame.src = '" + address() + "';"
           "document.body.appendChild(frame); true";
  }
};

// The dialogs a view put before the person; each is agreed to at once.
struct DialogWatch {
  explicit DialogWatch(WebView& view) : widget(view.widget()) {
    id = g_signal_connect(widget, "script-dialog", G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog* d, gpointer data) {
      auto* self = static_cast<DialogWatch*>(data);
      const char* message = webkit_script_dialog_get_message(d);
      self->seen.push_back(message ? message : "");
      if (webkit_script_dialog_get_dialog_type(d) == WEBKIT_SCRIPT_DIALOG_CONFIRM)
        webkit_script_dialog_confirm_set_confirmed(d, TRUE);
      return TRUE;
    }), this);
    printing = g_signal_connect(widget, "print", G_CALLBACK(+[](WebKitWebView*, WebKitPrintOperation*, gpointer data) {
      static_cast<DialogWatch*>(data)->seen.push_back("print");
      return TRUE;
    }), this);
  }
  ~DialogWatch() {
    g_signal_handler_disconnect(widget, id);
    g_signal_handler_disconnect(widget, printing);
  }
  DialogWatch(const DialogWatch&) = delete;
  DialogWatch& operator=(const DialogWatch&) = delete;

  GtkWidget* widget;
  gulong id = 0, printing = 0;
  std::vector<std::string> seen;
};
