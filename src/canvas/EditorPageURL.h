#pragma once
// The address of the installed editor's start page with the document's three addresses in its
// fragment: document, image base and project, joined by "#&#" and percent-encoded as a fragment
// must be (each "#" of the separator travels as %23). Each load names itself in the query: two
// addresses that differed only after "#" would move within the page on show, which keeps all it
// held, rather than start the page afresh.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace EditorPageURL {

inline constexpr const char* separator = "#&#";

// Everything RFC 3986 does not allow in a fragment, percent-encoded.
std::string encodeFragment(std::string_view text);
// None when `indexURL` is not an address. `load` numbers the view's loads of the page.
std::optional<std::string> build(const std::string& indexURL, const std::optional<std::string>& url,
                                 const std::optional<std::string>& imageBaseURL,
                                 const std::optional<std::string>& projectURL, std::uint64_t load = 0);

}  // namespace EditorPageURL
