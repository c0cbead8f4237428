// Items dragged onto a hosted page are the host's business: the page neither handles them nor
// navigates to a dropped file.
(function () {
  'use strict';
  function block(event) {
    event.preventDefault();
    event.stopPropagation();
  }
  window.addEventListener('dragover', block, true);
  window.addEventListener('drop', block, true);
})();
