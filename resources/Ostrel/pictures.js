// How the bundled pages draw picture layers. An image layer shows the document's stored file: on
// screen through the image address the host gives, in an export through the host's file
// template, which the host fills with the file's data. An SVG layer shows its markup as a
// picture, so that nothing inside it runs.
(function () {
  'use strict';
  var designFolder = 'design/images/';

  function isPicture(layer) { return !!layer && (layer.type === 'image' || layer.type === 'svg'); }

  function svgAddress(layer) { return 'data:image/svg+xml;charset=utf-8,' + encodeURIComponent(layer.svg || ''); }

  function fileName(layer) { return encodeURIComponent(String(layer.image || '')); }

  // `imageBase` is the address of the folder that holds the design images.
  function address(layer, imageBase) {
    if (!isPicture(layer)) return null;
    return layer.type === 'svg' ? svgAddress(layer) : (imageBase || '') + fileName(layer);
  }

  // The file is named relative to the document's folder; the host refuses any other. The size of
  // its layer lets the host hand a picture no larger than the layer is drawn at.
  function exportAddress(layer) {
    if (!isPicture(layer)) return null;
    if (layer.type === 'svg') return svgAddress(layer);
    var side = function (v, otherwise) { return Math.min(99999, Math.max(1, Math.ceil(Number(v) || otherwise))); };
    return '##base64-file:' + designFolder + fileName(layer) + '?size=' + side(layer.width, 100) + 'x' +
      side(layer.height, 40) + '##';
  }

  function attribute(text) {
    return String(text).replace(/[&<>"']/g, function (c) {
      return { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' }[c];
    });
  }

  // A stored picture is drawn by the host at about the device pixels its layer is drawn at, never
  // larger than it needs (and a TIFF of an earlier document, which this engine does not draw, at
  // all). Where no host answers, the engine draws the file.
  var hostPictures = 'korvel-picture:';
  // The pages draw a layer without a size at 100 × 40.
  function drawnSize(layer, scale) {
    var ratio = (window.devicePixelRatio > 0 ? window.devicePixelRatio : 1) * (scale > 0 && scale < 1 ? scale : 1);
    var side = function (v) { return Math.min(32767, Math.max(1, Math.ceil(v * ratio))); };
    return { width: side(Number(layer.width) || 100), height: side(Number(layer.height) || 40) };
  }
  function drawnPixelsOf(layer) {
    var size = drawnSize(layer, 1);
    return size.width * size.height;
  }
  // `level` (drawnLevel of the layers drawn with it) shrinks a layer drawn at more pixels.
  function drawnQuery(layer, level) {
    var pixels = drawnPixelsOf(layer);
    var size = drawnSize(layer, level > 0 && pixels > level ? Math.sqrt(level / pixels) : 1);
    return '?width=' + size.width + '&height=' + size.height;
  }

  // What a page draws of its pictures at once is bounded: past drawnPixels device pixels in all,
  // the largest are asked for smaller, each at no more than one level of pixels, so that a page
  // of many large pictures holds what a few screens of them take (the host hands each at most a
  // few times what is asked) and its small pictures stay sharp.
  var drawnPixels = 8 * 1024 * 1024;
  var smallDrawn = 1024 * 1024;
  function drawnLevel(layers) {
    var sizes = [];
    (layers || []).forEach(function (layer) { if (layer && layer.type === 'image') sizes.push(drawnPixelsOf(layer)); });
    sizes.sort(function (a, b) { return a - b; });
    var left = drawnPixels;
    for (var i = 0; i < sizes.length; ++i) {
      var level = left / (sizes.length - i);
      if (sizes[i] > level) return level;
      left -= sizes[i];
    }
    return Infinity;
  }

  // Draws the fetched picture in `img` through a blob address, given up once drawn or refused.
  function fetchInto(img, src, headers) {
    return fetch(src, { headers: headers }).then(function (r) {
      if (!r.ok) throw { refused: r.status };
      return r.blob();
    }).then(function (blob) {
      var url = URL.createObjectURL(blob);
      var revoke = function () { URL.revokeObjectURL(url); };
      img.addEventListener('load', revoke, { once: true });
      img.addEventListener('error', revoke, { once: true });
      img.src = url;
    });
  }

  // A picture the host refuses, or one the engine fails to draw (a damaged file handed on as it
  // is), shows its layer's name in its box, where the engine would draw nothing (an image without
  // an address) or a broken-picture sign.
  var nameStyle = 'box-sizing:border-box;align-items:center;justify-content:center;overflow:hidden;padding:2px;' +
    'border:1px dashed #999;background:#f2f2f2;color:#333;font:12px sans-serif;text-align:center;word-break:break-all;';
  function showName(img, layer) {
    if (img.dataset.named) return;
    img.dataset.named = 'named';
    var name = document.createElement('span');
    name.className = 'refused-picture';
    name.textContent = layer.name || layer.image || '';
    name.style.cssText = nameStyle + 'display:flex;width:100%;height:100%';
    img.style.display = 'none';
    if (img.parentNode) img.parentNode.insertBefore(name, img.nextSibling);
  }

  // `headersFor(address)` gives the headers a load of that address needs: where it names any
  // (the project server's key), the picture is fetched with them, as an <img> can't send them.
  // `level`: see drawnQuery.
  function element(layer, imageBase, headersFor, level) {
    var src = address(layer, imageBase);
    if (src === null) return null;
    var img = document.createElement('img');
    var headers = headersFor ? headersFor(src) : {};
    var fromFile = function () {
      if (Object.keys(headers).length) fetchInto(img, src, headers).catch(function () { img.src = src; });
      else img.src = src;
    };
    // Only a load that was asked for: an image without an address fails too. A file whose header
    // is sound loads even when its pixels are damaged: only decoding it tells.
    var failed = function () { if (img.getAttribute('src')) showName(img, layer); };
    img.addEventListener('error', failed);
    img.addEventListener('load', function () {
      if (img.decode) img.decode().catch(function (e) { if (e && e.name === 'EncodingError') failed(); });
    });
    if (layer.type === 'image') {
      // Fetched, so that the host knows it is this page that asks; an image load says nothing of it.
      // A picture the host refuses (damaged, too large) is not drawn; the file is drawn only where
      // no host answers.
      var ask = function () {
        fetchInto(img, hostPictures + fileName(layer) + drawnQuery(layer, level), {}).catch(function (e) {
          if (!e || !e.refused) return fromFile();
          img.dataset.refused = 'refused';
          showName(img, layer);
        });
      };
      // A small picture is asked for before the large ones drawn with it, which the host makes
      // in turn: it is not left waiting behind them.
      if (drawnPixelsOf(layer) <= smallDrawn) ask();
      else setTimeout(ask, 0);
    } else {
      fromFile();
    }
    img.alt = layer.name || '';
    img.draggable = false;
    img.style.cssText = 'display:block;width:100%;height:100%';
    return img;
  }

  // `box` is the CSS of the layer's place on its frame. The host fills a picture it can't give
  // with a data address of no data: `exportStyle` then shows the name written beside it instead.
  function html(layer, box) {
    var src = exportAddress(layer);
    if (src === null) return null;
    var picture = '<img alt="" style="' + attribute(box + 'display:block') + '" src="' + attribute(src) + '">';
    if (layer.type !== 'image') return picture;
    return picture + '<span class="refused-picture" style="' + attribute(box + nameStyle + 'display:none') + '">' +
      attribute(layer.name || layer.image || '') + '</span>';
  }
  var exportStyle = 'img[src$=";base64,"]{display:none!important}' +
    'img[src$=";base64,"]+.refused-picture{display:flex!important}';

  // The host draws a picture it can't give as the name its image is labelled with.
  function svg(layer) {
    var src = exportAddress(layer);
    if (src === null) return null;
    var label = layer.type === 'image' ? ' aria-label="' + attribute(layer.name || layer.image || '') + '"' : '';
    return '<image x="' + (Number(layer.x) || 0) + '" y="' + (Number(layer.y) || 0) + '" width="' +
      (Number(layer.width) || 100) + '" height="' + (Number(layer.height) || 40) +
      '" preserveAspectRatio="none"' + label + ' xlink:href="' + attribute(src) + '"/>';
  }

  window.OstrelPictures = { designFolder: designFolder, address: address, element: element, drawnLevel: drawnLevel,
    html: html, svg: svg,
    exportStyle: exportStyle };
})();
