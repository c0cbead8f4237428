// Host scripts checked in the page they reach, against real pages: a script meant for one page
// runs only there, however the page dresses itself up, and is there what it was; the host's
// start-up scripts start only in documents the view trusts.

#include <gtest/gtest.h>

#include <fstream>

#include "CanvasTestSupport.h"
#include "canvas/ScriptGuard.h"
#include "canvas/TrustedOrigins.h"
#include "platform/OffscreenWindow.h"
#include "platform/RunLoop.h"
#include "support/TestEnvironment.h"

using namespace canvastest;

namespace {

// A bare view (no host, no gate) that shows pages at the addresses given.
struct Shown {
  Shown() {
    window = std::make_unique<OffscreenWindow>(view.widget(), 400, 300);
    view.loadFinished = [this](std::uint64_t) { ++finished; };
  }
  // Shows `body` with `address` as the document's own; about:blank for none.
  bool show(const std::string& address, const std::string& body = "<p>page</p>") {
    int before = finished;
    view.loadHTMLString("<!DOCTYPE html><html><body>" + body + "</body></html>", address);
    return waitFor([&] { return finished > before; }) && !view.committedURI().empty();
  }
  bool toolkit = (initGtk(), true);  // before the view, which needs it
  WebView view;
  std::unique_ptr<OffscreenWindow> window;
  int finished = 0;
};

std::string fileAddress(const std::filesystem::path& path) {
  char* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  std::string out = uri ? uri : "";
  g_free(uri);
  return out;
}

// Tries every way a page has to make `location` tell another address.
const char* dressedUp =
    "<script>try { Object.defineProperty(location, 'host', { get: function () { return '127.0.0.1:4321'; } }); } "
    "catch (e) {} try { Object.defineProperty(Location.prototype, 'host', { get: function () { return "
    "'127.0.0.1:4321'; } }); } catch (e) {} "
    "String.prototype.indexOf = function () { return 0; };</script>";

}  // namespace

TEST(ScriptGuard, AScriptRunsOnlyInThePageItWasMeantFor) {
  auto folder = testenv::freshFolder("guard");
  const std::string one = fileAddress(folder / "one.html"), two = fileAddress(folder / "two.html");
  struct Case {
    const char* name;
    std::string shown;     // the page's own address; empty for about:blank
    std::string meantFor;  // the committed address the host saw
    bool runs;
    const char* body = "<p>page</p>";
  } cases[] = {
      {"the page itself", "http://127.0.0.1:4321/a/page.html", "http://127.0.0.1:4321/a/page.html", true},
      {"another page of its origin", "http://127.0.0.1:4321/b/other.html", "http://127.0.0.1:4321/a/page.html", true},
      {"another port", "http://127.0.0.1:4322/a/page.html", "http://127.0.0.1:4321/a/page.html", false},
      {"another loopback name", "http://localhost:4321/a/page.html", "http://127.0.0.1:4321/a/page.html", false},
      {"another scheme", "https://127.0.0.1:4321/a/page.html", "http://127.0.0.1:4321/a/page.html", false},
      {"an IPv6 address", "http://[::1]:4321/a/page.html", "http://[::1]:4321/a/page.html", true},
      {"a default port", "http://127.0.0.1/a/page.html", "http://127.0.0.1/a/page.html", true},
      {"the file itself", one, one, true},
      {"another file", two, one, false},
      {"a blank page", "", "about:blank", true},
      {"a page dressed up as the one meant", "http://127.0.0.1:4322/a/page.html", "http://127.0.0.1:4321/a/page.html",
       false, dressedUp},
  };
  Shown page;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(page.show(c.shown, c.body));
    auto condition = ScriptGuard::committedPage(c.meantFor);
    ASSERT_TRUE(condition);
    auto ran = evaluate(page.view, ScriptGuard::guarded("window.ranCount = (window.ranCount || 0) + 1;\n'ran' // a last line", *condition));
    EXPECT_EQ(ran, c.runs ? std::optional(nlohmann::json("ran")) : std::nullopt);
  }
  // Where it runs, a script is what it was: its constants stay global, its "use strict" holds.
  ASSERT_TRUE(page.show("http://127.0.0.1:4321/a/page.html"));
  auto here = *ScriptGuard::committedPage("http://127.0.0.1:4321/a/page.html");
  evaluate(page.view, ScriptGuard::guarded("const keptForLater = 7;", here));
  EXPECT_EQ(evaluate(page.view, "keptForLater"), nlohmann::json(7));
  EXPECT_EQ(evaluate(page.view, ScriptGuard::guarded("  'use strict';\n(function () { return this === undefined; })()", here)),
            nlohmann::json(true));
  EXPECT_EQ(evaluate(page.view, ScriptGuard::guarded("(function () { return this === undefined; })()", here)),
            nlohmann::json(false));
  EXPECT_FALSE(ScriptGuard::committedPage(""));
  EXPECT_FALSE(ScriptGuard::committedPage("not an address"));
}

