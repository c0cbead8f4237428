#pragma once
// The directive prologue of a classic script's text ("use strict" and its kind), read without
// running anything: its directives must stay its first statements to hold. Display-free, any
// thread.

#include <cstddef>
#include <string_view>

namespace ScriptPrologue {

// Where the prologue ends: just after its last directive (and that directive's ";"), or 0 when
// the script has none. Only whitespace, comments, string literals and ";" lie before it, so a
// statement put there runs before any of the script's own, and its directives stay in force. It
// stops at the first thing it can't be sure of (which only costs the directives after it).
// Linear in the text it reads.
std::size_t end(std::string_view script);

// Where a hashbang comment ("#!" as the script's first two bytes) ends, before its line's end;
// 0 when the script has none. Nothing may come before it.
std::size_t hashbangEnd(std::string_view script);

}  // namespace ScriptPrologue
