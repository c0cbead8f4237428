#pragma once
// Shakes a window sideways: 1 % of its width left, right and left again, twice in 0.2 s, and
// leaves it where it was. Returns at once; the shake runs on the main loop. Main thread only.

#include <vector>

typedef struct _GtkWindow GtkWindow;

namespace WindowShake {
inline constexpr double duration = 0.2;
// The horizontal offsets of the shake's steps for a window `width` wide, the last one 0.
std::vector<int> offsets(int width);
void shake(GtkWindow* window);
}  // namespace WindowShake