TEST(ScriptGuard, StartUpScriptsStartOnlyInTrustedDocuments) {
  auto folder = testenv::freshFolder("trusted");
  auto sibling = testenv::freshFolder("trusted-not");
  // folder/x/../.. is the folder's parent, where the sibling is.
  auto leaving = [&](const std::string& separator) {
    return fileAddress(folder) + "/x" + separator + ".." + separator + ".." + separator +
           sibling.lexically_relative(folder.parent_path()).string() + "/page.html";
  };
  TrustedOrigins trusted;
  trusted.addOrigin("http://127.0.0.1:4321/");
  trusted.addFolder(folder);
  trusted.addAddress("https://korvel.example/welcome/");
  struct Case {
    const char* name;
    std::string shown;
    bool trusted;
  } cases[] = {
      {"the trusted origin", "http://127.0.0.1:4321/page.html", true},
      {"its loopback twin", "http://localhost:4321/page.html", true},
      {"another port", "http://127.0.0.1:4322/page.html", false},
      {"a file in the folder", fileAddress(folder / "sub" / "page.html"), true},
      {"a file beside the folder", fileAddress(sibling / "page.html"), false},
      {"the address itself", "https://korvel.example/welcome/", true},
      {"another page of that address's site", "https://korvel.example/elsewhere/", false},
      {"a blank main frame", "", false},
      // One rule for files, the page's and the host's: a name is read as the engine reads it.
      {"a file whose name is encoded", fileAddress(folder / "a b.html"), true},
      {"a file that leaves the folder through an encoded \"/\"", leaving("%2F"), false},
      {"the same in lower case", leaving("%2f"), false},
  };
  Shown page;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(page.show(c.shown));
    EXPECT_EQ(trusted.contains(page.view.committedURI()), c.trusted) << page.view.committedURI();
    EXPECT_EQ(evaluate(page.view, trusted.scriptCondition()), nlohmann::json(c.trusted));
  }
}

TEST(ScriptGuard, TheOriginsCountTheirChangesOnly) {
  TrustedOrigins trusted;
  auto start = trusted.generation();
  trusted.addOrigin("http://127.0.0.1:4321/a");
  trusted.addOrigin("http://127.0.0.1:4321/b");
  trusted.addFolder("/x/y/");
  trusted.addFolder("/x/y");
  trusted.addAddress("about:blank");
  trusted.addAddress("about:blank");
  trusted.addOrigin("no address");
  EXPECT_EQ(trusted.generation(), start + 3);
}

