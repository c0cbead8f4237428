#pragma once
// The document window's toolbar buttons. A button draws only its image: an image with a "-dark"
// variant shows that variant in Night Mode and itself in Day Mode, as they are; any other image
// is tinted with the mode's content colour, darker (Day) or dimmer (Night) while pressed. The
// cloud button strokes a cloud outline in the content colour and fades to 0.4 when disabled.
// Every button restyles itself when the mode changes. Main thread only; the static decisions
// are plain and any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;
typedef struct _GdkPixbuf GdkPixbuf;
typedef struct _cairo cairo_t;

struct ToolbarImageRect {
  double x = 0, y = 0, width = 0, height = 0;
  bool operator==(const ToolbarImageRect&) const = default;
};

// How a button draws its image.
struct ToolbarButtonDrawing {
  bool darkVariant = false;   // draw the "-dark" image instead of the image
  std::optional<Color> tint;  // fill the image's opaque pixels with this colour; none: as it is
  bool operator==(const ToolbarButtonDrawing&) const = default;
};

class ToolbarButton {
 public:
  static Color contentColor(bool dark);
  static Color contentHighlightColor(bool dark);
  // Centred in the bounds, origin rounded down to whole pixels.
  static ToolbarImageRect imageRect(double boundsWidth, double boundsHeight, double imageWidth, double imageHeight);
  static ToolbarButtonDrawing drawing(bool dark, bool hasDarkVariant, bool highlighted);

  // `imageName` names a PNG in the resources' Images folder, with an optional "-dark" variant
  // beside it; without the file the desktop's symbolic icon `fallbackIcon` is tinted instead.
  ToolbarButton(const std::string& imageName, const std::string& fallbackIcon, const std::string& tooltip);
  virtual ~ToolbarButton();
  ToolbarButton(const ToolbarButton&) = delete;
  ToolbarButton& operator=(const ToolbarButton&) = delete;

  GtkWidget* widget() const { return widget_; }
  // Runs on a click with the button's widget, for popovers to point at.
  std::function<void(GtkWidget* sender)> action;
  virtual void setEnabled(bool enabled);
  bool isEnabled() const;
  bool isHighlighted() const;
  bool hasDarkVariant() const { return darkImage_ != nullptr; }
  // The drawing the button shows now.
  ToolbarButtonDrawing currentDrawing() const;
  virtual void reflectAppAppearance();

 protected:
  virtual void draw(cairo_t* cr, int width, int height);

  GtkWidget* widget_;
  GdkPixbuf* image_ = nullptr;
  GdkPixbuf* darkImage_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

 private:
  struct Signals;
};

class ToolbarCloudButton : public ToolbarButton {
 public:
  struct PathElement {
    enum class Kind { move, line, curve, close } kind;
    std::vector<std::pair<double, double>> points;  // curve: two controls, then the end
  };
  // The outline in a 20-point box with y growing upwards, as it was drawn.
  static const std::vector<PathElement>& cloudPath();
  static double alphaFor(bool enabled) { return enabled ? 1.0 : 0.4; }

  explicit ToolbarCloudButton(const std::string& tooltip);
  void setEnabled(bool enabled) override;
  double alpha() const;

 protected:
  void draw(cairo_t* cr, int width, int height) override;
};

// A two-part menu title: the title, the subtitle right after it (no separator), 13-point type
// with 3 points between lines of at least 20; a disabled item is white at 0.3 throughout, an
// enabled one only in its subtitle.
struct ToolbarMenuTitle {
  std::string text;
  std::size_t subtitleStart = 0;  // == text.size() without a subtitle
  bool dimmedTitle = false;
  bool dimmedSubtitle = false;
  static constexpr double fontSize = 13, lineSpacing = 3, minimumLineHeight = 20;

  static ToolbarMenuTitle make(const std::string& title, const std::optional<std::string>& subtitle, bool enabled);
  // Pango markup of the same.
  std::string markup() const;
};

// The title bar behind the toolbar: Night Mode lays a gradient of its own under it; Day Mode
// keeps the desktop's. Applies to a header bar and follows the mode.
class ToolbarAccessoryView {
 public:
  // CSS for the header bar in the mode; empty in Day Mode.
  static std::string backgroundCSS(bool dark);
  explicit ToolbarAccessoryView(GtkWidget* headerBar);
  ~ToolbarAccessoryView();
  ToolbarAccessoryView(const ToolbarAccessoryView&) = delete;
  ToolbarAccessoryView& operator=(const ToolbarAccessoryView&) = delete;
  void reflectAppAppearance();

 private:
  GtkWidget* headerBar_;
  void* provider_ = nullptr;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
