#pragma once
// Pango attributes and font options for the anti-aliased title pieces. Main thread only.

#include <string>

#include "ui/AntiAliasedButton.h"

typedef struct _GtkWidget GtkWidget;

namespace AntiAliasedText {
// Styles `label` (a GtkLabel) with `title`: font, colours, spacing, line height, alignment,
// sub-pixel anti-aliasing.
void apply(GtkWidget* label, const AntiAliasedTitle& title);
}  // namespace AntiAliasedText
