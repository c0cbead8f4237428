// Crash reports of the editor page: uncaught errors and rejected promises are posted, with the
// signed-in user, to the project server's proxy. Each placeholder becomes a JSON string literal.
// Run again as the server changes: the reports go to the server the page runs under now, and to
// none (an empty proxy) while there is none, since its old port may be anyone's.
(function () {
  'use strict';
  var proxy = {{ proxy }} || null;
  var user = { id: {{ userId }}, name: {{ userName }}, email: {{ userEmail }} };
  if (window.KorvelCrashReports) {
    window.KorvelCrashReports.proxy = proxy;
    window.KorvelCrashReports.user = user;
    return;
  }
  if (!proxy) return;
  var config = { proxy: proxy, user: user };
  window.KorvelCrashReports = config;

  // A page that fails in a loop must not flood the proxy.
  var remaining = 20;
  function report(kind, error, message) {
    if (remaining <= 0 || !window.fetch || !config.proxy) return;
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
