#pragma once
// What a rendered page may read from the disk: its own folder and the application's resources,
// through a private address scheme that the render queue serves. A page of that scheme is no
// local page, so the web engine itself refuses it every "file:" address. Any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/UniqueFd.h"

namespace RenderFileAccess {

inline constexpr const char* scheme = "korvel-page";

// The base address of a page that reads `folder` ("korvel-page:///proj%20%231/"); an empty
// folder gives the bare root, under which nothing is served.
std::string baseAddress(const std::filesystem::path& folder);
// The private address of a file address ("file:///a/b" → "korvel-page:///a/b"); none for
// other addresses.
std::optional<std::string> fromFileAddress(std::string_view fileAddress);
// `html` with the file addresses of `folder` and of the resources, as the URI rules write them,
// moved to the private scheme, so that references the editor made absolute still load.
std::string rewriteFileAddresses(const std::string& html, const std::filesystem::path& folder);

// The file a private address names, opened when it lies inside `folder` or the resources.
Result<UniqueFd> open(std::string_view address, const std::filesystem::path& folder);
// The media type a served file is announced with, from its name.
std::string mediaType(const std::filesystem::path& file);

}  // namespace RenderFileAccess
