#include "Process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "RunLoop.h"

namespace {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  ~UniqueFd() { reset(); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// One child we spawned, until it is reaped. The registry outlives every Process so that a
// child whose owner let go is still reaped, and swept when the application exits.
struct Child {
  pid_t pid = 0;
  double grace = 2.0;
  std::function<void(int waitStatus)> onReaped;
};

std::map<pid_t, std::shared_ptr<Child>>& liveChildren() {
  static auto* children = new std::map<pid_t, std::shared_ptr<Child>>();  // lives for the process
  return *children;
}

bool groupExists(pid_t pgid) { return ::kill(-pgid, 0) == 0 || errno == EPERM; }

void sleepBriefly() {
  struct timespec ts = {0, 10 * 1000 * 1000};
  nanosleep(&ts, nullptr);
}

// At exit the main loop no longer turns: terminate what still runs, wait out the grace here,
// then kill and reap what is left.
void sweepAtExit() {
  auto& children = liveChildren();
  if (children.empty()) return;
  double grace = 0;
  for (auto& [pid, child] : children) {
    ::kill(-pid, SIGTERM);
    grace = std::max(grace, child->grace);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::min(grace, 5.0));
  std::vector<pid_t> waiting;
  for (auto& entry : children) waiting.push_back(entry.first);
  while (!waiting.empty() && std::chrono::steady_clock::now() < deadline) {
    std::erase_if(waiting, [](pid_t pid) {
      pid_t r = ::waitpid(pid, nullptr, WNOHANG);
      return r == pid || (r < 0 && errno == ECHILD);
    });
    if (!waiting.empty()) sleepBriefly();
  }
  for (auto& entry : children)
    if (groupExists(entry.first)) ::kill(-entry.first, SIGKILL);
  for (pid_t pid : waiting) ::waitpid(pid, nullptr, 0);
  children.clear();
}

void onChildReaped(GPid pid, gint waitStatus, gpointer) {
  auto& children = liveChildren();
  auto it = children.find(pid);
  if (it == children.end()) return;
  auto child = it->second;
  children.erase(it);
  g_spawn_close_pid(pid);
  if (auto report = std::move(child->onReaped)) report(waitStatus);
}

// SIGTERM to the group now, SIGKILL to whatever of it is left after the grace.
void terminateGroup(pid_t pgid, double grace) {
  if (!groupExists(pgid)) return;
  ::kill(-pgid, SIGTERM);
  MainQueue::asyncAfter(grace, [pgid] {
    if (groupExists(pgid)) ::kill(-pgid, SIGKILL);
  });
}

struct SpawnSetup {
  pid_t parent = 0;
};

// Runs in the child between fork and exec: async-signal-safe calls only.
void childSetup(gpointer data) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The application died before the line above took effect.
  if (::getppid() != static_cast<SpawnSetup*>(data)->parent) _exit(127);
}

// Writing to a pipe whose reader is gone raises SIGPIPE, which would end the application.
ssize_t writeWithoutSigpipe(int fd, const char* bytes, size_t count) {
  sigset_t pipeOnly, previous;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  ssize_t n;
  do n = ::write(fd, bytes, count);
  while (n < 0 && errno == EINTR);
  int saved = errno;
  if (n < 0 && saved == EPIPE) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipeOnly, nullptr, &zero) > 0) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = saved;
  return n;
}

std::string decodeLine(std::string bytes) {
  if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) return bytes;
  gchar* valid = g_utf8_make_valid(bytes.data(), static_cast<gssize>(bytes.size()));
  std::string text(valid);
  g_free(valid);
  return text;
}

}  // namespace

struct Process::Impl : std::enable_shared_from_this<Process::Impl> {
  struct Reader {
    Stream stream;
    UniqueFd fd;
    guint source = 0;
    std::string tail;  // bytes after the last line feed
  };

  Handlers handlers;
  std::shared_ptr<Child> child;
  pid_t pid = 0;
  double grace = 2.0;
  UniqueFd input;
  Reader out{Stream::output, {}, 0, {}};
  Reader err{Stream::error, {}, 0, {}};
  std::vector<char> buffer = std::vector<char>(64 * 1024);
  bool exited = false;
  bool stopped = false;  // the owner let go: report nothing more

