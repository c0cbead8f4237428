// Crash reports of the editor page: uncaught errors and rejected promises are posted, with the
// signed-in user, to the project server's proxy. Each placeholder becomes a JSON string literal.
(function () {
  'use strict';
  if (window.KorvelCrashReports) return;
  var config = {
    proxy: {{ proxy }},
    user: { id: {{ userId }}, name: {{ userName }}, email: {{ userEmail }} }
  };
  window.KorvelCrashReports = config;

  // A page that fails in a loop must not flood the proxy.
  var remaining = 20;
  function report(kind, error, message) {
    if (remaining <= 0 || !window.fetch) return;
    remaining -= 1;
    var body = {
      kind: kind,
      message: String(message || (error && error.message) || error),
      stack: error && error.stack ? String(error.stack) : null,
      page: String(location.pathname),
      user: config.user
    };
    try {
      fetch(config.proxy, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) })
        .catch(function () {});
    } catch (e) {}
  }

  window.addEventListener('error', function (event) { report('error', event.error, event.message); });
  window.addEventListener('unhandledrejection', function (event) { report('unhandledrejection', event.reason); });
})();
