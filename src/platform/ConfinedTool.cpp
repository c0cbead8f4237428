#include "platform/ConfinedTool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>

#include <cerrno>
#include <system_error>

#include "platform/GObjectPtr.h"

namespace {

struct ChildLimits {
  rlim_t memory, fileSize, seconds;
};

// Between fork and exec: only calls that are safe there.
void confineChild(gpointer data) {
  const auto* limits = static_cast<const ChildLimits*>(data);
  struct rlimit memory {limits->memory, limits->memory};
  struct rlimit fileSize {limits->fileSize, limits->fileSize};
  // A second line behind the parent's timer, should the parent be stopped.
  struct rlimit cpu {limits->seconds, limits->seconds};
  struct rlimit core {0, 0};
  setrlimit(RLIMIT_AS, &memory);
  setrlimit(RLIMIT_FSIZE, &fileSize);
  setrlimit(RLIMIT_CPU, &cpu);
  setrlimit(RLIMIT_CORE, &core);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
}

}  // namespace

std::optional<ConfinedTool> ConfinedTool::create() {
  gchar* made = g_dir_make_tmp("korvel-tool-XXXXXX", nullptr);  // mode 0700
  if (!made) return std::nullopt;
  ConfinedTool tool{std::filesystem::path(made)};
  g_free(made);
  return tool;
}

ConfinedTool::ConfinedTool(ConfinedTool&& other) noexcept : folder_(std::move(other.folder_)) { other.folder_.clear(); }

ConfinedTool::~ConfinedTool() {
  if (folder_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);  // links inside are removed, never followed
}

bool ConfinedTool::put(const std::string& name, const Data& bytes) const {
  int fd = ::open((folder_ / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = true;
  for (std::size_t at = 0; at < bytes.size() && written;) {
    ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) at += static_cast<std::size_t>(n);
  }
  return ::close(fd) == 0 && written;
}

std::optional<Data> ConfinedTool::take(const std::string& name, std::size_t limit) const {
  int fd = ::open((folder_ / name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  std::optional<Data> out;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && std::size_t(status.st_size) <= limit) {
    Data bytes(static_cast<std::size_t>(status.st_size));
    std::size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = ::read(fd, bytes.data() + at, bytes.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    if (at == bytes.size()) out = std::move(bytes);
  }
  ::close(fd);
  return out;
}

ConfinedTool::Run ConfinedTool::run(const std::vector<std::string>& argv, const Limits& limits) const {
  Run result;
  if (argv.empty() || folder_.empty()) return result;
  std::vector<const gchar*> arguments;
  for (const auto& a : argv) arguments.push_back(a.c_str());
  arguments.push_back(nullptr);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.time).count() + 2;
  ChildLimits childLimits{limits.memory, limits.fileSize, static_cast<rlim_t>(seconds)};

  // Our own context: the caller's main loop, if any, runs nothing else meanwhile.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GObjectPtr<GSubprocessLauncher> launcher(g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE)));
  g_subprocess_launcher_set_cwd(launcher.get(), folder_.c_str());
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) g_subprocess_launcher_setenv(launcher.get(), name, folder_.c_str(), TRUE);
  g_subprocess_launcher_set_child_setup(launcher.get(), confineChild, &childLimits, nullptr);
  GObjectPtr<GSubprocess> child(g_subprocess_launcher_spawnv(launcher.get(), arguments.data(), nullptr));
  if (child) {
    g_output_stream_close(g_subprocess_get_stdin_pipe(child.get()), nullptr, nullptr);
    struct State {
      GSubprocess* child;
      bool done = false;
      bool timedOut = false;
    } state{child.get()};
    g_subprocess_wait_async(
        child.get(), nullptr,
        [](GObject* source, GAsyncResult* asyncResult, gpointer data) {
          g_subprocess_wait_finish(G_SUBPROCESS(source), asyncResult, nullptr);
          static_cast<State*>(data)->done = true;
        },
        &state);
    GSource* timer = g_timeout_source_new(static_cast<guint>(std::max<std::int64_t>(1, limits.time.count())));
    g_source_set_callback(
        timer,
        [](gpointer data) -> gboolean {
          auto* s = static_cast<State*>(data);
          s->timedOut = true;
          g_subprocess_force_exit(s->child);
          return G_SOURCE_REMOVE;
        },
        &state, nullptr);
    g_source_attach(timer, context);
    while (!state.done) g_main_context_iteration(context, TRUE);
    g_source_destroy(timer);
    g_source_unref(timer);
    if (state.timedOut) result.outcome = Outcome::timedOut;
    else if (g_subprocess_get_if_exited(child.get())) {
      result.outcome = Outcome::exited;
      result.exitCode = g_subprocess_get_exit_status(child.get());
    } else {
      result.outcome = Outcome::killed;
    }
  }
  child.reset();
  launcher.reset();
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  return result;
}
