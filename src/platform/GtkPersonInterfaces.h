#pragma once
// Installs the toolkit's alerts, file choosers, desktop and recent-documents list as the
// shared Alert, Panels, Workspace and RecentDocuments. Main thread, after GTK is initialised.

void installGtkPersonInterfaces();
