#pragma once
// A borderless button whose title carries its own font, text colour, text background,
// alignment, letter spacing and maximum line height, drawn with sub-pixel anti-aliasing. With no
// letter spacing given, the spacing follows the font size. AntiAliasedLabel is the same look as
// a static label. Main thread only; AntiAliasedTitle is plain data, any thread.

#include <optional>
#include <string>

#include "ui/Color.h"

typedef struct _GtkWidget GtkWidget;

enum class TextAlignment { left, right, center, justified, natural };

struct AntiAliasedFont {
  std::string family;  // empty: the system font
  double pointSize = 11;
  static AntiAliasedFont systemFont(double pointSize) { return {"", pointSize}; }
};

// The attributes a title is drawn with, decided from what the caller gave and what is stored.
struct AntiAliasedTitle {
  std::string text;
  AntiAliasedFont font;
  TextAlignment alignment = TextAlignment::center;
  Color textColor;
  Color backgroundColor;  // clear by default
  float letterSpacing = 0;
  double maximumLineHeight = 0;

  // Spacing that follows the font size: 0.4 at 12 pt up to 0.9 at 36 pt and above.
  static float defaultLetterSpacing(double pointSize);
  static AntiAliasedTitle build(const std::string& title, const std::optional<AntiAliasedFont>& font,
                                const std::optional<Color>& color, const std::optional<Color>& storedTextColor,
                                const std::optional<Color>& backgroundColor,
                                const std::optional<TextAlignment>& alignment,
                                const std::optional<float>& letterSpacing);
};

class AntiAliasedButton {
 public:
  // A borderless button with no styled title yet.
  AntiAliasedButton();
  AntiAliasedButton(const std::string& title, const AntiAliasedFont& font, const Color& textColor,
                    const Color& backgroundColor, TextAlignment alignment,
                    std::optional<float> letterSpacing = std::nullopt);
  virtual ~AntiAliasedButton();
  AntiAliasedButton(const AntiAliasedButton&) = delete;
  AntiAliasedButton& operator=(const AntiAliasedButton&) = delete;

  GtkWidget* widget() const { return widget_; }

  const std::optional<Color>& textColor() const { return textColor_; }
  const std::optional<Color>& backgroundColor() const { return backgroundColor_; }
  // Each restyles the current title with the stored values.
  void setTextColor(std::optional<Color> color);
  void setBackgroundColor(std::optional<Color> color);
  void setFont(std::optional<AntiAliasedFont> font) { font_ = std::move(font); }

  std::string title() const;
  void setTitle(const std::string& title, const std::optional<Color>& color = std::nullopt,
                const std::optional<Color>& backgroundColor = std::nullopt,
                const std::optional<TextAlignment>& alignment = std::nullopt,
                const std::optional<float>& letterSpacing = std::nullopt);
  // What the title was last styled with; none before the first setTitle.
  const std::optional<AntiAliasedTitle>& styledTitle() const { return styled_; }

 protected:
  struct AsLabel {};
  explicit AntiAliasedButton(AsLabel);
  AntiAliasedButton(AsLabel, const std::string& title, const AntiAliasedFont& font, const Color& textColor,
                    const Color& backgroundColor, TextAlignment alignment, std::optional<float> letterSpacing);

 private:
  void initialize(const std::string& title, const AntiAliasedFont& font, const Color& textColor,
                  const Color& backgroundColor, TextAlignment alignment, std::optional<float> letterSpacing);
  void apply(const AntiAliasedTitle& title);

  GtkWidget* widget_;
  GtkWidget* label_;
  std::optional<AntiAliasedFont> font_;
  std::optional<TextAlignment> textAlignment_;
  std::optional<float> letterSpacing_;
  std::optional<Color> textColor_;
  std::optional<Color> backgroundColor_;
  std::optional<AntiAliasedTitle> styled_;
};

// Never a button: presses and drags reach the view that holds it (and move the window there),
// and it never takes the keyboard focus.
class AntiAliasedLabel : public AntiAliasedButton {
 public:
  AntiAliasedLabel() : AntiAliasedButton(AsLabel{}) {}
  AntiAliasedLabel(const std::string& title, const AntiAliasedFont& font, const Color& textColor,
                   const Color& backgroundColor, TextAlignment alignment,
                   std::optional<float> letterSpacing = std::nullopt)
      : AntiAliasedButton(AsLabel{}, title, font, textColor, backgroundColor, alignment, letterSpacing) {}
};
