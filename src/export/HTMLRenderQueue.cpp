#include "export/HTMLRenderQueue.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <gio/gunixinputstream.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>

#include "export/CoveredPictures.h"
#include "export/PDFCompactor.h"
#include "export/RenderFileAccess.h"
#include "platform/FileSystem.h"
#include "platform/OffscreenWindow.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"
#include "platform/Url.h"
#include "platform/WebContexts.h"

namespace {

constexpr const char* workerKey = "korvel-render-worker";

constexpr double settleInterval = 0.3;
// A page that costs this much (HTMLRenderQueue::costOf) is drawn by a web process that no later
// work uses.
constexpr std::size_t heavyRenderBytes = std::size_t(64) << 20;
// An exported page is the frame's size in points, one point per pixel.
constexpr double pointsPerPixel = 1.0;
// The printer lays a paper of P points out as a page of 1.25 P pixels and draws it at 0.8 points
// a pixel. Printed on a paper of the frame's size over 1.25, the page lays out exactly as the view
// shows it (viewport units and media queries alike); its drawing is then scaled back to a page of
// the frame's size. The small excess keeps the printer's whole pixels from rounding down.
constexpr double printerShrink = 1.25;
constexpr double paperExcess = 0.01;
// Printed, the root is the frame: a box at least the view's size that holds every other box
// (positioned ones too), so that nothing is moved to a page of its own and nothing outside it
// makes more pages or shrinks the drawing; the view clips the same way.
constexpr const char* workerStyle =
    "::-webkit-scrollbar { display: none; } "
    "@media print { :root { contain: size layout paint !important; min-height: 100vh !important; } }";
// A page the queue serves pictures to: an export's page.
bool servesPictures(const HTMLRenderer::Work& work) { return work.string && !work.string->pictures.empty(); }
void addStyle(WebKitUserContentManager* content, const char* text) {
  WebKitUserStyleSheet* style = webkit_user_style_sheet_new(text, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                             WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr);
  webkit_user_content_manager_add_style_sheet(content, style);
  webkit_user_style_sheet_unref(style);
}
// A contained root no longer hands the body's background to the canvas: the root takes it, as
// the canvas would have.
constexpr const char* bodyBackgroundToRoot =
    "(() => { const root = document.documentElement, body = document.body; if (!root || !body) return;"
    " const none = s => s.backgroundImage === 'none' && (s.backgroundColor === 'transparent' ||"
    " s.backgroundColor === 'rgba(0, 0, 0, 0)');"
    " const r = getComputedStyle(root), b = getComputedStyle(body); if (!none(r) || none(b)) return;"
    " for (const p of ['color', 'image', 'repeat', 'position', 'size', 'attachment', 'origin', 'clip'])"
    " root.style.setProperty('background-' + p, b.getPropertyValue('background-' + p), 'important');"
    " body.style.setProperty('background', 'none', 'important'); })()";

using Clock = std::chrono::steady_clock;

bool schemeEnds(const char* uri) {
  if (!uri) return false;
  return std::strncmp(uri, "done:", 5) == 0 || std::strncmp(uri, "error:", 6) == 0;
}

std::optional<Bitmap> bitmapFromSurface(cairo_surface_t* surface) {
  if (!surface || cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE) return std::nullopt;
  cairo_surface_flush(surface);
  auto format = cairo_image_surface_get_format(surface);
  if (format != CAIRO_FORMAT_ARGB32 && format != CAIRO_FORMAT_RGB24) return std::nullopt;
  auto bitmap = Bitmap::fromPremultipliedARGB(cairo_image_surface_get_data(surface), cairo_image_surface_get_width(surface),
                                              cairo_image_surface_get_height(surface), cairo_image_surface_get_stride(surface));
  if (bitmap && format == CAIRO_FORMAT_RGB24)
    for (std::size_t i = 3; i < bitmap->rgba.size(); i += 4) bitmap->rgba[i] = 255;
  return bitmap;
}

// A raster PDF of one page, for when printing fails.
std::optional<Data> rasterPDF(const Bitmap& bitmap) {
  Data out;
  auto writeFn = [](void* closure, const unsigned char* bytes, unsigned int length) {
    static_cast<Data*>(closure)->insert(static_cast<Data*>(closure)->end(), bytes, bytes + length);
    return CAIRO_STATUS_SUCCESS;
  };
  double w = bitmap.width * pointsPerPixel, h = bitmap.height * pointsPerPixel;
  cairo_surface_t* pdf = cairo_pdf_surface_create_for_stream(writeFn, &out, w, h);
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, bitmap.width, bitmap.height);
  unsigned char* data = cairo_image_surface_get_data(image);
  int stride = cairo_image_surface_get_stride(image);
  for (int y = 0; y < bitmap.height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
    for (int x = 0; x < bitmap.width; ++x) {
      const std::uint8_t* p = bitmap.pixel(x, y);
      unsigned a = p[3];
      row[x] = (a << 24) | ((p[0] * a / 255) << 16) | ((p[1] * a / 255) << 8) | (p[2] * a / 255);
    }
  }
  cairo_surface_mark_dirty(image);
  cairo_t* cr = cairo_create(pdf);
  cairo_scale(cr, pointsPerPixel, pointsPerPixel);
  cairo_set_source_surface(cr, image, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_finish(pdf);
  bool ok = cairo_surface_status(pdf) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(pdf);
  cairo_surface_destroy(image);
  if (!ok || out.empty()) return std::nullopt;
  return out;
}

}  // namespace

