// What a person meets around the document window: files that can't be opened, a project server
// that won't run, the order of windows (messages and store links), titles after Save As and
// the library sheet's road to an update.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "DocumentTestSupport.h"
#include "canvas/OstrelViewController.h"
#include "document/DocumentController.h"
#include "document/DocumentHooks.h"
#include "document/KXDocument.h"
#include "document/PDDocumentWindow.h"
#include "document/UpdateLibraryWindowController.h"
#include "document/storage/KXDocumentError.h"
#include "platform/GtkPersonInterfaces.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "server/ServerController.h"
#include "support/TestEnvironment.h"
#include "telemetry/IntercomPopover.h"

using namespace doctests;
namespace fsys = std::filesystem;

namespace {

// The desktop's list, which the file chooser fills with whatever it hands out.
class DocumentWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    // The messaging popover and its wiring stay as the application has them.
    setUpDocumentTest(false);
    DocumentHooks::showWelcomeWindow = [this] { ++welcomeShown; };
    auto list = std::make_unique<ListedRecents>();
    recents = list.get();
    RecentDocuments::setShared(std::move(list));
    controller = std::make_unique<DocumentController>();
    controller->setAutosavingDelay(0);
    dir = testenv::freshFolder("windows");
  }
  void TearDown() override {
    unsetenv("KORVEL_SERVER_TEST");
    auto open = controller->documents();
    for (auto& d : open) d->close();
    open.clear();
    controller.reset();
    DocumentHooks::showWelcomeWindow = [] {};
    RunLoop::runUntil([] { return false; }, 0.2);
    EXPECT_TRUE(person().alertAnswers.empty()) << "unused answers";
  }

  std::shared_ptr<KXDocument> openZip(const std::string& name, bool wait = true) {
    auto source = dir / ("source-" + name);
    writeProject(source, name);
    auto zip = dir / (name + ".korvelx");
    makeZip(source, zip);
    auto opened = openWith(*controller, zip);
    if (opened && wait) {
      EXPECT_TRUE(waitForEditor(*opened));
    }
    return opened;
  }

  std::string title(KXDocument& document) {
    const char* text = gtk_window_get_title(document.windowForSheet());
    return text ? text : "";
  }

  std::unique_ptr<DocumentController> controller;
  fsys::path dir;
  int welcomeShown = 0;
  ListedRecents* recents = nullptr;
};

// A project zip under a name without the extension (earlier builds wrote such files when the
// person typed none; here `zip` writes them) or with another one opens by what it holds, by its path and from the recent
// documents; random bytes, a zip without a design and a text so named are still no document.
TEST_F(DocumentWindows, AProjectZipNamedWithoutItsExtensionOpensByWhatItHolds) {
  writeProject(dir / "source", "Earlier");
  for (const char* name : {"CopyA", "CopyB.zip"})
    ASSERT_EQ(testenv::run("cd '" + (dir / "source").string() + "' && zip -qr - . > '" + (dir / name).string() + "'"), 0);
  fsys::create_directories(dir / "loose");
  std::ofstream(dir / "loose" / "a.txt") << "a\n";
  ASSERT_EQ(testenv::run("cd '" + (dir / "loose").string() + "' && zip -qr - . > '" + (dir / "NoDesign").string() + "'"), 0);
  ASSERT_EQ(testenv::run("head -c 65536 /dev/urandom > '" + (dir / "Random").string() + "'"), 0);
  std::ofstream(dir / "Notes") << "Just some notes, not a project.\n";

  auto openDocument = [&](const fsys::path& url) {
    auto outcome = openAndWait(*controller, url);
    EXPECT_FALSE(outcome.error) << url << ": " << outcome.error->description();
    return std::dynamic_pointer_cast<KXDocument>(outcome.document);
  };
  for (const char* name : {"CopyA", "CopyB.zip"}) {
    SCOPED_TRACE(name);
    auto byPath = openDocument(dir / name);
    ASSERT_TRUE(byPath);
    EXPECT_EQ(byPath->fileType(), KXDocument::zipType);
    ASSERT_TRUE(waitForEditor(*byPath));
    EXPECT_EQ(firstPageName(pageState(*byPath)), "Earlier");
    byPath->close();
    ASSERT_FALSE(recents->urls.empty());
    ASSERT_EQ(recents->urls.front(), dir / name);
    auto fromRecents = openDocument(recents->urls.front());
    ASSERT_TRUE(fromRecents);
    ASSERT_TRUE(waitForEditor(*fromRecents));
    EXPECT_EQ(firstPageName(pageState(*fromRecents)), "Earlier");
    fromRecents->close();
  }
  for (const char* name : {"Random", "NoDesign", "Notes"}) {
    SCOPED_TRACE(name);
    auto outcome = openAndWait(*controller, dir / name);
    EXPECT_FALSE(outcome.document);
    auto& failure = outcome.error;
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->info("NSLocalizedFailureReason"),
              std::string("\u201c") + name + "\u201d is not a Korvel document, or it is damaged.");
  }
}

