// One check of package names for every page that asks for one: nothing that reads as an
// option of the package manager gets through.
#include <gtest/gtest.h>

#include <string>

#include "server/PackageName.h"

namespace {

TEST(PackageName, AcceptsPackageNamesAndNothingThatReadsAsAnOption) {
  const std::pair<std::string, bool> cases[] = {
      {"left-pad", true},
      {"@a/b", true},
      {"@scope/right-pad", true},
      {"a.b_c~d-e", true},
      {"x-", true},
      {"-g", false},
      {"--ignore-scripts", false},
      {"@scope/--force", false},
      {"@-scope/x", false},
      {"@--registry/x", false},
      {"-", false},
      {"", false},
      {".hidden", false},
      {"_private", false},
      {"UPPER", false},
      {"a b", false},
      {"left-pad --save", false},
      {"../x", false},
      {"@a/", false},
      {"@/b", false},
      {"@a/b/c", false},
      {std::string(214, 'a'), true},
      {std::string(215, 'a'), false},
  };
  for (const auto& [name, acceptable] : cases) EXPECT_EQ(PackageName::isAcceptable(name), acceptable) << name;
}

}  // namespace