// One engine context for every worker: pages read files only through its private scheme.
static WebKitWebContext* renderContext();

const char* HTMLRenderQueue::waitForRenderJS() {
  return "var waitForNumberOfAnimationFrames = (number = 0, callback) => {\n"
         "    if (number <= 0) {\n"
         "        callback()\n"
         "        return\n"
         "    }\n"
         "    requestAnimationFrame(() => {\n"
         "        waitForNumberOfAnimationFrames(number-1, callback)\n"
         "    })\n"
         "}\n"
         "waitForNumberOfAnimationFrames(5, () => window.location = 'done://')";
}

// One off-screen web view and the render it is doing.
class HTMLRenderQueue::Worker {
 public:
  Worker(HTMLRenderQueue& queue, int id);
  ~Worker();
  void load(std::shared_ptr<Work> work);
  // A file the page asked for through the private scheme: its folder's, or a resource.
  void serve(WebKitURISchemeRequest* request);

 private:
  struct Job {
    std::shared_ptr<Work> work;
    std::uint64_t generation = 0;
    Clock::time_point start;
    std::filesystem::path folder;  // what the page may read
    bool ownLoadPending = true;  // the one navigation the page may make: its own load
    // Documents committed after the page had loaded; a settling belongs to one of them.
    std::uint64_t document = 0;
    bool frameLoaded = false;
    bool isDone = false;
    bool checking = false;
    bool capturing = false;
    int requests = 0;
    std::unique_ptr<Timer> timer;
    std::unique_ptr<Timer> deadline;
  };

  // Signal data: the worker and the job it was connected for.
  struct Tag {
    Worker* worker;
    std::uint64_t generation;
  };

  Job* current(std::uint64_t generation) { return job_ && job_->generation == generation ? job_.get() : nullptr; }
  void setSize(int width, int height);
  void resetTimer();
  void check();
  void settled();
  void done();
  void finish(std::optional<Bitmap> bitmap, std::optional<Data> pdf);
  // The view's pixels, with the engine's copy of them let go before `then` runs. With
  // `endingProcess`, the web process ends (and the view's own copy of the page goes with it)
  // before the pixels are turned into the bitmap: a large page is then held twice, not four times.
  void snapshot(std::function<void(std::optional<Bitmap>)> then, bool endingProcess = false);
  void printPDF();
  void evaluate(const std::string& script, std::function<void(std::optional<std::string>)> then);

  static void onResourceStarted(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest*, gpointer self);
  static void onResourceFinished(WebKitWebResource*, gpointer tag);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);
  static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self);
  // Nothing of a hidden page reaches the person: dialogs are answered, print requests and
  // permission requests refused, here.
  static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer);
  static gboolean onPrint(WebKitWebView*, WebKitPrintOperation*, gpointer);
  static gboolean onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer);
  static gboolean onFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer);

  HTMLRenderQueue& queue_;
  int id_;
  GtkWidget* view_;
  std::unique_ptr<OffscreenWindow> window_;
  std::unique_ptr<Job> job_;
  std::uint64_t generations_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

