#include "export/HTMLRenderQueue.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <system_error>

#include "platform/FileSystem.h"
#include "platform/OffscreenWindow.h"
#include "platform/RWLog.h"
#include "platform/RunLoop.h"

namespace {

constexpr double settleInterval = 0.3;
// CSS pixels are 0.75 points: a page of W × H pixels prints on a W × H pixel page.
constexpr double pointsPerPixel = 0.75;

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

 private:
  struct Job {
    std::shared_ptr<Work> work;
    std::uint64_t generation = 0;
    Clock::time_point start;
    bool ownLoadPending = true;  // the one navigation the page may make: its own load
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
  void captureTile(std::uint64_t generation, int x, int y, std::shared_ptr<Bitmap> composite);
  void snapshot(std::function<void(cairo_surface_t*)> then);
  void printPDF();
  void evaluate(const std::string& script, std::function<void(std::optional<std::string>)> then);

  static void onResourceStarted(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest*, gpointer self);
  static void onResourceFinished(WebKitWebResource*, gpointer tag);
  static void onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self);
  static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer self);
  static void onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self);

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
  WebKitUserStyleSheet* noScrollbars = webkit_user_style_sheet_new(
      "::-webkit-scrollbar { display: none; }", WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_STYLE_LEVEL_USER,
      nullptr, nullptr);
  webkit_user_content_manager_add_style_sheet(content, noScrollbars);
  webkit_user_style_sheet_unref(noScrollbars);
  view_ = GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "settings", settings, "user-content-manager", content, nullptr));
  g_object_unref(settings);
  g_object_unref(content);
  g_object_ref_sink(view_);
  GdkRGBA clear{0, 0, 0, 0};
  webkit_web_view_set_background_color(WEBKIT_WEB_VIEW(view_), &clear);
  webkit_web_context_set_cache_model(webkit_web_view_get_context(WEBKIT_WEB_VIEW(view_)), WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
  g_signal_connect(view_, "resource-load-started", G_CALLBACK(onResourceStarted), this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
  g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
  g_signal_connect(view_, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
  window_ = std::make_unique<OffscreenWindow>(view_, 1, 1);
}

HTMLRenderQueue::Worker::~Worker() {
  *alive_ = false;
  g_signal_handlers_disconnect_by_data(view_, this);
  window_.reset();
  g_object_unref(view_);
}

void HTMLRenderQueue::Worker::setSize(int width, int height) {
  int w = std::min(width, tileSize), h = std::min(height, tileSize);
  gtk_widget_set_size_request(view_, w, h);
  gtk_window_resize(GTK_WINDOW(window_->window()), w, h);
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
    RWLog("render did not finish in time; the worker starts over");
    // A page that hangs keeps its web process busy: a fresh one serves the next work.
    webkit_web_view_terminate_web_process(WEBKIT_WEB_VIEW(view_));
    // Ending the web process may already have ended this work, and started the next.
    if (current(generation)) finish(std::nullopt, std::nullopt);
  });
  if (job_->work->string) {
    webkit_web_view_load_html(WEBKIT_WEB_VIEW(view_), job_->work->string->html.c_str(), job_->work->string->base.c_str());
  } else if (job_->work->url) {
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view_), job_->work->url->c_str());
  } else {
    MainQueue::async([this, alive, generation] {
      if (!alive.expired() && current(generation)) finish(std::nullopt, std::nullopt);
    });
  }
}

void HTMLRenderQueue::Worker::onResourceStarted(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest*,
                                                gpointer self) {
  auto* worker = static_cast<Worker*>(self);
  if (!worker->job_ || worker->job_->isDone) return;
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
  if (!worker->job_ || event != WEBKIT_LOAD_FINISHED || webkit_web_view_is_loading(view)) return;
  worker->job_->frameLoaded = true;
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
  // The blank page empties a worker; it leads nowhere.
  if (uri && std::strcmp(uri, "about:blank") == 0) return FALSE;
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

void HTMLRenderQueue::Worker::onWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason, gpointer self) {
  auto* worker = static_cast<Worker*>(self);
  if (worker->job_ && !worker->job_->capturing) worker->finish(std::nullopt, std::nullopt);
}

void HTMLRenderQueue::Worker::resetTimer() {
  Job* job = job_.get();
  if (!job || job->isDone || !job->frameLoaded) return;
  std::weak_ptr<bool> alive = alive_;
  auto generation = job->generation;
  job->timer = Timer::scheduled(settleInterval, false, [this, alive, generation] {
    if (alive.expired()) return;
    Job* job = current(generation);
    if (!job || job->isDone) return;
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
  evaluate("document.readyState", [this, alive, generation](std::optional<std::string> state) {
    if (alive.expired()) return;
    Job* job = current(generation);
    if (!job || job->isDone) return;
    job->checking = false;
    if (state && *state == "complete") return settled();
    resetTimer();
  });
}

void HTMLRenderQueue::Worker::settled() {
  Job* job = job_.get();
  if (job->work->userScript) evaluate(*job->work->userScript, nullptr);
  job->isDone = true;
  job->timer.reset();
  evaluate(waitForRenderJS(), nullptr);
}

void HTMLRenderQueue::Worker::snapshot(std::function<void(cairo_surface_t*)> then) {
  struct Call {
    std::function<void(cairo_surface_t*)> then;
    std::weak_ptr<bool> alive;
  };
  auto* call = new Call{std::move(then), alive_};
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
        if (!call->alive.expired()) call->then(surface);
        if (surface) cairo_surface_destroy(surface);
      },
      call);
}

