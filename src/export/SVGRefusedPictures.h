#pragma once
// An exported SVG's pictures that korvel refused (the host wrote a data address of no data for
// them) drawn as their layer's name in their box, as the other exports draw them, where an SVG
// viewer would draw nothing. Only those: a picture that is drawn has nothing beneath it. The
// text is read as XML's grammar reads it (comments, character data, instructions, attribute
// values that hold '>' are passed over whole); text it can't read that way is left as it is.
// Display-free; any thread.

#include <optional>
#include <string>
#include <string_view>

namespace SVGRefusedPictures {

// The text with each <image> whose href (or xlink:href) is "data:…," with no data replaced by a
// group that draws the image's aria-label in a dashed grey box of the image's x, y, width and
// height, clipped to it; none when there is no such image, or the text can't be read.
std::optional<std::string> drawNames(std::string_view svg);

// No name is drawn longer than this many characters.
inline constexpr std::size_t maximumNameLength = 1024;

}  // namespace SVGRefusedPictures
