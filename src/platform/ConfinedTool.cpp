#include "platform/ConfinedTool.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gio.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/FileConfinement.h"
#include "platform/FileSystem.h"
#include "platform/GObjectPtr.h"

namespace {

constexpr const char* folderPrefix = "korvel-tool-";
// How often the folder is measured during a run: at a fast disk's pace, the child writes a
// few tens of megabytes past the bound before it is stopped.
constexpr guint folderCheckMilliseconds = 25;
// A tool that makes more items than this, or folders deeper, is stopped as one that writes too
// much: its folder is never walked without end.
constexpr std::size_t maximumFolderItems = 4096;
constexpr int maximumFolderDepth = 16;

struct ChildLimits {
  rlim_t memory, fileSize, seconds;
  const FileConfinement* confinement;
};

struct Usage {
  std::uintmax_t bytes = 0;
  std::size_t items = 0;
};

// Adds what the folder open as `folder` (taken over) holds, without following a link. False
// past the item or depth bound.
bool addUsage(int folder, int depth, Usage& usage) {
  DIR* dir = ::fdopendir(folder);
  if (!dir) {
    ::close(folder);
    return true;
  }
  bool within = true;
  while (within) {
    const dirent* entry = ::readdir(dir);
    if (!entry) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (++usage.items > maximumFolderItems) {
      within = false;
      break;
    }
    struct stat status {};
    if (::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
    usage.bytes += static_cast<std::uintmax_t>(status.st_blocks) * 512;  // what it takes, not what it claims
    if (!S_ISDIR(status.st_mode)) continue;
    if (depth >= maximumFolderDepth) {
      within = false;
      break;
    }
    int inner = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner >= 0) within = addUsage(inner, depth + 1, usage);
  }
  ::closedir(dir);
  return within;
}

// What `folder` takes on disk; none when it holds more items or deeper folders than bounded.
std::optional<std::uintmax_t> folderUsage(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return 0;
  Usage usage;
  if (!addUsage(fd, 0, usage)) return std::nullopt;
  return usage.bytes;
}

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
  if (limits->confinement && !limits->confinement->applyInChild()) _exit(127);
}

}  // namespace

std::optional<ConfinedTool> ConfinedTool::create() {
  // Our process id in the name tells a folder in use from one a killed application left.
  std::string name = folderPrefix + std::to_string(::getpid()) + "-XXXXXX";
  gchar* made = g_dir_make_tmp(name.c_str(), nullptr);  // mode 0700
  if (!made) return std::nullopt;
  ConfinedTool tool{std::filesystem::path(made)};
  g_free(made);
  return tool;
}

std::size_t ConfinedTool::removeLeftovers() { return fs::removeStaleTemporaries(g_get_tmp_dir(), folderPrefix); }

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
  // Where the kernel can confine file access, a child is never run without it.
  auto confinement = FileConfinement::create(folder_, argv[0]);
  if (!confinement && FileConfinement::available()) return result;
  ChildLimits childLimits{limits.memory, limits.fileSize, static_cast<rlim_t>(seconds),
                          confinement ? &*confinement : nullptr};
  // The child may fill its folder by many files, each within the file size: their sum is bounded too.
  auto before = folderUsage(folder_);
  std::uintmax_t folderBound = before.value_or(0) + limits.folderSpace;

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
      const std::filesystem::path& folder;
      std::uintmax_t folderBound;
      bool done = false;
      bool timedOut = false;
      bool wroteTooMuch = false;
    } state{child.get(), folder_, folderBound};
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
    GSource* folderCheck = g_timeout_source_new(folderCheckMilliseconds);
    g_source_set_callback(
        folderCheck,
        [](gpointer data) -> gboolean {
          auto* s = static_cast<State*>(data);
          auto usage = folderUsage(s->folder);
          if (usage && *usage <= s->folderBound) return G_SOURCE_CONTINUE;
          s->wroteTooMuch = true;
          g_subprocess_force_exit(s->child);
          return G_SOURCE_REMOVE;
        },
        &state, nullptr);
    g_source_attach(folderCheck, context);
    while (!state.done) g_main_context_iteration(context, TRUE);
    for (GSource* source : {timer, folderCheck}) {
      g_source_destroy(source);
      g_source_unref(source);
    }
    // What it wrote after the last look counts too.
    auto usage = folderUsage(folder_);
    if (!usage || *usage > folderBound) state.wroteTooMuch = true;
    if (state.timedOut) result.outcome = Outcome::timedOut;
    else if (state.wroteTooMuch) result.outcome = Outcome::wroteTooMuch;
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
