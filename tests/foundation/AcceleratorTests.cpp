#include <gtest/gtest.h>

#include "foundation/AppMenu.h"
#include "foundation/Menu.h"

namespace {

constexpr std::uint32_t Cmd = ModifierCommand, Ctrl = ModifierControl, Opt = ModifierOption, Shift = ModifierShift;

struct Case {
  const char* accelerator;
  std::string key;
  std::uint32_t mask;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << '"' << c.accelerator << '"';
}

class Accelerator : public testing::TestWithParam<Case> {};

TEST_P(Accelerator, Parses) {
  const auto& c = GetParam();
  auto parsed = AppMenu::keyEquivalentAndModifierMask(c.accelerator);
  EXPECT_EQ(parsed.keyEquivalent, c.key);
  EXPECT_EQ(parsed.modifierMask, c.mask);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Accelerator,
    testing::Values(Case{"CmdOrCtrl+Shift+Z", "z", Cmd | Shift}, Case{"Command+Z", "z", Cmd},
                    // Every command word means command, never control.
                    Case{"Super+CommandOrControl+X", "x", Cmd}, Case{"Control+Ctrl+X", "x", Ctrl},
                    Case{"Option+Alt+AltGr+X", "x", Opt}, Case{"Cmd+A", "a", Cmd}, Case{"Cmd+a", "a", Cmd},
                    // Modifier words are case-sensitive: "cmd" is key text.
                    Case{"cmd+a", "cmda", 0}, Case{"CMD+SHIFT+A", "cmdshifta", 0},
                    // "Cmd++" splits into Cmd and two empty words.
                    Case{"Cmd+Plus", "+", Cmd}, Case{"Cmd++", "", Cmd}, Case{"+", "", 0}, Case{"Cmd+K+L", "kl", Cmd},
                    Case{"Ctrl+Tab", "\t", Ctrl}, Case{"Alt+Space", " ", Opt}, Case{"Return", "\n", 0},
                    Case{"Enter", "\n", 0}, Case{"Backspace", "\b", 0}, Case{"Delete", "\b", 0},
                    Case{"Insert", "\uF727", 0}, Case{"Shift+PageDown", "\uF72D", Shift}, Case{"PageUp", "\uF72C", 0},
                    Case{"Up", "\uF700", 0}, Case{"Right", "\uF703", 0}, Case{"Home", "\uF729", 0},
                    Case{"End", "\uF72B", 0}, Case{"PrintScreen", "\uF72E", 0}, Case{"F1", "\uF704", 0},
                    Case{"F5", "\uF708", 0}, Case{"Cmd+F12", "\uF70F", Cmd}, Case{"F24", "\uF71B", 0},
                    // Outside F1–F24, or not spelt exactly, a function-key word is plain text.
                    Case{"F25", "f25", 0}, Case{"F0", "f0", 0}, Case{"F01", "f01", 0}, Case{"f5", "f5", 0},
                    Case{"F1F", "f1f", 0}, Case{"Up+Down", "\uF700\uF701", 0}, Case{"Cmd+Ä", "ä", Cmd},
                    Case{"", "", 0}));

TEST(MenuItemNoUserShortcut, NeverUsesUserKeyEquivalents) {
  RWMenuItemNoUserShortcut item("Quit", "terminate:", "q");
  item.setUsesUserKeyEquivalents(true);
  EXPECT_FALSE(item.usesUserKeyEquivalents());
  EXPECT_TRUE(MenuItem("Quit", "terminate:", "q").usesUserKeyEquivalents());
}

}  // namespace
