// What an alert answers when it is dismissed without a button: Escape, its window closed, or no
// one there to answer.
#include <gtest/gtest.h>

#include "platform/Alert.h"

TEST(Alert, DismissedItAnswersTheButtonThatChangesNothing) {
  struct Case {
    AlertSpec alert;
    int expected;
  } const cases[] = {
      {{"Saved?", "", {}}, Alert::firstButtonReturn},
      {{"Replace?", "", {"Cancel", "Replace"}}, Alert::firstButtonReturn},
      {{"Changed on disk", "", {"Cancel", "Revert", "Save Anyway"}}, Alert::firstButtonReturn},
      {{"Revert?", "", {"Revert", "Cancel"}}, Alert::secondButtonReturn},
      {{"Save new?", "", {"Save…", "Delete", "Cancel"}}, Alert::thirdButtonReturn},
      {{"Newer version", "", {"Download", "Not Now"}}, Alert::secondButtonReturn},
      // Named where no button says "Cancel".
      {{"Kept a copy", "", {"OK", "Show Copy"}, 0}, Alert::firstButtonReturn},
      {{"Replace?", "", {"Cancel", "Replace"}, 0}, Alert::firstButtonReturn},
      // A button that isn't there is not named.
      {{"Kept a copy", "", {"OK", "Show Copy"}, 2}, Alert::secondButtonReturn},
      {{"Saved?", "", {}, 1}, Alert::firstButtonReturn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.alert.messageText);
    EXPECT_EQ(Alert::closeResponse(c.alert), c.expected);
  }
}

TEST(Alert, NoOneThereToAnswerDismissesIt) {
  Alert::setShared(nullptr);
  AlertSpec revert{"Revert?", "", {"Revert", "Cancel"}};
  EXPECT_EQ(Alert::shared().runModal(revert, nullptr), Alert::secondButtonReturn);
  int answer = 0;
  Alert::shared().beginSheet(revert, nullptr, [&](int response) { answer = response; });
  EXPECT_EQ(answer, Alert::secondButtonReturn);
}
