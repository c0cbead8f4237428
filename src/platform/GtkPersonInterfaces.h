#pragma once
// Installs the toolkit's alerts, file choosers, desktop and recent-documents list as the
// shared Alert, Panels, Workspace and RecentDocuments. Main thread, after GTK is initialised.

#include <filesystem>
#include <vector>

void installGtkPersonInterfaces();

typedef struct _GtkWindow GtkWindow;
typedef struct _GtkMessageDialog GtkMessageDialog;

// The window a dialog concerns: `parent`, or without one the active window, else the visible
// window shown last; none when nothing is on screen.
GtkWindow* dialogParentFor(GtkWindow* parent);
// Makes `sheet` a sheet of `parent`: on top of it, modal to it alone; other windows keep working.
void attachSheet(GtkWindow* sheet, GtkWindow* parent);

// Answers every question on screen (alerts, sheets, file choosers), and every one asked from now
// on, as closing it would: the button that changes nothing. For the session's end, when nobody is
// there to answer and a question's own loop would hold the quit until someone came.
void dismissQuestionsFromNowOn();

// The groups korvel's own entries in the desktop's recent list are noted with.
gchar** recentDocumentGroups();

// The file chooser notes every place chosen in it among the desktop's recent files under the
// application's name. Korvel's recents are the documents it opened or saved, so a place that
// only the chooser noted for korvel is taken out again.
void forgetPlacesTheChooserNoted(const std::vector<std::filesystem::path>& places);

// An alert speaks for the application and carries its icon beside the text, as the desktop's
// alerts do; without the icon file the text stands alone, with no empty space kept for it.
void addApplicationIcon(GtkMessageDialog* dialog);