HTMLRenderQueue::Worker::Worker(HTMLRenderQueue& queue, int id) : queue_(queue), id_(id) {
  WebKitSettings* settings = webkit_settings_new_with_settings(
      "enable-page-cache", TRUE, "auto-load-images", TRUE, "print-backgrounds", TRUE, "enable-javascript", TRUE,
      "javascript-can-open-windows-automatically", FALSE, "enable-smooth-scrolling", FALSE, "hardware-acceleration-policy",
      WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER, "enable-developer-extras", FALSE, nullptr);
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  addStyle(content, workerStyle);
  view_ = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", renderContext(), "settings", settings,
                                  "user-content-manager", content, nullptr));
  g_object_unref(settings);
  g_object_unref(content);
  g_object_ref_sink(view_);
  GdkRGBA clear{0, 0, 0, 0};
  webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(view_), &clear);
  g_object_set_data(G_OBJECT(view_), workerKey, this);
  g_signal_connect(view_, "resource-load-started", G_CALLBACK(onResourceStarted), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
  g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
  g_signal_connect(view_, "print", G_CALLBACK(onPrint), this);
  g_signal_connect(view_, "permission-request", G_CALLBACK(onPermissionRequest), this);
  g_signal_connect(view_, "run-file-chooser", G_CALLBACK(onFileChooser), this);
  // Nobody looks at the view: what the page paints is captured from the web process, never
  // copied again onto a window that no screen shows.
  g_signal_connect(view_, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer) -> gboolean { return TRUE; }), nullptr);
  window_ = std::make_unique<OffscreenWindow>(view_, 1, 1);
}

HTMLRenderQueue::Worker::~Worker() {
  *alive_ = false;
  g_signal_handlers_disconnect_by_data(view_, this);
  g_object_set_data(G_OBJECT(view_), workerKey, nullptr);
  window_.reset();
  g_object_unref(view_);
}

void HTMLRenderQueue::Worker::setSize(int width, int height) {
  // The view takes the page's whole size: one layout, captured whole.
  gtk_widget_set_size_request(view_, width, height);
  gtk_window_resize(GTK_WINDOW(window_->window()), width, height);
  gtk_widget_queue_resize(view_);
}

void HTMLRenderQueue::Worker::load(std::shared_ptr<Work> work) {
  job_ = std::make_unique<Job>();
  job_->work = std::move(work);
  job_->generation = ++generations_;
  job_->start = Clock::now();
  Size size = job_->work->size.value_or(Size{});
  setSize(static_cast<int>(size.width), static_cast<int>(size.height));
  std::weak_ptr<bool> alive = alive_;
  auto generation = job_->generation;
  job_->deadline = Timer::scheduled(job_->work->deadline, false, [this, alive, generation] {
    if (alive.expired() || !current(generation)) return;
    const char* stage = job_->ownLoadPending ? "its page to start loading"
                        : !job_->frameLoaded ? "its page to load"
                        : !job_->isDone      ? "its page to settle"
                        : !job_->capturing   ? "its last frames"
                                             : "its capture";
    RWLog(std::string("render did not finish in time, waiting for ") + stage + "; the worker starts over");
    // A page that hangs keeps its web process busy: a fresh one serves the next work.
    webkit_web_view_terminate_web_process(WEBKIT_WEB_VIEW(view_));
    // Ending the web process may already have ended this work, and started the next.
    if (current(generation)) finish(std::nullopt, std::nullopt);
  });
  // A page of pictures is not painted before its covered ones are found (settled()): a pile of
  // large pictures costs seconds each time it is painted whole.
  WebKitUserContentManager* content = webkit_web_view_get_user_content_manager(WEBKIT_WEB_VIEW(view_));
  webkit_user_content_manager_remove_all_style_sheets(content);
  addStyle(content, workerStyle);
  if (servesPictures(*job_->work)) addStyle(content, CoveredPictures::heldStyle);
  if (job_->work->string) {
    job_->folder = job_->work->string->folder;
    std::string html = RenderFileAccess::rewriteFileAddresses(job_->work->string->html, job_->folder);
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view_), html.c_str(), RenderFileAccess::baseAddress(job_->folder).c_str());
  } else if (job_->work->url) {
    std::string address = *job_->work->url;
    // A page on the disk reads its own folder, through the private scheme like any other.
    if (auto file = Url::filePath(address); file && file->is_absolute()) {
      job_->folder = file->parent_path();
      address = *RenderFileAccess::fromFileAddress(address);
    }
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_), address.c_str());
  } else {
    MainQueue::async([this, alive, generation] {
      if (!alive.expired() && current(generation)) finish(std::nullopt, std::nullopt);
    });
  }
}

