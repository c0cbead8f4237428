// The page side of the host bridge: requests go to the "_webkit" handler as JSON text of
// {method, arguments}; the host's events arrive through window._ipc.emit(name, ...args).
(function () {
  'use strict';
  if (window._ipc) return;
  var channel = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers._webkit;

  function post(method, args) {
    if (!channel || typeof method !== 'string') return;
    var message = { method: method };
    if (args !== undefined) message.arguments = args;
    channel.postMessage(JSON.stringify(message));
  }

  var listeners = {};
  window._ipc = {
    send: post,
    on: function (event, listener) {
      (listeners[event] = listeners[event] || []).push(listener);
    },
    off: function (event, listener) {
      var list = listeners[event] || [];
      var at = list.indexOf(listener);
      if (at >= 0) list.splice(at, 1);
    },
    emit: function (event) {
      var args = Array.prototype.slice.call(arguments, 1);
      (listeners[event] || []).slice().forEach(function (listener) {
        try {
          listener.apply(null, args);
        } catch (e) {
          post('error', { event: event, message: String(e) });
        }
      });
    }
  };
  window._bridge = function (method) { post(method); };
  window.AppServicesConfig = /*replace-with*/undefined/*appServicesConfig*/;

  document.addEventListener('DOMContentLoaded', function () { post('DOMContentLoaded'); });
})();
