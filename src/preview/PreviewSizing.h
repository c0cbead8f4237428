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

// The least and the greatest width ÷ height the window's aspect hint allows for a content
// ratio. The display carries the bounds as fractions over 65536, cut short, and a window manager
// compares in single precision: bounds equal to the ratio come out on either side of it, and the
// window a pixel short. These stand that much apart, so that the exact size lies between them.
struct AspectLimits {
  double least = 0, greatest = 0;
};
AspectLimits aspectLimits(Size ratio);

// The content minimum of the preview window for a content ratio (0 × 0: none).
Size contentMinimum(Size ratio);

// Paddings of the document window around the preview; `chrome` none when it has no content.
Insets documentPadding(std::optional<double> chrome);
Size documentWindowContentMinimum(Size previewContentMinimum, Insets padding);

// A frame size whose content has `ratio` (0 × 0: unchanged); the content only grows, except
// that a content with the transposed ratio is exchanged.
Size fittedSize(Size frame, Size ratio, double chrome);

// The platform's frame constraint: a frame no larger than the work area, moved onto it as
// little as it takes, so that its title bar and its buttons are on the screen.
Rect constrainFrame(const Rect& frame, const Rect& workArea);

// A frame size for the preview that fits the work area: `frame` when it fits; else the whole
// intrinsic size, then the half size (content + chrome), whichever fits first; else `frame`'s
// content scaled down, at its proportions, to fit.
Size sizeOnScreen(Size frame, Size intrinsic, double chrome, const Rect& workArea);

// `size` at the window's top-left corner, kept on `screen` (its work area).
Rect frameKeepingTopLeft(Size size, const Rect& window, const std::optional<Rect>& screen);

// The first frame of the preview: at the document window's right edge, top edges aligned,
// pulled left to stay on the screen. The intrinsic size sizes it when larger than 50 × 50, and
// no more than the screen's work area holds.
Rect firstAppearanceFrame(Size intrinsic, double chrome, Size given, const Rect& documentFrame, const Rect& screen);

// A proposed frame size snapped to the whole, half or double intrinsic size when within 7.5 %,
// of those that fit the work area.
Size snappedSize(Size proposedFrame, Size intrinsic, double chrome, const std::optional<Rect>& workArea = std::nullopt);

// Whether a screen has room for a preview with an attached inspector; unknown screens do. On
// one without, the inspector opens in a window of its own and the preview keeps its frame.
bool screenFitsAttachedInspector(const std::optional<Rect>& screen, double chrome,
                                 Size inspectorMinimum = inspectorMinimumSize);

// The preview over the nearer side of the document window, wide enough for an inspector, and
// on the screen's work area when one is known.
Rect attachedInspectorFrame(const Rect& document, double documentChrome, const Rect& preview,
                            const std::optional<Rect>& workArea = std::nullopt,
                            Size inspectorMinimum = inspectorMinimumSize);

}  // namespace PreviewSizing
