// Pasteboards: named ones in this process, the general one on the desktop clipboard under the
// virtual display, read back by the toolkit, by another process, and after another writer.

#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include <cstdlib>
#include <iostream>

#include "platform/Pasteboard.h"
#include "platform/Process.h"
#include "platform/RunLoop.h"

namespace {

void initGtk() {
  static bool done = gtk_init_check(nullptr, nullptr);
  ASSERT_TRUE(done);
}

GtkClipboard* clipboard() { return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD); }

std::optional<std::string> toolkitRead(const char* target) {
  GtkSelectionData* selection = gtk_clipboard_wait_for_contents(clipboard(), gdk_atom_intern(target, FALSE));
  if (!selection) return std::nullopt;
  gint length = 0;
  const guchar* bytes = gtk_selection_data_get_data_with_length(selection, &length);
  std::optional<std::string> out;
  if (bytes && length >= 0) out = std::string(reinterpret_cast<const char*>(bytes), length);
  gtk_selection_data_free(selection);
  return out;
}

}  // namespace

TEST(NamedPasteboard, OneObjectPerNameAndADeclarationEmptiesIt) {
  auto style = Pasteboard::withName("Test Style");
  EXPECT_EQ(style, Pasteboard::withName("Test Style"));
  EXPECT_NE(style, Pasteboard::withName("Test Other"));
  style->declareTypes({"com.korvel.a", "com.korvel.b", "com.korvel.a"});
  EXPECT_EQ(style->types(), (std::vector<std::string>{"com.korvel.a", "com.korvel.b"}));
  EXPECT_TRUE(style->setString("one", "com.korvel.a"));
  EXPECT_FALSE(style->setString("undeclared", "com.korvel.c"));
  EXPECT_EQ(style->stringForType("com.korvel.a"), "one");
  EXPECT_FALSE(style->dataForType("com.korvel.b"));
  EXPECT_FALSE(Pasteboard::withName("Test Other")->dataForType("com.korvel.a"));
  style->declareTypes({"com.korvel.b"});
  EXPECT_FALSE(style->dataForType("com.korvel.a"));
}

TEST(GeneralPasteboard, TextAndOwnTypesReachTheToolkitAsTheirTargets) {
  initGtk();
  auto& general = Pasteboard::general();
  std::string text = "a { content: \"\u00e9\u2028\"; }";
  general.declareTypes({PasteboardType::string, "text/css", "com.korvel.ostrel.layers"});
  general.setString(text, PasteboardType::string);
  general.setString(text, "text/css");
  general.setString(R"({"layers":[]})", "com.korvel.ostrel.layers");

  gchar* plain = gtk_clipboard_wait_for_text(clipboard());
  ASSERT_TRUE(plain);
  EXPECT_EQ(std::string(plain), text);
  g_free(plain);
  EXPECT_EQ(toolkitRead("text/css"), text);
  EXPECT_EQ(toolkitRead("com.korvel.ostrel.layers"), R"({"layers":[]})");
  EXPECT_EQ(toolkitRead("UTF8_STRING"), text);
  EXPECT_FALSE(toolkitRead("image/svg+xml"));
  EXPECT_EQ(general.stringForType("text/css"), text);
}

TEST(GeneralPasteboard, AnotherWriterReplacesWhatWeHeld) {
  initGtk();
  auto& general = Pasteboard::general();
  general.declareTypes({PasteboardType::string, "text/css"});
  general.setString("ours", PasteboardType::string);
  general.setString("ours", "text/css");
  gtk_clipboard_set_text(clipboard(), "theirs", -1);
  EXPECT_EQ(general.stringForType(PasteboardType::string), "theirs");
  EXPECT_FALSE(general.stringForType("text/css"));
  auto types = general.types();
  EXPECT_NE(std::find(types.begin(), types.end(), PasteboardType::string), types.end());
  EXPECT_EQ(std::find(types.begin(), types.end(), "text/css"), types.end());

  // Writing again takes the clipboard back.
  general.declareTypes({"image/svg+xml"});
  general.setString("<svg/>", "image/svg+xml");
  EXPECT_EQ(toolkitRead("image/svg+xml"), "<svg/>");
  EXPECT_EQ(general.types(), std::vector<std::string>{"image/svg+xml"});
}

// Runs only as the child of the next test: prints what the clipboard holds for a type.
TEST(PasteboardPeer, Read) {
  const char* type = std::getenv("KORVEL_PASTEBOARD_READ");
  if (!type) GTEST_SKIP() << "run by GeneralPasteboard.AnotherProcessPastesWhatWeCopied";
  initGtk();
  auto text = Pasteboard::general().stringForType(type);
  std::cout << "\nread:" << (text ? *text : "<none>") << std::endl;
}

TEST(GeneralPasteboard, AnotherProcessPastesWhatWeCopied) {
  initGtk();
  auto& general = Pasteboard::general();
  general.declareTypes({PasteboardType::string, "image/svg+xml"});
  general.setString("plain <svg/>", PasteboardType::string);
  general.setString("<svg viewBox=\"0 0 1 1\"/>", "image/svg+xml");

  std::map<std::string, std::string> answers;
  for (std::string type : {std::string(PasteboardType::string), std::string("image/svg+xml")}) {
    auto environment = Process::currentEnvironment();
    environment["KORVEL_PASTEBOARD_READ"] = type;
    Process::Options options;
    options.executable = std::filesystem::read_symlink("/proc/self/exe");
    options.arguments = {"--gtest_filter=PasteboardPeer.Read"};
    options.environment = environment;
    bool ended = false;
    Process::Handlers handlers;
    handlers.line = [&](const std::string& line, Process::Stream) {
      if (line.rfind("read:", 0) == 0) answers[type] = line.substr(5);
    };
    handlers.exit = [&](const Process::Exit&) { ended = true; };
    auto child = Process::launch(options, handlers);
    ASSERT_TRUE(child);
    // The main loop must turn meanwhile: it serves the child's requests for our data.
    ASSERT_TRUE(RunLoop::runUntil([&] { return ended; }, 60));
  }
  EXPECT_EQ(answers[PasteboardType::string], "plain <svg/>");
  EXPECT_EQ(answers["image/svg+xml"], "<svg viewBox=\"0 0 1 1\"/>");
}
