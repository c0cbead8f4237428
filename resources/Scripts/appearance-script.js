// Dark or light, from the host at start-up and from its window messages later.
(function () {
  'use strict';
  function apply(dark) {
    window.hasDarkAppearance = dark;
    var root = document.documentElement;
    if (root) root.setAttribute('data-appearance', dark ? 'dark' : 'light');
  }
  apply(/*replace-with*/undefined/*hasDarkAppearance*/ === true);
  window.addEventListener('message', function (event) {
    var data = event.data;
    if (data && (data.appearance === 'dark' || data.appearance === 'light')) apply(data.appearance === 'dark');
  });
})();
