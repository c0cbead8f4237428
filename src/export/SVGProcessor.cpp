#include "export/SVGProcessor.h"

#include <gio/gio.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <string_view>

#include "export/SVGXMLDocument.h"
#include "platform/Resources.h"

std::chrono::milliseconds SVGProcessor::timeout{60000};

namespace {

constexpr gsize readChunk = 64 * 1024;

struct Run {
  Data input;
  std::function<void(Data)> completion;
  GSubprocess* child = nullptr;
  GCancellable* cancellable = nullptr;
  guint timer = 0;
  Data output;
  std::size_t outputLimit = 0;
  bool outputComplete = false;
  bool stopped = false;
  // The write, the reads and the wait: the run ends when none is left.
  int pending = 0;
  bool waited = false;

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

// Ends the child and every pipe operation still waiting; the input goes back.
void stop(Run& run) {
  run.stopped = true;
  g_subprocess_force_exit(run.child);
  g_cancellable_cancel(run.cancellable);
}

void finishIfDone(const std::shared_ptr<Run>& run) {
  if (run->pending > 0) return;
  tasks().erase(run);
  if (run->timer) g_source_remove(run->timer);
  run->timer = 0;
  bool succeeded = !run->stopped && run->outputComplete && run->waited && g_subprocess_get_if_exited(run->child) &&
                   g_subprocess_get_exit_status(run->child) == 0 && looksLikeXML(run->output);
  run->completion(succeeded ? std::move(run->output) : std::move(run->input));
}

void ended(GObject* source, GAsyncResult* asyncResult, gpointer data) {
  auto run = find(data);
  if (!run) return;
  run->waited = g_subprocess_wait_finish(G_SUBPROCESS(source), asyncResult, nullptr);
  --run->pending;
  finishIfDone(run);
}

void written(GObject* source, GAsyncResult* asyncResult, gpointer data) {
  auto run = find(data);
  if (!run) return;
  // A child that stops reading fails the write; its answer decides the run.
  GError* error = nullptr;
  if (g_output_stream_write_all_finish(G_OUTPUT_STREAM(source), asyncResult, nullptr, &error))
    g_output_stream_close(G_OUTPUT_STREAM(source), nullptr, nullptr);
  if (error) g_error_free(error);
  --run->pending;
  finishIfDone(run);
}

void readSome(const std::shared_ptr<Run>& run);

void chunkRead(GObject* source, GAsyncResult* asyncResult, gpointer data) {
  auto run = find(data);
  if (!run) return;
  GError* error = nullptr;
  GBytes* chunk = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), asyncResult, &error);
  gsize size = 0;
  const auto* bytes = chunk ? static_cast<const std::uint8_t*>(g_bytes_get_data(chunk, &size)) : nullptr;
  if (error) {
    g_error_free(error);
    if (!run->stopped) stop(*run);
  } else if (size == 0) {
    run->outputComplete = true;
  } else if (size > run->outputLimit - run->output.size()) {
    // No optimised SVG is this much larger than its input: a runaway child.
    stop(*run);
  } else {
    run->output.insert(run->output.end(), bytes, bytes + size);
  }
  if (chunk) g_bytes_unref(chunk);
  if (!run->stopped && !run->outputComplete) return readSome(run);
  --run->pending;
  finishIfDone(run);
}

void readSome(const std::shared_ptr<Run>& run) {
  g_input_stream_read_bytes_async(g_subprocess_get_stdout_pipe(run->child), readChunk, G_PRIORITY_DEFAULT,
                                  run->cancellable, chunkRead, run.get());
}

gboolean timedOut(gpointer data) {
  auto* run = static_cast<Run*>(data);
  run->timer = 0;
  stop(*run);
  return G_SOURCE_REMOVE;
}

}  // namespace

size_t SVGProcessor::runningCount() { return tasks().size(); }

std::size_t SVGProcessor::maximumOutputSize(std::size_t inputSize) {
  constexpr std::size_t floor = 1024 * 1024;
  return inputSize > (SIZE_MAX / 4) ? SIZE_MAX : std::max(floor, inputSize * 4);
}

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
  run->outputLimit = maximumOutputSize(svg.size());
  run->pending = 3;
  tasks().insert(run);
  run->timer = g_timeout_add(static_cast<guint>(timeout.count()), timedOut, run.get());
  // The run owns the input, and outlives the write: it ends only once the write has finished.
  g_output_stream_write_all_async(g_subprocess_get_stdin_pipe(child), run->input.data(), run->input.size(),
                                  G_PRIORITY_DEFAULT, run->cancellable, written, run.get());
  readSome(run);
  g_subprocess_wait_async(child, nullptr, ended, run.get());
}
