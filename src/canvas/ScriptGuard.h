#pragma once
// Conditions a host script checks in the page before it does anything, for the time between
// the host's last look at the page and the script's run: the view may have moved meanwhile
// (its own code, a link, a redirect). Each reads only `location`, whose properties a page can
// neither replace nor shadow. Any thread.

#include <optional>
#include <string>

namespace ScriptGuard {

// True only in the document at `committedURI`: of its origin for a web address, at its path for
// a file or another address without a host. None for an address it can't tell.
std::optional<std::string> committedPage(const std::string& committedURI);

// `script` run only where `condition` holds: elsewhere none of its statements runs (it ends at
// once, with an exception), though its top-level function declarations still come into being.
// Where it holds, the script runs as written: its directives (after comments, one or several,
// either quote, "use strict" among them), its value and its global declarations.
std::string guarded(const std::string& script, const std::string& condition);

}  // namespace ScriptGuard