// The server's grant replaced by its next: the old address is trusted no more, in the host's
// check and in the page's.
TEST(ScriptGuard, AGrantReplacedTrustsItsOldAddressesNoMore) {
  TrustedOrigins trusted;
  trusted.setGrant("server", {{"http://127.0.0.1:4321/"}, {}, {}});
  auto first = trusted.generation();
  trusted.setGrant("server", {{"http://127.0.0.1:4321/index.html"}, {}, {}});  // the same origin
  EXPECT_EQ(trusted.generation(), first);
  trusted.setGrant("server", {{"http://127.0.0.1:4322/"}, {}, {}});
  EXPECT_EQ(trusted.generation(), first + 1);
  trusted.setGrant("page", {{}, {}, {"about:blank"}});
  Shown page;
  struct Case {
    const char* name;
    std::string shown;
    bool trusted;
  } cases[] = {
      {"the address left", "http://127.0.0.1:4321/page.html", false},
      {"the address now served", "http://127.0.0.1:4322/page.html", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(page.show(c.shown));
    EXPECT_EQ(trusted.contains(page.view.committedURI()), c.trusted);
    EXPECT_EQ(evaluate(page.view, trusted.scriptCondition()), nlohmann::json(c.trusted));
  }
  trusted.setGrant("server", {});
  EXPECT_FALSE(trusted.contains("http://127.0.0.1:4322/page.html"));
  EXPECT_TRUE(trusted.contains("about:blank")) << "another holder's grant stays";
  EXPECT_EQ(evaluate(page.view, trusted.scriptCondition()), nlohmann::json(false));
}

// Behind the guard a script runs as written: its directives after comments, several of them,
// either quote, lines ended without ";", its value; and a string that goes on as an expression
// is no directive. The check comes before anything of the script that runs.
TEST(ScriptGuard, AScriptKeepsItsDirectivesAndRunsNothingWhereTheCheckFails) {
  const std::string strict = "void 0 || (function () { return this === undefined; })()";
  struct Case {
    const char* name;
    std::string script;
    std::optional<nlohmann::json> value;
  } cases[] = {
      {"a licence comment first", "/*! A licence, as bundlers keep it.\n * MIT */\n'use strict';\n" + strict, true},
      {"line comments, double quotes, no \";\"", "// licence\n// more\n\"use strict\"\n" + strict, true},
      {"several directives", "'first';\n\"second\"\n'use strict';\n" + strict, true},
      {"an escaped quote in a directive", "'it\\'s';'use strict';" + strict, true},
      {"a line ended by a separator", "'a' // note\xE2\x80\xA8'use strict';" + strict, true},
      {"a byte order mark, a no-break space, CRLF", "\xEF\xBB\xBF\xC2\xA0'use strict'\r\n" + strict, true},
      {"a line continuation in a directive", "'a\\\r\nb'\r\n'use strict'\r\n" + strict, true},
      {"comments round a directive", "/* a */ /* b\n */ 'use strict' /* c */ ;" + strict, true},
      {"the directive alone", "'use strict'", "use strict"},
      {"a strict error", "'use strict'; var octal = 010; 'sloppy'", std::nullopt},
      {"a string added to on the next line", "'use strict'\n+ (function () { return this === undefined; })()",
       "use strictfalse"},
      {"a string tested on the next line", "'use strict'\nin window", false},
      {"no prologue", strict, false},
      {"a hashbang, then strict code", "#!/usr/bin/env node\n'use strict';\n" + strict, true},
      {"a hashbang, then sloppy code", "#!/usr/bin/env node\n" + strict, false},
      {"a hashbang with CRLF and a comment", "#!/usr/bin/env node\r\n/* licence */ \"use strict\"\r\n" + strict, true},
      {"an old page's comment before the directive", "<!-- hide from old browsers\n'use strict';\n" + strict, true},
      {"an old page's comment closed on its line", "<!--\n'use strict'\n  --> done\n" + strict, true},
  };
  Shown page;
  const std::string address = "http://127.0.0.1:4321/a/page.html";
  auto here = *ScriptGuard::committedPage(address);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(page.show(address));
    EXPECT_EQ(evaluate(page.view, c.script), c.value) << "as written";
    ASSERT_TRUE(page.show(address));
    EXPECT_EQ(evaluate(page.view, ScriptGuard::guarded(c.script, here)), c.value) << "behind the guard";
  }
  ASSERT_TRUE(page.show(address));
  evaluate(page.view, ScriptGuard::guarded("/* licence */ 'use strict';\nconst keptConst = 3; var keptVar = 4;", here));
  EXPECT_EQ(evaluate(page.view, "[keptConst, keptVar, Object.getOwnPropertyDescriptor(window, 'keptVar').configurable]"),
            nlohmann::json::parse("[3, 4, false]"))
      << "its globals are the page's, as a script's own";

  // Code where a careless reading would see a comment or a string: the check comes before it.
  const char* hidden[] = {
      "'a' // x\xE2\x80\xA8window.leaked = 1;",
      "'a' // x\xE2\x80\xA9window.leaked = 1;",
      "'a' // x\rwindow.leaked = 1;",
      "'a\\\\'; window.leaked = 1; 'b';",
      "\"a\\\"\"; window.leaked = 1;",
      "/* a */ 'b' /* c\xE2\x80\xA8 */ window.leaked = 1;",
      "'use strict';\nwindow.leaked = 1;",
      "'a'\n+ (window.leaked = 1)",
      "#!/usr/bin/env node\xE2\x80\xA8window.leaked = 1;",
      "#!/usr/bin/env node\rwindow.leaked = 1;",
      "<!-- x\xE2\x80\xA9window.leaked = 1;",
      "'a'\n--> x\rwindow.leaked = 1;",
  };
  for (const char* script : hidden) {
    SCOPED_TRACE(script);
    ASSERT_TRUE(page.show(address));
    EXPECT_FALSE(evaluate(page.view, ScriptGuard::guarded(script, "false")));
    EXPECT_EQ(evaluate(page.view, "window.leaked === undefined"), nlohmann::json(true));
    evaluate(page.view, script);
    EXPECT_EQ(evaluate(page.view, "window.leaked"), nlohmann::json(1)) << "the script itself sets it";
  }
}
