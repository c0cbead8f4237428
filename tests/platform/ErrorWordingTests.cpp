// Errors in a person's words: the errno found among the causes decides the sentence.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/ErrorWording.h"

namespace {
Error wrapped(Error cause) {
  Error top("ZZErrorDomain", 7, "no temporary file for the update");
  top.withUnderlying(std::move(cause));
  return top;
}
}  // namespace

TEST(ErrorWording, WritingFailuresSayWhatAndWhere) {
  const std::filesystem::path url = "/home/a/Shared/Landing Page.korvelx";
  const std::pair<Error, std::string> cases[] = {
      {wrapped(Error::posix(EACCES, "/home/a/Shared/.tmp")), "You don't have permission to save in “Shared”."},
      {wrapped(Error::posix(EPERM)), "You don't have permission to save in “Shared”."},
      {Error(NSCocoaErrorDomain, NSFileWriteNoPermissionError), "You don't have permission to save in “Shared”."},
      {wrapped(Error::posix(EROFS)), "The folder “Shared” is on a disk that can't be written to."},
      {wrapped(Error::posix(ENOSPC)), "There isn't enough space on the disk to save “Landing Page.korvelx”."},
      {wrapped(Error::file(ENOENT, "/home/a/Shared", false)), "The folder “Shared” doesn't exist."},
      {wrapped(Error("other", 1, "opaque")), "Something went wrong while writing “Landing Page.korvelx” in “Shared”."},
  };
  for (const auto& [error, sentence] : cases) EXPECT_EQ(ErrorWording::whyWritingFailed(error, url), sentence) << error.description();
}

TEST(ErrorWording, ReadingFailuresNameTheFile) {
  EXPECT_EQ(ErrorWording::whyReadingFailed(wrapped(Error::posix(EACCES)), "/a/B.korvelx"),
            "You don't have permission to open “B.korvelx”.");
  EXPECT_EQ(ErrorWording::whyReadingFailed(Error::file(ENOENT, "/a/B.korvelx"), "/a/B.korvelx"),
            "The file “B.korvelx” doesn't exist.");
}

TEST(ErrorWording, PresentableKeepsWordsAnErrorHasAndTheCauseBeneath) {
  Error worded("d", 1, "raw");
  worded.with(ErrorWording::failureReasonKey, "Already in words.");
  EXPECT_EQ(ErrorWording::presentable(worded, "Heading", "Reason").info(ErrorWording::failureReasonKey),
            "Already in words.");

  auto raw = wrapped(Error::posix(EACCES));
  auto shown = ErrorWording::presentable(raw);
  EXPECT_EQ(shown.info(ErrorWording::failureReasonKey), "The operation couldn't be completed.");
  EXPECT_EQ(shown.info(ErrorWording::recoverySuggestionKey), "You don't have permission to do this.");
  EXPECT_EQ(shown.message, raw.message);
  ASSERT_TRUE(shown.underlying);
  EXPECT_EQ(shown.underlying->code, EACCES);
  EXPECT_EQ(ErrorWording::presentable(Error("d", 2, "x")).info(ErrorWording::recoverySuggestionKey), "");
}

TEST(ErrorWording, ACircularChainEnds) {
  // Built by hand: a chain whose depth exceeds any real one still ends without an errno.
  Error e("d", 1);
  for (int i = 0; i < 100; ++i) {
    Error outer("d", 1);
    outer.withUnderlying(e);
    e = outer;
  }
  EXPECT_FALSE(ErrorWording::systemCode(e));
}
