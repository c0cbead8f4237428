#pragma once
// An arc that turns clockwise once a second from the moment it is made until it goes; owners
// show it, hide it or change its opacity. Main thread only.

typedef struct _GtkWidget GtkWidget;

class Spinner {
 public:
  // The turn at `seconds` since the spinner was made, in radians from 0 up to 2π, clockwise.
  static double rotation(double seconds);

  Spinner(int width, int height);
  ~Spinner();
  Spinner(const Spinner&) = delete;
  Spinner& operator=(const Spinner&) = delete;

  GtkWidget* widget() const { return area_; }
  void setAlpha(double alpha);

 private:
  GtkWidget* area_;
  unsigned tick_ = 0;
};
