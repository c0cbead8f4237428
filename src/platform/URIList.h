#pragma once
// The body of a "text/uri-list" that another program offers in a drag: the local files it
// names. Untrusted text; any thread.

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <vector>

namespace URIList {

// The local files named by "file:" URIs, in order, at most `limit`; comment lines, other
// addresses and URIs that name no local file are passed over.
std::vector<std::filesystem::path> localFiles(std::string_view text, std::size_t limit);

}  // namespace URIList