void HTMLRenderQueue::Worker::onResourceStarted(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest*,
                                                gpointer self) {
  auto* worker = static_cast<Worker*>(self);
  if (!worker->job_ || worker->job_->isDone || worker->job_->ownLoadPending) return;
  ++worker->job_->requests;
  // "finished" comes for every resource, failed ones included.
  g_signal_connect_data(resource, "finished", G_CALLBACK(onResourceFinished), new Tag{worker, worker->job_->generation},
                        [](gpointer tag, GClosure*) { delete static_cast<Tag*>(tag); }, GConnectFlags(0));
}

void HTMLRenderQueue::Worker::onResourceFinished(WebKitWebResource*, gpointer data) {
  auto* tag = static_cast<Tag*>(data);
  Job* job = tag->worker->current(tag->generation);
  if (!job) return;
  --job->requests;
  tag->worker->resetTimer();
  tag->worker->check();
}

void HTMLRenderQueue::Worker::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self) {
  auto* worker = static_cast<Worker*>(self);
  Job* job = worker->job_.get();
  // Until the page's own navigation is under way, the events are those of the load before it:
  // the blank page that emptied the worker may finish after the next work was given to it.
  if (!job || job->ownLoadPending || job->capturing) return;
  if (event == WEBKIT_LOAD_COMMITTED && job->frameLoaded) {
    // A document committed after the frame had loaded replaced the one being settled, and the
    // scripts it was given with it: settle the new one.
    ++job->document;
    job->frameLoaded = job->isDone = job->checking = false;
    job->requests = 0;
    job->timer.reset();
    return;
  }
  if (event != WEBKIT_LOAD_FINISHED || webkit_web_view_is_loading(view)) return;
  job->frameLoaded = true;
  worker->resetTimer();
  worker->check();
}

gboolean HTMLRenderQueue::Worker::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                                 WebKitPolicyDecisionType type, gpointer self) {
  auto* worker = static_cast<Worker*>(self);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  Job* job = worker->job_.get();
  // The blank page empties a worker; it leads nowhere, unless it is the page asked for.
  if (uri && std::strcmp(uri, "about:blank") == 0) {
    if (job && !job->work->string && job->work->url == "about:blank") job->ownLoadPending = false;
    return FALSE;
  }
  if (!job) {
    webkit_policy_decision_ignore(decision);
    return TRUE;
  }
  if (schemeEnds(uri)) {
    webkit_policy_decision_ignore(decision);
    auto generation = job->generation;
    std::weak_ptr<bool> alive = worker->alive_;
    MainQueue::async([worker, alive, generation] {
      if (!alive.expired() && worker->current(generation)) worker->done();
    });
    return TRUE;
  }
  if (job->ownLoadPending) {
    job->ownLoadPending = false;
    return FALSE;
  }
  // Design HTML takes the worker nowhere else.
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

void HTMLRenderQueue::Worker::serve(WebKitURISchemeRequest* request) {
  const char* uri = webkit_uri_scheme_request_get_uri(request);
  if (auto index = HTMLRenderer::servedIndex(uri ? uri : "")) {
    // One of the page's own pictures, handed from where it is held: no copy is made of it.
    const auto* pictures = job_ && job_->work->string ? &job_->work->string->pictures : nullptr;
    if (!pictures || *index >= pictures->size()) {
      GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_NOT_FOUND, "No such picture of this page.");
      webkit_uri_scheme_request_finish_error(request, error);
      g_error_free(error);
      return;
    }
    auto* held = new std::shared_ptr<const PictureStore::Picture>((*pictures)[*index]);
    GBytes* bytes = g_bytes_new_with_free_func((*held)->bytes.data(), (*held)->bytes.size(),
                                               [](gpointer p) { delete static_cast<std::shared_ptr<const PictureStore::Picture>*>(p); },
                                               held);
    GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
    webkit_uri_scheme_request_finish(request, stream, gint64(g_bytes_get_size(bytes)), (*held)->type.c_str());
    g_object_unref(stream);
    g_bytes_unref(bytes);
    return;
  }
  auto file = RenderFileAccess::open(uri ? uri : "", job_ ? job_->folder : std::filesystem::path());
  struct stat st {};
  if (!file || ::fstat(file->get(), &st) != 0) {
    RWLog(std::string("render refused a file: ") + (uri ? uri : "") +
          (file ? std::string() : " (" + file.error().message + ")"));
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "Not a file of this page.");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  std::string address = uri;
  std::filesystem::path path(address.substr(0, address.find_first_of("?#")));
  GInputStream* stream = g_unix_input_stream_new(file->release(), TRUE);
  webkit_uri_scheme_request_finish(request, stream, st.st_size, RenderFileAccess::mediaType(path).c_str());
  g_object_unref(stream);
}

