#include "export/SVGProcessor.h"

#include <gio/gio.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <string_view>

#include "export/SVGXMLDocument.h"
#include "platform/Resources.h"

std::chrono::milliseconds SVGProcessor::timeout{60000};

namespace {

struct Run {
  Data input;
  std::function<void(Data)> completion;
  GSubprocess* child = nullptr;
  GCancellable* cancellable = nullptr;
  guint timer = 0;
  Data output;
  bool outputComplete = false;

  ~Run() {
    if (timer) g_source_remove(timer);
    if (cancellable) g_object_unref(cancellable);
    if (child) g_object_unref(child);
  }
};

// Keeps every run alive until its child has ended and its completion has run.
std::set<std::shared_ptr<Run>>& tasks() {
  static std::set<std::shared_ptr<Run>> runs;
  return runs;
}

bool looksLikeXML(const Data& bytes) {
  if (bytes.empty()) return false;
  auto doc = SVGXMLDocument::create(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  return doc.has_value();
}

std::shared_ptr<Run> find(gpointer data) {
  for (auto& run : tasks())
    if (run.get() == data) return run;
  return nullptr;
}

void ended(GObject* source, GAsyncResult* asyncResult, gpointer data) {
  auto run = find(data);
  if (!run) return;
  tasks().erase(run);
  if (run->timer) g_source_remove(run->timer);
  run->timer = 0;
  bool waited = g_subprocess_wait_finish(G_SUBPROCESS(source), asyncResult, nullptr);
  bool succeeded = run->outputComplete && waited && g_subprocess_get_if_exited(G_SUBPROCESS(source)) &&
                   g_subprocess_get_exit_status(G_SUBPROCESS(source)) == 0 && looksLikeXML(run->output);
  run->completion(succeeded ? std::move(run->output) : std::move(run->input));
}

// All output is in once the child closed its end; its status may follow later.
void communicated(GObject* source, GAsyncResult* asyncResult, gpointer data) {
  auto run = find(data);
  if (!run) return;
  GBytes* out = nullptr;
  GError* error = nullptr;
  run->outputComplete = g_subprocess_communicate_finish(G_SUBPROCESS(source), asyncResult, &out, nullptr, &error);
  if (out) {
    gsize size = 0;
    auto* bytes = static_cast<const std::uint8_t*>(g_bytes_get_data(out, &size));
    if (size) run->output.assign(bytes, bytes + size);
    g_bytes_unref(out);
  }
  if (error) {
    g_error_free(error);
    g_subprocess_force_exit(G_SUBPROCESS(source));
  }
  g_subprocess_wait_async(G_SUBPROCESS(source), nullptr, ended, run.get());
}

gboolean timedOut(gpointer data) {
  auto* run = static_cast<Run*>(data);
  run->timer = 0;
  g_subprocess_force_exit(run->child);
  g_cancellable_cancel(run->cancellable);
  return G_SOURCE_REMOVE;
}

}  // namespace

size_t SVGProcessor::runningCount() { return tasks().size(); }

void SVGProcessor::process(const Data& svg, std::function<void(Data)> completionHandler) {
  namespace fs = std::filesystem;
  fs::path runtime = Resources::path("bin/node", {}, "Node");
  fs::path script = Resources::path("node_modules/.bin/svgo", {}, "SVGO");
  fs::path folder = Resources::path("SVGO");
  std::error_code ec;
  if (!fs::exists(runtime, ec) || !fs::exists(script, ec) || !fs::is_directory(folder, ec)) {
    completionHandler(svg);
    return;
  }

  GSubprocessLauncher* launcher =
      g_subprocess_launcher_new(static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE));
  g_subprocess_launcher_set_cwd(launcher, folder.c_str());
  const gchar* argv[] = {runtime.c_str(), script.c_str(), "-i", "-", "-o", "-", "--multipass", nullptr};
  GError* error = nullptr;
  GSubprocess* child = g_subprocess_launcher_spawnv(launcher, argv, &error);
  g_object_unref(launcher);
  if (!child) {
    g_error_free(error);
    completionHandler(svg);
    return;
  }

  // A child that stops reading must end the write with an error, not the application.
  static const bool pipeSignalIgnored = [] { return std::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)pipeSignalIgnored;

  auto run = std::make_shared<Run>();
  run->input = svg;
  run->completion = std::move(completionHandler);
  run->child = child;
  run->cancellable = g_cancellable_new();
  tasks().insert(run);
  run->timer = g_timeout_add(static_cast<guint>(timeout.count()), timedOut, run.get());
  GBytes* input = g_bytes_new(run->input.data(), run->input.size());
  g_subprocess_communicate_async(child, input, run->cancellable, communicated, run.get());
  g_bytes_unref(input);
}
