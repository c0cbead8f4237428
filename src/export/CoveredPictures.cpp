#include "export/CoveredPictures.h"

#include <nlohmann/json.hpp>
#include <span>

#include "platform/ImageHeader.h"

namespace CoveredPictures {

const char* const heldStyle = ":root:not([data-korvel-drawn]) { visibility: hidden !important; }";

std::vector<std::string> opaqueAddresses(const HTMLRenderer::Source& source) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < source.pictures.size(); ++i) {
    // A file handed as it is may be cut or damaged past its header, and drawn in part.
    if (!source.pictures[i] || !source.pictures[i]->made) continue;
    auto facts = ImageHeader::read(std::span(source.pictures[i]->bytes));
    if (facts && facts->opaque) out.push_back(HTMLRenderer::servedAddress(i));
  }
  return out;
}

// Every picture is measured against the opaque ones above it in its siblings' order, nearest
// first. A cover counts only 2 CSS pixels in from its edges, so that no pixel a picture no longer
// paints is one its cover paints only in part: what shows is unchanged to the pixel. Small
// pictures cost little to paint and are left alone. A picture whose uncovered part breaks into
// too many pieces is painted whole, as is every picture once the script has run its time.
constexpr const char* body = R"JS(
  if (document.documentElement) document.documentElement.setAttribute('data-korvel-drawn', '');
  var margin = 2, smallest = 64 * 64, nearest = 64, pieces = 32, time = 1000;
  var started = Date.now(), hidden = 0, clipped = 0;
  var known = new Set();
  opaque.forEach(function (a) { try { known.add(new URL(a).href); } catch (e) {} });
  if (!known.size) return '0/0';
  function none(v) { return !v || v === 'none' || v === 'normal'; }
  var painting = ['transform', 'translate', 'rotate', 'scale', 'filter', 'clip-path', 'mask-image',
    '-webkit-mask-image', 'box-shadow', 'mix-blend-mode', '-webkit-box-reflect'];
  // A box painted in its siblings' order, nothing of it beyond its edges.
  function plain(s) {
    return s.position === 'absolute' && s.zIndex === 'auto' && s.display !== 'none' &&
      s.visibility === 'visible' && painting.every(function (p) { return none(s.getPropertyValue(p)); }) &&
      (s.getPropertyValue('outline-style') === 'none' || parseFloat(s.getPropertyValue('outline-width')) === 0);
  }
  // Rectangles on the page are where the boxes are only when nothing above them is turned.
  function unturned(element) {
    for (var e = element; e && e.nodeType === 1; e = e.parentElement) {
      var s = getComputedStyle(e);
      if (!['transform', 'translate', 'rotate', 'scale'].every(function (p) { return none(s.getPropertyValue(p)); }))
        return false;
    }
    return true;
  }
  function covers(img, s) {
    if (!img.complete || !img.naturalWidth || !known.has(img.src) || s.opacity !== '1' ||
        s.getPropertyValue('object-fit') !== 'fill') return false;
    return ['border-top-width', 'border-right-width', 'border-bottom-width', 'border-left-width',
      'padding-top', 'padding-right', 'padding-bottom', 'padding-left', 'border-top-left-radius',
      'border-top-right-radius', 'border-bottom-right-radius', 'border-bottom-left-radius'
    ].every(function (p) { return parseFloat(s.getPropertyValue(p)) === 0; });
  }
  function subtract(rects, c) {
    var out = [];
    for (var i = 0; i < rects.length; i++) {
      var a = rects[i];
      if (c[0] >= a[2] || c[2] <= a[0] || c[1] >= a[3] || c[3] <= a[1]) { out.push(a); continue; }
      var top = Math.max(a[1], c[1]), bottom = Math.min(a[3], c[3]);
      if (a[1] < c[1]) out.push([a[0], a[1], a[2], c[1]]);
      if (c[3] < a[3]) out.push([a[0], c[3], a[2], a[3]]);
      if (a[0] < c[0]) out.push([a[0], top, c[0], bottom]);
      if (c[2] < a[2]) out.push([c[2], top, a[2], bottom]);
    }
    return out.length > pieces ? null : out;
  }
  var groups = new Map();
  Array.prototype.forEach.call(document.images, function (img) {
    var parent = img.parentElement;
    if (!parent) return;
    if (!groups.has(parent)) groups.set(parent, []);
    groups.get(parent).push(img);
  });
  var done = true;
  groups.forEach(function (imgs, parent) {
    if (!done || imgs.length < 2 || !unturned(parent)) return;
    var above = [];
    for (var i = imgs.length - 1; i >= 0; i--) {
      if (Date.now() - started > time) { done = false; return; }
      var img = imgs[i], s = getComputedStyle(img);
      if (!plain(s) || img.getClientRects().length !== 1) continue;
      var r = img.getBoundingClientRect();
      if (r.width * r.height >= smallest && above.length) {
        var left = [[r.left, r.top, r.right, r.bottom]];
        for (var k = 0; left && left.length && k < above.length; k++) left = subtract(left, above[k]);
        if (left && !left.length) {
          img.style.setProperty('visibility', 'hidden', 'important');
          hidden++;
        } else if (left) {
          // What shows, in the picture's own box: one rectangle, or each of its pieces.
          var area = 0, path = '';
          left.forEach(function (a) {
            area += (a[2] - a[0]) * (a[3] - a[1]);
            path += 'M' + (a[0] - r.left) + ' ' + (a[1] - r.top) + 'H' + (a[2] - r.left) + 'V' + (a[3] - r.top) +
              'H' + (a[0] - r.left) + 'Z';
          });
          if (area < 0.9 * r.width * r.height) {
            var a = left[0];
            img.style.setProperty('clip-path', left.length === 1
              ? 'inset(' + (a[1] - r.top) + 'px ' + (r.right - a[2]) + 'px ' + (r.bottom - a[3]) + 'px ' +
                (a[0] - r.left) + 'px)'
              : 'path("' + path + '")', 'important');
            clipped++;
          }
        }
      }
      if (covers(img, s) && r.width > 2 * margin && r.height > 2 * margin) {
        above.unshift([r.left + margin, r.top + margin, r.right - margin, r.bottom - margin]);
        if (above.length > nearest) above.pop();
      }
    }
  });
  return hidden + '/' + clipped;
)JS";

std::string script(const std::vector<std::string>& opaque) {
  return "(function (opaque) {" + std::string(body) + "})(" + nlohmann::json(opaque).dump() + ")";
}

}  // namespace CoveredPictures