gboolean HTMLRenderQueue::Worker::onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer) {
  // Left unanswered, alert() and its kin would hold the page until its deadline. A confirm is
  // declined and a prompt answered with nothing, as a person who closed them would.
  if (webkit_script_dialog_get_dialog_type(dialog) == WEBKIT_SCRIPT_DIALOG_CONFIRM ||
      webkit_script_dialog_get_dialog_type(dialog) == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
    webkit_script_dialog_confirm_set_confirmed(dialog, webkit_script_dialog_get_dialog_type(dialog) ==
                                                           WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM);
  return TRUE;
}

gboolean HTMLRenderQueue::Worker::onPrint(WebKitWebView*, WebKitPrintOperation*, gpointer) { return TRUE; }

gboolean HTMLRenderQueue::Worker::onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
  webkit_permission_request_deny(request);
  return TRUE;
}

gboolean HTMLRenderQueue::Worker::onFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer) {
  webkit_file_chooser_request_cancel(request);
  return TRUE;
}

void HTMLRenderQueue::Worker::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason,
                                                     gpointer self) {
  // The worker ends its own process only between works, or past a deadline, which then ends
  // the work itself.
  if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API) return;
  auto* worker = static_cast<Worker*>(self);
  if (worker->job_ && !worker->job_->capturing) worker->finish(std::nullopt, std::nullopt);
}

void HTMLRenderQueue::Worker::resetTimer() {
  Job* job = job_.get();
  if (!job || job->isDone || !job->frameLoaded) return;
  std::weak_ptr<bool> alive = alive_;
  auto generation = job->generation;
  auto document = job->document;
  job->timer = Timer::scheduled(settleInterval, false, [this, alive, generation, document] {
    if (alive.expired()) return;
    Job* job = current(generation);
    if (!job || job->isDone || job->document != document) return;
    job->frameLoaded = true;
    job->requests = 0;
    check();
  });
}

void HTMLRenderQueue::Worker::evaluate(const std::string& script, std::function<void(std::optional<std::string>)> then) {
  struct Call {
    std::function<void(std::optional<std::string>)> then;
  };
  auto* call = new Call{std::move(then)};
  webkit_web_view_evaluate_javascript(
      WEBKIT_WEB_VIEW(view_), script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        std::optional<std::string> text;
        if (value && jsc_value_is_string(value)) {
          char* s = jsc_value_to_string(value);
          text = s;
          g_free(s);
        }
        if (value) g_object_unref(value);
        if (error) g_error_free(error);
        if (call->then) call->then(text);
      },
      call);
}

void HTMLRenderQueue::Worker::check() {
  Job* job = job_.get();
  if (!job || job->isDone || job->checking || !job->frameLoaded || job->requests > 0) return;
  double elapsed = std::chrono::duration<double>(Clock::now() - job->start).count();
  if (elapsed >= job->work->maxTime) return settled();
  job->checking = true;
  std::weak_ptr<bool> alive = alive_;
  auto generation = job->generation;
  auto document = job->document;
  evaluate("document.readyState", [this, alive, generation, document](std::optional<std::string> state) {
    if (alive.expired()) return;
    Job* job = current(generation);
    if (!job || job->isDone || job->document != document) return;
    job->checking = false;
    if (state && *state == "complete") return settled();
    resetTimer();
  });
}

void HTMLRenderQueue::Worker::settled() {
  Job* job = job_.get();
  if (servesPictures(*job->work))
    evaluate(CoveredPictures::script(CoveredPictures::opaqueAddresses(*job->work->string)),
             [](std::optional<std::string> left) {
               if (left && *left != "0/0") RWLog("pictures hidden / clipped under opaque ones: " + *left);
             });
  if (job->work->userScript) evaluate(*job->work->userScript, nullptr);
  job->isDone = true;
  job->timer.reset();
  evaluate(waitForRenderJS(), nullptr);
}