  void startReading(Reader& reader, GUnixFDSourceFunc callback) {
    g_unix_set_fd_nonblocking(reader.fd.get(), TRUE, nullptr);
    reader.source = g_unix_fd_add_full(G_PRIORITY_DEFAULT, reader.fd.get(),
                                       static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), callback, this,
                                       nullptr);
  }

  static gboolean onOutput(gint, GIOCondition, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    return impl->readAvailable(impl->out, 1) ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }
  static gboolean onError(gint, GIOCondition, gpointer data) {
    auto* impl = static_cast<Impl*>(data);
    return impl->readAvailable(impl->err, 1) ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
  }

  // Reads at most `reads` times or until the pipe is empty; answers whether to keep watching.
  bool readAvailable(Reader& reader, int reads) {
    auto self = shared_from_this();  // a handler may drop the Process
    for (int i = 0; i < reads; ++i) {
      if (stopped || !reader.fd) return false;
      ssize_t n = ::read(reader.fd.get(), buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      if (n <= 0) {
        finish(reader);
        return false;
      }
      deliver(reader, std::string_view(buffer.data(), static_cast<size_t>(n)));
    }
    return !stopped;
  }

  void deliver(Reader& reader, std::string_view chunk) {
    reader.tail.append(chunk);
    size_t start = 0;
    for (;;) {
      size_t end = reader.tail.find('\n', start);
      if (end == std::string::npos) break;
      if (!emit(reader.stream, reader.tail.substr(start, end - start))) return;
      start = end + 1;
    }
    reader.tail.erase(0, start);
    while (reader.tail.size() >= maxLineLength) {
      std::string piece = reader.tail.substr(0, maxLineLength);
      reader.tail.erase(0, maxLineLength);
      if (!emit(reader.stream, std::move(piece))) return;
    }
  }

  // Answers false when the owner let go during the report.
  bool emit(Stream stream, std::string bytes) {
    if (stopped) return false;
    if (handlers.line) handlers.line(decodeLine(std::move(bytes)), stream);
    return !stopped;
  }

  // End of one stream: the unterminated last line goes out too.
  void finish(Reader& reader) {
    if (reader.source) {
      g_source_remove(reader.source);
      reader.source = 0;
    }
    reader.fd.reset();
    if (!reader.tail.empty()) emit(reader.stream, std::exchange(reader.tail, {}));
  }

  void childReaped(int waitStatus) {
    auto self = shared_from_this();
    exited = true;
    child.reset();
    input.reset();
    // What the child wrote before it ended is in the pipes now; a grandchild still writing
    // must not hold the report back, so read only what is there.
    for (Reader* reader : {&out, &err}) {
      if (reader->fd) readAvailable(*reader, 256);
      if (stopped) return;
      finish(*reader);
      if (stopped) return;
    }
    Exit report;
    if (WIFSIGNALED(waitStatus))
      report.signal = WTERMSIG(waitStatus);
    else if (WIFEXITED(waitStatus))
      report.code = WEXITSTATUS(waitStatus);
    if (handlers.exit) handlers.exit(report);
  }

  void shutdown() {
    stopped = true;
    for (Reader* reader : {&out, &err}) {
      if (reader->source) g_source_remove(reader->source);
      reader->source = 0;
      reader->fd.reset();
    }
    input.reset();
    if (child) child->onReaped = nullptr;
    child.reset();
    // Also after the leader has ended: what it started may still run in its group.
    terminateGroup(pid, grace);
  }
};

Process::Process(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

Process::~Process() { impl_->shutdown(); }

Result<std::unique_ptr<Process>> Process::launch(Options options, Handlers handlers) {
  static const bool sweepRegistered = [] { return std::atexit(sweepAtExit) == 0; }();
  (void)sweepRegistered;

  std::vector<std::string> argvStrings;
  argvStrings.push_back(options.executable.string());
  argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<const gchar*> argv;
  for (auto& a : argvStrings) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  std::vector<std::string> envStrings;
  std::vector<const gchar*> envp;
  if (options.environment) {
    for (auto& [key, value] : *options.environment) envStrings.push_back(key + "=" + value);
    for (auto& e : envStrings) envp.push_back(e.c_str());
    envp.push_back(nullptr);
  }

  std::string cwd = options.workingDirectory.string();
  SpawnSetup setup{::getpid()};
  GPid pid = 0;
  gint in = -1, out = -1, err = -1;
  GError* error = nullptr;
  gboolean ok = g_spawn_async_with_pipes_and_fds(
      cwd.empty() ? nullptr : cwd.c_str(), argv.data(), options.environment ? envp.data() : nullptr,
      G_SPAWN_DO_NOT_REAP_CHILD, childSetup, &setup, -1, -1, -1, nullptr, nullptr, 0, &pid, &in, &out, &err, &error);
  if (!ok) {
    Error e(ErrorDomain, launchFailed, "Can't launch " + options.executable.string() + ": " + error->message);
    g_error_free(error);
    return fail(std::move(e));
  }
  ::setpgid(pid, pid);  // the child does it too; whichever runs first wins the race with a kill

  auto impl = std::make_shared<Impl>();
  impl->handlers = std::move(handlers);
  impl->pid = pid;
  impl->grace = options.terminationGrace;
  impl->input = UniqueFd(in);
  impl->out.fd = UniqueFd(out);
  impl->err.fd = UniqueFd(err);

  auto child = std::make_shared<Child>();
  child->pid = pid;
  child->grace = options.terminationGrace;
  std::weak_ptr<Impl> weak = impl;
  child->onReaped = [weak](int waitStatus) {
    if (auto impl = weak.lock()) impl->childReaped(waitStatus);
  };
  g_child_watch_add_full(G_PRIORITY_DEFAULT, pid, onChildReaped, nullptr, nullptr);
  liveChildren()[pid] = child;
  impl->child = child;

  impl->startReading(impl->out, Impl::onOutput);
  impl->startReading(impl->err, Impl::onError);
  return std::unique_ptr<Process>(new Process(std::move(impl)));
}

pid_t Process::pid() const { return impl_->pid; }

bool Process::isRunning() const { return !impl_->exited; }

Result<void> Process::write(std::string_view bytes) {
  if (impl_->exited || !impl_->input) return fail(ErrorDomain, notRunning, "The process is not running");
  while (!bytes.empty()) {
    ssize_t n = writeWithoutSigpipe(impl_->input.get(), bytes.data(), bytes.size());
    if (n < 0) {
      Error e(ErrorDomain, writeFailed, "Can't write to the process");
      e.withUnderlying(Error::posix(errno));
      return fail(std::move(e));
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

void Process::closeInput() { impl_->input.reset(); }

std::map<std::string, std::string> Process::currentEnvironment() {
  std::map<std::string, std::string> result;
  gchar** env = g_get_environ();
  for (gchar** e = env; e && *e; ++e) {
    std::string_view entry(*e);
    auto eq = entry.find('=');
    if (eq == std::string_view::npos || eq == 0) continue;
    result.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
  }
  g_strfreev(env);
  return result;
}
