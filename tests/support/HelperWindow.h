#pragma once
// The window of a helper program that a test starts in a process of its own: titled, placed and
// sized from the command line (x, y, width and height in argv[2] to argv[5]), and run until it
// is closed, once it has said "ready".

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

inline GtkWidget* helperWindow(const char* title, char** argv) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), title);
  gtk_window_move(GTK_WINDOW(window), atoi(argv[2]), atoi(argv[3]));
  gtk_window_set_default_size(GTK_WINDOW(window), atoi(argv[4]), atoi(argv[5]));
  return window;
}

inline int runHelperWindow(GtkWidget* window) {
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(window);
  // Ready once shown: the test waits for this line.
  printf("ready\n");
  fflush(stdout);
  gtk_main();
  return 0;
}