// Whatever is wrong with the file, the person reads its name and that it is no Korvel document,
// and is left with the welcome window rather than nothing.
TEST_F(DocumentWindows, AFileThatIsNoDocumentIsNamedAndTheWelcomeWindowComesBack) {
  writeProject(dir / "whole", "Whole");
  makeZip(dir / "whole", dir / "Whole.korvelx");
  auto zipBytes = readFile(dir / "Whole.korvelx");
  std::ofstream(dir / "Notes.korvelx") << "Just some notes, not a project.\n";
  std::ofstream(dir / "Cut.korvelx", std::ios::binary) << zipBytes.substr(0, zipBytes.size() / 2);
  std::ofstream(dir / "Empty.korvelx");
  fsys::create_directories(dir / "Loose Folder" / "stuff");
  std::ofstream(dir / "Loose Folder" / "stuff" / "a.txt") << "a\n";

  for (const char* name : {"Notes.korvelx", "Cut.korvelx", "Empty.korvelx", "Loose Folder"}) {
    int welcomeBefore = welcomeShown;
    recents->noteNewRecentDocumentURL(dir / name);  // as the file chooser does
    auto outcome = openAndWait(*controller, dir / name);
    EXPECT_FALSE(outcome.document) << name;
    auto failure = outcome.error;
    ASSERT_TRUE(failure) << name;
    EXPECT_EQ(failure->info("NSLocalizedFailureReason"),
              std::string("“") + name + "” is not a Korvel document, or it is damaged.");
    EXPECT_EQ(welcomeShown, welcomeBefore + 1) << name;
    person().alertAnswers.push_back(Alert::firstButtonReturn);
    controller->presentError(*failure);
    EXPECT_EQ(person().alertsShown.back().messageText, *failure->info("NSLocalizedFailureReason"));
    EXPECT_NE(person().alertsShown.back().informativeText.find((dir / name).string()), std::string::npos);
    EXPECT_TRUE(controller->documents().empty());
    EXPECT_TRUE(recents->urls.empty()) << name << " stays among the recent documents";
  }
}

