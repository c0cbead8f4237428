#pragma once
// The address of the installed editor's start page with the document's three addresses in its
// fragment: document, image base and project, joined by "#&#" and percent-encoded as a fragment
// must be (each "#" of the separator travels as %23).

#include <optional>
#include <string>
#include <string_view>

namespace EditorPageURL {

inline constexpr const char* separator = "#&#";

// Everything RFC 3986 does not allow in a fragment, percent-encoded.
std::string encodeFragment(std::string_view text);
// None when `indexURL` is not an address.
std::optional<std::string> build(const std::string& indexURL, const std::optional<std::string>& url,
                                 const std::optional<std::string>& imageBaseURL,
                                 const std::optional<std::string>& projectURL);

}  // namespace EditorPageURL
