#pragma once
// Installs the toolkit's alerts, file choosers, desktop and recent-documents list as the
// shared Alert, Panels, Workspace and RecentDocuments. Main thread, after GTK is initialised.

void installGtkPersonInterfaces();

typedef struct _GtkWindow GtkWindow;

// The window a dialog concerns: `parent`, or without one the active window, else the visible
// window shown last; none when nothing is on screen.
GtkWindow* dialogParentFor(GtkWindow* parent);
// Makes `sheet` a sheet of `parent`: on top of it, modal to it alone; other windows keep working.
void attachSheet(GtkWindow* sheet, GtkWindow* parent);
