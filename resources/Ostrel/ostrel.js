// A stand-in for the Ostrel editor: it speaks the editor's side of the host bridge and shows
// the document's frames plainly. It keeps what it received in window.OstrelStandIn so that a
// person, or a test, can see the traffic.
(function () {
  'use strict';
  var separator = '#&#';
  var state = {
    addresses: { url: '', imageBaseURL: '', projectURL: '' },
    documentJSON: null,
    selected: null,
    undo: [],
    redo: [],
    received: [],
    posted: [],
    previewSettings: {},
    published: []
  };
  window.OstrelStandIn = state;

  function send(method, args) {
    state.posted.push(method);
    if (window._ipc) window._ipc.send(method, args);
  }

  function readFragment() {
    var raw = location.hash ? location.hash.slice(1) : '';
    var parts;
    try {
      parts = decodeURIComponent(raw).split(separator);
    } catch (e) {
      parts = [];
    }
    state.addresses = { url: parts[0] || '', imageBaseURL: parts[1] || '', projectURL: parts[2] || '' };
  }

  function text(value) { return value === undefined ? '(none)' : JSON.stringify(value); }

  function showGlobals() {
    var list = document.getElementById('globals');
    if (!list) return;
    var typefaces = window.SystemTypefaceDescriptors || [];
    var rows = [
      ['Document', state.addresses.url], ['Images', state.addresses.imageBaseURL],
      ['Project', state.addresses.projectURL], ['Tutorial', text(window.isTutorial)],
      ['Tab width', text(window.UserDefaultsTabContentWidth)], ['Typeface families', String(typefaces.length)],
      ['Default typeface', text(window.SystemTypefaceDefaultDescriptor)]
    ];
    list.innerHTML = '';
    rows.forEach(function (row) {
      var dt = document.createElement('dt'), dd = document.createElement('dd');
      dt.textContent = row[0];
      dd.textContent = row[1] || '(none)';
      list.appendChild(dt);
      list.appendChild(dd);
    });
  }

  function layersOf(json) {
    var out = [];
    ((json && json.pages) || []).forEach(function (page) {
      (page.layers || []).forEach(function (layer) { out.push(layer); });
    });
    return out;
  }

  function render() {
    var canvas = document.getElementById('canvas');
    if (!canvas) return;
    canvas.innerHTML = '';
    var json = state.documentJSON;
    if (!json || !json.pages) {
      var p = document.createElement('p');
      p.id = 'status';
      p.textContent = 'No document';
      canvas.appendChild(p);
      return;
    }
    json.pages.forEach(function (page) {
      var box = document.createElement('section');
      box.className = 'page';
      var title = document.createElement('h3');
      title.textContent = page.name || page.id || 'Page';
      box.appendChild(title);
      (page.layers || []).forEach(function (layer) {
        var frame = document.createElement('div');
        frame.className = 'layer' + (state.selected === layer.id ? ' selected' : '');
        frame.dataset.id = layer.id;
        frame.style.left = (layer.x || 0) + 'px';
        frame.style.top = 24 + (layer.y || 0) + 'px';
        frame.style.width = (layer.width || 100) + 'px';
        frame.style.height = (layer.height || 40) + 'px';
        frame.textContent = layer.text || layer.name || layer.id;
        frame.addEventListener('click', function (event) {
          event.stopPropagation();
          select(layer.id);
        });
        box.appendChild(frame);
      });
      canvas.appendChild(box);
    });
    var selection = document.getElementById('selection');
    if (selection) selection.textContent = state.selected || 'Nothing selected';
  }

  function select(id) {
    state.selected = id;
    render();
    publishPreview();
  }

  // The preview shows the selected frame, or the first one; its settings live here, per frame,
  // and reach the preview through the project server.
  function previewLayer() {
    var all = layersOf(state.documentJSON);
    for (var i = 0; i < all.length; i++) if (all[i].id === state.selected) return all[i];
    return all[0] || null;
  }

  function publishPreview() {
    var layer = previewLayer();
    var base = state.addresses.projectURL;
    if (!layer || !base || !window.fetch) return;
    var settings = state.previewSettings[layer.id] ||
      (state.previewSettings[layer.id] = { responsive: false, rotate: false, bezel: false, touch: false });
    var data = {
      presentationNode: { componentClass: layer.type === 'text' ? 'Text' : 'Frame' },
      metadata: { name: layer.name || layer.text || layer.id, id: layer.id, width: layer.width || 100,
        height: layer.height || 40, settings: settings }
    };
    var text = JSON.stringify(data);
    state.published.push(data);
    try {
      fetch(new URL('_app/preview-data', base.charAt(base.length - 1) === '/' ? base : base + '/').href,
        { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: text }).catch(function () {});
    } catch (e) {}
  }

  function updatePreviewSettings(id, settings) {
    if (typeof id !== 'string' || !settings || typeof settings !== 'object') return;
    var current = state.previewSettings[id] || { responsive: false, rotate: false, bezel: false, touch: false };
    Object.keys(settings).forEach(function (key) {
      if (settings[key] === null || (key === 'skin' && settings[key] === '')) delete current[key];
      else current[key] = settings[key];
    });
    state.previewSettings[id] = current;
    var layer = previewLayer();
    if (layer && layer.id === id) publishPreview();
  }

  // Every edit keeps the previous document for undo and tells the host.
  function edit(change) {
    state.undo.push(JSON.stringify(state.documentJSON));
    state.redo = [];
    change();
    render();
    send('DocumentDirty');
  }

  var actions = {
    undo: function () {
      if (!state.undo.length) return false;
      state.redo.push(JSON.stringify(state.documentJSON));
      state.documentJSON = JSON.parse(state.undo.pop());
      render();
      send('DocumentDirty');
      return true;
    },
    redo: function () {
      if (!state.redo.length) return false;
      state.undo.push(JSON.stringify(state.documentJSON));
      state.documentJSON = JSON.parse(state.redo.pop());
      render();
      send('DocumentDirty');
      return true;
    },
    delete: function () {
      if (!state.selected) return false;
      var id = state.selected;
      edit(function () {
        ((state.documentJSON && state.documentJSON.pages) || []).forEach(function (page) {
          page.layers = (page.layers || []).filter(function (l) { return l.id !== id; });
        });
        state.selected = null;
      });
      return true;
    },
    selectAll: function () {
      var all = layersOf(state.documentJSON);
      if (!all.length) return false;
      select(all[0].id);
      return true;
    },
    bringForward: function () { return !!state.selected; },
    sendBackward: function () { return !!state.selected; }
  };

  function actionEnabled(name) {
    switch (name) {
      case 'undo': return state.undo.length > 0;
      case 'redo': return state.redo.length > 0;
      case 'delete': case 'bringForward': case 'sendBackward': return !!state.selected;
      case 'selectAll': return layersOf(state.documentJSON).length > 0;
      case 'cut': case 'copy': case 'paste': return 'native';
      default: return undefined;
    }
  }

  window.Ostrel = {
    validateAction: function (name) {
      var answer = {};
      var names = name === '*' ? ['undo', 'redo', 'cut', 'copy', 'paste', 'delete', 'selectAll', 'bringForward',
        'sendBackward'] : [name];
      names.forEach(function (n) {
        var enabled = actionEnabled(n);
        if (enabled !== undefined) answer[n] = enabled;
      });
      return answer;
    },
    dispatchAction: function (name) {
      var action = actions[name];
      return action ? action() === true : false;
    }
  };

  function loadDocumentFromProject() {
    var base = state.addresses.projectURL;
    if (!base || !window.fetch) return Promise.resolve(null);
    var address;
    try {
      address = new URL('design/document.json', base.charAt(base.length - 1) === '/' ? base : base + '/').href;
    } catch (e) {
      return Promise.resolve(null);
    }
    return fetch(address).then(function (r) { return r.ok ? r.json() : null; }).catch(function () { return null; });
  }

  function listen() {
    var ipc = window._ipc;
    if (!ipc) return;
    var emit = ipc.emit;
    ipc.emit = function (event) {
      state.received.push({ event: event, args: Array.prototype.slice.call(arguments, 1) });
      return emit.apply(ipc, arguments);
    };
    ipc.on('DocumentSave', function () { send('DocumentSaveDialogStart', state.documentJSON || {}); });
    ipc.on('DocumentLoadJSON', function (json) {
      state.documentJSON = json;
      render();
    });
    // A new address means a new document on disk (a revert, a restarted server): load it.
    ipc.on('DocumentSetURL', function (u) {
      state.addresses.url = u;
      showGlobals();
      if (!window.fetch || typeof u !== 'string') return;
      fetch(u).then(function (r) { return r.ok ? r.json() : null; }).catch(function () { return null; })
        .then(function (json) {
          if (!json || state.addresses.url !== u) return;
          state.documentJSON = json;
          state.selected = null;
          render();
        });
    });
    ipc.on('DocumentSetImageBaseURL', function (u) { state.addresses.imageBaseURL = u; showGlobals(); });
    ipc.on('DocumentSetProjectURL', function (u) { state.addresses.projectURL = u; showGlobals(); publishPreview(); });
    ipc.on('UpdatePreviewSettings', updatePreviewSettings);
    ipc.on('PreviewLoaded', publishPreview);
    ipc.on('DocumentContextMenuResponse', function (path) { state.lastMenuChoice = path === undefined ? null : path; });
  }

  function openContextMenu(event) {
    event.preventDefault();
    var layer = event.target && event.target.dataset ? event.target.dataset.id : null;
    if (layer) select(layer);
    send('DocumentContextMenu', {
      menu: [
        { label: 'Bring Forward', accelerator: 'CmdOrCtrl+]', enabled: !!state.selected },
        { label: 'Send Backward', accelerator: 'CmdOrCtrl+[', enabled: !!state.selected },
        { type: 'separator' },
        { label: 'Delete', accelerator: 'Backspace', enabled: !!state.selected },
        { label: 'Arrange', submenu: [{ label: 'Align Left' }, { label: 'Align Right', checked: true }] }
      ],
      location: { x: event.clientX, y: event.clientY }
    });
  }

  // The host answers the page's start-up with "DOMContentLoadedCallback"; the editor is ready
  // once that answer and its document are in.
  var hostAnswered = new Promise(function (resolve) {
    var bridge = window._bridge;
    if (!bridge) return resolve();
    window._bridge = function (method) {
      bridge(method);
      if (method === 'DOMContentLoadedCallback') resolve();
    };
  });

  document.addEventListener('DOMContentLoaded', function () {
    readFragment();
    listen();
    showGlobals();
    document.addEventListener('contextmenu', openContextMenu);
    // Like the editor, the page keeps its own editing shortcuts; others go on to the menus.
    document.addEventListener('keydown', function (event) {
      if (event.key === 'Delete' || event.key === 'Backspace') return actions.delete();
      if (!(event.ctrlKey || event.metaKey) || event.altKey) return;
      var key = event.key.toLowerCase();
      var name = key === 'a' ? 'selectAll' : key === 'z' ? (event.shiftKey ? 'redo' : 'undo') : null;
      if (!name) return;
      event.preventDefault();
      actions[name]();
    });
    Promise.all([loadDocumentFromProject(), hostAnswered]).then(function (results) {
      if (results[0]) state.documentJSON = results[0];
      render();
      send('DocumentReady');
      publishPreview();
    });
  });
})();
