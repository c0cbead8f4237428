// The crash-report client: its address, and a crashing child that leaves a report which the
// next start logs and moves to "Sent", with a sanitizer's own report still made.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "platform/SentryClient.h"
#include "support/TestEnvironment.h"

namespace {

std::vector<std::filesystem::path> reportsIn(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().extension() == ".crash") found.push_back(entry.path());
  return found;
}

std::string contents(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

unsigned modeOf(const std::filesystem::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

// Runs the helper; answers its shell status and its standard error.
int runHelper(const std::string& what, std::string* errors) {
  auto log = testenv::freshFolder("helper") / "stderr.txt";
  int status = testenv::run("'" + std::string(CRASH_HELPER) + "' " + what + " 2>'" + log.string() + "'");
  *errors = contents(log);
  return status;
}

struct CrashReports : testing::Test {
  void SetUp() override { std::filesystem::remove_all(SentryClient::reportsFolder()); }
};

}  // namespace

TEST(SentryClientDsn, TheApplicationsDsnIsAcceptedAndMalformedOnesAreNot) {
  auto client = SentryClient::create(KorvelCrashReportDSN);
  ASSERT_TRUE(client) << client.error().description();
  EXPECT_EQ((*client)->publicKey(), "7d41c0e9a2f84b6c95e03d1f8a6b2c47");
  EXPECT_EQ((*client)->host(), "crash.korvel.io");
  EXPECT_EQ((*client)->projectId(), "3");

  for (const char* dsn : {"", "crash.korvel.io/3", "ftp://7d41c0e9a2f84b6c95e03d1f8a6b2c47@crash.korvel.io/3",
                          "https://crash.korvel.io/3", "https://7D41C0E9A2F84B6C95E03D1F8A6B2C47@crash.korvel.io/3",
                          "https://7d41c0e9a2f84b6c95e03d1f8a6b2c4@crash.korvel.io/3",
                          "https://7d41c0e9a2f84b6c95e03d1f8a6b2c47@crash.korvel.io",
                          "https://7d41c0e9a2f84b6c95e03d1f8a6b2c47@crash.korvel.io/three",
                          "https://7d41c0e9a2f84b6c95e03d1f8a6b2c47@/3",
                          "https://7d41c0e9a2f84b6c95e03d1f8a6b2c47@crash korvel/3"}) {
    auto bad = SentryClient::create(dsn);
    ASSERT_FALSE(bad) << dsn;
    EXPECT_EQ(bad.error().domain, SentryClient::ErrorDomain);
    EXPECT_EQ(bad.error().code, SentryClient::invalidDsn);
  }

  SentryClient::setShared(std::move(*client));
  ASSERT_NE(SentryClient::shared(), nullptr);
  SentryClient::setShared(nullptr);
  EXPECT_EQ(SentryClient::shared(), nullptr);
}

TEST_F(CrashReports, AFaultLeavesAPrivateReportAndTheSanitizerStillReports) {
  std::string errors;
  EXPECT_NE(runHelper("segv", &errors), 0);
  auto folder = SentryClient::reportsFolder();
  auto reports = reportsIn(folder);
  ASSERT_EQ(reports.size(), 1u) << errors;
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(reports[0]), 0600u);
  std::string report = contents(reports[0]);
  EXPECT_NE(report.find("signal: 11 (SIGSEGV)\n"), std::string::npos) << report;
  EXPECT_NE(report.find("time: "), std::string::npos);
  EXPECT_NE(report.find("version: "), std::string::npos);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer's handler was chained to, not displaced.
  EXPECT_NE(errors.find("AddressSanitizer: SEGV"), std::string::npos) << errors;
#endif
}

TEST_F(CrashReports, AnAbortAndASentSignalEachLeaveOneReport) {
  std::string errors;
  EXPECT_NE(runHelper("abort", &errors), 0);
  auto reports = reportsIn(SentryClient::reportsFolder());
  ASSERT_EQ(reports.size(), 1u) << errors;
  EXPECT_NE(contents(reports[0]).find("signal: 6 (SIGABRT)"), std::string::npos);
  std::filesystem::remove(reports[0]);

  EXPECT_NE(runHelper("kill-segv", &errors), 0);
  reports = reportsIn(SentryClient::reportsFolder());
  ASSERT_EQ(reports.size(), 1u) << errors;
  EXPECT_NE(contents(reports[0]).find("signal: 11 (SIGSEGV)"), std::string::npos);
}

TEST_F(CrashReports, TheNextStartLogsPendingReportsAndMovesThemToSent) {
  std::string errors;
  ASSERT_NE(runHelper("segv", &errors), 0);
  ASSERT_EQ(reportsIn(SentryClient::reportsFolder()).size(), 1u) << errors;

  // A start that does not crash sends the report of the one before.
  ASSERT_EQ(runHelper("", &errors), 0) << errors;
  auto folder = SentryClient::reportsFolder();
  EXPECT_TRUE(reportsIn(folder).empty());
  auto sent = reportsIn(folder / "Sent");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(modeOf(folder / "Sent"), 0700u);

  // What the start logs, one line a report.
  ASSERT_NE(runHelper("abort", &errors), 0);
  auto client = SentryClient::create(KorvelCrashReportDSN);
  ASSERT_TRUE(client);
  auto lines = (*client)->sendPendingReports();
  ASSERT_TRUE(lines) << lines.error().description();
  ASSERT_EQ(lines->size(), 1u);
  EXPECT_NE((*lines)[0].find("signal 6 (SIGABRT)"), std::string::npos) << (*lines)[0];
  EXPECT_NE((*lines)[0].find("no crash service"), std::string::npos);
  EXPECT_EQ((*lines)[0].find("7d41c0e9"), std::string::npos);
  EXPECT_EQ(reportsIn(folder / "Sent").size(), 2u);
  auto again = (*client)->sendPendingReports();
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->empty());
}
