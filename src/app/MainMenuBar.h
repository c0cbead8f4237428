#pragma once
// The main menu on screen: a menu bar at the top of each document window, and the menu's key
// equivalents in every window of the application. Items validate through the application
// object when their menu opens and again before they act. Main thread only.

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _GdkEventKey GdkEventKey;

namespace MainMenuBar {

// A new menu bar showing AppMenu::mainMenu().
GtkWidget* create();
// Performs the item whose key equivalent `event` is; false when none matched or it is disabled.
bool performKeyEquivalent(const GdkEventKey* event);
// Key equivalents for a window without a menu bar, after its focused widget had the key.
void attach(GtkWindow* window);
// The window a menu command acts on: the one whose menu bar was used, else the active one.
GtkWindow* keyWindow();

}  // namespace MainMenuBar
