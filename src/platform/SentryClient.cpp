#include "platform/SentryClient.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>

#include "platform/AppBundleInfo.h"
#include "platform/FileSystem.h"
#include "platform/RWLog.h"
#include "platform/Xdg.h"

// Under the sanitizers their runtime owns the thread's alternate signal stack; we leave it be.
#if defined(__SANITIZE_ADDRESS__)
#define KORVEL_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define KORVEL_UNDER_SANITIZER 1
#endif
#endif
#ifndef KORVEL_UNDER_SANITIZER
#define KORVEL_UNDER_SANITIZER 0
#endif

namespace {

constexpr int crashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr const char* crashSignalNames[] = {"SIGSEGV", "SIGBUS", "SIGILL", "SIGFPE", "SIGABRT"};
constexpr std::size_t signalCount = sizeof(crashSignals) / sizeof(crashSignals[0]);

// Everything the handler needs is prepared before it can run: no allocation, no locks in there.
struct sigaction previousActions[signalCount];
bool ownsHandler[signalCount];
char reportFolder[4096];  // with a trailing '/'
char versionText[256];
std::atomic<bool> handlersInstalled{false};
std::atomic<bool> crashing{false};
#if !KORVEL_UNDER_SANITIZER
alignas(16) char alternateStack[1 << 16];
#endif

int indexOfSignal(int sig) {
  for (std::size_t i = 0; i < signalCount; ++i)
    if (crashSignals[i] == sig) return static_cast<int>(i);
  return -1;
}

struct Buffer {
  char* data;
  std::size_t capacity, length = 0;
  void append(const char* text) {
    while (*text && length + 1 < capacity) data[length++] = *text++;
    data[length] = '\0';
  }
  void append(unsigned long long number) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + number % 10);
      number /= 10;
    } while (number && n < 24);
    while (n && length + 1 < capacity) data[length++] = digits[--n];
    data[length] = '\0';
  }
};

void writeReport(int sig) {
  int index = indexOfSignal(sig);
  unsigned long long now = static_cast<unsigned long long>(time(nullptr));
  unsigned long long pid = static_cast<unsigned long long>(getpid());
  char path[sizeof(reportFolder) + 64];
  Buffer name{path, sizeof(path)};
  name.append(reportFolder);
  name.append(now);
  name.append("-");
  name.append(pid);
  name.append(".crash");
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return;
  char text[512];
  Buffer report{text, sizeof(text)};
  report.append("signal: ");
  report.append(static_cast<unsigned long long>(sig));
  report.append(" (");
  report.append(index >= 0 ? crashSignalNames[index] : "unknown");
  report.append(")\ntime: ");
  report.append(now);
  report.append("\nversion: ");
  report.append(versionText);
  report.append("\n");
  std::size_t written = 0;
  while (written < report.length) {
    ssize_t n = write(fd, text + written, report.length - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  close(fd);
}

void onCrash(int sig, siginfo_t* info, void*) {
  if (!crashing.exchange(true)) {
    writeReport(sig);
    // Back to the handlers we found: what follows (the sanitizer's report and abort) is theirs.
    for (std::size_t i = 0; i < signalCount; ++i)
      if (ownsHandler[i]) sigaction(crashSignals[i], &previousActions[i], nullptr);
  }
  // A fault raised by the processor happens again when we return, now in the previous handler,
  // with its genuine context. A signal someone sent is sent again; it arrives once we return.
  bool fault = info && info->si_code > 0 && sig != SIGABRT;
  if (!fault) raise(sig);
}

std::string printable(std::string text) {
  std::string out;
  for (char c : text)
    if (std::isprint(static_cast<unsigned char>(c))) out += c;
  return out.substr(0, 80);
}

bool isLowerHex(const std::string& text) {
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) return false;
  return true;
}

std::unique_ptr<SentryClient>& sharedSlot() {
  static std::unique_ptr<SentryClient> client;
  return client;
}

}  // namespace

Result<std::unique_ptr<SentryClient>> SentryClient::create(const std::string& dsn) {
  auto malformed = [](const std::string& why) {
    return fail(ErrorDomain, invalidDsn, "The crash-report DSN is malformed: " + why + ".");
  };
  std::string rest;
  if (dsn.rfind("https://", 0) == 0) rest = dsn.substr(8);
  else if (dsn.rfind("http://", 0) == 0) rest = dsn.substr(7);
  else return malformed("it is not an http or https address");
  auto at = rest.find('@');
  if (at == std::string::npos) return malformed("it has no public key");
  std::string key = rest.substr(0, at);
  if (key.size() != 32 || !isLowerHex(key)) return malformed("the public key is not 32 lowercase hexadecimal digits");
  rest = rest.substr(at + 1);
  auto slash = rest.find('/');
  if (slash == std::string::npos) return malformed("it has no project");
  std::string host = rest.substr(0, slash), project = rest.substr(slash + 1);
  if (host.empty() || host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") !=
                          std::string::npos)
    return malformed("the host is not valid");
  if (project.empty() || project.size() > 18 || project.find_first_not_of("0123456789") != std::string::npos)
    return malformed("the project is not a number");
  auto client = std::unique_ptr<SentryClient>(new SentryClient());
  client->publicKey_ = key;
  client->host_ = host;
  client->projectId_ = project;
  return client;
}

