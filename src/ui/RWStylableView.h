#pragma once
// A view that fills itself with a background colour and draws a border of its own width and
// colour on each side; later sides paint over earlier ones where they meet. Main thread only;
// fills() is plain arithmetic.

#include <optional>
#include <vector>

#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;

class RWStylableView {
 public:
  struct Fill {
    double x, y, width, height;
    Color color;
    bool operator==(const Fill&) const = default;
  };

  explicit RWStylableView(bool flipped = true);
  ~RWStylableView();
  RWStylableView(const RWStylableView&) = delete;
  RWStylableView& operator=(const RWStylableView&) = delete;

  GtkWidget* widget() const { return area_; }

  float leftBorderWidth = 0, topBorderWidth = 0, rightBorderWidth = 0, bottomBorderWidth = 0;
  std::optional<Color> leftBorderColor, topBorderColor, rightBorderColor, bottomBorderColor;
  // Setting it does not redraw the view (the name is the one interface files use).
  std::optional<Color> backgoundColor;

  void setLeftBorderWidth(float width, std::optional<Color> color);
  void setTopBorderWidth(float width, std::optional<Color> color);
  void setRightBorderWidth(float width, std::optional<Color> color);
  void setBottomBorderWidth(float width, std::optional<Color> color);
  void setBorderWidth(float width, std::optional<Color> color);

  // What a drawing of `dirty` within bounds width × height paints, in order; y runs down in a
  // flipped view and up in an unflipped one.
  std::vector<Fill> fills(double width, double height, Fill dirty) const;
  bool isFlipped() const { return flipped_; }

 private:
  void redraw();
  GtkWidget* area_;
  bool flipped_;
};
