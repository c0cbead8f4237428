/* A bare WebKitGTK browser for the start-up and preview benchmarks: one window, one web view, the
 * address given on the command line.
 *   bare_webview URL ["script that turns true"]
 *     loads URL at once; prints "ready <seconds>" (seconds since main began) once the stand-in
 *     editor reports DocumentReady (or the readiness expression is true), asked every 5 ms from
 *     the moment the page is committed.
 *   bare_webview --on-click URL
 *     shows the window with its web view unloaded and prints "waiting" once the window is on
 *     screen; a click into the window loads URL, and "ready <seconds>" (since the click) follows
 *     when the page's DOM has loaded, as the page itself reports it.
 * Either way it keeps running until killed, so that its memory can be read. With KORVEL_PAGE_KEY
 * in its environment it shows that key to a project server as the application does: in the
 * X-Korvel-Key header of the page's load, and as the answer to the server's question (HTTP
 * authentication) for the page's own host and port.
 */
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char* readyScript =
    /* replaced by a second argument */
    "!!(window.OstrelStandIn && window.OstrelStandIn.posted.indexOf('DocumentReady') >= 0)";

static gint64 started;
static gboolean ready;
static gboolean pending;
static gboolean polling;
static const char* address;
static char* pageKey;

static void load(WebKitWebView* view) {
  WebKitURIRequest* request = webkit_uri_request_new(address);
  if (pageKey) soup_message_headers_replace(webkit_uri_request_get_http_headers(request), "X-Korvel-Key", pageKey);
  webkit_web_view_load_request(view, request);
  g_object_unref(request);
}

static gboolean authenticate(WebKitWebView* view, WebKitAuthenticationRequest* request, gpointer data) {
  (void)view, (void)data;
  GUri* page = g_uri_parse(address, G_URI_FLAGS_NONE, NULL);
  gboolean own = page && pageKey && !webkit_authentication_request_is_retry(request) &&
                 g_strcmp0(webkit_authentication_request_get_host(request), g_uri_get_host(page)) == 0 &&
                 (int)webkit_authentication_request_get_port(request) == g_uri_get_port(page) &&
                 g_strcmp0(webkit_authentication_request_get_realm(request), "Korvel project server") == 0;
  if (page) g_uri_unref(page);
  if (!own) {
    webkit_authentication_request_cancel(request);
    return TRUE;
  }
  WebKitCredential* credential = webkit_credential_new("korvel", pageKey, WEBKIT_CREDENTIAL_PERSISTENCE_FOR_SESSION);
  webkit_authentication_request_authenticate(request, credential);
  webkit_credential_free(credential);
  return TRUE;
}

static void announce(void) {
  if (ready) return;
  ready = TRUE;
  printf("ready %.6f\n", (g_get_monotonic_time() - started) / 1e6);
  fflush(stdout);
}

static void answered(GObject* source, GAsyncResult* result, gpointer data) {
  (void)data;
  pending = FALSE;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, NULL);
  if (!value) return;
  if (jsc_value_to_boolean(value)) announce();
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
  if (event == WEBKIT_LOAD_COMMITTED && !polling) {
    polling = TRUE;
    g_timeout_add(5, poll, view);
  }
}

static gboolean loadFailed(WebKitWebView* view, WebKitLoadEvent event, gchar* uri, GError* error, gpointer data) {
  (void)view, (void)event, (void)data;
  fprintf(stderr, "bare_webview: %s: %s\n", uri, error->message);
  exit(1);
}

static void domLoaded(WebKitUserContentManager* manager, WebKitJavascriptResult* result, gpointer data) {
  (void)manager, (void)result, (void)data;
  announce();
}

static gboolean clicked(GtkWidget* window, GdkEventButton* event, gpointer view) {
  (void)event;
  static gboolean loading;
  if (loading) return FALSE;
  loading = TRUE;
  started = g_get_monotonic_time();
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_show(GTK_WIDGET(view));
  load(WEBKIT_WEB_VIEW(view));
  return FALSE;
}

static gboolean mapped(GtkWidget* window, GdkEvent* event, gpointer data) {
  (void)window, (void)event, (void)data;
  printf("waiting\n");
  fflush(stdout);
  return FALSE;
}

int main(int argc, char** argv) {
  started = g_get_monotonic_time();
  gboolean onClick = argc == 3 && strcmp(argv[1], "--on-click") == 0;
  if (argc != 2 && argc != 3) {
    fprintf(stderr, "usage: bare_webview URL [readiness expression] | bare_webview --on-click URL\n");
    return 2;
  }
  address = onClick ? argv[2] : argv[1];
  if (argc == 3 && !onClick) readyScript = argv[2];
  // Not handed on to the web processes.
  if (g_getenv("KORVEL_PAGE_KEY") && *g_getenv("KORVEL_PAGE_KEY")) pageKey = g_strdup(g_getenv("KORVEL_PAGE_KEY"));
  g_unsetenv("KORVEL_PAGE_KEY");
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), 1200, 800);
  gtk_window_set_title(GTK_WINDOW(window), "bare_webview");
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  GtkWidget* view = webkit_web_view_new_with_user_content_manager(content);
  if (onClick) {
    // The page says when its DOM has loaded, as korvel's bridge script does for its pages.
    webkit_user_content_manager_register_script_message_handler(content, "ready");
    g_signal_connect(content, "script-message-received::ready", G_CALLBACK(domLoaded), NULL);
    WebKitUserScript* script = webkit_user_script_new(
        "document.addEventListener('DOMContentLoaded', function () { webkit.messageHandlers.ready.postMessage(1); });",
        WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, NULL, NULL);
    webkit_user_content_manager_add_script(content, script);
    webkit_user_script_unref(script);
    // The view is made now but goes into the window, and loads, at the click, which the empty
    // window receives itself.
    g_object_ref_sink(view);
    gtk_widget_add_events(window, GDK_BUTTON_PRESS_MASK);
    g_signal_connect(window, "button-press-event", G_CALLBACK(clicked), view);
    g_signal_connect(window, "map-event", G_CALLBACK(mapped), NULL);
  } else {
    g_signal_connect(view, "load-changed", G_CALLBACK(loadChanged), NULL);
  }
  g_signal_connect(view, "load-failed", G_CALLBACK(loadFailed), NULL);
  g_signal_connect(view, "authenticate", G_CALLBACK(authenticate), NULL);
  if (!onClick) {
    gtk_container_add(GTK_CONTAINER(window), view);
    load(WEBKIT_WEB_VIEW(view));
  }
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
