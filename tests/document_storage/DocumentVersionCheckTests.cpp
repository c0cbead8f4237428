#include <gtest/gtest.h>

#include "StorageTestSupport.h"
#include "document/storage/KXDocumentError.h"
#include "document/storage/KXDocumentVersionCheck.h"
#include "support/TestEnvironment.h"

using namespace storagetest;

namespace {
Result<void> check(const char* documentJSON, std::optional<std::int64_t> supported) {
  auto root = testenv::freshFolder("version");
  if (documentJSON) writeTree(root, {{"design/document.json", documentJSON}});
  return verifyDocumentVersion(*folderArchive(root), supported);
}
long code(const Result<void>& r) { return r ? -1 : r.error().code; }
}  // namespace

TEST(DocumentVersionCheck, JudgesByVersionAlone) {
  EXPECT_TRUE(check(R"({"version":3,"pages":[]})", 3));
  EXPECT_TRUE(check(R"({"version":0})", std::nullopt));
  EXPECT_EQ(code(check(R"({"version":4})", 3)), 12);
  EXPECT_EQ(code(check(R"({"version":1})", std::nullopt)), 12);  // unknown editor: only version 0 opens
  EXPECT_EQ(code(check(R"({"version":18446744073709551615})", 3)), 12);
}

TEST(DocumentVersionCheck, MalformedDocumentsAreUnsupportedButMissingOnesPass) {
  for (const char* bad : {R"({"pages":[]})", R"({"version":"3"})", R"({"version":2.5})", R"({"version":-1})", "[1]", "{"})
    EXPECT_EQ(code(check(bad, 3)), 11) << bad;
  EXPECT_TRUE(check(nullptr, 3));
  EXPECT_TRUE(check("", 3));
  auto error = check(R"({"version":9})", 3).error();
  EXPECT_EQ(error.domain, "KXDocumentErrorDomain");
  EXPECT_EQ(error.info(NSLocalizedFailureReasonErrorKey), "The document was written by a later version of Korvel.");
  EXPECT_EQ(error.info(NSLocalizedRecoveryOptionsErrorKey), "Check for Updates\nOK");
  EXPECT_FALSE(makeError(KXDocumentError::unsupportedDocument).info(NSLocalizedRecoveryOptionsErrorKey));
}

TEST(DocumentVersionCheck, DocumentsTooLargeToParseAreJudgedAsTheyStreamBy) {
  // Past the parsing limit; the version sits after the bulk, as sorted keys put it.
  const std::string bulk = std::string(maximumParsedDocumentSize, ' ');
  struct Case {
    std::string text;
    long code;
  } cases[] = {
      {R"({"pages":[{"version":9}],)" + bulk + R"("version":3})", -1},
      {R"({"pages":")" + bulk + bulk.substr(bulk.size() / 2) + R"(","version":999})", 12},
      {R"({"version":1,"pages":[],)" + bulk + R"("version":999})", 12},
      {R"({"pages":{"version":1},)" + bulk + "}", 11},
      {R"({)" + bulk + R"("version":"3"})", 11},
      {"[" + bulk + "]", 11},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(code(check(c.text.c_str(), 3)), c.code) << c.text.substr(0, 30) << "…" << c.text.substr(c.text.size() - 20);
  }
  // Judging one holds no more than the parsing limit, whatever its size.
  auto root = testenv::freshFolder("version-memory");
  writeTree(root, {{"design/document.json", cases[1].text}});
  auto archive = folderArchive(root);
  long growth = testenv::peakGrowthInChild([&] { (void)verifyDocumentVersion(*archive, 3); });
  EXPECT_GE(growth, 0);
  EXPECT_LT(growth, static_cast<long>(maximumParsedDocumentSize / 1024 * 3 / 2)) << "kilobytes";
}

// A design larger than a document may hold is not streamed through to be judged: the read
// refuses it by its size, at once.
TEST(DocumentVersionCheck, ADesignPastTheBoundIsLeftToTheSizeRefusal) {
  auto root = testenv::freshFolder("version-bound");
  writeTree(root, {{"design/document.json", "["}});
  // Sparse: a gigabyte of zeros that takes no room, and would be judged malformed if read.
  std::filesystem::resize_file(root / "design/document.json", std::uint64_t{1} << 30);
  EXPECT_TRUE(verifyDocumentVersion(*folderArchive(root), 3));
}
