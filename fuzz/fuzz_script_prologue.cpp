// The directive prologue of a script's text, as the host finds it before it puts its check there.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "canvas/ScriptPrologue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t end = ScriptPrologue::end(text);
  if (end > size) std::abort();
  // The prologue is found in its own text alone: nothing after it decided where it ends.
  if (ScriptPrologue::end(text.substr(0, end)) != end) std::abort();
  return 0;
}
