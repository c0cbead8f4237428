#pragma once
// How this process's allocator treats large blocks.

namespace LargeBlocks {

// Blocks of a megabyte or more go back to the system the moment they are freed. By default the
// allocator raises that bound after the first large block is freed, to 32 MB, and keeps what is
// freed below it for later; a picture's pixels and encodings, freed on many threads, then stay
// resident in each thread's heap long after the work. Call once, before the first thread.
void returnWhenFreed();

}  // namespace LargeBlocks
