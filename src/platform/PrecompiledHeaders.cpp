// Compiles nothing of its own: its target builds the precompiled header that the libraries and
// tests reuse, so that a build tree holds one copy instead of one per target.