// Drafts an earlier session left that can't be read stay where they are (a later version may read
// them); when none of them opens and nothing else is open, the welcome window comes back, once.
TEST_F(DocumentWindows, DraftsThatCantBeReadStayAndTheWelcomeWindowShowsWhenNoneOpens) {
  auto folder = Document::draftFolder();
  struct Draft {
    std::string name;
    std::string bytes;  // none: a project zip
  };
  writeProject(dir / "kept", "Kept");
  makeZip(dir / "kept", dir / "kept.korvelx");
  auto whole = readFile(dir / "kept.korvelx");
  struct Case {
    const char* what;
    std::vector<Draft> drafts;
    std::size_t opened;
  };
  const Case cases[] = {
      {"none readable",
       {{"Notes (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).korvelx", "Just some notes, not a project.\n"},
        {"Cut (11111111-2222-3333-4444-555555555555).korvelx", whole.substr(0, whole.size() / 2)}},
       0},
      {"one readable",
       {{"Notes (0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0).korvelx", "Just some notes, not a project.\n"},
        {"Kept (22222222-2222-3333-4444-555555555555).korvelx", whole}},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fsys::create_directories(folder);
    for (const auto& d : c.drafts) std::ofstream(folder / d.name, std::ios::binary) << d.bytes;
    int welcomeBefore = welcomeShown;
    EXPECT_EQ(reopenDraftsAndWait(*controller), c.drafts.size());
    EXPECT_EQ(controller->documents().size(), c.opened);
    EXPECT_EQ(welcomeShown, welcomeBefore + (c.opened ? 0 : 1));
    for (const auto& d : c.drafts) {
      auto held = std::any_of(controller->documents().begin(), controller->documents().end(),
                              [&](const auto& doc) { return doc->autosavedContentsFileURL() == folder / d.name; });
      if (held) {
        EXPECT_EQ(controller->documents().front()->displayName(), "Kept");
        EXPECT_TRUE(controller->documents().front()->isDocumentEdited());
        continue;
      }
      ASSERT_TRUE(fsys::exists(folder / d.name)) << d.name << " went";
      EXPECT_EQ(readFile(folder / d.name), d.bytes) << d.name;
    }
    auto open = controller->documents();
    for (auto& d : open) d->close();
    fsys::remove_all(folder);
  }
}

// A server that keeps failing leaves a message in the window; Try Again starts it anew.
TEST_F(DocumentWindows, AServerThatWontRunSaysSoAndCanBeTriedAgain) {
  setenv("KORVEL_SERVER_TEST", "exit-at-start=3", 1);
  auto document = openZip("Failing", false);
  ASSERT_TRUE(document && document->serverController());
  document->serverController()->restartPolicy = ServerRestartPolicy({10.0, 1, 0.05, 0.05});
  auto* window = document->documentWindow();
  ASSERT_TRUE(waitFor([&] { return window->isShowingServerFailure(); }));

  unsetenv("KORVEL_SERVER_TEST");
  // The bar's button, as a click delivers it.
  GtkWidget* view = window->documentView();
  GList* children = gtk_container_get_children(GTK_CONTAINER(view));
  GtkWidget* bar = nullptr;
  for (GList* c = children; c; c = c->next)
    if (GTK_IS_INFO_BAR(c->data)) bar = GTK_WIDGET(c->data);
  g_list_free(children);
  ASSERT_TRUE(bar);
  gtk_info_bar_response(GTK_INFO_BAR(bar), GTK_RESPONSE_OK);
  EXPECT_FALSE(window->isShowingServerFailure());
  EXPECT_TRUE(waitForEditor(*document));
  EXPECT_TRUE(document->serverController()->running());
  EXPECT_FALSE(window->isShowingServerFailure());
}

// New messages open the popover at the frontmost window; store links go to the rearmost.
TEST_F(DocumentWindows, WindowsAreOrderedByWhenTheyCameToTheFront) {
  auto first = openZip("First", false);
  auto second = openZip("Second", false);
  ASSERT_TRUE(first && second);
  auto& button = IntercomPopover::shared().frontmostDocumentIntercomButton;
  ASSERT_TRUE(button) << "the documents wire the popover to their windows";
  EXPECT_EQ(button(), second->documentWindow()->intercomButton());
  EXPECT_EQ(DocumentController::orderedDocuments().back(), first);

  first->showWindows();
  EXPECT_EQ(button(), first->documentWindow()->intercomButton());
  EXPECT_EQ(DocumentController::orderedDocuments().front(), first);
  EXPECT_EQ(DocumentController::orderedDocuments().back(), second);
}

// A closing document brings the frontmost of the others forward, not the one opened first.
TEST_F(DocumentWindows, ClosingADocumentBringsTheFrontmostOtherForward) {
  auto first = openZip("One", false);
  auto second = openZip("Two", false);
  auto third = openZip("Three", false);
  ASSERT_TRUE(first && second && third);
  second->showWindows();  // front to back: Two, Three, One
  second->close();
  auto ordered = DocumentController::orderedDocuments();
  ASSERT_EQ(ordered.size(), 2u);
  EXPECT_EQ(ordered.front(), third);
  EXPECT_EQ(ordered.back(), first);
}

// A sheet beginning on a window closes the messaging popover shown from that window only.
TEST_F(DocumentWindows, ASheetClosesTheMessagesShownFromItsWindow) {
  auto first = openZip("Sheets", false);
  auto second = openZip("Other", false);
  ASSERT_TRUE(first && second);
  void* shownFrom = nullptr;
  int hides = 0;
  auto keptButton = DocumentHooks::intercomCurrentButton;
  auto keptHide = DocumentHooks::hideIntercomPopover;
  DocumentHooks::intercomCurrentButton = [&] { return shownFrom; };
  DocumentHooks::hideIntercomPopover = [&] { ++hides; };
  auto sheetOn = [](GtkWindow* parent, bool modal) {
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GtkDialogFlags(0), GTK_MESSAGE_OTHER, GTK_BUTTONS_OK, "Sure?");
    if (modal) {
      attachSheet(GTK_WINDOW(dialog), parent);
    } else {
      gtk_window_set_transient_for(GTK_WINDOW(dialog), parent);
    }
    gtk_widget_show(dialog);
    gtk_widget_destroy(dialog);
  };
  struct Case {
    const char* name;
    void* shownFrom;
    GtkWindow* parent;
    bool modal;
    int hides;
  } cases[] = {
      {"shown from this window", first->documentWindow()->intercomButton(), first->windowForSheet(), true, 1},
      {"not shown", nullptr, first->windowForSheet(), true, 0},
      {"shown from the other window", second->documentWindow()->intercomButton(), first->windowForSheet(), true, 0},
      {"a window that is no sheet", first->documentWindow()->intercomButton(), first->windowForSheet(), false, 0},
      {"a sheet of no window", first->documentWindow()->intercomButton(), nullptr, true, 0},
  };
  for (const auto& c : cases) {
    hides = 0;
    shownFrom = c.shownFrom;
    sheetOn(c.parent, c.modal);
    EXPECT_EQ(hides, c.hides) << c.name;
  }
  DocumentHooks::intercomCurrentButton = keptButton;
  DocumentHooks::hideIntercomPopover = keptHide;
}

