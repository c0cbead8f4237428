/* A bare WebKitGTK browser for startup_bench.py: one window, one web view, the file:// address
 * given on the command line. Prints "ready <seconds>" (seconds since main began) once the stand-in
 * editor reports DocumentReady (or a readiness expression given second is true), then keeps
 * running until killed so its memory can be read.
 *   bare_webview file:///…/resources/Ostrel/index.html ["script that turns true"]
 */
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <stdio.h>
#include <stdlib.h>

static const char* readyScript =
    /* replaced by a second argument */
    "!!(window.OstrelStandIn && window.OstrelStandIn.posted.indexOf('DocumentReady') >= 0)";

static gint64 started;
static gboolean ready;
static gboolean pending;

static void answered(GObject* source, GAsyncResult* result, gpointer data) {
  (void)data;
  pending = FALSE;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, NULL);
  if (!value) return;
  if (!ready && jsc_value_to_boolean(value)) {
    ready = TRUE;
    printf("ready %.6f\n", (g_get_monotonic_time() - started) / 1e6);
    fflush(stdout);
  }
  g_object_unref(value);
}

static gboolean poll(gpointer data) {
  if (ready) return G_SOURCE_REMOVE;
  // One question at a time, so a slow page never piles up evaluations.
  if (!pending) {
    pending = TRUE;
    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(data), readyScript, -1, NULL, NULL, NULL, answered, NULL);
  }
  return G_SOURCE_CONTINUE;
}

static void loadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  (void)data;
  if (event == WEBKIT_LOAD_FINISHED) g_timeout_add(20, poll, view);
}

static gboolean loadFailed(WebKitWebView* view, WebKitLoadEvent event, gchar* uri, GError* error, gpointer data) {
  (void)view, (void)event, (void)data;
  fprintf(stderr, "bare_webview: %s: %s\n", uri, error->message);
  exit(1);
}

int main(int argc, char** argv) {
  started = g_get_monotonic_time();
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: bare_webview file:///path/to/page.html [readiness expression]\n");
    return 2;
  }
  if (argc == 3) readyScript = argv[2];
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1200, 800);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  GtkWidget* view = webkit_web_view_new();
  g_signal_connect(view, "load-changed", G_CALLBACK(loadChanged), NULL);
  g_signal_connect(view, "load-failed", G_CALLBACK(loadFailed), NULL);
  gtk_container_add(GTK_CONTAINER(window), view);
  webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
