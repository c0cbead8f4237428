#pragma once
// Puts an appearance on the toolkit: GTK 3 has one theme variant per process, so a dark
// document window means the dark variant for the application. Main thread only.

#include "ui/AppAppearance.h"

namespace AppAppearanceGtk {
void apply(AppAppearance::Appearance appearance);
}
