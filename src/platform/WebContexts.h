#pragma once
// The web contexts korvel's pages run in. Each web process they start keeps what it draws within
// webProcessLimit: past a part of it the engine lets go of what it can make again (decoded
// pictures, caches, collected garbage), checked every pollSeconds, so that a design whose files
// weigh a few MB can't make a page hold gigabytes. Main thread only.

#include <cstddef>

typedef struct _WebKitWebContext WebKitWebContext;

namespace WebContexts {

// Bytes a web process aims to stay under; the engine starts letting go at a third of it and
// lets go of all it can at a half.
constexpr std::size_t webProcessLimit = std::size_t(512) << 20;
constexpr double pollSeconds = 1.0;

// The editor's, the preview's and the sign-in's pages: one context, made on first use.
WebKitWebContext* pages();
// A context of its own with the same limit (the export's renders), which the caller owns.
WebKitWebContext* makeLimited();

}  // namespace WebContexts