void HTMLRenderQueue::Worker::snapshot(std::function<void(std::optional<Bitmap>)> then, bool endingProcess) {
  struct Call {
    std::function<void(std::optional<Bitmap>)> then;
    std::weak_ptr<bool> alive;
    bool endingProcess;
  };
  auto* call = new Call{std::move(then), alive_, endingProcess};
  webkit_web_view_get_snapshot(
      WEBKIT_WEB_VIEW(view_), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_TRANSPARENT_BACKGROUND, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        GError* error = nullptr;
        cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (error) {
          RWLog(std::string("Could not get image from window: ") + error->message);
          g_error_free(error);
        }
        // The snapshot's pixels are this process's own: they outlive the web process.
        if (surface && call->endingProcess && !call->alive.expired())
          webkit_web_view_terminate_web_process(WEBKIT_WEB_VIEW(source));
        auto bitmap = call->alive.expired() ? std::nullopt : bitmapFromSurface(surface);
        if (surface) cairo_surface_destroy(surface);
        if (!call->alive.expired()) call->then(std::move(bitmap));
      },
      call);
}

void HTMLRenderQueue::Worker::done() {
  Job* job = job_.get();
  if (!job || job->capturing) return;
  job->capturing = true;
  if (job->work->pdfCallback) {
    auto generation = job->generation;
    std::weak_ptr<bool> alive = alive_;
    return evaluate(bodyBackgroundToRoot, [this, alive, generation](std::optional<std::string>) {
      if (!alive.expired() && current(generation)) printPDF();
    });
  }
  Size size = job->work->size.value_or(Size{});
  int w = static_cast<int>(size.width), h = static_cast<int>(size.height);
  auto generation = job->generation;
  // A heavy page's web process would end once it is captured (finish) anyway.
  snapshot(
      [this, generation, w, h](std::optional<Bitmap> bitmap) {
        if (!current(generation)) return;
        if (bitmap && (bitmap->width != w || bitmap->height != h)) {
          RWLog("weird image: " + std::to_string(bitmap->width) + " × " + std::to_string(bitmap->height) +
                " for a page of " + std::to_string(w) + " × " + std::to_string(h));
          bitmap.reset();
        }
        finish(std::move(bitmap), std::nullopt);
      },
      costOf(*job->work) >= heavyRenderBytes);
}

