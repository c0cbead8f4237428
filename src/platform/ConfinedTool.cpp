#include "platform/ConfinedTool.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gio/gio.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/FileConfinement.h"
#include "platform/FileSystem.h"
#include "platform/GObjectPtr.h"
#include "platform/RWLog.h"
#include "platform/SyscallFilter.h"

namespace {

constexpr const char* folderPrefix = "korvel-tool-";
// How often the folder is measured during a run: at a fast disk's pace, the child writes a
// few tens of megabytes past the bound before it is stopped.
constexpr guint folderCheckMilliseconds = 25;
// A tool that makes more items than this, or folders deeper, is stopped as one that writes too
// much: its folder is never walked without end.
constexpr std::size_t maximumFolderItems = 4096;
constexpr int maximumFolderDepth = 16;

// Files a tool may hold open at once: with the file size, a bound on what pipes and open
// files can keep.
constexpr rlim_t maximumOpenFiles = 256;
// The only settings a tool gets: none of the session's (its bus, display, home, agents).
constexpr const char* toolPath = "PATH=/usr/bin:/bin";
// The kernel counts no process of the superuser's against a bound on their number: the
// superuser's tools run as the user who owns nothing.
constexpr uid_t unprivilegedUser = 65534;

struct ChildLimits {
  rlim_t memory, processes, fileSize, seconds;
  std::optional<uid_t> user;  // the tool's, where not ours
  const PrivateFileSystem* space;  // attached over `folder`
  const char* folder;
  const FileConfinement* confinement;
  const SyscallFilter* filter;
};

// Whom the tool runs as where not as us.
std::optional<uid_t> toolUser() {
  if (::geteuid() == 0) return unprivilegedUser;
  return std::nullopt;
}

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
    // A folder that shut us out is opened up again; one that can't be counted counts as too much.
    UniqueFd inner = fs::openFolderAsOwner(::dirfd(dir), entry->d_name);
    if (inner) within = addUsage(inner.release(), depth + 1, usage);
    else within = errno == ENOENT;
  }
  ::closedir(dir);
  return within;
}

// What the folder `name` at `at` takes on disk; none when it holds more items or deeper folders
// than bounded.
std::optional<std::uintmax_t> folderUsage(int at, const std::string& name) {
  UniqueFd fd = fs::openFolderAsOwner(at, name.c_str());
  if (!fd) return std::nullopt;
  Usage usage;
  if (!addUsage(fd.release(), 0, usage)) return std::nullopt;
  return usage.bytes;
}

// Whether the tool may have namespaces of its own, and so a file system of its own: a user
// finds out by making one, the superuser by the kernel's setting.
bool namespacesOpen() {
  if (::geteuid() != 0) return true;
  char count[32] = "";
  UniqueFd setting(::open("/proc/sys/user/max_user_namespaces", O_RDONLY | O_CLOEXEC));
  ssize_t n = setting ? ::read(setting.get(), count, sizeof count - 1) : -1;
  return n > 0 && count[0] != '0';
}

// Namespaces of the tool's own where this user may make them. Its process is the first of a
// process tree that ends with it, whatever its descendants do; it has no network but an
// unconnected loopback of its own, and no System V objects shared with the session.
// In a user namespace of its own, the kernel counts its processes apart from the user's others;
// its mounts are its own.
constexpr unsigned long ownNamespaces = CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWNS;

// Everything below runs between fork and exec, or instead of exec: only calls that are safe
// there, no allocation.

void actByDefault(int signal) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  ::sigaction(signal, &byDefault, nullptr);
}

pid_t forkProcess(unsigned long flags) {
  return static_cast<pid_t>(::syscall(SYS_clone, flags | SIGCHLD, 0, 0, 0, 0));
}