void SentryClient::setShared(std::unique_ptr<SentryClient> client) { sharedSlot() = std::move(client); }
SentryClient* SentryClient::shared() { return sharedSlot().get(); }

std::filesystem::path SentryClient::reportsFolder() { return xdg::dataHome() / "Korvel" / "Crash Reports"; }

Result<std::vector<std::string>> SentryClient::sendPendingReports() {
  auto folder = reportsFolder();
  std::vector<std::string> lines;
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return lines;
  std::vector<std::filesystem::path> pending;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.is_regular_file() && entry.path().extension() == ".crash") pending.push_back(entry.path());
  if (ec) return fail(Error::file(ec.value(), folder.string()));
  std::sort(pending.begin(), pending.end());
  if (pending.empty()) return lines;
  auto sent = folder / "Sent";
  if (auto made = fs::createDirectories(sent, 0700); !made) return fail(made.error());
  for (const auto& report : pending) {
    std::map<std::string, std::string> fields;
    std::ifstream in(report);
    std::string line;
    for (int n = 0; n < 16 && std::getline(in, line); ++n) {
      auto colon = line.find(": ");
      if (colon != std::string::npos) fields[line.substr(0, colon)] = printable(line.substr(colon + 2));
    }
    std::string text = "Crash report " + printable(report.filename().string()) + ": signal " +
                       (fields.count("signal") ? fields["signal"] : "unknown") + ", time " +
                       (fields.count("time") ? fields["time"] : "unknown") + ", version " +
                       (fields.count("version") ? fields["version"] : "unknown") +
                       "; no crash service is set up, kept in Sent";
    if (auto moved = fs::moveItem(report, sent / report.filename()); !moved) return fail(moved.error());
    RWLog(text);
    lines.push_back(std::move(text));
  }
  return lines;
}

Result<void> SentryClient::startCrashHandler() {
  auto folder = reportsFolder();
  if (auto made = fs::createDirectories(folder, 0700); !made)
    return fail(Error(ErrorDomain, reportFolderUnavailable, "The crash report folder cannot be made.")
                    .withUnderlying(made.error()));
  ::chmod(folder.c_str(), 0700);
  if (auto sent = sendPendingReports(); !sent) RWLog("Crash reports: " + sent.error().description(), 3);
  if (handlersInstalled.load()) return {};

  std::string prefix = folder.string() + "/";
  if (prefix.size() >= sizeof(reportFolder))
    return fail(ErrorDomain, reportFolderUnavailable, "The crash report folder's path is too long.");
  std::memcpy(reportFolder, prefix.c_str(), prefix.size() + 1);
  const auto& bundle = AppBundleInfo::main();
  std::string version = bundle.string("CFBundleShortVersionString").value_or("?") + " (" +
                        bundle.string("CFBundleVersion").value_or("?") + ")";
  std::snprintf(versionText, sizeof(versionText), "%s", printable(version).c_str());

#if !KORVEL_UNDER_SANITIZER
  // A stack overflow needs a stack of its own to report on; keep any the process already has.
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
    stack_t ours{};
    ours.ss_sp = alternateStack;
    ours.ss_size = sizeof(alternateStack);
    sigaltstack(&ours, nullptr);
  }
#endif

  struct sigaction action {};
  action.sa_sigaction = onCrash;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  int installed = 0;
  for (std::size_t i = 0; i < signalCount; ++i) {
    if (sigaction(crashSignals[i], &action, &previousActions[i]) != 0) continue;
    // A runtime that keeps its own handler (a sanitizer told to) is left in charge.
    struct sigaction now {};
    sigaction(crashSignals[i], nullptr, &now);
    ownsHandler[i] = (now.sa_flags & SA_SIGINFO) && now.sa_sigaction == onCrash;
    if (ownsHandler[i]) ++installed;
    else RWLog(std::string("Crash reports: ") + crashSignalNames[i] + " stays with the handler already in place", 1);
  }
  if (installed == 0) return fail(ErrorDomain, handlerNotInstalled, "No crash handler could be installed.");
  handlersInstalled = true;
  return {};
}