void HTMLRenderQueue::Worker::printPDF() {
  Job* job = job_.get();
  auto generation = job->generation;
  Size size = job->work->size.value_or(Size{});
  auto folder = fs::makeSiblingTemporaryFolder(std::filesystem::path(g_get_tmp_dir()) / "korvel-print");
  if (!folder) return finish(std::nullopt, std::nullopt);
  auto file = *folder / "page.pdf";
  GtkPrintSettings* settings = gtk_print_settings_new();
  gtk_print_settings_set_printer(settings, "Print to File");
  gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_FILE_FORMAT, "pdf");
  gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
  gtk_print_settings_set(settings, GTK_PRINT_SETTINGS_OUTPUT_URI, uri);
  g_free(uri);
  GtkPageSetup* setup = gtk_page_setup_new();
  int width = static_cast<int>(size.width), height = static_cast<int>(size.height);
  GtkPaperSize* paper = gtk_paper_size_new_custom("korvel-export", "Export", width / printerShrink + paperExcess,
                                                  height / printerShrink + paperExcess, GTK_UNIT_POINTS);
  gtk_page_setup_set_paper_size(setup, paper);
  gtk_page_setup_set_orientation(setup, GTK_PAGE_ORIENTATION_PORTRAIT);
  for (auto set : {gtk_page_setup_set_top_margin, gtk_page_setup_set_bottom_margin, gtk_page_setup_set_left_margin,
                   gtk_page_setup_set_right_margin})
    set(setup, 0, GTK_UNIT_POINTS);
  gtk_paper_size_free(paper);
  WebKitPrintOperation* operation = webkit_print_operation_new(WEBKIT_WEB_VIEW(view_));
  webkit_print_operation_set_print_settings(operation, settings);
  webkit_print_operation_set_page_setup(operation, setup);
  g_object_unref(settings);
  g_object_unref(setup);

  struct Print {
    Worker* worker;
    std::weak_ptr<bool> alive;
    std::uint64_t generation;
    std::filesystem::path folder;
    double width, height;
    bool failed = false;
  };
  auto* print = new Print{this, alive_, generation, *folder, width * pointsPerPixel, height * pointsPerPixel};
  g_signal_connect(operation, "failed", G_CALLBACK(+[](WebKitPrintOperation*, GError* error, gpointer data) {
                     static_cast<Print*>(data)->failed = true;
                     RWLog(std::string("printing an export to PDF failed: ") + (error ? error->message : ""));
                   }),
                   print);
  g_signal_connect_data(
      operation, "finished", G_CALLBACK(+[](WebKitPrintOperation*, gpointer data) {
        auto* print = static_cast<Print*>(data);
        std::optional<Data> pdf;
        if (!print->failed) {
          auto bytes = fs::readFile(print->folder / "page.pdf");
          if (bytes && bytes->size() > 4 && std::memcmp(bytes->data(), "%PDF", 4) == 0) pdf = std::move(*bytes);
        }
        std::error_code ec;
        std::filesystem::remove_all(print->folder, ec);
        Worker* worker = print->worker;
        std::weak_ptr<bool> alive = print->alive;
        auto generation = print->generation;
        double width = print->width;
        double height = print->height;
        // The printed first page becomes the frame's page beside the main loop; the worker waits
        // for it, so that a raster page can still stand in.
        GlobalQueue::async([worker, alive, generation, width, height, pdf = std::move(pdf)] {
          // The printer lays the page out at the view's width and fits that to the paper's: the
          // exact inverse brings every point back to its pixel, tiles of repeated pictures too.
          double scale = width / (width / printerShrink + paperExcess);
          auto page = pdf ? PDFCompactor::firstPage(*pdf, width, height, scale) : std::nullopt;
          if (pdf && !page) RWLog("the printed export is not a page the frame's size can be made from");
          MainQueue::async([worker, alive, generation, page = std::move(page)]() mutable {
            if (alive.expired() || !worker->current(generation)) return;
            if (page) return worker->finish(std::nullopt, std::move(page));
            // Vector printing failed: a raster page keeps the export.
            worker->snapshot([worker, generation](std::optional<Bitmap> bitmap) {
              if (!worker->current(generation)) return;
              worker->finish(std::nullopt, bitmap ? rasterPDF(*bitmap) : std::nullopt);
            });
          });
        });
      }),
      print, [](gpointer data, GClosure*) { delete static_cast<Print*>(data); }, GConnectFlags(0));
  webkit_print_operation_print(operation);
  g_object_unref(operation);
}

void HTMLRenderQueue::Worker::finish(std::optional<Bitmap> bitmap, std::optional<Data> pdf) {
  std::unique_ptr<Job> job = std::move(job_);
  if (!job) return;
  job->timer.reset();
  job->deadline.reset();
  // A web process keeps much of a large page it drew (its pictures, its printing) long after:
  // the next work gets a fresh one.
  if (costOf(*job->work) >= heavyRenderBytes) webkit_web_view_terminate_web_process(WEBKIT_WEB_VIEW(view_));
  // The bitmap counts until its receiver holds it (HTMLRenderer::hold), or lets it go.
  auto handed = bitmap ? queue_.hold(2 * bitmap->rgba.size()) : nullptr;
  // The worker takes the next work before this callback runs.
  queue_.ready(this, costOf(*job->work));
  if (!job_) {
    // An idle worker keeps no page-sized backing store: only a page drawn again at its new size
    // lets go of the last one's.
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view_), "", "about:blank");
    setSize(1, 1);
  }
  if (job->work->pdfCallback && pdf) {
    // The printer embeds whole fonts; the smaller copy is made beside the main loop.
    GlobalQueue::async([callback = job->work->pdfCallback, pdf = std::move(*pdf)]() mutable {
      auto smaller = PDFCompactor::compact(pdf);
      if (smaller) pdf = std::move(*smaller);
      MainQueue::async([callback = std::move(callback), pdf = std::move(pdf)]() mutable { callback(std::move(pdf)); });
    });
  } else if (job->work->pdfCallback) {
    job->work->pdfCallback(std::nullopt);
  } else if (job->work->bitmapCallback) {
    job->work->bitmapCallback(std::move(bitmap));
  }
}