// The process id in a line of /proc/<pid>/stat after the parent's, or 0.
pid_t parentInStat(const char* line, ssize_t length) {
  ssize_t at = length - 1;
  while (at >= 0 && line[at] != ')') --at;
  // ") S <ppid> "
  at += 4;
  pid_t parent = 0;
  while (at < length && line[at] >= '0' && line[at] <= '9') parent = parent * 10 + (line[at++] - '0');
  return parent;
}

// Kills the children of this process that /proc lists; false when /proc can't be read.
bool killChildren() {
  int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return false;
  pid_t self = ::getpid();
  alignas(8) char entries[4096];
  for (;;) {
    long size = ::syscall(SYS_getdents64, proc, entries, sizeof entries);
    if (size <= 0) break;
    for (long at = 0; at < size;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(entries + at);
      at += entry->d_reclen;
      char path[64] = "";
      const char* name = entry->d_name;
      if (name[0] < '1' || name[0] > '9' || std::strlen(name) > 20) continue;
      std::strcat(std::strcat(std::strcat(path, "/proc/"), name), "/stat");
      int stat = ::open(path, O_RDONLY | O_CLOEXEC);
      if (stat < 0) continue;
      char line[1024];
      ssize_t length = ::read(stat, line, sizeof line);
      ::close(stat);
      if (length > 0 && parentInStat(line, length) == self) {
        pid_t child = 0;
        for (const char* c = name; *c; ++c) child = child * 10 + (*c - '0');
        ::kill(child, SIGKILL);
      }
    }
  }
  ::close(proc);
  return true;
}

// The process between us and the tool: it reaps what the tool leaves behind, ends it when
// asked to (SIGTERM), and ends with the tool's status once nothing it started is left.
[[noreturn]] void superviseTool(pid_t tool, bool ownTree, const sigset_t& awaited) {
  // The pipes of the spawn and everything else of ours: the tool alone holds what it was given.
  if (::syscall(SYS_close_range, 0U, ~0U, 0U) != 0)
    for (int fd = 0; fd < 4096; ++fd) ::close(fd);
  int status = 0;
  for (bool ended = false; !ended;) {
    siginfo_t info;
    if (::sigwaitinfo(&awaited, &info) == SIGTERM) ::kill(tool, SIGKILL);
    for (;;) {
      int reaped = 0;
      pid_t pid = ::waitpid(-1, &reaped, WNOHANG);
      if (pid <= 0) break;
      if (pid == tool) {
        status = reaped;
        ended = true;
      }
    }
  }
  // In a process tree of its own, all ended with the tool; otherwise what it left came to us.
  if (!ownTree)
    while (killChildren() && (::waitpid(-1, nullptr, 0) >= 0 || errno == EINTR)) {
    }
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  int signal = WTERMSIG(status);
  actByDefault(signal);
  sigset_t just;
  sigemptyset(&just);
  sigaddset(&just, signal);
  ::sigprocmask(SIG_UNBLOCK, &just, nullptr);
  ::kill(::getpid(), signal);
  ::_exit(128 + signal);
}

