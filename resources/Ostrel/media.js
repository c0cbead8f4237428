// Pictures and the clipboard in the stand-in editor: images and SVG dropped, pasted or chosen
// become layers, layers copy and paste through the host, and a colour field asks the host for a
// sample of the screen. Builds on what ostrel.js keeps in window.OstrelStandIn.
(function () {
  'use strict';
  var state = window.OstrelStandIn;
  if (!state) return;
  var lastPoint = { x: 40, y: 40 };
  var counter = 0;

  function send(method, args) {
    state.posted.push(method);
    if (window._ipc) window._ipc.send(method, args);
  }

  function targetPage() {
    if (!state.documentJSON) state.documentJSON = { version: 1, pages: [] };
    var json = state.documentJSON;
    if (!json.pages || !json.pages.length) json.pages = [{ id: 'page-1', name: 'Page 1', layers: [] }];
    return (state.selected && state.pageOf(state.selected)) || json.pages[0];
  }

  function freshId(type) {
    var id;
    do { id = type + '-' + (++counter); } while (state.findLayer(id));
    return id;
  }

  function insertLayer(layer) {
    if (!state.canEdit()) return null;
    var page = targetPage();
    layer.id = freshId(layer.type);
    state.edit(function () {
      page.layers = page.layers || [];
      page.layers.push(layer);
      state.selected = layer.id;
    });
    return layer.id;
  }

  function at(point) {
    return point && typeof point.x === 'number' && typeof point.y === 'number' ? point : lastPoint;
  }

  state.drawLayer = function (frame, layer) {
    var img = window.OstrelPictures && window.OstrelPictures.element(layer, state.addresses.imageBaseURL,
      state.serverHeaders, state.pictureLevel);
    if (!img) return false;
    frame.appendChild(img);
    return true;
  };

  function insertImage(name, originalName, size, point) {
    var p = at(point);
    return insertLayer({ type: 'image', image: name, name: originalName || name, x: p.x, y: p.y,
      width: (size && size.width) || 100, height: (size && size.height) || 100 });
  }

  function insertSVG(xml, originalName, size, point) {
    var p = at(point);
    return insertLayer({ type: 'svg', svg: xml, name: originalName || 'SVG', x: p.x, y: p.y,
      width: (size && size.width) || 100, height: (size && size.height) || 100 });
  }

  // Files reach the host as data URLs; an SVG file takes the SVG road by its type.
  function sendFiles(files, point) {
    Array.prototype.forEach.call(files || [], function (file) {
      var reader = new FileReader();
      reader.onload = function () {
        send('DocumentReceivedImage', { file: reader.result, mousePoint: point, originalFilename: file.name });
      };
      reader.readAsDataURL(file);
    });
  }

  function canvasPoint(event) {
    var canvas = document.getElementById('canvas');
    var box = canvas ? canvas.getBoundingClientRect() : { left: 0, top: 0 };
    return { x: Math.round(event.clientX - box.left), y: Math.round(event.clientY - box.top) };
  }

  function layersForCopy() {
    var layer = state.selected && state.findLayer(state.selected);
    return layer ? [layer] : [];
  }

  function pictureOf(layers) {
    var width = 1, height = 1, html = '';
    layers.forEach(function (l) {
      width = Math.max(width, (l.width || 100));
      height = Math.max(height, (l.height || 40));
      var style = 'position:absolute;left:0;top:0;width:' + (l.width || 100) + 'px;height:' + (l.height || 40) + 'px;';
      if (l.type === 'rect') html += '<div style="' + style + 'background:' + (l.fill || '#4a90e2') + '"></div>';
      else if (l.type === 'svg' || l.type === 'image') html += window.OstrelPictures.html(l, style);
      else html += '<div style="' + style + 'font:16px sans-serif">' + String(l.text || '').replace(/[&<>]/g, '') + '</div>';
    });
    return { html: '<!DOCTYPE html><html><head><style>' + window.OstrelPictures.exportStyle + '</style></head>' +
      '<body style="margin:0">' + html + '</body></html>',
      width: Math.ceil(width), height: Math.ceil(height) };
  }

  function copySelection() {
    var layers = layersForCopy();
    if (!layers.length) return false;
    var images = layers.filter(function (l) { return l.type === 'image'; }).map(function (l) { return l.image; });
    send('DocumentCopy', { layers: JSON.stringify(layers), images: images, export: pictureOf(layers) });
    return true;
  }

  function paste() {
    send('DocumentPaste', { point: lastPoint });
    return true;
  }

  // The host's answer to a paste: our layers, text, or layers from the other design tool. An
  // empty answer means the host inserts a picture itself.
  function pasted(layers, text, html, sketch) {
    state.lastPaste = Array.prototype.slice.call(arguments);
    if (Array.isArray(layers)) {
      layers.forEach(function (l) {
        var copy = JSON.parse(JSON.stringify(l));
        copy.x = (copy.x || 0) + 10;
        copy.y = (copy.y || 0) + 10;
        insertLayer(copy);
      });
    } else if (typeof text === 'string') {
      insertLayer({ type: 'text', text: text, x: lastPoint.x, y: lastPoint.y, width: 200, height: 40 });
    } else if (typeof sketch === 'string') {
      insertLayer({ type: 'text', text: 'Layers from the design tool', x: lastPoint.x, y: lastPoint.y, width: 200,
        height: 40 });
    }
  }

  function chooseImage() { send('ChooseImageDialog'); }

  function chosenImages(list) {
    (list || []).forEach(function (text, index) {
      var info;
      try { info = JSON.parse(text); } catch (e) { return; }
      insertImage(info.imageName, info.originalImageName, info.imageSize,
        { x: lastPoint.x + 20 * index, y: lastPoint.y + 20 * index });
    });
  }

  function sampleColour() {
    var status = document.getElementById('sample-status');
    if (status) status.textContent = 'Click anywhere on the screen…';
    send('GetColorSample');
  }

  function sampled(colour) {
    var field = document.getElementById('sample-colour');
    var status = document.getElementById('sample-status');
    state.lastSample = colour === undefined ? null : colour;
    if (typeof colour === 'string') {
      if (field) field.value = colour;
      if (status) status.textContent = '';
    } else if (status) {
      status.textContent = 'No colour picked';
    }
  }

  function buildMediaTools() {
    var tools = document.getElementById('tools');
    if (!tools || document.getElementById('media-tools')) return;
    var box = document.createElement('div');
    box.id = 'media-tools';
    var choose = document.createElement('button');
    choose.id = 'choose-image';
    choose.textContent = 'Choose Image…';
    choose.addEventListener('click', chooseImage);
    var field = document.createElement('input');
    field.id = 'sample-colour';
    field.placeholder = 'Colour';
    var sample = document.createElement('button');
    sample.id = 'sample-button';
    sample.textContent = 'Sample Colour';
    sample.addEventListener('click', sampleColour);
    var status = document.createElement('p');
    status.id = 'sample-status';
    [choose, field, sample, status].forEach(function (e) { box.appendChild(e); });
    var after = document.getElementById('toolbar');
    tools.insertBefore(box, after ? after.nextSibling : tools.firstChild);
  }

  function listenForMedia() {
    var ipc = window._ipc;
    if (!ipc) return;
    ipc.on('DocumentInsertImage', insertImage);
    ipc.on('DocumentInsertSVG', insertSVG);
    ipc.on('DocumentPaste', pasted);
    ipc.on('ChooseImageDialog', chosenImages);
    ipc.on('ChooseImageDialogDrop', chosenImages);
    ipc.on('GetColorSample', sampled);
  }

  // Registered while the page loads, before the host's drop blocker, so that pictures dropped on
  // the canvas still reach the editor; anything dropped elsewhere is left to the blocker.
  function onCanvas(event) {
    var canvas = document.getElementById('canvas');
    return canvas && event.target instanceof Node && canvas.contains(event.target) ? canvas : null;
  }

  function acceptDrops() {
    window.addEventListener('dragover', function (event) {
      var canvas = onCanvas(event);
      if (canvas) canvas.classList.add('dropping');
    }, true);
    window.addEventListener('dragleave', function (event) {
      var canvas = onCanvas(event);
      if (canvas) canvas.classList.remove('dropping');
    }, true);
    window.addEventListener('drop', function (event) {
      var canvas = onCanvas(event);
      if (!canvas) return;
      event.preventDefault();
      canvas.classList.remove('dropping');
      lastPoint = canvasPoint(event);
      sendFiles(event.dataTransfer && event.dataTransfer.files, lastPoint);
    }, true);
    document.addEventListener('mousemove', function (event) {
      if (onCanvas(event)) lastPoint = canvasPoint(event);
    });
  }

  function followClipboard() {
    document.addEventListener('copy', function (event) {
      if (document.activeElement && document.activeElement.isContentEditable) return;
      if (copySelection()) event.preventDefault();
    });
    document.addEventListener('paste', function (event) {
      if (document.activeElement && document.activeElement.isContentEditable) return;
      event.preventDefault();
      paste();
    });
  }

  state.insertImage = insertImage;
  state.copySelection = copySelection;
  state.paste = paste;
  state.sendFiles = sendFiles;
  state.chooseImage = chooseImage;
  state.sampleColour = sampleColour;

  acceptDrops();
  document.addEventListener('DOMContentLoaded', function () {
    listenForMedia();
    buildMediaTools();
    followClipboard();
  });
})();
