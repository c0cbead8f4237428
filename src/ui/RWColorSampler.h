#pragma once
// Picks a colour anywhere on screen: a round loupe follows the pointer, magnifies the pixels
// under it and labels the centre pixel in hexadecimal; a click picks it, Escape cancels. The
// decisions live here; RWColorSamplerWindowGtk.cpp is the loupe. Every completion is called
// exactly once: with the colour, or with none when sampling is cancelled, impossible (a desktop
// whose screen cannot be read), or taken over by a later request. Main thread only.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/Color.h"

class RWColorSampler {
 public:
  using Completion = std::function<void(std::optional<Color>)>;

  static constexpr const char* unavailableMessage = "Colour sampling is not available";
  static constexpr const char* unavailableInformative =
      "The screen can only be sampled in an X11 session. Under Wayland the desktop does not let programs read it.";

  // The loupe on screen. It tells the sampler of a click or a dismissal.
  class Loupe {
   public:
    virtual ~Loupe() = default;
    // False where the screen cannot be read.
    virtual bool canSample() const = 0;
    virtual void show(RWColorSampler& sampler) = 0;
    virtual void hide() = 0;
  };

  // Its loupe is the toolkit's.
  static RWColorSampler& shared();
  explicit RWColorSampler(std::unique_ptr<Loupe> loupe);
  ~RWColorSampler();
  RWColorSampler(const RWColorSampler&) = delete;
  RWColorSampler& operator=(const RWColorSampler&) = delete;

  void setLoupe(std::unique_ptr<Loupe> loupe);
  Loupe* loupe() const { return loupe_.get(); }
  bool isShowing() const { return static_cast<bool>(completion_); }

  void showWithCompletion(Completion completion);

  // From the loupe.
  void windowClickedWithColor(const Color& color);
  void windowDidResignKey();

 private:
  std::unique_ptr<Loupe> loupe_;
  Completion completion_;
};

// The loupe's measures, in screen pixels, from a pointer position.
struct RWColorSamplerGeometry {
  static constexpr int windowSize = 121;
  static constexpr int captureSize = 13;
  struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
  };
  // The captured square, centred on the pointer.
  static Rect capture(double pointerX, double pointerY);
  // The loupe's frame, centred on the pointer.
  static Rect window(double pointerX, double pointerY);
  // The hex label inside the loupe (top-left origin) and the framed centre pixel.
  static Rect label();
  static Rect centreSquare();
  // Whether a press at that screen point lands inside the loupe whose frame is `frame`.
  static bool contains(const Rect& frame, double x, double y);
};

// The toolkit's loupe; it can sample only on X11.
std::unique_ptr<RWColorSampler::Loupe> makeGtkColorSamplerLoupe();