void HTMLRenderQueue::Worker::done() {
  Job* job = job_.get();
  if (!job || job->capturing) return;
  job->capturing = true;
  if (job->work->pdfCallback) return printPDF();
  Size size = job->work->size.value_or(Size{});
  int w = static_cast<int>(size.width), h = static_cast<int>(size.height);
  auto generation = job->generation;
  if (w <= tileSize && h <= tileSize) {
    snapshot([this, generation](cairo_surface_t* surface) {
      if (current(generation)) finish(bitmapFromSurface(surface), std::nullopt);
    });
    return;
  }
  auto composite = Bitmap::make(w, h);
  if (!composite) return finish(std::nullopt, std::nullopt);
  captureTile(generation, 0, 0, std::make_shared<Bitmap>(std::move(*composite)));
}

void HTMLRenderQueue::Worker::captureTile(std::uint64_t generation, int x, int y, std::shared_ptr<Bitmap> composite) {
  int W = composite->width, H = composite->height;
  int viewW = std::min(W, tileSize), viewH = std::min(H, tileSize);
  // The page scrolls no further than its end; the last tile of a row or column overlaps.
  int sx = std::min(x, W - viewW), sy = std::min(y, H - viewH);
  std::string scroll = "window.scrollTo(" + std::to_string(sx) + ", " + std::to_string(sy) + "); 'ok'";
  evaluate(scroll, [this, generation, x, y, sx, sy, composite](std::optional<std::string>) {
    if (!current(generation)) return;
    snapshot([this, generation, x, y, sx, sy, composite](cairo_surface_t* surface) {
      if (!current(generation)) return;
      auto tile = bitmapFromSurface(surface);
      if (!tile) {
        RWLog("weird image: no 32-bit pixels in a tile");
        return finish(std::nullopt, std::nullopt);
      }
      int W = composite->width, H = composite->height;
      int fromX = x - sx, fromY = y - sy;
      int n = std::min({W - x, tile->width - fromX, tileSize});
      for (int r = 0; n > 0 && r < tileSize && fromY + r < tile->height && y + r < H; ++r)
        std::memcpy(composite->rgba.data() + (static_cast<std::size_t>(y + r) * W + x) * 4, tile->pixel(fromX, fromY + r),
                    static_cast<std::size_t>(n) * 4);
      if (x + tileSize < W) return captureTile(generation, x + tileSize, y, composite);
      if (y + tileSize < H) return captureTile(generation, 0, y + tileSize, composite);
      finish(std::move(*composite), std::nullopt);
    });
  });
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
  GtkPaperSize* paper = gtk_paper_size_new_custom("korvel-export", "Export", size.width * pointsPerPixel,
                                                  size.height * pointsPerPixel, GTK_UNIT_POINTS);
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
    bool failed = false;
  };
  auto* print = new Print{this, alive_, generation, *folder};
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
        // Leave the print operation's signal before the worker moves on.
        MainQueue::async([worker, alive, generation, pdf = std::move(pdf)]() mutable {
          if (alive.expired() || !worker->current(generation)) return;
          if (pdf) return worker->finish(std::nullopt, std::move(pdf));
          // Vector printing failed: a raster page keeps the export.
          worker->snapshot([worker, generation](cairo_surface_t* surface) {
            if (!worker->current(generation)) return;
            auto bitmap = bitmapFromSurface(surface);
            worker->finish(std::nullopt, bitmap ? rasterPDF(*bitmap) : std::nullopt);
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
  if (queue_.workQueue_.empty()) webkit_web_view_load_html(WEBKIT_WEB_VIEW(view_), "", "about:blank");
  // The worker takes the next work before this callback runs.
  queue_.ready(this);
  if (job->work->pdfCallback) job->work->pdfCallback(std::move(pdf));
  else if (job->work->bitmapCallback) job->work->bitmapCallback(std::move(bitmap));
}

HTMLRenderQueue& HTMLRenderQueue::shared() {
  static HTMLRenderQueue* queue = new HTMLRenderQueue();  // lives as long as the process
  return *queue;
}

HTMLRenderQueue::HTMLRenderQueue() = default;
HTMLRenderQueue::~HTMLRenderQueue() = default;

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
  if (!workerQueue_.empty()) {
    Worker* worker = workerQueue_.front();
    workerQueue_.pop_front();
    worker->load(work);
  } else if (static_cast<int>(all_.size()) < maxWorkers) {
    all_.push_back(std::make_unique<Worker>(*this, static_cast<int>(all_.size()) + 1));
    all_.back()->load(work);
  } else {
    workQueue_.push_back(work);
  }
  return work;
}

void HTMLRenderQueue::ready(Worker* worker) {
  if (!workQueue_.empty()) {
    auto work = workQueue_.front();
    workQueue_.pop_front();
    worker->load(work);
  } else {
    workerQueue_.push_back(worker);
  }
}