// Escape that nothing in the window used is posted with the key event.
TEST_F(DocumentWindows, EscapeIsPostedWithItsEvent) {
  auto document = openZip("Escape", false);
  ASSERT_TRUE(document);
  auto* window = document->documentWindow();
  std::vector<Notification> posted;
  auto token = NotificationCenter::defaultCenter().addObserver(PDDocumentWindow::escPressedNotification, nullptr,
                                                               [&](const Notification& n) { posted.push_back(n); });
  gtk_window_set_focus(window->window(), nullptr);
  GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
  key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window->window()))));
  key->key.keyval = GDK_KEY_Escape;
  key->key.hardware_keycode = 9;
  key->key.time = 4242;
  gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gtk_widget_event(GTK_WIDGET(window->window()), key);
  gdk_event_free(key);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].object, window);
  ASSERT_TRUE(posted[0].userInfo);
  const auto& event = (*posted[0].userInfo)["event"];
  EXPECT_EQ(event["keyval"], GDK_KEY_Escape);
  EXPECT_EQ(event["hardwareKeycode"], 9);
  EXPECT_EQ(event["time"], 4242);
  EXPECT_EQ(event["type"], "keyDown");
}

namespace {
// A key pressed in the document window, as the display delivers it.
void pressKey(PDDocumentWindow& window, guint keyval) {
  GdkEvent* key = gdk_event_new(GDK_KEY_PRESS);
  key->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window.window()))));
  key->key.keyval = keyval;
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(gdk_display_get_default()), keyval, &keys, &count) &&
      count > 0)
    key->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
  g_free(keys);
  key->key.time = GDK_CURRENT_TIME;
  gdk_event_set_device(key, gdk_seat_get_keyboard(gdk_display_get_default_seat(gdk_display_get_default())));
  gtk_main_do_event(key);
  gdk_event_free(key);
}
}  // namespace

// A key that nothing on the page takes reaches the page once and ends with the window's
// shortcuts: it never comes round again to land in whatever window opens next.
TEST_F(DocumentWindows, AKeyThePageLeavesReachesItOnce) {
  auto document = openZip("Keys");
  ASSERT_TRUE(document);
  auto* window = document->documentWindow();
  document->ostrelViewController().makeFirstResponder();
  // The page notes every key it sees and keeps "m" for itself: a marker behind the keys before it.
  ASSERT_TRUE(evaluate(*document, "window.keysSeen = []; document.addEventListener('keydown', function (e) {"
                                  " window.keysSeen.push(e.key); if (e.key === 'm') e.preventDefault(); }, true); true"));
  auto seen = [&] { return evaluate(*document, "window.keysSeen").value_or(nlohmann::json::array()); };
  auto markers = [&] { return std::ranges::count(seen(), nlohmann::json("m")); };
  pressKey(*window, GDK_KEY_q);
  pressKey(*window, GDK_KEY_m);
  ASSERT_TRUE(waitFor([&] { return markers() == 1; }));
  // A key going round would be on its way to the page again by now, ahead of a second marker.
  pressKey(*window, GDK_KEY_m);
  ASSERT_TRUE(waitFor([&] { return markers() == 2; }));
  EXPECT_EQ(seen(), nlohmann::json({"q", "m", "m"}));
}

