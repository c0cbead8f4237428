// A stand-in for the prototype's preview page: it shows the frame the editor selected, in the
// device the editor's preview settings name, reports its device catalog, its content scale and
// the prototype's run-time errors to the host, and follows the project server's pushes. What
// it received is kept in window.PreviewStandIn for a person, or a test, to see.
(function () {
  'use strict';
  var state = { selection: null, document: null, storeData: null, received: [], errors: [] };
  window.PreviewStandIn = state;

  var catalog = {
    devices: {
      'korvel-phone': {
        title: 'Korvel Phone', selector: 'Korvel Phone', category: 'Phones', kind: 'phone',
        screen: { width: 750, height: 1334 }, pixelRatio: 2, canRotate: true,
        skins: {
          black: { image: 'phone-black.png', imageWidth: 850, imageHeight: 1730, padding: 50, background: '#111111' },
          white: { image: 'phone-white.png', imageWidth: 850, imageHeight: 1730, padding: 50, background: '#e8e8e8' }
        },
        hands: {
          left: { image: 'hand-left.png', width: 600, height: 1200, offset: 40 },
          right: { package: '@korvel/device-hands' }
        }
      },
      'korvel-tablet': {
        title: 'Korvel Tablet', category: 'Tablets', kind: 'tablet',
        screen: { width: 1536, height: 2048 }, pixelRatio: 2, canRotate: true
      },
      desktop: { title: 'Desktop', category: 'Computers', kind: 'computer', screen: { width: 1440, height: 900 }, pixelRatio: 1 }
    },
    deviceSkins: {}
  };

  function send(method, args) { if (window._ipc) window._ipc.send(method, args); }

  function query(name) {
    var match = new RegExp('[?&]' + name + '=([^&]*)').exec(location.search);
    return match ? decodeURIComponent(match[1]) : '';
  }

  function deviceSize(settings) {
    var device = settings.deviceDescriptor || catalog.devices[settings.deviceType];
    if (!device) return null;
    var ratio = device.pixelRatio > 0 ? device.pixelRatio : 1;
    var size = { width: device.screen.width / ratio, height: device.screen.height / ratio };
    return settings.rotate ? { width: size.height, height: size.width } : size;
  }

  // The frame the editor selected, with every layer it holds where the design puts it.
  function findFrame(id) {
    var pages = (state.document && state.document.pages) || [];
    return pages.filter(function (page) { return (page.id || page.name) === id; })[0] ||
      pages.filter(function (page) { return (page.layers || []).some(function (l) { return l.id === id; }); })[0] || null;
  }

  // The design images lie in the project that the page's server serves.
  function imageFolder() {
    var folder = window.OstrelPictures.designFolder;
    try {
      return new URL(folder, state.imageBaseURL || location.href).href;
    } catch (e) {
      return '/' + folder;
    }
  }

  function frameBox(meta, onCanvas) {
    var box = document.createElement('div');
    box.className = 'frame';
    box.style.position = 'absolute';
    box.style.left = onCanvas ? '0' : '16px';
    box.style.top = onCanvas ? '0' : '16px';
    box.style.width = onCanvas ? '100%' : (meta.width || 100) + 'px';
    box.style.height = onCanvas ? '100%' : (meta.height || 40) + 'px';
    box.style.boxSizing = 'border-box';
    var frame = findFrame(meta.id);
    var layers = frame ? frame.layers || [] : [];
    if (!frame) {
      // The document is not readable from here: the frame's name stands in for it.
      box.textContent = meta.name;
      return box;
    }
    box.dataset.frame = meta.id;
    var level = window.OstrelPictures ? window.OstrelPictures.drawnLevel(layers) : Infinity;
    layers.forEach(function (l) {
      var element = document.createElement('div');
      element.className = 'layer';
      element.dataset.id = l.id;
      element.style.cssText = 'position:absolute;box-sizing:border-box;left:' + (l.x || 0) + 'px;top:' + (l.y || 0) +
        'px;width:' + (l.width || 100) + 'px;height:' + (l.height || 40) + 'px';
      var picture = window.OstrelPictures && window.OstrelPictures.element(l, imageFolder(), null, level);
      if (l.type === 'rect') element.style.background = l.fill || '#4a90e2';
      else if (picture) {
        element.style.padding = '0';
        element.style.border = '0';
        element.appendChild(picture);
      } else element.textContent = l.text || l.name || l.id;
      box.appendChild(element);
    });
    return box;
  }

  function render() {
    var stage = document.getElementById('stage');
    stage.innerHTML = '';
    var selection = state.selection;
    if (!selection) {
      var p = document.createElement('p');
      p.id = 'status';
      p.textContent = 'No Selection';
      stage.appendChild(p);
      return;
    }
    var settings = selection.metadata.settings || {};
    var meta = selection.metadata;
    var size = deviceSize(settings) || { width: meta.width || 375, height: meta.height || 667 };
    var device = document.createElement('div');
    device.id = 'device';
    device.dataset.device = settings.deviceType || 'Canvas';
    if (settings.bezel && settings.deviceType && settings.deviceType !== 'Canvas') {
      device.className = 'bezel ' + (settings.skin || '');
      if (settings.hand) {
        var hand = document.createElement('div');
        hand.id = 'hand';
        hand.className = settings.hand;
        device.appendChild(hand);
      }
    }
    if (settings.touch) device.classList.add('touch');
    device.style.width = (settings.responsive ? window.innerWidth : size.width) + 'px';
    device.style.height = (settings.responsive ? window.innerHeight : size.height) + 'px';
    // On the canvas the frame is the whole picture; in a device it sits at the top.
    var onCanvas = !settings.deviceType || settings.deviceType === 'Canvas';
    var box = frameBox(meta, onCanvas);
    // The screen clips the prototype; a hand may reach beyond it.
    var screen = document.createElement('div');
    screen.style.cssText = 'position:absolute;inset:0;overflow:hidden';
    screen.appendChild(box);
    device.appendChild(screen);
    stage.appendChild(device);
    // The device fits the window; the host shows the zoom in its title.
    var outer = device.getBoundingClientRect();
    var scale = Math.min(1, window.innerWidth / outer.width, window.innerHeight / outer.height);
    device.style.transform = 'scale(' + scale + ')';
    send('fixmeHackyNotePreviewContentScale', scale);
  }

  function loadDocument() {
    return fetch('/design/document.json', { cache: 'no-cache' })
      .then(function (r) { return r.ok ? r.json() : null; })
      .catch(function () { return null; })
      .then(function (json) { state.document = json; });
  }

  function applyPreviewData(text) {
    state.received.push('updatePreview');
    try {
      state.selection = JSON.parse(text);
    } catch (e) {
      state.selection = null;
    }
    loadDocument().then(render);
  }

  // The project's prototype runs here; what it throws goes to the editor.
  function runPrototype() {
    window.addEventListener('error', function (event) {
      var error = { message: String(event.message), source: String(event.filename || ''), line: event.lineno || 0 };
      state.errors.push(error);
      send('runtime.error', [error]);
    });
    var script = document.createElement('script');
    script.src = '/code/prototype.js';
    script.onerror = function () {};
    document.body.appendChild(script);
  }

  function connect() {
    if (!window.io) return;
    // It opens with a request, which carries what the server asks of this page, then upgrades.
    var socket = window.io();
    socket.on('connect', function () { socket.emit('joinRoom', { room: 'preview' }); });
    socket.on('updatePreview', applyPreviewData);
    socket.on('reload', function () { location.reload(); });
    state.socket = socket;
  }

  document.addEventListener('DOMContentLoaded', function () {
    state.imageBaseURL = query('imageBaseURL');
    state.projectURL = query('projectURL');
    if (window._ipc) {
      window._ipc.on('serverStoreData', function (data) {
        state.storeData = data;
        document.getElementById('store').textContent = 'Store: ' + JSON.stringify(data);
      });
    }
    send('devices', JSON.stringify(catalog));
    window.addEventListener('resize', render);
    connect();
    runPrototype();
  });
})();