// In the child GLib forked: it becomes the supervisor, and its own child goes on to run the tool.
void confineChild(gpointer data) {
  const auto* limits = static_cast<const ChildLimits*>(data);
  if (limits->user) {
    gid_t group = *limits->user;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(group, group, group) != 0 ||
        ::setresuid(*limits->user, *limits->user, *limits->user) != 0)
      ::_exit(127);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  actByDefault(SIGCHLD);
  sigset_t awaited;
  sigemptyset(&awaited);
  sigaddset(&awaited, SIGCHLD);
  sigaddset(&awaited, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &awaited, nullptr);
  pid_t supervisor = ::getpid();
  bool ownTree = true;
  pid_t tool = forkProcess(ownNamespaces);
  if (tool < 0) {
    ownTree = false;
    tool = forkProcess(0);
  }
  if (tool < 0) ::_exit(127);
  if (tool > 0) superviseTool(tool, ownTree, awaited);

  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (!ownTree && ::getppid() != supervisor) ::_exit(127);
  // Its own file system can be attached only in its own namespaces.
  if (limits->space && (!ownTree || !limits->space->attachInChild(limits->folder))) ::_exit(127);
  // Named shared memory is files in /dev/shm, which would outlive the tool and its bounds.
  if (ownTree && !PrivateFileSystem::coverInChild("/dev/shm")) ::_exit(127);
  // The address space of each process times their number bounds the memory of all together.
  struct rlimit memory {limits->memory, limits->memory};
  struct rlimit processes {limits->processes, limits->processes};
  struct rlimit fileSize {limits->fileSize, limits->fileSize};
  // A second line behind the parent's timer, should the parent be stopped.
  struct rlimit cpu {limits->seconds, limits->seconds};
  struct rlimit core {0, 0};
  struct rlimit files {maximumOpenFiles, maximumOpenFiles};
  setrlimit(RLIMIT_AS, &memory);
  setrlimit(RLIMIT_NPROC, &processes);
  setrlimit(RLIMIT_FSIZE, &fileSize);
  setrlimit(RLIMIT_CPU, &cpu);
  setrlimit(RLIMIT_CORE, &core);
  setrlimit(RLIMIT_NOFILE, &files);
  if (limits->confinement && !limits->confinement->applyInChild()) ::_exit(127);
  if (limits->filter && !limits->filter->applyInChild()) ::_exit(127);
}

}  // namespace

