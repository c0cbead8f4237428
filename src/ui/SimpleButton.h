#pragma once
// A flat push button that draws itself: background, border of a given width and corner radius,
// and a centred label with its own font, colour and letter spacing; each colour has a normal, a
// pressed and a disabled variant. A disabled button neither looks pressed nor sends its action.
// Main thread only; SimpleButtonLook is plain data, any thread.

#include <functional>
#include <optional>
#include <string>

#include "ui/AntiAliasedButton.h"
#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;

enum class SimpleButtonState { normal, pressed };

struct SimpleButtonColors {
  std::optional<Color> label = Color{0, 0, 0, 1};
  std::optional<Color> labelPressed, labelDisabled;
  std::optional<Color> background = Color{1, 1, 1, 1};
  std::optional<Color> backgroundPressed, backgroundDisabled;
  std::optional<Color> border, borderPressed, borderDisabled;
};

// What the button shows. A pressed colour that is not set keeps the colour shown before.
struct SimpleButtonLook {
  std::optional<Color> background, border;  // of the button; none: nothing drawn
  std::optional<Color> labelColor, labelBackground;
  static SimpleButtonLook resolve(const SimpleButtonColors& colors, SimpleButtonState state, bool enabled,
                                  const SimpleButtonLook& shown);
  bool operator==(const SimpleButtonLook&) const = default;
};

class SimpleButton {
 public:
  SimpleButton();
  ~SimpleButton();
  SimpleButton(const SimpleButton&) = delete;
  SimpleButton& operator=(const SimpleButton&) = delete;

  GtkWidget* widget() const { return widget_; }

  const std::string& title() const { return label_; }
  void setTitle(const std::string& title);
  SimpleButtonColors& colors() { return colors_; }
  // Call after changing colors().
  void updateButton();
  void setFont(AntiAliasedFont font);
  void setKerning(double kerning);
  double kerning() const { return kerning_; }
  void setCornerRadius(double radius);
  void setBorderWidth(double width);
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);
  void setAction(std::function<void()> action) { action_ = std::move(action); }

  SimpleButtonState buttonState() const { return state_; }
  const SimpleButtonLook& look() const { return look_; }
  const AntiAliasedTitle& styledTitle() const { return styled_; }

  // The pointer, in the button's terms; mouseUp answers whether the action was sent.
  void mouseDown();
  void mouseDragged(bool inside);
  bool mouseUp(bool inside);

 private:
  void updateLabel();
  void redraw();

  GtkWidget* widget_;
  GtkWidget* labelWidget_;
  std::string label_;
  SimpleButtonColors colors_;
  AntiAliasedFont font_ = AntiAliasedFont::systemFont(15);
  double kerning_ = 0.4;
  double cornerRadius_ = 0, borderWidth_ = 0;
  bool enabled_ = true;
  bool tracking_ = false;  // a press began on this enabled button
  SimpleButtonState state_ = SimpleButtonState::normal;
  SimpleButtonLook look_;
  AntiAliasedTitle styled_;
  std::function<void()> action_;
};
