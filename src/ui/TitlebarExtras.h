#pragma once
// Document windows' title bars: 37 points high with the window buttons centred vertically.
// Main thread only; titlebarMinHeight is plain arithmetic.

typedef struct _GtkHeaderBar GtkHeaderBar;

namespace TitlebarExtras {

// The style bit of windows whose title bar and toolbar form one band.
inline constexpr unsigned long unifiedTitleAndToolbarMask = 0x1000;
inline constexpr double unifiedTitlebarHeight = 37.0;

// The title-bar height for a style mask, given the height the toolkit would use.
double titlebarMinHeight(unsigned long styleMask, double toolkitHeight);
// Gives `bar` the unified height with its buttons centred; call once per header bar.
void useUnifiedTitlebarHeight(GtkHeaderBar* bar);

}  // namespace TitlebarExtras