namespace {

// Whether `user` (with its own group, and no other) may pass through every folder of `path`.
bool reachableBy(const std::filesystem::path& path, uid_t user) {
  std::error_code ec;
  auto real = std::filesystem::canonical(path, ec);
  if (ec) return false;
  std::filesystem::path walked;
  for (const auto& part : real) {
    walked /= part;
    struct stat status {};
    if (::stat(walked.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    mode_t needed = status.st_uid == user ? S_IXUSR : status.st_gid == user ? S_IXGRP : S_IXOTH;
    if (!(status.st_mode & needed)) return false;
  }
  return true;
}

// Where the tools' folders go: the temporary folder, unless the tool runs as another user who
// can't reach it (the superuser's own private one), then a shared one it can.
Result<std::filesystem::path> toolsBase() {
  std::filesystem::path temporary = g_get_tmp_dir();
  auto user = toolUser();
  if (!user || reachableBy(temporary, *user)) return temporary;
  for (const char* shared : {"/tmp", "/var/tmp"}) {
    if (!reachableBy(shared, *user)) continue;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
      RWLog("The drawing tools run as user " + std::to_string(*user) + ", who can't enter the temporary folder " +
            temporary.string() + ": their private folders are made in " + shared);
    return std::filesystem::path(shared);
  }
  std::string why = "The drawing tools run as user " + std::to_string(*user) + ", who can't enter the temporary folder " +
                    temporary.string() + ", /tmp or /var/tmp; set TMPDIR to a folder others may pass through";
  RWLog(why, 3);
  return fail(NSPOSIXErrorDomain, EACCES, why);
}

}  // namespace

Result<ConfinedTool> ConfinedTool::create() {
  auto base = toolsBase();
  if (!base) return fail(base.error());
  // Our process id in the name tells a folder in use from one a killed application left.
  std::string name = (*base / (folderPrefix + std::to_string(::getpid()) + "-XXXXXX")).string();
  if (!g_mkdtemp_full(name.data(), 0700)) {
    auto error = Error::posix(errno, "The drawing tool's folder can't be made in " + base->string());
    RWLog(error.description(), 3);
    return fail(std::move(error));
  }
  return ConfinedTool{std::filesystem::path(name)};
}

std::size_t ConfinedTool::removeLeftovers() {
  std::size_t removed = fs::removeStaleTemporaries(g_get_tmp_dir(), folderPrefix);
  if (auto base = toolsBase(); base && *base != g_get_tmp_dir()) removed += fs::removeStaleTemporaries(*base, folderPrefix);
  return removed;
}

ConfinedTool::ConfinedTool(ConfinedTool&& other) noexcept
    : folder_(std::move(other.folder_)), space_(std::move(other.space_)) {
  other.folder_.clear();
  other.space_.reset();
}

ConfinedTool::~ConfinedTool() {
  if (folder_.empty()) return;
  (void)fs::removeItem(folder_);  // links inside are removed, never followed
}

namespace {

// A file of the folder's own (a plain name) for us to write, given to the tool's user.
UniqueFd createFile(int at, const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return UniqueFd();
  UniqueFd fd(::openat(at, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (fd)
    if (auto user = toolUser(); user && ::fchown(fd.get(), *user, *user) != 0) return UniqueFd();
  return fd;
}

// Moves the plain files of the folder `name` at `at` into the folder open as `into`; what else
// a run left there (folders, links, pipes) is not carried over.
bool moveFiles(int at, const std::string& name, int into) {
  UniqueFd from = fs::openFolderAsOwner(at, name.c_str());
  DIR* dir = from ? ::fdopendir(::dup(from.get())) : nullptr;
  if (!dir) return false;
  bool moved = true;
  while (const dirent* entry = moved ? ::readdir(dir) : nullptr) {
    struct stat status {};
    if (::fstatat(from.get(), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)) continue;
    UniqueFd source(::openat(from.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    moved = source && ::fstat(source.get(), &status) == 0 && S_ISREG(status.st_mode);
    UniqueFd target = moved ? createFile(into, entry->d_name) : UniqueFd();
    bool copied = bool(target);
    for (off_t at = 0; copied && at < status.st_size;) {
      ssize_t n = ::sendfile(target.get(), source.get(), &at, static_cast<std::size_t>(status.st_size - at));
      if (n < 0 && errno == EINTR) continue;
      copied = n > 0;
    }
    moved = copied && target.close() && ::unlinkat(from.get(), entry->d_name, 0) == 0;
  }
  ::closedir(dir);
  return moved;
}

}  // namespace

bool ConfinedTool::put(const std::string& name, const Data& bytes) const {
  UniqueFd folder = fs::openFolderAsOwner(filesAt(), folderName().c_str());
  UniqueFd fd = folder ? createFile(folder.get(), name) : UniqueFd();
  if (!fd) return false;
  bool written = fs::writeAll(fd.get(), bytes.data(), bytes.size(), name).has_value();
  return fd.close() && written;
}

std::optional<Data> ConfinedTool::take(const std::string& name, std::size_t limit) const {
  if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
  UniqueFd folder = fs::openFolderAsOwner(filesAt(), folderName().c_str());
  if (!folder) return std::nullopt;
  // Looked at before it is opened: a pipe would wait for a writer, a device would be driven.
  struct stat seen {};
  if (::fstatat(folder.get(), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode) ||
      std::size_t(seen.st_size) > limit)
    return std::nullopt;
  UniqueFd fd(::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_dev != seen.st_dev ||
      status.st_ino != seen.st_ino || std::size_t(status.st_size) > limit)
    return std::nullopt;
  auto bytes = fs::readAll(fd.get(), name, limit);
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

ConfinedTool::Run ConfinedTool::run(const std::vector<std::string>& argv, const Limits& limits) const {
  Run result;
  if (argv.empty() || folder_.empty()) return result;
  std::vector<const gchar*> arguments;
  for (const auto& a : argv) arguments.push_back(a.c_str());
  arguments.push_back(nullptr);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.time).count() + 2;
  // The child may fill its folder by many files, each within the file size: their sum is bounded
  // too, by a file system of that size where one can be made, and measured as it runs.
  auto before = folderUsage(filesAt(), folderName());
  std::uintmax_t folderBound = before.value_or(0) + limits.folderSpace;
  if (namespacesOpen()) {
    // A page more: a tool that fills it to the last block has tried to write past its bound.
    // Each run has one of its own: a file system once attached can't be attached again.
    auto space = PrivateFileSystem::create(folderBound + std::size_t(::sysconf(_SC_PAGESIZE)), maximumFolderItems,
                                           toolUser());
    if (!space && space_) return result;
    if (space && !moveFiles(filesAt(), folderName(), space->root())) return result;
    if (space) space_ = std::move(space);
  }
  if (auto user = toolUser(); !space_ && user && ::chown(folder_.c_str(), *user, *user) != 0) return result;
  // Where the kernel can confine file access, a child is never run without it.
  std::string folderSeen = space_ ? "/proc/self/fd/" + std::to_string(space_->root()) : folder_.string();
  auto confinement = FileConfinement::create(folderSeen, argv[0]);
  if (!confinement && FileConfinement::available()) return result;
  auto filter = SyscallFilter::create();
  std::size_t processes = std::max<std::size_t>(1, limits.processes);
  ChildLimits childLimits{static_cast<rlim_t>(limits.memory / processes),
                          static_cast<rlim_t>(processes),
                          static_cast<rlim_t>(limits.fileSize),
                          static_cast<rlim_t>(seconds),
                          toolUser(),
                          space_ ? &*space_ : nullptr,
                          folder_.c_str(),
                          confinement ? &*confinement : nullptr,
                          filter ? &*filter : nullptr};

  // Our own context: the caller's main loop, if any, runs nothing else meanwhile.
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GObjectPtr<GSubprocessLauncher> launcher(g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE)));
  g_subprocess_launcher_set_cwd(launcher.get(), folder_.c_str());
  std::vector<std::string> settings = {toolPath};
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) settings.push_back(std::string(name) + "=" + folder_.string());
  std::vector<const gchar*> environment;
  for (const auto& setting : settings) environment.push_back(setting.c_str());
  environment.push_back(nullptr);
  g_subprocess_launcher_set_environ(launcher.get(), const_cast<gchar**>(environment.data()));
  g_subprocess_launcher_set_child_setup(launcher.get(), confineChild, &childLimits, nullptr);
  GObjectPtr<GSubprocess> child(g_subprocess_launcher_spawnv(launcher.get(), arguments.data(), nullptr));
  if (child) {
    g_output_stream_close(g_subprocess_get_stdin_pipe(child.get()), nullptr, nullptr);
    struct State {
      GSubprocess* child;
      int filesAt;
      std::string folder;
      std::uintmax_t folderBound;
      bool done = false;
      bool timedOut = false;
      bool wroteTooMuch = false;
    } state{child.get(), filesAt(), folderName(), folderBound};
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
          g_subprocess_send_signal(s->child, SIGTERM);  // its supervisor ends all it started
          return G_SOURCE_REMOVE;
        },
        &state, nullptr);
    g_source_attach(timer, context);
    GSource* folderCheck = g_timeout_source_new(folderCheckMilliseconds);
    g_source_set_callback(
        folderCheck,
        [](gpointer data) -> gboolean {
          auto* s = static_cast<State*>(data);
          auto usage = folderUsage(s->filesAt, s->folder);
          if (usage && *usage <= s->folderBound) return G_SOURCE_CONTINUE;
          s->wroteTooMuch = true;
          g_subprocess_send_signal(s->child, SIGTERM);
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
    auto usage = folderUsage(filesAt(), folderName());
    if (!usage || *usage > folderBound || (space_ && space_->full())) state.wroteTooMuch = true;
    if (state.timedOut) result.outcome = Outcome::timedOut;
    else if (state.wroteTooMuch) result.outcome = Outcome::wroteTooMuch;
    else if (g_subprocess_get_if_exited(child.get())) {
      result.outcome = Outcome::exited;
      result.exitCode = g_subprocess_get_exit_status(child.get());
      // What the child answers where its confinement could not be set up, so it did not run.
      if (result.exitCode == 127)
        RWLog(argv[0] + " ended with status 127: it was not found, or could not be confined and did not run", 3);
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