// An example saved under a name of the person's takes that name in its title.
TEST_F(DocumentWindows, SavingAnExampleUnderANewNameRetitlesItsWindow) {
  auto document = openZip("Landing");
  ASSERT_TRUE(document);
  document->setDisplayName("Landing Page example");
  ASSERT_TRUE(editPage(*document, "Edited page"));
  ASSERT_TRUE(waitFor([&] { return title(*document) == "Landing Page example \u2014 Edited"; })) << title(*document);
  auto error = saveAndWait(*document, dir / "My Landing.korvelx", KXDocument::zipType, 1);
  ASSERT_FALSE(error) << error->description();
  EXPECT_EQ(document->displayName(), "My Landing");
  EXPECT_EQ(title(*document), "My Landing");
}

// The library sheet of a project whose library the server reports outdated; none if it never is.
UpdateLibraryWindowController* openOutdatedLibrarySheet(KXDocument& document) {
  document.ostrelPackageUpdateInfo();
  if (!waitFor([&] {
        auto version = document.libraryVersion();
        return version && version->state().kind == LibraryVersion::Status::Kind::outdated;
      }))
    return nullptr;
  document.ostrelPackageUpdateKorvelLibrary();
  return document.updateLibraryWindowController();
}

// The library sheet holds only its own window, and an offered update runs to its end.
TEST_F(DocumentWindows, TheLibrarySheetUpdatesTheProjectLibraryThroughTheServer) {
  auto document = openZip("Library");
  ASSERT_TRUE(document);
  auto* sheet = openOutdatedLibrarySheet(*document);
  ASSERT_TRUE(sheet && sheet->window());
  GtkWindow* sheetWindow = sheet->window();
  GtkWindow* documentWindow = document->windowForSheet();
  EXPECT_EQ(gtk_window_get_transient_for(sheetWindow), documentWindow);
  EXPECT_TRUE(gtk_window_get_modal(sheetWindow));
  EXPECT_TRUE(gtk_window_has_group(documentWindow)) << "modal to its own window group, not the application";
  EXPECT_EQ(gtk_window_get_group(sheetWindow), gtk_window_get_group(documentWindow));
  EXPECT_EQ(UpdateLibraryWindowController::content(*sheet->libraryVersion).okTitle, "Update");

  sheet->ok();
  ASSERT_TRUE(waitFor([&] {
    auto* s = document->updateLibraryWindowController();
    return s && s->libraryVersion && s->libraryVersion->state().kind == LibraryVersion::Status::Kind::upToDate &&
           !s->libraryVersion->isUpdating;
  }));
  EXPECT_EQ(document->libraryVersion()->current, "1.1.0");
  document->updateLibraryWindowController()->ok();  // "OK" ends the sheet now
  EXPECT_TRUE(waitFor([&] { return document->updateLibraryWindowController() == nullptr; }));
}

// Without a link to the server, Update says why instead of doing nothing.
TEST_F(DocumentWindows, UpdateWithoutTheServerSaysWhy) {
  auto document = openZip("Unlinked");
  ASSERT_TRUE(document);
  auto* sheet = openOutdatedLibrarySheet(*document);
  ASSERT_TRUE(sheet && sheet->window());
  sheet->updateFunction = [] { return false; };
  person().alertAnswers.push_back(Alert::firstButtonReturn);
  auto shown = person().alertsShown.size();
  sheet->ok();
  ASSERT_EQ(person().alertsShown.size(), shown + 1);
  EXPECT_EQ(person().alertsShown.back().messageText, "The library can't be updated right now.");
  sheet->cancel();
}

}  // namespace
