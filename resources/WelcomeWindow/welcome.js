// The welcome page's side of the bridge: examples, tutorials, links and search go to the
// window; the window answers "ready" with the A/B decisions through window._setABtests.
(function () {
  'use strict';

  function send(method, args) {
    if (window._ipc) window._ipc.send(method, args);
  }

  function interaction(id) {
    send('metricsUIInteraction', id);
  }

  window.welcomeState = { abTests: null, flags: null };

  window._setABtests = function (decisions, flags) {
    window.welcomeState = { abTests: decisions || {}, flags: flags || {} };
    var cta = document.getElementById('tutorial-cta');
    if (!cta) return;
    var dismissed = !!(flags && flags.dismissedTutorialCTA);
    cta.classList.toggle('hidden', dismissed);
    if (!dismissed && decisions && decisions.tutorialButtonCta) send('abTestShown', 'tutorialButtonCta');
  };

  document.addEventListener('DOMContentLoaded', function () {
    Array.prototype.forEach.call(document.querySelectorAll('[data-example]'), function (button) {
      button.addEventListener('click', function () {
        interaction(button.id);
        send('openExample', button.getAttribute('data-example'));
      });
    });
    Array.prototype.forEach.call(document.querySelectorAll('[data-tutorial]'), function (button) {
      button.addEventListener('click', function () {
        interaction(button.id);
        send('openTutorial', button.getAttribute('data-tutorial'));
      });
    });
    Array.prototype.forEach.call(document.querySelectorAll('[data-link]'), function (link) {
      link.addEventListener('click', function (event) {
        event.preventDefault();
        interaction(link.id);
        send('link', link.getAttribute('data-link'));
      });
    });
    var search = document.getElementById('search');
    search.addEventListener('keydown', function (event) {
      if (event.key !== 'Enter' || !search.value) return;
      interaction('search');
      send('search', search.value);
    });
    document.getElementById('dismiss-tutorial-cta').addEventListener('click', function () {
      document.getElementById('tutorial-cta').classList.add('hidden');
      interaction('dismiss-tutorial-cta');
      send('dismissTutorialCta');
    });
    send('ready');
  });
})();
