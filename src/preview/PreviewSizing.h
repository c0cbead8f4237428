#pragma once
// The geometry of the preview window: the size at which the prototype shows at 100 %, the
// content minimum its ratio implies, the document window's minimum beside it, fitting a frame
// to the ratio, the first placement beside the document window, snapping live resizes to the
// whole, half and double size, and the frame beside the document window for an attached web
// inspector. Frames are screen rectangles with the origin at the top left (y grows down);
// "chrome" is a window's frame height minus its content height. Pure functions.

#include <optional>

struct DeviceDescriptor;
struct OstrelSelection;

namespace PreviewSizing {

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  double right() const { return x + width; }
  double bottom() const { return y + height; }
  bool operator==(const Rect&) const = default;
};

struct Insets {
  double top = 0, left = 0, bottom = 0, right = 0;
};

inline constexpr Size contentMinSize{250, 250};
inline constexpr double defaultChrome = 38.0;
inline constexpr Size documentWindowMinimum{800, 682};
inline constexpr double snapTolerance = 0.075;
inline constexpr double transposedTolerance = 0.01;
inline constexpr double firstAppearanceMinimum = 50.0;
// The web view's own minimum for an attached inspector.
inline constexpr Size inspectorMinimumSize{750, 334};

// The size of the selected device in points (screen ÷ pixel ratio, exchanged when rotated),
// or of the selected frame in canvas mode; 0 × 0 when unknown.
Size intrinsicContentSize(const OstrelSelection* selection, const DeviceDescriptor* device, bool deviceIsCanvas);

// The content minimum of the preview window for a content ratio (0 × 0: none).
Size contentMinimum(Size ratio);

// Paddings of the document window around the preview; `chrome` none when it has no content.
Insets documentPadding(std::optional<double> chrome);
Size documentWindowContentMinimum(Size previewContentMinimum, Insets padding);

// A frame size whose content has `ratio` (0 × 0: unchanged); the content only grows, except
// that a content with the transposed ratio is exchanged.
Size fittedSize(Size frame, Size ratio, double chrome);

// `size` at the window's top-left corner, kept on `screen` (its work area) when it fits.
Rect frameKeepingTopLeft(Size size, const Rect& window, const std::optional<Rect>& screen);

// The first frame of the preview: at the document window's right edge, top edges aligned,
// pulled left to stay on the screen. The intrinsic size sizes it when larger than 50 × 50.
Rect firstAppearanceFrame(Size intrinsic, double chrome, Size given, const Rect& documentFrame, const Rect& screen);

// A proposed frame size snapped to the whole, half or double intrinsic size when within 7.5 %.
Size snappedSize(Size proposedFrame, Size intrinsic, double chrome);

// Whether a screen has room for a preview with an attached inspector; unknown screens do.
bool screenFitsAttachedInspector(const std::optional<Rect>& screen, double chrome,
                                 Size inspectorMinimum = inspectorMinimumSize);

// The preview over the nearer side of the document window, wide enough for an inspector.
Rect attachedInspectorFrame(const Rect& document, double documentChrome, const Rect& preview,
                            Size inspectorMinimum = inspectorMinimumSize);

}  // namespace PreviewSizing
