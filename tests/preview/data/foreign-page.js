// What a page of another origin tries against the project server at window.foreignTarget
// ("http://127.0.0.1:PORT"), in every way a page can without a person: the project's script and
// picture, a fetch, a form and a fetch that post preview data, and Socket.IO, through its client
// and through the handshake's own requests. window.foreignResults holds each outcome;
// window.foreignDone turns true once every one has one. Each waits at most 15 seconds.
(function () {
  'use strict';
  var target = window.foreignTarget;
  var results = {};
  var pending = 0;
  window.foreignResults = results;
  window.foreignDone = false;

  function attempt(name, start) {
    pending += 1;
    results[name] = 'pending';
    var timer = setTimeout(function () { settle('no answer'); }, 15000);
    function settle(outcome) {
      if (results[name] !== 'pending') return;
      clearTimeout(timer);
      results[name] = outcome;
      pending -= 1;
      if (pending === 0) window.foreignDone = true;
    }
    try {
      start(settle);
    } catch (e) {
      settle('threw ' + e);
    }
  }

  function post(body) { return { method: 'POST', mode: 'no-cors', credentials: 'include', body: body }; }

  attempt('script', function (settle) {
    var script = document.createElement('script');
    script.src = target + '/code/prototype.js';
    script.onload = function () { settle(window.alphaSecret === undefined ? 'loaded' : 'ran'); };
    script.onerror = function () { settle('refused'); };
    document.head.appendChild(script);
  });

  attempt('picture', function (settle) {
    var img = new Image();
    img.onload = function () { settle('loaded'); };
    img.onerror = function () { settle('refused'); };
    img.src = target + '/design/images/pic.png';
  });

  attempt('fetch', function (settle) {
    fetch(target + '/design/document.json', { credentials: 'include' })
      .then(function (r) { return r.text(); })
      .then(function (text) { settle('read ' + text.length); }, function () { settle('refused'); });
  });

  // Opaque: what the server did with it shows in its preview data.
  attempt('fetch post', function (settle) {
    fetch(target + '/_app/preview-data', post('{"foreign":"fetch"}'))
      .then(function () { settle('answered'); }, function () { settle('refused'); });
  });

  // A text form's body reads as JSON: {"foreign":"=form"}.
  attempt('form post', function (settle) {
    var frame = document.createElement('iframe');
    frame.name = 'foreign-form-answer';
    document.body.appendChild(frame);
    var form = document.createElement('form');
    form.method = 'POST';
    form.enctype = 'text/plain';
    form.action = target + '/_app/preview-data';
    form.target = frame.name;
    var input = document.createElement('input');
    input.name = '{"foreign":"';
    input.value = 'form"}';
    form.appendChild(input);
    document.body.appendChild(form);
    // The empty frame's own load is not the answer; the answer is a page of another origin.
    frame.onload = function () {
      try {
        if (frame.contentWindow.location.href === 'about:blank') return;
      } catch (e) {}
      settle('answered');
    };
    form.submit();
  });

  function socket(name, options) {
    attempt(name, function (settle) {
      if (!window.io) return settle('no client');
      var s = window.io(target, Object.assign({ reconnection: false, timeout: 10000, withCredentials: true, forceNew: true }, options));
      s.on('connect', function () { settle('connected'); s.close(); });
      s.on('connect_error', function () { settle('refused'); s.close(); });
    });
  }
  socket('socket.io', {});
  socket('socket.io websocket', { transports: ['websocket'] });

  // The handshake as a script and as an opaque fetch: no answer is readable, but a session the
  // server opened for it shows in its trace.
  attempt('handshake script', function (settle) {
    var script = document.createElement('script');
    script.src = target + '/socket.io/?EIO=4&transport=polling&t=script';
    script.onload = function () { settle('loaded'); };
    script.onerror = function () { settle('refused'); };
    document.head.appendChild(script);
  });
  attempt('handshake fetch', function (settle) {
    fetch(target + '/socket.io/?EIO=4&transport=polling&t=fetch', { mode: 'no-cors', credentials: 'include' })
      .then(function () { settle('answered'); }, function () { settle('refused'); });
  });
})();