static WebKitWebContext* renderContext() {
  static WebKitWebContext* context = [] {
    WebKitWebContext* made = WebContexts::makeLimited();  // lives as long as the process
    webkit_web_context_set_cache_model(made, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    webkit_web_context_register_uri_scheme(
        made, RenderFileAccess::scheme,
        [](WebKitURISchemeRequest* request, gpointer) {
          WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
          auto* worker = view ? static_cast<HTMLRenderQueue::Worker*>(g_object_get_data(G_OBJECT(view), workerKey)) : nullptr;
          if (worker) return worker->serve(request);
          GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "No page to serve.");
          webkit_uri_scheme_request_finish_error(request, error);
          g_error_free(error);
        },
        nullptr, nullptr);
    // Fonts and scripts of the page's own folder load as from its own origin.
    webkit_security_manager_register_uri_scheme_as_cors_enabled(webkit_web_context_get_security_manager(made),
                                                                RenderFileAccess::scheme);
    return made;
  }();
  return context;
}

HTMLRenderQueue& HTMLRenderQueue::shared() {
  static HTMLRenderQueue* queue = new HTMLRenderQueue();  // lives as long as the process
  return *queue;
}

HTMLRenderQueue::HTMLRenderQueue() = default;
HTMLRenderQueue::~HTMLRenderQueue() { *alive_ = false; }

std::shared_ptr<HTMLRenderer::Work> HTMLRenderQueue::addWork(std::shared_ptr<Work> work, BitmapCallback callback) {
  work->bitmapCallback = std::move(callback);
  work->pdfCallback = nullptr;
  return add(std::move(work));
}

std::shared_ptr<HTMLRenderer::Work> HTMLRenderQueue::addWork(std::shared_ptr<Work> work, PDFCallback callback) {
  work->pdfCallback = std::move(callback);
  work->bitmapCallback = nullptr;
  return add(std::move(work));
}

std::shared_ptr<HTMLRenderer::Work> HTMLRenderQueue::add(std::shared_ptr<Work> work) {
  if (!acceptableSize(work->size.value_or(Size{})) || (!work->string && !work->url)) {
    RWLog("render refused: no page, or a size out of bounds");
    MainQueue::async([work] {
      if (work->pdfCallback) work->pdfCallback(std::nullopt);
      else if (work->bitmapCallback) work->bitmapCallback(std::nullopt);
    });
    return work;
  }
  workQueue_.push_back(work);
  startWaiting();
  return work;
}

void HTMLRenderQueue::startWaiting() {
  while (!workQueue_.empty()) {
    const auto& next = workQueue_.front();
    if (rendering_ > 0 && costOf(*next) > maximumRenderBytes - std::min(drawing_, maximumRenderBytes)) return;
    Worker* worker = nullptr;
    if (!workerQueue_.empty()) {
      worker = workerQueue_.front();
      workerQueue_.pop_front();
    } else if (static_cast<int>(all_.size()) < maxWorkers) {
      all_.push_back(std::make_unique<Worker>(*this, static_cast<int>(all_.size()) + 1));
      worker = all_.back().get();
    } else {
      return;
    }
    auto work = std::move(workQueue_.front());
    workQueue_.pop_front();
    ++rendering_;
    drawing_ += costOf(*work);
    worker->load(std::move(work));
  }
}

std::shared_ptr<void> HTMLRenderQueue::hold(std::size_t bytes) {
  ++rendering_;
  drawing_ += bytes;
  std::weak_ptr<bool> alive = alive_;
  return std::shared_ptr<void>(nullptr, [this, alive, bytes](void*) {
    MainQueue::async([this, alive, bytes] {
      if (alive.expired()) return;
      --rendering_;
      drawing_ -= bytes;
      startWaiting();
    });
  });
}

std::size_t HTMLRenderQueue::costOf(const Work& work) {
  Size size = work.size.value_or(Size{});
  return work.pictureBytes + std::size_t(size.width * size.height) * bytesPerPagePixel;
}

void HTMLRenderQueue::ready(Worker* worker, std::size_t cost) {
  --rendering_;
  drawing_ -= cost;
  workerQueue_.push_back(worker);
  startWaiting();
}
