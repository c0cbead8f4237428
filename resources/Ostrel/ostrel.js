// A stand-in for the Ostrel editor: it speaks the editor's side of the host bridge and shows
// the document's frames plainly. It keeps what it received in window.OstrelStandIn so that a
// person, or a test, can see the traffic.
(function () {
  'use strict';
  var separator = '#&#';
  var state = {
    addresses: { url: '', imageBaseURL: '', projectURL: '' },
    documentJSON: null,
    readyWithDocument: false,
    // The design is the document's once it came from the project server or from the host; until
    // then nothing is edited or handed over, as a design of the page's own would replace one it
    // never saw. A page given no project has no design to lose and starts one of its own.
    holdsDesign: false,
    designAsks: 0,
    designAnswers: 0,
    designStatus: '',
    selected: null,
    undo: [],
    redo: [],
    received: [],
    posted: [],
    previewSettings: {},
    published: [],
    delivered: 0
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

  var shownPages = 50;

  function render() {
    var canvas = document.getElementById('canvas');
    if (!canvas) return;
    canvas.innerHTML = '';
    var json = state.documentJSON;
    if (!json || !json.pages) {
      var p = document.createElement('p');
      p.id = 'status';
      p.textContent = state.designStatus || 'No document';
      canvas.appendChild(p);
      enableTools();
      return;
    }
    // Like the editor, which shows a page at a time, a design of thousands of pages is not laid
    // out whole: the first ones are shown and the rest counted.
    var shown = json.pages.slice(0, shownPages);
    state.pictureLevel = window.OstrelPictures ? window.OstrelPictures.drawnLevel([].concat.apply([],
      shown.map(function (page) { return page.layers || []; }))) : 1;
    shown.forEach(function (page) {
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
        if (layer.type === 'rect') frame.style.background = layer.fill || '#4a90e2';
        else if (state.drawLayer && state.drawLayer(frame, layer)) frame.classList.add('media');
        else frame.textContent = layer.text || layer.name || layer.id;
        frame.addEventListener('click', function (event) {
          event.stopPropagation();
          select(layer.id);
        });
        if (layer.type === 'text') frame.addEventListener('dblclick', function () { editText(frame, layer.id); });
        box.appendChild(frame);
      });
      canvas.appendChild(box);
    });
    if (json.pages.length > shownPages) {
      var more = document.createElement('p');
      more.className = 'more-pages';
      more.textContent = 'and ' + (json.pages.length - shownPages) + ' more pages';
      canvas.appendChild(more);
    }
    var selection = document.getElementById('selection');
    if (selection) selection.textContent = state.selected || 'Nothing selected';
    enableTools();
  }

  function enableTools() {
    ['add-text', 'add-rect', 'choose-image'].forEach(function (id) {
      var button = document.getElementById(id);
      if (button) button.disabled = !state.holdsDesign;
    });
  }

  // Whether the page may change its design; when not, it says why.
  function canEdit() {
    if (state.holdsDesign) return true;
    showDesignStatus('The design has not loaded from the project server yet, so nothing can be changed.');
    return false;
  }

  function showDesignStatus(text) {
    state.designStatus = text;
    if (!state.documentJSON) render();
  }

  function findLayer(id) {
    return layersOf(state.documentJSON).filter(function (l) { return l.id === id; })[0];
  }

  function pageOf(id) {
    return ((state.documentJSON && state.documentJSON.pages) || []).filter(function (page) {
      return (page.layers || []).some(function (l) { return l.id === id; });
    })[0];
  }

  // A text layer is edited in place. What is typed is an edit as it comes, as every other edit
  // is; the editing ends when the layer loses the focus or on Return.
  function editText(element, id) {
    element.contentEditable = 'true';
    element.focus();
    var typing = { started: false };
    var typed = function () {
      var text = element.textContent;
      var layer = findLayer(id);
      if (layer && layer.text !== text) edit(function () { findLayer(id).text = text; }, typing);
    };
    var finish = function () {
      element.removeEventListener('blur', finish);
      element.removeEventListener('input', typed);
      element.contentEditable = 'false';
      typed();
      if (typing.started) render();
    };
    element.addEventListener('input', typed);
    element.addEventListener('blur', finish);
    element.addEventListener('keydown', function (event) {
      event.stopPropagation();
      if (event.key === 'Enter') { event.preventDefault(); element.blur(); }
    });
  }

  var counter = 0;
  function addLayer(type) {
    if (!canEdit()) return null;
    if (!state.documentJSON) state.documentJSON = { version: 1, pages: [] };
    var json = state.documentJSON;
    if (!json.pages || !json.pages.length) json.pages = [{ id: 'page-1', name: 'Page 1', layers: [] }];
    var page = (state.selected && pageOf(state.selected)) || json.pages[0];
    var id;
    do { id = type + '-' + (++counter); } while (findLayer(id));
    var count = (page.layers || []).length;
    var layer = type === 'text'
      ? { id: id, type: 'text', text: 'Text', x: 20 + 10 * count, y: 20 + 10 * count, width: 200, height: 40 }
      : { id: id, type: 'rect', fill: '#4a90e2', x: 20 + 10 * count, y: 20 + 10 * count, width: 120, height: 80 };
    edit(function () {
      page.layers = page.layers || [];
      page.layers.push(layer);
      state.selected = id;
    });
    return id;
  }

  function escapeHTML(text) {
    return String(text).replace(/[&<>"']/g, function (c) {
      return { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c];
    });
  }

  // A frame is one page: its size, and the HTML and SVG the host renders and writes.
  function frameOf(page) {
    var layers = page.layers || [];
    var width = page.width || 1, height = page.height || 1;
    if (!page.width || !page.height) {
      layers.forEach(function (l) {
        width = Math.max(width, (l.x || 0) + (l.width || 100));
        height = Math.max(height, (l.y || 0) + (l.height || 40));
      });
    }
    width = Math.ceil(width);
    height = Math.ceil(height);
    var html = '', svg = '';
    layers.forEach(function (l) {
      var box = 'position:absolute;left:' + (l.x || 0) + 'px;top:' + (l.y || 0) + 'px;width:' + (l.width || 100) +
        'px;height:' + (l.height || 40) + 'px;';
      var pictures = window.OstrelPictures;
      if (l.type === 'rect') {
        html += '<div style="' + box + 'background:' + escapeHTML(l.fill || '#4a90e2') + '"></div>';
        svg += '<rect x="' + (l.x || 0) + '" y="' + (l.y || 0) + '" width="' + (l.width || 100) + '" height="' +
          (l.height || 40) + '" fill="' + escapeHTML(l.fill || '#4a90e2') + '"/>';
      } else if (pictures && pictures.html(l, box) !== null) {
        html += pictures.html(l, box);
        svg += pictures.svg(l);
      } else {
        var text = escapeHTML(l.text || l.name || '');
        html += '<div style="' + box + 'font:16px sans-serif;color:#111">' + text + '</div>';
        svg += '<text x="' + (l.x || 0) + '" y="' + ((l.y || 0) + 16) + '" font-family="sans-serif" font-size="16">' +
          text + '</text>';
      }
    });
    return {
      name: page.name || page.id || 'Frame',
      width: width,
      height: height,
      html: '<!DOCTYPE html><html><head><meta charset="utf-8"><style>body{margin:0}' +
        (window.OstrelPictures ? window.OstrelPictures.exportStyle : '') + '</style></head><body>' +
        '<div style="position:relative;width:' + width + 'px;height:' + height + 'px;overflow:hidden;background:#fff">' +
        html + '</div></body></html>',
      svg: '<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="' + width +
        '" height="' + height + '">' + svg + '</svg>'
    };
  }

  // The export request for the selected layer's frame, or every frame, in the given formats.
  function exportRequest(formats) {
    var pages = (state.documentJSON && state.documentJSON.pages) || [];
    var chosen = state.selected && pageOf(state.selected) ? [pageOf(state.selected)] : pages;
    var inputs = [], outputs = [];
    chosen.forEach(function (page, index) {
      var frame = frameOf(page);
      inputs.push({ html: frame.html, svg: frame.svg, width: frame.width, height: frame.height });
      formats.forEach(function (type) {
        outputs.push({ name: frame.name.replace(/[\/\\]/g, '-') + '.' + type, type: type,
          keyPath: { scale: '1x', index: index } });
      });
    });
    return { inputs: { '1x': inputs }, images: [], fonts: [], outputs: outputs };
  }

  function exportSelection(formats) {
    var request = exportRequest(formats);
    if (!request.outputs.length) return null;
    state.exportProgress = [];
    showExportStatus('Choosing where to export…');
    send('ExportHTML', request);
    return request;
  }

  // A picture of the chosen frame that the person drags out to the desktop: the page has the
  // preview file made first and names it when the drag starts; the host carries the drag.
  var dragRequests = 0;
  function prepareExportDrag() {
    var request = exportRequest(['png']);
    var input = request.inputs['1x'][0], output = request.outputs[0];
    if (!input || !output) return null;
    // The last file stays on offer until the new one is there.
    state.exportDrag = { requestId: 'drag-' + (++dragRequests), file: state.exportDrag ? state.exportDrag.file : null };
    send('ExportGeneratePreview', { html: input.html, svg: input.svg, width: input.width, height: input.height,
      type: 'png', name: output.name, requestId: state.exportDrag.requestId });
    return state.exportDrag.requestId;
  }
  state.prepareExportDrag = prepareExportDrag;

  function exportDragTile() {
    var tile = document.createElement('div');
    tile.id = 'export-drag';
    tile.textContent = 'Drag PNG out';
    tile.draggable = true;
    tile.addEventListener('mouseenter', prepareExportDrag);
    tile.addEventListener('dragstart', function (event) {
      event.preventDefault();
      if (state.exportDrag && state.exportDrag.file) send('ExportDragPreviewStart', { file: state.exportDrag.file });
    });
    return tile;
  }

  function showExportStatus(text) {
    var status = document.getElementById('export-status');
    if (status) status.textContent = text;
  }

  // The host's word on how an export ended: what was written, or why it stopped.
  function showExportOutcome(outcome) {
    if (!outcome || typeof outcome !== 'object') return;
    state.exportOutcome = outcome;
    var files = function (n) { return n + (n === 1 ? ' file' : ' files'); };
    if (outcome.cancelled) showExportStatus('Export cancelled');
    else if (typeof outcome.reason === 'string' && outcome.reason) {
      showExportStatus('Export did not complete: ' + outcome.reason.slice(0, 300));
    } else showExportStatus('Exported ' + files(Number(outcome.written) || 0));
  }

  function buildTools() {
    var tools = document.getElementById('tools');
    if (!tools || document.getElementById('add-text')) return;
    var bar = document.createElement('div');
    bar.id = 'toolbar';
    [['add-text', 'Add Text', function () { addLayer('text'); }],
      ['add-rect', 'Add Rectangle', function () { addLayer('rect'); }],
      ['export', 'Export…', function () {
        document.getElementById('export-panel').hidden = false;
      }]].forEach(function (item) {
      var button = document.createElement('button');
      button.id = item[0];
      button.textContent = item[1];
      button.addEventListener('click', item[2]);
      bar.appendChild(button);
    });
    var panel = document.createElement('div');
    panel.id = 'export-panel';
    panel.hidden = true;
    ['png', 'jpg', 'webp', 'pdf', 'svg', 'html'].forEach(function (type) {
      var label = document.createElement('label');
      var box = document.createElement('input');
      box.type = 'checkbox';
      box.value = type;
      box.checked = type === 'png';
      label.appendChild(box);
      label.appendChild(document.createTextNode(' ' + type.toUpperCase()));
      panel.appendChild(label);
    });
    var go = document.createElement('button');
    go.id = 'export-go';
    go.textContent = 'Export';
    go.addEventListener('click', function () {
      var formats = Array.prototype.filter.call(panel.querySelectorAll('input'), function (b) { return b.checked; })
        .map(function (b) { return b.value; });
      exportSelection(formats);
    });
    panel.appendChild(go);
    panel.appendChild(exportDragTile());
    var status = document.createElement('p');
    status.id = 'export-status';
    bar.appendChild(panel);
    bar.appendChild(status);
    tools.insertBefore(bar, tools.firstChild);
    enableTools();
  }

  function select(id) {
    state.selected = id;
    if (!markSelection()) render();
    publishPreview();
  }

  // Marks the selected layer on the canvas as it stands, so that the element under a first
  // click is still there for a second (a double click edits a text layer). False when the
  // canvas shows no such layer and has to be drawn again.
  function markSelection() {
    var canvas = document.getElementById('canvas');
    if (!canvas) return false;
    var found = !state.selected;
    Array.prototype.forEach.call(canvas.querySelectorAll('.layer'), function (element) {
      var chosen = element.dataset.id === state.selected;
      element.classList.toggle('selected', chosen);
      if (chosen) found = true;
    });
    var selection = document.getElementById('selection');
    if (selection) selection.textContent = state.selected || 'Nothing selected';
    return found;
  }

  // The preview shows the frame of the selected layer, or the first frame; its settings live
  // here, per frame, and reach the preview through the project server.
  function previewFrame() {
    var pages = (state.documentJSON && state.documentJSON.pages) || [];
    return (state.selected && pageOf(state.selected)) || pages[0] || null;
  }

  function frameId(page) { return page.id || page.name || 'frame'; }

  var deviceKeys = ['deviceType', 'deviceDescriptor', 'skin', 'hand', 'bezel', 'rotate'];

  // A frame shown for the first time takes the device the person chose last.
  function previewSettingsFor(id) {
    if (state.previewSettings[id]) return state.previewSettings[id];
    var settings = { responsive: false, rotate: false, bezel: false, touch: false };
    var last = state.lastPreviewSettings;
    if (last) deviceKeys.forEach(function (key) { if (key in last) settings[key] = last[key]; });
    state.previewSettings[id] = settings;
    return settings;
  }

  var publishing = Promise.resolve();
  // The project server's key, from the host beside the project's address; sent only there.
  var serverKey = '';
  // Until the page is ready its start loads the document; an answer of an earlier fetch coming
  // after an edit would undo it.
  var started = false;

  function serverHeaders(address, headers) {
    headers = headers || {};
    try {
      var same = new URL(address).origin === new URL(state.addresses.projectURL).origin;
      if (serverKey && same) headers['X-Korvel-Key'] = serverKey;
    } catch (e) {}
    return headers;
  }

  function publishPreview() {
    var page = previewFrame();
    var base = state.addresses.projectURL;
    var data = null;
    if (page) {
      var frame = frameOf(page);
      var id = frameId(page);
      data = {
        presentationNode: { componentClass: 'Frame' },
        metadata: { name: frame.name, id: id, width: frame.width, height: frame.height, settings: previewSettingsFor(id) }
      };
    }
    // Without a frame the preview is told so, and stops showing what is gone.
    var text = JSON.stringify(data);
    state.published.push(data);
    if (!base || !window.fetch) return;
    var address;
    try {
      address = new URL('_app/preview-data', base.charAt(base.length - 1) === '/' ? base : base + '/').href;
    } catch (e) {
      return;
    }
    // One at a time: requests side by side may reach the server in either order, and it keeps
    // the last one it gets.
    publishing = publishing.then(function () {
      return fetch(address, { method: 'POST', headers: serverHeaders(address, { 'Content-Type': 'text/plain' }), body: text })
        .then(function (r) { if (r.ok) state.delivered += 1; }, function () {});
    });
  }

  function updatePreviewSettings(id, settings) {
    if (typeof id !== 'string' || !settings || typeof settings !== 'object') return;
    var current = previewSettingsFor(id);
    Object.keys(settings).forEach(function (key) {
      if (settings[key] === null || (key === 'skin' && settings[key] === '')) delete current[key];
      else current[key] = settings[key];
    });
    state.lastPreviewSettings = current;
    var page = previewFrame();
    if (page && frameId(page) === id) publishPreview();
  }

  // Every edit keeps the previous document for undo and tells the host. Typing is one edit for
  // undo, and the canvas is drawn again once it ends, not under the person's keys.
  function edit(change, typing) {
    if (!canEdit()) return false;
    if (!typing || !typing.started) {
      state.undo.push(JSON.stringify(state.documentJSON));
      state.redo = [];
    }
    change();
    if (typing) typing.started = true;
    else render();
    send('DocumentDirty');
    publishPreview();
    return true;
  }

  // Another document on show (a revert, a reload): a selection it lacks goes, and the preview
  // shows what it holds, not what the one before held.
  function replaceDocument(json) {
    state.documentJSON = json;
    if (state.selected && !findLayer(state.selected)) state.selected = null;
    render();
    publishPreview();
  }

  var actions = {
    undo: function () {
      if (!state.undo.length) return false;
      state.redo.push(JSON.stringify(state.documentJSON));
      replaceDocument(JSON.parse(state.undo.pop()));
      send('DocumentDirty');
      return true;
    },
    redo: function () {
      if (!state.redo.length) return false;
      state.undo.push(JSON.stringify(state.documentJSON));
      replaceDocument(JSON.parse(state.redo.pop()));
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
    bringForward: function () { return restack(1); },
    sendBackward: function () { return restack(-1); }
  };

  // Where the selected layer would go one step up (1) or down (-1) its frame's stack; later
  // layers lie on top. None when it is already at that end.
  function stackStep(step) {
    var page = state.selected && pageOf(state.selected);
    if (!page) return null;
    var layers = page.layers || [];
    var from = layers.map(function (l) { return l.id; }).indexOf(state.selected);
    var to = from + step;
    return to >= 0 && to < layers.length ? { page: page, from: from, to: to } : null;
  }

  function restack(step) {
    var move = stackStep(step);
    if (!move) return false;
    edit(function () {
      var layers = move.page.layers;
      var moved = layers.splice(move.from, 1)[0];
      layers.splice(move.to, 0, moved);
    });
    return true;
  }

  function actionEnabled(name) {
    switch (name) {
      case 'undo': return state.undo.length > 0;
      case 'redo': return state.redo.length > 0;
      case 'delete': return !!state.selected;
      case 'bringForward': return !!stackStep(1);
      case 'sendBackward': return !!stackStep(-1);
      case 'selectAll': return layersOf(state.documentJSON).length > 0;
      case 'cut': case 'copy': case 'paste': return 'native';
      default: return undefined;
    }
  }

  state.addLayer = addLayer;
  state.edit = edit;
  state.canEdit = canEdit;
  state.pageOf = pageOf;
  state.findLayer = findLayer;
  state.frameOf = frameOf;
  state.serverHeaders = function (address) { return serverHeaders(address); };
  state.exportRequest = exportRequest;
  state.exportSelection = exportSelection;

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

  // Where the project server serves the design; none without a project.
  function projectDesignAddress() {
    var base = state.addresses.projectURL;
    if (!base || !window.fetch) return null;
    try {
      return new URL('design/document.json', base.charAt(base.length - 1) === '/' ? base : base + '/').href;
    } catch (e) {
      return null;
    }
  }

  // A server that has not begun to answer by then is asked again; a few asks, further apart.
  var answerWait = 20000;
  var retryDelays = [500, 1000, 2000, 4000, 8000, 8000, 8000, 8000];
  var designAsk = 0;  // the latest ask: only its failure asks again
  var retryTimer = null;
  // The host's number for this start of the page, named back once the design is in.
  var hostStart = null;

  // The design at `address`, or null for anything but a readable answer.
  function fetchJSON(address) {
    var abort = window.AbortController ? new AbortController() : null;
    var timer = abort ? setTimeout(function () { abort.abort(); }, answerWait) : null;
    return fetch(address, { headers: serverHeaders(address), signal: abort ? abort.signal : undefined })
      .then(function (r) { clearTimeout(timer); return r.ok ? r.json() : null; })
      .catch(function () { clearTimeout(timer); return null; });
  }

  function confirmDesign() {
    if (state.holdsDesign && started && typeof hostStart === 'number') send('DocumentLoaded', { start: hostStart });
  }

  function takeDesign(json) {
    clearTimeout(retryTimer);
    state.holdsDesign = true;
    state.designStatus = '';
    if (!started) {
      state.documentJSON = json;
      return;
    }
    replaceDocument(json);
    confirmDesign();
  }

  // Asks for the design at `address`. While the page holds none, a failed ask is made again at the
  // project's address, and the page says it waits; a new address (a restarted server) asks at once.
  function loadDesign(address, attempt) {
    var ask = ++designAsk;
    attempt = attempt || 0;
    clearTimeout(retryTimer);
    state.designAsks += 1;
    return fetchJSON(address).then(function (json) {
      state.designAnswers += 1;
      // Any ask's design will do while the page holds none: each is the document's own. Once
      // the page holds one, no answer replaces it.
      if (state.holdsDesign) return;
      if (json && typeof json === 'object') return takeDesign(json);
      if (ask !== designAsk) return;
      // A page without its design never stops asking: a server busy or starting answers later.
      showDesignStatus(attempt < retryDelays.length
        ? 'The design has not loaded from the project server yet; trying again…'
        : 'The design could not be loaded from the project server yet; until it loads nothing can be changed.');
      retryTimer = setTimeout(function () {
        var next = projectDesignAddress();
        if (next && ask === designAsk && !state.holdsDesign) loadDesign(next, attempt + 1);
      }, retryDelays[Math.min(attempt, retryDelays.length - 1)]);
    });
  }

  function listen() {
    var ipc = window._ipc;
    if (!ipc) return;
    var emit = ipc.emit;
    ipc.emit = function (event) {
      state.received.push({ event: event, args: Array.prototype.slice.call(arguments, 1) });
      return emit.apply(ipc, arguments);
    };
    // Only a design the page holds is handed over.
    ipc.on('DocumentSave', function () {
      if (state.holdsDesign) send('DocumentSaveDialogStart', state.documentJSON || {});
    });
    ipc.on('DocumentLoadJSON', function (json) {
      ++designAsk;  // an ask under way would undo it
      takeDesign(json);
    });
    // A server started again serves the document the page holds, without its edits not yet
    // written: only a page still without its design loads it from there.
    ipc.on('DocumentSetURL', function (u) {
      state.addresses.url = u;
      showGlobals();
      if (!window.fetch || typeof u !== 'string' || !started || state.holdsDesign) return;
      loadDesign(u);
    });
    ipc.on('DocumentSetImageBaseURL', function (u) { state.addresses.imageBaseURL = u; showGlobals(); });
    ipc.on('DocumentSetProjectURL', function (u, key) {
      state.addresses.projectURL = u;
      serverKey = typeof key === 'string' ? key : '';
      showGlobals();
      publishPreview();
      // A page that started without its design loads it once the project can be reached.
      var address = projectDesignAddress();
      if (started && !state.holdsDesign && address) loadDesign(address);
    });
    ipc.on('UpdatePreviewSettings', updatePreviewSettings);
    ipc.on('PreviewLoaded', publishPreview);
    ipc.on('ExportProgress', function (work, progress) {
      (state.exportProgress = state.exportProgress || []).push([work, progress]);
      // Steps, not files: the host's "ExportFinished" then says what was written, or why not.
      if (work === 0 && progress === 0) showExportStatus('Export did not complete');
      else showExportStatus('Exporting… ' + progress + ' of ' + work);
    });
    ipc.on('ExportGeneratePreview', function (requestId, path) {
      if (state.exportDrag && state.exportDrag.requestId === requestId && path) state.exportDrag.file = path;
    });
    ipc.on('ExportFinished', showExportOutcome);
    ipc.on('DocumentContextMenuResponse', function (path) {
      state.lastMenuChoice = path === undefined ? null : path;
      var choice = Array.isArray(path) ? menuChoices[path.join('.')] : null;
      if (choice) choice();
    });
  }

  // The selected layer to the left or the right edge of its frame.
  function align(edge) {
    var layer = state.selected && findLayer(state.selected);
    if (!layer) return false;
    var x = edge === 'left' ? 0 : Math.max(0, frameOf(pageOf(layer.id)).width - (layer.width || 100));
    if ((layer.x || 0) === x) return false;
    edit(function () { layer.x = x; });
    return true;
  }

  // The context menu's items by their place in it, as the host names the one chosen.
  var menuChoices = {
    '0': actions.bringForward, '1': actions.sendBackward, '3': actions.delete,
    '4.0': function () { return align('left'); }, '4.1': function () { return align('right'); }
  };

  function openContextMenu(event) {
    event.preventDefault();
    var target = event.target && event.target.closest ? event.target.closest('.layer') : null;
    var layer = target && target.dataset ? target.dataset.id : null;
    if (layer) select(layer);
    send('DocumentContextMenu', {
      menu: [
        { label: 'Bring Forward', accelerator: 'CmdOrCtrl+]', enabled: !!stackStep(1) },
        { label: 'Send Backward', accelerator: 'CmdOrCtrl+[', enabled: !!stackStep(-1) },
        { type: 'separator' },
        { label: 'Delete', accelerator: 'Backspace', enabled: !!state.selected },
        { label: 'Arrange', submenu: [{ label: 'Align Left' }, { label: 'Align Right' }] }
      ],
      location: { x: event.clientX, y: event.clientY }
    });
  }

  // The host answers the page's start-up with "DOMContentLoadedCallback"; the editor is ready
  // once that answer and its document are in.
  var hostAnswered = new Promise(function (resolve) {
    var bridge = window._bridge;
    if (!bridge) return resolve();
    window._bridge = function (method, start, addresses) {
      bridge(method);
      if (method !== 'DOMContentLoadedCallback') return;
      // The server's addresses, as the host knows them at its answer.
      if (addresses && typeof addresses === 'object') {
        ['url', 'imageBaseURL', 'projectURL'].forEach(function (name) {
          if (typeof addresses[name] === 'string') state.addresses[name] = addresses[name];
        });
        if (typeof addresses.key === 'string') serverKey = addresses.key;
        showGlobals();
      }
      if (typeof start === 'number') {
        hostStart = start;
        confirmDesign();
      }
      resolve();
    };
  });

  // The host's events are heard from the start: its answer to the page's start-up may come before
  // this page's own start-up has run, and an event no one hears is lost.
  readFragment();
  listen();

  document.addEventListener('DOMContentLoaded', function () {
    buildTools();
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
    // The project's address comes with the host's answer when the page loads before the server
    // is up, so the design is fetched after it. Ready follows the first ask; the design may come later.
    hostAnswered.then(function () {
      // Without the project's address the page holds nothing yet: the address may come after the
      // answer, and the host may hand a design over itself.
      var address = projectDesignAddress();
      if (address) return loadDesign(address);
    }).then(function () {
      started = true;
      render();
      state.readyWithDocument = !!state.documentJSON;
      send('DocumentReady');
      confirmDesign();
      publishPreview();
    });
  });
})();
