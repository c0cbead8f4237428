// The name a save panel answers for a typed name: one its type opens again.
#include <gtest/gtest.h>

#include "platform/Panels.h"

TEST(SavePanelName, ATypedNameGetsTheTypesExtensionUnlessItEndsInIt) {
  const PanelFileType zip{"com.korvel.projectzip", "Korvel Project", "korvelx", false};
  const PanelFileType folder{"com.korvel.projectfolder", "Korvel Project Folder", "", true};
  struct Case {
    const char* typed;
    const PanelFileType& type;
    const char* answered;
  } cases[] = {
      {"/home/a/CopyA", zip, "/home/a/CopyA.korvelx"},
      {"/home/a/CopyA.korvelx", zip, "/home/a/CopyA.korvelx"},
      {"/home/a/CopyB.zip", zip, "/home/a/CopyB.zip.korvelx"},
      {"/home/a/Copy.", zip, "/home/a/Copy.korvelx"},
      {"/home/a/Spring Sale v2", zip, "/home/a/Spring Sale v2.korvelx"},
      {"/home/a/Copy.KORVELX", zip, "/home/a/Copy.KORVELX.korvelx"},  // opening compares it exactly
      {"/home/a/.korvelx", zip, "/home/a/.korvelx.korvelx"},           // a hidden name, not an extension
      {"/home/a/Draft.korvelx.bak", zip, "/home/a/Draft.korvelx.bak.korvelx"},
      {"/home/a/Project", folder, "/home/a/Project"},
      {"/home/a/Project.zip", folder, "/home/a/Project.zip"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(pathForSavedType(c.typed, c.type), std::filesystem::path(c.answered)) << c.typed;
}
