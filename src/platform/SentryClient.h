#pragma once
// The crash-report client. Once started, a crash (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT)
// leaves a small report (signal, time, version) in "$XDG_DATA_HOME/Korvel/Crash Reports" and
// then goes on to whoever handled the signal before us (a sanitizer, the default action), so
// their report and exit still happen. At the next start, pending reports are logged one line each
// and moved to "Sent"; there is no crash service to upload them to. Main thread, except the
// signal handler itself, which only makes async-signal-safe calls.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"

// The application's DSN: public key, crash service host, project.
inline constexpr const char* KorvelCrashReportDSN = "https://7d41c0e9a2f84b6c95e03d1f8a6b2c47@crash.korvel.io/3";

class SentryClient {
 public:
  static constexpr const char* ErrorDomain = "com.korvel.crash-report";
  enum ErrorCode : long { invalidDsn = 100, handlerNotInstalled = 101, reportFolderUnavailable = 102 };

  // `dsn`: "http(s)://<32 lowercase hex digits>@<host>[:port]/<project number>".
  static Result<std::unique_ptr<SentryClient>> create(const std::string& dsn);
  static void setShared(std::unique_ptr<SentryClient> client);
  static SentryClient* shared();

  // Sends the reports of earlier crashes, then installs the crash handlers (once per process).
  Result<void> startCrashHandler();

  // The pending reports moved to "Sent", one line each as logged. Part of the start.
  Result<std::vector<std::string>> sendPendingReports();

  static std::filesystem::path reportsFolder();

  const std::string& publicKey() const { return publicKey_; }
  const std::string& host() const { return host_; }
  const std::string& projectId() const { return projectId_; }

 private:
  SentryClient() = default;
  std::string publicKey_, host_, projectId_;
};
