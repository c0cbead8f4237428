// Stand-in tracking client. korvelTracking({sourceName, trackingUrl}) answers a client whose
// track, identify and flush each take one JSON value. Calls are batched and sent as one POST of
// {"sourceName", "calls": [{"type", "payload"}]} to trackingUrl, at the next turn of the page's
// event loop or at once on flush.
function korvelTracking(options) {
  'use strict';
  if (!options || typeof options.trackingUrl !== 'string') throw new Error('korvelTracking: trackingUrl is required');
  var sourceName = String(options.sourceName || '');
  var pending = [];
  var scheduled = false;

  function send() {
    scheduled = false;
    if (pending.length === 0) return;
    var body = JSON.stringify({ sourceName: sourceName, calls: pending });
    pending = [];
    var request = new XMLHttpRequest();
    request.open('POST', options.trackingUrl);
    request.setRequestHeader('Content-Type', 'application/json');
    request.send(body);
  }

  function add(type, payload) {
    pending.push({ type: type, payload: payload });
    if (!scheduled) {
      scheduled = true;
      setTimeout(send, 0);
    }
  }

  return {
    track: function (payload) { add('track', payload); },
    identify: function (payload) { add('identify', payload); },
    flush: function (payload) { add('flush', payload); send(); }
  };
}
